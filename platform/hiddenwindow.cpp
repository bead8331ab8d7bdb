#include "platform/hiddenwindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/forms.h"

namespace {

const QEvent::Type NoticeType = static_cast<QEvent::Type>(QEvent::registerEventType());

// A posted message. Socket news carries the generation of the registration it belongs to, so
// news of a socket that has since been closed (or whose number was reused) is dropped.
class TNoticeEvent : public QEvent {
public:
    TNoticeEvent(const TMessage& M, uint32_t Generation)
        : QEvent(NoticeType), Message(M), Generation(Generation) {}
    TMessage Message;
    uint32_t Generation; // 0 for messages that belong to no socket
};

const QEvent::Type RecheckType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Asks for the news of what a selection's input still holds after a receive.
class TRecheckEvent : public QEvent {
public:
    explicit TRecheckEvent(uint64_t Key) : QEvent(RecheckType), Key(Key) {}
    uint64_t Key;
};

// The room of a selection's input: what one receive of the program can ask for.
constexpr size_t InputRoom = 65536;

uint32_t NextGeneration = 0;

// Name lookups report to this object, which lives as long as the application, and from there
// to their window if it still exists. Qt never frees the handler of a lookup that was aborted
// or whose receiver went away first, so lookups are neither aborted nor tied to a window.
QObject* LookupReceiver() {
    static QPointer<QObject> receiver;
    if (!receiver)
        receiver = new QObject(QCoreApplication::instance());
    return receiver;
}

} // namespace

struct THiddenWindow::Selection {
    THiddenWindow* Window = nullptr;
    winsock::TSocket S = winsock::INVALID_SOCKET;
    unsigned Msg = 0;
    long Events = 0;
    uint32_t Generation = 0;
    bool Watched = false; // watched from its connect, its listen or its registration on
    bool Listening = false;
    bool AcceptArmed = true; // a connection request is news until the program accepts one
    bool Connected = false;
    bool Connecting = false;
    bool WaitingWritable = false;
    // What the window has read from the socket and the program has not yet taken: a report
    // of data is answered by reading the socket at once, so the program's looks and receives
    // are served from here without asking the socket again.
    struct TInput {
        std::unique_ptr<char[]> Data;
        size_t Head = 0;
        size_t Tail = 0;
        bool Full = false; // the last read filled the room: more may wait in the socket
        bool End = false;  // the peer's close has been read
        int Error = 0;     // the error of a broken connection, read but not yet handed on
    } Input;
    // The event loop's watch on the socket, for reading and for writing; made when first needed.
    std::unique_ptr<QSocketNotifier> Reader;
    std::unique_ptr<QSocketNotifier> Writer;
    bool RecheckPosted = false;

    size_t Buffered() const { return Input.Tail - Input.Head; }

    // The tag of the socket's news: the socket and the generation of this registration.
    uint64_t Key() const { return uint64_t{Generation} << 32 | static_cast<uint32_t>(S); }
};

namespace {
// Every live registration by socket number, for the hooks of the socket calls.
std::unordered_map<winsock::TSocket, THiddenWindow::Selection*>& registry() {
    static std::unordered_map<winsock::TSocket, THiddenWindow::Selection*> r;
    return r;
}
} // namespace

THiddenWindow::THiddenWindow(TWndProc Proc) : Proc(std::move(Proc)) {}

THiddenWindow::~THiddenWindow() {
    for (const auto& [s, sel] : Selections)
        registry().erase(s);
    Selections.clear();
}

void THiddenWindow::PostMessage(unsigned Msg, uintptr_t WParam, intptr_t LParam) {
    QCoreApplication::postEvent(this, new TNoticeEvent(TMessage{Msg, WParam, LParam, 0}, 0));
}

bool THiddenWindow::SetTimer(unsigned Id, unsigned Ms) {
    const TTimer timer{Id, Ms, std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms)};
    if (TTimer* running = FindTimer(Id))
        *running = timer;
    else
        Timers.push_back(timer);
    if (ArmLoopTimer())
        return true;
    KillTimer(Id);
    return false;
}

