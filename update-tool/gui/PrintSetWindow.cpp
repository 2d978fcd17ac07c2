#include "update-tool/gui/PrintSetWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QThread>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "protocol/ValueLists.h"
#include "ui-common/IpAddressEdit.h"
#include "update-tool/gui/AboutBox.h"
#include "update-tool/gui/NetworkSetDialog.h"

namespace ferrik {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QComboBox* EditableList(QWidget* parent, const QStringList& entries) {
    auto* list = new QComboBox(parent);
    list->setEditable(true);
    // Typed text never becomes an entry: text that matches none is sent as FF.
    list->setInsertPolicy(QComboBox::NoInsert);
    list->addItems(entries);
    list->setCurrentIndex(-1);
    return list;
}

QLabel* Icon(QWidget* parent, QStyle::StandardPixmap which) {
    auto* label = new QLabel(parent);
    label->setPixmap(parent->style()->standardIcon(which).pixmap(32, 32));
    return label;
}

}  // namespace

PrintSetWindow::PrintSetWindow(ui::MessageSink& messages, printer_link::UsbDeviceSource& usb,
                               printer_link::UsbDeviceSource& pollerUsb, Options options, QWidget* parent)
    : QDialog(parent), messages_(messages), options_(std::move(options)), gate_(this),
      sockets_(options_.settings.discovery) {
    tool_ = std::make_unique<UpdateTool>(*this, usb, table_, options_.settings);
    poller_ = std::make_unique<UsbPresencePoller>(*this, pollerUsb, options_.pollInterval);

    setWindowTitle(kWindowCaption);
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
    setFont(QFont(QStringLiteral("黑体"), font().pointSize()));
    BuildControls();

    // The opening steps, in order: about entry, icons, bar range, status,
    // background threads, lists, address field, timer, code pages.
    aboutAction = new QAction(QString::fromUtf8(kAboutMenuText), this);
    connect(aboutAction, &QAction::triggered, this, &PrintSetWindow::ShowAboutBox);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    statusLine->setText(kUsbNotConnectText);
    if (options_.startThreads) StartBackground();
    FillLists();
    printerAddress->SetAddress({192, 168, 0, 200});
    searchTimer.setInterval(options_.searchPeriodMs);
    connect(&searchTimer, &QTimer::timeout, this, [this] {
        if (!ending_) tool_->SendNetworkSearch();
    });
    searchTimer.start();

    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

PrintSetWindow::~PrintSetWindow() { StopBackground(); }

void PrintSetWindow::BuildControls() {
    auto* root = new QVBoxLayout(this);

    // Frame 1: the USB firmware download.
    auto* usbFrame = new QGroupBox(QStringLiteral("USB"), this);
    auto* usbGrid = new QGridLayout(usbFrame);
    usbGrid->addWidget(Icon(this, QStyle::SP_ComputerIcon), 0, 0, 2, 1);
    auto* statusCaption = new QLabel(QStringLiteral("状态："), usbFrame);
    statusLine = new QLabel(usbFrame);
    statusLine->setObjectName("statusLine");
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(statusCaption);
    statusRow->addWidget(statusLine, 1);
    usbGrid->addLayout(statusRow, 0, 1);
    devicePathLine = new QLabel(usbFrame);
    devicePathLine->setObjectName("devicePathLine");
    devicePathLine->setMinimumWidth(420);
    devicePathLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    usbGrid->addWidget(devicePathLine, 1, 1);
    progressBar = new QProgressBar(usbFrame);
    progressBar->setTextVisible(false);
    usbGrid->addWidget(progressBar, 2, 0, 1, 2);
    usbUpdateButton = new QPushButton(QStringLiteral("USB Updata"), usbFrame);
    usbUpdateButton->setDefault(true);
    exitButton = new QPushButton(QStringLiteral("exit"), usbFrame);
    exitButton->setAutoDefault(false);
    // The about box is on the context menu and on this small button.
    aboutButton = new QPushButton(QStringLiteral("?"), usbFrame);
    aboutButton->setAutoDefault(false);
    aboutButton->setToolTip(QString::fromUtf8(kAboutMenuText).remove(QStringLiteral("(&A)")));
    aboutButton->setFixedWidth(aboutButton->sizeHint().height());
    connect(aboutButton, &QPushButton::clicked, this, [this] {
        if (!ending_ && !busy_) ShowAboutBox();
    });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(usbUpdateButton);
    buttons->addStretch(1);
    buttons->addWidget(exitButton);
    buttons->addWidget(aboutButton);
    usbGrid->addLayout(buttons, 3, 0, 1, 2);
    root->addWidget(usbFrame);

    // Frame 2: the settings.
    auto* setFrame = new QGroupBox(QStringLiteral("Setting"), this);
    auto* setGrid = new QGridLayout(setFrame);
    setGrid->addWidget(new QLabel(QStringLiteral("CodePage"), setFrame), 0, 0);
    codePageList = EditableList(setFrame, {});
    setGrid->addWidget(codePageList, 0, 1);
    codePageSetButton = new QPushButton(QStringLiteral("Set"), setFrame);
    setGrid->addWidget(codePageSetButton, 0, 2);
    setGrid->addWidget(new QLabel(QStringLiteral("Print Width"), setFrame), 1, 0);
    printWidthList = EditableList(setFrame, {});
    setGrid->addWidget(printWidthList, 1, 1);
    setGrid->addWidget(new QLabel(QStringLiteral("Beep"), setFrame), 2, 0);
    buzzerList = EditableList(setFrame, {});
    setGrid->addWidget(buzzerList, 2, 1);
    setGrid->addWidget(new QLabel(QStringLiteral("dark"), setFrame), 3, 0);
    darknessList = EditableList(setFrame, {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")});
    setGrid->addWidget(darknessList, 3, 1);
    darknessSetButton = new QPushButton(QStringLiteral("Set"), setFrame);
    setGrid->addWidget(darknessSetButton, 3, 2);
    xUsbButton = new QPushButton(QStringLiteral("X-USB"), setFrame);
    gUsbButton = new QPushButton(QStringLiteral("G-USB"), setFrame);
    fontButton = new QPushButton(QStringLiteral("Button1"), setFrame);
    auto* usbIds = new QHBoxLayout;
    usbIds->addWidget(xUsbButton);
    usbIds->addWidget(gUsbButton);
    usbIds->addWidget(fontButton);
    usbIds->addStretch(1);
    setGrid->addLayout(usbIds, 4, 0, 1, 3);
    setGrid->setColumnStretch(1, 1);
    root->addWidget(setFrame);

    // Frame 3: the notices and the network group.
    auto* netFrame = new QGroupBox(this);
    auto* netGrid = new QGridLayout(netFrame);
    auto* notices = new QHBoxLayout;
    notices->addWidget(Icon(this, QStyle::SP_MessageBoxWarning));
    auto* noticeTexts = new QVBoxLayout;
    noticeTexts->addWidget(new QLabel(QStringLiteral("When Updata Do Not Disconnect"), netFrame));
    noticeTexts->addWidget(new QLabel(QStringLiteral("Data Version:2018-7-28"), netFrame));
    notices->addLayout(noticeTexts, 1);
    netGrid->addLayout(notices, 0, 0, 2, 4);
    deviceList = new QListWidget(netFrame);
    deviceList->setSelectionMode(QAbstractItemView::SingleSelection);
    netGrid->addWidget(deviceList, 2, 0, 1, 4);
    refreshButton = new QPushButton(QStringLiteral("refresh "), netFrame);
    ipSetButton = new QPushButton(QStringLiteral("IP Set"), netFrame);
    networkUpdateButton = new QPushButton(QStringLiteral("网络升级"), netFrame);
    netGrid->addWidget(refreshButton, 3, 0);
    netGrid->addWidget(ipSetButton, 3, 1);
    netGrid->addWidget(networkUpdateButton, 3, 2);
    printerAddress = new ui::CIpAddressEdit(netFrame);
    connectTestButton = new QPushButton(QStringLiteral("Button5"), netFrame);
    netGrid->addWidget(printerAddress, 4, 0, 1, 2);
    netGrid->addWidget(connectTestButton, 4, 2);
    root->addWidget(netFrame);

    for (QPushButton* b : {codePageSetButton, darknessSetButton, xUsbButton, gUsbButton, fontButton,
                           networkUpdateButton, refreshButton, ipSetButton, connectTestButton}) {
        b->setAutoDefault(false);
    }
    // Created hidden; nothing in the tool shows them.
    for (QWidget* w : std::initializer_list<QWidget*>{codePageList, codePageSetButton, printWidthList,
                                                      darknessSetButton, fontButton, networkUpdateButton,
                                                      refreshButton, ipSetButton, deviceList, printerAddress,
                                                      connectTestButton}) {
        w->setVisible(false);
    }

    // Every action runs to its end in the window thread. An action that is
    // running (its message box open) or a program that is ending takes no other.
    auto action = [this](QPushButton* button, std::function<void()> f) {
        connect(button, &QPushButton::clicked, this, [this, f = std::move(f)] {
            if (ending_ || busy_) return;
            busy_ = true;
            f();
            busy_ = false;
        });
    };
    action(usbUpdateButton, [this] { tool_->SendFirmwareOverUsb(); });
    action(fontButton, [this] { tool_->SendFontOverUsb(); });
    action(networkUpdateButton, [this] { tool_->SendFirmwareOverNetwork(SelectedLine()); });
    action(codePageSetButton, [this] {
        tool_->SendCodePageWidthBeep(ListValuePosition(codePageList), ListValuePosition(printWidthList),
                                     ListValuePosition(buzzerList));
    });
    action(darknessSetButton, [this] { tool_->SendDarkness(ListValuePosition(darknessList)); });
    action(xUsbButton, [this] { tool_->SendUsbIdentityX(); });
    action(gUsbButton, [this] { tool_->SendUsbIdentityG(); });
    action(refreshButton, [this] { tool_->StartNetworkSearch(); });
    action(ipSetButton, [this] { OpenNetworkSettings(); });
    action(connectTestButton, [this] { tool_->TestPrinterConnectionOnce(printerAddress->Address()); });
    connect(exitButton, &QPushButton::clicked, this, [this] {
        if (!ending_) accept();
    });
}

void PrintSetWindow::FillLists() {
    printWidthList->addItems({QStringLiteral("80CM"), QStringLiteral("58CM")});
    printWidthList->setCurrentIndex(0);
    buzzerList->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")});
    buzzerList->setCurrentIndex(0);
    for (int i = 0; i < protocol::kUpdateToolCodePageCount; ++i) {
        const std::string_view entry = protocol::UpdateToolCodePage(i);
        codePageList->addItem(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())));
    }
    codePageList->setCurrentIndex(-1);
    codePageList->setEditText(QString());
    darknessList->setCurrentIndex(0);
    // The drop-down is as wide as its longest entry.
    const QFontMetrics metrics(codePageList->font());
    int widest = 0;
    for (int i = 0; i < codePageList->count(); ++i) {
        widest = std::max(widest, metrics.horizontalAdvance(codePageList->itemText(i)));
    }
    codePageList->view()->setMinimumWidth(widest + 20);
}

void PrintSetWindow::StartBackground() {
    poller_->Start();
    std::string error;
    // The tool listens for printer replies on the reply port, as the settings
    // utility does; without it no reply could reach the device list.
    if (sockets_.OpenReceive(&error)) {
        listener_ = std::make_unique<protocol::DiscoveryListener>(
            sockets_.ReceiveFd(), table_, [this](const std::vector<protocol::DeviceRecord>&) {
                gate_.Post([this] { RebuildDeviceList(); });
            });
        listener_->Start();
    } else {
        std::cerr << "ferrik: " << error << '\n';
    }
}

void PrintSetWindow::StopBackground() {
    // The gate first: a thread that reports now finds it closed and never waits.
    gate_.Close();
    searchTimer.stop();
    if (poller_) poller_->Stop();
    if (listener_) listener_->Stop();
    listener_.reset();
    sockets_.CloseReceive();
}

void PrintSetWindow::OnWindowThread(std::function<void()> f) {
    if (QThread::currentThread() == thread()) {
        f();
    } else {
        gate_.Post(std::move(f));
    }
}

void PrintSetWindow::SetProgress(int position, std::int64_t) {
    progressBar->setValue(std::clamp(position, 0, 100));
}

void PrintSetWindow::ShowDevicePath(const std::string& path) {
    OnWindowThread([this, text = Q(path)] { devicePathLine->setText(text); });
}

void PrintSetWindow::ShowStatus(const std::string& text) {
    OnWindowThread([this, t = Q(text)] {
        if (!ending_) statusLine->setText(t);
    });
}

void PrintSetWindow::ShowMessageBox(const std::string& text) {
    messages_.Show(this, QString::fromUtf8(kMessageTitle), Q(text));
}

void PrintSetWindow::SetButtonEnabled(ActionButton button, bool enabled) {
    (button == ActionButton::UsbUpdate ? usbUpdateButton : networkUpdateButton)->setEnabled(enabled);
}

void PrintSetWindow::ClearDeviceList() { deviceList->clear(); }

void PrintSetWindow::RebuildDeviceList() {
    if (ending_) return;
    // Rebuilt from the table as it is now, never from an older report, so a
    // line's index is always its slot.
    const auto filled = table_.Filled();
    deviceList->clear();
    for (const auto& record : filled) deviceList->addItem(Q(record.ListLine()));
}

void PrintSetWindow::EndProgram(const std::string& text, int status) {
    // From here on nothing changes the window's state: no probes, no list or
    // status updates, no other action, no closing, while the message is open.
    ending_ = true;
    searchTimer.stop();
    gate_.Close();
    ShowMessageBox(text);
    StopBackground();
    if (options_.endProgram) {
        options_.endProgram(status);
        return;
    }
    std::fflush(nullptr);
    std::_Exit(status);
}

int PrintSetWindow::SelectedLine() const {
    const auto items = deviceList->selectedItems();
    return items.isEmpty() ? -1 : deviceList->row(items.front());
}

int PrintSetWindow::ListValuePosition(const QComboBox* list) {
    // The typed or chosen text decides; text that matches no entry reads as none.
    return list->findText(list->currentText(), Qt::MatchExactly);
}

void PrintSetWindow::OpenNetworkSettings() {
    const int line = SelectedLine();
    if (line < 0) {
        ShowMessageBox(kSelectDeviceText);
        return;
    }
    NetworkSetDialog dialog(messages_, *tool_, table_.Slot(line), line, this);
    dialog.exec();
    tool_->ClearDevices();
}

void PrintSetWindow::ShowAboutBox() {
    AboutBox box(this);
    box.exec();
}

void PrintSetWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(aboutAction);
    menu.exec(event->globalPos());
}

void PrintSetWindow::closeEvent(QCloseEvent* event) {
    if (ending_ || busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void PrintSetWindow::keyPressEvent(QKeyEvent* event) {
    if (ending_ || busy_) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void PrintSetWindow::done(int result) {
    if (ending_ || busy_) return;
    StopBackground();
    QDialog::done(result);
}

}  // namespace ferrik
