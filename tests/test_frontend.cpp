// The front end as a user meets it: transliteration, the settings read at start-up and written
// at close, the address book, and the main window's input rules, focus and links.
#include <QApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>

#include "app/addrbook.h"
#include "app/ext.h"
#include "app/smtpmain.h"
#include "confighome.h"
#include "platform/codepage.h"
#include "testdialogs.h"

namespace fs = std::filesystem;

namespace {

std::string Cp(const char* Utf8) {
    return Win1251::FromUnicode(QString::fromUtf8(Utf8));
}

QString U(const char* Utf8) {
    return QString::fromUtf8(Utf8);
}

const char FileHeader[] = "Vintrop Registry Version 1\n";
const char SettingsSection[] = "\n[HKEY_CURRENT_USER\\Software\\Ostrel\\vintrop]\n";
const char AccountSection[] = "\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account "
                              "Manager\\Accounts\\00000001]\n";

// A mouse event delivered to the top-level window at a point of Target, so that the window
// picks the receiver and propagates the event as it does for real input.
void Mouse(QWidget* Target, QEvent::Type Type, QPoint Pos,
           Qt::MouseButton Button = Qt::LeftButton) {
    QWidget* top = Target->window();
    const QPointF local = Target->mapTo(top, Pos);
    const QPointF global = Target->mapToGlobal(Pos);
    const bool move = Type == QEvent::MouseMove;
    const Qt::MouseButtons held =
        Type == QEvent::MouseButtonRelease || move ? Qt::NoButton : Qt::MouseButtons(Button);
    QMouseEvent event(Type, local, local, global, move ? Qt::NoButton : Button, held,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(top->windowHandle(), &event);
}

void MoveOver(QWidget* Target, QPoint Pos) {
    Mouse(Target, QEvent::MouseMove, Pos);
}

void Click(QWidget* Target, QPoint Pos) {
    Mouse(Target, QEvent::MouseButtonPress, Pos);
    Mouse(Target, QEvent::MouseButtonRelease, Pos);
}

void DoubleClick(QWidget* Target, QPoint Pos) {
    Click(Target, Pos);
    Mouse(Target, QEvent::MouseButtonPress, Pos);
    Mouse(Target, QEvent::MouseButtonDblClick, Pos);
    Mouse(Target, QEvent::MouseButtonRelease, Pos);
}

// A key typed into the window, delivered to whatever has the focus there.
void TypeText(QWidget* Window, const QString& Text) {
    for (const QChar c : Text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(Window->windowHandle(), &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(Window->windowHandle(), &release);
    }
}

QString TextColour(const QLabel* Label) {
    return Label->palette().color(QPalette::WindowText).name();
}

const QString Blue = QColor(Qt::blue).name();
const QString Black = QColor(Qt::black).name();

// Records the addresses the program hands to the desktop to open.
class TUrlSink : public QObject {
    Q_OBJECT
public:
    std::vector<QString> Opened;
public slots:
    void open(const QUrl& Url) { Opened.push_back(Url.toString()); }
};

// The two windows over a settings file of the test's own, with answered dialogs.
class FrontEnd : public ::testing::Test, protected TConfigHome {
public:
    void TearDown() override { Stop(); }

    // A program start: the store reads the file anew, then the windows are made as main does.
    void Start() {
        Stop();
        Registry::Reset();
        Form = std::make_unique<TFormMain>();
        Book = std::make_unique<TAddrBookForm>();
        Form->show();
        QCoreApplication::processEvents();
    }
    // The program ends without its close handler, as a killed run would.
    void Stop() {
        Book.reset();
        Form.reset();
    }

    void WriteFile(const std::string& Text) {
        fs::create_directories(Folder);
        std::ofstream(File, std::ios::binary) << Text;
    }
    std::string ReadFile(const std::string& Path) const {
        std::ifstream in(Path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string FileText() const { return ReadFile(File); }

    // The value lines of the settings key in the file, in the order the file holds them.
    std::vector<std::string> SettingsLines() const {
        const std::string text = FileText();
        std::vector<std::string> lines;
        size_t at = text.find(std::string(SettingsSection).substr(1));
        if (at == std::string::npos)
            return lines;
        at = text.find('\n', at) + 1;
        for (size_t end; at < text.size() && text[at] != '\n' && text[at] != '['; at = end + 1) {
            end = text.find('\n', at);
            lines.push_back(text.substr(at, end - at));
        }
        return lines;
    }

    // Runs Act once the address book's modal display has begun; a display that is still open
    // after a few seconds is ended so that a failing test cannot hang.
    void WhileBookShown(std::function<void()> Act) {
        bool acted = false;
        auto* poll = new QTimer(Book.get());
        QObject::connect(poll, &QTimer::timeout, Book.get(), [this, poll, Act, &acted] {
            if (!Book->isVisible())
                return;
            poll->stop();
            acted = true;
            Act();
        });
        poll->start(5);
        QTimer::singleShot(5000, Book.get(), [this] {
            if (Book->isVisible())
                Book->done(99);
        });
        Form->SpeedButton1->click();
        delete poll;
        EXPECT_TRUE(acted);
    }

    QPoint CellCentre(int Col, int Row) const {
        const QTableWidget* grid = Book->StringGrid1;
        return grid->visualItemRect(grid->item(Row - 1, Col)).center();
    }

    TDialogsScope Scope;
    std::unique_ptr<TFormMain> Form;
    std::unique_ptr<TAddrBookForm> Book;
};

// ---- Transliteration ----

TEST(Transliteration, RewritesCyrillicLettersOneForOne) {
    const struct {
        const char* From;
        const char* To;
    } cases[] = {
        {"Привет", "Privet"},
        {"ШКОЛА", "SKOLA"},
        {"объявление", "ob jvlenie"},
        {"Съешь ещё", "S es  ese"},
        {"№5 й", "№5 i"},
        {"абвгдеёжзийклмнопрстуфхцчшщъыьэюя", "abvgdeezziiklmnoprstufhzcss i euj"},
        {"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ", "ABVGDEEZZIIKLMNOPRSTUFHZCSS I EUJ"},
        {"Hello, world 123! @#$", "Hello, world 123! @#$"},
        {"і ї є ґ Ђ", "і ї є ґ Ђ"}, // letters of other alphabets stay
        {"", ""},
    };
    for (const auto& c : cases) {
        // The rest of the buffer holds letters that must not be touched beyond the NUL.
        char buffer[260];
        std::memset(buffer, static_cast<char>(0xE9), sizeof buffer);
        const std::string from = Cp(c.From);
        std::memcpy(buffer, from.c_str(), from.size() + 1);
        Transliterate(buffer);
        EXPECT_EQ(std::string(buffer), Cp(c.To)) << c.From;
        EXPECT_EQ(static_cast<unsigned char>(buffer[from.size() + 1]), 0xE9) << c.From;
    }
}

// The pass works on the memo's displayed lines: a hard break vanishes, and at a wrap point the
// two lines are joined exactly as they were shown.
TEST_F(FrontEnd, TransliterationPassJoinsTheDisplayedLines) {
    Start();
    const QString first = U("Съешь же ещё этих мягких французских булок да выпей чаю, "
                            "а потом ещё раз съешь этих булок");
    Form->Memo1->setPlainText(first + "\n" + U("мир"));
    QCoreApplication::processEvents();

    const std::vector<std::string> lines = Form->MemoLines();
    ASSERT_GE(lines.size(), 3u); // the first paragraph wraps
    EXPECT_EQ(lines.back(), Cp("мир"));
    // The lines are the ones the memo shows.
    const QTextBlock block = Form->Memo1->document()->firstBlock();
    ASSERT_EQ(static_cast<size_t>(block.layout()->lineCount()), lines.size() - 1);
    std::string joined;
    for (int i = 0; i < block.layout()->lineCount(); ++i) {
        const QTextLine line = block.layout()->lineAt(i);
        EXPECT_EQ(lines[i], Win1251::FromUnicode(first.mid(line.textStart(), line.textLength())));
        joined += lines[i];
    }
    EXPECT_EQ(joined, Win1251::FromUnicode(first));

    // Send with a port that is not a number: the pass runs, then the conversion fails.
    Form->CheckBox1->setChecked(true);
    Form->Edit5->setText("25x");
    Form->Button6->click();
    EXPECT_EQ(Scope.Dialogs->Shown,
              std::vector<std::string>{"error: '25x' is not a valid integer value"});
    std::string expected = Win1251::FromUnicode(first) + Cp("мир");
    Transliterate(expected.data());
    EXPECT_EQ(Win1251::FromUnicode(Form->Memo1->toPlainText()), expected);
    // One line now, which the memo shows wrapped again.
    EXPECT_EQ(Form->Memo1->document()->blockCount(), 1);
    EXPECT_GE(Form->MemoLines().size(), 2u);
}

// ---- Start-up read ----

TEST_F(FrontEnd, StartUpReadsTheSettingsOrImportsTheAccount) {
    const std::string long300(300, 'x'), long259(259, 'y');
    const std::string account =
        std::string(AccountSection) +
        "\"SMTP Email Address\"=\"me@mail.example\"\n\"SMTP Port\"=dword:0000024b\n"
        "\"SMTP Server\"=\"smtp.mail.example\"\n\"SMTP Display Name\"=\"Иван\"\n";
    const struct {
        const char* Name;
        std::string File; // empty: no file at all
        // Edit1 server, Edit5 port, Edit3 gateway, Edit6 sender, Edit4 return, Edit2 number
        std::vector<std::string> Fields;
        bool Translit;
    } cases[] = {
        {"no file",
         "",
         {"localhost", "25", "sms.example.com", "Anonymous", "sms@localhost", "+79029000000"},
         true},
        {"import over own values without a sender name",
         FileHeader + std::string(SettingsSection) +
             "\"SMTP Server\"=\"own.example\"\n\"SMTP Port\"=dword:00000019\n"
             "\"Translit\"=dword:00000000\n" +
             account,
         {"smtp.mail.example", "587", "sms.example.com", "Иван", "me@mail.example", "+79029000000"},
         false},
        {"own values, no import",
         FileHeader + std::string(SettingsSection) +
             "\"Gate Address\"=\"gw.example\"\n\"Last number\"=\"+70001112233\"\n"
             "\"SMTP Email Address\"=\"" +
             long259 +
             "\"\n\"SMTP Port\"=dword:ffffffff\n\"Translit\"=dword:00000005\n"
             "\"SMTP Server\"=\"relay.example\"\n\"SMTP Display Name\"=\"Вера\"\n" +
             account,
         // A stored port above 2^31 - 1 is shown signed, as the close writes it back.
         {"relay.example", "-1", "gw.example", "Вера", long259, "+70001112233"},
         true},
        {"300 characters count as absent",
         FileHeader + std::string(SettingsSection) + "\"Gate Address\"=\"" + long300 +
             "\"\n\"Last number\"=\"" + long300 + "\"\n\"SMTP Server\"=\"" + long300 +
             "\"\n\"SMTP Display Name\"=\"" + long300 + "\"\n" + AccountSection +
             "\"SMTP Display Name\"=\"Imported\"\n",
         {"localhost", "25", "sms.example.com", "Imported", "sms@localhost", "+79029000000"},
         true},
        {"empty sender name stops the import",
         FileHeader + std::string(SettingsSection) + "\"SMTP Display Name\"=\"\"\n" + account,
         {"localhost", "25", "sms.example.com", "", "sms@localhost", "+79029000000"},
         true},
    };
    for (const auto& c : cases) {
        fs::remove_all(Folder);
        if (!c.File.empty())
            WriteFile(c.File);
        Start();
        const std::vector<QLineEdit*> edits{Form->Edit1, Form->Edit5, Form->Edit3,
                                            Form->Edit6, Form->Edit4, Form->Edit2};
        for (size_t i = 0; i < edits.size(); ++i)
            EXPECT_EQ(edits[i]->text().toStdString(), c.Fields[i]) << c.Name << ", field " << i;
        EXPECT_EQ(Form->CheckBox1->isChecked(), c.Translit) << c.Name;
        // Nothing is written at start-up.
        EXPECT_EQ(FileText(), c.File) << c.Name;
    }
    EXPECT_TRUE(Scope.Dialogs->Shown.empty());
}

TEST_F(FrontEnd, TranslitStoredAsFiveStartsCheckedAndIsStoredAsOne) {
    WriteFile(FileHeader + std::string(SettingsSection) +
              "\"SMTP Display Name\"=\"A\"\n\"Translit\"=dword:00000005\n");
    Start();
    EXPECT_TRUE(Form->CheckBox1->isChecked());
    EXPECT_TRUE(Form->close());
    const std::vector<std::string> lines = SettingsLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "\"Translit\"=dword:00000001"), lines.end())
        << FileText();
}

// A damaged file does not stop the program: it starts with the defaults, and the file is kept
// aside and never overwritten. (A write killed part-way is covered by the store's own tests,
// KilledWriterLeavesTheOldFileOrTheNewOneWhole.)
TEST_F(FrontEnd, DamagedSettingsFileIsKeptAsideAndTheDefaultsApply) {
    const std::string damaged = FileHeader + std::string(SettingsSection) +
                                "\"SMTP Server\"=\"relay.example\"\n\"SMTP Display Name\"=\"Ve";
    WriteFile(damaged);
    Start();
    EXPECT_EQ(Form->Edit1->text(), "localhost");
    EXPECT_EQ(Form->Edit6->text(), "Anonymous");
    EXPECT_TRUE(Scope.Dialogs->Shown.empty());
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(Folder))
        if (entry.path().filename().string().starts_with("registry.reg.damaged-"))
            aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadFile(aside[0]), damaged);

    EXPECT_TRUE(Form->close());
    EXPECT_EQ(ReadFile(aside[0]), damaged);
    Start();
    EXPECT_EQ(Form->Edit6->text(), "Anonymous");
}

// ---- Close write ----

TEST_F(FrontEnd, CloseWritesAllValuesInOrderAndTheNextStartShowsThem) {
    Start();
    Form->Edit1->setText("relay.example");
    Form->Edit5->setText(""); // stored as 0
    Form->Edit3->setText("gw.example");
    Form->Edit6->setText(U("Вера"));
    Form->Edit4->setText("me@mail.example");
    Form->Edit2->setText("+70001112233");
    Form->CheckBox1->setChecked(false);
    Book->SetCell(0, 3, "+79161234567");
    Book->SetCell(1, 3, Cp("Маша"));
    Book->SetCell(1, 30, "name only");
    EXPECT_TRUE(Form->close());
    EXPECT_TRUE(Scope.Dialogs->Shown.empty());

    // On a fresh store the file keeps the values in the order they were first written.
    std::vector<std::string> expected{
        "\"SMTP Email Address\"=\"me@mail.example\"",
        "\"SMTP Port\"=dword:00000000",
        "\"SMTP Server\"=\"relay.example\"",
        "\"SMTP Display Name\"=\"Вера\"",
        "\"Gate Address\"=\"gw.example\"",
        "\"POP3 Skip Account\"=dword:00000001",
        "\"Last number\"=\"+70001112233\"",
    };
    for (int i = 1; i <= 30; ++i) {
        const std::string n = std::to_string(i);
        expected.push_back("\"Number" + n + "\"=\"" + (i == 3 ? "+79161234567" : "") + "\"");
        expected.push_back("\"Name" + n + "\"=\"" +
                           (i == 3    ? "Маша"
                            : i == 30 ? "name only"
                                      : "") +
                           "\"");
    }
    expected.push_back("\"Translit\"=dword:00000000");
    ASSERT_EQ(expected.size(), 68u);
    EXPECT_EQ(SettingsLines(), expected) << FileText();

    Start();
    EXPECT_EQ(Form->Edit5->text(), "0");
    EXPECT_EQ(Form->Edit1->text(), "relay.example");
    EXPECT_EQ(Form->Edit6->text(), U("Вера"));
    EXPECT_FALSE(Form->CheckBox1->isChecked());
    EXPECT_EQ(Book->Cells(0, 3), "+79161234567");
    EXPECT_EQ(Book->Cells(1, 3), Cp("Маша"));
    EXPECT_EQ(Book->Cells(0, 30), "");
    EXPECT_EQ(Book->Cells(1, 30), "name only");
}

TEST_F(FrontEnd, BadPortWritesNothingAndKeepsTheWindowOpen) {
    WriteFile(FileHeader + std::string(SettingsSection) +
              "\"SMTP Display Name\"=\"Old\"\n\"SMTP Port\"=dword:00000019\n");
    Start();
    const std::string before = FileText();
    Form->Edit5->setText("abc");
    Form->Edit6->setText("New");
    EXPECT_FALSE(Form->close());
    EXPECT_TRUE(Form->isVisible());
    EXPECT_EQ(Scope.Dialogs->Shown,
              std::vector<std::string>{"error: 'abc' is not a valid integer value"});
    EXPECT_EQ(FileText(), before);

    // Corrected, the window closes and writes.
    Form->Edit5->setText("0x1A");
    EXPECT_TRUE(Form->close());
    const std::vector<std::string> lines = SettingsLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "\"SMTP Port\"=dword:0000001a"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "\"SMTP Display Name\"=\"New\""), lines.end());
}

