#include "installer/wizard/WizardFonts.h"

#include <QFontMetrics>
#include <QStringList>

namespace wizard {
namespace {

// Near faces for the names the dialogs ask for. The first present family wins;
// the CJK face last so that Latin text keeps a Latin face.
QStringList FamiliesFor(const QString& face, int charset) {
    QStringList families{face};
    if (face == QStringLiteral("宋体")) {
        families << QStringLiteral("SimSun") << QStringLiteral("WenQuanYi Zen Hei");
    } else if (face.startsWith(QStringLiteral("Times New Roman"))) {
        families << QStringLiteral("Times New Roman") << QStringLiteral("Liberation Serif")
                 << QStringLiteral("DejaVu Serif");
    } else if (face == QStringLiteral("Arial")) {
        families << QStringLiteral("Liberation Sans") << QStringLiteral("DejaVu Sans");
    } else {
        // "Ms Scanf", "MS Sans Serif" and anything unknown.
        families << QStringLiteral("MS Sans Serif") << QStringLiteral("Microsoft Sans Serif")
                 << QStringLiteral("DejaVu Sans");
    }
    families << QStringLiteral("WenQuanYi Zen Hei");
    if (charset == kCharsetGb2312) families.move(families.size() - 1, 1);
    families.removeDuplicates();
    return families;
}

}  // namespace

QFont MakeFont(const QString& face, int height, int weight, int charset) {
    QFont font;
    font.setFamilies(FamiliesFor(face, charset));
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setStyleStrategy(QFont::PreferDefault);
    int pixels = height;
    font.setPixelSize(pixels);
    while (pixels > 4 && QFontMetrics(font).height() > height) {
        font.setPixelSize(--pixels);
    }
    return font;
}

QFont CaptionFont(UiLanguage language) {
    if (language == UiLanguage::Chinese) return MakeFont(QStringLiteral("宋体"), 12, 400, kCharsetGb2312);
    return MakeFont(QStringLiteral("Times New Romans"), 14, 400, kCharsetDefault);
}

QFont HeadingFont(UiLanguage language) {
    switch (language) {
    case UiLanguage::Chinese: return MakeFont(QStringLiteral("宋体"), 14, 800, kCharsetGb2312);
    case UiLanguage::Russian: return MakeFont(QStringLiteral("Times New Roman"), 18, 800, kCharsetDefault);
    case UiLanguage::English: break;
    }
    return MakeFont(QStringLiteral("Ms Scanf"), 20, 800, kCharsetDefault);
}

QFont PageTitleFont(UiLanguage language) {
    switch (language) {
    case UiLanguage::Chinese: return MakeFont(QStringLiteral("Ms Scanf"), 12, 800, kCharsetGb2312);
    case UiLanguage::Russian: return MakeFont(QStringLiteral("Times New Romans"), 15, 800, kCharsetDefault);
    case UiLanguage::English: break;
    }
    return MakeFont(QStringLiteral("Ms Scanf"), 15, 800, kCharsetDefault);
}

QFont BodyFont(UiLanguage language) {
    switch (language) {
    case UiLanguage::Chinese: return MakeFont(QStringLiteral("宋体"), 12, 400, kCharsetGb2312);
    case UiLanguage::Russian: return MakeFont(QStringLiteral("Times New Romans"), 15, 400, kCharsetDefault);
    case UiLanguage::English: break;
    }
    return MakeFont(QStringLiteral("Ms Scanf"), 15, 400, kCharsetDefault);
}

QFont LanguageListFont() {
    return MakeFont(QStringLiteral("Times New Romans"), 15, 400, kCharsetRussian);
}

QFont FolderFieldFont() { return MakeFont(QStringLiteral("Arial"), 14, 400, kCharsetDefault); }

QFont FrameDefaultFont() { return MakeFont(QStringLiteral("Arial"), 14, 400, kCharsetDefault); }

}  // namespace wizard
