// Renders the program's real windows offscreen into PNG files for the README: the three tabs
// of the main window and the address book, filled with sample entries.
//   vintrop_screenshots [FOLDER]     (default: docs)
// The settings come from a temporary folder, so the user's own are neither shown nor changed.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "app/addrbook.h"
#include "app/ext.h"
#include "app/smtpmain.h"
#include "platform/codepage.h"

namespace {

void Store(const char* Name, const char* Utf8) {
    WriteStringValue(SettingsKey, Name, Win1251::FromUnicode(QString::fromUtf8(Utf8)).c_str());
}

bool Save(QWidget* Window, const QString& Path) {
    QCoreApplication::processEvents();
    if (Window->grab().save(Path))
        return true;
    std::fprintf(stderr, "vintrop_screenshots: cannot write %s\n", qPrintable(Path));
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);

    QApplication application(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    if (!QDir().mkpath(folder))
        return 1;

    const char* const book[][2] = {
        {"+79161234567", "Маша"},
        {"+79031112233", "Пётр Иванович"},
        {"+79269876543", "Офис"},
    };
    for (int i = 0; i < 3; ++i) {
        const std::string row = std::to_string(i + 1);
        Store(("Number" + row).c_str(), book[i][0]);
        Store(("Name" + row).c_str(), book[i][1]);
    }

    TFormMain form;
    TAddrBookForm addrBook;
    form.Memo1->setPlainText(
        QString::fromUtf8("Привет! Встречаемся завтра в 18:00 у входа в парк. Позвони, если "
                          "опаздываешь."));
    form.show();

    bool ok = true;
    const char* const tabs[] = {"sms", "settings", "about"};
    for (int i = 0; i < 3; ++i) {
        form.PageControl1->setCurrentIndex(i);
        ok = Save(&form, folder + "/screenshot-" + tabs[i] + ".png") && ok;
    }
    addrBook.StringGrid1->setCurrentCell(1, 0);
    addrBook.show();
    ok = Save(&addrBook, folder + "/screenshot-addrbook.png") && ok;
    addrBook.hide();
    return ok ? 0 : 1;
}
