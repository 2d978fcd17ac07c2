#pragma once
// Fonts of the installer's windows, created the way the dialogs ask for them:
// a face name, a cell height in pixels, a weight and a character set. Face
// names that this machine lacks resolve to a near face, as a font mapper does.
#include <QFont>
#include <QString>

namespace wizard {

enum class UiLanguage : int { English = 0, Chinese = 1, Russian = 2 };

inline constexpr int kCharsetDefault = 0;
inline constexpr int kCharsetGb2312 = 134;
inline constexpr int kCharsetRussian = 204;

// height is the cell height (ascent + descent) in pixels, as a positive
// height of a GDI font; the pixel size is chosen so that the cell fits.
QFont MakeFont(const QString& face, int height, int weight, int charset);

// The fonts of one language.
QFont CaptionFont(UiLanguage language);   // Chinese and Russian only; English keeps the dialog's
QFont HeadingFont(UiLanguage language);   // first line of the welcome text
QFont PageTitleFont(UiLanguage language);
QFont BodyFont(UiLanguage language);
QFont LanguageListFont();                 // "Times New Romans" 15, set 204
QFont FolderFieldFont();                  // "Arial" 14
QFont FrameDefaultFont();                 // "Arial" 14, for a frame drawn without a font

}  // namespace wizard
