#include "installer/wizard/InstallDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "base/TextCodec.h"
#include "installer/wizard/SelectPortDlg.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowCallGate.h"

namespace wizard {
namespace {

QString S(const char16_t* text) { return QString::fromUtf16(text); }
std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }
QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

constexpr int kButtonWidth = 78;
constexpr int kButtonHeight = 23;

}  // namespace

// --------------------------------------------------------------- PortAnswer

void PortAnswer::Set(std::optional<std::string> port) {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
    port_ = std::move(port);
    changed_.notify_all();
}

std::optional<std::string> PortAnswer::Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return done_; });
    return port_;
}

// ------------------------------------------------------------------- Bridge
// The engine's view of the wizard. Every call comes from the worker thread and
// runs on the window thread through the call gate; success is one posted Next.

class CInstallDlg::Bridge : public engine::InstallObserver {
public:
    explicit Bridge(CInstallDlg& dlg) : dlg_(dlg) {}

    void SetProgress(int percent) override {
        dlg_.gate_->Call([this, percent] {
            dlg_.progress_->setValue(std::clamp(percent, 0, 100));
            dlg_.progress_->repaint();
        });
    }
    void SetStatusLine(const std::u16string& text) override {
        dlg_.gate_->Call([this, &text] { dlg_.panel_->SetStatusLine(QString::fromStdU16String(text)); });
    }
    // The port window opens modally on the window thread without a nested
    // event loop; the worker waits here for its answer, which the window's
    // end or the wizard's destruction gives.
    std::optional<std::string> ChoosePort(const std::vector<engine::SpoolerPort>& ports) override {
        auto answer = std::make_shared<PortAnswer>();
        std::vector<PortRow> rows;
        for (const engine::SpoolerPort& port : ports)
            rows.push_back({FromUtf8(port.name), FromUtf8(port.description), FromUtf8(port.monitor)});
        if (!dlg_.gate_->Call([this, &rows, answer] { dlg_.OpenPortWindow(rows, answer); })) return std::nullopt;
        return answer->Wait();
    }
    void InstallSucceeded() override {
        CInstallDlg* dlg = &dlg_;
        dlg_.gate_->Post([dlg] { dlg->OnNext(); });
    }
    void InstallFailed() override {
        dlg_.gate_->Call([this] { dlg_.ShowFailed(); });
    }

private:
    CInstallDlg& dlg_;
};

// --------------------------------------------------------------- set-up

CInstallDlg::CInstallDlg(const WizardEnvironment& env, const payload::InstallerTexts& texts,
                         WizardServices services, QWidget* parent)
    : QDialog(parent), env_(env), texts_(texts), services_(std::move(services)) {
    InitWizardResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/lumbra/app32.png"));
    icon.addFile(QStringLiteral(":/lumbra/app64.png"));
    setWindowIcon(icon);

    chineseFlag_ = env_.language == UiLanguage::Chinese;
    captionFont_ = CaptionFont(env_.language);

    move(0, 0);
    setFixedSize(523, 365);

    gate_ = std::make_unique<ui::WindowCallGate>(this);
    bridge_ = std::make_unique<Bridge>(*this);
    session_ = std::make_unique<engine::InstallSession>(services_.platform, *bridge_);
    engine::InstallRun& run = session_->Run();
    run.log = services_.log;
    run.package = services_.package;
    run.selfFile = services_.selfFile;

    panel_ = new CWizardWnd(env_, services_.programFiles, this);
    BuildControls();
    SetCaptions();
    FillModelList();
    defaultBox_->setChecked(true);
    monitorBox_->setChecked(true);
    defaultPrinterFlag_ = 1;
    monitorFlag_ = 1;
    FillSerialLists();
    tcpPort_->setText(QStringLiteral("9100"));
    FillPorts();
    session_->Settings().uiLanguage = static_cast<int>(env_.language);
    session_->Settings().chinese = chineseFlag_;

    connect(next_, &QPushButton::clicked, this, &CInstallDlg::OnNext);
    connect(back_, &QPushButton::clicked, this, &CInstallDlg::OnBack);
    connect(browse_, &QPushButton::clicked, this, &CInstallDlg::OnBrowse);
    connect(cancel_, &QPushButton::clicked, this, &CInstallDlg::reject);
    connect(modelList_, &QComboBox::currentIndexChanged, this, &CInstallDlg::OnModelChanged);
    connect(portList_, &QComboBox::currentIndexChanged, this, &CInstallDlg::OnPortKindChanged);
}

