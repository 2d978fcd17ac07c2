#pragma once
// PrintSetWindow: the whole user interface of ferrik. It owns the program-wide
// USB link (through UpdateTool), the device table, the presence poller and the
// discovery listener, and implements the window interface of the actions.
#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>

#include "link/UsbDeviceSource.h"
#include "protocol/Discovery.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowCallGate.h"
#include "update-tool/core/UpdateTool.h"
#include "update-tool/core/UsbPresencePoller.h"

class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QGroupBox;
namespace ui {
class CIpAddressEdit;
}

namespace ferrik {

inline constexpr const char* kWindowCaption = "Print-set";
inline constexpr const char* kMessageTitle = "Ferrik";
inline constexpr const char* kAboutMenuText = "关于 Ferrik(&A)...";

class PrintSetWindow : public QDialog, public UpdateWindow {
    Q_OBJECT
public:
    struct Options {
        UpdateSettings settings = UpdateSettings::FromEnvironment();
        std::chrono::milliseconds pollInterval{500};
        int searchPeriodMs = 2000;
        bool startThreads = true;  // poller and discovery listener
        // How the program ends after "Print error". Default: _Exit(status).
        std::function<void(int)> endProgram;
    };

    // `usb` serves the program-wide link, `pollerUsb` the presence poller:
    // two threads, two sources.
    PrintSetWindow(ui::MessageSink& messages, printer_link::UsbDeviceSource& usb, printer_link::UsbDeviceSource& pollerUsb,
                   Options options, QWidget* parent = nullptr);
    ~PrintSetWindow() override;

    // UpdateWindow
    void SetProgress(int position, std::int64_t bytesDone) override;
    void ShowDevicePath(const std::string& path) override;
    void ShowStatus(const std::string& text) override;
    void ShowMessageBox(const std::string& text) override;
    void SetButtonEnabled(ActionButton button, bool enabled) override;
    void ClearDeviceList() override;
    void EndProgram(const std::string& text, int status) override;

    UpdateTool& Tool() { return *tool_; }
    bool IsEnding() const { return ending_; }
    void ShowAboutBox();
    void OpenNetworkSettings();
    // Rebuilds the device list from the table (the listener's report).
    void RebuildDeviceList();

    // Controls, by their texts, for tests and the screens program.
    QPushButton* usbUpdateButton = nullptr;
    QPushButton* exitButton = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* statusLine = nullptr;
    QLabel* devicePathLine = nullptr;
    QComboBox* codePageList = nullptr;
    QPushButton* codePageSetButton = nullptr;
    QComboBox* printWidthList = nullptr;
    QComboBox* buzzerList = nullptr;
    QComboBox* darknessList = nullptr;
    QPushButton* darknessSetButton = nullptr;
    QPushButton* xUsbButton = nullptr;
    QPushButton* gUsbButton = nullptr;
    QPushButton* fontButton = nullptr;        // "Button1"
    QPushButton* networkUpdateButton = nullptr;
    QPushButton* refreshButton = nullptr;
    QPushButton* ipSetButton = nullptr;
    QListWidget* deviceList = nullptr;
    ui::CIpAddressEdit* printerAddress = nullptr;
    QPushButton* connectTestButton = nullptr;  // "Button5"
    QPushButton* aboutButton = nullptr;
    QAction* aboutAction = nullptr;
    QTimer searchTimer;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void done(int result) override;

private:
    void BuildControls();
    void FillLists();
    void StartBackground();
    void StopBackground();
    int SelectedLine() const;
    static int ListValuePosition(const QComboBox* list);
    // Runs `f` on the window thread: directly when already there, queued otherwise.
    void OnWindowThread(std::function<void()> f);

    ui::MessageSink& messages_;
    Options options_;
    protocol::DeviceTable table_;
    std::unique_ptr<UpdateTool> tool_;
    ui::WindowCallGate gate_;
    std::unique_ptr<UsbPresencePoller> poller_;
    protocol::DiscoverySockets sockets_;
    std::unique_ptr<protocol::DiscoveryListener> listener_;
    bool ending_ = false;
    bool busy_ = false;  // an action is running in the window thread
};

}  // namespace ferrik
