// Self-test of the shared fixtures, driven by a plain blocking POSIX client.
#include "realsmtp.h"
#include "smtpserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace fixtures;
using Ending = ScriptedSmtpServer::Ending;

namespace {

// How the connection looked to the client once the talk was over.
enum class Seen { Eof, Reset, Quiet };

class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { Close(); }

    bool Connected() const { return connected_; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void Send(const std::string& bytes) {
        if (!bytes.empty()) {
            ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
        }
    }

    // Reads until `n` bytes arrived, or the connection ended, or 5 s passed.
    std::string Read(std::size_t n) {
        std::string got;
        while (got.size() < n && Wait(5000) == Ready::Data && Take(got, n - got.size()) > 0) {
        }
        return got;
    }

    // Reads until the connection ends or `quietMs` pass without a byte; what arrived goes to
    // `extra`.
    Seen ReadToEnd(int quietMs, std::string& extra) {
        for (;;) {
            if (Wait(quietMs) == Ready::Quiet)
                return Seen::Quiet;
            const ssize_t n = Take(extra, 65536);
            if (n == 0)
                return Seen::Eof;
            if (n < 0)
                return Seen::Reset;
        }
    }

    // One SMTP reply, all its lines; returns its code.
    int ReadReply() {
        for (std::string line;; line.clear()) {
            while (!line.ends_with("\n") && Wait(5000) == Ready::Data && Take(line, 1) > 0) {
            }
            if (!line.ends_with("\n") || line.size() < 4)
                return -1;
            if (line[3] != '-')
                return std::stoi(line.substr(0, 3));
        }
    }

private:
    enum class Ready { Data, Quiet };
    Ready Wait(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0 ? Ready::Data : Ready::Quiet;
    }
    ssize_t Take(std::string& into, std::size_t most) {
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, std::min(most, sizeof buffer), 0);
        if (n > 0)
            into.append(buffer, static_cast<std::size_t>(n));
        return n;
    }

    int fd_;
    bool connected_ = false;
};

