// The window's rules that need no window: the random MAC generator, the
// period box, and the print-info text as the printer gets it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "settings-tool/gui/CadmonDlg.h"
#include "settings-tool/gui/PrintText.h"
#include "settings-tool/gui/RandomMac.h"
#include "settings-tool/gui/tests/GuiTestSupport.h"

namespace cadmon::gui::testing {
namespace {

TEST(RandomMac, FollowsTheDesktopGeneratorSeededWithWholeSeconds) {
    // That generator seeded with 1 draws 41, 18467, 6334, and with 0 draws 38, 7719, 21238.
    EXPECT_EQ(GenerateRandomMac(1), (MacBytes{41, 0, 18467 % 256, 18467 / 256, 6334 % 256, 6334 / 256}));
    EXPECT_EQ(GenerateRandomMac(0), (MacBytes{38, 0, 7719 % 256, 7719 / 256, 21238 % 256, 21238 / 256}));
    // Seeded anew at each call: the same second gives the same MAC; only the low 32 bits count.
    EXPECT_EQ(GenerateRandomMac(1765000000), GenerateRandomMac(1765000000));
    EXPECT_EQ(GenerateRandomMac(1), GenerateRandomMac(1 + (std::int64_t{1} << 32)));
    EXPECT_NE(GenerateRandomMac(1765000000), GenerateRandomMac(1765000001));
    // Bytes 2, 4 and 6 never exceed 7F.
    for (std::int64_t t = 1765000000; t < 1765002000; ++t) {
        const MacBytes mac = GenerateRandomMac(t);
        ASSERT_LE(mac[1], 0x7F);
        ASSERT_LE(mac[3], 0x7F);
        ASSERT_LE(mac[5], 0x7F);
    }
}

TEST(PeriodBox, LeadingDigitsOrZero) {
    EXPECT_EQ(LeadingDecimal(QStringLiteral("500")), 500);
    EXPECT_EQ(LeadingDecimal(QStringLiteral("250ms")), 250);
    EXPECT_EQ(LeadingDecimal(QStringLiteral("abc")), 0);
    EXPECT_EQ(LeadingDecimal(QStringLiteral("")), 0);
    EXPECT_EQ(LeadingDecimal(QStringLiteral(" 5")), 0);
    EXPECT_EQ(LeadingDecimal(QStringLiteral("99999999999")), INT32_MAX);
}

TEST(PrintText, LineBreaksCodePageAndLength) {
    App();
    ::setenv("LC_ALL", "en_US.UTF-8", 1);
    EXPECT_EQ(PrintInfoBytes(QStringLiteral("a\nb\n")), FromText("a\r\nb\r\n"));
    EXPECT_EQ(ToEditorLineBreaks(QStringLiteral("a\r\nb\rc")), QStringLiteral("a\nb\nc"));
    EXPECT_EQ(PrintInfoBytes(QStringLiteral("caf\u00e9")), (Bytes{'c', 'a', 'f', 0xE9}));  // CP1252
    EXPECT_EQ(PrintInfoBytes(QString(3000, QLatin1Char('z'))).size(), 2047u);

    // A Chinese desktop sends GBK; the 2047-byte limit never splits a character.
    ::setenv("LC_ALL", "zh_CN.UTF-8", 1);
    EXPECT_EQ(PrintInfoBytes(QStringLiteral("中\n")), (Bytes{0xD6, 0xD0, 0x0D, 0x0A}));
    const Bytes cut = PrintInfoBytes(QString(1024, QChar(0x4E2D)));
    EXPECT_EQ(cut.size(), 2046u);
    EXPECT_EQ(cut[2044], 0xD6);
    EXPECT_EQ(cut[2045], 0xD0);
    ::unsetenv("LC_ALL");
}

}  // namespace
}  // namespace cadmon::gui::testing
