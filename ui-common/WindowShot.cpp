#include "ui-common/WindowShot.h"

#include <QCoreApplication>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace ui {

QImage GrabWithTitleBar(QWidget& window) {
    constexpr int kBar = 24;
    QCoreApplication::processEvents();
    const QPixmap body = window.grab();
    QImage image(body.width(), body.height() + kBar, QImage::Format_RGB32);
    image.fill(QColor(0, 84, 227));
    QPainter painter(&image);
    painter.drawPixmap(0, kBar, body);
    const QIcon icon = window.windowIcon();
    if (!icon.isNull()) painter.drawPixmap(4, 4, icon.pixmap(16, 16));
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Zen Hei")});
    font.setPixelSize(13);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(24, 0, image.width() - 28, kBar), Qt::AlignVCenter, window.windowTitle());
    painter.end();
    return image;
}

}  // namespace ui
