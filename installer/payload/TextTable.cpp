#include "installer/payload/TextTable.h"

#include "installer/payload/InstallerConfig.h"
#include "installer/payload/SystemPaths.h"
#include "base/TextCodec.h"

namespace payload {
namespace {

constexpr TextKey kTextKeys[] = {
    {u"SelectLanguage", u"Select Language"},
    {u"PleaseSelectLanguage", u"Please Select Language"},
    {u"Cancel", u"Cancel"},
    {u"Chinese", u"Chinese"},
    {u"English", u"English"},
    {u"Russian", u"Russian"},
    {u"SelectLanguageCN", u"选择语言"},
    {u"PleaseSelectLanguageCN", u"请选择语言"},
    {u"CancelCN", u"取消"},
    {u"OK", u"OK"},
    {u"Back", u"Back"},
    {u"Next", u"Next"},
    {u"Browse", u"Browse"},
    {u"DriverTitle", u"Model:"},
    {u"PrintTitle", u"Printer Name:"},
    {u"DefaultPrinter", u"Set as default printer"},
    {u"Please select model", u"Please select model"},
    {u"NoSelectPrinter", u"Please Select a Printer Driver"},
    {u"MsgBoxTitle", u"Printer Driver Installation"},
    {u"Finish", u"Finish"},
    {u"Choose installation folder", u"Choose installation folder"},
    {u"InstallPath", u"Path"},
    {u"Printer Setting", u"Printer Setting"},
    {u"Installing", u"Installing"},
    {u"Setup Complete", u"Setup Complete"},
    {u"Setup Failed", u"Setup Failed"},
};
constexpr PageBuiltin kPages[] = {
    {kWelcome, nullptr, nullptr, nullptr,
     u"欢迎使用V380打印机驱动\n\n本向导将会在您的电脑上安装V380打印机驱动。本程序支持Word、Excel等程序的Windows标准打印功能。\n\n本程序在完成安装之后，不必重启系統就可以直接使用。\n\n\n请点击[下一步]继续。",
     u"Welcome use V380 printer.\n\nThis Wizard will install V380 printer driver in \nyour computer.This software can support word,excel \netc program standard printing function.\n\n\n\n\nPlease click [next] to continue."},
    {kChooseFolder, u"选择安装文件夹", u"Choose installation folder", u"Choose installation folder",
     u"安装程序将打印机驱动安装在下列文件夹。如果要安装到不同的文件夹，点击   【浏览】并选择其它文件夹。点击【下一步】继续。",
     u"The wizard will install the V380 printer driver in the following folder If \nyou want to install to a different folder, please click [Browse] and choose other \nfolder. Click [next] to continue."},
    {kPrinterSetting, u"设置打印机", u"Printer Setting", u"Printer Setting",
     nullptr,
     nullptr},
    {kInstalling, u"正在安装", u"Installing", u"Installing",
     u"安装程序正在V380打印机驱动到您的电脑上。请等待，这个工程可能会花几分钟。",
     u"The wizard is installing V380 printer driver in your computer.Please wait, the progress will spend your few minute."},
    {kComplete, u"安装完成", u"Setup Complete", u"Setup Complete",
     u"V380打印机驱动已成功安装到您的电脑。 ",
     u"V380 printer driver has been successfully installed in your computer. "},
    {kFailed, u"安装失败", u"Setup Failed", u"Setup Failed",
     u"打印机驱动安装失败。 ",
     u"The Printer Driver install fail. "},
};

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool SameIgnoreCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::u16string_view Trim(std::u16string_view s) {
    constexpr std::u16string_view blanks = u" \t\r\n";
    std::size_t b = s.find_first_not_of(blanks);
    if (b == std::u16string_view::npos) return {};
    std::size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

std::u16string CutToBuffer(std::u16string_view s, std::size_t bufferChars) {
    std::size_t room = bufferChars > 0 ? bufferChars - 1 : 0;
    return std::u16string(s.substr(0, room));
}

}  // namespace

std::u16string LookupTextInBytes(std::span<const std::uint8_t> bytes, std::u16string_view key,
                                 std::u16string_view fallback, std::size_t bufferChars) {
    const std::u16string text = base::DecodeTextFile(bytes, /*dropBom=*/true, /*utf16WithoutBom=*/false);
    const std::u16string_view wanted = Trim(key);
    bool inSection = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find(u'\n', start);
        std::size_t end = lf == std::u16string::npos ? text.size() : lf;
        std::u16string_view line = Trim(std::u16string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == u';') continue;
        if (line.front() == u'[') {
            std::size_t close = line.find(u']');
            std::u16string_view name = Trim(line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1));
            inSection = SameIgnoreCase(name, u"Text");
            continue;
        }
        if (!inSection) continue;
        std::size_t eq = line.find(u'=');
        if (eq == std::u16string_view::npos) continue;
        if (!SameIgnoreCase(Trim(line.substr(0, eq)), wanted)) continue;
        std::u16string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return CutToBuffer(value, bufferChars);
    }
    return CutToBuffer(fallback, bufferChars);
}

