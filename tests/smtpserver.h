// A scripted SMTP server for tests: listens on 127.0.0.1 on a port the OS chose, answers each
// connection from a script of steps, and records exactly what it received.
//
// The server runs on threads of its own (blocking POSIX sockets, no Qt), so a client under test
// can wait inside its own event loop while the server answers. Every public method may be
// called from the test thread at any time.
//
//     using namespace fixtures;
//     ScriptedSmtpServer server({
//         Greeting("220 ready\r\n"),
//         Reply("250 hello\r\n").Expect("HELO me"),
//         ReplyInPieces({"25", "0 ok\r\n"}, 50ms).Expect("RSET"),
//         ResetConnection().ExpectPrefix("MAIL FROM:"),
//     });
//     ... let the client talk to server.Port() ...
//     server.WaitForEnd(0, 2000);
//     EXPECT_EQ(server.Received(), "HELO me\r\nRSET\r\nMAIL FROM:<a@b>\r\n");
//     EXPECT_TRUE(server.ScriptDone()) << server.Report();
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fixtures {

using namespace std::chrono_literals;

// One step of a script: what sets it off (the trigger) and what the server then does (the act).
//
// Trigger: by default the next line the client sends (up to and including LF); with Now() the
// step acts at once, right after the previous one (or on accept, for the first step). While the
// server is in data mode (after a step marked StartsData), the trigger is instead the end of the
// message (the line "."), or AfterDataBytes(n) bytes of message data, whichever comes first.
// A mismatch with `expect` is recorded (Mismatches()) and the step acts all the same.
struct Step {
    enum class Act {
        Send,   // write `pieces`, one write each, pausing `gap` between them
        Silent, // answer nothing more; read and record until the client leaves or Stop()
        Close,  // send FIN, then read and record until the client leaves or Stop()
        Reset,  // abort the connection with RST (SO_LINGER 0, then close)
        Endless // write pieces[0] again and again until the client leaves or `maxLines` lines
    };

    Act act = Act::Send;
    std::vector<std::string> pieces;
    std::chrono::milliseconds gap{0};
    std::size_t maxLines = 0; // Endless: 0 means no cap

    bool now = false;
    std::optional<std::string> expect;  // the line without its CR LF (or LF); checked, not enforced
    bool expectPrefix = false;          // `expect` only has to start the line
    std::chrono::milliseconds delay{0}; // pause after the trigger, before acting
    bool startsData = false;            // after acting, read the message data that follows
    std::size_t afterDataBytes = 0;     // data mode: trigger after this many bytes of data

    // Modifiers; each returns a changed copy, so steps read as one expression in a table.
    Step Now() const;
    Step Expect(std::string line) const;
    Step ExpectPrefix(std::string start) const;
    Step After(std::chrono::milliseconds pause) const;
    Step StartsData() const;
    Step AfterDataBytes(std::size_t n) const;
    // This step's trigger and expectation with the act (and delay, data start) of `other`: puts
    // a fault in place of a step of a healthy script:
    //     script[3] = script[3].Instead(ResetConnection());
    Step Instead(const Step& other) const;
};

using Script = std::vector<Step>;

// Acts. Several replies in one write are simply one Reply("250-a\r\n250 b\r\n").
Step Reply(std::string bytes);
Step Greeting(std::string bytes); // Reply(bytes).Now()
Step ReplyInPieces(std::vector<std::string> pieces, std::chrono::milliseconds gap);
Step ReplyBytewise(std::string bytes, std::chrono::milliseconds gap = 1ms);
// `prefix` padded with 'x' to `length` bytes, then `end` (may be empty: no line end at all).
Step LongLine(std::size_t length, std::string end = "\r\n", std::string prefix = "250 ");
Step Garbage(std::string line = "this is no reply\r\n");
Step Endless(std::string line = "250-x\r\n", std::size_t maxLines = 1'000'000);
Step StaySilent();
Step CloseConnection();
Step ResetConnection();

// A normal dialogue accepting one message for `recipients` recipients. Step indices:
// 0 greeting 220, 1 HELO 250, 2 RSET 250, 3 MAIL FROM 250, 4 .. 3+recipients RCPT TO 250,
// 4+recipients DATA 354 (starts data), 5+recipients end of data 250, 6+recipients QUIT 221,
// 7+recipients close.
Script HealthyScript(int recipients = 1);

class ScriptedSmtpServer {
public:
    // How a connection ended; the first cause wins.
    enum class Ending { Open, ClientClosed, ClientReset, ServerClosed, ServerReset, Stopped };

    // Every connection plays `script` from its start. Throws std::runtime_error if it cannot
    // listen.
    explicit ScriptedSmtpServer(Script script);
    // Connection i plays perConnection[i]; later connections play the last one.
    explicit ScriptedSmtpServer(std::vector<Script> perConnection);
    ~ScriptedSmtpServer(); // Stop()
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    std::uint16_t Port() const { return port_; }

    // Records. `connection` counts from 0 in accept order; -1 is the last one accepted. The
    // client's last bytes may still be on their way when it returns: WaitForEnd() first.
    int Connections() const;
    std::string Received(int connection = -1) const; // every byte, exactly as received
    Ending EndOf(int connection = -1) const;
    bool Ended(int connection = -1) const;       // the server is done with it; its record is final
    bool ScriptDone(int connection = -1) const;  // every step of its script has acted
    std::vector<std::string> Messages() const;   // complete DATA messages, up to and with ".\r\n"
    std::vector<std::string> Mismatches() const; // unexpected lines, and lines after the script
    std::string Report() const;                  // all of the above as text, for failure output

    // Wait from the test thread until the condition holds or `ms` passed; true if it holds.
    bool WaitForConnections(int n, int ms) const;
    bool WaitForEnd(int connection, int ms) const;
    bool WaitForMessages(std::size_t n, int ms) const;

    // Ends every connection and joins every thread; the records stay readable. Idempotent.
    void Stop();

private:
    struct Record {
        std::string received;
        Ending ending = Ending::Open;
        bool ended = false;
        std::size_t stepsDone = 0;
        std::size_t steps = 0;
    };
    class Session;

    void AcceptLoop();
    const Record* Find(int connection) const; // with mutex_ held

    std::vector<Script> scripts_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1}; // readable once Stop() begins; every wait polls it
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Record> records_;
    std::vector<std::string> messages_;
    std::vector<std::string> mismatches_;
    std::vector<std::thread> sessions_;

    std::mutex stopMutex_;
    bool stopped_ = false;
    std::thread acceptor_;
};

std::ostream& operator<<(std::ostream& out, ScriptedSmtpServer::Ending ending);

} // namespace fixtures
