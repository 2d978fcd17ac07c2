#pragma once
// The WIFI window: the wireless network's name and password, and a fixed
// wireless address, for a printer with a WIFI module. It stays open after
// sending so that several printers can be set one after the other.
#include <QDialog>
#include <functional>
#include <optional>

#include "protocol/SettingsCommands.h"
#include "settings-tool/gui/OtherSetDlg.h"
#include "ui-common/MessageSink.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {
class CIpAddressEdit;
}

namespace cadmon::gui {

// This computer's IPv4 address from its host name (gethostname, then a
// lookup); nothing when the host name cannot be read or has no IPv4 address.
std::optional<protocol::Ipv4> LookUpLocalAddress();

class CWifiDlg : public QDialog {
    Q_OBJECT
public:
    // `localAddress`: this computer's address, or nothing when it is unknown
    // (the static IP field then starts at 192.168.0.199).
    CWifiDlg(int languageFlag, SubmitFunction submit, ui::MessageSink& messages,
             std::optional<protocol::Ipv4> localAddress, QWidget* parent = nullptr);

    struct Controls {
        QLabel* nameLabel;
        QLineEdit* name;
        QLabel* passwordLabel;
        QLineEdit* password;
        QPushButton* ok;
        QLabel* staticIpLabel;
        ui::CIpAddressEdit* staticIp;
        QLabel* maskLabel;
        ui::CIpAddressEdit* mask;
        QLabel* gatewayLabel;
        ui::CIpAddressEdit* gateway;
        QPushButton* set;
        QPushButton* wifiDhcp;
        QPushButton* quit;
    };
    const Controls& controls() const { return c_; }

private:
    void OnOk();
    void OnSet();

    Controls c_{};
    SubmitFunction submit_;
    ui::MessageSink& messages_;
};

}  // namespace cadmon::gui
