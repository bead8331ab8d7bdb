// Every fault a server can throw at each step of the dialogue, and what must hold afterwards.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "mail/nmsmtp.h"
#include "smtpserver.h"

using namespace fixtures;

namespace {

enum class Fault { Close, Reset, Transient, Permanent, NoCode, Long, Bytewise, Silent };
const char* const FaultNames[] = {"close",   "reset", "4xx",   "5xx",
                                  "no code", "long",  "bytes", "silent"};

// The steps of a dialogue with two recipients, by their index in HealthyScript(2); the body
// step is the message data itself, faulted after its first bytes.
struct StepInfo {
    const char* Name;
    size_t Index;
};
const StepInfo Steps[] = {{"greeting", 0}, {"HELO", 1}, {"RSET", 2}, {"MAIL", 3}, {"RCPT 1", 4},
                          {"RCPT 2", 5},   {"DATA", 6}, {"body", 7}, {"end", 7},  {"QUIT", 8}};

// What a fault at a step must end in: the error text, or one of several separated by "|" where
// the order of the socket's news decides ("" for none), and whether the message was accepted.
struct Outcome {
    const char* Error;
    bool Sent;
};

const char* const Closed = "Connection closed by server";
const char* const Reset = "10054:Connection reset by peer|Connection closed by server";
const char* const Aborted = "Socket readln aborted";
const char* const TooLong = "Reply line longer than 65536 bytes";
const char* const NoCode = "Unexpected reply from server: garbage\r\n";

// Rows: the steps; columns: the faults in the order of Fault.
const Outcome Expected[10][8] = {
    /* greeting */ {{Closed, 0},
                    {Reset, 0},
                    {"421 fault\r\n", 0},
                    {"554 fault\r\n", 0},
                    {NoCode, 0},
                    {TooLong, 0},
                    {"", 1},
                    {Aborted, 0}},
    /* HELO     */
    {{Closed, 0},
     {Reset, 0},
     {"Authentication failed", 0},
     {"Authentication failed", 0},
     {NoCode, 0},
     {TooLong, 0},
     {"", 1},
     {Aborted, 0}},
    /* RSET     */
    {{Closed, 0},
     {Reset, 0},
     {"421 fault\r\n", 0},
     {"554 fault\r\n", 0},
     {NoCode, 0},
     {TooLong, 0},
     {"", 1},
     {Aborted, 0}},
    /* MAIL     */
    {{Closed, 0},
     {Reset, 0},
     {"421 fault\r\n", 0},
     {"554 fault\r\n", 0},
     {NoCode, 0},
     {TooLong, 0},
     {"", 1},
     {Aborted, 0}},
    // A refused recipient is reported by its event and the message still goes out.
    /* RCPT 1   */
    {{Closed, 0}, {Reset, 0}, {"", 1}, {"", 1}, {NoCode, 0}, {TooLong, 0}, {"", 1}, {Aborted, 0}},
    /* RCPT 2   */
    {{Closed, 0}, {Reset, 0}, {"", 1}, {"", 1}, {NoCode, 0}, {TooLong, 0}, {"", 1}, {Aborted, 0}},
    /* DATA     */
    {{Closed, 0},
     {Reset, 0},
     {"421 fault\r\n", 0},
     {"554 fault\r\n", 0},
     {NoCode, 0},
     {TooLong, 0},
     {"", 1},
     {Aborted, 0}},
    /* body     */
    {{Closed, 0},
     {Reset, 0},
     {"421 fault\r\n", 0},
     {"554 fault\r\n", 0},
     {NoCode, 0},
     {TooLong, 0},
     {"", 1},
     {Aborted, 0}},
    /* end      */
    {{Closed, 0},
     {Reset, 0},
     {"421 fault\r\n", 0},
     {"554 fault\r\n", 0},
     {NoCode, 0},
     {TooLong, 0},
     {"", 1},
     {Aborted, 0}},
    // After QUIT a close is no error, and a reply without a code passes as before.
    /* QUIT     */
    {{"", 1},
     {"|10054:Connection reset by peer", 1},
     {"421 fault\r\n", 1},
     {"554 fault\r\n", 1},
     {"", 1},
     {TooLong, 1},
     {"", 1},
     {Aborted, 1}},
};

Step FaultStep(Fault F, const std::string& Healthy) {
    switch (F) {
    case Fault::Close:
        return CloseConnection();
    case Fault::Reset:
        return ResetConnection();
    case Fault::Transient:
        return Reply("421 fault\r\n");
    case Fault::Permanent:
        return Reply("554 fault\r\n");
    case Fault::NoCode:
        return Garbage("garbage\r\n");
    case Fault::Long:
        return LongLine(70000);
    case Fault::Bytewise:
        return ReplyBytewise(Healthy, 0ms);
    case Fault::Silent:
        return StaySilent();
    }
    return StaySilent();
}

// The healthy reply of each step of HealthyScript(2).
const char* const HealthyReplies[] = {"220", "250", "250", "250", "250",
                                      "250", "354", "250", "221"};

// Whether Text is one of the alternatives of Texts, separated by "|".
bool OneOf(const std::string& Text, const std::string& Texts) {
    size_t start = 0;
    for (;;) {
        const size_t end = Texts.find('|', start);
        if (Texts.compare(start, end == std::string::npos ? std::string::npos : end - start,
                          Text) == 0)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

void ProcessFor(int Ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < Ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace

TEST(FaultMatrix, EveryStepEveryFault) {
    ScriptedSmtpServer healthy(HealthyScript(2));
    int row = 0;
    for (size_t s = 0; s < std::size(Steps); ++s) {
        for (int f = 0; f < 8; ++f, ++row) {
            const Fault fault = static_cast<Fault>(f);
            const StepInfo& step = Steps[s];
            const Outcome& expected = Expected[s][f];
            SCOPED_TRACE(std::string(step.Name) + " / " + FaultNames[f]);

            Script script = HealthyScript(2);
            // The healthy reply of the step, as the server would write it, for the bytewise row.
            const std::string healthyLine = std::string(HealthyReplies[step.Index]) + " ok\r\n";
            Step replacement = FaultStep(fault, healthyLine);
            if (std::string(step.Name) == "body")
                replacement = replacement.AfterDataBytes(10);
            if (std::string(step.Name) == "DATA" && fault == Fault::Bytewise)
                replacement = replacement.StartsData();
            script[step.Index] = script[step.Index].Instead(replacement);
            ScriptedSmtpServer server(script);

            TNMSMTP smtp;
            smtp.Host = "127.0.0.1";
            smtp.Port = server.Port();
            smtp.UserID = "348491";
            // Long enough for every healthy answer, short enough for the silent rows.
            smtp.TimeOut = fault == Fault::Silent ? 300 : 5000;
            TPostMessage& m = smtp.PostMessage;
            m.FromAddress = "me@here";
            m.FromName = "Me";
            m.ToAddress.Add("one@gw");
            m.ToCarbonCopy.Add("Two <two@gw>");
            m.Body.Add("A body long enough to be cut in the middle.");
            m.Body.Add(".and a dotted line");
            int sent = 0;
            int refused = 0;
            smtp.OnSuccess = [&](TObject*) { ++sent; };
            smtp.OnRecipientNotFound = [&](const std::string&) { ++refused; };

            std::string error;
            try {
                smtp.Connect();
                smtp.SendMail();
                smtp.Disconnect();
            } catch (const std::exception& e) {
                error = e.what();
            }
            ProcessFor(20); // let the close notices in

            EXPECT_TRUE(OneOf(error, expected.Error)) << error;
            EXPECT_EQ(sent, expected.Sent ? 1 : 0);
            EXPECT_EQ(refused, (fault == Fault::Transient || fault == Fault::Permanent) &&
                                       step.Name[0] == 'R' && step.Name[1] == 'C'
                                   ? 1
                                   : 0);
            EXPECT_FALSE(smtp.Busy);
            // Connected says what really is: a dialogue the server still holds open stays open.
            const bool open = !error.empty() && step.Index >= 2 && step.Index <= 7 &&
                              fault != Fault::Close && fault != Fault::Reset;
            EXPECT_EQ(smtp.Connected, open);
            // A failed send keeps the parameters; an accepted one empties the recipient lists.
            EXPECT_EQ(m.ToAddress.Count() + m.ToCarbonCopy.Count(), sent ? 0 : 2);
            EXPECT_EQ(m.Body.Count(), 2);
            EXPECT_EQ(m.FromAddress, "me@here");

            // The same component then works against a healthy server.
            if (smtp.Connected) {
                try {
                    smtp.Disconnect();
                } catch (const std::exception&) {
                }
            }
            smtp.Port = healthy.Port();
            smtp.TimeOut = 5000;
            m.ToAddress.Clear();
            m.ToCarbonCopy.Clear();
            m.ToAddress.Add("one@gw");
            m.ToCarbonCopy.Add("Two <two@gw>");
            sent = 0;
            smtp.Connect();
            smtp.SendMail();
            smtp.Disconnect();
            EXPECT_EQ(sent, 1);
        }
    }
    EXPECT_EQ(row, 80);
    EXPECT_EQ(healthy.Messages().size(), 80u);
}

TEST(FaultMatrix, ConnectFailures) {
    TNMSMTP smtp;
    int failed = 0;
    smtp.OnConnectionFailed = [&](TObject*) { ++failed; };
    {
        ScriptedSmtpServer gone(Script{});
        smtp.Port = gone.Port();
    }
    smtp.Host = "127.0.0.1";
    try {
        smtp.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection Failed");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(smtp.Busy);
    EXPECT_FALSE(smtp.Connected);
    ScriptedSmtpServer healthy(HealthyScript());
    smtp.Port = healthy.Port();
    smtp.Connect();
    EXPECT_TRUE(smtp.Connected);
}

// A reply that never ends fails once it passes the cap instead of being read for ever.
TEST(FaultMatrix, EndlessRepliesAreCut) {
    for (const size_t index : {0, 1}) {
        Script script = HealthyScript();
        script[index] = script[index].Instead(Endless("250-x\r\n"));
        ScriptedSmtpServer server(script);
        TNMSMTP smtp;
        smtp.Host = "127.0.0.1";
        smtp.Port = server.Port();
        smtp.TimeOut = 5000;
        try {
            smtp.Connect();
            FAIL();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message,
                      "The server's reply does not end (more than 10000 lines or 1 MiB)");
        }
        EXPECT_FALSE(smtp.Connected);
        EXPECT_FALSE(smtp.Busy);
    }
}

// An attachment that cannot be read stops the mail before any command is sent.
TEST(FaultMatrix, UnreadableAttachment) {
    ScriptedSmtpServer server(HealthyScript());
    TNMSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = server.Port();
    smtp.TimeOut = 5000;
    smtp.PostMessage.FromAddress = "me@here";
    smtp.PostMessage.ToAddress.Add("one@gw");
    smtp.PostMessage.Attachments.Add(::testing::TempDir()); // a folder opens but cannot be read
    smtp.Connect();
    try {
        smtp.SendMail();
        FAIL();
    } catch (const EStreamError& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
    EXPECT_EQ(server.Received(), "HELO \r\n");
    EXPECT_EQ(smtp.PostMessage.ToAddress.Count(), 1);
    EXPECT_FALSE(smtp.Busy);
}