CInstallDlg::~CInstallDlg() {
    // A worker blocked in a call to this window, or waiting for a port choice,
    // gets a failed call or a cancelled choice and ends; only then does the
    // panel go, and with it the extracted files.
    gate_->Close();
    if (portAnswer_) portAnswer_->Set(std::nullopt);
    session_->Wait();
    panel_->SetDestroyHook([this] { session_->CleanUp(); });
    delete panel_;
    panel_ = nullptr;
}

void CInstallDlg::BuildControls() {
    const int right = width();
    const int bottom = height();
    group_ = new QGroupBox(this);
    group_->setGeometry(3, 85, right - 6, bottom - 138);

    auto label = [this](const QRect& r) {
        auto* l = new QLabel(this);
        l->setGeometry(r);
        return l;
    };
    modelLabel_ = label(QRect(20, 110, 110, 22));
    modelList_ = new QComboBox(this);
    modelList_->setGeometry(135, 108, 220, 24);
    nameLabel_ = label(QRect(20, 142, 110, 22));
    printerName_ = new QLineEdit(this);
    printerName_->setGeometry(135, 140, 220, 24);
    printerName_->setMaxLength(kFieldLimit);
    // A printer name holds no control characters: typed or pasted ones are refused.
    printerName_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[^\\x{0}-\\x{1f}\\x{7f}-\\x{9f}]*")), printerName_));
    defaultBox_ = new QCheckBox(this);
    defaultBox_->setGeometry(365, 140, 150, 24);
    monitorBox_ = new QCheckBox(this);
    monitorBox_->setGeometry(365, 172, 150, 24);
    monitorBox_->hide();
    portLabel_ = label(QRect(20, 174, 110, 22));
    portList_ = new QComboBox(this);
    portList_->setGeometry(135, 172, 220, 24);

    // Serial settings: five labelled lists in two columns.
    serialGroup_ = new QWidget(this);
    serialGroup_->setGeometry(10, 204, right - 20, 100);
    auto serialPair = [this](const QString& caption, int column, int row, QLabel** labelOut) {
        auto* l = new QLabel(caption, serialGroup_);
        l->setGeometry(10 + column * 250, 4 + row * 30, 100, 22);
        auto* list = new QComboBox(serialGroup_);
        list->setGeometry(115 + column * 250, 2 + row * 30, 120, 24);
        if (labelOut) *labelOut = l;
        return list;
    };
    baud_ = serialPair(QString(), 0, 0, &baudLabel_);
    dataBits_ = serialPair(S(u"数据位："), 1, 0, nullptr);
    parity_ = serialPair(S(u"奇偶校验："), 0, 1, nullptr);
    stopBits_ = serialPair(S(u"停止位："), 1, 1, nullptr);
    flow_ = serialPair(S(u"数据流控制："), 0, 2, nullptr);

    networkGroup_ = new QWidget(this);
    networkGroup_->setGeometry(10, 204, right - 20, 70);
    auto* ipLabel = new QLabel(S(u"打印机IP:"), networkGroup_);
    ipLabel->setGeometry(10, 4, 100, 22);
    ip_ = new QLineEdit(networkGroup_);
    ip_->setGeometry(115, 2, 160, 24);
    ip_->setMaxLength(kFieldLimit);
    auto* tcpLabel = new QLabel(S(u"端口："), networkGroup_);
    tcpLabel->setGeometry(10, 34, 100, 22);
    tcpPort_ = new QLineEdit(networkGroup_);
    tcpPort_->setGeometry(115, 32, 80, 24);
    tcpPort_->setMaxLength(kFieldLimit);

    progress_ = new QProgressBar(this);
    progress_->setGeometry(28, 190, right - 56, 20);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);

    browse_ = new QPushButton(this);
    browse_->setGeometry(right - 153, bottom - 156, kButtonWidth, kButtonHeight);
    back_ = new QPushButton(this);
    next_ = new QPushButton(this);
    cancel_ = new QPushButton(this);
    QPushButton* row[] = {back_, next_, cancel_};
    for (int i = 0; i < 3; ++i) {
        row[i]->setGeometry(right - 252 + 83 * i, bottom - 33, kButtonWidth, kButtonHeight);
        row[i]->setAutoDefault(false);
    }
    next_->setDefault(true);

    // Welcome: Next and Cancel only.
    ShowSettingsPage(false);
    serialGroup_->hide();
    networkGroup_->hide();
    progress_->hide();
    browse_->hide();
    back_->hide();
}

