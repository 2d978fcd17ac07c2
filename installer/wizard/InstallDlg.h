#pragma once
// The install wizard's main window: welcome, install folder, printer settings
// (model, name, port and its settings, default printer), installing with a
// progress bar, and the result page. The install itself runs on a worker
// thread of its own that reaches this window only through blocking
// cross-thread calls and one posted Next.
#include <QDialog>
#include <QFont>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <filesystem>
#include <functional>
#include <memory>

#include "installer/engine/InstallSession.h"
#include "installer/payload/InstallLog.h"
#include "installer/payload/InstallerConfig.h"
#include "installer/payload/Package.h"
#include "installer/wizard/WizardPanel.h"
#include "installer/wizard/WizardTexts.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace ui {
class MessageSink;
class WindowCallGate;
}  // namespace ui

namespace wizard {

class CSelectPortDlg;
struct PortRow;

// The answer of one port window, handed from the window thread to the worker.
class PortAnswer {
public:
    void Set(std::optional<std::string> port);  // the first answer counts
    std::optional<std::string> Wait();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::optional<std::string> port_;
};

// What the wizard needs from outside: the operating system seams, the message
// boxes, the log, the package and where things live.
struct WizardServices {
    WizardServices(engine::Platform p, ui::MessageSink& m) : platform(p), messages(m) {}

    engine::Platform platform;
    ui::MessageSink& messages;
    payload::InstallLog log;
    const payload::InstallPackage* package = nullptr;
    std::filesystem::path selfFile;            // the running executable (appended archive)
    QString programFiles = QStringLiteral("/opt");  // parent of the default install folder
    // Opens the folder picker; empty when the user cancelled. Null: QFileDialog.
    std::function<QString(QWidget* owner, const QString& title)> pickFolder;
    // Called with every port window before it runs (tests answer it).
    std::function<void(CSelectPortDlg&)> onPortWindow;
};

class CInstallDlg : public QDialog {
    Q_OBJECT
public:
    CInstallDlg(const WizardEnvironment& env, const payload::InstallerTexts& texts, WizardServices services,
                QWidget* parent = nullptr);
    ~CInstallDlg() override;

    // Handlers of the buttons and lists.
    void OnNext();
    void OnBack();
    void OnBrowse();
    void OnModelChanged(int index);
    void OnPortKindChanged(int index);

    CWizardWnd* panel() const { return panel_; }
    int page() const { return panel_->page; }
    bool workerRunning() const { return session_->Running(); }
    const engine::InstallSettings& settings() const { return session_->Settings(); }
    const payload::ModelTable& models() const { return session_->Run().models; }
    // The run (read it after the worker ended), for tests and the log.
    const engine::InstallRun* lastRun() const { return &session_->Run(); }

    // Controls, for tests and the screen renderer.
    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* browseButton() const { return browse_; }
    QComboBox* modelList() const { return modelList_; }
    QLineEdit* printerNameField() const { return printerName_; }
    QCheckBox* defaultPrinterBox() const { return defaultBox_; }
    QCheckBox* monitorBox() const { return monitorBox_; }
    QComboBox* portList() const { return portList_; }
    QComboBox* baudList() const { return baud_; }
    QComboBox* dataBitsList() const { return dataBits_; }
    QComboBox* parityList() const { return parity_; }
    QComboBox* stopBitsList() const { return stopBits_; }
    QComboBox* flowList() const { return flow_; }
    QLineEdit* ipField() const { return ip_; }
    QLineEdit* tcpPortField() const { return tcpPort_; }
    QProgressBar* progressBar() const { return progress_; }
    QGroupBox* portGroup() const { return group_; }
    QWidget* serialGroup() const { return serialGroup_; }
    QWidget* networkGroup() const { return networkGroup_; }

public slots:
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    class Bridge;

    void BuildControls();
    void SetCaptions();
    void FillModelList();
    void FillSerialLists();
    void FillPorts();
    void ShowSettingsPage(bool show);
    void EnterChooseFolder();
    void EnterPrinterSetting();
    void EnterInstalling();
    void EnterComplete();
    void ShowFailed();
    bool LeaveChooseFolder();
    bool LeavePrinterSetting();
    void WorkerFinished();
    void OpenPortWindow(const std::vector<PortRow>& rows, std::shared_ptr<PortAnswer> answer);
    QString FinishCaption() const;

    WizardEnvironment env_;
    payload::InstallerTexts texts_;
    WizardServices services_;
    bool chineseFlag_ = false;
    QFont captionFont_;
    std::uint32_t defaultPrinterFlag_ = 1;
    std::uint32_t monitorFlag_ = 1;

    CWizardWnd* panel_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* browse_ = nullptr;
    QGroupBox* group_ = nullptr;
    QLabel* modelLabel_ = nullptr;
    QComboBox* modelList_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLineEdit* printerName_ = nullptr;
    QCheckBox* defaultBox_ = nullptr;
    QCheckBox* monitorBox_ = nullptr;
    QLabel* portLabel_ = nullptr;
    QComboBox* portList_ = nullptr;
    QWidget* serialGroup_ = nullptr;
    QLabel* baudLabel_ = nullptr;
    QComboBox* baud_ = nullptr;
    QComboBox* dataBits_ = nullptr;
    QComboBox* parity_ = nullptr;
    QComboBox* stopBits_ = nullptr;
    QComboBox* flow_ = nullptr;
    QWidget* networkGroup_ = nullptr;
    QLineEdit* ip_ = nullptr;
    QLineEdit* tcpPort_ = nullptr;
    QProgressBar* progress_ = nullptr;

    std::unique_ptr<ui::WindowCallGate> gate_;
    std::unique_ptr<Bridge> bridge_;
    // The installation this window collects the choices for and starts; it
    // cleans the program folder when the panel goes.
    std::unique_ptr<engine::InstallSession> session_;
    std::shared_ptr<PortAnswer> portAnswer_;
};

// Longest text the printer-name, IP and TCP port fields take: the settings
// hold 255 characters.
inline constexpr int kFieldLimit = 255;

}  // namespace wizard
