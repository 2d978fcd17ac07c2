#pragma once
// Decoding of the byte stream that a printer receives on one TCP connection
// or on the USB device node, into one readable line per message.
//
// Extension point: a stream is decoded by a list of StreamDecoder objects,
// created fresh for every stream from the factories of DefaultDecoders()
// (StreamDecoders.cpp). A new kind of stream content (for example a firmware
// download that starts with 1B 2B) is a new StreamDecoder plus one entry in
// that list; a decoder may claim the rest of its stream (see DecodeResult).
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {

using ByteSpan = std::span<const std::uint8_t>;

enum class StreamKind { Tcp, Usb };

// State of the simulated printer that outlives a single stream: the printer
// tools send some settings as two messages on two separate connections.
struct PrinterState {
    bool wifiBodyExpected = false;  // a WIFI static header came; the 20-byte body follows
};

class Paper;
class ReceiptBook;

struct DecodeContext {
    StreamKind kind;
    const std::string& source;   // e.g. "tcp 3", "usb lp0"
    std::uint64_t offset;        // bytes of this stream consumed before `pending` (0: stream start)
    bool final;                  // the stream has ended; no further bytes will come
    PrinterState& state;
    std::vector<std::string>& lines;  // decoded lines of a Consumed result go here
    // What the stream prints goes on this paper (null when receipts are not rendered).
    Paper* paper = nullptr;
};

struct DecodeResult {
    enum class Kind {
        NoMatch,   // not this decoder's message
        NeedMore,  // may be this decoder's message once more bytes arrive (never returned when final)
        Consumed,  // `length` bytes (> 0) decoded; lines appended to the context
    };
    Kind kind = Kind::NoMatch;
    std::size_t length = 0;
    // With Consumed: every further byte of this stream goes to this decoder
    // only, until it returns NoMatch (which hands the stream back).
    bool claimStream = false;

    static DecodeResult NoMatch() { return {}; }
    static DecodeResult NeedMore() { return {Kind::NeedMore, 0, false}; }
    static DecodeResult Consumed(std::size_t length, bool claim = false) {
        return {Kind::Consumed, length, claim};
    }
};

class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;
    // Looks at the unconsumed bytes, which start at a message boundary.
    // Lines may be added only together with a Consumed result.
    virtual DecodeResult Decode(ByteSpan pending, DecodeContext& context) = 0;
    // The stream has ended (after the last Decode); a claiming decoder writes
    // its summary here. Called on every decoder of the stream.
    virtual void Finish(DecodeContext& context) { (void)context; }
};

using DecoderFactory = std::function<std::unique_ptr<StreamDecoder>()>;

// The decoders of every stream, in priority order: the first decoder that
// consumes or needs more bytes at a position wins it.
std::vector<DecoderFactory> DefaultDecoders();

// One stream (connection or USB writer session): buffers bytes that arrive in
// arbitrary pieces and decodes every complete message. Bytes no decoder takes
// are shown as "hex: .." lines of at most 16 bytes.
class ByteStream {
public:
    ByteStream(StreamKind kind, std::string source, PrinterState& state,
               const std::vector<DecoderFactory>& factories = DefaultDecoders());
    ~ByteStream();
    // Appends bytes; returns the lines of the messages now complete.
    std::vector<std::string> Feed(ByteSpan bytes);
    // The stream has ended: decodes the rest (incomplete messages included).
    std::vector<std::string> Close();
    // Renders what the stream prints into receipts of `book` (see Receipt.h).
    void PrintOn(ReceiptBook& book);

    std::uint64_t TotalBytes() const { return total_; }
    const std::string& Source() const { return source_; }

private:
    void Run(bool final, std::vector<std::string>& out);
    void FlushUnknown(std::vector<std::string>& out);

    StreamKind kind_;
    std::string source_;
    PrinterState& state_;
    std::vector<std::unique_ptr<StreamDecoder>> decoders_;
    StreamDecoder* owner_ = nullptr;  // decoder that claimed the stream
    std::unique_ptr<Paper> paper_;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> unknown_;
    std::uint64_t consumed_ = 0;
    std::uint64_t total_ = 0;
    bool closed_ = false;
};

// Formatting helpers shared by the decoders.
std::string HexBytes(ByteSpan bytes);                      // "1F 1B 64"
std::string Ipv4Text(const std::uint8_t* fourBytes);      // "192.168.0.1"
std::string MacText(const std::uint8_t* sixBytes);        // "00:1a:0b:ff:07:c0"

}  // namespace sim
