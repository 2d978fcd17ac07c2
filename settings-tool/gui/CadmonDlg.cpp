#include "settings-tool/gui/CadmonDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "protocol/ValueLists.h"
#include "settings-tool/gui/AboutDlg.h"
#include "settings-tool/gui/OtherSetDlg.h"
#include "settings-tool/gui/Parameters.h"
#include "settings-tool/gui/PrintText.h"
#include "settings-tool/LinkTexts.h"
#include "settings-tool/gui/RandomMac.h"
#include "settings-tool/gui/SearchDlg.h"
#include "settings-tool/gui/Texts.h"
#include "settings-tool/gui/WifiDlg.h"
#include "ui-common/IpAddressEdit.h"

namespace cadmon::gui {

void CadmonServices::FillDefaults() {
    if (!clockSeconds) clockSeconds = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    if (!makeTimer) makeTimer = [](QObject* parent) { return MakeQtRepeatingTimer(parent); };
    if (!runModal) runModal = [](QDialog& dialog) { dialog.exec(); };
    if (!localAddress) localAddress = [] { return LookUpLocalAddress(); };
}

int LeadingDecimal(const QString& text) {
    long long value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) break;
        value = value * 10 + (c.unicode() - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int>(value);
}

namespace {

QComboBox* MakeValueList(QWidget* parent, const protocol::ValueList& entries, const char* name) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QString::fromLatin1(name));
    for (std::string_view entry : entries)
        list->addItem(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())));
    list->setCurrentIndex(-1);
    return list;
}

QPushButton* MakeButton(QWidget* parent, const char* name) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    // Enter never clicks a focused button in this window.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

CCadmonDlg::CCadmonDlg(CadmonServices services, QWidget* parent)
    : QDialog(parent), services_(std::move(services)), gate_(this) {
    services_.FillDefaults();
    timer_ = services_.makeTimer(this);
    BuildControls();
    // Captions are set from the start (Chinese until the parameters file is read).
    ApplyMainLabels();
}

CCadmonDlg::~CCadmonDlg() { Shutdown(); }

