#include <algorithm>
#include <array>
#include <cstdio>

#include "sim/Decoders.h"
#include "sim/Receipt.h"

namespace sim {
namespace {

// The cut message starts with two line feeds; a line feed that may begin it
// does not end a text line.
constexpr std::array<std::uint8_t, 4> kCutStart = {0x0A, 0x0A, 0x1D, 0x56};

enum class CutMatch { No, Partial, Yes };

CutMatch MatchCut(ByteSpan bytes) {
    const std::size_t n = std::min(bytes.size(), kCutStart.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n), kCutStart.begin())) {
        return CutMatch::No;
    }
    return n == kCutStart.size() ? CutMatch::Yes : CutMatch::Partial;
}

bool IsTextByte(std::uint8_t b) { return b >= 0x20 ? b != 0x7F : (b == '\t' || b == '\r'); }

// Printable ASCII as it is; tab and carriage return escaped; other bytes
// (the printer's code page) as \xNN.
std::string Render(ByteSpan text) {
    if (!text.empty() && text.back() == '\r') text = text.first(text.size() - 1);
    std::string out = "text: ";
    for (std::uint8_t b : text) {
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\r') {
            out += "\\r";
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            out += esc;
        }
    }
    return out;
}

class TextDecoder final : public StreamDecoder {
public:
    DecodeResult Decode(ByteSpan p, DecodeContext& context) override {
        for (std::size_t i = 0; i < p.size(); ++i) {
            const std::uint8_t b = p[i];
            if (b == '\n') {
                if (i > 0) {
                    const CutMatch cut = MatchCut(p.subspan(i));
                    if (cut == CutMatch::Yes) return Line(p.first(i), i, context);
                    if (cut == CutMatch::Partial && !context.final) return DecodeResult::NeedMore();
                }
                return Line(p.first(i), i + 1, context);
            }
            if (!IsTextByte(b)) {
                if (i == 0) return DecodeResult::NoMatch();
                return Line(p.first(i), i, context);
            }
        }
        // A line without its line feed yet.
        if (!context.final) return DecodeResult::NeedMore();
        return Line(p, p.size(), context);
    }

private:
    static DecodeResult Line(ByteSpan text, std::size_t consumed, DecodeContext& context) {
        context.lines.push_back(Render(text));
        if (context.paper) {
            context.paper->Text(text);
            if (consumed > text.size()) context.paper->LineFeed();  // the line feed was part of it
        }
        return DecodeResult::Consumed(consumed);
    }
};

}  // namespace

std::unique_ptr<StreamDecoder> MakeTextDecoder() { return std::make_unique<TextDecoder>(); }

}  // namespace sim
