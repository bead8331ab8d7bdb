#include "platform/winsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/hiddenwindow.h"

namespace winsock {

namespace {
thread_local int LastError = 0;

int fail(int Errno) {
    LastError = ErrnoToWSA(Errno);
    return SOCKET_ERROR;
}
} // namespace

int WSAGetLastError() {
    return LastError;
}
void WSASetLastError(int Error) {
    LastError = Error;
}

int ErrnoToWSA(int Errno) {
    switch (Errno) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        // Numbers without a counterpart keep a distinct value above the table's range, so their
        // text reads "Unknown Error No. " with a number that still identifies the cause.
        return 20000 + Errno;
    }
}

TSocket socket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0)
        return fail(errno);
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

int SetResetOnClose(TSocket S) {
    const linger l{1, 0};
    return ::setsockopt(S, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : fail(errno);
}

bool PeerClosed(TSocket S) {
    pollfd p{S, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int connect(TSocket S, const sockaddr_in& Address) {
    const int r = ::connect(S, reinterpret_cast<const sockaddr*>(&Address), sizeof Address);
    const int err = r == 0 ? 0 : errno;
    if (err == EINPROGRESS || err == EAGAIN || err == EINTR) {
        if (THiddenWindow::ConnectStarted(S))
            return fail(EAGAIN);
        return fail(err);
    }
    // Finished at once: selected sockets still learn the outcome from a notification.
    if (THiddenWindow::ConnectFinished(S, ErrnoToWSA(err)))
        return fail(EAGAIN);
    return r == 0 ? 0 : fail(err);
}

int send(TSocket S, const void* Data, int Length, int Flags) {
    const ssize_t n = ::send(S, Data, static_cast<size_t>(Length), Flags | MSG_NOSIGNAL);
    return n < 0 ? fail(errno) : static_cast<int>(n);
}

int recv(TSocket S, void* Data, int Length, int Flags) {
    int n = 0;
    if (!THiddenWindow::Receive(S, Data, Length, Flags, n))
        n = static_cast<int>(::recv(S, Data, static_cast<size_t>(Length), Flags));
    return n < 0 ? fail(errno) : n;
}

int closesocket(TSocket S) {
    THiddenWindow::Closing(S);
    return ::close(S) == 0 ? 0 : fail(errno);
}

int bind(TSocket S, const sockaddr_in& Address) {
    const int one = 1;
    ::setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return ::bind(S, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0
               ? 0
               : fail(errno);
}

int listen(TSocket S, int Backlog) {
    if (::listen(S, Backlog) != 0)
        return fail(errno);
    THiddenWindow::Listening(S);
    return 0;
}

TSocket accept(TSocket S, sockaddr_in* Address) {
    socklen_t len = sizeof(sockaddr_in);
    const int s = ::accept4(S, reinterpret_cast<sockaddr*>(Address), &len, SOCK_CLOEXEC);
    const int err = errno;
    // A try to accept makes the next request news, whether or not this one succeeded.
    THiddenWindow::Accepted(S);
    if (s < 0)
        return fail(err);
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

int getsockname(TSocket S, sockaddr_in* Address) {
    socklen_t len = sizeof(sockaddr_in);
    return ::getsockname(S, reinterpret_cast<sockaddr*>(Address), &len) == 0 ? 0 : fail(errno);
}

int gethostname(char* Name, int Length) {
    return ::gethostname(Name, static_cast<size_t>(Length)) == 0 ? 0 : fail(errno);
}

uint32_t inet_addr(const char* Text) {
    if (Text[0] == '\0')
        return 0;
    in_addr a{};
    return ::inet_aton(Text, &a) != 0 ? a.s_addr : INADDR_NONE_;
}

std::string inet_ntoa(uint32_t Address) {
    in_addr a{};
    a.s_addr = Address;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

} // namespace winsock
