// rastertoreceipt: the CUPS filter of the receipt printer driver. CUPS raster
// (1-bit or 8-bit gray) in on stdin or the named file, ESC/POS out on stdout.
//
//   rastertoreceipt job-id user title copies options [file]
//
// The options come from the job and, for those the job leaves out, from the
// queue's PPD ($PPD), whose "ReceiptHeadDots" names the print head's width.
// SIGTERM (a cancelled job) stops the filter after the band it is writing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <cups/cups.h>
#include <cups/raster.h>
// The PPD API is marked deprecated, but it is how a filter reads its queue's defaults.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include "base/Io.h"
#include "receipt/RasterJob.h"

namespace {

volatile std::sig_atomic_t g_cancelled = 0;

void OnTerm(int) { g_cancelled = 1; }

// Waits for input with SIGTERM let through only inside ppoll, so that a
// cancel that comes just before the wait cannot be missed. Elsewhere SIGTERM
// only sets the flag, which the page loop reads after every row; a write it
// interrupts is continued, so the band being written goes out whole.
struct Input {
    int fd = 0;
    receipt::InputTally tally;
};

ssize_t ReadInput(void* context, unsigned char* buffer, std::size_t length) {
    Input& input = *static_cast<Input*>(context);
    const int fd = input.fd;
    sigset_t term, waiting;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &term, &waiting);
    sigdelset(&waiting, SIGTERM);
    ssize_t n = -1;
    for (;;) {
        if (g_cancelled) break;
        pollfd p{fd, POLLIN, 0};
        if (::ppoll(&p, 1, nullptr, &waiting) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        n = ::read(fd, buffer, length);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN)) break;
    }
    ::sigprocmask(SIG_SETMASK, &waiting, nullptr);
    if (g_cancelled) return -1;
    input.tally.Note(length, n);
    return n;
}

class FdSink final : public receipt::ByteSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool Write(std::span<const std::uint8_t> bytes) override {
        return base::WriteAll(fd_, bytes.data(), bytes.size());
    }

private:
    int fd_;
};

void Log(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build's leak check: libcups keeps an option list it makes
// while marking a job's options in the PPD (cupsAddOption) until exit, which
// would end the filter with a failure after a whole job.
extern "C" const char* __lsan_default_suppressions() { return "leak:cupsAddOption\n"; }
#endif

int main(int argc, char** argv) {
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return 1;
    }
    Input input;
    if (argc == 7) {
        input.fd = ::open(argv[6], O_RDONLY | O_CLOEXEC);
        if (input.fd < 0) {
            Log(std::string("ERROR: Unable to open the raster file: ") + std::strerror(errno));
            return 1;
        }
    }

    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction term {};
    term.sa_handler = OnTerm;  // no SA_RESTART: a blocked read ends with EINTR
    sigemptyset(&term.sa_mask);
    ::sigaction(SIGTERM, &term, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);

    cups_option_t* jobOptions = nullptr;
    const int jobOptionCount = cupsParseOptions(argv[5], 0, &jobOptions);
    ppd_file_t* ppd = nullptr;
    if (const char* ppdPath = std::getenv("PPD"); ppdPath && *ppdPath) {
        ppd = ppdOpenFile(ppdPath);
        if (ppd) {
            ppdMarkDefaults(ppd);
            cupsMarkOptions(ppd, jobOptionCount, jobOptions);
        } else {
            Log(std::string("WARNING: Unable to read the PPD file ") + ppdPath + "; using the built-in defaults");
        }
    }

    receipt::RasterJobSettings settings;
    settings.cancelled = &g_cancelled;
    settings.log = Log;
    settings.input = &input.tally;
    if (ppd) {
        if (ppd_attr_t* head = ppdFindAttr(ppd, "ReceiptHeadDots", nullptr); head && head->value) {
            settings.headDots = std::atoi(head->value);
        }
    }
    settings.options = [&](std::string_view keyword) -> std::optional<std::string> {
        const std::string key(keyword);
        if (ppd) {
            if (ppd_choice_t* choice = ppdFindMarkedChoice(ppd, key.c_str())) return std::string(choice->choice);
        }
        if (const char* value = cupsGetOption(key.c_str(), jobOptionCount, jobOptions)) return std::string(value);
        return std::nullopt;
    };

    cups_raster_t* raster = cupsRasterOpenIO(ReadInput, &input, CUPS_RASTER_READ);
    if (!raster && g_cancelled) {  // cancelled before the first page
        if (ppd) ppdClose(ppd);
        cupsFreeOptions(jobOptionCount, jobOptions);
        return 0;
    }
    if (!raster) Log("ERROR: The input holds no CUPS raster data");
    FdSink out(1);
    const receipt::RasterJobResult result = raster ? receipt::RunRasterJob(raster, settings, out)
                                                   : receipt::RasterJobResult::BadRaster;
    if (raster) cupsRasterClose(raster);
    if (ppd) ppdClose(ppd);
    cupsFreeOptions(jobOptionCount, jobOptions);
    if (input.fd != 0) ::close(input.fd);

    switch (result) {
        case receipt::RasterJobResult::Printed:
        case receipt::RasterJobResult::Cancelled:
            return 0;
        case receipt::RasterJobResult::NoPages:
            Log("ERROR: No pages found");
            return 1;
        case receipt::RasterJobResult::OutputFailed:
            Log(std::string("ERROR: Unable to send the print data: ") + std::strerror(errno));
            return 1;
        case receipt::RasterJobResult::BadRaster:
            return 1;
    }
    return 1;
}
#pragma GCC diagnostic pop
