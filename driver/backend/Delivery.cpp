#include "driver/backend/Delivery.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/Io.h"
#include "driver/backend/StatusReport.h"
#include "link/Device.h"
#include "link/StatusQuery.h"
#include "link/UsbDeviceSource.h"

namespace portmon {
namespace {

using printer_link::Outcome;

// Input is read in blocks of this size and written in pieces of kPieceSize,
// each taken whenever the printer has room (no time limit; JobWatch reports
// a printer that takes nothing).
constexpr std::size_t kBlockSize = 65536;
constexpr std::size_t kPieceSize = 16384;
// A printer that says it cannot print is asked again this often.
constexpr int kAskAgainMs = 1000;
// The second connection that asks a stuck network printer how it is.
constexpr int kAsideConnectMs = 1000;

std::string ErrnoText(int error) { return error == 0 ? std::string("no error number") : std::strerror(error); }

// What the device layer was asked to open, for messages.
std::string Describe(const DeviceChoice& device, const printer_link::Result& failure) {
    if (!failure.node.empty()) return failure.node;
    if (device.uri.rfind("usb", 0) == 0) {
        std::string ids;
        for (const std::string& id : device.productIds) ids += (ids.empty() ? "" : ", ") + id;
        return "a USB printer (" + (ids.empty() ? std::string("listed product IDs") : ids) + ")";
    }
    return device.uri;
}

enum class Read { Data, End, Stopped, Failed };

// Waits for input beside the stop event, so that a stop also ends a wait for
// a filter that sends nothing.
Read ReadBlock(int fd, std::vector<std::uint8_t>& block, std::size_t& length, const printer_link::StopEvent& stop) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return Read::Failed;
        }
        if (stop.IsSet()) return Read::Stopped;
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n > 0) {
            length = static_cast<std::size_t>(n);
            return Read::Data;
        }
        if (n == 0) return Read::End;
        if (errno != EINTR && errno != EAGAIN) return Read::Failed;
    }
}

// A regular file (or a block device) can be read again from its start for
// each copy; a FIFO, a socket or a tty cannot.
bool Rewindable(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
}

// An unnamed file in $TMPDIR (CUPS's spool folder for temporary files), else
// /tmp, that goes away with its descriptor; -1 with errno set.
int AnonymousFile() {
    const char* folder = std::getenv("TMPDIR");
    if (!folder || !*folder) folder = "/tmp";
    int fd = ::open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    // A file system without O_TMPFILE: a named file, removed at once.
    std::string path = std::string(folder) + "/receiptmonitor-XXXXXX";
    fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(path.c_str());
    return fd;
}


// The job's data, copy after copy. Input that cannot be read twice is kept
// in an unnamed file as the first copy goes out; the others are read from
// there, so that every copy is the one read of the input.
class Copies {
public:
    explicit Copies(const JobInput& input) : input_(input) {}
    ~Copies() {
        if (kept_ >= 0) ::close(kept_);
    }
    Copies(const Copies&) = delete;
    Copies& operator=(const Copies&) = delete;

    // Before the printer is opened, so that nothing prints when it fails.
    bool Prepare() {
        if (input_.copies < 2 || Rewindable(input_.fd)) return true;
        kept_ = AnonymousFile();
        return kept_ >= 0;
    }
    // The descriptor to read copy `copy` (from 1) from; -1 when it cannot be rewound.
    int Source(int copy) const {
        if (copy == 1) return input_.fd;
        const int fd = kept_ >= 0 ? kept_ : input_.fd;
        return ::lseek(fd, 0, SEEK_SET) == 0 ? fd : -1;
    }
    // A block of the first copy, kept for the others.
    bool Keep(int copy, const std::uint8_t* data, std::size_t length) {
        return copy != 1 || kept_ < 0 || base::WriteAll(kept_, data, length);
    }

private:
    const JobInput& input_;
    int kept_ = -1;
};

class Job {
public:
    Job(const DeviceChoice& device, JobWatch& watch, const LogLine& log) : device_(device), watch_(watch), log_(log) {}