void CInstallDlg::SetCaptions() {
    const UiLanguage lang = env_.language;
    const QString title = FromUtf8(base::Utf16ToUtf8(texts_.title));
    auto pick = [lang](const QString& en, const QString& cn, const QString& ru) {
        return lang == UiLanguage::Chinese ? cn : lang == UiLanguage::Russian ? ru : en;
    };
    auto look = [this](const char16_t* key, const char16_t* fallback) { return Lookup(env_, key, fallback); };
    if (!title.isEmpty()) setWindowTitle(title);
    else if (lang == UiLanguage::English) setWindowTitle(QStringLiteral("USB printer driver installation Wizard"));
    else if (lang == UiLanguage::Chinese) setWindowTitle(S(u"USB打印机驱动安装"));
    else setWindowTitle(QString());

    back_->setText(pick(QStringLiteral("Back"), S(u"<<上一步"), look(u"Back", u"Back")));
    next_->setText(pick(QStringLiteral("Next"), S(u"下一步>>"), look(u"Next", u"Next")));
    cancel_->setText(pick(QStringLiteral("Cancel"), S(u"取消"), S(u"Отмена")));
    browse_->setText(pick(QStringLiteral("Browse"), S(u"浏览..."), look(u"Browse", u"Browse")));
    group_->setTitle(pick(QStringLiteral("Select Port"), S(u"设置端口"), S(u"выбор порта")));
    modelLabel_->setText(pick(QStringLiteral("Model:"), S(u"型号："), look(u"DriverTitle", u"Model:")));
    nameLabel_->setText(pick(QStringLiteral("Printer Name:"), S(u"打印机名称："), look(u"PrintTitle", u"Printer Name:")));
    defaultBox_->setText(pick(QStringLiteral("Set as default printer"), S(u"设置为默认打印机"),
                              look(u"DefaultPrinter", u"Set as default printer")));
    portLabel_->setText(pick(QStringLiteral("Port:"), S(u"端口："), QStringLiteral("Port:")));
    baudLabel_->setText(pick(QStringLiteral("Baudrate:"), S(u"波特率："), QStringLiteral("Baudrate:")));
    monitorBox_->setText(lang == UiLanguage::Russian ? QStringLiteral("Use Printer Monitor")
                                                     : QStringLiteral("Use printer monitor"));
    if (lang != UiLanguage::English) {
        for (QWidget* w : std::initializer_list<QWidget*>{back_, next_, cancel_, browse_, group_, modelLabel_,
                                                          nameLabel_, defaultBox_, portLabel_, baudLabel_,
                                                          modelList_, printerName_}) {
            w->setFont(captionFont_);
        }
    }
}

