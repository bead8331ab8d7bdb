#include "smtpserver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <ostream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace fixtures {

// ---- steps -------------------------------------------------------------------------------------

Step Step::Now() const {
    Step s = *this;
    s.now = true;
    return s;
}

Step Step::Expect(std::string line) const {
    Step s = *this;
    s.expect = std::move(line);
    s.expectPrefix = false;
    return s;
}

Step Step::ExpectPrefix(std::string start) const {
    Step s = *this;
    s.expect = std::move(start);
    s.expectPrefix = true;
    return s;
}

Step Step::After(std::chrono::milliseconds pause) const {
    Step s = *this;
    s.delay = pause;
    return s;
}

Step Step::StartsData() const {
    Step s = *this;
    s.startsData = true;
    return s;
}

Step Step::AfterDataBytes(std::size_t n) const {
    Step s = *this;
    s.afterDataBytes = n;
    return s;
}

Step Step::Instead(const Step& other) const {
    Step s = other;
    s.now = now;
    s.expect = expect;
    s.expectPrefix = expectPrefix;
    s.afterDataBytes = afterDataBytes;
    return s;
}

Step Reply(std::string bytes) {
    Step s;
    s.pieces.push_back(std::move(bytes));
    return s;
}

Step Greeting(std::string bytes) {
    return Reply(std::move(bytes)).Now();
}

Step ReplyInPieces(std::vector<std::string> pieces, std::chrono::milliseconds gap) {
    Step s;
    s.pieces = std::move(pieces);
    s.gap = gap;
    return s;
}

Step ReplyBytewise(std::string bytes, std::chrono::milliseconds gap) {
    std::vector<std::string> pieces;
    for (char c : bytes)
        pieces.emplace_back(1, c);
    return ReplyInPieces(std::move(pieces), gap);
}

Step LongLine(std::size_t length, std::string end, std::string prefix) {
    prefix.resize(std::max(length, prefix.size()), 'x');
    return Reply(prefix + end);
}

Step Garbage(std::string line) {
    return Reply(std::move(line));
}

Step Endless(std::string line, std::size_t maxLines) {
    Step s = Reply(std::move(line));
    s.act = Step::Act::Endless;
    s.maxLines = maxLines;
    return s;
}

static Step OfAct(Step::Act act) {
    Step s;
    s.act = act;
    return s;
}

Step StaySilent() {
    return OfAct(Step::Act::Silent);
}
Step CloseConnection() {
    return OfAct(Step::Act::Close);
}
Step ResetConnection() {
    return OfAct(Step::Act::Reset);
}

Script HealthyScript(int recipients) {
    Script s = {
        Greeting("220 test.invalid ready\r\n"),
        Reply("250 test.invalid\r\n").ExpectPrefix("HELO "),
        Reply("250 reset\r\n").Expect("RSET"),
        Reply("250 sender ok\r\n").ExpectPrefix("MAIL FROM:<"),
    };
    for (int i = 0; i < recipients; ++i)
        s.push_back(Reply("250 recipient ok\r\n").ExpectPrefix("RCPT TO:<"));
    s.push_back(Reply("354 go ahead\r\n").Expect("DATA").StartsData());
    s.push_back(Reply("250 queued\r\n"));
    s.push_back(Reply("221 bye\r\n").Expect("QUIT"));
    s.push_back(CloseConnection().Now());
    return s;
}

// ---- helpers -----------------------------------------------------------------------------------

namespace {

// Printable form of wire bytes for failure messages, cut after `limit` bytes.
std::string Escape(std::string_view bytes, std::size_t limit = 200) {
    std::string out = "\"";
    for (char c : bytes.substr(0, limit)) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        } else
            out += c;
    }
    out += "\"";
    if (bytes.size() > limit)
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

const char* Name(ScriptedSmtpServer::Ending e) {
    switch (e) {
    case ScriptedSmtpServer::Ending::Open:
        return "Open";
    case ScriptedSmtpServer::Ending::ClientClosed:
        return "ClientClosed";
    case ScriptedSmtpServer::Ending::ClientReset:
        return "ClientReset";
    case ScriptedSmtpServer::Ending::ServerClosed:
        return "ServerClosed";
    case ScriptedSmtpServer::Ending::ServerReset:
        return "ServerReset";
    case ScriptedSmtpServer::Ending::Stopped:
        return "Stopped";
    }
    return "?";
}

} // namespace

