// The hidden window of a component: a per-object sink for socket news, name lookups and timer
// ticks on the GUI thread. The event loop watches each socket; a connected socket is read as
// soon as it reports data, and the program's receives are served from what was read. News is handed
// to the owner's window procedure inside the application's guard, so no exception crosses the event
// loop.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/winsock.h"

constexpr unsigned WM_ACTIVATEAPP = 28;
constexpr unsigned WM_TIMER = 275;
constexpr unsigned WM_USER = 1024;

// A window message: the number and its two parameters, and the result the procedure leaves.
struct TMessage {
    unsigned Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

// The second parameter of a socket notification: the event in the low 16 bits, the error
// number in the high 16 bits.
inline intptr_t WSAMakeSelectReply(unsigned Event, unsigned Error) {
    return static_cast<intptr_t>((Error & 0xFFFFu) << 16 | (Event & 0xFFFFu));
}
inline unsigned WSAGetSelectEvent(intptr_t LParam) {
    return static_cast<unsigned>(LParam) & 0xFFFFu;
}
inline unsigned WSAGetSelectError(intptr_t LParam) {
    return (static_cast<unsigned>(LParam) >> 16) & 0xFFFFu;
}

class THiddenWindow : public QObject {
public:
    struct Selection;

    using TWndProc = std::function<void(TMessage&)>;

    explicit THiddenWindow(TWndProc Proc);
    ~THiddenWindow() override;

    // Posts a message; it reaches the window procedure when events are next dispatched.
    void PostMessage(unsigned Msg, uintptr_t WParam, intptr_t LParam);

    // Starts timer Id with the period Ms; WM_TIMER carries Id as its first parameter. Starting
    // a running timer restarts its period. Returns false when the platform refuses a timer.
    bool SetTimer(unsigned Id, unsigned Ms);
    void KillTimer(unsigned Id);

    // Registers socket S for the news of Events (FD_ masks) as message Msg, and makes the
    // socket non-blocking. Mask 0 ends the registration. Returns 0 or SOCKET_ERROR.
    int AsyncSelect(winsock::TSocket S, unsigned Msg, long Events);

    // Starts an IPv4 lookup of Name; its completion posts Msg with the error in the high 16 bits
    // of the second parameter (0 on success), and the address is then in LookupAddress().
    void AsyncGetHostByName(unsigned Msg, const std::string& Name);
    // Abandons the running lookup: its completion is never posted.
    void CancelLookup();
    uint32_t LookupAddress() const { return LookedUp; }

    // Dispatches events until socket S can take more data or another event arrives.
    void WaitWritable(winsock::TSocket S);

    // Hooks of the socket calls, so that notifications follow what the program does. Receive
    // serves a receive (or a look, with MSG_PEEK) from what the window has read from the
    // socket: Result is the count, or -1 with errno set. It returns false for a socket the
    // window does not read, which the caller then reads itself. Accepted follows a try to
    // accept a connection on a listening socket.
    static bool ConnectStarted(winsock::TSocket S);
    static bool ConnectFinished(winsock::TSocket S, int Error);
    static bool Receive(winsock::TSocket S, void* Data, int Length, int Flags, int& Result);
    static void Accepted(winsock::TSocket S);
    // True when socket S holds nothing the program has not seen yet: a reader may wait for
    // news without looking first.
    static bool Drained(winsock::TSocket S);
    static void Listening(winsock::TSocket S);
    static void Closing(winsock::TSocket S);

protected:
    void customEvent(QEvent* Event) override;
    void timerEvent(QTimerEvent* Event) override;

private:
    void Deliver(TMessage& M);
    void PostNotice(Selection& Sel, unsigned Event, unsigned Error);
    // Delivers news of the registration Key; false when the registration is gone afterwards.
    bool Notify(uint64_t Key, unsigned Event, unsigned Error);
    void Watch(Selection& Sel);
    void SetWatch(std::unique_ptr<QSocketNotifier>& Notifier, const Selection& Sel,
                  QSocketNotifier::Type Type, bool On);
    void Readable(uint64_t Key);
    void Writable(uint64_t Key);
    static bool Fill(Selection& Sel);
    static void PostRecheck(Selection& Sel);
    void Announce(uint64_t Key);
    // Ends the registration of S in this window and hands back what it held.
    std::unique_ptr<Selection> Drop(winsock::TSocket S);
    static Selection* Find(winsock::TSocket S);
    Selection* FindKey(uint64_t Key);

    TWndProc Proc;
    std::map<winsock::TSocket, std::unique_ptr<Selection>> Selections;
    // The window's timers: period and due time by Id. One event-loop timer runs towards the
    // earliest due time (or an earlier one: it then finds nothing due and runs on), so starting
    // and stopping a timer, as every time-out of an operation does, only updates this table.
    struct TTimer {
        unsigned Id = 0;
        unsigned Ms = 0;
        std::chrono::steady_clock::time_point Due;
    };
    bool ArmLoopTimer();
    TTimer* FindTimer(unsigned Id);
    std::vector<TTimer> Timers; // a window has a timer or two: a list beats a tree here
    int LoopTimer = 0;          // the event loop's timer, 0 when none runs
    std::chrono::steady_clock::time_point LoopTimerDue;
    uint64_t LookupId = 0;
    uint32_t LookedUp = 0;
};
