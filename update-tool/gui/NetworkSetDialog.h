#pragma once
// NetworkSetDialog ("对话"): new network settings for the printer chosen in
// the device list, sent by broadcast with the printer's record.
#include <QDialog>
#include <array>

#include "protocol/Discovery.h"
#include "ui-common/MessageSink.h"
#include "update-tool/core/UpdateTool.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
namespace ui {
class CIpAddressEdit;
}

namespace ferrik {

inline constexpr const char* kMacErrorText = "MAC 地址错误 Invalid MAC address";

class NetworkSetDialog : public QDialog {
    Q_OBJECT
public:
    NetworkSetDialog(ui::MessageSink& messages, UpdateTool& tool, protocol::DeviceRecord chosen, int slot,
                     QWidget* parent = nullptr);

    int Slot() const { return slot_; }
    // The "OK" button: SendNetworkSettings, closing the dialog when the message left.
    void SendNetworkSettings();

    std::array<QLineEdit*, 6> macBoxes{};
    ui::CIpAddressEdit* ipField = nullptr;
    ui::CIpAddressEdit* maskField = nullptr;
    ui::CIpAddressEdit* gatewayField = nullptr;
    QCheckBox* dhcpBox = nullptr;
    QPushButton* okButton = nullptr;

private:
    ui::MessageSink& messages_;
    UpdateTool& tool_;
    protocol::DeviceRecord chosen_;
    int slot_;
};

}  // namespace ferrik
