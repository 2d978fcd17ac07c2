#pragma once
// The "Select Printer Port" window: every port the print system knows, with
// its description and monitor; OK returns the first selected row's port name.
#include <QDialog>
#include <QString>
#include <vector>

#include "installer/wizard/WizardFonts.h"

class QPushButton;
class QTableWidget;

namespace wizard {

struct PortRow {
    QString name;
    QString description;
    QString monitor;
};

class CSelectPortDlg : public QDialog {
    Q_OBJECT
public:
    // ports is the print system's port list in its own order; empty when it
    // could not be read (then only Cancel leaves the window).
    CSelectPortDlg(UiLanguage language, const std::vector<PortRow>& ports, QWidget* parent = nullptr);

    QString chosenPort() const { return chosenPort_; }
    QTableWidget* list() const { return list_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

    // Sets the three column widths from the list's current client width.
    void FitColumns();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnOk();

    QTableWidget* list_;
    QPushButton* ok_;
    QPushButton* cancel_;
    QString chosenPort_;
};

}  // namespace wizard
