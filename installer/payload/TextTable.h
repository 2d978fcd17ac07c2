#pragma once
// The wizard's text table "Text.ini" in the Documents folder (section "Text",
// UTF-16 LE with BOM, or UTF-8 without one), the built-in page texts and the
// fonts of each language. The file is read afresh at every lookup.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace payload {

inline constexpr std::size_t kLookupBuffer = 510;        // value cut to 509 characters
inline constexpr std::size_t kLookupBufferLanguageEn = 512;

// Value of `key` in section "Text" of "<Documents>/Text.ini" (Documents from
// SystemPaths::FromEnvironment()), or `fallback` when the file or key is missing.
std::u16string LookupText(std::u16string_view key, std::u16string_view fallback,
                          std::size_t bufferChars = kLookupBuffer);
// The same lookup in a given file (its name matched ignoring case, read as
// ReadDocumentsFile reads).
std::u16string LookupTextIn(const std::filesystem::path& iniFile, std::u16string_view key,
                            std::u16string_view fallback, std::size_t bufferChars = kLookupBuffer);
// The same lookup over the bytes of a file (fuzzing, tests). Section and key
// names compare ignoring ASCII case; blanks around keys and values are
// dropped; one pair of surrounding quotes is removed; the first occurrence wins.
std::u16string LookupTextInBytes(std::span<const std::uint8_t> bytes, std::u16string_view key,
                                 std::u16string_view fallback,
                                 std::size_t bufferChars = kLookupBuffer);

// Every key the wizard reads, with its default.
struct TextKey {
    const char16_t* key;
    const char16_t* fallback;
};
std::span<const TextKey> TextKeys();
// The default of a listed key (empty for an unknown key).
std::u16string_view DefaultText(std::u16string_view key);

// UiLanguage values.
enum UiLanguage : int { kEnglish = 0, kChinese = 1, kRussian = 2 };

enum WizardPage : int { kWelcome = 0, kChooseFolder = 1, kPrinterSetting = 2, kInstalling = 3,
                        kComplete = 4, kFailed = 8 };

struct PageBuiltin {
    WizardPage page;
    const char16_t* titleChinese;   // nullptr: no title
    const char16_t* titleEnglish;
    const char16_t* titleKey;       // Text.ini key of the Russian title
    const char16_t* bodyChinese;    // nullptr: no built-in body
    const char16_t* bodyEnglish;
};
// Welcome, ChooseFolder, PrinterSetting, Installing, Complete, Failed.
std::span<const PageBuiltin> PageBuiltins();
const PageBuiltin* FindPageBuiltin(WizardPage page);

// Title of a page for a language: Chinese, English, or the Text.ini value
// (default: the English title) for Russian. Empty when the page has none.
std::u16string PageTitle(WizardPage page, int uiLanguage);
// Body of a page: the configuration's page text when not empty, otherwise
// the built-in text in Chinese when `chinese`, English otherwise.
std::u16string PageBody(WizardPage page, std::u16string_view configured, bool chinese);
// A page text with the install log's usual place, "/var/log/InstallPrinter.txt",
// replaced by where this run's log really is (below LUMBRA_ROOT, for one).
std::u16string NameInstallLog(std::u16string text, const std::filesystem::path& log);

inline constexpr const char16_t* kFolderFrameChinese = u"目标文件夹";
inline constexpr const char16_t* kFolderFrameEnglish = u"Target folder";
inline constexpr const char16_t* kStatusWaitChinese = u"请稍候...";
inline constexpr const char16_t* kStatusWaitEnglish = u"Please wait...";
inline constexpr const char16_t* kStatusInstallingChinese = u"正在安装打印机驱动，请稍候...";
inline constexpr const char16_t* kStatusInstallingEnglish = u"Installing Printer Driver, Please wait...";
inline constexpr const char16_t* kStatusInstallingRussian = u"Установка драйвера принтера, подождите";

struct FontSpec {
    const char16_t* face;  // nullptr: the dialog's own font
    int height;
    int weight;
    int charset;
};
enum class FontUse { Caption, Heading, PageTitle, Body, LanguageList, FolderField };
FontSpec FontFor(FontUse use, int uiLanguage);

}  // namespace payload
