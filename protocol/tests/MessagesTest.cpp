// The settings messages byte for byte, the hex-box rule and the value lists.
#include <gtest/gtest.h>

#include <string>

#include "protocol/SettingsCommands.h"
#include "protocol/ValueLists.h"
#include "tests/support/HexMatch.h"

using namespace protocol;
using testhex::SameBytes;

namespace {

Mac MacFromBoxes(std::initializer_list<const char*> boxes) {
    Mac mac{};
    std::size_t i = 0;
    for (const char* box : boxes) {
        auto byte = HexBoxToByte(box);
        EXPECT_TRUE(byte.has_value()) << "box '" << box << "' rejected";
        mac[i++] = byte.value_or(0xEE);
    }
    return mac;
}

Bytes Padded(Bytes head, std::size_t length) {
    head.resize(length, 0x00);
    return head;
}

}  // namespace

TEST(SettingsMessages, EveryMessageByteForByte) {
    struct Case {
        const char* what;
        Bytes built;
        Bytes expected;
    };
    const Ipv4 ip{192, 168, 1, 199}, mask{255, 255, 255, 0}, gateway{192, 168, 0, 1};
    const Case cases[] = {
        {"cut", CutTest(), {0x0A, 0x0A, 0x1D, 0x56, 0x01, 0x01}},
        {"cash drawer", CashDrawer(), {0x1B, 0x70, 0x01, 0x01, 0x00, 0x00}},
        {"DHCP on", Dhcp(true), {0x1F, 0x1B, 0x65, 0x01}},
        {"DHCP off", Dhcp(false), {0x1F, 0x1B, 0x65, 0x00}},
        {"set IP", SetIp(ip, mask, gateway),
         {0x1F, 0x1B, 0x64, 0x00, 0xC0, 0xA8, 0x01, 0xC7, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0x00}},
        {"set IP, blank fields", SetIp({}, {}, {}), Padded({0x1F, 0x1B, 0x64, 0x00}, 23)},
        {"set MAC from boxes 0,1a,b,FF,7,c0", SetMac(MacFromBoxes({"0", "1a", "b", "FF", "7", "c0"})),
         {0x1F, 0x1B, 0x67, 0x00, 0x1A, 0x0B, 0xFF, 0x07, 0xC0, 0x00}},
        {"buzzer 3", Buzzer(3), {0x1F, 0x1B, 0x6A, 0x03, 0x00, 0x00}},
        {"blank feed, nothing chosen", BlankFeed(-1), {0x1F, 0x1B, 0x6B, 0xFF, 0x00, 0x00}},
        {"blank feed '1行'", BlankFeed(kBlankFeedList.Find("1行")), {0x1F, 0x1B, 0x6B, 0x00, 0x00, 0x00}},
        {"density '12'", Density(kDensityList.Find("12")), {0x1F, 0x1B, 0x01, 0x00, 0x00, 0x00, 0x0C}},
        {"code page pc1001", CodePage(kCodePageList.Find("pc1001")), {0x1F, 0x1B, 0x05, 0x17, 0x00, 0x00}},
        {"reprint on", Reprint(1), {0x1F, 0x1B, 0x66, 0x01, 0x00, 0x00}},
        {"character set EUC-KR", CharacterSet(kCharacterSetList.Find("EUC-KR")),
         {0x1F, 0x1B, 0x6C, 0x03, 0x00, 0x00}},
        {"print speed, nothing chosen", PrintSpeed(-1), {0x1F, 0x1B, 0x6D, 0xFF, 0x00, 0x00}},
        {"print speed, empty entry", PrintSpeed(kPrintSpeedList.Find("")), {0x1F, 0x1B, 0x6D, 0x05, 0x00, 0x00}},
        {"USB identity X", UsbIdentityX(), {0x1F, 0x1B, 0x06, 0xC9, 0x1F, 0x16, 0x20, 0x00}},
        {"USB identity G", UsbIdentityG(), {0x1F, 0x1B, 0x06, 0x71, 0x04, 0x55, 0x00, 0x00}},
        {"WIFI static header", WifiStaticHeader(), {0x1F, 0x1B, 0x69}},
        {"WIFI static body", WifiStaticBody({10, 0, 0, 7}, mask, {10, 0, 0, 1}),
         {0x00, 0x0A, 0x00, 0x00, 0x07, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x0A, 0x00, 0x00, 0x01, 0x00}},
    };
    for (const auto& c : cases) EXPECT_TRUE(SameBytes(c.expected, c.built)) << c.what;
}

