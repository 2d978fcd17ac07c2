#pragma once
// "关于 Ferrik": the application icon, the version text and an OK button.
#include <QDialog>

namespace ferrik {

class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace ferrik
