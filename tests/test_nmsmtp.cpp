#include <gtest/gtest.h>

#include "mail/nmsmtp.h"
#include "realsmtp.h"
#include "smtpserver.h"

using namespace fixtures;

namespace {

// A client with the main window's settings and one prepared mail.
struct Client {
    explicit Client(uint16_t Port) {
        Smtp.Host = "127.0.0.1";
        Smtp.Port = Port;
        Smtp.UserID = "348491";
        // A test that goes wrong ends in a time-out rather than a hang.
        Smtp.TimeOut = 5000;
        Smtp.PostMessage.FromAddress = "me@here";
        Smtp.PostMessage.FromName = "Me";
        Smtp.PostMessage.ToAddress.Add("+79029000000@sms.example.com");
        Smtp.PostMessage.Body.Add("Privet");
        Smtp.OnRecipientNotFound = [this](const std::string& R) { Log.push_back("notfound " + R); };
        Smtp.OnFailure = [this](TObject*) { Log.push_back("failure"); };
        Smtp.OnSuccess = [this](TObject*) {
            Log.push_back("success " + std::to_string(Smtp.PostMessage.ToAddress.Count()));
        };
        Smtp.OnConnect = [this](TObject*) { Log.push_back("connect"); };
        Smtp.OnDisconnect = [this](TObject*) { Log.push_back("disconnect"); };
    }
    // Runs Action and returns the text of the error it raised, or "" when none.
    template <class F> std::string ErrorOf(F Action) {
        try {
            Action();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
    TNMSMTP Smtp;
    std::vector<std::string> Log;
};

const std::string Transcript = "HELO 348491\r\n"
                               "RSET\r\n"
                               "MAIL FROM:<me@here>\r\n"
                               "RCPT TO:<+79029000000@sms.example.com>\r\n"
                               "DATA\r\n"
                               "From: Me<me@here>\r\n"
                               "To: +79029000000@sms.example.com\r\n"
                               "Mime-Version: 1.0\r\n"
                               "Content-Type: text/plain; charset=us-ascii\r\n"
                               "\r\n"
                               "\r\n"
                               "Privet\r\n"
                               ".\r\n"
                               "QUIT\r\n";

std::string ReadFile(const std::string& Path) {
    TFileStream f(Path, fmOpenRead);
    std::string text(static_cast<size_t>(f.GetSize()), '\0');
    f.ReadBuffer(text.data(), static_cast<int32_t>(text.size()));
    return text;
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
    TFileStream f(Path, fmCreate);
    f.WriteBuffer(Bytes.data(), static_cast<int32_t>(Bytes.size()));
}

} // namespace

TEST(Smtp, WholeDialogueOnTheWire) {
    ScriptedSmtpServer server(HealthyScript());
    Client c(server.Port());
    c.Smtp.Connect();
    c.Smtp.SendMail();
    c.Smtp.Disconnect();
    ASSERT_TRUE(server.WaitForEnd(0, 3000));
    EXPECT_EQ(server.Received(), Transcript);
    EXPECT_TRUE(server.ScriptDone()) << server.Report();
    EXPECT_EQ(c.Log, (std::vector<std::string>{"connect", "success 0", "disconnect"}));
    EXPECT_FALSE(c.Smtp.Busy);
    EXPECT_EQ(c.Smtp.PostMessage.Body.Count(), 1);
}

// Each step's threshold: the last accepted code and the first refused one.
TEST(Smtp, ReplyCodeThresholds) {
    const Script healthy = HealthyScript();
    struct Case {
        size_t StepIndex;
        std::string Reply;
        std::string Error; // "" when the step is accepted
        std::vector<std::string> Log;
    } cases[] = {
        {0, "399 hi\r\n", "", {"connect", "success 0", "disconnect"}},
        {0, "421 busy\r\n", "421 busy\r\n", {"disconnect"}},
        {1, "299 ok\r\n", "", {"connect", "success 0", "disconnect"}},
        {1, "300 no\r\n", "Authentication failed", {"disconnect"}},
        {2, "399 ok\r\n", "", {"connect", "success 0", "disconnect"}},
        {2, "400 no\r\n", "400 no\r\n", {"connect"}},
        {3, "399 ok\r\n", "", {"connect", "success 0", "disconnect"}},
        {3, "400 no\r\n", "400 no\r\n", {"connect"}},
        {4, "300 ok\r\n", "", {"connect", "success 0", "disconnect"}},
        {4,
         "301 no\r\n",
         "",
         {"connect", "notfound +79029000000@sms.example.com", "success 0", "disconnect"}},
        {5, "399 go\r\n", "", {"connect", "success 0", "disconnect"}},
        {5, "400 no\r\n", "400 no\r\n", {"connect"}},
        {6, "399 ok\r\n", "", {"connect", "success 0", "disconnect"}},
        {6, "400 no\r\n", "400 no\r\n", {"connect", "failure"}},
        {7, "339 bye\r\n", "", {"connect", "success 0", "disconnect"}},
        {7, "340 eh\r\n", "340 eh\r\n", {"connect", "success 0", "disconnect"}},
    };
    for (const Case& k : cases) {
        Script script = healthy;
        Step& step = script[k.StepIndex];
        step = step.Instead(Reply(k.Reply));
        if (k.StepIndex == 5 && k.Error.empty())
            step = step.StartsData();
        ScriptedSmtpServer server(script);
        Client c(server.Port());
        const std::string error = c.ErrorOf([&] {
            c.Smtp.Connect();
            c.Smtp.SendMail();
            c.Smtp.Disconnect();
        });
        EXPECT_EQ(error, k.Error) << "step " << k.StepIndex << " " << k.Reply;
        EXPECT_EQ(c.Log, k.Log) << "step " << k.StepIndex << " " << k.Reply;
        EXPECT_FALSE(c.Smtp.Busy);
        // A refused greeting or HELO sends QUIT and closes.
        if (k.StepIndex <= 1 && !k.Error.empty()) {
            EXPECT_FALSE(c.Smtp.Connected);
            EXPECT_NE(server.Received().find("QUIT\r\n"), std::string::npos);
        }
        // After a failed send the recipients are kept and the connection stays.
        if (k.StepIndex >= 2 && k.StepIndex <= 6 && !k.Error.empty()) {
            EXPECT_EQ(c.Smtp.PostMessage.ToAddress.Count(), 1);
            EXPECT_TRUE(c.Smtp.Connected);
        }
    }
}

TEST(Smtp, MultiLineGreetingAndHeloAreReadWhole) {
    ScriptedSmtpServer server({Greeting("220-first\r\n220-second\r\n220 last\r\n"),
                               Reply("250-hello\r\n250-SIZE\r\n250 HELP\r\n").Expect("HELO 348491"),
                               Reply("250 reset\r\n").Expect("RSET"), StaySilent()});
    Client c(server.Port());
    c.Smtp.Connect();
    EXPECT_EQ(c.Smtp.Transaction("RSET"), "250 reset\r\n");

    // A HELO reply whose last line never comes is no acceptance.
    ScriptedSmtpServer cut({Greeting("220 hi\r\n"), Reply("250-hello\r\n").Expect("HELO 348491"),
                            CloseConnection().Now()});
    Client d(cut.Port());
    EXPECT_EQ(d.ErrorOf([&] { d.Smtp.Connect(); }), "Connection closed by server");
    EXPECT_FALSE(d.Smtp.Connected);
}

TEST(Smtp, AuthenticationRetryHappensOnce) {
    ScriptedSmtpServer server({Greeting("220 hi\r\n"), Reply("550 who\r\n"), Reply("550 who\r\n"),
                               Reply("221 bye\r\n").Expect("QUIT")});
    Client c(server.Port());
    int asked = 0;
    c.Smtp.OnAuthenticationFailed = [&](bool& Handled) {
        ++asked;
        Handled = true;
    };
    EXPECT_EQ(c.ErrorOf([&] { c.Smtp.Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);
    server.WaitForEnd(0, 2000);
    EXPECT_EQ(server.Received(), "HELO 348491\r\nHELO 348491\r\nQUIT\r\n");
}

TEST(Smtp, IncompleteHeader) {
    ScriptedSmtpServer server(HealthyScript());
    Client c(server.Port());
    c.Smtp.Connect();
    c.Smtp.PostMessage.FromAddress = "";
    c.Smtp.PostMessage.ToAddress.Clear();
    std::vector<int> types;
    c.Smtp.OnHeaderIncomplete = [&](bool& handled, int hiType) {
        types.push_back(hiType);
        handled = true;
    };
    EXPECT_EQ(c.ErrorOf([&] { c.Smtp.SendMail(); }), "Incomplete Header");
    EXPECT_EQ(types, std::vector<int>{1});
    EXPECT_EQ(server.Received(), "HELO 348491\r\n");
    EXPECT_TRUE(c.Smtp.Connected);

    // Mended by the handler, the mail goes out on the same connection.
    c.Smtp.OnHeaderIncomplete = [&](bool& handled, int hiType) {
        types.push_back(hiType);
        c.Smtp.PostMessage.FromAddress = "me@here";
        c.Smtp.PostMessage.ToAddress.Add("+79029000000@sms.example.com");
        handled = true;
    };
    c.Smtp.SendMail();
    EXPECT_EQ(types, (std::vector<int>{1, 1}));
    EXPECT_EQ(c.Log.back(), "success 0");
}

TEST(Smtp, RecipientsInListOrderWithRefusalsReported) {
    // Greeting, HELO, RSET, MAIL, then a1, b2, c3 (refused) and d4, DATA and the end of data.
    // Replies of several lines are read whole: each command meets its own reply.
    Script script = {Greeting("220 hi\r\n")};
    for (const char* reply : {"250 ok\r\n", "250 ok\r\n", "250-sender\r\n250 ok\r\n", "250 ok\r\n",
                              "250 ok\r\n", "550-no\r\n550 such user\r\n", "250 ok\r\n"})
        script.push_back(Reply(reply));
    script.push_back(Reply("354 go\r\n").StartsData());
    script.push_back(Reply("250 ok\r\n"));
    ScriptedSmtpServer server(script);
    Client c(server.Port());
    auto& m = c.Smtp.PostMessage;
    m.ToAddress.Clear();
    m.ToAddress.Add("a1");
    m.ToAddress.Add("");
    m.ToAddress.Add("Bob <b2>");
    m.ToCarbonCopy.Add("Carol <c3>");
    m.ToBlindCarbonCopy.Add("SMTP:d4");
    c.Smtp.Connect();
    c.Smtp.SendMail();
    const std::string received = server.Received();
    EXPECT_NE(received.find("RCPT TO:<a1>\r\nRCPT TO:<b2>\r\nRCPT TO:<c3>\r\nRCPT TO:<d4>\r\n"),
              std::string::npos);
    EXPECT_NE(received.find("To: a1,,Bob <b2>\r\nCC: Carol <c3>\r\n"), std::string::npos);
    EXPECT_EQ(received.find("d4\r\nMime"), std::string::npos); // no BCC header
    EXPECT_EQ(c.Log, (std::vector<std::string>{"connect", "notfound Carol <c3>", "success 0"}));
    EXPECT_EQ(m.ToCarbonCopy.Count() + m.ToBlindCarbonCopy.Count(), 0);
}

TEST(Smtp, SendMailFromAHandlerDuringSendMailDoesNothing) {
    ScriptedSmtpServer server(HealthyScript());
    Client c(server.Port());
    c.Smtp.Connect();
    int nested = 0;
    c.Smtp.OnPacketSent = [&](TObject*) {
        ++nested;
        c.Smtp.SendMail();
    };
    c.Smtp.SendMail();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(c.Log, (std::vector<std::string>{"connect", "success 0"}));
    EXPECT_EQ(server.Messages().size(), 1u);
}

TEST(Smtp, ExtractAddress) {
    TNMSMTP smtp;
    const std::pair<std::string, std::string> cases[] = {
        {"Bob <b2>", "b2"}, {"<b2>", "b2"},       {"Bob <b2", "b2"}, {"SMTP:a1", "a1"},
        {"a1", "a1"},       {"Team: a1", " a1"},  {"", ""},          {"<>", ""},
        {"a<b>c<d>", "b"},  {"Name: <b2>", "b2"},
    };
    for (const auto& [line, address] : cases)
        EXPECT_EQ(smtp.ExtractAddress(line), address) << line;
}

TEST(Smtp, BodyDotsAndLineBreaks) {
    TNMSMTP smtp;
    auto& body = smtp.PostMessage.Body;
    for (const char* line : {".", ".x", " .y", "plain", "one\r\n.two", "three\nfour\r"})
        body.Add(line);
    smtp.AssembleMail();
    EXPECT_EQ(smtp.MessageStream.Bytes(), "..\r\n..x\r\n .y\r\nplain\r\none\r\n..two\r\n"
                                          "three\r\nfour\r\n\r\n");
}

// Mends: what is no reply is never taken for acceptance, and nothing can split a command.
TEST(Smtp, NoReplyIsNeverAcceptance) {
    const Script healthy = HealthyScript();
    struct Case {
        size_t StepIndex;
        Step Fault;
        std::string Error;
    } cases[] = {
        {0, CloseConnection().Now(), "Connection closed by server"},
        {1, CloseConnection(), "Connection closed by server"},
        {1, Garbage("hello\r\n"), "Unexpected reply from server: hello\r\n"},
        {3, CloseConnection(), "Connection closed by server"},
        {4, Garbage("what\r\n"), "Unexpected reply from server: what\r\n"},
        {6, CloseConnection(), "Connection closed by server"},
    };
    for (const Case& k : cases) {
        Script script = healthy;
        script[k.StepIndex] = script[k.StepIndex].Instead(k.Fault);
        ScriptedSmtpServer server(script);
        Client c(server.Port());
        const std::string error = c.ErrorOf([&] {
            c.Smtp.Connect();
            c.Smtp.SendMail();
        });
        EXPECT_EQ(error, k.Error) << k.StepIndex;
        EXPECT_EQ(std::count(c.Log.begin(), c.Log.end(), "success 0"), 0) << k.StepIndex;
        EXPECT_EQ(c.Smtp.PostMessage.ToAddress.Count(), 1);
        EXPECT_FALSE(c.Smtp.Busy);
    }
}

TEST(Smtp, LineBreaksAndNulsInCommandTextsAreRefusedBeforeSending) {
    ScriptedSmtpServer server(HealthyScript());
    Client c(server.Port());
    c.Smtp.Connect();
    // A file whose name would end the data and send a command of its own.
    const std::string trap = ::testing::TempDir() + "/x\r\n.\r\nQUIT";
    WriteFile(trap, "x");
    const std::function<void()> poisons[] = {
        [&] { c.Smtp.PostMessage.FromAddress = "me@here>\r\nRCPT TO:<x@y"; },
        [&] { c.Smtp.PostMessage.ToAddress.Put(0, "a@b\r\nDATA"); },
        [&] { c.Smtp.PostMessage.Subject = "hi\r\nBcc: x@y"; },
        [&] { c.Smtp.PostMessage.FromName = "Me\n"; },
        // A NUL would end the text where it stands: the command without its line end, or
        // the header without the rest of it.
        [&] { c.Smtp.PostMessage.ToAddress.Put(0, std::string("a@b\0x", 5)); },
        [&] { c.Smtp.PostMessage.Subject = std::string("hi\0Bcc: x@y", 11); },
        [&] { c.Smtp.PostMessage.Attachments.Add(trap); },
        [&] { c.Smtp.Charset = "us-ascii\r\n.\r\nQUIT"; },
    };
    for (const auto& poison : poisons) {
        c.Smtp.PostMessage.FromAddress = "me@here";
        c.Smtp.PostMessage.FromName = "Me";
        c.Smtp.PostMessage.Subject = "";
        c.Smtp.PostMessage.ToAddress.Clear();
        c.Smtp.PostMessage.ToAddress.Add("a@b");
        c.Smtp.PostMessage.Attachments.Clear();
        c.Smtp.Charset = "us-ascii";
        poison();
        EXPECT_NE(c.ErrorOf([&] { c.Smtp.SendMail(); }), "");
        EXPECT_EQ(server.Received(), "HELO 348491\r\n");
    }
    // A folded header line is let through.
    c.Smtp.PostMessage.Attachments.Clear();
    c.Smtp.Charset = "us-ascii";
    c.Smtp.PostMessage.FromName = "Me";
    c.Smtp.PostMessage.Subject = "long\r\n subject";
    c.Smtp.SendMail();
    EXPECT_NE(server.Messages().at(0).find("Subject: long\r\n subject\r\n"), std::string::npos);
}

TEST(Smtp, SendsThroughARealServer) {
    RealSmtpServer server;
    if (server.Missing())
        GTEST_SKIP() << server.Error();
    ASSERT_TRUE(server.Running()) << server.Error();
    Client c(server.Port());
    c.Smtp.PostMessage.Body.Clear();
    c.Smtp.PostMessage.Body.Add("Privet");
    c.Smtp.PostMessage.Body.Add(".dot");
    c.Smtp.Connect();
    c.Smtp.SendMail();
    c.Smtp.Disconnect();
    ASSERT_TRUE(server.WaitForMessages(1, 5000));
    const ReceivedMail mail = server.Messages()[0];
    EXPECT_EQ(mail.from, "me@here");
    EXPECT_EQ(mail.to, std::vector<std::string>{"+79029000000@sms.example.com"});
    EXPECT_NE(mail.data.find("From: Me<me@here>\r\n"), std::string::npos);
    EXPECT_NE(mail.data.find("\r\n\r\n\r\nPrivet\r\n.dot\r\n"), std::string::npos);
}

TEST(Smtp, HeaderLines) {
    struct Case {
        std::function<void(TNMSMTP&)> Set;
        std::string Header;
    } cases[] = {
        {[](TNMSMTP& s) {
             s.PostMessage.FromName = "Ann";
             s.PostMessage.FromAddress = "box1";
             s.PostMessage.ToAddress.Add("a1");
             s.PostMessage.ToAddress.Add("Bob <b2>");
         },
         "From: Ann<box1>\r\nTo: a1,Bob <b2>\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n"},
        {[](TNMSMTP& s) {
             s.PostMessage.FromAddress = "box1";
             s.PostMessage.ToCarbonCopy.Add("c");
             s.PostMessage.ToBlindCarbonCopy.Add("hidden");
             s.PostMessage.Subject = "S";
             s.PostMessage.LocalProgram = "vintrop";
             s.PostMessage.ReplyTo = "r@x";
             s.PostMessage.Date = "Fri, 11 Dec 2026 12:00:00 +0000";
             s.SubType = mtHtml;
             s.Charset = "koi8-r";
         },
         "From: <box1>\r\nCC: c\r\nSubject: S\r\nX-Mailer: vintrop\r\nReply-To: r@x\r\n"
         "Date: Fri, 11 Dec 2026 12:00:00 +0000\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/html; charset=koi8-r\r\n"},
        {[](TNMSMTP& s) { s.SubType = mtEnriched; },
         "From: <>\r\nMime-Version: 1.0\r\nContent-Type: text/enriched; charset=us-ascii\r\n"},
        {[](TNMSMTP& s) { s.SubType = mtSgml; },
         "From: <>\r\nMime-Version: 1.0\r\nContent-Type: text/sgml; charset=us-ascii\r\n"},
        {[](TNMSMTP& s) { s.SubType = mtTabSeperated; },
         "From: <>\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/tab-separated-values; charset=us-ascii\r\n"},
    };
    for (const Case& k : cases) {
        TNMSMTP smtp;
        k.Set(smtp);
        smtp.AssembleMail();
        EXPECT_EQ(smtp.FinalHeader.Text(), k.Header);
    }
    TNMSMTP empty;
    empty.AssembleMail();
    EXPECT_EQ(empty.MessageStream.GetSize(), 0);
}

TEST(Smtp, AttachmentsFrameAndEvents) {
    const std::string dir = ::testing::TempDir();
    WriteFile(dir + "/one.txt", "hello");
    WriteFile(dir + "/empty.bin", "");
    for (const UUMethods method : {uuMime, uuCode}) {
        TNMSMTP smtp;
        smtp.EncodeType = method;
        smtp.SubType = mtHtml;
        smtp.PostMessage.Body.Add("text");
        smtp.PostMessage.Attachments.Add(dir + "/one.txt");
        smtp.PostMessage.Attachments.Add("C:\\folder\\sub:" + dir + "/empty.bin");
        std::vector<std::string> events;
        smtp.OnEncodeStart = [&](const std::string& F) { events.push_back("start " + F); };
        smtp.OnEncodeEnd = [&](const std::string& F) { events.push_back("end " + F); };
        smtp.OnAttachmentNotFound = [&](const std::string& F) { events.push_back("missing " + F); };
        EXPECT_THROW(smtp.AssembleMail(), EFOpenError); // "C:\folder\sub:..." is no file
        EXPECT_EQ(events.back(), "missing C:\\folder\\sub:" + dir + "/empty.bin");

        smtp.PostMessage.Attachments.Put(1, dir + "/empty.bin");
        events.clear();
        smtp.AssembleMail();
        EXPECT_EQ(events, (std::vector<std::string>{
                              "start " + dir + "/one.txt", "end " + dir + "/one.txt",
                              "start " + dir + "/empty.bin", "end " + dir + "/empty.bin"}));
        const std::string& b = smtp.Boundary;
        ASSERT_EQ(b.size(), 35u);
        EXPECT_EQ(b.substr(0, 25), "====================54535");
        EXPECT_EQ(b.substr(31), "====");
        for (char c : b.substr(25, 6))
            EXPECT_TRUE(c >= 'a' && c <= 'y') << b;
        EXPECT_EQ(smtp.FinalHeader.Strings(smtp.FinalHeader.Count() - 1),
                  "Content-Type: multipart/mixed; boundary=\"" + b + "\"");
        const std::string encoding = method == uuMime ? "base64" : "x-uuencode";
        const auto part = [&](const std::string& Name, const std::string& Lines) {
            return "--" + b + "\r\nContent-Type: application/octet-stream; name=\"" + Name +
                   "\"\r\nContent-Transfer-Encoding: " + encoding +
                   "\r\nContent-Disposition: attachment; filename=\"" + Name + "\"\r\n\r\n" + Lines;
        };
        const std::string expected =
            "--" + b + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\ntext\r\n" +
            part("one.txt", method == uuMime ? "aGVsbG8=\r\n" : "%:&5L;&\\\r\n`\r\n") +
            part("empty.bin", method == uuMime ? "" : "`\r\n") + "--" + b + "--\r\n";
        EXPECT_EQ(smtp.MessageStream.Bytes(), expected) << method;
    }
}

TEST(Smtp, TwoAttachmentsComeBackWholeThroughAStandardParser) {
    const std::string dir = ::testing::TempDir();
    std::string binary;
    for (int i = 0; i < 70000; ++i)
        binary += static_cast<char>((i * 131 + i / 256) & 0xFF);
    const std::string text = ".leading dot\r\n.\r\nlast line without end";
    WriteFile(dir + "/photo.bin", binary);
    WriteFile(dir + "/notes.txt", text);

    ScriptedSmtpServer server(HealthyScript());
    Client c(server.Port());
    c.Smtp.PostMessage.Attachments.Add(dir + "/photo.bin");
    c.Smtp.PostMessage.Attachments.Add(dir + "/notes.txt");
    c.Smtp.Connect();
    c.Smtp.SendMail();
    ASSERT_EQ(server.Messages().size(), 1u);

    // Undo the dot doubling and drop the end-of-data line, as a receiving server does.
    std::string message = server.Messages()[0];
    message.resize(message.size() - 3);
    std::string undotted;
    for (size_t start = 0; start < message.size();) {
        size_t end = message.find("\r\n", start);
        end = end == std::string::npos ? message.size() : end + 2;
        const std::string line = message.substr(start, end - start);
        undotted += line.rfind("..", 0) == 0 ? line.substr(1) : line;
        start = end;
    }
    WriteFile(dir + "/message.eml", undotted);
    const std::string command = "/usr/bin/python3 " VINTROP_TESTS_DIR "/parse_mail.py " + dir +
                                "/message.eml " + dir + " > " + dir + "/parts.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(dir + "/parts.txt"), "0 text/plain -\n"
                                            "1 application/octet-stream photo.bin\n"
                                            "2 application/octet-stream notes.txt\n"
                                            "defects 0\n");
    // The line end before a delimiter belongs to the delimiter.
    EXPECT_EQ(ReadFile(dir + "/0"), "Privet");
    EXPECT_EQ(ReadFile(dir + "/1"), binary);
    EXPECT_EQ(ReadFile(dir + "/2"), text);
}

TEST(Smtp, VerifyAndExpandList) {
    ScriptedSmtpServer server(
        {Greeting("220 hi\r\n"), Reply("250 ok\r\n"), Reply("250 <a@b>\r\n").Expect("VRFY a"),
         Reply("252 maybe\r\n").Expect("VRFY b"),
         Reply("250-<x@y>\r\n250-<z@y>\r\n250 <w@y>\r\n").Expect("EXPN team"),
         Reply("550 no\r\n").Expect("EXPN none"), Reply("250 ok\r\n").Expect("RSET")});
    Client c(server.Port());
    EXPECT_THROW(c.Smtp.Verify("a"), Exception); // not connected
    c.Smtp.Connect();
    EXPECT_TRUE(c.Smtp.Verify("a"));
    EXPECT_FALSE(c.Smtp.Verify("b"));
    std::vector<std::string> lists;
    c.Smtp.OnMailListReturn = [&](const std::string& A) { lists.push_back(A); };
    EXPECT_TRUE(c.Smtp.ExpandList("team"));
    EXPECT_FALSE(c.Smtp.ExpandList("none"));
    EXPECT_EQ(lists, std::vector<std::string>{"250-<x@y>\r\n"});
    EXPECT_EQ(c.Smtp.Transaction("RSET"), "250 ok\r\n");
    EXPECT_FALSE(c.Smtp.Busy);
    EXPECT_NE(c.ErrorOf([&] { c.Smtp.Verify("x\r\nRSET"); }), "");
    EXPECT_TRUE(server.Mismatches().empty()) << server.Report();
}

TEST(Smtp, StatusLevelsOverAWholeTransfer) {
    const std::vector<std::string> replies = {"250 reset\r\n", "250 from\r\n",   "250 to\r\n",
                                              "354 go\r\n",    "250 queued\r\n", "221 bye\r\n"};
    for (const int level : {0, 1, 4, 8}) {
        Script script = {Greeting("220-multi\r\n220 greeting\r\n"),
                         Reply("250-hello\r\n250 hello\r\n")};
        for (const std::string& reply : replies)
            script.push_back(reply == "354 go\r\n" ? Reply(reply).StartsData() : Reply(reply));
        ScriptedSmtpServer server(script);
        Client c(server.Port());
        c.Smtp.ReportLevel = level;
        std::vector<std::string> seen;
        c.Smtp.OnStatus = [&](TComponent*, const std::string& S) { seen.push_back(S); };
        c.Smtp.Connect();
        c.Smtp.SendMail();
        c.Smtp.Disconnect();
        std::vector<std::string> levelOne = seen;
        std::erase_if(levelOne, [](const std::string& S) { return !std::isdigit(S[0]); });
        if (level == 0) {
            EXPECT_TRUE(seen.empty());
            continue;
        }
        EXPECT_EQ(levelOne, (std::vector<std::string>{"250-hello\r\n", "250 reset\r\n",
                                                      "250 from\r\n", "250 to\r\n", "354 go\r\n",
                                                      "250 queued\r\n", "221 bye\r\n"}));
        const auto count = [&](const char* S) { return std::count(seen.begin(), seen.end(), S); };
        EXPECT_EQ(count("Sending Buffer"), level >= 4 ? 8 : 0) << level;
        EXPECT_EQ(count("Request Close Socket"), level >= 4 ? 1 : 0) << level;
        EXPECT_EQ(count("Transaction"), level >= 8 ? 7 : 0) << level;
        EXPECT_EQ(level == 1, seen.size() == 7u) << level;
    }
}
