#pragma once
// The network printer search window: probes the network once a second, lists
// every distinct reply, and broadcasts a new address, mask, gateway and MAC to
// the printer chosen in the list.
#include <QDialog>
#include <memory>
#include <vector>

#include "protocol/Discovery.h"
#include "settings-tool/gui/MacBoxes.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowCallGate.h"

class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace ui {
class CIpAddressEdit;
}

namespace cadmon::gui {

class CSearchDlg : public QDialog {
    Q_OBJECT
public:
    // `sockets` are the main window's discovery sockets (the receive socket
    // may be closed, the broadcast socket missing).
    CSearchDlg(int languageFlag, protocol::DiscoverySockets& sockets, ui::MessageSink& messages,
               int probePauseMs = 100, QWidget* parent = nullptr);
    ~CSearchDlg() override;

    struct Controls {
        QLabel* listLabel;
        QListWidget* list;
        QLabel* ipLabel;
        ui::CIpAddressEdit* ip;
        QLabel* maskLabel;
        ui::CIpAddressEdit* mask;
        QLabel* gatewayLabel;
        ui::CIpAddressEdit* gateway;
        QLabel* macLabel;
        MacBoxArray macBoxes;
        QPushButton* set;
    };
    const Controls& controls() const { return c_; }
    const protocol::DeviceTable& table() const { return table_; }
    int ProbesSent() const { return probes_; }

protected:
    void done(int result) override;

private:
    void StopListener();
    void RebuildList(const std::vector<protocol::DeviceRecord>& filled);
    void OnProbeTimer();
    int SelectedRow() const;  // -1 when no line is chosen
    void OnLineChosen(int row);
    void OnSet();

    Controls c_{};
    protocol::DiscoverySockets& sockets_;
    ui::MessageSink& messages_;
    int probePauseMs_;
    protocol::DeviceTable table_;
    QTimer* timer_ = nullptr;
    int probes_ = 0;
    ui::WindowCallGate gate_;
    std::unique_ptr<protocol::DiscoveryListener> listener_;
};

}  // namespace cadmon::gui
