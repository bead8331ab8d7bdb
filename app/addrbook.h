// The address book: 30 numbers with names, edited in place, one picked by double-click.
#pragma once

#include <QDialog>
#include <QTableWidget>
#include <string>

class TAddrBookForm : public QDialog {
public:
    // Loads the entries from the settings.
    explicit TAddrBookForm(QWidget* Parent = nullptr);
    ~TAddrBookForm() override;

    // Picks the number of the current row into the main window's number field.
    void StringGrid1DblClick();
    void FormClose();

    // The grid as rows 0 (the header) to 30 and columns 0 (number) and 1 (name).
    int RowCount() const { return 31; }
    std::string Cells(int Col, int Row) const;
    void SetCell(int Col, int Row, const std::string& Text);
    int CurrentRow() const;

    int ModalResult = 0;
    QTableWidget* StringGrid1;

protected:
    void closeEvent(QCloseEvent* Event) override;
};

extern TAddrBookForm* AddrBookForm;