std::u16string LookupTextIn(const std::filesystem::path& iniFile, std::u16string_view key,
                            std::u16string_view fallback, std::size_t bufferChars) {
    auto data = ReadDocumentsFile(iniFile.parent_path(), iniFile.filename().string());
    if (!data) return CutToBuffer(fallback, bufferChars);
    return LookupTextInBytes({reinterpret_cast<const std::uint8_t*>(data->data()), data->size()},
                             key, fallback, bufferChars);
}

std::u16string LookupText(std::u16string_view key, std::u16string_view fallback,
                          std::size_t bufferChars) {
    return LookupTextIn(SystemPaths::FromEnvironment().documents / "Text.ini", key, fallback,
                        bufferChars);
}

std::span<const TextKey> TextKeys() { return kTextKeys; }

std::u16string_view DefaultText(std::u16string_view key) {
    for (const TextKey& k : kTextKeys)
        if (key == k.key) return k.fallback;
    return {};
}

std::span<const PageBuiltin> PageBuiltins() { return kPages; }

const PageBuiltin* FindPageBuiltin(WizardPage page) {
    for (const PageBuiltin& p : kPages)
        if (p.page == page) return &p;
    return nullptr;
}

std::u16string PageTitle(WizardPage page, int uiLanguage) {
    const PageBuiltin* p = FindPageBuiltin(page);
    if (!p || !p->titleEnglish) return {};
    if (uiLanguage == kChinese) return p->titleChinese;
    if (uiLanguage == kRussian) return LookupText(p->titleKey, p->titleEnglish);
    return p->titleEnglish;
}

std::u16string PageBody(WizardPage page, std::u16string_view configured, bool chinese) {
    if (!configured.empty()) return std::u16string(configured);
    const PageBuiltin* p = FindPageBuiltin(page);
    if (!p) return {};
    const char16_t* body = chinese ? p->bodyChinese : p->bodyEnglish;
    return body ? std::u16string(body) : std::u16string();
}

std::u16string NameInstallLog(std::u16string text, const std::filesystem::path& log) {
    static constexpr std::u16string_view usual = u"/var/log/InstallPrinter.txt";
    const std::u16string real = base::Utf8ToUtf16(log.string());
    if (real == usual) return text;
    for (std::size_t at = text.find(usual); at != std::u16string::npos; at = text.find(usual, at + real.size()))
        text.replace(at, usual.size(), real);
    return text;
}

FontSpec FontFor(FontUse use, int uiLanguage) {
    const int lang = (uiLanguage == kChinese || uiLanguage == kRussian) ? uiLanguage : kEnglish;
    switch (use) {
        case FontUse::Caption:
            if (lang == kChinese) return {u"宋体", 12, 400, 134};
            if (lang == kRussian) return {u"Times New Romans", 14, 400, 0};
            return {nullptr, 0, 0, 0};
        case FontUse::Heading:
            if (lang == kChinese) return {u"宋体", 14, 800, 134};
            if (lang == kRussian) return {u"Times New Roman", 18, 800, 0};
            return {u"Ms Scanf", 20, 800, 0};
        case FontUse::PageTitle:
            if (lang == kChinese) return {u"Ms Scanf", 12, 800, 134};
            if (lang == kRussian) return {u"Times New Romans", 15, 800, 0};
            return {u"Ms Scanf", 15, 800, 0};
        case FontUse::Body:
            if (lang == kChinese) return {u"宋体", 12, 400, 134};
            if (lang == kRussian) return {u"Times New Romans", 15, 400, 0};
            return {u"Ms Scanf", 15, 400, 0};
        case FontUse::LanguageList:
            return {u"Times New Romans", 15, 400, 204};
        case FontUse::FolderField:
            return {u"Arial", 14, 400, 0};
    }
    return {nullptr, 0, 0, 0};
}

}  // namespace payload
