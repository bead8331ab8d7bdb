#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "net/psock.h"
#include "smtpserver.h"
#include "testdialogs.h"

using namespace fixtures;

namespace {

// Dispatches events until Done() holds or Ms passed.
template <class F> bool ProcessUntil(F Done, int Ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!Done() && timer.elapsed() < Ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return Done();
}

struct Connected {
    explicit Connected(Script S) : Server(std::move(S)) {
        Sock.Host = "127.0.0.1";
        Sock.Port = Server.Port();
        Sock.Connect();
    }
    ScriptedSmtpServer Server;
    TPowersock Sock;
};

} // namespace

TEST(NthWord, Fields) {
    struct Case {
        std::string Text;
        char Delimiter;
        int N;
        std::string Expected;
    } cases[] = {
        {"a,b,,c", ',', 1, "a"}, {"a,b,,c", ',', 2, "b"}, {"a,b,,c", ',', 3, ""},
        {"a,b,,c", ',', 4, "c"}, {"a,b,,c", ',', 5, ""},  {"", ',', 1, ""},
        {"abc", ',', 1, "abc"},  {"abc", ',', 2, ""},     {" a , b ", ',', 2, " b "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NthWord(c.Text, c.Delimiter, c.N), c.Expected) << c.Text << " " << c.N;
}

TEST(Powersock, ReadLnJoinsPiecesAndSplitsLines) {
    Connected c(
        {Greeting("220 "), ReplyInPieces({"ready\r", "\n250 one\r\n250 two\r\n"}, 50ms).Now()});
    EXPECT_EQ(c.Sock.ReadLn(), "220 ready\r\n");
    EXPECT_EQ(c.Sock.ReadLn(), "250 one\r\n");
    EXPECT_EQ(c.Sock.ReadLn(), "250 two\r\n");
}

TEST(Powersock, TransactionReplyCodes) {
    struct Case {
        Step Answer;
        std::string Line;
        int Code;
    } cases[] = {
        {Reply("250 ok\r\n"), "250 ok\r\n", 250},
        {ReplyInPieces({"25", "0 ok\r\n"}, 30ms), "250 ok\r\n", 250},
        {ReplyBytewise("354 go\r\n"), "354 go\r\n", 354},
        {Garbage("hello\r\n"), "hello\r\n", 0},
        {Reply("0250 x\n"), "0250 x\n", 250},
        // Beyond 16 bits the code is held at its largest value instead of wrapping to 250.
        {Reply("65786 wraps\r\n"), "65786 wraps\r\n", INT16_MAX},
        {Reply("99999999999 long\r\n"), "99999999999 long\r\n", INT16_MAX},
        {CloseConnection(), "", 0},
    };
    for (const Case& k : cases) {
        Connected c({k.Answer});
        std::vector<std::string> statuses;
        c.Sock.ReportLevel = 1;
        c.Sock.OnStatus = [&](TComponent*, const std::string& S) { statuses.push_back(S); };
        EXPECT_EQ(c.Sock.Transaction("NOOP"), k.Line);
        EXPECT_EQ(c.Sock.ReplyCode, k.Code) << k.Line;
        EXPECT_EQ(statuses,
                  k.Line.empty() ? std::vector<std::string>{} : std::vector<std::string>{k.Line});
        EXPECT_EQ(c.Server.Received(), "NOOP\r\n");
    }
}

TEST(Powersock, ReadLnRefusesALineLongerThanItsBuffer) {
    Connected c({LongLine(70000, "\r\n").Now()});
    EXPECT_THROW(c.Sock.ReadLn(), ESockError);
}

TEST(Powersock, ReadLnTimesOutOnASilentPeer) {
    Connected c({StaySilent().Now()});
    c.Sock.TimeOut = 200;
    try {
        c.Sock.ReadLn();
        FAIL() << "no time-out";
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), "Socket readln aborted");
    }
    EXPECT_TRUE(c.Sock.TimedOut);
    EXPECT_FALSE(c.Sock.Canceled);
}

TEST(Powersock, WriteSendsUpToTheFirstNulAndLongTextsWhole) {
    Connected c({StaySilent().Now()});
    c.Sock.Write(std::string("abc\0def", 7));
    const std::string big(70000, 'x');
    c.Sock.Write(big);
    c.Sock.Disconnect();
    c.Server.WaitForEnd(0, 2000);
    EXPECT_EQ(c.Server.Received(), "abc" + big);
}

TEST(Powersock, SendStreamInPiecesOf64KiB) {
    Connected c({StaySilent().Now()});
    TMemoryStream stream;
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    stream.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
    int packets = 0;
    c.Sock.OnPacketSent = [&](TObject*) { ++packets; };
    c.Sock.SendStream(stream);
    EXPECT_EQ(c.Sock.SentBytes, 100000);
    EXPECT_EQ(c.Sock.TotalBytes, 100000);
    EXPECT_GE(packets, 2);
    c.Sock.Disconnect();
    c.Server.WaitForEnd(0, 2000);
    EXPECT_EQ(c.Server.Received(), data);
}