    DeliveryResult Run(printer_link::UsbDeviceSource* usb, const std::vector<std::string>& listedProductIds,
                       const JobInput& input) {
        printer_link::OpenOptions options;
        options.usb = usb;
        options.productIds = device_.productIds.empty() ? &listedProductIds : &device_.productIds;
        options.stop = &watch_.Stop();
        Copies copies(input);
        if (!copies.Prepare()) {
            log_("ERROR: cannot keep the print data for its copies: " + ErrnoText(errno));
            return {JobOutcome::InputFailed, 0};
        }
        log_("STATE: +connecting-to-device");
        log_("INFO: connecting to the printer");
        printer_link::Opened opened = printer_link::OpenDevice(device_.uri, options);
        log_("STATE: -connecting-to-device");
        if (!opened.device) return {OpenFailure(opened.failure), 0};
        printer_link::Device& printer = *opened.device;
        log_("STATE: -offline-report");
        log_("ATTR: printer-alert-description=''");
        log_("INFO: printing on " + printer.Node());
        log_("DEBUG: " + device_.uri + " is " + printer.Node() +
             (printer.Identity().empty() ? "" : " (" + printer.Identity() + ")"));

        // Before the first byte the printer is between commands: it is asked
        // in its own stream, and a printer that cannot print is waited for.
        if (!AwaitReady(printer, "before the job")) return Cancelled(printer);

        watch_.SetAskAside(AskAsideFor(printer));
        std::vector<std::uint8_t> block(kBlockSize);
        for (int copy = 1; copy <= input.copies; ++copy) {
            // A cancelled job ends after the copy in hand.
            if (copy > 1 && watch_.CancelRequested()) break;
            const int source = copies.Source(copy);
            if (source < 0) return InputFailure(printer, "cannot read the print data again");
            for (;;) {
                std::size_t length = 0;
                const Read read = ReadBlock(source, block, length, watch_.Stop());
                if (read == Read::End) break;
                if (read == Read::Stopped) return Cancelled(printer);
                if (read == Read::Failed) return InputFailure(printer, "cannot read the print data");
                if (!copies.Keep(copy, block.data(), length))
                    return InputFailure(printer, "cannot keep the print data for its copies");
                watch_.Writing();
                watch_.Busy();
                const printer_link::Result written =
                    printer.Write(block.data(), length, printer_link::Pacing{kPieceSize, -1, &watch_.Stop()});
                watch_.Idle();
                bytes_ += written.sent;
                if (!written.Ok()) return WriteFailure(printer, written);
            }
        }
        // The end of the job may wait in the printer's buffer for a while; the
        // delivery ends once it has been taken.
        watch_.Busy();
        const printer_link::Result flushed = printer.Flush(-1, &watch_.Stop());
        watch_.Idle();
        watch_.SetAskAside({});
        bytes_ += flushed.sent;
        if (!flushed.Ok()) return WriteFailure(printer, flushed);
        // After the last command: a job that fits in the printer's buffer is
        // all taken even when the paper ran out in its middle; the printer
        // says so here, and the job ends once it has printed.
        // (A printer that did not answer before the job is not asked again:
        // each unanswered question costs the whole wait for an answer.)
        if (answers_ && !AwaitReady(printer, "after the job")) return Cancelled(printer);
        const printer_link::Result closed = printer.Close(printer_link::kFinishTimeoutMs, &watch_.Stop());
        bytes_ += closed.sent;
        if (!closed.Ok()) return WriteFailure(printer, closed);
        log_("DEBUG: " + std::to_string(bytes_) + " bytes sent to " + closed.node);
        return {watch_.CancelRequested() ? JobOutcome::Cancelled : JobOutcome::Printed, bytes_};
    }

private:
    using Clock = std::chrono::steady_clock;

    // Asks the printer in the job's stream; while it says it cannot print,
    // shows why and asks again about once a second, with no time limit. A
    // printer that does not answer is not waited for. False when the job was
    // stopped meanwhile; a cancel after the job's data went out ends the wait
    // (the data is the printer's now).
    bool AwaitReady(printer_link::Device& printer, const char* when) {
        if (!printer.CanRead()) return true;
        StatusReport& report = watch_.Report();
        for (bool first = true;; first = false) {
            const Clock::time_point asked = Clock::now();
            const protocol::PrinterStatus status =
                printer_link::QueryStatus(printer, printer_link::kStatusWaitMs, &watch_.Stop());
            if (watch_.Stop().IsSet()) return false;
            const Condition condition = ConditionOf(status);
            if (first || condition != report.Shown())
                log_(std::string("DEBUG: printer status ") + when + ": " + StatusFacts(status));
            if (!status.known) {
                // It answered before: what it said then no longer holds.
                if (!first) report.Show({});
                return true;
            }
            answers_ = true;
            report.Show(condition);
            if (status.Ready()) return true;
            if (watch_.CancelRequested()) return true;
            const auto next = asked + std::chrono::milliseconds(kAskAgainMs);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            pollfd stop{watch_.Stop().Fd(), POLLIN, 0};
            if (left > 0) ::poll(&stop, 1, static_cast<int>(left));
            if (watch_.Stop().IsSet()) return false;
        }
    }