void THiddenWindow::KillTimer(unsigned Id) {
    // The loop's timer may run on; when it fires it finds nothing due.
    std::erase_if(Timers, [Id](const TTimer& T) { return T.Id == Id; });
}

THiddenWindow::TTimer* THiddenWindow::FindTimer(unsigned Id) {
    for (TTimer& timer : Timers)
        if (timer.Id == Id)
            return &timer;
    return nullptr;
}

// Makes the event loop's timer fire no later than the earliest due time. Returns false when
// the platform refuses a timer.
bool THiddenWindow::ArmLoopTimer() {
    using namespace std::chrono;
    if (Timers.empty())
        return true;
    auto due = Timers.front().Due;
    for (const TTimer& timer : Timers)
        due = std::min(due, timer.Due);
    if (LoopTimer != 0 && LoopTimerDue <= due)
        return true;
    const auto wait = ceil<milliseconds>(std::max(due - steady_clock::now(), nanoseconds::zero()));
    const int started =
        startTimer(milliseconds(std::min<int64_t>(wait.count(), INT32_MAX)), Qt::PreciseTimer);
    if (started == 0)
        return false;
    if (LoopTimer != 0)
        killTimer(LoopTimer);
    LoopTimer = started;
    LoopTimerDue = due;
    return true;
}

// Ticks every timer that is due and starts its next period. The loop's timer is set for the
// next due time first, so that other timers go on ticking while a handler waits.
void THiddenWindow::timerEvent(QTimerEvent* Event) {
    if (Event->timerId() != LoopTimer)
        return;
    killTimer(LoopTimer);
    LoopTimer = 0;
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<unsigned, std::chrono::steady_clock::time_point>> due;
    for (TTimer& timer : Timers)
        if (timer.Due <= now) {
            timer.Due = now + std::chrono::milliseconds(timer.Ms);
            due.emplace_back(timer.Id, timer.Due);
        }
    ArmLoopTimer();
    const QPointer<THiddenWindow> alive(this);
    for (const auto& [id, next] : due) {
        // An earlier tick's handler may have stopped or restarted this timer, or destroyed the
        // window.
        if (!alive)
            return;
        const TTimer* timer = FindTimer(id);
        if (!timer || timer->Due != next)
            continue;
        TMessage m{WM_TIMER, id, 0, 0};
        Deliver(m);
    }
}

