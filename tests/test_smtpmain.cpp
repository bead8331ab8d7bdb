#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/addrbook.h"
#include "app/ext.h"
#include "app/smtpmain.h"
#include "confighome.h"
#include "platform/codepage.h"
#include "smtpserver.h"
#include "testdialogs.h"

using namespace fixtures;

namespace {

std::string Utf8ToCp(const char* Text) {
    return Win1251::FromUnicode(QString::fromUtf8(Text));
}

// The program's two windows over a settings store of their own, with answered dialogs.
class Window : public ::testing::Test, protected TConfigHome {
public:
    void SetUp() override {
        Form = std::make_unique<TFormMain>();
        Book = std::make_unique<TAddrBookForm>();
        Form->show();
        QObject::connect(Form->StatusBar1, &QStatusBar::messageChanged,
                         [this](const QString& S) { Statuses.push_back(S.toStdString()); });
        Form->CheckBox1->setChecked(false);
        Form->Edit1->setText("127.0.0.1");
    }
    void TearDown() override {
        Book.reset();
        Form.reset();
    }
    void UseServer(const ScriptedSmtpServer& Server) {
        Form->Edit5->setText(QString::number(Server.Port()));
    }
    void SetMemo(const char* Utf8) { Form->Memo1->setPlainText(QString::fromUtf8(Utf8)); }

    TDialogsScope Scope;
    std::unique_ptr<TFormMain> Form;
    std::unique_ptr<TAddrBookForm> Book;
    std::vector<std::string> Statuses;
};

// Joins lines with CR LF after each, as they go out in a message body.
std::string BodyOf(const std::vector<std::string>& Lines) {
    std::string body;
    for (const auto& line : Lines)
        body += line + "\r\n";
    return body;
}

} // namespace

TEST_F(Window, SuccessfulSendReportsEveryStage) {
    ScriptedSmtpServer server(HealthyScript());
    UseServer(server);
    Form->Edit1->setText("localhost");
    SetMemo("The quick brown fox jumps over the lazy dog and keeps running far beyond the "
            "edge of this little memo.\nSecond line");
    const std::vector<std::string> lines = Form->MemoLines();
    ASSERT_GT(lines.size(), 2u); // the first paragraph wraps

    Form->Button6->click();

    ASSERT_EQ(server.Messages().size(), 1u) << server.Report() << Scope.Dialogs->Shown.size();
    const std::string message = server.Messages()[0];
    EXPECT_NE(message.find("To: +79029000000@sms.example.com\r\n"), std::string::npos);
    EXPECT_NE(message.find("\r\n\r\n\r\n" + BodyOf(lines) + ".\r\n"), std::string::npos);
    EXPECT_NE(server.Received().find("RCPT TO:<+79029000000@sms.example.com>\r\n"),
              std::string::npos);
    const std::string size = std::to_string(BodyOf(lines).size());
    EXPECT_EQ(Statuses, (std::vector<std::string>{"Host Resolved", "Connected", "Sending message",
                                                  size + " bytes of " + size + " sent",
                                                  "Message Sent", "Disconnected"}));
    EXPECT_TRUE(Scope.Dialogs->Shown.empty());
    EXPECT_TRUE(Form->Button6->isEnabled());
}

TEST_F(Window, TransliteratedMemoIsSentAsOneLine) {
    ScriptedSmtpServer server(HealthyScript());
    UseServer(server);
    Form->CheckBox1->setChecked(true);
    SetMemo("Привет\nмир");
    Form->Button6->click();
    EXPECT_EQ(Form->Memo1->toPlainText(), "Privetmir");
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_NE(server.Messages()[0].find("charset=us-ascii\r\n\r\n\r\nPrivetmir\r\n.\r\n"),
              std::string::npos);
}

TEST_F(Window, EightBitBodyDeclaresItsCodePage) {
    ScriptedSmtpServer server(HealthyScript());
    UseServer(server);
    SetMemo("Привет №5");
    Form->Button6->click();
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_NE(server.Messages()[0].find("charset=windows-1251\r\n\r\n\r\n" + Utf8ToCp("Привет №5") +
                                        "\r\n"),
              std::string::npos);
}