void CCadmonDlg::BuildControls() {
    setWindowTitle(Utf8(text::kMainTitle));
    setWindowIcon(CadmonIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);

    // Port choice.
    c_.portGroup = new QGroupBox(this);
    auto* portRow = new QHBoxLayout(c_.portGroup);
    c_.lpt = new QRadioButton(c_.portGroup);
    c_.usb = new QRadioButton(Utf8(text::kUsb), c_.portGroup);
    c_.net = new QRadioButton(c_.portGroup);
    c_.lpt->setObjectName(QStringLiteral("portLpt"));
    c_.usb->setObjectName(QStringLiteral("portUsb"));
    c_.net->setObjectName(QStringLiteral("portNet"));
    portRow->addWidget(c_.lpt);
    portRow->addWidget(c_.usb);
    portRow->addWidget(c_.net);
    portRow->addStretch(1);
    layout->addWidget(c_.portGroup);

    // Addresses, MAC and DHCP.
    c_.addressGroup = new QGroupBox(this);
    auto* grid = new QGridLayout(c_.addressGroup);
    grid->setHorizontalSpacing(8);
    auto addAddress = [&](int row, QLabel*& label, ui::CIpAddressEdit*& field, const char* name,
                          QPushButton*& button, const char* buttonName) {
        label = new QLabel(c_.addressGroup);
        field = new ui::CIpAddressEdit(c_.addressGroup);
        field->setObjectName(QString::fromLatin1(name));
        button = MakeButton(c_.addressGroup, buttonName);
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
        grid->addWidget(button, row, 2);
    };
    addAddress(0, c_.printerIpLabel, c_.printerIp, "printerIp", c_.connectTest, "connectTest");
    addAddress(1, c_.maskLabel, c_.mask, "mask", c_.setIp, "setIp");
    addAddress(2, c_.gatewayLabel, c_.gateway, "gateway", c_.scanPrinter, "scanPrinter");
    addAddress(3, c_.newIpLabel, c_.newIp, "newIp", c_.wifi, "wifi");
    c_.dhcpOn = MakeButton(c_.addressGroup, "dhcpOn");
    c_.dhcpOff = MakeButton(c_.addressGroup, "dhcpOff");
    auto* dhcpRow = new QHBoxLayout;
    dhcpRow->addWidget(c_.dhcpOn);
    dhcpRow->addWidget(c_.dhcpOff);
    grid->addLayout(dhcpRow, 4, 1, 1, 2);

    c_.macLabel = new QLabel(Utf8(text::kMac), c_.addressGroup);
    c_.macBoxes = MakeMacBoxes(c_.addressGroup, QStringLiteral("mac"));
    c_.mac = MakeButton(c_.addressGroup, "macButton");
    c_.mac->setText(Utf8(text::kMac));
    auto* macRow = new QHBoxLayout;
    macRow->setSpacing(3);
    for (QLineEdit* box : c_.macBoxes) macRow->addWidget(box);
    macRow->addStretch(1);
    grid->addWidget(c_.macLabel, 5, 0);
    grid->addLayout(macRow, 5, 1);
    grid->addWidget(c_.mac, 5, 2);
    c_.macNote = new QLabel(Utf8(text::kMacNote), c_.addressGroup);
    grid->addWidget(c_.macNote, 6, 1, 1, 2);
    c_.note = new QLabel(c_.addressGroup);
    c_.note->setWordWrap(true);
    grid->addWidget(c_.note, 7, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    layout->addWidget(c_.addressGroup);

    // Buzzer and blank feed.
    auto* listRow = new QHBoxLayout;
    c_.buzzer = MakeValueList(this, protocol::kBuzzerList, "buzzer");
    c_.buzzerButton = MakeButton(this, "buzzerButton");
    c_.blankFeed = MakeValueList(this, protocol::kBlankFeedList, "blankFeed");
    c_.blankFeedButton = MakeButton(this, "blankFeedButton");
    c_.blankFeed->setMinimumContentsLength(4);
    listRow->addWidget(c_.buzzer);
    listRow->addWidget(c_.buzzerButton);
    listRow->addSpacing(16);
    listRow->addWidget(c_.blankFeed);
    listRow->addWidget(c_.blankFeedButton);
    listRow->addStretch(1);
    layout->addLayout(listRow);

    // Print info.
    c_.printInfoLabel = new QLabel(this);
    layout->addWidget(c_.printInfoLabel);
    c_.printInfo = new QPlainTextEdit(this);
    c_.printInfo->setObjectName(QStringLiteral("printInfo"));
    c_.printInfo->setTabChangesFocus(true);
    c_.printInfo->setMinimumHeight(fontMetrics().lineSpacing() * 5);
    c_.printInfo->installEventFilter(this);
    layout->addWidget(c_.printInfo, 1);
    auto* autoRow = new QHBoxLayout;
    c_.autoSend = new QCheckBox(this);
    c_.autoSend->setObjectName(QStringLiteral("autoSend"));
    c_.period = new QLineEdit(this);
    c_.period->setObjectName(QStringLiteral("period"));
    c_.period->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
    c_.ms = new QLabel(Utf8(text::kMs), this);
    autoRow->addWidget(c_.autoSend);
    autoRow->addWidget(c_.period);
    autoRow->addWidget(c_.ms);
    autoRow->addStretch(1);
    layout->addLayout(autoRow);

    // Action buttons.
    auto* buttonRow = new QHBoxLayout;
    c_.print = MakeButton(this, "print");
    c_.cut = MakeButton(this, "cut");
    c_.cash = MakeButton(this, "cash");
    c_.otherSet = MakeButton(this, "otherSet");
    c_.language = MakeButton(this, "language");
    for (QPushButton* b : {c_.print, c_.cut, c_.cash, c_.otherSet, c_.language}) buttonRow->addWidget(b);
    layout->addLayout(buttonRow);

    // Status line, with the about entry beside it.
    auto* statusRow = new QHBoxLayout;
    c_.status = new QLabel(this);
    c_.status->setObjectName(QStringLiteral("status"));
    c_.status->setFrameShape(QFrame::StyledPanel);
    c_.status->setFrameShadow(QFrame::Sunken);
    c_.status->setMinimumHeight(fontMetrics().lineSpacing() + 6);
    c_.status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusRow->addWidget(c_.status, 1);
    c_.about = MakeButton(this, "about");
    c_.about->setText(QStringLiteral("?"));
    c_.about->setToolTip(QString(Utf8(text::kAboutEntry)).remove(QStringLiteral("(&A)")));
    c_.about->setFixedWidth(c_.about->sizeHint().height());
    statusRow->addWidget(c_.about);
    layout->addLayout(statusRow);

    connect(c_.print, &QPushButton::clicked, this, &CCadmonDlg::OnPrint);
    connect(c_.cut, &QPushButton::clicked, this, [this] { Submit(protocol::CutTest()); });
    connect(c_.cash, &QPushButton::clicked, this, [this] { Submit(protocol::CashDrawer()); });
    connect(c_.dhcpOn, &QPushButton::clicked, this, [this] { Submit(protocol::Dhcp(true)); });
    connect(c_.dhcpOff, &QPushButton::clicked, this, [this] { Submit(protocol::Dhcp(false)); });
    connect(c_.setIp, &QPushButton::clicked, this, [this] {
        Submit(protocol::SetIp(c_.newIp->Address(), c_.mask->Address(), c_.gateway->Address()));
    });
    connect(c_.mac, &QPushButton::clicked, this, &CCadmonDlg::OnSetMac);
    connect(c_.buzzerButton, &QPushButton::clicked, this,
            [this] { Submit(protocol::Buzzer(c_.buzzer->currentIndex())); });
    connect(c_.blankFeedButton, &QPushButton::clicked, this,
            [this] { Submit(protocol::BlankFeed(c_.blankFeed->currentIndex())); });
    connect(c_.connectTest, &QPushButton::clicked, this, &CCadmonDlg::OnConnectTest);
    connect(c_.scanPrinter, &QPushButton::clicked, this, &CCadmonDlg::OnScanPrinter);
    connect(c_.wifi, &QPushButton::clicked, this, &CCadmonDlg::OnWifi);
    connect(c_.otherSet, &QPushButton::clicked, this, &CCadmonDlg::OnOtherSettings);
    connect(c_.language, &QPushButton::clicked, this, &CCadmonDlg::OnLanguage);
    connect(c_.about, &QPushButton::clicked, this, &CCadmonDlg::ShowAbout);
}

CCadmonDlg::StartResult CCadmonDlg::Start() {
    // Address fields.
    c_.printerIp->SetAddress({192, 168, 0, 199});
    c_.mask->SetAddress({255, 255, 255, 0});
    c_.gateway->SetAddress({192, 168, 0, 1});
    c_.newIp->SetAddress({192, 168, 1, 199});
    // The welcome text.
    c_.printInfo->setPlainText(ToEditorLineBreaks(Utf8(text::kWelcome)));

    // The discovery sockets live as long as the window. A reply port held by
    // another program is fatal: the user is told why before the program ends.
    sockets_ = std::make_unique<protocol::DiscoverySockets>(services_.discovery);
    std::string error;
    if (!sockets_->OpenReceive(&error)) {
        services_.messages->Show(this, Utf8(text::kMessageTitle),
                                 Utf8(text::kDiscoveryPortBusy)
                                     .arg(services_.discovery.replyPort)
                                     .arg(QString::fromStdString(error)));
        return StartResult::DiscoveryPortBusy;
    }
    // Without a broadcast socket only the printer search is lost: say so and
    // carry on, so that USB and network printing still work.
    if (!sockets_->OpenBroadcast(&error))
        services_.messages->Show(this, Utf8(text::kMessageTitle), Utf8(text::kErrorNoBroadcast));

    c_.usb->setChecked(true);
    ShowMac(c_.macBoxes, GenerateRandomMac(services_.clockSeconds()));
    c_.period->setText(QStringLiteral("500"));
    c_.buzzer->setCurrentIndex(protocol::kBuzzerList.preselected);

    sender_ = std::make_unique<sender::CommandSender>(*this, *services_.usb, services_.sender);
    sender_->Start();

    ReadParameters(languageFlag_, services_.parametersFile);
    ApplyMainLabels();
    return StartResult::Ok;
}

void CCadmonDlg::ApplyMainLabels() {
    const int f = languageFlag_;
    c_.portGroup->setTitle(text::kPortGroup.For(f));
    c_.lpt->setText(text::kLpt.For(f));
    c_.net->setText(text::kNet.For(f));
    c_.addressGroup->setTitle(text::kAddressGroup.For(f));
    c_.printerIpLabel->setText(text::kPrinterIp.For(f));
    c_.maskLabel->setText(text::kMask.For(f));
    c_.gatewayLabel->setText(text::kGateway.For(f));
    c_.newIpLabel->setText(text::kNewIp.For(f));
    c_.note->setText(text::kNote.For(f));
    c_.printInfoLabel->setText(text::kPrintInfo.For(f));
    c_.autoSend->setText(text::kAutoSend.For(f));
    c_.print->setText(text::kPrint.For(f));
    c_.cut->setText(text::kCut.For(f));
    c_.cash->setText(text::kCash.For(f));
    c_.otherSet->setText(text::kOtherSet.For(f));
    c_.setIp->setText(text::kSetIp.For(f));
    c_.scanPrinter->setText(text::kScanPrinter.For(f));
    c_.dhcpOn->setText(text::kDhcpOn.For(f));
    c_.dhcpOff->setText(text::kDhcpOff.For(f));
    c_.connectTest->setText(text::kConnectTest.For(f));
    c_.language->setText(text::kLanguage.For(f));
    c_.wifi->setText(text::kWifiSetting.For(f));
    c_.buzzerButton->setText(text::kBeepSet.For(f));
    c_.blankFeedButton->setText(text::kBlankFeed.For(f));
    // Room on both sides of every caption, whatever the language.
    for (QPushButton* b : findChildren<QPushButton*>())
        if (b != c_.about) b->setMinimumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 24);
}

