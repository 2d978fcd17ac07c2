#include "update-tool/gui/NetworkSetDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui-common/IpAddressEdit.h"
#include "update-tool/gui/PrintSetWindow.h"

namespace ferrik {

NetworkSetDialog::NetworkSetDialog(ui::MessageSink& messages, UpdateTool& tool, protocol::DeviceRecord chosen,
                                   int slot, QWidget* parent)
    : QDialog(parent), messages_(messages), tool_(tool), chosen_(chosen), slot_(slot) {
    setWindowTitle(QStringLiteral("对话"));
    auto* grid = new QGridLayout(this);

    grid->addWidget(new QLabel(QStringLiteral("MAC"), this), 0, 0);
    auto* macRow = new QHBoxLayout;
    const protocol::Mac mac = chosen_.mac();
    for (std::size_t i = 0; i < macBoxes.size(); ++i) {
        auto* box = new QLineEdit(QString::number(mac[i], 16), this);  // "%x"
        box->setMaxLength(2);
        box->setFixedWidth(box->fontMetrics().horizontalAdvance(QStringLiteral("WWW")) + 8);
        box->setAlignment(Qt::AlignCenter);
        macBoxes[i] = box;
        macRow->addWidget(box);
    }
    macRow->addStretch(1);
    grid->addLayout(macRow, 0, 1);

    auto addressRow = [&](int row, const char* label, const ui::CIpAddressEdit::Octets& value) {
        grid->addWidget(new QLabel(QString::fromUtf8(label), this), row, 0);
        auto* field = new ui::CIpAddressEdit(this);
        field->SetAddress(value);
        field->setMaximumWidth(260);
        grid->addWidget(field, row, 1);
        return field;
    };
    ipField = addressRow(1, "IP Addr", chosen_.ip());
    maskField = addressRow(2, "IP Mask", {255, 255, 255, 0});
    gatewayField = addressRow(3, "网关", {192, 168, 0, 1});

    dhcpBox = new QCheckBox(QStringLiteral("DHCP"), this);
    grid->addWidget(dhcpBox, 4, 1);
    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    grid->addWidget(okButton, 5, 1, Qt::AlignRight);
    connect(okButton, &QPushButton::clicked, this, &NetworkSetDialog::SendNetworkSettings);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void NetworkSetDialog::SendNetworkSettings() {
    protocol::Mac mac{};
    for (std::size_t i = 0; i < macBoxes.size(); ++i) {
        const auto byte = protocol::HexBoxToByte(macBoxes[i]->text().toStdString());
        if (!byte) {
            // A box that is not one or two hex digits has no byte: nothing is sent.
            messages_.Show(this, QString::fromUtf8(kMessageTitle), QString::fromUtf8(kMacErrorText));
            macBoxes[i]->setFocus();
            macBoxes[i]->selectAll();
            return;
        }
        mac[i] = *byte;
    }
    if (tool_.SendNetworkSettings(ipField->Address(), maskField->Address(), mac, gatewayField->Address(),
                                  dhcpBox->isChecked(), chosen_)) {
        accept();
    }
}

}  // namespace ferrik
