#include "ui-common/IpAddressEdit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QValidator>

namespace ui {
namespace {

// Up to three digits with a value of at most 255.
class OctetValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        if (input.size() > 3) return Invalid;
        for (QChar c : input)
            if (!c.isDigit() || c.unicode() > 0x7F) return Invalid;
        if (input.isEmpty()) return Acceptable;
        return input.toInt() <= 255 ? Acceptable : Invalid;
    }
};

bool ParseOctet(const QString& text, std::uint8_t& out) {
    if (text.isEmpty() || text.size() > 3) return false;
    int value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value > 255) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

}  // namespace

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Sunken);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    auto* validator = new OctetValidator(this);
    const int digitWidth = fontMetrics().horizontalAdvance(QStringLiteral("000")) + 8;
    for (std::size_t i = 0; i < boxes_.size(); ++i) {
        auto* box = new QLineEdit(this);
        box->setFrame(false);
        box->setAlignment(Qt::AlignCenter);
        box->setValidator(validator);
        box->setMinimumWidth(digitWidth);
        box->setObjectName(QStringLiteral("octet%1").arg(i));
        box->installEventFilter(this);
        connect(box, &QLineEdit::textChanged, this, &CIpAddressEdit::AddressChanged);
        connect(box, &QLineEdit::textEdited, this, [this, i](const QString& text) {
            if (text.size() == 3 && i + 1 < boxes_.size()) FocusBox(static_cast<int>(i) + 1, true);
        });
        boxes_[i] = box;
        layout->addWidget(box, 1);
        if (i + 1 < boxes_.size()) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
    }
    setFocusProxy(boxes_[0]);
}

CIpAddressEdit::Octets CIpAddressEdit::Address() const {
    Octets out{};
    for (std::size_t i = 0; i < boxes_.size(); ++i) {
        std::uint8_t value = 0;
        if (ParseOctet(boxes_[i]->text(), value)) out[i] = value;
    }
    return out;
}

void CIpAddressEdit::SetAddress(const Octets& octets) {
    for (std::size_t i = 0; i < boxes_.size(); ++i) boxes_[i]->setText(QString::number(octets[i]));
}

bool CIpAddressEdit::SetText(const QString& dotted) {
    const QStringList parts = dotted.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    Octets octets{};
    for (std::size_t i = 0; i < octets.size(); ++i)
        if (!ParseOctet(parts[static_cast<int>(i)], octets[i])) return false;
    SetAddress(octets);
    return true;
}

QString CIpAddressEdit::Text() const {
    const Octets a = Address();
    return QStringLiteral("%1.%2.%3.%4").arg(a[0]).arg(a[1]).arg(a[2]).arg(a[3]);
}

void CIpAddressEdit::Clear() {
    for (auto* box : boxes_) box->clear();
}

bool CIpAddressEdit::IsBlank() const {
    for (auto* box : boxes_)
        if (!box->text().isEmpty()) return false;
    return true;
}

int CIpAddressEdit::IndexOf(QObject* box) const {
    for (std::size_t i = 0; i < boxes_.size(); ++i)
        if (boxes_[i] == box) return static_cast<int>(i);
    return -1;
}

void CIpAddressEdit::FocusBox(int index, bool selectAll) {
    QLineEdit* box = boxes_[static_cast<std::size_t>(index)];
    box->setFocus(Qt::TabFocusReason);
    if (selectAll)
        box->selectAll();
    else
        box->setCursorPosition(box->text().size());
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = IndexOf(watched);
    if (index < 0 || event->type() != QEvent::KeyPress) return QFrame::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* box = boxes_[static_cast<std::size_t>(index)];
    switch (key->key()) {
    case Qt::Key_Period:
    case Qt::Key_Space:
        // A dot finishes the octet; in an empty box it is ignored.
        if (!box->text().isEmpty() && index < 3) FocusBox(index + 1, true);
        return true;
    case Qt::Key_Backspace:
        if (box->cursorPosition() == 0 && !box->hasSelectedText() && index > 0) {
            FocusBox(index - 1, false);
            return true;
        }
        break;
    case Qt::Key_Left:
        if (box->cursorPosition() == 0 && index > 0) {
            FocusBox(index - 1, false);
            return true;
        }
        break;
    case Qt::Key_Right:
        if (box->cursorPosition() == box->text().size() && index < 3) {
            boxes_[static_cast<std::size_t>(index) + 1]->setFocus(Qt::TabFocusReason);
            boxes_[static_cast<std::size_t>(index) + 1]->setCursorPosition(0);
            return true;
        }
        break;
    default:
        break;
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace ui
