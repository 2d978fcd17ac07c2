#pragma once
// A manual-reset event that another thread sets to abort a waiting write.
// On Linux an eventfd, so that poll() can wait on it beside the device.
#include <atomic>
#include <mutex>

namespace printer_link {

class StopEvent {
public:
    StopEvent();
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const { return set_.load(std::memory_order_acquire); }
    int Fd() const { return fd_; }

private:
    int fd_;
    std::atomic<bool> set_{false};  // mirrors the counter, so IsSet needs no system call
    std::mutex change_;             // keeps the flag and the counter in step
};

}  // namespace printer_link
