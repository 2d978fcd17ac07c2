#include "settings-tool/gui/AboutDlg.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "settings-tool/gui/Texts.h"

namespace cadmon::gui {

QIcon CadmonIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal u = size / 16.0;
        // Paper coming out of the top, a body, a slot.
        p.setPen(QPen(QColor(90, 90, 90), u * 0.6));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4 * u, 1 * u, 8 * u, 7 * u));
        p.setPen(QPen(QColor(150, 150, 150), u * 0.6));
        for (int line = 0; line < 3; ++line) p.drawLine(QPointF(5.5 * u, (3 + 1.5 * line) * u), QPointF(10.5 * u, (3 + 1.5 * line) * u));
        p.setPen(QPen(QColor(40, 40, 40), u * 0.6));
        p.setBrush(QColor(52, 101, 164));
        p.drawRoundedRect(QRectF(1.5 * u, 7 * u, 13 * u, 7.5 * u), 1.5 * u, 1.5 * u);
        p.setBrush(QColor(30, 30, 30));
        p.drawRect(QRectF(4 * u, 8.5 * u, 8 * u, 1 * u));
        p.setBrush(QColor(120, 220, 120));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(11.5 * u, 11.5 * u, 1.5 * u, 1.5 * u));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Utf8(text::kAboutTitle));
    auto* layout = new QHBoxLayout(this);
    auto* iconLabel = new QLabel(this);
    iconLabel->setPixmap(CadmonIcon().pixmap(48, 48));
    iconLabel->setAlignment(Qt::AlignTop);
    layout->addWidget(iconLabel);
    auto* texts = new QVBoxLayout;
    texts->addWidget(new QLabel(Utf8(text::kAboutVersion), this));
    texts->addStretch(1);
    layout->addLayout(texts, 1);
    ok_ = new QPushButton(Utf8(text::kAboutOk), this);
    ok_->setDefault(true);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok_);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    setMinimumWidth(320);
}

}  // namespace cadmon::gui