TEST_F(FrontEnd, ANegativePortComesBackAsTyped) {
    Start();
    Form->Edit5->setText("-1");
    EXPECT_TRUE(Form->close());
    Start();
    EXPECT_EQ(Form->Edit5->text(), "-1");
    EXPECT_TRUE(Form->close()); // what was read back is a number again
}

TEST_F(FrontEnd, AFailedSaveIsReportedOnceAndTheSecondCloseQuits) {
    Start();
    Form->Edit6->setText("Unsaved");
    Registry::SetFault(Registry::TFault::Rename);
    EXPECT_FALSE(Form->close());
    EXPECT_TRUE(Form->isVisible());
    EXPECT_EQ(Scope.Dialogs->Shown,
              std::vector<std::string>{"error: The settings and the address book could not be "
                                       "saved. Close the window again to quit without saving "
                                       "them."});
    EXPECT_TRUE(Form->close());
    Registry::SetFault(Registry::TFault::None);
}

// ---- Address book ----

TEST_F(FrontEnd, AddressBookShowsItsHeaderAndEmptyRows) {
    Start();
    EXPECT_EQ(Book->windowTitle(), "Address book");
    EXPECT_EQ(Book->RowCount(), 31);
    EXPECT_EQ(Book->StringGrid1->columnCount(), 2);
    EXPECT_EQ(Book->Cells(0, 0), Cp("Tel №"));
    EXPECT_EQ(Book->Cells(1, 0), "Name");
    for (int row = 1; row < Book->RowCount(); ++row)
        EXPECT_TRUE(Book->Cells(0, row).empty() && Book->Cells(1, row).empty()) << row;
}

