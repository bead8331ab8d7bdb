#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <arpa/inet.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

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
    // The peer's close, noticed while the rest was unread, still ends the next wait.
    Connected closing({LongLine(70000, "").Now(), CloseConnection().Now()});
    closing.Sock.TimeOut = 5000;
    ProcessUntil([] { return false; }, 100);
    EXPECT_THROW(closing.Sock.ReadLn(), ESockError);
    EXPECT_EQ(closing.Sock.ReadLn(), "");
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

// A stream whose data ends before its size, as a file that shrinks while it is sent.
class TShortStream : public TMemoryStream {
public:
    int64_t Seek(int64_t Offset, int Origin) override {
        if (Origin == soFromEnd)
            return TMemoryStream::Seek(Offset + 1000, soFromEnd);
        return TMemoryStream::Seek(Offset, Origin);
    }
};

TEST(Powersock, SendStreamEndsWhenTheStreamEndsBeforeItsSize) {
    Connected c({StaySilent().Now()});
    TShortStream stream;
    stream.WriteBuffer("abc", 3);
    c.Sock.SendStream(stream);
    EXPECT_EQ(c.Sock.SentBytes, 3);
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
        // Once the data is taken the close is news again, and now it closes.
        EXPECT_TRUE(ProcessUntil([&] { return !c.Sock.Connected; }));
        EXPECT_EQ(disconnects, 1);
        EXPECT_EQ(c.Sock.ReadLn(), "");
    }
    // Nothing unread: the close is noticed, and a fresh socket is ready.
    {
        // The server closes on the client's line, so the close cannot come before the handler.
        Connected c({CloseConnection()});
        int disconnects = 0;
        c.Sock.OnDisconnect = [&](TObject*) { ++disconnects; };
        c.Sock.Writeln("QUIT");
        EXPECT_TRUE(ProcessUntil([&] { return !c.Sock.Connected; }));
        EXPECT_EQ(disconnects, 1);
        EXPECT_NE(c.Sock.SocketHandle, winsock::INVALID_SOCKET);
    }
}

TEST(Powersock, DataNewsRepeatsWhileReadDataIsLeftBehind) {
    // Two replies in one write: each notice reads one line, and the line left behind is
    // reported again. The replies answer the client's line, so they cannot come before the
    // handler.
    Connected c({Reply("250 one\r\n250 two\r\n"), StaySilent().Now()});
    std::vector<std::string> lines;
    c.Sock.OnDataArrival = [&](TObject*) { lines.push_back(c.Sock.ReadLn()); };
    c.Sock.Writeln("NOOP");
    EXPECT_TRUE(ProcessUntil([&] { return lines.size() >= 2; }, 2000));
    EXPECT_EQ(lines, (std::vector<std::string>{"250 one\r\n", "250 two\r\n"}));
    ProcessUntil([] { return false; }, 100);
    EXPECT_EQ(lines.size(), 2u);
}

TEST(Powersock, ALookThatFillsItsBufferLeavesTheRestReported) {
    // The first line fills ReadLn's whole look, so the look cannot tell that more waits behind
    // it; the next ReadLn must not sleep on the line that is already there.
    const std::string longLine(65536, 'x');
    Connected c({Reply(longLine + "\n250 OK\r\n").Now(), StaySilent().Now()});
    c.Sock.TimeOut = 2000;
    ProcessUntil([] { return false; }, 200);
    EXPECT_EQ(c.Sock.ReadLn(), longLine + "\n");
    EXPECT_EQ(c.Sock.ReadLn(), "250 OK\r\n");
    EXPECT_FALSE(c.Sock.TimedOut);
}

TEST(Powersock, MoreThanTheInputHoldsArrivesWholeAfterTheReaderRests) {
    // While nobody reads, the input fills up and the socket is left to hold the rest; taking
    // data must start the watch again, so that what comes later is news.
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 23);
    Connected c({ReplyInPieces({big, "tail"}, 300ms).Now(), CloseConnection().Now()});
    c.Sock.TimeOut = 3000;
    ProcessUntil([] { return false; }, 200);
    std::string text;
    c.Sock.CaptureString(text, -1);
    EXPECT_EQ(text.size(), big.size() + 4);
    EXPECT_TRUE(text == big + "tail");
    EXPECT_FALSE(c.Sock.TimedOut);
}