struct Row {
    const char* name;
    Script script;
    std::vector<std::pair<std::string, std::string>> talk; // client sends, then must receive
    Seen seen;                                             // after the talk
    Ending ending;                                         // Stopped: the test stops the server
    std::vector<std::string> messages = {};
    std::size_t mismatches = 0;
    std::chrono::milliseconds atLeast{0};
};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"multi-line greeting, client closes",
         {Greeting("220-a\r\n220 b\r\n")},
         {{"", "220-a\r\n220 b\r\n"}},
         Seen::Quiet,
         Ending::ClientClosed},
        {"split reply with a pause, then close",
         {Greeting("220 hi\r\n"), ReplyInPieces({"25", "0 ok\r\n"}, 50ms).Expect("HELO me"),
          CloseConnection().Now()},
         {{"", "220 hi\r\n"}, {"HELO me\r\n", "250 ok\r\n"}},
         Seen::Eof,
         Ending::ServerClosed,
         {},
         0,
         50ms},
        {"bytewise greeting, two replies in one write",
         {ReplyBytewise("220 a\r\n").Now(), Reply("250-a\r\n250 b\r\n"), CloseConnection().Now()},
         {{"", "220 a\r\n"}, {"HELO me\r\n", "250-a\r\n250 b\r\n"}},
         Seen::Eof,
         Ending::ServerClosed},
        {"data mode with end of data and QUIT in one write",
         {Greeting("220 hi\r\n"), Reply("354 go\r\n").Expect("DATA").StartsData(),
          Reply("250 queued\r\n"), Reply("221 bye\r\n").Expect("QUIT"), CloseConnection().Now()},
         {{"", "220 hi\r\n"},
          {"DATA\r\n", "354 go\r\n"},
          {"a\r\n..b\r\n.\r\nQUIT\r\n", "250 queued\r\n221 bye\r\n"}},
         Seen::Eof,
         Ending::ServerClosed,
         {"a\r\n..b\r\n.\r\n"}},
        {"healthy script, two recipients, empty message",
         HealthyScript(2),
         {{"", "220 test.invalid ready\r\n"},
          {"HELO me\r\n", "250 test.invalid\r\n"},
          {"RSET\r\n", "250 reset\r\n"},
          {"MAIL FROM:<a@b>\r\n", "250 sender ok\r\n"},
          {"RCPT TO:<c@d>\r\n", "250 recipient ok\r\n"},
          {"RCPT TO:<e@f>\r\n", "250 recipient ok\r\n"},
          {"DATA\r\n", "354 go ahead\r\n"},
          {".\r\n", "250 queued\r\n"},
          {"QUIT\r\n", "221 bye\r\n"}},
         Seen::Eof,
         Ending::ServerClosed,
         {".\r\n"}},
        {"close on accept", {CloseConnection().Now()}, {}, Seen::Eof, Ending::ServerClosed},
        {"reset at a command",
         {Greeting("220 hi\r\n"), ResetConnection().Expect("HELO me")},
         {{"", "220 hi\r\n"}, {"HELO me\r\n", ""}},
         Seen::Reset,
         Ending::ServerReset},
        {"reset in the middle of the data",
         {Greeting("220 hi\r\n"), Reply("354 go\r\n").StartsData(),
          ResetConnection().AfterDataBytes(10)},
         {{"", "220 hi\r\n"}, {"DATA\r\n", "354 go\r\n"}, {"0123456789abcdef\r\n", ""}},
         Seen::Reset,
         Ending::ServerReset},
        {"silent until the server stops",
         {Greeting("220 hi\r\n"), StaySilent().Expect("HELO me")},
         {{"", "220 hi\r\n"}, {"HELO me\r\n", ""}},
         Seen::Quiet,
         Ending::Stopped},
        {"over-long line",
         {Greeting("220 hi\r\n"), LongLine(70'000), CloseConnection().Now()},
         {{"", "220 hi\r\n"}, {"HELO me\r\n", "250 " + std::string(69'996, 'x') + "\r\n"}},
         Seen::Eof,
         Ending::ServerClosed},
        {"endless continuation up to its cap",
         {Greeting("220 hi\r\n"), Endless("250-x\r\n", 20'000), Reply("250 end\r\n").Now(),
          CloseConnection().Now()},
         {{"", "220 hi\r\n"}, {"HELO me\r\n", Repeat("250-x\r\n", 20'000) + "250 end\r\n"}},
         Seen::Eof,
         Ending::ServerClosed},
        {"unexpected line and a line after the script are reported",
         {Greeting("220 hi\r\n"), Reply("250 ok\r\n").Expect("HELO me")},
         {{"", "220 hi\r\n"}, {"HELO you\r\n", "250 ok\r\n"}, {"NOOP\r\n", ""}},
         Seen::Quiet,
         Ending::ClientClosed,
         {},
         2},
    };
    return rows;
}

} // namespace

TEST(ScriptedSmtpServer, PlaysEachScriptAndRecordsTheWire) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        ScriptedSmtpServer server(row.script);
        const auto start = std::chrono::steady_clock::now();
        Client client(server.Port());
        ASSERT_TRUE(client.Connected());
        std::string sent;
        for (const auto& [send, reply] : row.talk) {
            client.Send(send);
            sent += send;
            ASSERT_EQ(client.Read(reply.size()), reply);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, row.atLeast);
        std::string extra;
        EXPECT_EQ(client.ReadToEnd(150, extra), row.seen);
        EXPECT_EQ(extra, "");
        if (row.ending == Ending::Stopped)
            server.Stop();
        client.Close();

        ASSERT_TRUE(server.WaitForEnd(0, 5000)) << server.Report();
        EXPECT_EQ(server.Connections(), 1);
        EXPECT_EQ(server.EndOf(), row.ending);
        EXPECT_EQ(server.Received(), sent);
        EXPECT_EQ(server.Messages(), row.messages);
        EXPECT_EQ(server.Mismatches().size(), row.mismatches) << server.Report();
        EXPECT_TRUE(server.ScriptDone()) << server.Report();
    }
}

TEST(ScriptedSmtpServer, GivesEachConnectionItsScriptAndRepeatsTheLast) {
    ScriptedSmtpServer server(std::vector<Script>{
        {Greeting("220 one\r\n"), CloseConnection().Now()},
        {Greeting("220 two\r\n"), CloseConnection().Now()},
    });
    for (const char* greeting : {"220 one\r\n", "220 two\r\n", "220 two\r\n"}) {
        Client client(server.Port());
        EXPECT_EQ(client.Read(100), greeting);
    }
    EXPECT_TRUE(server.WaitForConnections(3, 5000));
    EXPECT_TRUE(server.WaitForEnd(2, 5000));
    EXPECT_FALSE(server.WaitForConnections(4, 0));
}

TEST(RealSmtpServer, AcceptsAMessageAndShowsWhatItReceived) {
    RealSmtpServer server;
    if (server.Missing())
        GTEST_SKIP() << server.Error();
    ASSERT_TRUE(server.Running()) << server.Error();

    Client client(server.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.ReadReply(), 220);
    const std::pair<const char*, int> dialogue[] = {
        {"HELO me\r\n", 250},
        {"MAIL FROM:<sender@example.org>\r\n", 250},
        {"RCPT TO:<+79029000000@sms.example.org>\r\n", 250},
        {"RCPT TO:<second@example.org>\r\n", 250},
        {"DATA\r\n", 354},
        {"Subject: hi\r\n\r\n..dotted\r\nend\r\n.\r\n", 250},
        {"QUIT\r\n", 221},
    };
    for (const auto& [command, code] : dialogue) {
        client.Send(command);
        EXPECT_EQ(client.ReadReply(), code) << command;
    }

    ASSERT_TRUE(server.WaitForMessages(1, 5000));
    const std::vector<ReceivedMail> mails = server.Messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].from, "sender@example.org");
    EXPECT_EQ(mails[0].to,
              (std::vector<std::string>{"+79029000000@sms.example.org", "second@example.org"}));
    EXPECT_EQ(mails[0].data, "Subject: hi\r\n\r\n.dotted\r\nend\r\n");

    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.Messages().size(), 1u); // still readable after Stop()
}