// Each bad input gives its error, and the next Send with the input corrected goes through.
TEST_F(Window, BadInputThenACorrectedSend) {
    struct Case {
        const char* Name;
        std::function<void(Window&, uint16_t)> Spoil;
        std::vector<std::string> Shown;
        std::function<void(Window&)> Mend;
    };
    int refusedPort;
    {
        ScriptedSmtpServer gone(Script{});
        refusedPort = gone.Port();
    }
    const Case cases[] = {
        {"port",
         [](Window& w, uint16_t) { w.Form->Edit5->setText("25x"); },
         {"error: '25x' is not a valid integer value"},
         nullptr},
        // A number the socket would cut to 16 bits, reaching another port.
        {"port range",
         [](Window& w, uint16_t Port) { w.Form->Edit5->setText(QString::number(Port + 65536)); },
         {},
         nullptr},
        {"host",
         [](Window& w, uint16_t) { w.Form->Edit1->setText(""); },
         {"input: Invalid Host / Please Choose another host", "error: Null Remote Address"},
         [](Window& w) { w.Scope.Dialogs->Answers.push_back("127.0.0.1"); }},
        {"refused",
         [refusedPort](Window& w, uint16_t) {
             w.Form->Edit5->setText(QString::number(refusedPort));
         },
         {"message: Connection Failed", "error: Connection Failed"},
         nullptr},
        {"return address",
         [](Window& w, uint16_t) { w.Form->Edit4->setText(""); },
         {"error: Incomplete Header"},
         nullptr},
    };
    for (const Case& k : cases) {
        ScriptedSmtpServer server(HealthyScript());
        UseServer(server);
        Form->Edit1->setText("127.0.0.1");
        Form->Edit4->setText("sms@localhost");
        Scope.Dialogs->Shown.clear();
        k.Spoil(*this, server.Port());
        Form->Button6->click();
        const std::vector<std::string> shown =
            k.Shown.empty()
                ? std::vector<std::string>{"error: '" + Form->Edit5->text().toStdString() +
                                           "' is not a port number (0 to 65535)"}
                : k.Shown;
        EXPECT_EQ(Scope.Dialogs->Shown, shown) << k.Name;
        EXPECT_TRUE(server.Messages().empty()) << k.Name;
        EXPECT_FALSE(Form->NMSMTP1->Connected) << k.Name;
        EXPECT_EQ(Form->NMSMTP1->PostMessage.ToAddress.Count(), 0) << k.Name;

        // Corrected, or with the input box answered, the next Send goes out.
        Scope.Dialogs->Shown.clear();
        if (k.Mend)
            k.Mend(*this);
        else {
            UseServer(server);
            Form->Edit4->setText("sms@localhost");
        }
        Form->Button6->click();
        EXPECT_TRUE(server.WaitForMessages(1, 3000)) << k.Name << server.Report();
        const std::string received = server.Received();
        EXPECT_EQ(received.find("RCPT TO:"), received.rfind("RCPT TO:")) << k.Name;
        EXPECT_EQ(
            Scope.Dialogs->Shown,
            (k.Mend ? std::vector<std::string>{"input: Invalid Host / Please Choose another host"}
                    : std::vector<std::string>{}))
            << k.Name;
        if (k.Mend) {
            // The input box never changes the field.
            EXPECT_EQ(Form->Edit1->text(), "");
        }
    }
}

TEST_F(Window, SecondSendWhileOneRunsIsRefused) {
    ScriptedSmtpServer server(HealthyScript());
    UseServer(server);
    bool checked = false;
    QObject::connect(Form->StatusBar1, &QStatusBar::messageChanged, [&](const QString& S) {
        if (S == "Sending message") {
            EXPECT_FALSE(Form->Button6->isEnabled());
            Form->Button6Click(nullptr);
            checked = true;
        }
    });
    Form->Button6->click();
    EXPECT_TRUE(checked);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(server.Messages().size(), 1u);
}

