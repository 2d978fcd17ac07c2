#include "link/StatusQuery.h"

#include <array>
#include <chrono>
#include <climits>

#include "link/Transport.h"

namespace printer_link {

// Writes the requests through the device's write path without adding them to
// what Flush and Close confirm later: a caller counts its own job's bytes.
class StatusRequests {
public:
    static Result Write(Device& device, int timeoutMs, const StopEvent* stop) {
        const std::size_t before = device.unconfirmed_;
        const Result written = device.Write(protocol::kStatusQuery.data(), protocol::kStatusQuery.size(),
                                            Pacing{protocol::kStatusQuery.size(), timeoutMs, stop});
        device.unconfirmed_ = before;
        return written;
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `end`, at least 0.
int LeftMs(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace

protocol::PrinterStatus QueryStatus(Device& device, int waitMs, const StopEvent* stop) {
    if (!device.CanRead()) return {};
    // A wait without limit would hang on a printer without status support.
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs < 0 ? kStatusWaitMs : waitMs);
    std::uint8_t buffer[256];

    // What was waiting (a late answer to an earlier query, stray bytes) is
    // dropped, so that only answers to these requests are counted.
    for (;;) {
        const Result drained = device.Read(buffer, sizeof buffer, 0, stop);
        if (drained.outcome == Outcome::TimedOut) break;
        if (!drained.Ok() || LeftMs(end) == 0) return {};
    }

    // One piece: the four requests are never split around other data.
    if (!StatusRequests::Write(device, LeftMs(end), stop).Ok()) return {};

    std::array<std::uint8_t, protocol::kStatusAnswerCount> answers{};
    std::size_t have = 0;
    while (have < answers.size()) {
        const int left = LeftMs(end);
        if (left == 0) return {};
        const Result read = device.Read(buffer, sizeof buffer, left, stop);
        if (!read.Ok()) return {};  // nothing in time, the connection dropped, stopped
        // Bytes that are no status answer (another command's reply, noise) are skipped.
        for (std::size_t i = 0; i < read.received && have < answers.size(); ++i)
            if (protocol::IsStatusByte(buffer[i])) answers[have++] = buffer[i];
    }
    return protocol::DecodeStatus(answers);
}

StatusAnswer QueryStatusAt(std::string_view uri, const OpenOptions& options, int waitMs) {
    StatusAnswer answer;
    Opened opened = OpenDevice(uri, options);
    if (!opened.device) {
        answer.failure = opened.failure;
        answer.node = opened.failure.node;
        return answer;
    }
    answer.node = opened.device->Node();
    answer.status = QueryStatus(*opened.device, waitMs, options.stop);
    opened.device->Abandon();
    return answer;
}

protocol::PrinterStatus FromPortStatus(const DeviceStatus& port) {
    protocol::PrinterStatus status;
    if (!port.known) return status;
    status.known = true;
    status.paperOut = port.paperOut;
    status.online = !port.offline;
    // A port raises its error line for paper out and offline too; only an
    // error on its own is one of its own.
    status.recoverableError = port.error && !port.paperOut && !port.offline;
    return status;
}

}  // namespace printer_link
