// A real, standards-following SMTP server for tests: python3-aiosmtpd run by the system's
// /usr/bin/python3 on a free 127.0.0.1 port. It accepts every message and keeps it where the
// test can read it.
//
//     fixtures::RealSmtpServer server;
//     if (server.Missing())
//         GTEST_SKIP() << server.Error();
//     ASSERT_TRUE(server.Running()) << server.Error();
//     ... send one message to 127.0.0.1:server.Port() ...
//     ASSERT_TRUE(server.WaitForMessages(1, 5000));
//     EXPECT_EQ(server.Messages()[0].to, std::vector<std::string>{"a@b"});
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fixtures {

struct ReceivedMail {
    std::string from;            // envelope sender, without the angle brackets
    std::vector<std::string> to; // envelope recipients, in order
    std::string data;            // message data with CR LF, dot doubling undone, without "."
};

class RealSmtpServer {
public:
    // Starts the server and waits up to `startMs` until it listens. Never throws: check
    // Running(), and Missing() when the Python package is not installed.
    explicit RealSmtpServer(int startMs = 15000);
    ~RealSmtpServer(); // Stop(), then removes the stored messages
    RealSmtpServer(const RealSmtpServer&) = delete;
    RealSmtpServer& operator=(const RealSmtpServer&) = delete;

    bool Running() const { return port_ != 0 && pid_ > 0; }
    bool Missing() const { return missing_; }
    const std::string& Error() const { return error_; }
    std::uint16_t Port() const { return port_; }

    // Messages accepted so far, in the order they were accepted; still readable after Stop().
    std::vector<ReceivedMail> Messages() const;
    // Polls every few milliseconds until `n` messages are stored or `ms` passed.
    bool WaitForMessages(std::size_t n, int ms) const;

    // Ends the server process and reaps it; idempotent.
    void Stop();

private:
    std::size_t Count() const;

    std::string dir_;
    pid_t pid_ = -1;
    int stdinFd_ = -1; // the child exits when this closes, even if the test process dies
    std::uint16_t port_ = 0;
    bool missing_ = false;
    std::string error_;
};

} // namespace fixtures
