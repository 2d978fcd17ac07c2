#include "settings-tool/gui/MacBoxes.h"

#include <QRegularExpressionValidator>

namespace cadmon::gui {

MacBoxArray MakeMacBoxes(QWidget* parent, const QString& objectNamePrefix) {
    MacBoxArray boxes{};
    auto* validator = new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9A-Fa-f]{0,2}")), parent);
    const int width = parent->fontMetrics().horizontalAdvance(QStringLiteral("WW")) + 12;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        auto* box = new QLineEdit(parent);
        box->setObjectName(objectNamePrefix + QString::number(i));
        box->setMaxLength(2);
        box->setValidator(validator);
        box->setAlignment(Qt::AlignCenter);
        box->setFixedWidth(width);
        boxes[i] = box;
    }
    return boxes;
}

void ShowMac(const MacBoxArray& boxes, const protocol::Mac& mac) {
    for (std::size_t i = 0; i < boxes.size(); ++i) boxes[i]->setText(QString::number(mac[i], 16));
}

std::optional<protocol::Mac> ReadMac(const MacBoxArray& boxes) {
    protocol::Mac mac{};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const QByteArray text = boxes[i]->text().toUtf8();
        const auto byte = protocol::HexBoxToByte(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
        if (!byte) return std::nullopt;
        mac[i] = *byte;
    }
    return mac;
}

}  // namespace cadmon::gui
