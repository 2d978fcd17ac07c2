#pragma once
// The settings utility's main window: port choice, address settings, test
// printing, cutter and drawer, and the doors to the other windows. It is the
// window the printer link reports to (sender::PrinterWindow): the sender thread
// reaches it only through blocking calls into the window thread, and the
// window never waits for the sender.
#include <QDialog>
#include <QPointer>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "link/UsbDeviceSource.h"
#include "protocol/Discovery.h"
#include "settings-tool/gui/MacBoxes.h"
#include "settings-tool/gui/RepeatingTimer.h"
#include "settings-tool/sender/CommandSender.h"
#include "settings-tool/sender/PrinterWindow.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowCallGate.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace ui {
class CIpAddressEdit;
}

namespace cadmon::gui {

// What the window needs from outside; the program fills it from the
// environment, tests with fakes.
struct CadmonServices {
    ui::MessageSink* messages = nullptr;      // required
    printer_link::UsbDeviceSource* usb = nullptr;     // required
    sender::SenderSettings sender;            // the TCP port comes from PRINTER_TCP_PORT
    protocol::DiscoverySettings discovery;    // PRINTER_BROADCAST_ADDR, ..._PROBE_PORT, ..._REPLY_PORT
    std::filesystem::path parametersFile = "init_params.txt";
    // Time in whole seconds (GenerateRandomMac's seed).
    std::function<std::int64_t()> clockSeconds;
    // The automatic-send timer.
    std::function<std::unique_ptr<RepeatingTimer>(QObject* parent)> makeTimer;
    // Runs a modal window (default: exec()). Tests drive the window in here.
    std::function<void(QDialog& dialog)> runModal;
    // This computer's address for the WIFI window (default: host name lookup).
    std::function<std::optional<protocol::Ipv4>()> localAddress;
    // Pause after each discovery probe of the search window.
    int probePauseMs = 100;

    // Settings from the environment, a QMessageBox sink, the sysfs USB source
    // are supplied by the program; this fills the defaults of the rest.
    void FillDefaults();
};

class CCadmonDlg : public QDialog, public sender::PrinterWindow {
    Q_OBJECT
public:
    enum class StartResult { Ok, DiscoveryPortBusy };
    // Exit status when the discovery port cannot be bound.
    static constexpr int kExitDiscoveryPortBusy = 5;

    explicit CCadmonDlg(CadmonServices services, QWidget* parent = nullptr);
    ~CCadmonDlg() override;

    // The start-up sequence: address fields, welcome text, discovery sockets,
    // port choice, random MAC, period and buzzer, sender thread, parameters
    // file, labels. DiscoveryPortBusy: the user has been told; end the program.
    StartResult Start();

    // sender::PrinterWindow, callable from any thread.
    sender::PortChoice ReadPortChoice() override;
    protocol::Ipv4 ReadPrinterIp() override;
    void AttemptFailed(const sender::AttemptReport& report) override;

    // The status line and a message box, from any thread.
    void ShowStatus(const std::string& text);
    void ShowMessageBox(const std::string& text);

    void ApplyMainLabels();
    int LanguageFlag() const { return languageFlag_; }
    int SendCount() const { return sendCount_; }
    QString StatusText() const { return status_; }  // exactly as last shown
    bool IsSendPending() const;
    // The bound discovery reply port (0 before start-up).
    int DiscoveryReplyPort() const { return sockets_ ? sockets_->ReceivePort() : 0; }
    // Stops the sender (aborting a delivery that waits on the printer) and
    // closes the discovery socket; the window calls it when it closes.
    void Shutdown();

    // The controls, for tests and screenshots.
    struct Controls {
        QGroupBox* portGroup;
        QRadioButton* lpt;
        QRadioButton* usb;
        QRadioButton* net;
        QGroupBox* addressGroup;
        QLabel* printerIpLabel;
        QLabel* maskLabel;
        QLabel* gatewayLabel;
        QLabel* newIpLabel;
        ui::CIpAddressEdit* printerIp;
        ui::CIpAddressEdit* mask;
        ui::CIpAddressEdit* gateway;
        ui::CIpAddressEdit* newIp;
        QPushButton* connectTest;
        QPushButton* setIp;
        QPushButton* scanPrinter;
        QPushButton* dhcpOn;
        QPushButton* dhcpOff;
        QPushButton* wifi;
        QLabel* macLabel;
        MacBoxArray macBoxes;
        QPushButton* mac;
        QLabel* macNote;
        QLabel* note;
        QComboBox* buzzer;
        QPushButton* buzzerButton;
        QComboBox* blankFeed;
        QPushButton* blankFeedButton;
        QLabel* printInfoLabel;
        QPlainTextEdit* printInfo;
        QCheckBox* autoSend;
        QLineEdit* period;
        QLabel* ms;
        QPushButton* print;
        QPushButton* cut;
        QPushButton* cash;
        QPushButton* otherSet;
        QPushButton* language;
        QPushButton* about;
        QLabel* status;
    };
    const Controls& controls() const { return c_; }
    RepeatingTimer& autoSendTimer() { return *timer_; }

    // The window menu (right click): a separator and the about entry.
    QMenu* MakeWindowMenu(QWidget* parent);

public slots:
    void ShowAbout();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void done(int result) override;

private:
    void BuildControls();
    void Submit(const protocol::Bytes& bytes);
    void SubmitPrintInfo();
    void OnPrint();
    void OnAutoSendTick();
    void OnSetMac();
    void OnLanguage();
    void OnOtherSettings();
    void OnWifi();
    void OnScanPrinter();
    void OnConnectTest();
    void SetStatusOnWindowThread(const QString& text);
    void ShowMessageOnWindowThread(const QString& text);

    CadmonServices services_;
    Controls c_{};
    std::unique_ptr<RepeatingTimer> timer_;
    std::unique_ptr<protocol::DiscoverySockets> sockets_;
    std::unique_ptr<sender::CommandSender> sender_;
    ui::WindowCallGate gate_;
    int languageFlag_ = 0;
    int sendCount_ = 0;
    QString status_;
    bool shutDown_ = false;
};

// Parses the period box: its leading decimal digits, 0 when there are none.
int LeadingDecimal(const QString& text);

}  // namespace cadmon::gui