TEST_F(Window, ClosingDuringASilentSendEndsItAndWritesTheSettings) {
    // Silent in the middle of the greeting's exchange, and after the session stands: the close
    // ends the send either way, without a closing exchange that could wait for ever.
    const Script scripts[] = {
        {Greeting("220 hi\r\n"), StaySilent()},
        {Greeting("220 hi\r\n"), Reply("250 hello\r\n").ExpectPrefix("HELO "), StaySilent()},
    };
    for (const Script& script : scripts) {
        SetUp();
        ScriptedSmtpServer server(script);
        UseServer(server);
        Form->Edit6->setText("Closer");
        QTimer::singleShot(200, Form.get(), [this] { Form->close(); });
        Form->Button6->click();
        QElapsedTimer timer;
        timer.start();
        while (Form->isVisible() && timer.elapsed() < 3000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_FALSE(Form->isVisible()) << script.size();
        EXPECT_TRUE(Scope.Dialogs->Shown.empty());
        EXPECT_EQ(server.Received().find("QUIT"), std::string::npos) << script.size();
        char buffer[260];
        ASSERT_EQ(ReadStringValue(SettingsKey, "SMTP Display Name", buffer, sizeof buffer), 1);
        EXPECT_STREQ(buffer, "Closer");
    }
}

// A few faults of the dialogue as the user meets them: the error box, the fields untouched, and
// the next Send going out.
TEST_F(Window, ServerFaultsThenTheNextSendGoesThrough) {
    struct Case {
        size_t StepIndex;
        Step Fault;
        std::vector<std::string> Shown;
    } cases[] = {
        {0, Garbage("garbage\r\n").Now(), {"error: Unexpected reply from server: garbage\r\n"}},
        {2, Reply("554 no reset\r\n"), {"error: 554 no reset\r\n"}},
        {4, CloseConnection(), {"error: Connection closed by server"}},
        {6,
         Reply("554 no message\r\n"),
         {"message: Operation Failed", "error: 554 no message\r\n"}},
        {5, Reply("554 no data\r\n"), {"error: 554 no data\r\n"}},
        {7, Reply("452 later\r\n"), {"error: 452 later\r\n"}},
    };
    SetMemo("Hello");
    Form->Edit6->setText("Sender");
    for (const Case& k : cases) {
        Script faulty = HealthyScript();
        faulty[k.StepIndex] = faulty[k.StepIndex].Instead(k.Fault);
        ScriptedSmtpServer server(std::vector<Script>{faulty, HealthyScript()});
        UseServer(server);
        const QString fields[] = {Form->Edit1->text(),       Form->Edit2->text(),
                                  Form->Edit3->text(),       Form->Edit4->text(),
                                  Form->Edit5->text(),       Form->Edit6->text(),
                                  Form->Memo1->toPlainText()};
        Scope.Dialogs->Shown.clear();
        Form->Button6->click();
        EXPECT_EQ(Scope.Dialogs->Shown, k.Shown) << k.StepIndex;
        const QString after[] = {Form->Edit1->text(),       Form->Edit2->text(),
                                 Form->Edit3->text(),       Form->Edit4->text(),
                                 Form->Edit5->text(),       Form->Edit6->text(),
                                 Form->Memo1->toPlainText()};
        EXPECT_TRUE(std::equal(std::begin(fields), std::end(fields), std::begin(after)));
        EXPECT_FALSE(Form->NMSMTP1->Connected);
        EXPECT_TRUE(Form->Button6->isEnabled());

        Scope.Dialogs->Shown.clear();
        Form->Button6->click();
        EXPECT_TRUE(Scope.Dialogs->Shown.empty()) << k.StepIndex;
        ASSERT_TRUE(server.WaitForMessages(1, 3000)) << k.StepIndex;
        EXPECT_EQ(Form->StatusText(), "Disconnected");
        const std::string received = server.Received();
        EXPECT_EQ(received.find("RCPT TO:"), received.rfind("RCPT TO:")) << k.StepIndex;
    }
}

// Number and gateway go into the address as typed, spaces and all; the server decides.
TEST_F(Window, UnusualNumberAndGatewayGoOutAsTyped) {
    ScriptedSmtpServer server(HealthyScript());
    UseServer(server);
    Form->Edit2->setText("+7 902 (900)");
    Form->Edit3->setText("sms.example.com ");
    SetMemo("Hi");
    Form->Button6->click();
    ASSERT_EQ(server.Messages().size(), 1u) << server.Report();
    EXPECT_NE(server.Received().find("RCPT TO:<+7 902 (900)@sms.example.com >\r\n"),
              std::string::npos);
    EXPECT_TRUE(Scope.Dialogs->Shown.empty());
}