    // How the watch asks while the job's stream is stuck: a network printer
    // over a second connection (it answers one that only asks while another
    // is stuck), a USB or parallel port by its status line, which leaves the
    // stream alone.
    AskAside AskAsideFor(printer_link::Device& printer) {
        if (device_.uri.rfind("socket:", 0) == 0) {
            const std::string uri = device_.uri;
            const printer_link::StopEvent* stop = &watch_.Stop();
            return [uri, stop] {
                printer_link::OpenOptions options;
                options.connectTimeoutMs = kAsideConnectMs;
                options.stop = stop;
                return printer_link::QueryStatusAt(uri, options, printer_link::kStatusWaitMs).status;
            };
        }
        return [&printer] { return FromPortStatus(printer.Status()); };
    }

    JobOutcome OpenFailure(const printer_link::Result& failure) {
        const std::string what = Describe(device_, failure);
        if (watch_.Stop().IsSet()) {
            log_("DEBUG: cancelled while connecting to " + what);
            return JobOutcome::Cancelled;
        }
        log_("DEBUG: cannot open " + what + ": " + ErrnoText(failure.error));
        switch (failure.outcome) {
            case Outcome::NoPermission:
                log_("ERROR: no permission to open the printer " + what);
                return JobOutcome::NoPermission;
            case Outcome::BadUri:
            case Outcome::Unsupported:
                log_("ERROR: the device URI names no printer (" + what + ")");
                return JobOutcome::BadDevice;
            case Outcome::Busy:
                NotReachable("printer busy");
                return JobOutcome::NotReachable;
            default:
                NotReachable("printer not reachable");
                return JobOutcome::NotReachable;
        }
    }

    void NotReachable(const std::string& text) {
        log_("STATE: +offline-report");
        log_("ATTR: printer-alert-description='" + text + "'");
        log_("ERROR: " + text);
        unreachable_ = text;
    }

    DeliveryResult WriteFailure(printer_link::Device& printer, const printer_link::Result& result) {
        if (result.outcome == Outcome::Stopped) return Cancelled(printer);
        watch_.SetAskAside({});
        printer.Abandon();
        // What the printer said before it went away gives way to that.
        watch_.Report().Clear("");
        log_("DEBUG: " + result.node + ": " + ErrnoText(result.error) + " after " + std::to_string(bytes_) +
             " confirmed bytes");
        NotReachable("printer connection lost");
        return {JobOutcome::ConnectionLost, bytes_};
    }

    DeliveryResult Cancelled(printer_link::Device& printer) {
        log_("DEBUG: job cancelled after " + std::to_string(bytes_) + " confirmed bytes to " + printer.Node());
        watch_.SetAskAside({});
        printer.Abandon();
        return {JobOutcome::Cancelled, bytes_};
    }

    DeliveryResult InputFailure(printer_link::Device& printer, const std::string& what) {
        log_("ERROR: " + what + ": " + ErrnoText(errno));
        watch_.SetAskAside({});
        printer.Abandon();
        return {JobOutcome::InputFailed, bytes_};
    }

public:
    // The queue's message is the last one any program of the job wrote
    // (cupsd keeps it as printer-state-message), while the job's stays at its
    // first error. The filters before the monitor go on after it gave up and
    // have the last word ("Rendering completed", a broken pipe), so a job
    // that could not reach its printer reads the filters' output to its end
    // and then says again why it did not print.
    void SayLastWhyNotPrinted(const JobInput& input) {
        if (unreachable_.empty() || input.file) return;
        std::vector<std::uint8_t> block(kBlockSize);
        std::size_t length = 0;
        Read read = Read::Data;
        while (read == Read::Data) read = ReadBlock(input.fd, block, length, watch_.Stop());
        if (read != Read::End) return;
        // The reason and the alert go with the message: the scheduler may
        // have cleared them meanwhile.
        log_("STATE: +offline-report");
        log_("ATTR: printer-alert-description='" + unreachable_ + "'");
        log_("INFO: " + unreachable_);
    }

private:
    const DeviceChoice& device_;
    JobWatch& watch_;
    const LogLine& log_;
    std::uint64_t bytes_ = 0;
    std::string unreachable_;  // what NotReachable said, if it did
    bool answers_ = false;     // the printer answered a status request
};

}  // namespace

DeliveryResult DeliverJob(const DeviceChoice& device, printer_link::UsbDeviceSource* usb,
                          const std::vector<std::string>& listedProductIds, const JobInput& input, JobWatch& watch,
                          const LogLine& log) {
    Job job(device, watch, log);
    const DeliveryResult result = job.Run(usb, listedProductIds, input);
    // Whatever the job showed about the printer goes with it.
    watch.Report().Clear("");
    job.SayLastWhyNotPrinted(input);
    return result;
}

}  // namespace portmon
