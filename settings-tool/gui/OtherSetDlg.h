#pragma once
// The other-settings window: printer settings chosen from a list and sent
// with one button each (code page, density, reprint, character set, speed).
#include <QDialog>
#include <functional>

#include "protocol/SettingsCommands.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace cadmon::gui {

using SubmitFunction = std::function<void(const protocol::Bytes&)>;

class COtherSetDlg : public QDialog {
    Q_OBJECT
public:
    COtherSetDlg(int languageFlag, SubmitFunction submit, QWidget* parent = nullptr);

    struct Row {
        QLabel* label = nullptr;
        QComboBox* list = nullptr;
        QPushButton* button = nullptr;  // none for the encoding row
    };
    struct Controls {
        Row printMode, codePage, barPrint, density, reprint, language, encoding, speed;
        QPushButton* usbIdentityX = nullptr;
        QPushButton* usbIdentityG = nullptr;
    };
    const Controls& controls() const { return c_; }

    // The list position a button sends: the chosen entry, -1 when none is
    // chosen or the edit text was changed to something that is no entry.
    static int ChosenPosition(const QComboBox* list);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    Controls c_;
    SubmitFunction submit_;
};

}  // namespace cadmon::gui
