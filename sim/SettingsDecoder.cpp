#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/ValueLists.h"
#include "sim/Decoders.h"
#include "sim/Receipt.h"

namespace sim {
namespace {

std::string Format(const char* format, unsigned value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// "<what> <v> (<entry>)", or the reason when v is no entry of the list.
std::string ListChoice(const char* what, std::uint8_t v, const protocol::ValueList& list) {
    if (v == 0xFF) return std::string(what) + " FF (nothing chosen)";
    const std::string line = std::string(what) + " " + std::to_string(v);
    if (v >= list.count) return line + " (not in the list)";
    const std::string_view entry = list.entries[v];
    return line + " (" + (entry.empty() ? std::string("empty entry") : std::string(entry)) + ")";
}

std::string Quoted(ByteSpan bytes) {
    std::string out = "'";
    for (std::uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '\'') {
            out += static_cast<char>(b);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", b);
            out += esc;
        }
    }
    return out + "'";
}

struct MessageForm {
    std::vector<std::uint8_t> prefix;
    std::size_t length;
    const char* name;  // for incomplete messages
    std::string (*describe)(ByteSpan message, PrinterState& state);
};

std::string DescribeWifiCredentials(ByteSpan m, PrinterState&) {
    // 1F 1B 68, name, 00, password, 00 ...
    const auto body = m.subspan(3);
    const auto nameEnd = std::find(body.begin(), body.end(), 0x00);
    const ByteSpan name(body.begin(), nameEnd);
    ByteSpan rest = nameEnd == body.end() ? ByteSpan{} : ByteSpan(nameEnd + 1, body.end());
    const auto passwordEnd = std::find(rest.begin(), rest.end(), 0x00);
    const ByteSpan password(rest.begin(), passwordEnd);
    return "WIFI name " + Quoted(name) + " password " + Quoted(password);
}

// The messages as the tools send them; lengths are exact.
const std::vector<MessageForm>& Forms() {
    static const std::vector<MessageForm> forms = {
        {{0x0A, 0x0A, 0x1D, 0x56, 0x01, 0x01}, 6, "cut", [](ByteSpan, PrinterState&) -> std::string { return "cut"; }},
        {{0x1B, 0x70}, 6, "cash drawer",
         [](ByteSpan m, PrinterState&) -> std::string {
             if (m[2] == 0x01 && m[3] == 0x01 && m[4] == 0x00 && m[5] == 0x00) return "cash drawer";
             return "cash drawer (" + HexBytes(m) + ")";
         }},
        {{0x1F, 0x1B, 0x64}, 23, "set IP",
         [](ByteSpan m, PrinterState&) {
             return "set IP " + Ipv4Text(&m[4]) + " mask " + Ipv4Text(&m[8]) + " gateway " + Ipv4Text(&m[18]);
         }},
        {{0x1F, 0x1B, 0x65}, 4, "DHCP",
         [](ByteSpan m, PrinterState&) -> std::string {
             if (m[3] == 0x01) return "DHCP on";
             if (m[3] == 0x00) return "DHCP off";
             return Format("DHCP %02X", m[3]);
         }},
        {{0x1F, 0x1B, 0x67}, 10, "set MAC", [](ByteSpan m, PrinterState&) { return "set MAC " + MacText(&m[3]); }},
        {{0x1F, 0x1B, 0x6A}, 6, "buzzer",
         [](ByteSpan m, PrinterState&) -> std::string {
             if (m[3] == 0xFF) return "buzzer FF (nothing chosen)";
             return "buzzer " + std::to_string(m[3]);
         }},
        {{0x1F, 0x1B, 0x6B}, 6, "blank feed",
         [](ByteSpan m, PrinterState&) -> std::string {
             if (m[3] == 0xFF) return "blank feed FF (nothing chosen)";
             const unsigned lines = m[3] + 1u;
             return "blank feed " + std::to_string(lines) + (lines == 1 ? " line" : " lines");
         }},
        {{0x1F, 0x1B, 0x01}, 7, "density",
         [](ByteSpan m, PrinterState&) -> std::string {
             if (m[6] == 0xFF) return "density FF (nothing chosen)";
             return "density " + std::to_string(m[6]);
         }},
        {{0x1F, 0x1B, 0x05}, 6, "code page",
         [](ByteSpan m, PrinterState&) { return ListChoice("code page", m[3], protocol::kCodePageList); }},
        {{0x1F, 0x1B, 0x66}, 6, "reprint",
         [](ByteSpan m, PrinterState&) -> std::string {
             if (m[3] == 0x00) return "reprint off";
             if (m[3] == 0x01) return "reprint on";
             return Format("reprint %02X", m[3]);
         }},
        {{0x1F, 0x1B, 0x6C}, 6, "character set",
         [](ByteSpan m, PrinterState&) { return ListChoice("character set", m[3], protocol::kCharacterSetList); }},
        {{0x1F, 0x1B, 0x6D}, 6, "print speed",
         [](ByteSpan m, PrinterState&) { return ListChoice("print speed", m[3], protocol::kPrintSpeedList); }},
        {{0x1F, 0x1B, 0x06}, 8, "USB identity",
         [](ByteSpan m, PrinterState&) {
             char text[64];
             std::snprintf(text, sizeof text, "USB identity vendor %04x product %04x", m[3] | (m[4] << 8),
                           m[5] | (m[6] << 8));
             return std::string(text);
         }},
        {{0x1F, 0x1B, 0x68}, 128, "WIFI name and password", DescribeWifiCredentials},
        {{0x1F, 0x1B, 0x69}, 3, "WIFI static header",
         [](ByteSpan, PrinterState& state) -> std::string {
             state.wifiBodyExpected = true;
             return "WIFI static header";
         }},
    };
    return forms;
}

// The 20-byte body that follows a WIFI static header, possibly on the next connection.
const MessageForm kWifiStaticBody = {
    {0x00}, 20, "WIFI static body", [](ByteSpan m, PrinterState&) {
        return "WIFI static IP " + Ipv4Text(&m[1]) + " mask " + Ipv4Text(&m[5]) + " gateway " + Ipv4Text(&m[15]);
    }};

class SettingsDecoder final : public StreamDecoder {
public:
    DecodeResult Decode(ByteSpan pending, DecodeContext& context) override {
        if (context.state.wifiBodyExpected && pending[0] == 0x00) {
            const DecodeResult r = Try(kWifiStaticBody, pending, context);
            if (r.kind == DecodeResult::Kind::Consumed) context.state.wifiBodyExpected = false;
            if (r.kind != DecodeResult::Kind::NoMatch) return r;
        }
        for (const auto& form : Forms()) {
            const DecodeResult r = Try(form, pending, context);
            if (r.kind == DecodeResult::Kind::Consumed && form.name != std::string_view("WIFI static header")) {
                context.state.wifiBodyExpected = false;
            }
            if (r.kind != DecodeResult::Kind::NoMatch) return r;
        }
        // A vendor command this printer does not know: its length is unknown,
        // so only the three bytes that name it are taken.
        if (pending[0] == 0x1F && (pending.size() < 2 || pending[1] == 0x1B)) {
            if (pending.size() < 3) return context.final ? DecodeResult::NoMatch() : DecodeResult::NeedMore();
            context.state.wifiBodyExpected = false;
            context.lines.push_back("unknown command: " + HexBytes(pending.first(3)));
            return DecodeResult::Consumed(3);
        }
        return DecodeResult::NoMatch();
    }

private:
    // The two printing messages of the tools on the paper: the cut test
    // (two line feeds, GS V 1: a partial cut) and the drawer pulse (ESC p m).
    static void Print(const MessageForm& form, ByteSpan m, Paper& paper, std::vector<std::string>& lines) {
        const std::string_view name = form.name;
        if (name == "cut") {
            paper.LineFeed();
            paper.LineFeed();
            paper.Cut(true, 0, lines);
        } else if (name == "cash drawer") {
            paper.DrawerPulse((m[2] & 1u) ? 5 : 2);
        }
    }

