#include <string>

#include "sim/Decoders.h"
#include "sim/Receipt.h"

namespace sim {
namespace {

constexpr std::uint8_t kEsc = 0x1B, kGs = 0x1D;

std::string Plural(unsigned n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The printing commands of ESC/POS that the raster driver and receipt
// programs send, one line each; what they print goes on the stream's paper.
class EscPosDecoder final : public StreamDecoder {
public:
    DecodeResult Decode(ByteSpan p, DecodeContext& context) override {
        if (p[0] != kEsc && p[0] != kGs) return DecodeResult::NoMatch();
        if (p.size() < 2) return context.final ? DecodeResult::NoMatch() : DecodeResult::NeedMore();
        return p[0] == kEsc ? Esc(p, context) : Gs(p, context);
    }

private:
    // `length` bytes make the command: NeedMore until they are there; at the
    // end of the stream the rest is reported as an incomplete command.
    static bool Complete(ByteSpan p, std::size_t length, const std::string& name, DecodeContext& context,
                         DecodeResult& result) {
        if (p.size() >= length) return true;
        if (!context.final) {
            result = DecodeResult::NeedMore();
        } else {
            context.lines.push_back("incomplete " + name + " (" + std::to_string(p.size()) + " of " +
                                    std::to_string(length) + " bytes)");
            result = DecodeResult::Consumed(p.size());
        }
        return false;
    }

    static DecodeResult Esc(ByteSpan p, DecodeContext& context) {
        Paper* paper = context.paper;
        DecodeResult r;
        switch (p[1]) {
            case '@':
                context.lines.push_back("initialize");
                if (paper) paper->Initialize(context.lines);
                return DecodeResult::Consumed(2);
            case 'J':
                if (!Complete(p, 3, "feed", context, r)) return r;
                context.lines.push_back("feed " + Plural(p[2], "dot", "dots"));
                if (paper) paper->Feed(p[2]);
                return DecodeResult::Consumed(3);
            case 'd':
                if (!Complete(p, 3, "line feed", context, r)) return r;
                context.lines.push_back("feed " + Plural(p[2], "line", "lines"));
                if (paper) {
                    paper->Feed(0);
                    for (unsigned i = 0; i < p[2]; ++i) paper->LineFeed();
                }
                return DecodeResult::Consumed(3);
            case '2':
                context.lines.push_back("line spacing default");
                if (paper) paper->SetLineSpacing(std::nullopt);
                return DecodeResult::Consumed(2);
            case '3':
                if (!Complete(p, 3, "line spacing", context, r)) return r;
                context.lines.push_back("line spacing " + Plural(p[2], "dot", "dots"));
                if (paper) paper->SetLineSpacing(p[2]);
                return DecodeResult::Consumed(3);
            case 'p': {
                // The settings tools' drawer message is six bytes, ending in 00;
                // the settings decoder reads that one.
                if (p.size() < 6 && !context.final) return DecodeResult::NeedMore();
                if (p.size() >= 6 && p[5] == 0x00) return DecodeResult::NoMatch();
                if (!Complete(p, 5, "drawer pulse", context, r)) return r;
                const int pin = (p[2] & 1u) ? 5 : 2;
                context.lines.push_back("drawer pulse pin " + std::to_string(pin) + " (" + std::to_string(p[3] * 2) +
                                        " ms on, " + std::to_string(p[4] * 2) + " ms off)");
                if (paper) paper->DrawerPulse(pin);
                return DecodeResult::Consumed(5);
            }
            case '*': {
                if (!Complete(p, 5, "column graphics", context, r)) return r;
                const unsigned m = p[2];
                if (m != 0 && m != 1 && m != 32 && m != 33) return DecodeResult::NoMatch();
                const unsigned columns = p[3] | (p[4] << 8);
                const unsigned bytesPerColumn = m >= 32 ? 3 : 1;
                const std::string name = "column graphics " + std::to_string(bytesPerColumn * 8) + "-dot " +
                                         (m & 1u ? "double" : "single") + " density, " +
                                         Plural(columns, "column", "columns");
                if (!Complete(p, 5 + std::size_t{columns} * bytesPerColumn, name, context, r)) return r;
                context.lines.push_back(name);
                // Single density doubles each column; 8-dot graphics are 3 dots per dot tall.
                if (paper) paper->Columns(p.subspan(5), columns, bytesPerColumn, m & 1u ? 1 : 2, m >= 32 ? 1 : 3);
                return DecodeResult::Consumed(5 + std::size_t{columns} * bytesPerColumn);
            }
            default:
                return DecodeResult::NoMatch();
        }
    }

    static DecodeResult Gs(ByteSpan p, DecodeContext& context) {
        Paper* paper = context.paper;
        DecodeResult r;
        if (p[1] == 'v') {
            if (p.size() >= 3 && p[2] != '0') return DecodeResult::NoMatch();
            if (!Complete(p, 8, "raster", context, r)) return r;
            const unsigned mode = p[3] % 48;
            if (mode > 3) return DecodeResult::NoMatch();
            const unsigned widthBytes = p[4] | (p[5] << 8), height = p[6] | (p[7] << 8);
            const unsigned sx = mode & 1u ? 2 : 1, sy = mode & 2u ? 2 : 1;
            std::string name = "raster " + std::to_string(widthBytes * 8) + " x " + std::to_string(height) + " dots";
            if (sx > 1 || sy > 1) name += sx > 1 && sy > 1 ? " (quadruple)" : sx > 1 ? " (double width)" : " (double height)";
            const std::size_t length = 8 + std::size_t{widthBytes} * height;
            if (!Complete(p, length, name, context, r)) return r;
            context.lines.push_back(name);
            if (paper) paper->Raster(p.subspan(8, length - 8), widthBytes, height, sx, sy);
            return DecodeResult::Consumed(length);
        }
        if (p[1] == 'V') {
            if (!Complete(p, 3, "cut", context, r)) return r;
            const unsigned m = p[2];
            bool partial = false;
            unsigned feed = 0;
            std::size_t length = 3;
            if (m == 0 || m == 48 || m == 1 || m == 49) {
                partial = m % 48 == 1;
            } else if (m == 65 || m == 66) {
                // Feed to the cutter (and n dots more), then cut.
                if (!Complete(p, 4, "cut", context, r)) return r;
                partial = m == 66;
                feed = p[3];
                length = 4;
            } else {
                return DecodeResult::NoMatch();
            }
            std::string line = partial ? "partial cut" : "full cut";
            if (feed > 0) line += " after " + Plural(feed, "dot", "dots") + " of feed";
            context.lines.push_back(line);
            if (paper) paper->Cut(partial, feed, context.lines);
            return DecodeResult::Consumed(length);
        }
        return DecodeResult::NoMatch();
    }
};

}  // namespace

std::unique_ptr<StreamDecoder> MakeEscPosDecoder() { return std::make_unique<EscPosDecoder>(); }

}  // namespace sim