TEST(Powersock, ConnectFailures) {
    TDialogsScope dialogs;
    TPowersock sock;
    int failed = 0;
    sock.OnConnectionFailed = [&](TObject*) { ++failed; };

    // A port nobody listens on: the refusal arrives as a notification.
    int port;
    {
        ScriptedSmtpServer closed(Script{});
        port = closed.Port();
    }
    sock.Host = "127.0.0.1";
    sock.Port = port;
    EXPECT_THROW(
        {
            try {
                sock.Connect();
            } catch (const ESockError& e) {
                EXPECT_STREQ(e.what(), "Connection Failed");
                throw;
            }
        },
        ESockError);
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(sock.Connected);

    // No address and no handler.
    sock.Host = "";
    try {
        sock.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Null Remote Address");
    }

    // The handler gets one chance; a second failure raises without a second call.
    int asked = 0;
    sock.OnInvalidHost = [&](bool& Handled) {
        ++asked;
        Handled = true;
    };
    EXPECT_THROW(sock.Connect(), ESockError);
    EXPECT_EQ(asked, 1);
}

TEST(Powersock, InvalidHostHandlerSuppliesAHost) {
    ScriptedSmtpServer server({StaySilent().Now()});
    TPowersock sock;
    sock.Port = server.Port();
    sock.OnInvalidHost = [&](bool& Handled) {
        sock.Host = "127.0.0.1";
        Handled = true;
    };
    sock.Connect();
    EXPECT_TRUE(sock.Connected);
    EXPECT_THROW(sock.Connect(), ESockError); // "Already connected"
}

TEST(Powersock, HostResolvedOnlyForANameLookup) {
    ScriptedSmtpServer server({StaySilent().Now()});
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        TPowersock sock;
        int resolved = 0;
        int connected = 0;
        sock.OnHostResolved = [&](TComponent*) { ++resolved; };
        sock.OnConnect = [&](TObject*) { ++connected; };
        sock.Host = host;
        sock.Port = server.Port();
        sock.Connect();
        EXPECT_EQ(resolved, host == "localhost" ? 1 : 0) << host;
        EXPECT_EQ(connected, 1);
    }
}

TEST(Powersock, PeerCloseWithAndWithoutUnreadData) {
    // Unread data keeps the connection until the reader meets the close.
    {
        Connected c({Reply("221 bye\r\n").Now(), CloseConnection().Now()});
        int disconnects = 0;
        c.Sock.OnDisconnect = [&](TObject*) { ++disconnects; };
        ProcessUntil([] { return false; }, 200);
        EXPECT_EQ(disconnects, 0);
        EXPECT_EQ(c.Sock.ReadLn(), "221 bye\r\n");
        EXPECT_EQ(c.Sock.ReadLn(), "");
    }
    // Nothing unread: the close is noticed, and a fresh socket is ready.
    {
        Connected c({CloseConnection().Now()});
        int disconnects = 0;
        c.Sock.OnDisconnect = [&](TObject*) { ++disconnects; };
        EXPECT_TRUE(ProcessUntil([&] { return !c.Sock.Connected; }));
        EXPECT_EQ(disconnects, 1);
        EXPECT_NE(c.Sock.SocketHandle, winsock::INVALID_SOCKET);
    }
}

TEST(Powersock, DisconnectTwiceOpensAFreshSocketEachTime) {
    Connected c({StaySilent().Now()});
    int disconnects = 0;
    c.Sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    c.Sock.Disconnect();
    c.Sock.Disconnect();
    EXPECT_EQ(disconnects, 2);
    EXPECT_FALSE(c.Sock.Connected);
    EXPECT_NE(c.Sock.SocketHandle, winsock::INVALID_SOCKET);
    // The component connects again.
    c.Sock.Connect();
    EXPECT_TRUE(c.Sock.Connected);
}

TEST(Powersock, ErrorManagerRaisesNumberedTexts) {
    TPowersock sock;
    std::vector<std::string> events;
    sock.OnError = [&](TComponent*, uint16_t N, const std::string& T) {
        events.push_back(std::to_string(N) + " " + T);
    };
    winsock::WSASetLastError(10035);
    EXPECT_EQ(sock.ErrorManager(10035), "");
    EXPECT_EQ(sock.LastErrorNo, 10035u);
    winsock::WSASetLastError(10061);
    try {
        sock.ErrorManager(10035);
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "10061:Connection refused");
    }
    EXPECT_EQ(events, std::vector<std::string>{"10061 10061:Connection refused"});
    EXPECT_EQ(sock.SocketErrorStr(12345), "Unknown Error No. 12345");
    EXPECT_EQ(sock.SocketErrorStr(0), "");
}
