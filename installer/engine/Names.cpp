// Printer names as folder, file and queue names.
#include "installer/engine/Engine.h"
#include "base/TextCodec.h"

namespace engine {
namespace {

bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Cuts UTF-8 text to at most `max` bytes without splitting a character.
void CutUtf8(std::string& text, std::size_t max) {
    if (text.size() <= max) return;
    std::size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

}  // namespace

bool HasControlCharacters(std::string_view text) {
    for (char16_t c : base::Utf8ToUtf16(text))
        if (IsControl(c)) return true;
    return false;
}

PrinterNames NamesFor(std::string_view printerName) {
    std::u16string wide = base::Utf8ToUtf16(printerName);
    for (char16_t& c : wide)
        if (IsControl(c) || c == u'/' || c == u'\\' || c == u'"' || c == u'\'') c = u'_';
    const std::size_t first = wide.find_first_not_of(u' ');
    const std::size_t last = wide.find_last_not_of(u' ');
    std::string folder = first == std::u16string::npos
                             ? std::string()
                             : base::Utf16ToUtf8(std::u16string_view(wide).substr(first, last - first + 1));
    CutUtf8(folder, kMaxFolderName);
    while (!folder.empty() && folder.back() == ' ') folder.pop_back();
    if (folder.empty() || folder == "." || folder == "..") folder.assign(1, '_');

    std::string queue = folder;
    for (char& c : queue)
        if (c == ' ' || c == '?' || c == '#') c = '_';
    CutUtf8(queue, kMaxQueueName);
    return {folder, queue};
}

std::filesystem::path DefaultInstallFolder(const std::filesystem::path& programFiles,
                                           std::u16string_view programFolderName) {
    if (programFolderName.empty()) return programFiles / "USB Printer";
    return programFiles / NamesFor(base::Utf16ToUtf8(programFolderName)).folder;
}

}  // namespace engine
