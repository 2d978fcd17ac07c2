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

TEST(PrinterStatus, EachAnswerBitDecodesToItsFact) {
    struct Case {
        const char* what;
        std::array<std::uint8_t, 4> answers;
        PrinterStatus status;
    } cases[] = {
        {"all ready", {0x12, 0x12, 0x12, 0x12}, Known(nullptr)},
        {"n1 bit 3: offline", {0x1A, 0x12, 0x12, 0x12}, Known([](PrinterStatus& s) { s.online = false; })},
        {"n1 bit 2: drawer pin high", {0x16, 0x12, 0x12, 0x12}, Known([](PrinterStatus& s) { s.drawerOpen = true; })},
        {"n2 bit 2: cover open", {0x12, 0x16, 0x12, 0x12}, Known([](PrinterStatus& s) { s.coverOpen = true; })},
        {"n2 bit 5: stopped by paper end", {0x12, 0x32, 0x12, 0x12}, Known([](PrinterStatus& s) { s.paperOut = true; })},
        {"n2 bit 6 alone: error, cause in n3", {0x12, 0x52, 0x12, 0x12}, Known(nullptr)},
        {"n3 bit 3: cutter", {0x12, 0x12, 0x1A, 0x12}, Known([](PrinterStatus& s) { s.cutterError = true; })},
        {"n3 bit 5: unrecoverable", {0x12, 0x12, 0x32, 0x12},
         Known([](PrinterStatus& s) { s.unrecoverableError = true; })},
        {"n3 bit 6: auto-recoverable", {0x12, 0x12, 0x52, 0x12},
         Known([](PrinterStatus& s) { s.recoverableError = true; })},
        {"n4 0x0C: near end", {0x12, 0x12, 0x12, 0x1E}, Known([](PrinterStatus& s) { s.paperNearEnd = true; })},
        {"n4 one near-end bit", {0x12, 0x12, 0x12, 0x16}, Known([](PrinterStatus& s) { s.paperNearEnd = true; })},
        {"n4 0x60: paper end", {0x12, 0x12, 0x12, 0x72}, Known([](PrinterStatus& s) { s.paperOut = true; })},
        {"paper out as a printer says it", {0x1A, 0x32, 0x12, 0x7E}, Known([](PrinterStatus& s) {
             s.online = false;
             s.paperOut = true;
             s.paperNearEnd = true;
         })},
        // Any byte that is no status answer makes the whole answer not known.
        {"bit 0 set", {0x13, 0x12, 0x12, 0x12}, PrinterStatus{}},
        {"bit 7 set", {0x12, 0x92, 0x12, 0x12}, PrinterStatus{}},
        {"bit 1 clear", {0x12, 0x12, 0x10, 0x12}, PrinterStatus{}},
        {"bit 4 clear", {0x12, 0x12, 0x12, 0x02}, PrinterStatus{}},
        {"nothing", {0x00, 0x00, 0x00, 0x00}, PrinterStatus{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const PrinterStatus got = protocol::DecodeStatus(c.answers);
        EXPECT_EQ(got, c.status);
        EXPECT_EQ(got.known, protocol::IsStatusByte(c.answers[0]) && protocol::IsStatusByte(c.answers[1]) &&
                                 protocol::IsStatusByte(c.answers[2]) && protocol::IsStatusByte(c.answers[3]));
    }
}

TEST(PrinterStatus, APrinterInEachStateAnswersTheseBytes) {
    struct Case {
        const char* what;
        PrinterStatus status;
        std::array<std::uint8_t, 4> answers;  // to requests 1..4
    } cases[] = {
        {"ready", Known(nullptr), {0x12, 0x12, 0x12, 0x12}},
        {"offline", Known([](PrinterStatus& s) { s.online = false; }), {0x1A, 0x12, 0x12, 0x12}},
        {"drawer open", Known([](PrinterStatus& s) { s.drawerOpen = true; }), {0x16, 0x12, 0x12, 0x12}},
        {"cover open", Known([](PrinterStatus& s) { s.coverOpen = true; }), {0x1A, 0x16, 0x12, 0x12}},
        {"paper out", Known([](PrinterStatus& s) { s.paperOut = true; }), {0x1A, 0x32, 0x12, 0x72}},
        {"near end", Known([](PrinterStatus& s) { s.paperNearEnd = true; }), {0x12, 0x12, 0x12, 0x1E}},
        {"cutter", Known([](PrinterStatus& s) { s.cutterError = true; }), {0x1A, 0x52, 0x1A, 0x12}},
        {"unrecoverable", Known([](PrinterStatus& s) { s.unrecoverableError = true; }), {0x1A, 0x52, 0x32, 0x12}},
        {"recoverable", Known([](PrinterStatus& s) { s.recoverableError = true; }), {0x1A, 0x52, 0x52, 0x12}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int n = 1; n <= 4; ++n)
            EXPECT_EQ(protocol::StatusAnswer(n, c.status), c.answers[static_cast<std::size_t>(n - 1)]) << "n=" << n;
    }
    EXPECT_EQ(protocol::StatusAnswer(0, Known(nullptr)), 0);
    EXPECT_EQ(protocol::StatusAnswer(5, Known(nullptr)), 0);
    // The requests, byte for byte.
    const std::array<std::uint8_t, 12> query{0x10, 0x04, 0x01, 0x10, 0x04, 0x02, 0x10, 0x04, 0x03, 0x10, 0x04, 0x04};
    EXPECT_EQ(protocol::kStatusQuery, query);
}