// The "..." button shows the book modally; a double-click picks the current row's number, and
// the close box ends the display with result 2 and changes nothing.
TEST_F(FrontEnd, AddressBookPicksByDoubleClick) {
    const struct {
        const char* Name;
        std::function<void(FrontEnd&)> Act;
        const char* Number; // Edit2 afterwards
        int Result;
    } cases[] = {
        {"row with a number",
         [](FrontEnd& t) { DoubleClick(t.Book->StringGrid1->viewport(), t.CellCentre(1, 3)); },
         "+79161234567", 1},
        {"empty row",
         [](FrontEnd& t) {
             DoubleClick(t.Book->StringGrid1->viewport(), t.CellCentre(0, 5));
             EXPECT_TRUE(t.Book->isVisible());
             t.Book->close();
         },
         "+79029000000", 2},
        {"name without a number",
         [](FrontEnd& t) {
             DoubleClick(t.Book->StringGrid1->viewport(), t.CellCentre(1, 4));
             EXPECT_TRUE(t.Book->isVisible());
             t.Book->close();
         },
         "+79029000000", 2},
        {"header picks the row current before",
         [](FrontEnd& t) {
             Click(t.Book->StringGrid1->viewport(), t.CellCentre(1, 3));
             QHeaderView* header = t.Book->StringGrid1->horizontalHeader();
             DoubleClick(header, QPoint(header->sectionPosition(0) + 20, header->height() / 2));
         },
         "+79161234567", 1},
        {"close box", [](FrontEnd& t) { t.Book->close(); }, "+79029000000", 2},
    };
    Start();
    Book->SetCell(0, 1, "+70000000001"); // the top row, which a header click must not select
    Book->SetCell(0, 3, "+79161234567");
    Book->SetCell(1, 3, Cp("Маша"));
    Book->SetCell(1, 4, "no number");
    for (const auto& c : cases) {
        Form->Edit2->setText("+79029000000");
        Book->StringGrid1->setCurrentCell(0, 0);
        WhileBookShown([&] { c.Act(*this); });
        EXPECT_FALSE(Book->isVisible()) << c.Name;
        EXPECT_EQ(Form->Edit2->text().toStdString(), c.Number) << c.Name;
        EXPECT_EQ(Book->ModalResult, c.Result) << c.Name;
        EXPECT_EQ(Book->result(), c.Result) << c.Name;
    }
    EXPECT_TRUE(Scope.Dialogs->Shown.empty());
}