// ---- the printer link's view of the window (any thread) ----

sender::PortChoice CCadmonDlg::ReadPortChoice() {
    // A window that is gone reads as "neither USB nor NET": the submission is dropped.
    return gate_
        .Call([this] {
            if (c_.usb->isChecked()) return sender::PortChoice::Usb;
            if (c_.net->isChecked()) return sender::PortChoice::Net;
            return sender::PortChoice::Lpt;
        })
        .value_or(sender::PortChoice::Lpt);
}

protocol::Ipv4 CCadmonDlg::ReadPrinterIp() {
    return gate_.Call([this] { return c_.printerIp->Address(); }).value_or(protocol::Ipv4{0, 0, 0, 0});
}

void CCadmonDlg::ShowStatus(const std::string& text) {
    const QString qtext = QString::fromStdString(text);
    gate_.Call([this, &qtext] { SetStatusOnWindowThread(qtext); });
}

void CCadmonDlg::ShowMessageBox(const std::string& text) {
    const QString qtext = QString::fromStdString(text);
    gate_.Call([this, &qtext] { ShowMessageOnWindowThread(qtext); });
}

void CCadmonDlg::AttemptFailed(const sender::AttemptReport& report) {
    const ShownTexts shown = TextsFor(report);
    if (!shown.status.empty()) ShowStatus(shown.status);
    if (!shown.box.empty()) ShowMessageBox(shown.box);
}