TEST(Powersock, ReadOfACountWaitsForEveryPiece) {
    Connected c({ReplyInPieces({"abc", "defg", "hij", "klm"}, 30ms).Now(), StaySilent().Now()});
    c.Sock.TimeOut = 3000;
    EXPECT_EQ(c.Sock.Read(10), "abcdefghij");
    EXPECT_EQ(c.Sock.Read(3), "klm");
    EXPECT_FALSE(c.Sock.TimedOut);
}

TEST(Powersock, ReadOfACountTakesWhatIsLeftWhenThePeerCloses) {
    Connected c({Reply("abc").Now(), CloseConnection().Now()});
    // A Read that waited for bytes that will never come would end only here, and fail. The
    // timer goes with the test.
    QObject scope;
    QTimer::singleShot(3000, &scope, [&] { c.Sock.Cancel(); });
    EXPECT_EQ(c.Sock.Read(10), "abc");
    EXPECT_EQ(c.Sock.Read(10), "");
}

TEST(Powersock, LocalAndRemoteAddressTexts) {
    Connected c({StaySilent().Now()});
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(c.Sock.SocketHandle, reinterpret_cast<sockaddr*>(&local), &len);
    const int port = ntohs(local.sin_port);
    EXPECT_EQ(c.Sock.GetLocalAddress(), "127,0,0,1");
    EXPECT_EQ(c.Sock.GetPortString(),
              "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF));
    EXPECT_EQ(c.Sock.GetRemoteIP(), "127.0.0.1");
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

TEST(NthPos, Positions) {
    const std::tuple<std::string, int, int> cases[] = {
        {"a,b,", 1, 2}, {"a,b,", 2, 4}, {"a,b,", 3, 5}, {"", 1, 1}, {",", 1, 1}, {"abc", 1, 4},
    };
    for (const auto& [text, n, expected] : cases)
        EXPECT_EQ(NthPos(text, ',', n), expected) << text << " " << n;
}

TEST(StreamLn, WritesTheLineWithItsEndOrRaises) {
    TMemoryStream stream;
    StreamLn(stream, "HELO x");
    StreamLn(stream, "");
    EXPECT_EQ(stream.Bytes(), "HELO x\r\n\r\n");

    struct TFullStream : TMemoryStream {
        int32_t Write(const void*, int32_t Count) override { return Count - 1; }
    } full;
    EXPECT_THROW(StreamLn(full, "x"), EWriteError);
}

TEST(SocketErrors, TableTextsAndPlatformNumbers) {
    TPowersock sock;
    const std::pair<uint16_t, std::string> texts[] = {
        {10004, "10004:Interrupted system call"},
        {10035, "10035:Operation would block"},
        {10047, "10047:Address family not supported by protocol family"},
        {10054, "10054:Connection reset by peer"},
        {10061, "10061:Connection refused"},
        {10093, "10093:Successful WSAStartup not yet performed"},
        {11003, "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
        {11004, "11004:Valid name, no data record of requested type"},
        {10072, "Unknown Error No. 10072"},
        {0, ""},
    };
    for (const auto& [number, text] : texts)
        EXPECT_EQ(sock.SocketErrorStr(number), text);
    const std::pair<int, int> numbers[] = {
        {EAGAIN, 10035},   {ECONNREFUSED, 10061}, {ECONNRESET, 10054}, {EPIPE, 10054},
        {ENOTCONN, 10057}, {ETIMEDOUT, 10060},    {EADDRINUSE, 10048}, {EHOSTUNREACH, 10065},
    };
    for (const auto& [errnoValue, wsa] : numbers)
        EXPECT_EQ(winsock::ErrnoToWSA(errnoValue), wsa) << errnoValue;

    // A reset read through the socket calls carries the table's number.
    ScriptedSmtpServer server({ResetConnection().Now()});
    const winsock::TSocket s = winsock::socket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.Port());
    address.sin_addr.s_addr = winsock::inet_addr("127.0.0.1");
    ASSERT_EQ(winsock::connect(s, address), 0);
    server.WaitForEnd(0, 2000);
    char c;
    EXPECT_EQ(winsock::recv(s, &c, 1, 0), winsock::SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), 10054);
    winsock::closesocket(s);
}

TEST(Powersock, StatusLevelsAndAHandlerThatRaises) {
    Connected c({Reply("250 ok\r\n")});
    std::vector<std::string> seen;
    c.Sock.OnStatus = [&](TComponent*, const std::string& S) {
        seen.push_back(S);
        throw Exception("a broken handler");
    };
    c.Sock.ReportLevel = 4;
    EXPECT_EQ(c.Sock.Transaction("NOOP"), "250 ok\r\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"Sending Buffer", "250 ok\r\n"}));
    seen.clear();
    c.Sock.ReportLevel = 8;
    c.Sock.Disconnect();
    EXPECT_EQ(seen, (std::vector<std::string>{"Disconnecting", "Request Close Socket"}));
    EXPECT_EQ(c.Sock.Status, "Request Close Socket");
}

namespace {

// A listener whose queue is full, so that a further connect waits for ever.
struct BlackHole {
    BlackHole() {
        Listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(Listener, 0);
        socklen_t len = sizeof a;
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        for (int& f : Fillers) {
            f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 50) {
        }
    }
    ~BlackHole() {
        for (int f : Fillers)
            ::close(f);
        ::close(Listener);
    }
    int Listener;
    int Fillers[3];
    uint16_t Port;
};

} // namespace

TEST(Powersock, ConnectEndsWhenThePeerClosesAtOnce) {
    ScriptedSmtpServer server({CloseConnection().Now()});
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.TimeOut = 3000;
    int connects = 0;
    int disconnects = 0;
    sock.OnConnect = [&](TObject*) { ++connects; };
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    // Holds the thread once the connect has started, so that the peer's close is there before
    // the connect's news is read: both come in one dispatch.
    sock.ReportLevel = 8;
    sock.OnStatus = [&](TComponent*, const std::string& Status) {
        if (Status == "Timer On" && connects == 0)
            std::this_thread::sleep_for(200ms);
    };
    sock.Connect();
    EXPECT_FALSE(sock.TimedOut);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock.Connected);
    EXPECT_EQ(sock.ReadLn(), "");
}

TEST(Powersock, ConnectTimesOutAndCancels) {
    BlackHole hole;
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = hole.Port;
    int failed = 0;
    sock.OnConnectionFailed = [&](TObject*) { ++failed; };

    sock.TimeOut = 200;
    try {
        sock.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection Timed out");
    }
    EXPECT_TRUE(sock.TimedOut);

    sock.TimeOut = 0;
    QTimer::singleShot(100, [&] { sock.Cancel(); });
    try {
        sock.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection Canceled");
    }
    EXPECT_EQ(failed, 2);
    // The cancel stays set until a send meets it, once.
    EXPECT_THROW(sock.Write("x"), EAbortError);
    EXPECT_FALSE(sock.Canceled);
}

TEST(Powersock, CancelEndsEachWait) {
    // ReadLn, from a timer while it waits.
    {
        Connected c({StaySilent().Now()});
        QTimer::singleShot(50, [&] { c.Sock.Cancel(); });
        EXPECT_THROW(c.Sock.ReadLn(), EAbortError);
        EXPECT_FALSE(c.Sock.TimedOut);
        c.Sock.Write("still works\r\n");
    }
    // Read of a count that never arrives in full.
    {
        Connected c({Reply("abc").Now(), StaySilent().Now()});
        QTimer::singleShot(100, [&] { c.Sock.Cancel(); });
        EXPECT_THROW(c.Sock.Read(10), EAbortError);
        EXPECT_EQ(c.Sock.Read(3), "abc");
    }
    // SendStream, from its own packet handler.
    {
        Connected c({StaySilent().Now()});
        TMemoryStream stream;
        const std::string data(200000, 'z');
        stream.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
        c.Sock.OnPacketSent = [&](TObject*) { c.Sock.Cancel(); };
        try {
            c.Sock.SendStream(stream);
            FAIL();
        } catch (const EAbortError& e) {
            EXPECT_STREQ(e.what(), "Socket send aborted");
        }
        EXPECT_LT(c.Sock.SentBytes, 200000);
    }
}

TEST(Powersock, CaptureOperations) {
    const std::string body = "0123456789abcde"; // 15 bytes in one write
    // CaptureString stops between passes, never within one.
    {
        Connected c({Reply(body).Now(), StaySilent().Now()});
        std::string text = "old";
        c.Sock.CaptureString(text, 10);
        EXPECT_EQ(text, body);
        EXPECT_EQ(c.Sock.ReceivedBytes, 15);
    }
    // Byte by byte until the peer closes, in every receiving operation.
    {
        Connected c({ReplyBytewise("xyz", 5ms).Now(), CloseConnection().Now()});
        int packets = 0;
        c.Sock.OnPacketReceived = [&](TObject*) { ++packets; };
        std::string text;
        c.Sock.CaptureString(text, -1);
        EXPECT_EQ(text, "xyz");
        EXPECT_GE(packets, 1);
    }
    {
        Connected c({ReplyBytewise("xyz", 5ms).Now(), CloseConnection().Now()});
        TMemoryStream stream;
        c.Sock.CaptureStream(stream, 100);
        EXPECT_EQ(stream.Bytes(), "xyz");
    }
    // Size -1 makes one pass, with or without data.
    {
        Connected c({StaySilent().Now()});
        TMemoryStream stream;
        c.Sock.CaptureStream(stream, -1);
        EXPECT_EQ(stream.GetSize(), 0);
    }
    // The time-out measures the silence between chunks, not the whole capture.
    {
        Connected c({ReplyBytewise("abcdefgh", 100ms).Now(), CloseConnection().Now()});
        c.Sock.TimeOut = 400;
        std::string text;
        c.Sock.CaptureString(text, -1);
        EXPECT_EQ(text, "abcdefgh");
        EXPECT_FALSE(c.Sock.TimedOut);
    }
    // A silent peer and a time-out.
    {
        Connected c({Reply("ab").Now(), StaySilent().Now()});
        c.Sock.TimeOut = 200;
        std::string text;
        try {
            c.Sock.CaptureString(text, 100);
            FAIL();
        } catch (const EAbortError& e) {
            EXPECT_STREQ(e.what(), "Socket capture aborted");
        }
        EXPECT_EQ(text, "ab");
        EXPECT_TRUE(c.Sock.TimedOut);
        EXPECT_FALSE(c.Sock.Canceled);
    }
}

TEST(Powersock, FileTransfers) {
    const std::string dir = ::testing::TempDir();
    // One file per process, so that two builds' tests can run at once.
    const std::string path = dir + "/vintrop-capture-" + std::to_string(::getpid()) + ".bin";
    const auto writeFile = [](const std::string& Path, const std::string& Text) {
        TFileStream f(Path, fmCreate);
        f.WriteBuffer(Text.data(), static_cast<int32_t>(Text.size()));
    };
    const auto readFile = [](const std::string& Path) {
        TFileStream f(Path, fmOpenRead);
        std::string text(static_cast<size_t>(f.GetSize()), '\0');
        f.ReadBuffer(text.data(), static_cast<int32_t>(text.size()));
        return text;
    };

    writeFile(path, "previous");
    {
        Connected c({Reply("new").Now(), CloseConnection().Now()});
        c.Sock.CaptureFile(path);
    }
    EXPECT_EQ(readFile(path), "new");
    {
        Connected c({Reply(" and more").Now(), CloseConnection().Now()});
        c.Sock.AppendFile(path);
    }
    EXPECT_EQ(readFile(path), "new and more");
    EXPECT_THROW(TPowersock().AppendFile(dir + "/vintrop-missing"), EFOpenError);

    // SendFile counts on across files.
    Connected c({StaySilent().Now()});
    c.Sock.SentBytes = 0;
    c.Sock.SendFile(path);
    c.Sock.SendFile(path);
    EXPECT_EQ(c.Sock.SentBytes, 24);
    c.Sock.OnPacketSent = [&](TObject*) { c.Sock.Cancel(); };
    EXPECT_THROW(c.Sock.SendFile(path), EAbortError);
    EXPECT_FALSE(c.Sock.Canceled);
    c.Sock.Disconnect();
    ASSERT_TRUE(c.Server.WaitForEnd(0, 2000));
    EXPECT_EQ(c.Server.Received(), "new and morenew and morenew and more");
    std::remove(path.c_str());
}

TEST(Powersock, FilterHeaderLeavesTheBodyUnread) {
    Connected c({Reply("Subject: x\r\n\r\nbody\r\n").Now(), StaySilent().Now()});
    TMemoryStream header;
    c.Sock.FilterHeader(header);
    EXPECT_EQ(header.Bytes(), "Subject: x\r\n\r\n");
    EXPECT_EQ(c.Sock.ReadLn(), "body\r\n");
}

TEST(Powersock, ListenAndAccept) {
    for (const bool dataMode : {false, true}) {
        uint16_t port;
        {
            ScriptedSmtpServer probe(Script{});
            port = probe.Port();
        }
        TPowersock server;
        server.Port = port;
        server.OnAcceptReady = [&](TObject*) { server.AsyncDone = true; };
        server.Listen(dataMode);

        const auto dial = [port] {
            const int client = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            return client;
        };
        const int client = dial();
        const winsock::TSocket accepted = server.Accept();
        ASSERT_NE(accepted, winsock::INVALID_SOCKET) << dataMode;
        EXPECT_TRUE(server.Connected);
        EXPECT_EQ(server.GetRemoteIP(), "127.0.0.1");
        EXPECT_EQ(::send(client, "hi", 2, 0), 2);
        char buffer[2];
        EXPECT_EQ(::recv(accepted, buffer, 2, MSG_WAITALL), 2);
        server.Close(accepted);
        ::close(client);

        // A second Accept waits for the next request instead of failing without a word.
        int second = -1;
        QObject scope;
        QTimer::singleShot(100, &scope, [&] { second = dial(); });
        const winsock::TSocket next = server.Accept();
        EXPECT_NE(next, winsock::INVALID_SOCKET) << dataMode;
        EXPECT_GE(second, 0);
        server.Close(next);
        ::close(second);

        // A port that is taken is an error, not a listen on some other port.
        TPowersock rival;
        rival.Port = port;
        EXPECT_THROW(rival.Listen(dataMode), ESockError);
    }
}

TEST(Powersock, AHostLookupGivenUpOnNeverFinishesLater) {
    // Cancels as the lookup starts, so the wait ends before its result.
    const auto cancelAtLookup = [](TPowersock& Sock) {
        Sock.Host = "localhost";
        Sock.Port = 1;
        Sock.ReportLevel = 8;
        Sock.OnStatus = [&Sock](TComponent*, const std::string& Status) {
            if (Status == "Timer On")
                Sock.Cancel();
        };
    };
    TPowersock sock;
    cancelAtLookup(sock);
    try {
        sock.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Host Lookup Canceled");
    }
    ProcessUntil([] { return false; }, 300);
    EXPECT_FALSE(sock.AsyncDone);
    EXPECT_TRUE(sock.EventOK);

    // A component destroyed while its lookup runs: the result finds no one, and nothing of
    // the lookup is left behind (the sanitizer build checks both).
    {
        TPowersock gone;
        cancelAtLookup(gone);
        EXPECT_THROW(gone.Connect(), ESockError);
    }
    ProcessUntil([] { return false; }, 300);
}

TEST(ThreadTimer, TicksOnlyWhenEnabledWithAnIntervalAndAHandler) {
    TThreadTimer timer;
    int ticks = 0;
    timer.SetInterval(10);
    ProcessUntil([] { return false; }, 60);
    EXPECT_EQ(ticks, 0); // no handler yet
    timer.SetEnabled(false);
    timer.SetOnTimer([&](TObject*) { ++ticks; });
    ProcessUntil([] { return false; }, 60);
    EXPECT_EQ(ticks, 0); // disabled
    timer.SetEnabled(true);
    EXPECT_TRUE(ProcessUntil([&] { return ticks >= 2; }));
    timer.SetInterval(0);
    const int seen = ticks;
    ProcessUntil([] { return false; }, 60);
    EXPECT_EQ(ticks, seen); // interval 0 stops it
}

// A window's timers share one event-loop timer: each keeps its own period, a restart
// postpones the next tick, and a stopped timer no longer ticks.
TEST(HiddenWindow, TimersKeepTheirOwnPeriods) {
    std::map<uintptr_t, int> ticks;
    THiddenWindow window([&](TMessage& M) {
        if (M.Msg == WM_TIMER)
            ++ticks[M.WParam];
    });
    ASSERT_TRUE(window.SetTimer(1, 20));
    ASSERT_TRUE(window.SetTimer(2, 1000));
    ASSERT_TRUE(window.SetTimer(3, 300));
    QTimer restarter;
    QObject::connect(&restarter, &QTimer::timeout, [&] { window.SetTimer(3, 300); });
    restarter.start(50);
    ProcessUntil([] { return false; }, 700);
    EXPECT_GE(ticks[1], 5);
    EXPECT_EQ(ticks[2], 0);
    EXPECT_EQ(ticks[3], 0);

    restarter.stop();
    window.KillTimer(1);
    const int fast = ticks[1];
    EXPECT_TRUE(ProcessUntil([&] { return ticks[2] >= 1; }, 2000));
    EXPECT_EQ(ticks[1], fast);
    EXPECT_GE(ticks[3], 1);
}