std::ostream& operator<<(std::ostream& out, ScriptedSmtpServer::Ending ending) {
    return out << Name(ending);
}

// ---- one connection ----------------------------------------------------------------------------

// Plays the script on one accepted connection, on the connection's own thread. Its buffers are
// its own; only the records it shares with the test thread go through the server's mutex.
class ScriptedSmtpServer::Session {
public:
    Session(ScriptedSmtpServer& server, int index, int fd, const Script& script)
        : server_(server), index_(index), fd_(fd), script_(script) {}

    void Run() {
        std::size_t i = 0;
        bool open = true;
        for (; open && i < script_.size(); ++i) {
            const Step& step = script_[i];
            if (!step.now && !Trigger(step, i))
                break;
            if (step.delay.count() > 0 && !Idle(step.delay))
                break;
            open = Act(step, i);
        }
        if (open && i == script_.size())
            Drain(true);
        if (fd_ >= 0)
            ::close(fd_);
        std::lock_guard lock(server_.mutex_);
        Record& r = server_.records_[index_];
        r.ended = true;
        if (r.ending == Ending::Open)
            r.ending = Ending::Stopped;
        server_.changed_.notify_all();
    }

private:
    // Acts; false once the connection is over (the act ended it or the client left).
    bool Act(const Step& step, std::size_t i) {
        switch (step.act) {
        case Step::Act::Send:
            for (std::size_t p = 0; p < step.pieces.size(); ++p) {
                if (p > 0 && step.gap.count() > 0 && !Idle(step.gap))
                    return false;
                if (!Send(step.pieces[p]))
                    return false;
            }
            break;
        case Step::Act::Silent:
            Done(i);
            Drain(false);
            return false;
        case Step::Act::Close:
            Done(i);
            ::shutdown(fd_, SHUT_WR);
            SetEnding(Ending::ServerClosed);
            Drain(false);
            return false;
        case Step::Act::Reset: {
            Done(i);
            linger hard{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(fd_);
            fd_ = -1;
            SetEnding(Ending::ServerReset);
            return false;
        }
        case Step::Act::Endless:
            // Counts as done once started: the client is expected to give up first.
            Done(i);
            if (!SendEndless(step))
                return false;
            break;
        }
        Done(i);
        if (step.startsData) {
            dataMode_ = true;
            message_.clear();
        }
        return true;
    }

    bool SendEndless(const Step& step) {
        if (step.pieces.empty() || step.pieces.front().empty())
            return true;
        const std::string& line = step.pieces.front();
        const std::size_t perChunk = std::max<std::size_t>(1, 65536 / line.size());
        std::string chunk;
        for (std::size_t k = 0; k < perChunk; ++k)
            chunk += line;
        for (std::size_t sent = 0; step.maxLines == 0 || sent < step.maxLines;) {
            std::size_t k = perChunk;
            if (step.maxLines != 0)
                k = std::min(k, step.maxLines - sent);
            if (!Send(std::string_view(chunk).substr(0, k * line.size())))
                return false;
            sent += k;
            if (!Pump(0)) // notices Stop() and a client that left, between chunks
                return false;
        }
        return true;
    }

    // Waits for what sets `step` off: the next line, or in data mode the end of the message or
    // enough data. False if the connection ended first.
    bool Trigger(const Step& step, std::size_t i) {
        for (;;) {
            if (dataMode_) {
                if (TakeMessage())
                    return true;
                if (step.afterDataBytes > 0 && message_.size() >= step.afterDataBytes)
                    return true;
            } else if (std::string line; TakeLine(line)) {
                Check(step, i, line);
                return true;
            }
            if (!Pump(-1))
                return false;
        }
    }

    bool TakeLine(std::string& line) {
        const auto lf = input_.find('\n');
        if (lf == std::string::npos)
            return false;
        line = input_.substr(0, lf + 1);
        input_.erase(0, lf + 1);
        return true;
    }

    // Moves input into the message; on its end line, records the message and leaves data mode.
    bool TakeMessage() {
        const std::size_t from = message_.size() >= 4 ? message_.size() - 4 : 0;
        message_ += input_;
        input_.clear();
        std::size_t end = std::string::npos;
        if (message_.starts_with(".\r\n"))
            end = 3;
        else if (const auto at = message_.find("\r\n.\r\n", from); at != std::string::npos)
            end = at + 5;
        if (end == std::string::npos)
            return false;
        input_ = message_.substr(end);
        message_.resize(end);
        dataMode_ = false;
        std::lock_guard lock(server_.mutex_);
        server_.messages_.push_back(std::move(message_));
        message_.clear();
        server_.changed_.notify_all();
        return true;
    }

    void Check(const Step& step, std::size_t i, const std::string& line) {
        if (!step.expect)
            return;
        std::string_view text = line;
        text.remove_suffix(1);
        if (text.ends_with('\r'))
            text.remove_suffix(1);
        const bool ok = step.expectPrefix ? text.starts_with(*step.expect) : text == *step.expect;
        if (!ok)
            Mismatch("step " + std::to_string(i) + ": expected " +
                     (step.expectPrefix ? "a line starting " : "") + Escape(*step.expect) +
                     ", received " + Escape(line));
    }

    // Reads and records until the client leaves or Stop(); `report` flags every line that
    // arrives because the script has nothing more to say.
    void Drain(bool report) {
        for (;;) {
            if (report) {
                while (dataMode_ && TakeMessage()) {
                }
                for (std::string line; !dataMode_ && TakeLine(line);)
                    Mismatch("received after the end of the script: " + Escape(line));
            } else {
                input_.clear();
            }
            if (!Pump(-1))
                return;
        }
    }

    bool Idle(std::chrono::milliseconds pause) {
        const auto until = std::chrono::steady_clock::now() + pause;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return true;
            if (!Pump(static_cast<int>(left.count())))
                return false;
        }
    }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                // Keep reading while the client's window is full, so neither side can block
                // the other.
                if (!Pump(-1, POLLOUT))
                    return false;
            } else {
                SetEnding(errno == EPIPE ? Ending::ClientClosed : Ending::ClientReset);
                return false;
            }
        }
        return true;
    }

    // Waits up to `timeoutMs` (-1: no limit) for input, Stop() or the `also` events, and reads
    // and records what arrived. False once the connection is over.
    bool Pump(int timeoutMs, short also = 0) {
        pollfd fds[2] = {{server_.wakeFds_[0], POLLIN, 0}, {fd_, short(POLLIN | also), 0}};
        if (::poll(fds, 2, timeoutMs) < 0)
            return errno == EINTR;
        if (fds[0].revents != 0) {
            SetEnding(Ending::Stopped);
            return false;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return true;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            input_.append(buffer, static_cast<std::size_t>(n));
            std::lock_guard lock(server_.mutex_);
            server_.records_[index_].received.append(buffer, static_cast<std::size_t>(n));
            server_.changed_.notify_all();
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        SetEnding(n == 0 ? Ending::ClientClosed : Ending::ClientReset);
        return false;
    }

    void SetEnding(Ending e) {
        std::lock_guard lock(server_.mutex_);
        Record& r = server_.records_[index_];
        if (r.ending == Ending::Open)
            r.ending = e;
        server_.changed_.notify_all();
    }

    void Done(std::size_t i) {
        std::lock_guard lock(server_.mutex_);
        Record& r = server_.records_[index_];
        r.stepsDone = std::max(r.stepsDone, i + 1);
        server_.changed_.notify_all();
    }

    void Mismatch(const std::string& text) {
        std::lock_guard lock(server_.mutex_);
        server_.mismatches_.push_back("connection " + std::to_string(index_) + ", " + text);
        server_.changed_.notify_all();
    }

    ScriptedSmtpServer& server_;
    const int index_;
    int fd_;
    const Script& script_;
    std::string input_;   // received, not yet taken by a step
    std::string message_; // data mode: the message so far
    bool dataMode_ = false;
};