void CCadmonDlg::SetStatusOnWindowThread(const QString& text) {
    status_ = text;
    // The line shows the text without its trailing line end.
    QString shown = text;
    while (shown.endsWith(QLatin1Char('\n')) || shown.endsWith(QLatin1Char('\r'))) shown.chop(1);
    c_.status->setText(shown);
}

void CCadmonDlg::ShowMessageOnWindowThread(const QString& text) {
    services_.messages->Show(this, Utf8(text::kMessageTitle), text);
}

bool CCadmonDlg::IsSendPending() const { return sender_ && sender_->IsSendPending(); }

void CCadmonDlg::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    // Release a sender waiting on this window first, then stop it (a write
    // waiting on the printer is aborted), then the discovery socket.
    gate_.Close();
    if (sender_) sender_->Stop();
    if (sockets_) sockets_->CloseReceive();
}

void CCadmonDlg::done(int result) {
    Shutdown();
    QDialog::done(result);
}

// ---- actions ----

void CCadmonDlg::Submit(const protocol::Bytes& bytes) {
    if (sender_) sender_->SubmitCommand(bytes);
}

void CCadmonDlg::SubmitPrintInfo() {
    Submit(PrintInfoBytes(c_.printInfo->toPlainText()));
    ++sendCount_;
    SetStatusOnWindowThread(Utf8(text::kSendFinishCount).arg(sendCount_));
}

