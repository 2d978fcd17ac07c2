#include "sim/StatusRequests.h"

#include <algorithm>
#include <string_view>

#include "sim/Decoders.h"

namespace sim {
namespace {

constexpr std::uint8_t kDle = 0x10, kEot = 0x04, kEsc = 0x1B, kGs = 0x1D, kUs = 0x1F;

bool OneOf(std::uint8_t b, std::string_view set) { return set.find(static_cast<char>(b)) != std::string_view::npos; }

}  // namespace

std::vector<std::uint8_t>& StatusRequestFinder::Data(std::vector<Piece>& out) {
    if (out.empty() || out.back().request != 0) out.emplace_back();
    return out.back().data;
}

void StatusRequestFinder::Feed(ByteSpan bytes, std::vector<Piece>& out) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (claimed_) {
            auto& data = Data(out);
            data.insert(data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end());
            return;
        }
        if (skip_ > 0) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, bytes.size() - i));
            auto& data = Data(out);
            data.insert(data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                        bytes.begin() + static_cast<std::ptrdiff_t>(i + n));
            skip_ -= n;
            i += n;
            continue;
        }
        Take(bytes[i++], out);
    }
}

void StatusRequestFinder::Finish(std::vector<Piece>& out) {
    if (!head_.empty() && head_[0] == kDle) {
        auto& data = Data(out);
        data.insert(data.end(), head_.begin(), head_.end());
    }
    head_.clear();
}

void StatusRequestFinder::Take(std::uint8_t b, std::vector<Piece>& out) {
    head_.push_back(b);
    if (head_[0] == kDle) {
        // Held back until it is known whether a request begins here.
        if (head_.size() == 1 || (head_[1] == kEot && head_.size() == 2)) return;
        if (head_[1] == kEot && head_[2] >= 1 && head_[2] <= 4) {
            if (out.empty() || out.back().request != 0) out.emplace_back();
            out.back().request = head_[2];
            head_.clear();
            return;
        }
        // A 10 of its own; what followed it starts the next command.
        const std::vector<std::uint8_t> rest(head_.begin() + 1, head_.end());
        head_.clear();
        Data(out).push_back(kDle);
        started_ = true;
        for (const std::uint8_t next : rest) Take(next, out);
        return;
    }
    Data(out).push_back(b);
    const std::size_t length = CommandLength();
    if (length == 0) return;
    started_ = true;
    if (length >= head_.size()) {
        skip_ = length - head_.size();
        head_.clear();
        return;
    }
    // The command ended before the bytes looked at: they start the next one.
    const std::size_t extra = head_.size() - length;
    const std::vector<std::uint8_t> rest(head_.end() - static_cast<std::ptrdiff_t>(extra), head_.end());
    auto& data = Data(out);
    data.resize(data.size() - extra);
    head_.clear();
    for (const std::uint8_t next : rest) Take(next, out);
}

std::size_t StatusRequestFinder::CommandLength() {
    const auto& h = head_;
    const auto have = [&](std::size_t n) { return h.size() >= n; };
    switch (h[0]) {
        case 0x00:
            if (!wifiBodyNext_) return 1;
            wifiBodyNext_ = false;
            return 20;
        case kEsc:
            if (!have(2)) return 0;
            if (!started_ && (h[1] == 0x2B || h[1] == 0x1D)) {
                claimed_ = true;  // a firmware or font download: the rest of the stream is its data
                return 2;
            }
            switch (h[1]) {
                case 'p':  // ESC p m t1 t2, or the settings tools' six bytes ending in 00
                    if (!have(6)) return 0;
                    return h[5] == 0x00 ? 6 : 5;
                case '*': {
                    if (!have(5)) return 0;
                    const unsigned m = h[2];
                    if (m != 0 && m != 1 && m != 32 && m != 33) return 1;
                    return 5 + std::size_t{static_cast<unsigned>(h[3] | (h[4] << 8))} * (m >= 32 ? 3 : 1);
                }
                case '$':
                case '\\':
                    return have(4) ? 4 : 0;
                default:
                    if (OneOf(h[1], "!-3EGJMRUVadt{r ")) return have(3) ? 3 : 0;
                    if (OneOf(h[1], "@2<")) return 2;
                    return 1;
            }
        case kGs:
            if (!have(2)) return 0;
            if (h[1] == 'v') {
                if (!have(3)) return 0;
                if (h[2] != '0') return 1;
                if (!have(8)) return 0;
                if (h[3] % 48 > 3) return 1;
                return 8 + std::size_t{static_cast<unsigned>(h[4] | (h[5] << 8))} *
                               static_cast<unsigned>(h[6] | (h[7] << 8));
            }
            if (h[1] == 'V') {
                if (!have(3)) return 0;
                if (h[2] == 65 || h[2] == 66) return have(4) ? 4 : 0;
                return h[2] == 0 || h[2] == 1 || h[2] == 48 || h[2] == 49 ? 3 : 1;
            }
            if (OneOf(h[1], "!BHIabfhrw")) return have(3) ? 3 : 0;
            if (OneOf(h[1], "LPW")) return have(4) ? 4 : 0;
            return 1;
        case kUs: {
            if (!have(2)) return 0;
            if (h[1] != kEsc) return 1;
            const auto length = SettingsMessageLength(ByteSpan(h.data(), h.size()));
            if (!length) return 0;
            wifiBodyNext_ = h[2] == 0x69;  // the WIFI static header
            return *length;
        }
        default:
            return 1;
    }
}

}  // namespace sim