// A cell edited in place keeps its text over a close by the close box, and is saved when the
// main window closes.
TEST_F(FrontEnd, GridEditsAreKeptAndSavedAtTheMainWindowsClose) {
    Start();
    QTableWidget* grid = Book->StringGrid1;
    WhileBookShown([&] {
        grid->editItem(grid->item(1, 1)); // row 2, the name
        auto* editor = grid->viewport()->findChild<QLineEdit*>();
        ASSERT_TRUE(editor);
        editor->insert(QString(300, 'n'));
        EXPECT_EQ(editor->text().size(), 259);
        editor->clear();
        editor->insert(U("Пётр 日本")); // the code page lacks the last two
        EXPECT_EQ(editor->text(), "");
        editor->insert(U("Пётр №2"));
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(editor, &enter);
        QCoreApplication::processEvents(); // the commit is queued
        Book->close();
    });
    EXPECT_EQ(Book->Cells(1, 2), Cp("Пётр №2"));
    WhileBookShown([&] {
        EXPECT_EQ(Book->Cells(1, 2), Cp("Пётр №2"));
        Book->close();
    });

    EXPECT_TRUE(Form->close());
    Start();
    EXPECT_EQ(Book->Cells(1, 2), Cp("Пётр №2"));
}

// ---- Main window ----