// ---- the server --------------------------------------------------------------------------------

ScriptedSmtpServer::ScriptedSmtpServer(Script script)
    : ScriptedSmtpServer(std::vector<Script>{std::move(script)}) {}

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<Script> perConnection)
    : scripts_(std::move(perConnection)) {
    if (scripts_.empty())
        scripts_.emplace_back();
    auto fail = [this](const char* what) {
        const std::string text =
            std::string("ScriptedSmtpServer: ") + what + ": " + std::strerror(errno);
        for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]})
            if (fd >= 0)
                ::close(fd);
        throw std::runtime_error(text);
    };
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0)
        fail("pipe");
    // Non-blocking only for accept: a connection that vanishes between poll and accept must
    // not block the acceptor. Accepted sockets are blocking.
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0)
        fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("bind");
    if (::listen(listenFd_, 16) != 0)
        fail("listen");
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("getsockname");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    Stop();
}

void ScriptedSmtpServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{wakeFds_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents != 0)
            return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
                continue;
            std::lock_guard lock(mutex_);
            mismatches_.push_back(std::string("accept failed: ") + std::strerror(errno));
            changed_.notify_all();
            return;
        }
        // Pieces must leave as separate segments, not wait for Nagle's algorithm.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard lock(mutex_);
        const int index = static_cast<int>(records_.size());
        const Script& script = scripts_[std::min<std::size_t>(index, scripts_.size() - 1)];
        records_.push_back(Record{});
        records_.back().steps = script.size();
        sessions_.emplace_back(
            [this, index, fd, &script] { Session(*this, index, fd, script).Run(); });
        changed_.notify_all();
    }
}

