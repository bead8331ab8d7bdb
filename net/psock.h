// The TCP client component: name resolution, connecting, sending text, buffers and streams,
// reading replies by count or by line, with waits that keep the application's events running.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>

#include "platform/classes.h"
#include "platform/hiddenwindow.h"
#include "platform/sysutils.h"
#include "platform/winsock.h"

// A failure of the socket layer: a fixed text, or an error number, ":" and its text.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A cancel or a time-out ended the operation.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// Handled is false on entry; the handler sets it to ask for one retry.
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnErrorEvent =
    std::function<void(TComponent* Sender, uint16_t Errno, const std::string& Errmsg)>;

constexpr unsigned WM_SOCKET_NOTIFY = WM_USER + 101;
constexpr unsigned WM_LOOKUP_DONE = WM_USER + 102;
// FD_READ, FD_OOB, FD_ACCEPT, FD_CONNECT and FD_CLOSE.
constexpr long SocketEventMask = 61;

// A periodic timer on the GUI thread. Every change of Enabled, Interval or OnTimer restarts the
// period from zero.
class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* AOwner = nullptr);
    ~TThreadTimer() override;

    bool GetEnabled() const { return Enabled; }
    uint32_t GetInterval() const { return Interval; }
    void SetEnabled(bool Value);
    void SetInterval(uint32_t Value);
    void SetOnTimer(TNotifyEvent Value);
    // Stops the timer and starts it anew when all three allow it; raises Exception "No Timer"
    // when the platform refuses a timer.
    void UpdateTimer();
    virtual void Timer();
    void Wndproc(TMessage& Message);

private:
    uint32_t Interval = 1000;
    bool Enabled = true;
    TNotifyEvent OnTimer;
    std::unique_ptr<THiddenWindow> WindowHandle;
};

class TPowersock : public TComponent {
public:
    // Raises ESockError "Initializaton of windows sockets failed" when no socket can be made.
    explicit TPowersock(TComponent* AOwner = nullptr);
    ~TPowersock() override;
    TPowersock(const TPowersock&) = delete;
    TPowersock& operator=(const TPowersock&) = delete;

    // Waits for a connection request and accepts it; returns the new socket. Dispatches events.
    // Raises ESockError "Accepting Canceled" or "Error creating Data Connection", EAbortError.
    virtual winsock::TSocket Accept();
    // Resolves Host and connects to Port; returns once the connection stands. Dispatches
    // events. Raises ESockError (see the texts in psock.cpp).
    virtual void Connect();
    // Closes the socket, fires OnDisconnect and opens a fresh socket.
    virtual void Disconnect();
    // Sends Command and CR LF, reads one reply line into LastReply and its number into ReplyCode.
    // Dispatches events; raises what Writeln and ReadLn raise.
    virtual std::string Transaction(const std::string& Command);
    // Asks the running wait to end; it ends with its abort error.
    virtual void Abort();

    void InitWinsock();
    // Returns when connected, after one chance for OnConnectionRequired; else raises Exception
    // "Not Connected".
    void CertifyConnect();
    // Fills the address of RemoteAddress from ProxyHost or Host. Dispatches events while a name
    // is looked up. Raises ESockError "Host Lookup Timed Out", "Host Lookup Canceled",
    // "Host Lookup Failed".
    void ResolveRemoteHost();
    // Sends Length bytes (0: up to the first NUL). Raises EAbortError "Socket send aborted".
    void SendBuffer(const char* Data, uint16_t Length);
    // Sends the text up to its first NUL, every byte of it.
    void Write(const std::string& Text);
    void Writeln(const std::string& Text);
    // Waits until Count bytes are waiting (0: whatever waits) and receives them; the empty text
    // when the peer has closed, and the bytes left when it closed before Count arrived.
    // Dispatches events; raises EAbortError "Socket send aborted".
    std::string Read(uint16_t Count);
    // Receives one line with its line end; the empty text when the peer has closed. Dispatches
    // events; raises EAbortError "Socket readln aborted" on cancel or time-out, and ESockError
    // when no line end comes within 65536 bytes.
    std::string ReadLn();
    // Sends Stream from its start in pieces of at most 64 KiB, firing OnPacketSent after each.
    // Dispatches events; raises EAbortError "Socket send aborted".
    void SendStream(TStream& Stream);
    bool DataAvailable();
    void ClearInput();