TEST_F(FrontEnd, StartsOnTheSmsTabWithTypingGoingIntoTheMemo) {
    Start();
    EXPECT_EQ(Form->windowTitle(), "Ostrel E-Mail - SMS sender");
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1);
    EXPECT_EQ(Form->focusWidget(), Form->Memo1);
    EXPECT_TRUE(Form->StatusText().empty());
    TypeText(Form.get(), U("Привет"));
    EXPECT_EQ(Form->Memo1->toPlainText(), U("Привет"));
}

TEST_F(FrontEnd, MemoTakesAtMost160CharactersOfTheCodePage) {
    Start();
    QString typed;
    for (int i = 0; i < 170; ++i)
        typed += QChar(u'a' + i % 26);
    TypeText(Form.get(), typed);
    EXPECT_EQ(Form->Memo1->toPlainText(), typed.left(160));

    Form->Memo1->clear();
    Form->Memo1->insertPlainText(U("Ёж №1"));
    Form->Memo1->insertPlainText(U(" 日本"));
    EXPECT_EQ(Form->Memo1->toPlainText(), U("Ёж №1"));
}

TEST_F(FrontEnd, FieldsTake259CharactersOfTheCodePage) {
    Start();
    QLineEdit* const edits[] = {Form->Edit1, Form->Edit2, Form->Edit3,
                                Form->Edit4, Form->Edit5, Form->Edit6};
    for (size_t i = 0; i < std::size(edits); ++i) {
        QLineEdit* edit = edits[i];
        edit->clear();
        edit->insert(QString(300, '7'));
        EXPECT_EQ(edit->text().size(), 259) << "field " << i;
        edit->clear();
        edit->insert(U("Ёж 日本"));
        EXPECT_EQ(edit->text(), "") << "field " << i;
        edit->insert(U("Ёж №1"));
        EXPECT_EQ(edit->text(), U("Ёж №1")) << "field " << i;
    }
}

