// The program's entry: the main window and the address book, then the event loop.
#include <QApplication>

#include "app/addrbook.h"
#include "app/smtpmain.h"
#include "platform/forms.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    try {
        TFormMain formMain;
        TAddrBookForm addrBookForm;
        formMain.show();
        Application->Run();
    } catch (const std::exception& e) {
        Application->ShowException(e);
    }
    return 0;
}
