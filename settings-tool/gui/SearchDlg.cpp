#include "settings-tool/gui/SearchDlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/socket.h>

#include <cstdint>

#include "settings-tool/gui/Texts.h"
#include "ui-common/IpAddressEdit.h"

namespace cadmon::gui {
namespace {

void DropWaitingReplies(int fd) {
    if (fd < 0) return;
    std::uint8_t buffer[64];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
    }
}

}  // namespace

CSearchDlg::CSearchDlg(int languageFlag, protocol::DiscoverySockets& sockets,
                       ui::MessageSink& messages, int probePauseMs, QWidget* parent)
    : QDialog(parent), sockets_(sockets), messages_(messages), probePauseMs_(probePauseMs), gate_(this) {
    setWindowTitle(Utf8(text::kDialogTitle));
    auto* layout = new QHBoxLayout(this);

    auto* left = new QVBoxLayout;
    c_.listLabel = new QLabel(text::kDeviceList.For(languageFlag), this);
    c_.list = new QListWidget(this);
    c_.list->setObjectName(QStringLiteral("deviceList"));
    c_.list->setSortingEnabled(false);
    c_.list->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("(7f.9c)255.255.255.255.")) + 40);
    left->addWidget(c_.listLabel);
    left->addWidget(c_.list, 1);
    layout->addLayout(left, 1);

    auto* right = new QGridLayout;
    right->setHorizontalSpacing(10);
    c_.ipLabel = new QLabel(text::kSearchIp.For(languageFlag), this);
    c_.ip = new ui::CIpAddressEdit(this);
    c_.maskLabel = new QLabel(text::kSearchMask.For(languageFlag), this);
    c_.mask = new ui::CIpAddressEdit(this);
    c_.gatewayLabel = new QLabel(text::kSearchGate.For(languageFlag), this);
    c_.gateway = new ui::CIpAddressEdit(this);
    c_.macLabel = new QLabel(Utf8(text::kMac), this);
    c_.macBoxes = MakeMacBoxes(this, QStringLiteral("searchMac"));
    c_.set = new QPushButton(text::kSetting.For(languageFlag), this);
    c_.set->setAutoDefault(false);
    right->addWidget(c_.ipLabel, 0, 0);
    right->addWidget(c_.ip, 0, 1);
    right->addWidget(c_.maskLabel, 1, 0);
    right->addWidget(c_.mask, 1, 1);
    right->addWidget(c_.gatewayLabel, 2, 0);
    right->addWidget(c_.gateway, 2, 1);
    right->addWidget(c_.macLabel, 3, 0);
    auto* macRow = new QHBoxLayout;
    macRow->setSpacing(3);
    for (QLineEdit* box : c_.macBoxes) macRow->addWidget(box);
    macRow->addStretch(1);
    right->addLayout(macRow, 3, 1);
    auto* setRow = new QHBoxLayout;
    setRow->addStretch(1);
    setRow->addWidget(c_.set);
    right->addLayout(setRow, 4, 1);
    right->setRowStretch(5, 1);
    layout->addLayout(right);

    connect(c_.list, &QListWidget::itemSelectionChanged, this, [this] { OnLineChosen(SelectedRow()); });
    connect(c_.set, &QPushButton::clicked, this, &CSearchDlg::OnSet);

    // Opening: the probe timer, an empty table, then the listener. Replies
    // that arrived while no search window was open belong to an earlier
    // search: they are dropped, so that every opening starts with an empty list.
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &CSearchDlg::OnProbeTimer);
    timer_->start(1000);
    table_.Clear();
    DropWaitingReplies(sockets_.ReceiveFd());
    listener_ = std::make_unique<protocol::DiscoveryListener>(
        sockets_.ReceiveFd(), table_,
        [this](const std::vector<protocol::DeviceRecord>& filled) {
            // Runs on the listener thread: the list belongs to the window thread.
            gate_.Call([this, &filled] { RebuildList(filled); });
        });
    listener_->Start();
}

CSearchDlg::~CSearchDlg() { StopListener(); }

void CSearchDlg::StopListener() {
    // The gate first: a listener waiting to rebuild the list is released, so
    // that stopping it cannot wait on this thread.
    gate_.Close();
    if (listener_) listener_->Stop();
    if (timer_) timer_->stop();
}

void CSearchDlg::done(int result) {
    StopListener();
    QDialog::done(result);
}

void CSearchDlg::RebuildList(const std::vector<protocol::DeviceRecord>& filled) {
    // Remove every line, then one line per filled slot at its slot index.
    c_.list->clear();
    for (const protocol::DeviceRecord& record : filled)
        c_.list->addItem(QString::fromStdString(record.ListLine()));
}

int CSearchDlg::SelectedRow() const {
    const QList<QListWidgetItem*> selected = c_.list->selectedItems();
    return selected.isEmpty() ? -1 : c_.list->row(selected.first());
}

void CSearchDlg::OnProbeTimer() {
    sockets_.SendDiscoveryProbe();
    ++probes_;
    if (probePauseMs_ > 0) QThread::msleep(static_cast<unsigned long>(probePauseMs_));
}

void CSearchDlg::OnLineChosen(int row) {
    if (row < 0) return;
    const protocol::DeviceRecord record = table_.Slot(row);
    c_.ip->SetAddress(record.ip());
    c_.mask->SetAddress({255, 255, 255, 0});
    c_.gateway->SetAddress({192, 168, 0, 1});
    ShowMac(c_.macBoxes, record.mac());
}

void CSearchDlg::OnSet() {
    const QString title = Utf8(text::kMessageTitle);
    const int row = SelectedRow();
    if (row < 0) {
        messages_.Show(this, title, Utf8(text::kNoSelectPrint));
        return;
    }
    if (!sockets_.HasBroadcast()) {
        messages_.Show(this, title, Utf8(text::kErrorNoBroadcast));
        return;
    }
    const auto mac = ReadMac(c_.macBoxes);
    if (!mac) {
        messages_.Show(this, title, Utf8(text::kBadMacBox));
        return;
    }
    const protocol::DeviceRecord chosen = table_.Slot(row);
    if (sockets_.SendAddressSetting(c_.ip->Address(), c_.mask->Address(), *mac, c_.gateway->Address(),
                                    chosen)) {
        messages_.Show(this, title, Utf8(text::kFinish));
        table_.Clear();
    } else {
        messages_.Show(this, title, Utf8(text::kErrorSendFailed));
    }
}

}  // namespace cadmon::gui
