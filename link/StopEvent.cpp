#include "link/StopEvent.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace printer_link {

StopEvent::StopEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

StopEvent::~StopEvent() { ::close(fd_); }

// Manual reset: the counter stays above zero, so the descriptor stays readable
// for every poll() until Reset drains it.
void StopEvent::Set() {
    std::lock_guard<std::mutex> lock(change_);
    set_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void StopEvent::Reset() {
    std::lock_guard<std::mutex> lock(change_);
    set_.store(false, std::memory_order_release);
    std::uint64_t value = 0;
    while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace printer_link