    static DecodeResult Try(const MessageForm& form, ByteSpan pending, DecodeContext& context) {
        const std::size_t common = std::min(pending.size(), form.prefix.size());
        if (!std::equal(form.prefix.begin(), form.prefix.begin() + static_cast<std::ptrdiff_t>(common),
                        pending.begin())) {
            return DecodeResult::NoMatch();
        }
        if (pending.size() >= form.length) {
            context.lines.push_back(form.describe(pending.first(form.length), context.state));
            if (context.paper) Print(form, pending.first(form.length), *context.paper, context.lines);
            return DecodeResult::Consumed(form.length);
        }
        if (!context.final) return DecodeResult::NeedMore();
        // The stream ended inside the message.
        if (common < form.prefix.size()) return DecodeResult::NoMatch();
        context.lines.push_back(std::string("incomplete ") + form.name + " (" + std::to_string(pending.size()) +
                                " of " + std::to_string(form.length) + " bytes): " + HexBytes(pending));
        return DecodeResult::Consumed(pending.size());
    }
};

}  // namespace

std::optional<std::size_t> SettingsMessageLength(ByteSpan head) {
    if (head.size() < 3) return std::nullopt;
    for (const auto& form : Forms()) {
        // Compares no further than the bytes at hand: a head that begins a
        // longer prefix needs more bytes before it can be told.
        const std::size_t common = std::min(head.size(), form.prefix.size());
        if (!std::equal(form.prefix.begin(), form.prefix.begin() + static_cast<std::ptrdiff_t>(common), head.begin()))
            continue;
        if (common < form.prefix.size()) return std::nullopt;
        return form.length;
    }
    return 3;  // an unknown vendor command: the three bytes that name it
}

std::unique_ptr<StreamDecoder> MakeSettingsDecoder() { return std::make_unique<SettingsDecoder>(); }

}  // namespace sim
