#include "realsmtp.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fixtures {

namespace {

// Debian's python3-* packages belong to this interpreter, not to whatever is first on PATH.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kSink = VINTROP_TESTS_DIR "/aiosmtpd_sink.py";

std::vector<std::filesystem::path> MessageFiles(const std::string& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".msg")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

RealSmtpServer::RealSmtpServer(int startMs) {
    if (::access(kPython, X_OK) != 0) {
        missing_ = true;
        error_ = std::string(kPython) + " is not installed";
        return;
    }
    std::string dir = (std::filesystem::temp_directory_path() / "vintrop-smtp-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    dir_ = dir;

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Only stdin, stdout and stderr: an inherited client socket would keep the test's
    // connections open after the test closed them.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    char* argv[] = {const_cast<char*>(kPython), const_cast<char*>("-I"), const_cast<char*>(kSink),
                    dir_.data(), nullptr};
    const int spawned = ::posix_spawn(&pid_, kPython, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    if (spawned != 0) {
        pid_ = -1;
        error_ = std::string("cannot start ") + kPython + ": " + std::strerror(spawned);
        ::close(out[0]);
        return;
    }

    // Read the child's first line: "READY <port>" or "MISSING <why>".
    std::string line;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(startMs);
    for (;;) {
        const auto newline = line.find('\n');
        if (newline != std::string::npos) {
            line.resize(newline);
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        pollfd fd{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) == 0) {
            line = "no answer within " + std::to_string(startMs) + " ms";
            break;
        }
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            line = "exited before it listened" + (line.empty() ? "" : ": " + line);
            break;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]); // it writes nothing more; a stray write fails instead of blocking it

    if (line.starts_with("READY ")) {
        port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + 6));
        if (port_ != 0)
            return;
    }
    missing_ = line.starts_with("MISSING ");
    error_ = std::string(kSink) + ": " + line;
    Stop();
}

RealSmtpServer::~RealSmtpServer() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void RealSmtpServer::Stop() {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    // Give it a moment to exit by itself; a child that hangs is killed, never left behind.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

std::size_t RealSmtpServer::Count() const {
    return dir_.empty() ? 0 : MessageFiles(dir_).size();
}

std::vector<ReceivedMail> RealSmtpServer::Messages() const {
    std::vector<ReceivedMail> mails;
    if (dir_.empty())
        return mails;
    for (const auto& path : MessageFiles(dir_)) {
        std::ifstream file(path, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>()};
        ReceivedMail mail;
        std::size_t at = 0;
        for (;;) {
            const std::size_t end = text.find('\n', at);
            if (end == std::string::npos || end == at) {
                at = end == std::string::npos ? text.size() : end + 1;
                break;
            }
            const std::string line = text.substr(at, end - at);
            if (line.starts_with("FROM "))
                mail.from = line.substr(5);
            else if (line.starts_with("TO "))
                mail.to.push_back(line.substr(3));
            at = end + 1;
        }
        mail.data = text.substr(at);
        mails.push_back(std::move(mail));
    }
    return mails;
}

bool RealSmtpServer::WaitForMessages(std::size_t n, int ms) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Count() < n) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace fixtures
