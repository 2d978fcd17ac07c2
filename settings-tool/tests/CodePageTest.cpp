// Text for the printer: which code page a locale gets, and how text the code
// page cannot hold is sent.
#include <gtest/gtest.h>

#include "settings-tool/SystemCodePage.h"
#include "settings-tool/tests/CadmonRunner.h"

namespace cadmon {
namespace {

using cadmon::testing::Hex;

TEST(CodePage, LocalesMapToTheDesktopCodePage) {
    const std::pair<const char*, const char*> cases[] = {
        {"zh_CN.UTF-8", "CP936"}, {"zh_SG", "CP936"},     {"zh_TW.UTF-8", "CP950"}, {"zh_HK.Big5", "CP950"},
        {"ja_JP.UTF-8", "CP932"}, {"ko_KR.EUC-KR", "CP949"}, {"ru_RU.UTF-8", "CP1251"}, {"en_US.UTF-8", "CP1252"},
        {"C", "CP1252"},          {"POSIX", "CP1252"},    {"C.UTF-8", "CP1252"},    {"de_DE@euro", "CP1252"},
        {"", "CP1252"},
    };
    for (const auto& [locale, codePage] : cases) EXPECT_EQ(CodePageForLocale(locale), codePage) << locale;
}

TEST(CodePage, EnvironmentOrderIsLcAllThenLcCtypeThenLang) {
    ::setenv("LC_ALL", "", 1);
    ::setenv("LC_CTYPE", "ru_RU.UTF-8", 1);
    ::setenv("LANG", "zh_CN.UTF-8", 1);
    EXPECT_EQ(SystemCodePage(), "CP1251");
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(SystemCodePage(), "CP932");
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_CTYPE");
    EXPECT_EQ(SystemCodePage(), "CP936");
    ::unsetenv("LANG");
    EXPECT_EQ(LocaleFromEnvironment(), "C");
}

TEST(CodePage, ConvertsAndMarksWhatTheCodePageLacks) {
    struct Case {
        const char* utf8;
        const char* codePage;
        const char* hex;
        std::size_t replaced;
    } cases[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC", "CP1252", "47 72 FC DF 65 20 80", 0},  // Grüße €
        {"\xE4\xB8\xAD\xE6\x96\x87", "CP936", "D6 D0 CE C4", 0},                  // 中文
        {"\xE4\xB8\xAD", "CP950", "A4 A4", 0},
        {"\xD0\x9F", "CP1251", "CF", 0},                                           // П
        {"a\xE4\xB8\xAD" "b", "CP1252", "61 3F 62", 1},                            // 中 has no CP1252 byte
        {"a\xFF" "b", "CP1252", "61 3F 62", 1},                                    // stray byte
        {"a\xE4\xB8" "bc", "CP1252", "61 3F 62 63", 1},                            // cut sequence keeps "bc"
        {"x\xE4", "CP1252", "78 3F", 1},                                           // cut at the end
        {"", "CP1252", "", 0},
    };
    for (const Case& c : cases) {
        const auto converted = ConvertToCodePage(c.utf8, c.codePage);
        ASSERT_TRUE(converted) << c.codePage;
        EXPECT_EQ(Hex(converted->bytes), c.hex) << c.codePage << " " << c.utf8;
        EXPECT_EQ(converted->replaced, c.replaced) << c.utf8;
    }
    EXPECT_FALSE(ConvertToCodePage("x", "NO-SUCH-CODE-PAGE"));
}

TEST(CodePage, LongTextConvertsWhole) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "\xC3\xA9";  // é
    const auto converted = ConvertToCodePage(text, "CP1252");
    ASSERT_TRUE(converted);
    EXPECT_EQ(converted->bytes, std::string(3000, '\xE9'));
}

}  // namespace
}  // namespace cadmon
