#include "driver/backend/Delivery.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/Io.h"
#include "link/Device.h"
#include "link/UsbDeviceSource.h"

namespace portmon {
namespace {

using printer_link::Outcome;

// Input is read in blocks of this size and written in pieces of kPieceSize,
// each taken whenever the printer has room (no time limit; JobWatch reports
// a printer that takes nothing).
constexpr std::size_t kBlockSize = 65536;
constexpr std::size_t kPieceSize = 16384;

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
        bytes_ += flushed.sent;
        if (!flushed.Ok()) return WriteFailure(printer, flushed);
        const printer_link::Result closed = printer.Close(printer_link::kFinishTimeoutMs, &watch_.Stop());
        bytes_ += closed.sent;
        if (!closed.Ok()) return WriteFailure(printer, closed);
        log_("DEBUG: " + std::to_string(bytes_) + " bytes sent to " + closed.node);
        return {watch_.CancelRequested() ? JobOutcome::Cancelled : JobOutcome::Printed, bytes_};
    }

private:
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
    }

    DeliveryResult WriteFailure(printer_link::Device& printer, const printer_link::Result& result) {
        if (result.outcome == Outcome::Stopped) return Cancelled(printer);
        printer.Abandon();
        log_("DEBUG: " + result.node + ": " + ErrnoText(result.error) + " after " + std::to_string(bytes_) +
             " confirmed bytes");
        NotReachable("printer connection lost");
        return {JobOutcome::ConnectionLost, bytes_};
    }

    DeliveryResult Cancelled(printer_link::Device& printer) {
        log_("DEBUG: job cancelled after " + std::to_string(bytes_) + " confirmed bytes to " + printer.Node());
        printer.Abandon();
        return {JobOutcome::Cancelled, bytes_};
    }

    DeliveryResult InputFailure(printer_link::Device& printer, const std::string& what) {
        log_("ERROR: " + what + ": " + ErrnoText(errno));
        printer.Abandon();
        return {JobOutcome::InputFailed, bytes_};
    }

    const DeviceChoice& device_;
    JobWatch& watch_;
    const LogLine& log_;
    std::uint64_t bytes_ = 0;
};

}  // namespace

DeliveryResult DeliverJob(const DeviceChoice& device, printer_link::UsbDeviceSource* usb,
                          const std::vector<std::string>& listedProductIds, const JobInput& input, JobWatch& watch,
                          const LogLine& log) {
    return Job(device, watch, log).Run(usb, listedProductIds, input);
}

}  // namespace portmon