    // File and capture transfer. Each dispatches events while it works and raises EAbortError
    // ("Socket send aborted", or "Socket capture aborted" for the stream and the string) on a
    // cancel, and the file errors of the platform for a file that cannot be opened.
    // Sends the file; SentBytes counts on from its previous value.
    void SendFile(const std::string& FileName);
    // Appends what arrives to the end of an existing file until the peer has closed.
    void AppendFile(const std::string& FileName);
    // Receives into a file created anew until the peer has closed. Time-out armed.
    void CaptureFile(const std::string& FileName);
    // Receives into Stream until it holds Size bytes (-1: one receive pass) or the peer has
    // closed. Time-out armed.
    void CaptureStream(TStream& Stream, int32_t Size);
    // Receives into Text, emptied first, until it holds Size bytes (-1: no limit) or the peer
    // has closed. Time-out armed.
    void CaptureString(std::string& Text, int32_t Size);
    // Copies lines into Stream up to and with the first empty one; the rest stays unread.
    void FilterHeader(TStream& Stream);

    // Time-out and cancel.
    void TimerOn();
    void TimerOff();
    void TimerFired(TObject* Sender);
    void Cancel();

    // Socket news from the hidden window.
    void Wndproc(TMessage& Message);
    void RequestCloseSocket();
    void Close(winsock::TSocket Socket);
    void Listen(bool DataMode);

    // Errors and status.
    void StatusMessage(uint8_t Level, const std::string& Text);
    std::string ErrorManager(uint16_t Ignore);
    void SetWSAError(uint16_t ErrorNo, std::string Message);
    std::string SocketErrorStr(uint16_t ErrorNo);
    uint32_t GetLastErrorNo();
    void SetLastErrorNo(uint32_t Value);
    std::string GetRemoteIP();
    std::string GetLocalIP();
    std::string GetLocalAddress();
    std::string GetPortString();

    // Published properties.
    std::string Host;
    int32_t Port = 0;
    int32_t TimeOut = 0;
    int32_t ReportLevel = 0;
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnectionFailed;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;

    // Public events and state.
    TNotifyEvent OnDataArrival;
    TNotifyEvent OnAcceptReady;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    TNotifyEvent OnPacketSent;
    TNotifyEvent OnPacketReceived;
    TStringList WinsockInfo;
    int32_t SentBytes = 0;
    int32_t TotalBytes = 0;
    int32_t ReceivedBytes = 0;
    uint32_t LastErrorNo = 0;
    std::string Status;
    std::string ProxyHost;
    uint16_t ProxyPort = 0;
    std::string LastReply;
    int16_t ReplyCode = 0;
    bool Connected = false;
    sockaddr_in RemoteAddress{};
    winsock::TSocket SocketHandle = winsock::INVALID_SOCKET;

    // Internal flags of the waits, public so that tests can observe them.
    bool Canceled = false;
    bool Disposing = false;
    bool EventOK = true;
    bool TimedOut = false;
    bool AsyncDone = false;
    // While set, SendBuffer and SendStream let the system hold back a partly filled packet
    // until a send without it, so pieces sent one after another leave together.
    bool MoreToFollow = false;

protected:
    // Dispatches events until Done() holds, waiting for the next event when none is pending.
    void WaitFor(const std::function<bool()>& Done);
    // One receive pass of the receiving operations: appends what arrived to Target and
    // returns false when the transfer has ended (the peer closed, or the socket is not
    // connected). Waits for the next event when nothing arrived.
    bool ReceivePass(const std::function<void(const char*, int)>& Target, bool Capture,
                     bool WaitWhenIdle);
    // When a cancel was requested: clears it and raises EAbortError with Text.
    void RaiseIfCanceled(const char* Text);
    // Opens a fresh socket, without the reset on close, and registers it for news.
    void OpenSocket();
    // Sends the first Length bytes of IOBuffer, counting SentBytes and firing OnPacketSent
    // after each send, until all are sent or a cancel is found; false when a send took nothing.
    bool SendIOBuffer(int Length);
    // After a send that would block: dispatches events until the socket takes data again.
    void WaitWritable();

    std::array<char, 65537> IOBuffer{};
    std::unique_ptr<TThreadTimer> TimeoutTimer;
    std::unique_ptr<THiddenWindow> WindowHandle;
    bool Destroying = false;
    // The connect-complete news of the running Connect has come. The peer may already have
    // closed again in the same dispatch, leaving Connected false.
    bool ConnectNewsSeen = false;
};

// The position (from 1) of the N-th Delimiter in Text; the length of Text plus 1 when Text has
// fewer.
int NthPos(const std::string& Text, char Delimiter, int N);

// Writes Text and CR LF to Stream; raises EWriteError when the stream takes fewer bytes.
void StreamLn(TStream& Stream, const std::string& Text);

// The N-th field of Text (from 1), where every Delimiter ends a field; empty when there is none.
std::string NthWord(const std::string& Text, char Delimiter, int N);