int THiddenWindow::AsyncSelect(winsock::TSocket S, unsigned Msg, long Events) {
    // What was read from the socket for the program stays with it across a new registration;
    // the old registration's watches end first.
    Selection::TInput input;
    if (const std::unique_ptr<Selection> old = Drop(S))
        input = std::move(old->Input);
    if (Events == 0)
        return 0;
    const int flags = ::fcntl(S, F_GETFL);
    if (flags < 0 || ::fcntl(S, F_SETFL, flags | O_NONBLOCK) < 0) {
        winsock::WSASetLastError(winsock::ErrnoToWSA(errno));
        return winsock::SOCKET_ERROR;
    }
    auto sel = std::make_unique<Selection>();
    sel->Window = this;
    sel->S = S;
    sel->Msg = Msg;
    sel->Events = Events;
    if (++NextGeneration == 0)
        ++NextGeneration;
    sel->Generation = NextGeneration;
    sel->Input = std::move(input);
    // A socket that is neither connected nor listening has nothing to report yet; it is watched
    // from its connect or listen on.
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    sel->Connected = ::getpeername(S, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
    if (sel->Connected) {
        Watch(*sel);
        PostRecheck(*sel);
    }
    registry()[S] = sel.get();
    Selections[S] = std::move(sel);
    return 0;
}

// Sets what the event loop watches the socket for: reading while it is connected and its input
// has room (listening: until a request is reported), writing while a connect runs or a sender
// waits for room. The watch is level-triggered, and each report is answered by reading the
// socket or by stopping the watch, so the loop never reports the same thing twice.
void THiddenWindow::Watch(Selection& Sel) {
    Sel.Watched = true;
    const bool read =
        Sel.Listening ? Sel.AcceptArmed
                      : Sel.Connected && !Sel.Input.Full && !Sel.Input.End && Sel.Input.Error == 0;
    const bool write = Sel.Connecting || Sel.WaitingWritable;
    SetWatch(Sel.Reader, Sel, QSocketNotifier::Read, read);
    SetWatch(Sel.Writer, Sel, QSocketNotifier::Write, write);
}

void THiddenWindow::SetWatch(std::unique_ptr<QSocketNotifier>& Notifier, const Selection& Sel,
                             QSocketNotifier::Type Type, bool On) {
    if (Notifier) {
        if (Notifier->isEnabled() != On)
            Notifier->setEnabled(On);
        return;
    }
    if (!On)
        return;
    Notifier = std::make_unique<QSocketNotifier>(Sel.S, Type);
    const uint64_t key = Sel.Key();
    if (Type == QSocketNotifier::Read)
        connect(Notifier.get(), &QSocketNotifier::activated, this, [this, key] { Readable(key); });
    else
        connect(Notifier.get(), &QSocketNotifier::activated, this, [this, key] { Writable(key); });
}

std::unique_ptr<THiddenWindow::Selection> THiddenWindow::Drop(winsock::TSocket S) {
    const auto it = Selections.find(S);
    if (it == Selections.end())
        return nullptr;
    registry().erase(S);
    std::unique_ptr<Selection> dropped = std::move(it->second);
    Selections.erase(it);
    return dropped;
}

THiddenWindow::Selection* THiddenWindow::Find(winsock::TSocket S) {
    const auto it = registry().find(S);
    return it == registry().end() ? nullptr : it->second;
}

THiddenWindow::Selection* THiddenWindow::FindKey(uint64_t Key) {
    const auto it = Selections.find(static_cast<winsock::TSocket>(Key & 0xFFFFFFFFu));
    return it != Selections.end() && it->second->Key() == Key ? it->second.get() : nullptr;
}

bool THiddenWindow::Notify(uint64_t Key, unsigned Event, unsigned Error) {
    const Selection* sel = FindKey(Key);
    if (!sel)
        return false;
    if ((sel->Events & static_cast<long>(Event)) == 0)
        return true;
    TMessage m{sel->Msg, static_cast<uintptr_t>(sel->S),
               WSAMakeSelectReply(Event, static_cast<unsigned>(Error)), 0};
    const QPointer<THiddenWindow> alive(this);
    Deliver(m);
    // The window procedure may have closed the socket, or destroyed the window.
    return alive && FindKey(Key);
}

void THiddenWindow::PostNotice(Selection& Sel, unsigned Event, unsigned Error) {
    if ((Sel.Events & static_cast<long>(Event)) == 0)
        return;
    QCoreApplication::postEvent(
        this, new TNoticeEvent(TMessage{Sel.Msg, static_cast<uintptr_t>(Sel.S),
                                        WSAMakeSelectReply(Event, static_cast<unsigned>(Error)), 0},
                               Sel.Generation));
}

// The socket can be read: a connection request, or data, the peer's close or a broken
// connection, which is read at once and becomes news.
void THiddenWindow::Readable(uint64_t Key) {
    Selection* sel = FindKey(Key);
    if (!sel)
        return;
    if (sel->Listening) {
        // As the system does, the next request is news after the program has accepted.
        sel->AcceptArmed = false;
        Watch(*sel);
        Notify(Key, winsock::FD_ACCEPT, 0);
        return;
    }
    if (!sel->Connected)
        return;
    const bool news = Fill(*sel);
    Watch(*sel); // stops once the input is full, or at the end or an error
    if (news)
        Announce(Key);
}

// The socket can be written: the outcome of a connect, or room for a waiting sender.
void THiddenWindow::Writable(uint64_t Key) {
    Selection* sel = FindKey(Key);
    if (!sel)
        return;
    if (sel->Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(sel->S, SOL_SOCKET, SO_ERROR, &err, &len);
        sel->Connecting = false;
        sel->Connected = err == 0;
        Watch(*sel);
        // What came with the connect (the peer's first words, or its close) is news with it,
        // as it would be had both been reported at once.
        if (Notify(Key, winsock::FD_CONNECT, static_cast<unsigned>(winsock::ErrnoToWSA(err))) &&
            err == 0)
            Readable(Key);
        return;
    }
    sel->WaitingWritable = false;
    Watch(*sel);
}

// Reads from the socket once into the free room of the selection's input. Returns true when
// something new came: data, the end, or an error.
bool THiddenWindow::Fill(Selection& Sel) {
    if (Sel.Input.End || Sel.Input.Error != 0)
        return false;
    if (!Sel.Input.Data)
        Sel.Input.Data.reset(new char[InputRoom]); // not cleared: only what was read is used
    if (Sel.Input.Head == Sel.Input.Tail) {
        Sel.Input.Head = 0;
        Sel.Input.Tail = 0;
    } else if (Sel.Input.Head > 0) {
        std::memmove(Sel.Input.Data.get(), Sel.Input.Data.get() + Sel.Input.Head, Sel.Buffered());
        Sel.Input.Tail -= Sel.Input.Head;
        Sel.Input.Head = 0;
    }
    const size_t room = InputRoom - Sel.Input.Tail;
    Sel.Input.Full = room == 0;
    if (room == 0)
        return false;
    const ssize_t n = ::recv(Sel.S, Sel.Input.Data.get() + Sel.Input.Tail, room, 0);
    if (n > 0) {
        Sel.Input.Tail += static_cast<size_t>(n);
        Sel.Input.Full = static_cast<size_t>(n) == room;
        return true;
    }
    if (n == 0) {
        Sel.Input.End = true;
        return true;
    }
    if (errno == EAGAIN || errno == EINTR || errno == ENOTCONN)
        return false;
    Sel.Input.Error = errno;
    return true;
}

// Tells the window procedure what the selection's input holds: data, then the peer's close or
// the broken connection behind it.
void THiddenWindow::Announce(uint64_t Key) {
    const Selection* sel = FindKey(Key);
    if (!sel)
        return;
    if (sel->Buffered() > 0) {
        if (!Notify(Key, winsock::FD_READ, 0))
            return;
        sel = FindKey(Key);
    }
    if (sel->Input.End)
        Notify(Key, winsock::FD_CLOSE, 0);
    else if (sel->Input.Error != 0)
        Notify(Key, winsock::FD_CLOSE,
               static_cast<unsigned>(winsock::ErrnoToWSA(sel->Input.Error)));
}

bool THiddenWindow::ConnectStarted(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (!sel)
        return false;
    sel->Connecting = true;
    sel->WaitingWritable = false;
    sel->Window->Watch(*sel);
    return true;
}

bool THiddenWindow::ConnectFinished(winsock::TSocket S, int Error) {
    Selection* sel = Find(S);
    if (!sel)
        return false;
    sel->Connecting = false;
    sel->Connected = Error == 0;
    sel->Window->Watch(*sel);
    sel->Window->PostNotice(*sel, winsock::FD_CONNECT, static_cast<unsigned>(Error));
    return true;
}

// Serves a receive of the program from the selection's input; an empty input asks the socket
// first. As the system does, news is given again after a receive when something stays behind
// (data, or the end of the data): it comes as a posted notice. Returns false for a socket the
// window does not read for the program.
bool THiddenWindow::Receive(winsock::TSocket S, void* Data, int Length, int Flags, int& Result) {
    Selection* sel = Find(S);
    if (!sel || !sel->Watched || !sel->Connected || sel->Listening || Length <= 0)
        return false;
    if (sel->Buffered() == 0)
        Fill(*sel);
    const size_t have = sel->Buffered();
    if (have == 0) {
        if (sel->Input.Error != 0) {
            errno = sel->Input.Error;
            Result = -1;
            if ((Flags & MSG_PEEK) == 0) {
                // The error is handed on once; the connection then reads as ended.
                sel->Input.Error = 0;
                sel->Input.End = true;
            }
        } else if (sel->Input.End) {
            Result = 0;
        } else {
            errno = EAGAIN;
            Result = -1;
        }
        return true;
    }
    const size_t count = std::min(have, static_cast<size_t>(Length));
    std::memcpy(Data, sel->Input.Data.get() + sel->Input.Head, count);
    Result = static_cast<int>(count);
    if (Flags & MSG_PEEK)
        return true;
    sel->Input.Head += count;
    if (sel->Input.Full) {
        // The watch stopped when the input filled up: read on, and watch again if there is room.
        Fill(*sel);
        sel->Window->Watch(*sel);
    }
    PostRecheck(*sel);
    return true;
}

// Posts news of what the selection's input still holds, if anything, once.
void THiddenWindow::PostRecheck(Selection& Sel) {
    if ((Sel.Buffered() > 0 || Sel.Input.End || Sel.Input.Error != 0) && !Sel.RecheckPosted) {
        Sel.RecheckPosted = true;
        QCoreApplication::postEvent(Sel.Window, new TRecheckEvent(Sel.Key()));
    }
}

bool THiddenWindow::Drained(winsock::TSocket S) {
    const Selection* sel = Find(S);
    return sel && sel->Watched && sel->Connected && !sel->Listening && sel->Buffered() == 0 &&
           !sel->Input.Full && !sel->Input.End && sel->Input.Error == 0;
}

void THiddenWindow::Accepted(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (sel && sel->Watched) {
        sel->AcceptArmed = true;
        sel->Window->Watch(*sel);
    }
}

void THiddenWindow::Listening(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (!sel)
        return;
    sel->Listening = true;
    sel->Window->Watch(*sel);
}

void THiddenWindow::Closing(winsock::TSocket S) {
    // The watches end before the socket's number is given back to the system.
    Selection* sel = Find(S);
    if (!sel)
        return;
    sel->Window->Drop(S);
}

void THiddenWindow::WaitWritable(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (sel && sel->Watched && !sel->WaitingWritable) {
        sel->WaitingWritable = true;
        sel->Window->Watch(*sel);
    }
    Application->WaitAndProcessMessages();
}

// The lookup runs on, but its result no longer matches the window's lookup number and is
// dropped.
void THiddenWindow::CancelLookup() {
    ++LookupId;
}

void THiddenWindow::AsyncGetHostByName(unsigned Msg, const std::string& Name) {
    CancelLookup();
    const uint64_t id = LookupId;
    LookedUp = 0;
    const QPointer<THiddenWindow> window(this);
    QHostInfo::lookupHost(QString::fromLatin1(Name.data(), static_cast<qsizetype>(Name.size())),
                          LookupReceiver(), [window, id, Msg](const QHostInfo& Info) {
                              if (!window || id != window->LookupId)
                                  return;
                              unsigned error = winsock::WSAHOST_NOT_FOUND;
                              for (const QHostAddress& a : Info.addresses())
                                  if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                                      window->LookedUp = htonl(a.toIPv4Address());
                                      error = 0;
                                      break;
                                  }
                              TMessage m{Msg, 0, WSAMakeSelectReply(0, error), 0};
                              window->Deliver(m);
                          });
}

void THiddenWindow::customEvent(QEvent* Event) {
    if (Event->type() == RecheckType) {
        const uint64_t key = static_cast<TRecheckEvent*>(Event)->Key;
        if (Selection* sel = FindKey(key)) {
            sel->RecheckPosted = false;
            Announce(key);
        }
        return;
    }
    if (Event->type() != NoticeType)
        return;
    auto* notice = static_cast<TNoticeEvent*>(Event);
    if (notice->Generation != 0) {
        const Selection* sel = Find(static_cast<winsock::TSocket>(notice->Message.WParam));
        if (!sel || sel->Generation != notice->Generation || sel->Window != this)
            return;
    }
    Deliver(notice->Message);
}

void THiddenWindow::Deliver(TMessage& M) {
    Application->Guard(nullptr, [&] { Proc(M); });
}
