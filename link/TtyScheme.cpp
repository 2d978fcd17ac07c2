// The serial and parallel schemes: a tty (serial:/dev/ttyS0[?baud=N]), read
// and written, and an lp port (parallel:/dev/lp0), written only.
#include <termios.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "link/FdTransport.h"
#include "link/Schemes.h"

namespace printer_link {
namespace {

// A serial port: bytes in the tty's queue are confirmed once it has drained.
class SerialTransport : public FdTransport {
public:
    SerialTransport(int fd, std::string node)
        : FdTransport(fd, std::move(node), Completion::OnWrite, false, Way::Both) {}
    bool ConfirmsPieces() const override { return false; }
    PieceResult Finish(const Deadline& deadline, const StopEvent* stop) override { return Flush(deadline, stop); }
    PieceResult Flush(const Deadline& deadline, const StopEvent* stop) override {
        return PauseUntil(deadline, stop, [this]() -> std::optional<PieceResult> {
            int queued = 0;
            if (::ioctl(Fd(), TIOCOUTQ, &queued) != 0 || queued == 0) return PieceResult{};
            return std::nullopt;
        });
    }
};

speed_t Baud(std::string_view text) {
    struct Rate {
        std::string_view text;
        speed_t speed;
    };
    static constexpr Rate kRates[] = {{"1200", B1200},   {"2400", B2400},   {"4800", B4800},
                                      {"9600", B9600},   {"19200", B19200}, {"38400", B38400},
                                      {"57600", B57600}, {"115200", B115200}};
    for (const Rate& r : kRates)
        if (r.text == text) return r.speed;
    return text.empty() ? B9600 : B0;
}

}  // namespace

OpenedTransport OpenSerial(std::string_view rest, const OpenOptions&) {
    const std::string path = PathOf(rest);
    const speed_t speed = Baud(QueryValue(rest, "baud"));
    if (speed == B0) return OpenFailure(Outcome::BadUri, EINVAL, path);
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return OpenFailure(errno, path);
    // Raw bytes at the given speed, no modem control.
    termios tty{};
    int error = 0;
    if (::tcgetattr(fd, &tty) != 0) {
        error = errno;
    } else {
        ::cfmakeraw(&tty);
        tty.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tty, speed);
        ::cfsetospeed(&tty, speed);
        if (::tcsetattr(fd, TCSANOW, &tty) != 0) error = errno;
    }
    if (error != 0) {
        ::close(fd);
        return OpenFailure(error, path);
    }
    OpenedTransport opened;
    opened.transport = std::make_unique<SerialTransport>(fd, path);
    return opened;
}

OpenedTransport OpenParallel(std::string_view rest, const OpenOptions&) {
    return OpenFd(PathOf(rest), O_WRONLY, [](int fd, std::string node) -> std::unique_ptr<Transport> {
        return std::make_unique<FdTransport>(fd, std::move(node), FdTransport::Completion::OnWrite, true);
    });
}

}  // namespace printer_link
