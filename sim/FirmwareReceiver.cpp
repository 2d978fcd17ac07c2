#include "sim/FirmwareReceiver.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace sim {
namespace {

constexpr std::size_t kBlock = 256;
constexpr std::size_t kFrame = kBlock + 2;
constexpr std::uint8_t kFill = 0x55;
constexpr std::uint8_t kFrameMark = 0x2A;

bool AllFill(const std::uint8_t* block) {
    return std::all_of(block, block + kBlock, [](std::uint8_t b) { return b == kFill; });
}

std::string Format(const char* format, unsigned long long a, unsigned long long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// Collects the rest of a stream that starts with 1B <mark>.
class DownloadDecoder : public StreamDecoder {
public:
    explicit DownloadDecoder(std::uint8_t mark) : mark_(mark) {}

    DecodeResult Decode(ByteSpan pending, DecodeContext& context) override {
        if (!active_) {
            if (context.offset != 0 || !Accepts(context.kind)) return DecodeResult::NoMatch();
            if (pending.size() < 2) return context.final ? DecodeResult::NoMatch() : DecodeResult::NeedMore();
            if (pending[0] != 0x1B || pending[1] != mark_) return DecodeResult::NoMatch();
            active_ = true;
            body_.assign(pending.begin() + 2, pending.end());
            return DecodeResult::Consumed(pending.size(), true);
        }
        body_.insert(body_.end(), pending.begin(), pending.end());
        return DecodeResult::Consumed(pending.size(), true);
    }

    void Finish(DecodeContext& context) override {
        if (!active_) return;
        Report(context);
    }

protected:
    virtual bool Accepts(StreamKind kind) const = 0;
    virtual void Report(DecodeContext& context) = 0;
    std::vector<std::uint8_t> body_;

private:
    std::uint8_t mark_;
    bool active_ = false;
};

class FirmwareDecoder : public DownloadDecoder {
public:
    FirmwareDecoder() : DownloadDecoder(0x2B) {}

protected:
    bool Accepts(StreamKind) const override { return true; }
    void Report(DecodeContext& context) override {
        FirmwareReport report = CheckFirmware(context.kind, body_);
        context.lines.insert(context.lines.end(), report.lines.begin(), report.lines.end());
        if (report.ok) {
            // The printer starts the new firmware: nothing of its session state survives.
            context.state = PrinterState{};
            context.lines.push_back("printer restarted");
        }
    }
};

class FontDecoder : public DownloadDecoder {
public:
    FontDecoder() : DownloadDecoder(0x1D) {}

protected:
    bool Accepts(StreamKind kind) const override { return kind == StreamKind::Usb; }
    void Report(DecodeContext& context) override {
        auto lines = CheckFont(body_);
        context.lines.insert(context.lines.end(), lines.begin(), lines.end());
    }
};

}  // namespace

FirmwareReport CheckFirmware(StreamKind kind, const std::vector<std::uint8_t>& body) {
    FirmwareReport report;
    auto fail = [&](const std::string& why) {
        report.lines.push_back("firmware received: " + why);
        return report;
    };
    const bool usb = kind == StreamKind::Usb;
    const std::size_t trailerBlocks = usb ? 2 : 3;
    const std::size_t sumBytes = usb ? 4 : 0;
    if (body.size() < sumBytes) return fail(Format("stream too short (%llu bytes after 1B 2B)", body.size()));
    const std::size_t blockBytes = body.size() - sumBytes;
    if (blockBytes % kBlock != 0) {
        return fail(Format("%llu bytes are not whole 256-byte blocks (%llu bytes left over)", blockBytes,
                           blockBytes % kBlock));
    }
    const std::size_t blocks = blockBytes / kBlock;
    if (blocks < trailerBlocks) return fail(Format("%llu blocks, trailer missing", blocks));
    for (std::size_t i = blocks - trailerBlocks; i < blocks; ++i) {
        if (!AllFill(body.data() + i * kBlock)) {
            return fail(Format("trailer block %llu of %llu is not all 55", i - (blocks - trailerBlocks) + 1,
                               trailerBlocks));
        }
    }
    std::size_t image = blocks - trailerBlocks;
    if (usb) {
        if (image % 2 != 0) return fail(Format("%llu blocks before the trailer, padding missing", image));
        // An all-55 block at the end of an even count is the padding of an odd image.
        if (image > 0 && AllFill(body.data() + (image - 1) * kBlock)) {
            report.paddingBlocks = 1;
            --image;
        }
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < blockBytes; ++i) sum += body[i];
        const std::uint8_t* s = body.data() + blockBytes;
        report.checksum = std::uint32_t{s[0]} | (std::uint32_t{s[1]} << 8) | (std::uint32_t{s[2]} << 16) |
                          (std::uint32_t{s[3]} << 24);
        report.imageBlocks = image;
        if (report.checksum != sum) {
            return fail(Format("%llu blocks, checksum wrong: received 0x%08llx", image, report.checksum) +
                        Format(", computed 0x%08llx", sum));
        }
        report.lines.push_back(Format("firmware detail: %llu image blocks, %llu padding, 2 trailer", image,
                                      report.paddingBlocks) +
                               Format(", checksum 0x%08llx", sum));
    } else {
        report.imageBlocks = image;
        report.lines.push_back(Format("firmware detail: %llu image blocks, 3 trailer, no checksum on TCP", image));
    }
    report.ok = true;
    report.lines.push_back(Format("firmware received: %llu blocks, checksum ok", report.imageBlocks));
    return report;
}

std::vector<std::string> CheckFont(const std::vector<std::uint8_t>& body, bool* ok) {
    std::vector<std::string> lines;
    const std::size_t frames = body.size() / kFrame;
    bool good = true;
    for (std::size_t i = 0; i < frames && good; ++i) {
        const std::uint8_t* f = body.data() + i * kFrame;
        if (f[0] != kFrameMark || f[kFrame - 1] != kFrameMark) {
            lines.push_back(Format("font received: frame %llu lacks its 2A marks", i + 1));
            good = false;
        }
    }
    if (good && body.size() % kFrame != 0) {
        lines.push_back(Format("font received: %llu frames and %llu stray bytes", frames, body.size() % kFrame));
        good = false;
    }
    if (good) lines.push_back(Format("font received: %llu frames, ok", frames));
    if (ok) *ok = good;
    return lines;
}

std::unique_ptr<StreamDecoder> MakeFirmwareReceiver() { return std::make_unique<FirmwareDecoder>(); }
std::unique_ptr<StreamDecoder> MakeFontReceiver() { return std::make_unique<FontDecoder>(); }

}  // namespace sim
