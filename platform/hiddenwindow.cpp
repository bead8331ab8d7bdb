#include "platform/hiddenwindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimerEvent>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>

#include "platform/forms.h"

namespace {

const QEvent::Type NoticeType = static_cast<QEvent::Type>(QEvent::registerEventType());

// A posted message. Socket news carries the generation of the registration it belongs to, so
// news of a socket that has since been closed (or whose number was reused) is dropped.
class TNoticeEvent : public QEvent {
public:
    TNoticeEvent(const TMessage& M, uint64_t Generation)
        : QEvent(NoticeType), Message(M), Generation(Generation) {}
    TMessage Message;
    uint64_t Generation; // 0 for messages that belong to no socket
};

uint64_t NextGeneration = 1;

} // namespace

struct THiddenWindow::Selection {
    THiddenWindow* Window = nullptr;
    winsock::TSocket S = winsock::INVALID_SOCKET;
    unsigned Msg = 0;
    long Events = 0;
    uint64_t Generation = 0;
    bool Listening = false;
    bool Connected = false;
    bool CloseNoticed = false;
    QSocketNotifier* ReadNotifier = nullptr;
    QSocketNotifier* WriteNotifier = nullptr;
    bool WaitingWritable = false;
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
    if (QtLookupId >= 0)
        QHostInfo::abortHostLookup(QtLookupId);
    while (!Selections.empty())
        Drop(Selections.begin()->first);
}

void THiddenWindow::PostMessage(unsigned Msg, uintptr_t WParam, intptr_t LParam) {
    QCoreApplication::postEvent(this, new TNoticeEvent(TMessage{Msg, WParam, LParam, 0}, 0));
}

bool THiddenWindow::SetTimer(unsigned Id, unsigned Ms) {
    KillTimer(Id);
    const int qtId = startTimer(static_cast<int>(Ms));
    if (qtId == 0)
        return false;
    Timers[Id] = qtId;
    return true;
}

void THiddenWindow::KillTimer(unsigned Id) {
    const auto it = Timers.find(Id);
    if (it == Timers.end())
        return;
    killTimer(it->second);
    Timers.erase(it);
}

void THiddenWindow::timerEvent(QTimerEvent* Event) {
    for (const auto& [id, qtId] : Timers)
        if (qtId == Event->timerId()) {
            TMessage m{WM_TIMER, id, 0, 0};
            Deliver(m);
            return;
        }
}

int THiddenWindow::AsyncSelect(winsock::TSocket S, unsigned Msg, long Events) {
    Drop(S);
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
    sel->Generation = NextGeneration++;
    sel->ReadNotifier = new QSocketNotifier(S, QSocketNotifier::Read, this);
    sel->WriteNotifier = new QSocketNotifier(S, QSocketNotifier::Write, this);
    // A socket that is neither connected nor listening has nothing to report yet.
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    sel->Connected = ::getpeername(S, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
    sel->ReadNotifier->setEnabled(sel->Connected);
    sel->WriteNotifier->setEnabled(false);
    connect(sel->ReadNotifier, &QSocketNotifier::activated, this, [this, S] { ReadReady(S); });
    connect(sel->WriteNotifier, &QSocketNotifier::activated, this, [this, S] { WriteReady(S); });
    registry()[S] = sel.get();
    Selections[S] = std::move(sel);
    return 0;
}

void THiddenWindow::Drop(winsock::TSocket S) {
    const auto it = Selections.find(S);
    if (it == Selections.end())
        return;
    registry().erase(S);
    delete it->second->ReadNotifier;
    delete it->second->WriteNotifier;
    Selections.erase(it);
}

THiddenWindow::Selection* THiddenWindow::Find(winsock::TSocket S) {
    const auto it = registry().find(S);
    return it == registry().end() ? nullptr : it->second;
}

void THiddenWindow::PostNotice(Selection& Sel, unsigned Event, unsigned Error) {
    if ((Sel.Events & static_cast<long>(Event)) == 0)
        return;
    QCoreApplication::postEvent(
        this, new TNoticeEvent(TMessage{Sel.Msg, static_cast<uintptr_t>(Sel.S),
                                        WSAMakeSelectReply(Event, static_cast<unsigned>(Error)), 0},
                               Sel.Generation));
}

// Readiness to read becomes one notice: a connection request, data, or the peer's close. The
// notifier then rests until the program receives again, so unread data never keeps the loop
// busy; the peer's close is reported even while data is still unread, and again after each
// receive that meets the end.
void THiddenWindow::ReadReady(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (!sel)
        return;
    sel->ReadNotifier->setEnabled(false);
    if (sel->Listening) {
        PostNotice(*sel, winsock::FD_ACCEPT, 0);
        return;
    }
    // The common case, data waiting and the peer still there, takes one check.
    pollfd ready{S, POLLIN | POLLRDHUP, 0};
    if (!sel->CloseNoticed && ::poll(&ready, 1, 0) > 0 &&
        (ready.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) == POLLIN) {
        PostNotice(*sel, winsock::FD_READ, 0);
        return;
    }
    char c;
    const ssize_t n = ::recv(S, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        PostNotice(*sel, winsock::FD_READ, 0);
        pollfd p{S, POLLRDHUP, 0};
        if (!sel->CloseNoticed && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP))) {
            sel->CloseNoticed = true;
            PostNotice(*sel, winsock::FD_CLOSE, 0);
        }
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        sel->ReadNotifier->setEnabled(true);
        return;
    }
    if (n < 0 && errno == ENOTCONN)
        return;
    // The end of the data is reported each time a receive has re-armed the notifier, so that a
    // wait that began after the first notice was handled still ends; no spin, one per receive.
    sel->CloseNoticed = true;
    PostNotice(*sel, winsock::FD_CLOSE,
               n == 0 ? 0u : static_cast<unsigned>(winsock::ErrnoToWSA(errno)));
}

