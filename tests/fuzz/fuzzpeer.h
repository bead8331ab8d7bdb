// Shared parts of the fuzz targets that drive a socket component: one Qt application per
// process, and the far end of a socket pair that sends the fuzz input as the server would.
#pragma once

#include <QCoreApplication>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/psock.h"

namespace fuzz {

// The components wait by dispatching Qt events, so the process needs an application object.
inline void StartApplication() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

[[noreturn]] inline void Fail(const char* What, const std::string& Detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", What, Detail.c_str());
    std::abort();
}

inline void Check(bool Condition, const char* What, const std::string& Detail = {}) {
    if (!Condition)
        Fail(What, Detail);
}

// One end of a socket pair, served by a thread: it writes Input, then shuts its sending side
// down so that the reader meets the end of the data, and all the while keeps what the component
// sends (so that a component's writes never fill the pair). It ends when the component closes
// its end; the destructor waits for that, so the component must be gone before it.
class TPeer {
public:
    TPeer(const uint8_t* Data, size_t Size) : Input(reinterpret_cast<const char*>(Data), Size) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            Fail("socketpair");
        Local = ends[0];
        Remote = ends[1];
        ::fcntl(Remote, F_SETFL, ::fcntl(Remote, F_GETFL) | O_NONBLOCK);
        Thread = std::thread([this] { Serve(); });
    }
    ~TPeer() {
        Finish();
        ::close(Remote);
    }
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;

    // The end for the component; it owns it from then on.
    int Local = -1;
    // What the component sent; valid after Finish().
    const std::string& Received() const { return Got; }
    // Waits for the thread; the component must have closed its end.
    void Finish() {
        if (Thread.joinable())
            Thread.join();
    }

private:
    void Serve() {
        size_t sent = 0;
        bool shut = false;
        char buffer[65536];
        for (;;) {
            if (sent == Input.size() && !shut) {
                ::shutdown(Remote, SHUT_WR);
                shut = true;
            }
            pollfd p{Remote, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
            if (::poll(&p, 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Fail("poll");
            }
            if (!shut && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
                const ssize_t n = ::send(Remote, Input.data() + sent, Input.size() - sent,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    sent += static_cast<size_t>(n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    sent = Input.size(); // the component has gone: nothing more to send
            }
            if (p.revents & (POLLIN | POLLERR | POLLHUP)) {
                const ssize_t n = ::recv(Remote, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0)
                    Got.append(buffer, static_cast<size_t>(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    return;
            }
        }
    }

    std::string Input;
    std::string Got;
    int Remote = -1;
    std::thread Thread;
};

// A socket component whose socket is the given end of a pair, connected from the start.
template <class Base> class TOnPair : public Base {
public:
    explicit TOnPair(int Fd) {
        winsock::closesocket(this->SocketHandle);
        this->SocketHandle = Fd;
        if (this->WindowHandle->AsyncSelect(Fd, WM_SOCKET_NOTIFY, SocketEventMask) != 0)
            Fail("AsyncSelect");
        this->Connected = true;
    }
};

// The longest line ReadLn returns: 65536 bytes and the LF.
constexpr size_t MaxLine = 65537;

// What ReadLn gives for the input from Pos on, as its contract states: the next line with its
// LF; an error for a line that has no LF within MaxLine bytes, which consumes MaxLine bytes;
// the empty text at the end, where bytes without a LF are dropped.
struct TExpected {
    enum { Line, TooLong, End } Kind;
    std::string Text;
};

inline TExpected NextLine(const std::string& Input, size_t& Pos) {
    const size_t lf = Input.find('\n', Pos);
    if (lf != std::string::npos && lf - Pos + 1 <= MaxLine) {
        TExpected e{TExpected::Line, Input.substr(Pos, lf - Pos + 1)};
        Pos = lf + 1;
        return e;
    }
    if (Input.size() - Pos >= MaxLine) {
        Pos += MaxLine;
        return {TExpected::TooLong, {}};
    }
    Pos = Input.size();
    return {TExpected::End, {}};
}

} // namespace fuzz