void CCadmonDlg::OnPrint() {
    SubmitPrintInfo();
    if (c_.autoSend->isChecked())
        timer_->Start(LeadingDecimal(c_.period->text()), [this] { OnAutoSendTick(); });
}

void CCadmonDlg::OnAutoSendTick() {
    // The timer keeps running; an unchecked box only makes the ticks idle.
    if (c_.autoSend->isChecked() && !IsSendPending()) SubmitPrintInfo();
}

void CCadmonDlg::OnSetMac() {
    const auto mac = ReadMac(c_.macBoxes);
    if (!mac) {
        SetStatusOnWindowThread(Utf8(text::kBadMacBox));
        return;
    }
    Submit(protocol::SetMac(*mac));
    ShowMac(c_.macBoxes, GenerateRandomMac(services_.clockSeconds()));
}

void CCadmonDlg::OnLanguage() {
    languageFlag_ = languageFlag_ == 0 ? 1 : 0;
    WriteParameters(languageFlag_, services_.parametersFile);
    ApplyMainLabels();
}

void CCadmonDlg::OnOtherSettings() {
    COtherSetDlg dialog(languageFlag_, [this](const protocol::Bytes& b) { Submit(b); }, this);
    services_.runModal(dialog);
}

void CCadmonDlg::OnWifi() {
    CWifiDlg dialog(languageFlag_, [this](const protocol::Bytes& b) { Submit(b); }, *services_.messages,
                    services_.localAddress(), this);
    services_.runModal(dialog);
}

void CCadmonDlg::OnScanPrinter() {
    if (!sockets_) return;
    CSearchDlg dialog(languageFlag_, *sockets_, *services_.messages, services_.probePauseMs, this);
    services_.runModal(dialog);
}

// Runs on the window's thread: the window does not respond while connect waits.
void CCadmonDlg::OnConnectTest() {
    const printer_link::Result result =
        printer_link::TestPrinterConnection(c_.printerIp->Address(), services_.sender.tcp);
    ShowMessageOnWindowThread(QString::fromStdString(ConnectionTestText(result)));
}

void CCadmonDlg::ShowAbout() {
    CAboutDlg about(this);
    services_.runModal(about);
}

// ---- keys and menu ----

bool CCadmonDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == c_.printInfo && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // The line break goes to the end of the text, wherever the caret is.
            QTextCursor cursor(c_.printInfo->document());
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(QStringLiteral("\n"));
            c_.printInfo->setTextCursor(cursor);
            c_.printInfo->ensureCursorVisible();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CCadmonDlg::keyPressEvent(QKeyEvent* event) {
    // Enter never closes the window nor clicks a button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

QMenu* CCadmonDlg::MakeWindowMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->addSeparator();
    QAction* about = menu->addAction(Utf8(text::kAboutEntry));
    connect(about, &QAction::triggered, this, &CCadmonDlg::ShowAbout);
    return menu;
}

void CCadmonDlg::contextMenuEvent(QContextMenuEvent* event) {
    std::unique_ptr<QMenu> menu(MakeWindowMenu(this));
    menu->exec(event->globalPos());
}

}  // namespace cadmon::gui
