#include "protocol/Port.h"

#include <gtest/gtest.h>

#include <optional>

TEST(Port, DigitsOnlyUpTo65535AndZeroWhereAllowed) {
    using protocol::ParsePort;
    using protocol::ZeroPort;
    struct Case {
        const char* text;
        std::optional<std::uint16_t> port;      // ZeroPort::Refused
        std::optional<std::uint16_t> orZero;    // ZeroPort::Allowed
    };
    const Case cases[] = {
        {"9100", 9100, 9100}, {"1", 1, 1}, {"65535", 65535, 65535}, {"0", std::nullopt, 0},
        {"65536", std::nullopt, std::nullopt}, {"99999999999", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt}, {"-1", std::nullopt, std::nullopt}, {"+80", std::nullopt, std::nullopt},
        {" 80", std::nullopt, std::nullopt}, {"80 ", std::nullopt, std::nullopt}, {"80x", std::nullopt, std::nullopt},
        {"0x50", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParsePort(c.text), c.port) << '"' << c.text << '"';
        EXPECT_EQ(ParsePort(c.text, ZeroPort::Allowed), c.orZero) << '"' << c.text << '"';
    }
    EXPECT_EQ(protocol::kRawTcpPort, 9100);
}
