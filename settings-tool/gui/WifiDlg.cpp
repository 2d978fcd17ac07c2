#include "settings-tool/gui/WifiDlg.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "settings-tool/gui/PrintText.h"
#include "settings-tool/gui/Texts.h"
#include "ui-common/IpAddressEdit.h"

namespace cadmon::gui {

std::optional<protocol::Ipv4> LookUpLocalAddress() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return std::nullopt;
    protocol::Ipv4 ip{};
    const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const std::uint32_t value = ntohl(in->sin_addr.s_addr);
    ip = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    freeaddrinfo(result);
    return ip;
}

CWifiDlg::CWifiDlg(int languageFlag, SubmitFunction submit, ui::MessageSink& messages,
                   std::optional<protocol::Ipv4> localAddress, QWidget* parent)
    : QDialog(parent), submit_(std::move(submit)), messages_(messages) {
    setWindowTitle(Utf8(text::kDialogTitle));
    auto* layout = new QVBoxLayout(this);

    // One grid for both parts, so that their labels and fields line up.
    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    grid->setHorizontalSpacing(10);
    c_.nameLabel = new QLabel(Utf8(text::kWifiId), this);
    c_.name = new QLineEdit(this);
    c_.name->setObjectName(QStringLiteral("wifiName"));
    c_.name->setMinimumWidth(200);
    c_.passwordLabel = new QLabel(text::kWifiPassword.For(languageFlag), this);
    c_.password = new QLineEdit(this);  // shown as typed
    c_.password->setObjectName(QStringLiteral("wifiPassword"));
    c_.ok = new QPushButton(Utf8(text::kOk), this);
    c_.ok->setDefault(true);
    grid->addWidget(c_.nameLabel, 0, 0);
    grid->addWidget(c_.name, 0, 1);
    grid->addWidget(c_.passwordLabel, 1, 0);
    grid->addWidget(c_.password, 1, 1);
    grid->addWidget(c_.ok, 1, 2);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    grid->addWidget(line, 2, 0, 1, 3);

    c_.staticIpLabel = new QLabel(text::kWifiStaticIp.For(languageFlag), this);
    c_.staticIp = new ui::CIpAddressEdit(this);
    c_.staticIp->setObjectName(QStringLiteral("wifiStaticIp"));
    c_.maskLabel = new QLabel(text::kWifiMask.For(languageFlag), this);
    c_.mask = new ui::CIpAddressEdit(this);
    c_.gatewayLabel = new QLabel(text::kWifiGate.For(languageFlag), this);
    c_.gateway = new ui::CIpAddressEdit(this);
    c_.set = new QPushButton(text::kSetting.For(languageFlag), this);
    grid->addWidget(c_.staticIpLabel, 3, 0);
    grid->addWidget(c_.staticIp, 3, 1);
    grid->addWidget(c_.maskLabel, 4, 0);
    grid->addWidget(c_.mask, 4, 1);
    grid->addWidget(c_.gatewayLabel, 5, 0);
    grid->addWidget(c_.gateway, 5, 1);
    grid->addWidget(c_.set, 5, 2);
    layout->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    c_.wifiDhcp = new QPushButton(Utf8(text::kWifiDhcp), this);
    c_.quit = new QPushButton(text::kQuit.For(languageFlag), this);
    buttons->addWidget(c_.wifiDhcp);
    buttons->addStretch(1);
    buttons->addWidget(c_.quit);
    layout->addLayout(buttons);
    for (QPushButton* b : {c_.set, c_.wifiDhcp, c_.quit}) b->setAutoDefault(false);

    // This computer's address with its last octet replaced by 199.
    protocol::Ipv4 staticIp = localAddress.value_or(protocol::Ipv4{192, 168, 0, 199});
    staticIp[3] = 199;
    c_.staticIp->SetAddress(staticIp);
    c_.mask->SetAddress({255, 255, 255, 0});
    c_.gateway->SetAddress({192, 168, 0, 1});

    connect(c_.ok, &QPushButton::clicked, this, &CWifiDlg::OnOk);
    connect(c_.set, &QPushButton::clicked, this, &CWifiDlg::OnSet);
    connect(c_.quit, &QPushButton::clicked, this, &QDialog::reject);
    // The WIFI DHCP button does nothing.
}

void CWifiDlg::OnOk() {
    const protocol::Bytes name = PrintInfoBytes(c_.name->text(), SIZE_MAX);
    const protocol::Bytes password = PrintInfoBytes(c_.password->text(), SIZE_MAX);
    const auto message = protocol::WifiCredentials(
        std::string_view(reinterpret_cast<const char*>(name.data()), name.size()),
        std::string_view(reinterpret_cast<const char*>(password.data()), password.size()));
    if (!message) {
        messages_.Show(this, Utf8(text::kMessageTitle), Utf8(text::kWifiTooLong));
        return;
    }
    submit_(*message);
}

void CWifiDlg::OnSet() {
    submit_(protocol::WifiStaticHeader());
    submit_(protocol::WifiStaticBody(c_.staticIp->Address(), c_.mask->Address(), c_.gateway->Address()));
    messages_.Show(this, Utf8(text::kMessageTitle), Utf8(text::kSetOk));
}

}  // namespace cadmon::gui
