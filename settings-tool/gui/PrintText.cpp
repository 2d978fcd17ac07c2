#include "settings-tool/gui/PrintText.h"

#include "settings-tool/SystemCodePage.h"

namespace cadmon::gui {
namespace {

std::string Convert(const QString& text, const std::string& codePage) {
    const QByteArray utf8 = text.toUtf8();
    const std::string_view view(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    if (auto converted = cadmon::ConvertToCodePage(view, codePage)) return converted->bytes;
    return std::string(view);  // a code page iconv does not know: send UTF-8
}

}  // namespace

protocol::Bytes PrintInfoBytes(const QString& editorText, std::size_t maxBytes) {
    QString text = editorText;
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const std::string codePage = cadmon::SystemCodePage();
    std::string bytes = Convert(text, codePage);
    if (bytes.size() > maxBytes) {
        // Longest prefix of whole characters that fits.
        qsizetype low = 0;
        qsizetype high = text.size();
        while (low < high) {
            const qsizetype mid = (low + high + 1) / 2;
            if (Convert(text.left(mid), codePage).size() <= maxBytes)
                low = mid;
            else
                high = mid - 1;
        }
        if (low > 0 && text.at(low - 1).isHighSurrogate()) --low;
        bytes = Convert(text.left(low), codePage);
    }
    return protocol::Bytes(bytes.begin(), bytes.end());
}

QString ToEditorLineBreaks(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

}  // namespace cadmon::gui
