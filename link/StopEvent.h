#pragma once
// A manual-reset event that another thread sets to abort a waiting write.
// On Linux an eventfd, so that poll() can wait on it beside the device.
namespace link {

class StopEvent {
public:
    StopEvent();
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    int Fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace link