TEST(SettingsMessages, WifiCredentialsLayoutAndLimit) {
    const auto message = WifiCredentials("ab", "xyz");
    ASSERT_TRUE(message.has_value());
    Bytes expected(kWifiMessageSize, 0x00);
    const Bytes head{0x1F, 0x1B, 0x68, 'a', 'b', 0x00, 'x', 'y', 'z'};
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_TRUE(SameBytes(expected, *message));

    // 124 bytes of name and password fill the message exactly; one more does not fit.
    const std::string name(60, 'n'), password(64, 'p');
    const auto full = WifiCredentials(name, password);
    ASSERT_TRUE(full.has_value());
    ASSERT_EQ(full->size(), kWifiMessageSize);
    EXPECT_EQ((*full)[3 + 59], 'n');
    EXPECT_EQ((*full)[3 + 60], 0x00);
    EXPECT_EQ((*full)[4 + 60], 'p');
    EXPECT_EQ((*full)[127], 'p');
    EXPECT_FALSE(WifiCredentials(name + "n", password).has_value());
    EXPECT_FALSE(WifiCredentials("", std::string(125, 'p')).has_value());
    EXPECT_TRUE(WifiCredentials("", "").has_value());
}

TEST(SettingsMessages, HexBoxRule) {
    EXPECT_EQ(HexBoxToByte("0"), 0x00);
    EXPECT_EQ(HexBoxToByte("b"), 0x0B);
    EXPECT_EQ(HexBoxToByte("1a"), 0x1A);
    EXPECT_EQ(HexBoxToByte("fF"), 0xFF);
    EXPECT_EQ(HexBoxToByte("09"), 0x09);
    for (const char* bad : {"", "g", "1g", "123", " 1", "1 ", "-1", "+1", "0x", "\xC3\xA9"}) {
        EXPECT_FALSE(HexBoxToByte(bad).has_value()) << "box '" << bad << "' accepted";
    }
}

TEST(ValueLists, ListsAreTheProtocolTables) {
    EXPECT_EQ(kBuzzerList.count, 6);
    EXPECT_EQ(kBuzzerList.preselected, 0);
    EXPECT_EQ(kBlankFeedList.count, 5);
    EXPECT_EQ(kBlankFeedList.preselected, -1);
    EXPECT_EQ(kBlankFeedList.entries[4], "5行");
    EXPECT_EQ(kDensityList.count, 13);
    EXPECT_EQ(kDensityList.preselected, 1);
    EXPECT_EQ(kReprintList.Find("开启重打"), 1);
    EXPECT_EQ(kCharacterSetList.count, 5);
    EXPECT_EQ(kCharacterSetList.Find("Arabic"), 4);
    EXPECT_EQ(kPrintSpeedList.count, 6);
    EXPECT_EQ(kPrintSpeedList.entries[5], "");
    EXPECT_EQ(kEncodingList.count, 2);

    ASSERT_EQ(kCodePageList.count, 24);
    EXPECT_EQ(kCodePageList.preselected, 0);
    EXPECT_EQ(kCodePageList.entries[0x00], "PC437(Std.Europe)");
    EXPECT_EQ(kCodePageList.entries[0x08], "ISO8859-8,Hebrew)");
    EXPECT_EQ(kCodePageList.entries[0x0C], "PC866(cyrillic#2)");
    EXPECT_EQ(kCodePageList.entries[0x11], "Arabic");
    EXPECT_EQ(kCodePageList.entries[0x17], "pc1001");

    // Find takes the entry text first, then a decimal position.
    EXPECT_EQ(kBlankFeedList.Find("2"), 2);
    EXPECT_EQ(kCodePageList.Find("23"), 23);
    EXPECT_EQ(kCodePageList.Find("24"), -1);
    EXPECT_EQ(kCodePageList.Find("-1"), -1);
    EXPECT_EQ(kCodePageList.Find("pc437"), -1);
    EXPECT_EQ(kDensityList.Find(""), -1);
}
