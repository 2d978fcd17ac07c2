// The status answers as literal bytes, one bit at a time in both directions,
// so that a wrong bit in the decoder cannot hide behind the same wrong bit in
// the encoder.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "protocol/PrinterStatus.h"

using protocol::PrinterStatus;

namespace {

PrinterStatus Known(void (*set)(PrinterStatus&)) {
    PrinterStatus s;
    s.known = true;
    s.online = true;
    if (set) set(s);
    return s;
}

}  // namespace

TEST(PrinterStatus, AnswerBytesAndFactsBothWays) {
    // encodes: a printer in that state answers exactly these bytes (the other
    // rows hold one bit alone, which a printer sets together with others).
    struct Case {
        const char* what;
        std::array<std::uint8_t, 4> answers;  // to requests 1..4
        PrinterStatus status;
        bool encodes;
    } cases[] = {
        {"all ready", {0x12, 0x12, 0x12, 0x12}, Known(nullptr), true},
        {"n1 bit 3: offline", {0x1A, 0x12, 0x12, 0x12}, Known([](PrinterStatus& s) { s.online = false; }), true},
        {"n1 bit 2: drawer pin high", {0x16, 0x12, 0x12, 0x12}, Known([](PrinterStatus& s) { s.drawerOpen = true; }),
         true},
        {"n2 bit 2: cover open", {0x12, 0x16, 0x12, 0x12}, Known([](PrinterStatus& s) { s.coverOpen = true; }), false},
        {"n2 bit 5: stopped by paper end", {0x12, 0x32, 0x12, 0x12}, Known([](PrinterStatus& s) { s.paperOut = true; }),
         false},
        {"n2 bit 6 alone: error, cause in n3", {0x12, 0x52, 0x12, 0x12}, Known(nullptr), false},
        {"n3 bit 3: cutter", {0x12, 0x12, 0x1A, 0x12}, Known([](PrinterStatus& s) { s.cutterError = true; }), false},
        {"n3 bit 5: unrecoverable", {0x12, 0x12, 0x32, 0x12},
         Known([](PrinterStatus& s) { s.unrecoverableError = true; }), false},
        {"n3 bit 6: auto-recoverable", {0x12, 0x12, 0x52, 0x12},
         Known([](PrinterStatus& s) { s.recoverableError = true; }), false},
        {"n4 0x0C: near end", {0x12, 0x12, 0x12, 0x1E}, Known([](PrinterStatus& s) { s.paperNearEnd = true; }), true},
        {"n4 one near-end bit", {0x12, 0x12, 0x12, 0x16}, Known([](PrinterStatus& s) { s.paperNearEnd = true; }),
         false},
        {"n4 0x60: paper end", {0x12, 0x12, 0x12, 0x72}, Known([](PrinterStatus& s) { s.paperOut = true; }), false},
        // What printers in these states answer: the offline bit and the error bit go with the cause.
        {"cover open", {0x1A, 0x16, 0x12, 0x12}, Known([](PrinterStatus& s) {
             s.online = false;
             s.coverOpen = true;
         }), true},
        {"paper out", {0x1A, 0x32, 0x12, 0x72}, Known([](PrinterStatus& s) {
             s.online = false;
             s.paperOut = true;
         }), true},
        {"cutter", {0x1A, 0x52, 0x1A, 0x12}, Known([](PrinterStatus& s) {
             s.online = false;
             s.cutterError = true;
         }), true},
        {"unrecoverable", {0x1A, 0x52, 0x32, 0x12}, Known([](PrinterStatus& s) {
             s.online = false;
             s.unrecoverableError = true;
         }), true},
        {"recoverable", {0x1A, 0x52, 0x52, 0x12}, Known([](PrinterStatus& s) {
             s.online = false;
             s.recoverableError = true;
         }), true},
        // Any byte that is no status answer makes the whole answer not known.
        {"bit 0 set", {0x13, 0x12, 0x12, 0x12}, PrinterStatus{}, false},
        {"bit 7 set", {0x12, 0x92, 0x12, 0x12}, PrinterStatus{}, false},
        {"bit 1 clear", {0x12, 0x12, 0x10, 0x12}, PrinterStatus{}, false},
        {"bit 4 clear", {0x12, 0x12, 0x12, 0x02}, PrinterStatus{}, false},
        {"nothing", {0x00, 0x00, 0x00, 0x00}, PrinterStatus{}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(protocol::DecodeStatus(c.answers), c.status);
        if (!c.encodes) continue;
        for (int n = 1; n <= 4; ++n)
            EXPECT_EQ(protocol::StatusAnswer(n, c.status), c.answers[static_cast<std::size_t>(n - 1)]) << "n=" << n;
    }
    EXPECT_EQ(protocol::StatusAnswer(0, Known(nullptr)), 0);
    EXPECT_EQ(protocol::StatusAnswer(5, Known(nullptr)), 0);
    const std::array<std::uint8_t, 12> query{0x10, 0x04, 0x01, 0x10, 0x04, 0x02, 0x10, 0x04, 0x03, 0x10, 0x04, 0x04};
    EXPECT_EQ(protocol::kStatusQuery, query);
}