void ScriptedSmtpServer::Stop() {
    std::lock_guard stopping(stopMutex_);
    if (stopped_)
        return;
    stopped_ = true;
    const char wake = 1;
    while (::write(wakeFds_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    acceptor_.join();
    std::vector<std::thread> sessions;
    {
        std::lock_guard lock(mutex_);
        sessions.swap(sessions_);
    }
    for (std::thread& t : sessions)
        t.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
}

const ScriptedSmtpServer::Record* ScriptedSmtpServer::Find(int connection) const {
    if (connection < 0)
        connection = static_cast<int>(records_.size()) - 1;
    if (connection < 0 || connection >= static_cast<int>(records_.size()))
        return nullptr;
    return &records_[connection];
}

int ScriptedSmtpServer::Connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(records_.size());
}

std::string ScriptedSmtpServer::Received(int connection) const {
    std::lock_guard lock(mutex_);
    const Record* r = Find(connection);
    return r ? r->received : std::string();
}

ScriptedSmtpServer::Ending ScriptedSmtpServer::EndOf(int connection) const {
    std::lock_guard lock(mutex_);
    const Record* r = Find(connection);
    return r ? r->ending : Ending::Open;
}

bool ScriptedSmtpServer::Ended(int connection) const {
    std::lock_guard lock(mutex_);
    const Record* r = Find(connection);
    return r && r->ended;
}

bool ScriptedSmtpServer::ScriptDone(int connection) const {
    std::lock_guard lock(mutex_);
    const Record* r = Find(connection);
    return r && r->stepsDone == r->steps;
}

std::vector<std::string> ScriptedSmtpServer::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> ScriptedSmtpServer::Mismatches() const {
    std::lock_guard lock(mutex_);
    return mismatches_;
}

std::string ScriptedSmtpServer::Report() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << records_.size() << " connection(s), " << messages_.size() << " message(s)\n";
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const Record& r = records_[i];
        out << "  #" << i << ": " << Name(r.ending) << (r.ended ? "" : " (running)") << ", steps "
            << r.stepsDone << "/" << r.steps << ", received " << Escape(r.received, 2000) << "\n";
    }
    for (const std::string& m : mismatches_)
        out << "  mismatch: " << m << "\n";
    return out.str();
}

bool ScriptedSmtpServer::WaitForConnections(int n, int ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return static_cast<int>(records_.size()) >= n; });
}

bool ScriptedSmtpServer::WaitForEnd(int connection, int ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        const Record* r = Find(connection);
        return r && r->ended;
    });
}

bool ScriptedSmtpServer::WaitForMessages(std::size_t n, int ms) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return messages_.size() >= n; });
}

} // namespace fixtures
