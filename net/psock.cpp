#include "net/psock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "platform/forms.h"

using namespace winsock;

namespace {

// Live components that have started the socket layer.
int32_t WinsockUsers = 0;

struct ErrorText {
    int32_t Number;
    const char* Text;
};

const ErrorText ErrorTable[50] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};

constexpr unsigned TimerId = 1;

// Arms the time-out of a component for the life of the object and disarms it on every path.
class TTimeoutScope {
public:
    explicit TTimeoutScope(TPowersock& Sock) : Sock(Sock) { Sock.TimerOn(); }
    ~TTimeoutScope() { Sock.TimerOff(); }
    TTimeoutScope(const TTimeoutScope&) = delete;
    TTimeoutScope& operator=(const TTimeoutScope&) = delete;

private:
    TPowersock& Sock;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(TComponent* AOwner)
    : TComponent(AOwner),
      WindowHandle(std::make_unique<THiddenWindow>([this](TMessage& M) { Wndproc(M); })) {}

TThreadTimer::~TThreadTimer() {
    Enabled = false;
    WindowHandle->KillTimer(TimerId);
}

void TThreadTimer::SetEnabled(bool Value) {
    if (Value != Enabled) {
        Enabled = Value;
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(uint32_t Value) {
    if (Value != Interval) {
        Interval = Value;
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
    OnTimer = std::move(Value);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    WindowHandle->KillTimer(TimerId);
    if (Interval != 0 && Enabled && OnTimer) {
        const unsigned period = std::min<uint32_t>(Interval, 0x7FFFFFFF);
        if (!WindowHandle->SetTimer(TimerId, period))
            throw Exception("No Timer");
    }
}

void TThreadTimer::Timer() {
    if (OnTimer)
        OnTimer(this);
}

void TThreadTimer::Wndproc(TMessage& Message) {
    if (Message.Msg != WM_TIMER)
        return;
    try {
        Timer();
    } catch (...) {
        Application->HandleException(this);
    }
}

// ---------------------------------------------------------------------------------------------
// Construction and destruction

TPowersock::TPowersock(TComponent* AOwner) : TComponent(AOwner) {
    StatusMessage(8, "Create");
    WindowHandle = std::make_unique<THiddenWindow>([this](TMessage& M) { Wndproc(M); });
    TimeoutTimer = std::make_unique<TThreadTimer>(this);
    TimeoutTimer->SetEnabled(false);
    TimeoutTimer->SetOnTimer([this](TObject* Sender) { TimerFired(Sender); });
    InitWinsock();
}

void TPowersock::InitWinsock() {
    StatusMessage(8, "Initializing Winsock");
    ++WinsockUsers;
    if (WinsockUsers == 1) {
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        WinsockInfo.Add("Version= 1.1");
        WinsockInfo.Add("High Version= 2.2");
        WinsockInfo.Add("Description= TCP/IP sockets");
        WinsockInfo.Add("System= Running");
        WinsockInfo.Add("Max Sockets= " + IntToStr(static_cast<int64_t>(files.rlim_cur)));
        WinsockInfo.Add("Max Udp pack size= 65507");
    }
    try {
        SocketHandle = winsock::socket();
        if (SocketHandle == INVALID_SOCKET)
            ErrorManager(WSAEWOULDBLOCK);
        winsock::SetResetOnClose(SocketHandle);
        if (WindowHandle->AsyncSelect(SocketHandle, WM_SOCKET_NOTIFY, SocketEventMask) != 0)
            ErrorManager(WSAEWOULDBLOCK);
    } catch (...) {
        --WinsockUsers;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

TPowersock::~TPowersock() {
    Destroying = true;
    try {
        StatusMessage(8, "Destroy");
        Abort();
        Cancel();
        TimeoutTimer.reset();
        WindowHandle.reset();
        Disposing = true;
        RequestCloseSocket();
    } catch (...) {
        // Destruction goes on whatever a step raised.
    }
    --WinsockUsers;
}

// ---------------------------------------------------------------------------------------------
// Connecting

void TPowersock::ResolveRemoteHost() {
    StatusMessage(8, "Resolve Host");
    const std::string& source = ProxyHost.empty() ? Host : ProxyHost;
    const size_t length = std::min<size_t>(source.size(), IOBuffer.size() - 1);
    std::memcpy(IOBuffer.data(), source.data(), length);
    IOBuffer[length] = '\0';
    const std::string name(IOBuffer.data());

    RemoteAddress.sin_addr.s_addr = winsock::inet_addr(name.c_str());
    if (RemoteAddress.sin_addr.s_addr != INADDR_NONE_)
        return;

    RemoteAddress.sin_addr.s_addr = 0;
    TimerOn();
    AsyncDone = false;
    WindowHandle->AsyncGetHostByName(WM_LOOKUP_DONE, name);
    WaitFor([this] { return AsyncDone || TimedOut || Canceled; });
    TimerOff();
    // A lookup given up on must not finish later, into the wait of another operation.
    if (!AsyncDone || TimedOut)
        WindowHandle->CancelLookup();

    if (TimedOut)
        throw ESockError("Host Lookup Timed Out");
    if (Canceled)
        throw ESockError("Host Lookup Canceled");
    if (!EventOK)
        throw ESockError("Host Lookup Failed");
    RemoteAddress.sin_addr.s_addr = WindowHandle->LookupAddress();
    if (OnHostResolved)
        OnHostResolved(this);
}

void TPowersock::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected)
        throw ESockError("Already connected");

    for (int retry = 0;; ++retry) {
        try {
            ResolveRemoteHost();
        } catch (const EAbortError&) {
            throw;
        } catch (const ESockError& e) {
            if (e.Message == "Host Lookup Timed Out" || e.Message == "Host Lookup Canceled")
                throw;
        }
        if (RemoteAddress.sin_addr.s_addr != 0)
            break;
        if (retry > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled)
            throw ESockError("Null Remote Address");
    }

    RemoteAddress.sin_family = AF_INET;
    RemoteAddress.sin_port =
        htons(ProxyHost.empty() ? static_cast<uint16_t>(Port & 0xFFFF) : ProxyPort);
    AsyncDone = false;
    EventOK = true;
    ConnectNewsSeen = false;
    if (winsock::connect(SocketHandle, RemoteAddress) == SOCKET_ERROR)
        ErrorManager(WSAEWOULDBLOCK);

    TimerOn();
    // The news ends the wait even when the peer's close came with it and took Connected back:
    // a peer that accepts and closes at once must not hold the wait until the time-out.
    WaitFor([this] { return Connected || ConnectNewsSeen || TimedOut || Canceled || !EventOK; });
    TimerOff();

    if (!TimedOut && !Canceled && EventOK)
        return;
    // A socket whose attempt failed, or is still pending, cannot connect again: a fresh one
    // takes its place, so the next Connect starts clean.
    winsock::closesocket(SocketHandle);
    OpenSocket();
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (TimedOut)
        throw ESockError("Connection Timed out");
    if (Canceled)
        throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TPowersock::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::CertifyConnect() {
    StatusMessage(8, "Checking Connection");
    for (int tries = 0; !Connected; ++tries) {
        if (tries > 0 || !OnConnectionRequired)
            throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception("Not Connected");
    }
}

// ---------------------------------------------------------------------------------------------
// Sending

void TPowersock::WaitWritable() {
    WindowHandle->WaitWritable(SocketHandle);
}

void TPowersock::SendBuffer(const char* Data, uint16_t Length) {
    StatusMessage(4, "Sending Buffer");
    const TTimeoutScope timeout(*this);
    if (!Canceled) {
        const int length = Length != 0 ? Length : static_cast<int>(std::strlen(Data));
        int remaining = length;
        while (remaining > 0 && !Canceled) {
            const int n = winsock::send(SocketHandle, Data + (length - remaining), remaining,
                                        MoreToFollow ? MSG_MORE : 0);
            if (n == 0)
                break;
            if (n < 0) {
                ErrorManager(WSAEWOULDBLOCK);
                // The socket is full: wait until it drains instead of spinning, letting
                // the time-out and a cancel reach this loop.
                WaitWritable();
            } else {
                remaining -= n;
            }
        }
    }
    RaiseIfCanceled("Socket send aborted");
}

void TPowersock::Write(const std::string& Text) {
    StatusMessage(8, "Write");
    // The text ends at its first NUL; a text longer than the buffer goes out in several sends.
    const size_t length = std::min(Text.find('\0'), Text.size());
    size_t done = 0;
    do {
        const size_t piece = std::min<size_t>(length - done, 65535);
        std::memcpy(IOBuffer.data(), Text.data() + done, piece);
        IOBuffer[piece] = '\0';
        SendBuffer(IOBuffer.data(), static_cast<uint16_t>(piece));
        done += piece;
    } while (done < length);
}

void TPowersock::Writeln(const std::string& Text) {
    StatusMessage(8, "Writeln");
    Write(Text + "\r\n");
}

void TPowersock::SendStream(TStream& Stream) {
    StatusMessage(8, "SendStream");
    Stream.SetPosition(0);
    if (!Canceled) {
        SentBytes = 0;
        const int64_t size = Stream.GetSize();
        TotalBytes = static_cast<int32_t>(size);
        do {
            const int32_t chunk =
                static_cast<int32_t>(std::min<int64_t>(size - Stream.GetPosition(), 65536));
            const int read = Stream.Read(IOBuffer.data(), chunk);
            if (read <= 0)
                break; // the stream ended before its size, as a file that shrank
            if (!SendIOBuffer(read))
                return;
        } while (size != Stream.GetPosition() && !Canceled);
    }
    RaiseIfCanceled("Socket send aborted");
}

bool TPowersock::SendIOBuffer(int Length) {
    int remaining = Length;
    while (remaining != 0 && !Canceled) {
        const int n = winsock::send(SocketHandle, IOBuffer.data() + (Length - remaining), remaining,
                                    MoreToFollow ? MSG_MORE : 0);
        if (n == 0)
            return false;
        if (n > 0) {
            remaining -= n;
            SentBytes += n;
            if (OnPacketSent)
                OnPacketSent(this);
            Application->ProcessMessages();
        } else {
            ErrorManager(WSAEWOULDBLOCK);
            WaitWritable();
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Receiving

std::string TPowersock::Read(uint16_t Count) {
    StatusMessage(8, "Read( " + IntToStr(Count) + " )");
    int count = Count;
    if (count == 0) {
        const int n = winsock::recv(SocketHandle, IOBuffer.data(), 65536, MSG_PEEK);
        if (n == SOCKET_ERROR)
            ErrorManager(WSAEWOULDBLOCK);
        else
            count = std::min(n, 65535);
    } else {
        do {
            const int n = winsock::recv(SocketHandle, IOBuffer.data(), 65536, MSG_PEEK);
            if (n >= count)
                break;
            if (n == 0)
                return "";
            if (n == SOCKET_ERROR) {
                ErrorManager(WSAEWOULDBLOCK);
            } else if (winsock::PeerClosed(SocketHandle)) {
                // The rest will never come: take what is there.
                count = n;
                break;
            }
            Application->WaitAndProcessMessages();
        } while (!Canceled);
    }
    RaiseIfCanceled("Socket send aborted");
    if (count == 0)
        return "";
    std::string result(static_cast<size_t>(count), '\0');
    const int n = winsock::recv(SocketHandle, result.data(), count, 0);
    result.resize(static_cast<size_t>(std::max(n, 0)));
    return result;
}

std::string TPowersock::ReadLn() {
    StatusMessage(8, "ReadLn");
    int collected = 0;
    std::string result;
    const TTimeoutScope timeout(*this);
    int lineEnd = -1;
    do {
        const int space = static_cast<int>(IOBuffer.size()) - collected;
        if (space == 0)
            throw ESockError("Reply line longer than 65536 bytes");
        if (THiddenWindow::Drained(SocketHandle)) {
            // Everything that came has been taken: sleep until the socket has news, without
            // first asking it for what cannot be there.
            Application->WaitAndProcessMessages();
            continue;
        }
        const int n = winsock::recv(SocketHandle, IOBuffer.data() + collected, space, MSG_PEEK);
        if (n == 0)
            return "";
        if (n < 0) {
            LastErrorNo = static_cast<uint32_t>(winsock::WSAGetLastError());
            if (LastErrorNo == WSAENOTCONN)
                break;
            ErrorManager(WSAEWOULDBLOCK);
            // Nothing waits: sleep until the socket has news.
            Application->WaitAndProcessMessages();
        } else {
            const char* end = static_cast<const char*>(
                std::memchr(IOBuffer.data(), '\n', static_cast<size_t>(collected + n)));
            if (end) {
                lineEnd = static_cast<int>(end - IOBuffer.data());
                break;
            }
            // Part of a line: take it and go on for the rest.
            result.resize(static_cast<size_t>(collected + n));
            const int got = winsock::recv(SocketHandle, result.data() + collected, n, 0);
            collected += std::max(got, 0);
            result.resize(static_cast<size_t>(collected));
        }
    } while (!Canceled);

    RaiseIfCanceled("Socket readln aborted");
    if (lineEnd >= 0) {
        result.resize(static_cast<size_t>(lineEnd + 1));
        const int got =
            winsock::recv(SocketHandle, result.data() + collected, lineEnd + 1 - collected, 0);
        result.resize(static_cast<size_t>(collected + std::max(got, 0)));
    } else {
        result.clear();
    }
    return result;
}

std::string TPowersock::Transaction(const std::string& Command) {
    StatusMessage(8, "Transaction");
    ReplyCode = 0;
    Writeln(Command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        StatusMessage(1, LastReply);
        size_t digits = 0;
        while (digits < LastReply.size() && digits < 10 && LastReply[digits] >= '0' &&
               LastReply[digits] <= '9')
            ++digits;
        if (digits > 0) {
            int32_t value = 0;
            // A number beyond the 16-bit range is held at its largest value rather than
            // wrapped, so it can never read as an accepting code.
            if (TryStrToInt(LastReply.substr(0, digits), value))
                ReplyCode = static_cast<int16_t>(std::min<int32_t>(value, INT16_MAX));
            else
                ReplyCode = INT16_MAX;
        }
    }
    return LastReply;
}

bool TPowersock::DataAvailable() {
    StatusMessage(8, "Data Available");
    // Not into IOBuffer: this runs from socket news, while a send may be waiting with its
    // bytes there.
    char byte;
    return winsock::recv(SocketHandle, &byte, 1, MSG_PEEK) > 0;
}

void TPowersock::ClearInput() {
    StatusMessage(8, "Clearing Input");
    std::vector<char> scratch(65536);
    winsock::recv(SocketHandle, scratch.data(), static_cast<int>(scratch.size()), 0);
}

// ---------------------------------------------------------------------------------------------
// File and capture transfer

void TPowersock::SendFile(const std::string& FileName) {
    StatusMessage(8, "SendFile");
    {
        TFileStream file(FileName, fmOpenRead);
        const int64_t size = file.GetSize();
        while (file.GetPosition() != size && !Canceled) {
            const int read = file.Read(IOBuffer.data(), 65536);
            if (read <= 0)
                break; // the file shrank while it was sent
            SendIOBuffer(read);
        }
    }
    RaiseIfCanceled("Socket send aborted");
}

bool TPowersock::ReceivePass(const std::function<void(const char*, int)>& Target, bool Capture,
                             bool WaitWhenIdle) {
    const int n = winsock::recv(SocketHandle, IOBuffer.data(), 65536, 0);
    if (n > 0) {
        Target(IOBuffer.data(), n);
        ReceivedBytes += n;
        if (OnPacketReceived)
            OnPacketReceived(this);
        if (Capture)
            TimerOn();
        Application->ProcessMessages();
        return true;
    }
    if (n == 0)
        return false;
    if (Capture) {
        LastErrorNo = static_cast<uint32_t>(winsock::WSAGetLastError());
        if (LastErrorNo == WSAENOTCONN)
            return false;
    }
    ErrorManager(WSAEWOULDBLOCK);
    // Nothing has arrived: sleep until the next event instead of asking the socket again.
    if (WaitWhenIdle)
        Application->WaitAndProcessMessages();
    else
        Application->ProcessMessages();
    return true;
}

void TPowersock::AppendFile(const std::string& FileName) {
    StatusMessage(8, "Append File");
    ReceivedBytes = 0;
    {
        TFileStream file(FileName, fmOpenWrite);
        file.Seek(0, soFromEnd);
        const auto append = [&file](const char* Data, int Count) { file.WriteBuffer(Data, Count); };
        // The peer's close may leave Connected set while data waits, so a receive of 0 bytes
        // ends the transfer as well.
        while (Connected && !Canceled)
            if (!ReceivePass(append, false, true))
                break;
    }
    RaiseIfCanceled("Socket send aborted");
}

void TPowersock::CaptureFile(const std::string& FileName) {
    StatusMessage(8, "CaptureFile");
    ReceivedBytes = 0;
    const TTimeoutScope timeout(*this);
    {
        TFileStream file(FileName, fmCreate);
        const auto append = [&file](const char* Data, int Count) { file.WriteBuffer(Data, Count); };
        while (!Canceled && ReceivePass(append, true, true)) {
        }
    }
    RaiseIfCanceled("Socket send aborted");
}

void TPowersock::CaptureStream(TStream& Stream, int32_t Size) {
    StatusMessage(8, "Capture Stream");
    ReceivedBytes = 0;
    const TTimeoutScope timeout(*this);
    const auto append = [&Stream](const char* Data, int Count) { Stream.WriteBuffer(Data, Count); };
    if (Size == -1) {
        if (!Canceled)
            ReceivePass(append, true, false);
    } else {
        while (Stream.GetSize() < Size && !Canceled && ReceivePass(append, true, true)) {
        }
    }
    RaiseIfCanceled("Socket capture aborted");
}

void TPowersock::CaptureString(std::string& Text, int32_t Size) {
    StatusMessage(8, "Capture String");
    ReceivedBytes = 0;
    Text.clear();
    const TTimeoutScope timeout(*this);
    const auto append = [&Text](const char* Data, int Count) { Text.append(Data, Count); };
    while ((Size == -1 || static_cast<int64_t>(Text.size()) < Size) && !Canceled &&
           ReceivePass(append, true, true)) {
    }
    RaiseIfCanceled("Socket capture aborted");
}

void TPowersock::FilterHeader(TStream& Stream) {
    StatusMessage(8, "FilterHeader");
    for (;;) {
        const std::string line = ReadLn();
        if (line.empty())
            return;
        Stream.WriteBuffer(line.data(), static_cast<int32_t>(line.size()));
        if (line == "\n" || line == "\r\n")
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// Time-out and cancel

void TPowersock::WaitFor(const std::function<bool()>& Done) {
    while (!Done())
        Application->WaitAndProcessMessages();
}

void TPowersock::TimerOn() {
    StatusMessage(8, "Timer On");
    TimedOut = false;
    TimeoutTimer->SetInterval(static_cast<uint32_t>(TimeOut));
    // A fresh full period also when the timer runs already, as between the passes of a capture.
    TimeoutTimer->SetEnabled(false);
    TimeoutTimer->SetEnabled(true);
}

void TPowersock::TimerOff() {
    StatusMessage(8, "Timer Off");
    TimeoutTimer->SetEnabled(false);
}

void TPowersock::TimerFired(TObject* Sender) {
    (void)Sender;
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    AsyncDone = true;
    Abort();
}

void TPowersock::RaiseIfCanceled(const char* Text) {
    if (Canceled) {
        Canceled = false;
        throw EAbortError(Text);
    }
}

void TPowersock::Cancel() {
    StatusMessage(8, "Canceling");
    Canceled = true;
}

void TPowersock::Abort() {
    StatusMessage(8, "Abort");
    Cancel();
}

// ---------------------------------------------------------------------------------------------
// Socket news

void TPowersock::Wndproc(TMessage& Message) {
    EventOK = WSAGetSelectError(Message.LParam) == 0;
    try {
        const unsigned event = WSAGetSelectEvent(Message.LParam);
        if (Message.Msg == WM_SOCKET_NOTIFY) {
            switch (event) {
            case FD_READ:
                if (OnDataArrival) {
                    try {
                        OnDataArrival(this);
                    } catch (...) {
                    }
                }
                break;
            case FD_ACCEPT:
                Connected = true;
                if (OnAcceptReady)
                    OnAcceptReady(this);
                break;
            case FD_CONNECT:
                ConnectNewsSeen = true;
                if (EventOK) {
                    Connected = true;
                    if (OnConnect)
                        OnConnect(this);
                }
                break;
            case FD_CLOSE:
                if (!DataAvailable())
                    RequestCloseSocket();
                break;
            default:
                break;
            }
        } else if (Message.Msg == WM_LOOKUP_DONE) {
            AsyncDone = true;
            if (event == FD_ACCEPT) {
                Connected = true;
                if (OnAcceptReady)
                    OnAcceptReady(this);
            }
        }
    } catch (...) {
        // News handling never lets an error out.
    }
}

void TPowersock::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    Connected = false;
    if (SocketHandle == INVALID_SOCKET)
        return;
    if (winsock::closesocket(SocketHandle) == SOCKET_ERROR) {
        ErrorManager(WSAEWOULDBLOCK);
        return;
    }
    SocketHandle = INVALID_SOCKET;
    if (!Destroying && OnDisconnect)
        OnDisconnect(this);
    if (!Disposing)
        OpenSocket();
}

void TPowersock::OpenSocket() {
    SocketHandle = winsock::socket();
    if (SocketHandle != INVALID_SOCKET)
        WindowHandle->AsyncSelect(SocketHandle, WM_SOCKET_NOTIFY, SocketEventMask);
}

void TPowersock::Close(TSocket Socket) {
    StatusMessage(8, "Closing Socket");
    winsock::closesocket(Socket);
}

void TPowersock::Listen(bool DataMode) {
    StatusMessage(8, "Listening");
    RemoteAddress = sockaddr_in{};
    RemoteAddress.sin_addr.s_addr = winsock::inet_addr("0.0.0.0");
    RemoteAddress.sin_family = AF_INET;
    RemoteAddress.sin_port = htons(static_cast<uint16_t>(Port));
    AsyncDone = false;
    // Each step's failure is raised: a socket that could not bind to Port would otherwise
    // listen on a port of the system's choosing, and Accept would wait for ever.
    if (winsock::bind(SocketHandle, RemoteAddress) == SOCKET_ERROR)
        ErrorManager(0);
    if (WindowHandle->AsyncSelect(SocketHandle, DataMode ? WM_LOOKUP_DONE : WM_SOCKET_NOTIFY,
                                  FD_ACCEPT) == SOCKET_ERROR)
        ErrorManager(0);
    if (winsock::listen(SocketHandle, 1) == SOCKET_ERROR)
        ErrorManager(0);
}

TSocket TPowersock::Accept() {
    StatusMessage(4, "Accepting");
    WaitFor([this] { return AsyncDone || Canceled; });
    if (Canceled)
        throw ESockError("Accepting Canceled");
    if (!EventOK)
        throw ESockError("Error creating Data Connection");
    sockaddr_in peer{};
    const TSocket s = winsock::accept(SocketHandle, &peer);
    if (s == INVALID_SOCKET)
        ErrorManager(0);
    // The request is taken: the next Accept waits for the next one.
    AsyncDone = false;
    WindowHandle->AsyncSelect(s, WM_SOCKET_NOTIFY, SocketEventMask);
    RemoteAddress = peer;
    RaiseIfCanceled("Socket send aborted");
    return s;
}

// ---------------------------------------------------------------------------------------------
// Errors and status

void TPowersock::StatusMessage(uint8_t Level, const std::string& Text) {
    if (Level > ReportLevel)
        return;
    try {
        Status = Text;
        if (!Destroying && OnStatus)
            OnStatus(this, Status);
    } catch (...) {
        // Reporting never disturbs the operation that reports.
    }
}

std::string TPowersock::ErrorManager(uint16_t Ignore) {
    LastErrorNo = static_cast<uint32_t>(winsock::WSAGetLastError());
    if (LastErrorNo != Ignore && LastErrorNo > 10000) {
        const std::string text = SocketErrorStr(static_cast<uint16_t>(LastErrorNo));
        if (OnError)
            OnError(this, static_cast<uint16_t>(LastErrorNo), text);
        throw ESockError(text);
    }
    return "";
}

void TPowersock::SetWSAError(uint16_t ErrorNo, std::string Message) {
    StatusMessage(8, "Setting Winsock Error");
    LastErrorNo = ErrorNo;
    if (Message.empty())
        Message = SocketErrorStr(ErrorNo);
    winsock::WSASetLastError(ErrorNo);
    if (OnError)
        OnError(this, ErrorNo, Message);
}

std::string TPowersock::SocketErrorStr(uint16_t ErrorNo) {
    StatusMessage(8, "Looking Up Error Message");
    if (ErrorNo == 0)
        return "";
    for (const ErrorText& entry : ErrorTable)
        if (entry.Number == ErrorNo)
            return IntToStr(ErrorNo) + ":" + entry.Text;
    return "Unknown Error No. " + IntToStr(ErrorNo);
}

uint32_t TPowersock::GetLastErrorNo() {
    StatusMessage(8, "Getting LastError Number");
    return LastErrorNo;
}

void TPowersock::SetLastErrorNo(uint32_t Value) {
    StatusMessage(8, "Setting LastError Number");
    LastErrorNo = Value;
}

std::string TPowersock::GetRemoteIP() {
    StatusMessage(8, "Getting Remote IP");
    return winsock::inet_ntoa(RemoteAddress.sin_addr.s_addr);
}

std::string TPowersock::GetLocalIP() {
    StatusMessage(8, "Getting Local IP");
    char name[201] = {};
    if (winsock::gethostname(name, 200) != 0)
        return "";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return "";
    const auto* a = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&a->sin_addr.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(found);
    return text;
}

std::string TPowersock::GetLocalAddress() {
    sockaddr_in local{};
    winsock::getsockname(SocketHandle, &local);
    std::string text = winsock::inet_ntoa(local.sin_addr.s_addr);
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

std::string TPowersock::GetPortString() {
    sockaddr_in local{};
    winsock::getsockname(SocketHandle, &local);
    const uint16_t port = ntohs(local.sin_port);
    std::string text = ",";
    text += IntToStr(port >> 8);
    text += ',';
    text += IntToStr(port & 0xFF);
    return text;
}

// ---------------------------------------------------------------------------------------------

int NthPos(const std::string& Text, char Delimiter, int N) {
    int seen = 0;
    for (size_t i = 0; i < Text.size(); ++i)
        if (Text[i] == Delimiter && ++seen == N)
            return static_cast<int>(i) + 1;
    return static_cast<int>(Text.size()) + 1;
}

void StreamLn(TStream& Stream, const std::string& Text) {
    const std::string line = Text + "\r\n";
    Stream.WriteBuffer(line.data(), static_cast<int32_t>(line.size()));
}

std::string NthWord(const std::string& Text, char Delimiter, int N) {
    std::string result;
    int seen = 0;
    for (char c : Text) {
        if (c == Delimiter) {
            if (++seen == N)
                break;
        } else if (seen == N - 1) {
            result += c;
        }
    }
    return result;
}
