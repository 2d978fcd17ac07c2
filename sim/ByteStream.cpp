#include <cstdio>

#include "sim/StreamDecoder.h"

#include "sim/Receipt.h"

namespace sim {

namespace {
constexpr std::size_t kHexLineBytes = 16;
}

std::string HexBytes(ByteSpan bytes) {
    std::string out;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        if (i) out += ' ';
        out += digits;
    }
    return out;
}

std::string Ipv4Text(const std::uint8_t* b) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

std::string MacText(const std::uint8_t* b) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return text;
}

ByteStream::ByteStream(StreamKind kind, std::string source, PrinterState& state,
                       const std::vector<DecoderFactory>& factories)
    : kind_(kind), source_(std::move(source)), state_(state) {
    for (const auto& make : factories) decoders_.push_back(make());
}

ByteStream::~ByteStream() = default;

void ByteStream::PrintOn(ReceiptBook& book) { paper_ = std::make_unique<Paper>(book); }

std::vector<std::string> ByteStream::Feed(ByteSpan bytes) {
    std::vector<std::string> out;
    if (closed_ || bytes.empty()) return out;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    total_ += bytes.size();
    Run(false, out);
    return out;
}

std::vector<std::string> ByteStream::Close() {
    std::vector<std::string> out;
    if (closed_) return out;
    Run(true, out);
    FlushUnknown(out);
    std::vector<std::string> lines;
    DecodeContext context{kind_, source_, consumed_, true, state_, lines, paper_.get()};
    for (auto& decoder : decoders_) decoder->Finish(context);
    if (paper_) paper_->End(lines);
    out.insert(out.end(), lines.begin(), lines.end());
    closed_ = true;
    return out;
}

void ByteStream::FlushUnknown(std::vector<std::string>& out) {
    if (unknown_.empty()) return;
    out.push_back("hex: " + HexBytes(unknown_));
    unknown_.clear();
}

void ByteStream::Run(bool final, std::vector<std::string>& out) {
    std::size_t pos = 0;
    while (pos < buffer_.size()) {
        const ByteSpan pending(buffer_.data() + pos, buffer_.size() - pos);
        std::vector<std::string> lines;
        DecodeContext context{kind_, source_, consumed_ + pos, final, state_, lines, paper_.get()};

        if (owner_ != nullptr) {
            const DecodeResult r = owner_->Decode(pending, context);
            if (r.kind == DecodeResult::Kind::Consumed && r.length > 0) {
                out.insert(out.end(), lines.begin(), lines.end());
                pos += std::min(r.length, pending.size());
                if (!r.claimStream) owner_ = nullptr;
                continue;
            }
            if (r.kind == DecodeResult::Kind::NeedMore && !final) break;
            owner_ = nullptr;  // handed back
            if (r.kind == DecodeResult::Kind::NeedMore) continue;
        }

        bool waiting = false;
        bool taken = false;
        for (auto& decoder : decoders_) {
            lines.clear();
            const DecodeResult r = decoder->Decode(pending, context);
            if (r.kind == DecodeResult::Kind::Consumed && r.length > 0) {
                FlushUnknown(out);
                out.insert(out.end(), lines.begin(), lines.end());
                pos += std::min(r.length, pending.size());
                if (r.claimStream) owner_ = decoder.get();
                taken = true;
                break;
            }
            if (r.kind == DecodeResult::Kind::NeedMore && !final) {
                // A decoder of higher priority may still match: wait for it.
                waiting = true;
                break;
            }
        }
        if (taken) continue;
        if (waiting) break;
        unknown_.push_back(buffer_[pos]);
        ++pos;
        if (unknown_.size() >= kHexLineBytes) FlushUnknown(out);
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
    consumed_ += pos;
}

}  // namespace sim
