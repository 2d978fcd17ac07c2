// Draws the wizard's side picture and icons once; the results are committed
// under resources/ and embedded in the program. Run: lumbra-make-art <folder>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

// A receipt printer seen from the front-top, with a slip of paper coming out.
void DrawPrinter(QPainter& p, const QRectF& box) {
    const qreal w = box.width();
    const qreal h = box.height();
    const qreal x = box.x();
    const qreal y = box.y();
    // paper
    QPainterPath paper;
    paper.moveTo(x + w * 0.28, y + h * 0.42);
    paper.lineTo(x + w * 0.28, y + h * 0.02);
    for (int i = 0; i < 6; ++i) {
        const qreal px = x + w * (0.28 + 0.44 * (i + 0.5) / 6);
        paper.lineTo(px, y + h * 0.06);
        paper.lineTo(x + w * (0.28 + 0.44 * (i + 1) / 6), y + h * 0.02);
    }
    paper.lineTo(x + w * 0.72, y + h * 0.42);
    paper.closeSubpath();
    p.setPen(QPen(QColor(150, 150, 150), 1));
    p.setBrush(QColor(255, 255, 255));
    p.drawPath(paper);
    p.setPen(QPen(QColor(120, 120, 130), std::max<qreal>(1.0, w / 60)));
    for (int i = 0; i < 4; ++i) {
        const qreal ly = y + h * (0.14 + i * 0.065);
        p.drawLine(QPointF(x + w * 0.34, ly), QPointF(x + w * (i == 3 ? 0.52 : 0.66), ly));
    }
    // body
    QLinearGradient body(QPointF(x, y + h * 0.35), QPointF(x, y + h));
    body.setColorAt(0, QColor(92, 98, 112));
    body.setColorAt(1, QColor(40, 44, 54));
    p.setPen(QPen(QColor(20, 22, 28), 1));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(x + w * 0.05, y + h * 0.38, w * 0.9, h * 0.58), w * 0.08, w * 0.08);
    // slot and lid line
    p.setBrush(QColor(15, 15, 18));
    p.drawRect(QRectF(x + w * 0.24, y + h * 0.40, w * 0.52, h * 0.04));
    p.setPen(QPen(QColor(130, 136, 150), 1));
    p.drawLine(QPointF(x + w * 0.1, y + h * 0.56), QPointF(x + w * 0.9, y + h * 0.56));
    // status light and button
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(80, 220, 110));
    p.drawEllipse(QPointF(x + w * 0.2, y + h * 0.78), w * 0.04, w * 0.04);
    p.setBrush(QColor(170, 176, 190));
    p.drawRoundedRect(QRectF(x + w * 0.62, y + h * 0.74, w * 0.22, h * 0.08), 2, 2);
}

QImage Side() {
    QImage image(163, 295, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 295);
    sky.setColorAt(0, QColor(24, 76, 160));
    sky.setColorAt(1, QColor(96, 160, 226));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 28));
    for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(20 + i * 38, 40 + (i % 2) * 30), 40, 40);
    DrawPrinter(p, QRectF(22, 118, 119, 112));
    p.setPen(QColor(255, 255, 255, 200));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(11);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(0, 250, 163, 20), Qt::AlignCenter, QStringLiteral("RECEIPT PRINTER"));
    p.setPen(QPen(QColor(255, 255, 255, 120), 1));
    p.drawLine(30, 272, 133, 272);
    return image;
}

QImage Icon(int size, bool globe) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (globe) {
        const QRectF r(size * 0.08, size * 0.08, size * 0.84, size * 0.84);
        p.setPen(QPen(QColor(20, 70, 150), size / 16.0));
        p.setBrush(QColor(120, 180, 240));
        p.drawEllipse(r);
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(size * 0.3, size * 0.08, size * 0.4, size * 0.84));
        p.drawLine(QPointF(size * 0.5, size * 0.08), QPointF(size * 0.5, size * 0.92));
        p.drawLine(QPointF(size * 0.08, size * 0.5), QPointF(size * 0.92, size * 0.5));
        p.drawLine(QPointF(size * 0.16, size * 0.3), QPointF(size * 0.84, size * 0.3));
        p.drawLine(QPointF(size * 0.16, size * 0.7), QPointF(size * 0.84, size * 0.7));
    } else {
        DrawPrinter(p, QRectF(0, 0, size, size));
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: lumbra-make-art <folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = Side().save(dir.filePath(QStringLiteral("side.png")));
    ok = Icon(32, false).save(dir.filePath(QStringLiteral("app32.png"))) && ok;
    ok = Icon(64, false).save(dir.filePath(QStringLiteral("app64.png"))) && ok;
    ok = Icon(32, true).save(dir.filePath(QStringLiteral("language.png"))) && ok;
    return ok ? 0 : 1;
}