// The links turn blue under the mouse and black over the free area of the tab only, and open
// through the desktop.
TEST_F(FrontEnd, InformationTabLinks) {
    Start();
    Form->PageControl1->setCurrentWidget(Form->TabSheet3);
    QCoreApplication::processEvents();
    const QString start = TextColour(Form->Label7);
    ASSERT_NE(start, Blue);
    EXPECT_EQ(TextColour(Form->Label10), start);

    const struct {
        QWidget* Over;
        QString Label7, Label10;
    } steps[] = {
        {Form->Label7, Blue, start},     {Form->Label10, Blue, Blue},
        {Form->Label13, Blue, Blue}, // another control of the tab changes nothing
        {Form->TabSheet3, Black, Black}, {Form->Label10, Black, Blue},
        {Form->StatusBar1, Black, Blue}, // outside the tab
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& s = steps[i];
        MoveOver(s.Over, s.Over == Form->TabSheet3 ? QPoint(5, 5) : s.Over->rect().center());
        EXPECT_EQ(TextColour(Form->Label7), s.Label7) << "step " << i;
        EXPECT_EQ(TextColour(Form->Label10), s.Label10) << "step " << i;
    }

    TUrlSink sink;
    QDesktopServices::setUrlHandler("https", &sink, "open");
    QDesktopServices::setUrlHandler("mailto", &sink, "open");
    Click(Form->Label7, Form->Label7->rect().center());
    Click(Form->Label10, Form->Label10->rect().center());
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("mailto");
    EXPECT_EQ(sink.Opened,
              (std::vector<QString>{"https://vintrop.example.org/", "mailto:vintrop@example.org"}));
}

} // namespace

#include "test_frontend.moc"
