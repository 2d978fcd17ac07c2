#include "settings-tool/gui/RandomMac.h"

namespace cadmon::gui {

MacBytes GenerateRandomMac(std::int64_t secondsSinceEpoch) {
    std::uint32_t state = static_cast<std::uint32_t>(secondsSinceEpoch);
    auto next = [&state]() -> std::uint32_t {
        state = state * 214013u + 2531011u;
        return (state >> 16) & 0x7FFFu;
    };
    MacBytes mac{};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::uint32_t r = next();
        mac[2 * i] = static_cast<std::uint8_t>(r % 256);
        mac[2 * i + 1] = static_cast<std::uint8_t>(r / 256);
    }
    return mac;
}

}  // namespace cadmon::gui
