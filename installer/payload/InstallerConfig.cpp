#include "installer/payload/InstallerConfig.h"

#include <cerrno>
#include <climits>

#include "installer/payload/Package.h"
#include "base/SafeFs.h"
#include "base/TextCodec.h"

namespace payload {
namespace {

// Splits text into lines, each keeping its line feed (the last one may lack it).
std::vector<std::u16string_view> Lines(std::u16string_view text) {
    std::vector<std::u16string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find(u'\n', start);
        std::size_t end = lf == std::u16string_view::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool EndsWith(std::u16string_view s, std::u16string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::u16string Cut(std::u16string_view s, std::size_t capacity) {
    return std::u16string(s.substr(0, capacity));
}

void AppendCapped(std::u16string& to, std::u16string_view s, std::size_t capacity) {
    if (to.size() >= capacity) return;
    to.append(s.substr(0, capacity - to.size()));
}

}  // namespace

InstallerTexts InstallerTexts::Defaults() {
    InstallerTexts t;
    t.productName = u"USB Printer";
    t.driverName = u"USB Printer Driver";
    t.monitorName = u"USB Printer Monitor";
    t.portName = u"USB PRINTER PORT:";
    return t;
}

InstallerTexts ParseInstallerTexts(std::span<const std::uint8_t> bytes) {
    InstallerTexts t;
    const std::u16string text = base::DecodeTextFile(bytes, /*dropBom=*/true, /*utf16WithoutBom=*/true);
    const auto lines = Lines(text);
    std::size_t i = 0;
    // Phase 1: the six page texts, each closed by a separator line.
    for (std::size_t k = 0; i < lines.size() && k < t.pageText.size(); ++i) {
        std::u16string line(lines[i]);
        if (EndsWith(line, u"\r\n")) line.replace(line.size() - 2, 2, u"\n");
        if (line.find(kSeparatorRun) != std::u16string::npos) {
            ++k;
            continue;
        }
        AppendCapped(t.pageText[k], line, kPageTextCapacity);
    }
    // Phase 2: single values, each into the first field still empty.
    std::u16string* fields[] = {&t.title,    &t.productName,       &t.driverName,   &t.monitorName,
                                &t.portName, &t.programFolderName, &t.languageModule};
    for (; i < lines.size(); ++i) {
        std::u16string_view line = lines[i];
        if (EndsWith(line, u"\n")) line.remove_suffix(1);
        if (EndsWith(line, u"\r")) line.remove_suffix(1);
        if (line.find(kSeparatorRun) != std::u16string_view::npos) continue;
        for (std::u16string* f : fields) {
            if (!f->empty()) continue;
            *f = Cut(line, f == &t.portName ? kPortNameCapacity : kNameCapacity);
            break;
        }
    }
    // What the file leaves empty takes the value used without a file.
    const InstallerTexts defaults = InstallerTexts::Defaults();
    for (auto [field, fallback] : {std::pair{&t.productName, &defaults.productName},
                                   std::pair{&t.driverName, &defaults.driverName},
                                   std::pair{&t.monitorName, &defaults.monitorName},
                                   std::pair{&t.portName, &defaults.portName}}) {
        if (field->empty()) *field = *fallback;
    }
    return t;
}

std::optional<std::string> ReadDocumentsFile(const std::filesystem::path& documents, std::string_view name) {
    return base::ReadFileIn(documents, name, kConfigFileLimit);
}

bool ReadInstallerTexts(const std::filesystem::path& file, InstallerTexts& texts) {
    base::Dir dir;
    std::optional<std::string> name;
    std::optional<std::string> data;
    base::FileId id;
    if (base::OpenFolder(file.parent_path(), false, dir) == 0 &&
        (name = base::FindIgnoringCase(dir, file.filename().string())))
        data = base::ReadFileAt(dir, *name, kConfigFileLimit, &id);
    if (!data) {
        texts = InstallerTexts::Defaults();
        return false;
    }
    texts = ParseInstallerTexts({reinterpret_cast<const std::uint8_t*>(data->data()), data->size()});
    // Read once: the file goes, unless it is someone else's.
    if (base::IsOurFile(dir, *name)) base::RemoveIfSame(dir, *name, id);
    return true;
}

std::vector<std::string> PrepareDocuments(std::span<const std::uint8_t> package,
                                          const std::filesystem::path& documents) {
    base::Dir dir;
    if (const int error = base::OpenFolder(documents, true, dir); error != 0) {
        const bool link = error == ELOOP || error == ENOTDIR;
        return {EscapeName(documents.string()) +
                (link ? ": a link or not a folder, not followed" : ": " + base::ErrorText(error))};
    }
    base::RemoveOursIgnoringCase(dir, "Logo.bmp");
    if (package.empty()) return {};
    return ExtractConfigFiles(package, documents).problems;
}

const char* InstallConfigFileName(int uiLanguage) {
    switch (uiLanguage) {
        case 1: return "InstallConfig_cn.txt";
        case 2: return "InstallConfig_rs.txt";
        default: return "InstallConfig_en.txt";
    }
}

int LeadingInt(std::u16string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    long long v = 0;
    for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
        v = v * 10 + (s[i] - u'0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    return static_cast<int>(v);
}

ModelTable ParseModelTable(std::span<const std::uint8_t> bytes) {
    ModelTable table;
    // The BOM is not skipped: it stays in the heading line, which holds "//".
    const std::u16string text = base::DecodeTextFile(bytes, /*dropBom=*/false, /*utf16WithoutBom=*/true);
    std::size_t row = 1;
    for (std::u16string_view line : Lines(text)) {
        if (row >= kModelRows) break;
        // The whole line end goes: a CR kept on a short line would end up in
        // its last text field (a model "POS72\r" matches no paper form).
        if (!line.empty() && line.back() == u'\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
        if (line.find(u"//") != std::u16string_view::npos) continue;
        if (line.find_first_not_of(u" \t\r") == std::u16string_view::npos) continue;  // blank line

        // Nine fields, each the longest run of characters other than ",";
        // scanning stops at the first empty field.
        std::u16string_view fields[9];
        std::size_t pos = 0;
        for (auto& field : fields) {
            std::size_t comma = line.find(u',', pos);
            std::size_t end = comma == std::u16string_view::npos ? line.size() : comma;
            if (end == pos) break;
            field = line.substr(pos, end - pos);
            if (comma == std::u16string_view::npos) break;
            pos = comma + 1;
        }
        table.listItems.push_back(Cut(fields[0], kPrinterNameCapacity));
        for (auto& field : fields) {
            std::size_t lead = field.find_first_not_of(u' ');
            field = lead == std::u16string_view::npos ? std::u16string_view() : field.substr(lead);
        }
        ModelRow& r = table.rows[row++];
        r.printerName = Cut(fields[0], kPrinterNameCapacity);
        r.hasCutter = LeadingInt(fields[1]);
        r.model = Cut(fields[2], kModelCapacity);
        r.gpdFile = Cut(fields[3], kGpdFileCapacity);
        r.vidPid = Cut(fields[4], kVidPidCapacity);
        r.resolution = LeadingInt(fields[5]);
        r.hardwareId = Cut(fields[6], kHardwareIdCapacity);
        r.paperWidth = LeadingInt(fields[7]);
        r.paperHeight = LeadingInt(fields[8]);
    }
    table.selectedRow = table.listItems.empty() ? 0 : 1;
    return table;
}

ModelTable ReadModelTable(const std::filesystem::path& folder) {
    auto data = ReadDocumentsFile(folder, "PrinterName.txt");
    if (!data) return {};
    return ParseModelTable({reinterpret_cast<const std::uint8_t*>(data->data()), data->size()});
}

}  // namespace payload
