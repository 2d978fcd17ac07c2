#include "link/Transport.h"

#include <poll.h>

#include <cerrno>
#include <climits>

namespace printer_link {

int Deadline::PollMs() const {
    if (!Bounded()) return -1;
    const auto left = At() - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

Ready WaitFor(int fd, short events, const Deadline& deadline, const StopEvent* stop) {
    pollfd fds[2] = {{fd, events, 0}, {stop ? stop->Fd() : -1, POLLIN, 0}};
    for (;;) {
        if (stop && stop->IsSet()) return Ready::Stopped;
        const int wait = deadline.PollMs();
        const int r = ::poll(fds, 2, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Ready::Failed;
        }
        if (fds[1].revents & POLLIN) return Ready::Stopped;
        if (fds[0].revents & events) return Ready::Yes;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return Ready::Failed;
        // poll() may return a little early (timer slack): the deadline decides.
        if (wait == 0 || deadline.Passed()) return Ready::TimedOut;
    }
}

PieceResult Dropped(int error) {
    PieceResult result;
    result.outcome = Outcome::Reset;
    result.error = error;
    return result;
}

}  // namespace printer_link
