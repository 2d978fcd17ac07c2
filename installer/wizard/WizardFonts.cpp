#include "installer/wizard/WizardFonts.h"

#include <QFontMetrics>
#include <QStringList>

#include "installer/payload/TextTable.h"

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
                 << QStringLiteral("Nimbus Roman") << QStringLiteral("DejaVu Serif");
    } else if (face == QStringLiteral("Arial")) {
        families << QStringLiteral("Liberation Sans") << QStringLiteral("Nimbus Sans")
                 << QStringLiteral("DejaVu Sans");
    } else {
        // "Ms Scanf", "MS Sans Serif" and anything unknown.
        families << QStringLiteral("MS Sans Serif") << QStringLiteral("Microsoft Sans Serif")
                 << QStringLiteral("Liberation Sans") << QStringLiteral("Nimbus Sans")
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

namespace {
QFont FromSpec(payload::FontUse use, UiLanguage language) {
    const payload::FontSpec font = payload::FontFor(use, static_cast<int>(language));
    if (!font.face) return QFont();
    return MakeFont(QString::fromUtf16(font.face), font.height, font.weight, font.charset);
}
}  // namespace

QFont CaptionFont(UiLanguage language) { return FromSpec(payload::FontUse::Caption, language); }
QFont HeadingFont(UiLanguage language) { return FromSpec(payload::FontUse::Heading, language); }
QFont PageTitleFont(UiLanguage language) { return FromSpec(payload::FontUse::PageTitle, language); }
QFont BodyFont(UiLanguage language) { return FromSpec(payload::FontUse::Body, language); }
QFont LanguageListFont() { return FromSpec(payload::FontUse::LanguageList, UiLanguage::English); }
QFont FolderFieldFont() { return FromSpec(payload::FontUse::FolderField, UiLanguage::English); }
QFont FrameDefaultFont() { return MakeFont(QStringLiteral("Arial"), 14, 400, kCharsetDefault); }

}  // namespace wizard
