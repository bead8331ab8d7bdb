#include "app/addrbook.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QValidator>
#include <cstdio>

#include "app/ext.h"
#include "app/smtpmain.h"
#include "platform/codepage.h"

TAddrBookForm* AddrBookForm = nullptr;

namespace {

// Cells take what a stored value can hold: 259 characters the code page knows.
class TCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option,
                          const QModelIndex& Index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(Parent, Option, Index);
        if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            edit->setMaxLength(259);
            edit->setValidator(new Validator(edit));
        }
        return editor;
    }

private:
    class Validator : public QValidator {
    public:
        using QValidator::QValidator;
        State validate(QString& Input, int&) const override {
            return Win1251::CanEncode(Input) ? Acceptable : Invalid;
        }
    };
};

} // namespace

TAddrBookForm::TAddrBookForm(QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    AddrBookForm = this;
    setWindowTitle(QStringLiteral("Address book"));
    setFixedSize(284, 299);
    QFont font = this->font();
    font.setPixelSize(11);
    setFont(font);

    StringGrid1 = new QTableWidget(RowCount() - 1, 2, this);
    StringGrid1->setGeometry(8, 8, 273, 281);
    StringGrid1->setColumnWidth(0, 125);
    StringGrid1->setColumnWidth(1, 125);
    StringGrid1->verticalHeader()->hide();
    // The header row is fixed: a click there selects nothing, so a double-click on it picks
    // the row that was current before.
    StringGrid1->horizontalHeader()->setSectionsClickable(false);
    StringGrid1->verticalHeader()->setDefaultSectionSize(15);
    StringGrid1->setEditTriggers(QAbstractItemView::SelectedClicked |
                                 QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    StringGrid1->setItemDelegate(new TCellDelegate(StringGrid1));
    for (int row = 1; row < RowCount(); ++row)
        for (int col = 0; col < 2; ++col)
            StringGrid1->setItem(row - 1, col, new QTableWidgetItem);
    StringGrid1->setCurrentCell(0, 0);
    connect(StringGrid1, &QTableWidget::cellDoubleClicked, this, [this] { StringGrid1DblClick(); });
    connect(StringGrid1->horizontalHeader(), &QHeaderView::sectionDoubleClicked, this,
            [this] { StringGrid1DblClick(); });

    StringGrid1->setHorizontalHeaderLabels({QString::fromUtf8("Tel №"), QStringLiteral("Name")});
    for (int i = 1; i <= RowCount() - 1; ++i) {
        char name[260];
        char value[260];
        std::snprintf(name, sizeof name, "Number%d", i);
        if (ReadStringValue(SettingsKey, name, value, sizeof value))
            SetCell(0, i, value);
        std::snprintf(name, sizeof name, "Name%d", i);
        if (ReadStringValue(SettingsKey, name, value, sizeof value))
            SetCell(1, i, value);
    }
}

TAddrBookForm::~TAddrBookForm() {
    if (AddrBookForm == this)
        AddrBookForm = nullptr;
}

std::string TAddrBookForm::Cells(int Col, int Row) const {
    if (Row == 0)
        return Win1251::FromUnicode(StringGrid1->horizontalHeaderItem(Col)->text());
    const QTableWidgetItem* item = StringGrid1->item(Row - 1, Col);
    return item ? Win1251::FromUnicode(item->text()) : std::string();
}

void TAddrBookForm::SetCell(int Col, int Row, const std::string& Text) {
    StringGrid1->item(Row - 1, Col)->setText(Win1251::ToUnicode(Text));
}

int TAddrBookForm::CurrentRow() const {
    return StringGrid1->currentRow() + 1;
}

void TAddrBookForm::StringGrid1DblClick() {
    const int row = CurrentRow();
    if (row < 1 || Cells(0, row).empty())
        return;
    if (FormMain)
        FormMain->Edit2->setText(Win1251::ToUnicode(Cells(0, row)));
    hide();
    ModalResult = 1;
    done(1);
}

void TAddrBookForm::FormClose() {
    ModalResult = 2;
}

void TAddrBookForm::closeEvent(QCloseEvent* Event) {
    FormClose();
    Event->accept();
    done(2);
}
