#pragma once
// The about box.
#include <QDialog>

class QPushButton;

namespace cadmon::gui {

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    QPushButton* okButton() const { return ok_; }

private:
    QPushButton* ok_;
};

// The window icon: a small receipt printer, drawn rather than loaded.
QIcon CadmonIcon();

}  // namespace cadmon::gui