void CInstallDlg::FillModelList() {
    switch (env_.language) {
    case UiLanguage::Chinese: modelList_->addItem(S(u"请选择打印机型号")); break;
    case UiLanguage::English: modelList_->addItem(QStringLiteral("Please select model")); break;
    case UiLanguage::Russian:
        modelList_->addItem(Lookup(env_, u"Please select model", u"Please select model"));
        break;
    }
    payload::ModelTable& models = session_->Run().models;
    models = payload::ReadModelTable(env_.documents.toStdString());
    for (const std::u16string& item : models.listItems) modelList_->addItem(QString::fromStdU16String(item));
    if (modelList_->count() > 1) {
        modelList_->setCurrentIndex(1);
        printerName_->setText(modelList_->itemText(1));
        session_->Settings().selectedRow = 1;
    } else {
        modelList_->setCurrentIndex(0);
        session_->Settings().selectedRow = 0;
    }
}

void CInstallDlg::FillSerialLists() {
    baud_->addItems({"100", "300", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400",
                     "460800", "921600"});
    baud_->setCurrentText(QStringLiteral("115200"));
    dataBits_->addItems({"5", "6", "7", "8"});
    dataBits_->setCurrentText(QStringLiteral("8"));
    parity_->addItems({S(u"偶校验"), S(u"奇校验"), S(u"无")});
    parity_->setCurrentText(S(u"无"));
    stopBits_->addItems({"1", "1.5", "2"});
    stopBits_->setCurrentText(QStringLiteral("1"));
    flow_->addItems({QStringLiteral("Xon / Xoff"), S(u"硬件"), S(u"无")});
    flow_->setCurrentText(S(u"硬件"));
}

void CInstallDlg::FillPorts() {
    const QSignalBlocker block(portList_);
    for (const std::string& entry : engine::FillPortList(services_.platform.spooler, static_cast<int>(env_.language)))
        portList_->addItem(FromUtf8(entry));
    portList_->setCurrentIndex(0);
}

// ---------------------------------------------------------------- painting

void CInstallDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintEtchedLine(painter, width(), height());
}

void CInstallDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    move(0, 0);
}

// ------------------------------------------------------------- closing

void CInstallDlg::reject() {
    // While the worker runs it still uses this window: Esc, the close box and
    // a disabled Cancel all leave it open.
    if (session_->Running()) return;
    QDialog::reject();
}

