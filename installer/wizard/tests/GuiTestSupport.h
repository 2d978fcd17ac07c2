#pragma once
// Shared set-up of the wizard's window tests: one QApplication on the
// offscreen platform, pixel helpers and a scratch Documents folder.
#include <QApplication>
#include <QColor>
#include <QImage>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdlib>
#include <string>

namespace wizardtest {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "wizard-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

inline QImage Render(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_RGB32);
    image.fill(QColor(1, 2, 3));
    widget.render(&image);
    return image;
}

inline std::string Rgb(const QImage& image, int x, int y) {
    const QColor c = image.pixelColor(x, y);
    return std::to_string(c.red()) + "," + std::to_string(c.green()) + "," + std::to_string(c.blue());
}

inline std::string Rgb(const QColor& c) {
    return std::to_string(c.red()) + "," + std::to_string(c.green()) + "," + std::to_string(c.blue());
}

// Bounding box of the pixels darker than `threshold` (sum of channels) in a region.
inline QRect DarkBox(const QImage& image, const QRect& region, int threshold = 300) {
    QRect box;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() < threshold) box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

}  // namespace wizardtest