void THiddenWindow::WriteReady(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (!sel)
        return;
    sel->WriteNotifier->setEnabled(false);
    if (sel->WaitingWritable) {
        sel->WaitingWritable = false;
        return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(S, SOL_SOCKET, SO_ERROR, &err, &len);
    ConnectFinished(S, winsock::ErrnoToWSA(err));
}

bool THiddenWindow::ConnectStarted(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (!sel)
        return false;
    sel->WaitingWritable = false;
    sel->WriteNotifier->setEnabled(true);
    return true;
}

bool THiddenWindow::ConnectFinished(winsock::TSocket S, int Error) {
    Selection* sel = Find(S);
    if (!sel)
        return false;
    if (Error == 0) {
        sel->Connected = true;
        sel->CloseNoticed = false;
        sel->ReadNotifier->setEnabled(true);
    }
    sel->Window->PostNotice(*sel, winsock::FD_CONNECT, static_cast<unsigned>(Error));
    return true;
}

void THiddenWindow::Received(winsock::TSocket S) {
    Selection* sel = Find(S);
    // Also after the peer's close was noticed: the data still waiting, and then the end of it,
    // must wake a wait again.
    if (sel && (sel->Listening || sel->Connected))
        sel->ReadNotifier->setEnabled(true);
}

void THiddenWindow::Listening(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (!sel)
        return;
    sel->Listening = true;
    sel->ReadNotifier->setEnabled(true);
}

void THiddenWindow::Closing(winsock::TSocket S) {
    if (Selection* sel = Find(S))
        sel->Window->Drop(S);
}

void THiddenWindow::WaitWritable(winsock::TSocket S) {
    Selection* sel = Find(S);
    if (sel && !sel->WriteNotifier->isEnabled()) {
        sel->WaitingWritable = true;
        sel->WriteNotifier->setEnabled(true);
    }
    Application->WaitAndProcessMessages();
}

void THiddenWindow::AsyncGetHostByName(unsigned Msg, const std::string& Name) {
    if (QtLookupId >= 0)
        QHostInfo::abortHostLookup(QtLookupId);
    const uint64_t id = ++LookupId;
    LookedUp = 0;
    QtLookupId =
        QHostInfo::lookupHost(QString::fromLatin1(Name.data(), static_cast<qsizetype>(Name.size())),
                              this, [this, id, Msg](const QHostInfo& Info) {
                                  if (id != LookupId)
                                      return;
                                  QtLookupId = -1;
                                  unsigned error = winsock::WSAHOST_NOT_FOUND;
                                  for (const QHostAddress& a : Info.addresses())
                                      if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                                          LookedUp = htonl(a.toIPv4Address());
                                          error = 0;
                                          break;
                                      }
                                  TMessage m{Msg, 0, WSAMakeSelectReply(0, error), 0};
                                  Deliver(m);
                              });
}

void THiddenWindow::customEvent(QEvent* Event) {
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