void CInstallDlg::closeEvent(QCloseEvent* event) {
    if (session_->Running()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

// ------------------------------------------------------------- page changes

void CInstallDlg::ShowSettingsPage(bool show) {
    for (QWidget* w : std::initializer_list<QWidget*>{group_, modelLabel_, modelList_, nameLabel_, printerName_,
                                                      defaultBox_, portLabel_, portList_}) {
        w->setVisible(show);
    }
}

void CInstallDlg::OnNext() {
    const int leaving = panel_->page;
    switch (leaving) {
    case kWelcome:
        break;
    case kChooseFolder:
        if (!LeaveChooseFolder()) return;
        break;
    case kPrinterSetting:
        if (!LeavePrinterSetting()) return;
        break;
    case kInstalling:
        break;
    default:
        // Complete (or Failed): Next ends the wizard as Cancel does.
        QDialog::reject();
        return;
    }
    panel_->page = leaving + 1;
    switch (panel_->page) {
    case kChooseFolder: EnterChooseFolder(); break;
    case kPrinterSetting: EnterPrinterSetting(); break;
    case kInstalling: EnterInstalling(); break;
    case kComplete: EnterComplete(); break;
    default: break;
    }
}

void CInstallDlg::OnBack() {
    if (panel_->page <= kWelcome || panel_->page > kPrinterSetting) return;
    panel_->page -= 1;
    if (panel_->page == kWelcome) {
        panel_->ShowFolderField(false);
        browse_->hide();
        back_->hide();
    } else if (panel_->page == kChooseFolder) {
        ShowSettingsPage(false);
        serialGroup_->hide();
        networkGroup_->hide();
        panel_->ShowFolderField(true);
        browse_->show();
    }
    panel_->update();
    panel_->repaint();
}

void CInstallDlg::OnBrowse() {
    const QString title = QStringLiteral("Selection ");
    QString folder;
    if (services_.pickFolder) {
        folder = services_.pickFolder(this, title);
    } else {
        folder = QFileDialog::getExistingDirectory(this, title, panel_->FolderText(),
                                                   QFileDialog::ShowDirsOnly);
    }
    if (!folder.isEmpty()) panel_->SetFolderText(folder);
}

void CInstallDlg::OnModelChanged(int index) {
    if (index <= 0) {
        printerName_->clear();
        return;
    }
    session_->Settings().selectedRow = index;
    printerName_->setText(modelList_->itemText(index));
}

void CInstallDlg::OnPortKindChanged(int index) {
    const QString text = portList_->itemText(index);
    session_->Settings().portName = Utf8(text);
    serialGroup_->setEnabled(text.startsWith(QLatin1String("COM")));
    if (index == portList_->count() - 1) {
        serialGroup_->hide();
        networkGroup_->show();
    } else {
        serialGroup_->show();
        networkGroup_->hide();
    }
}

void CInstallDlg::EnterChooseFolder() {
    panel_->ShowFolderField(true);
    browse_->show();
    back_->show();
    panel_->repaint();
}

void CInstallDlg::EnterPrinterSetting() {
    panel_->ShowFolderField(false);
    browse_->hide();
    ShowSettingsPage(true);
    networkGroup_->hide();
    serialGroup_->show();
    serialGroup_->setEnabled(portList_->currentText().startsWith(QLatin1String("COM")));
    panel_->repaint();
}

bool CInstallDlg::LeaveChooseFolder() {
    const QString folder = panel_->FolderText();
    const QString boxTitle = chineseFlag_ ? S(u"打印机驱动安装") : QStringLiteral("Driver Installation");
    if (folder.isEmpty()) {
        services_.messages.Show(this, boxTitle, chineseFlag_ ? S(u"安装文件夹不能为空") : QStringLiteral("The folder is empty!"));
        return false;
    }
    if (!session_->ChooseFolder(Utf8(folder))) {
        services_.messages.Show(this, boxTitle,
                                chineseFlag_ ? S(u"安装文件夹不是有效文件夹") : QStringLiteral("The folder is invalid"));
        return false;
    }
    return true;
}

bool CInstallDlg::LeavePrinterSetting() {
    const UiLanguage lang = env_.language;
    const bool chinese = lang == UiLanguage::Chinese;
    const QString boxTitle = chinese ? S(u"打印机驱动安装") : QStringLiteral("Printer Driver Installation");
    const QString name = printerName_->text().left(kFieldLimit);
    if (name.isEmpty()) {
        if (lang == UiLanguage::Russian) {
            services_.messages.Show(nullptr, Lookup(env_, u"MsgBoxTitle", u"Printer Driver Installation"),
                                    Lookup(env_, u"NoSelectPrinter", u"Please Select a Printer Driver"));
        } else {
            services_.messages.Show(nullptr, boxTitle,
                                    chinese ? S(u"您没有选择打印机型号，请先选择打印机型号")
                                            : QStringLiteral("Please Select a Printer Driver"));
        }
        return false;
    }
    engine::InstallSettings& settings = session_->Settings();
    settings.printerName = Utf8(name);
    settings.selectedRow = std::max(0, modelList_->currentIndex());
    const QString port = portList_->currentText();
    engine::PortChoice choice;
    choice.entry = Utf8(port);
    choice.com.baudRate = Utf8(baud_->currentText());
    choice.com.parity = engine::ParityLetter(Utf8(parity_->currentText()));
    choice.com.dataBits = Utf8(dataBits_->currentText());
    choice.com.stopBits = Utf8(stopBits_->currentText());
    choice.com.flow = engine::FlowLetter(Utf8(flow_->currentText()));
    choice.ipAddress = Utf8(ip_->text().left(kFieldLimit));
    choice.tcpPort = Utf8(tcpPort_->text().left(kFieldLimit));
    panel_->usbFlag = port == QLatin1String("USB");

    switch (session_->ConfirmPort(choice)) {
    case engine::PortCheck::Ok: return true;
    case engine::PortCheck::NoUsbPrinter:
        services_.messages.Show(nullptr, boxTitle,
                                chinese ? S(u"没有检测到打印机连接到电脑上，请先连接打印机并上电。 ")
                                        : QStringLiteral("No matching label printer detected, please connect and try again."));
        return false;
    case engine::PortCheck::NoAddress:
        services_.messages.Show(nullptr, boxTitle,
                                chinese ? S(u"IP地址不能为空，请先输入IP地址")
                                        : QStringLiteral("IP address cannot be empty, please enter the IP address first"));
        return false;
    case engine::PortCheck::NoTcpPort:
        services_.messages.Show(nullptr, boxTitle,
                                chinese ? S(u"端口不能为空，请先输入端口")
                                        : QStringLiteral("Port cannot be empty, please enter the port first"));
        return false;
    }
    return false;
}

void CInstallDlg::EnterInstalling() {
    networkGroup_->hide();
    serialGroup_->hide();
    panel_->ShowFolderField(false);
    browse_->hide();
    progress_->show();
    progress_->repaint();
    cancel_->setEnabled(false);
    back_->setEnabled(false);
    next_->setEnabled(false);
    panel_->repaint();
    ShowSettingsPage(false);
    defaultBox_->hide();
    monitorBox_->hide();

    const QString name = printerName_->text().left(kFieldLimit);
    texts_.productName = name.toStdU16String();
    defaultPrinterFlag_ = defaultBox_->isChecked() ? 1 : 0;
    monitorFlag_ = monitorBox_->isChecked() ? 1 : 0;
    engine::InstallSettings& settings = session_->Settings();
    settings.setDefault = defaultPrinterFlag_ != 0;
    settings.useMonitor = monitorFlag_ != 0;
    session_->Run().texts = texts_;

    // The program folder (the chosen folder plus the printer's folder name)
    // and its Inf folder; the field shows it while the worker installs there.
    if (!session_->Prepare(Utf8(name))) {
        ShowFailed();
        return;
    }
    panel_->SetFolderText(FromUtf8(settings.programFolder));
    session_->Start([this] { gate_->Post([this] { WorkerFinished(); }); });
}

void CInstallDlg::OpenPortWindow(const std::vector<PortRow>& rows, std::shared_ptr<PortAnswer> answer) {
    portAnswer_ = answer;
    auto* window = new CSelectPortDlg(env_.language, rows, this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowModality(Qt::ApplicationModal);
    connect(window, &QDialog::finished, this, [window, answer](int result) {
        answer->Set(result == QDialog::Accepted ? std::optional<std::string>(Utf8(window->chosenPort()))
                                                : std::nullopt);
    });
    if (services_.onPortWindow) services_.onPortWindow(*window);
    window->open();
}

void CInstallDlg::WorkerFinished() { session_->Wait(); }

QString CInstallDlg::FinishCaption() const {
    return chineseFlag_ ? S(u"完成") : QStringLiteral("Finish");
}

void CInstallDlg::EnterComplete() {
    next_->hide();
    back_->hide();
    switch (env_.language) {
    case UiLanguage::Chinese: cancel_->setText(S(u"完成")); break;
    case UiLanguage::English: cancel_->setText(QStringLiteral("Finish")); break;
    case UiLanguage::Russian: cancel_->setText(Lookup(env_, u"Finish", u"Finish")); break;
    }
    progress_->hide();
    cancel_->setEnabled(true);
    panel_->repaint();
}

void CInstallDlg::ShowFailed() {
    next_->hide();
    back_->hide();
    cancel_->setText(FinishCaption());
    progress_->hide();
    cancel_->setEnabled(true);
    panel_->page = kFailed;
    panel_->repaint();
}

}  // namespace wizard
