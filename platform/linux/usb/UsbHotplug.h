#pragma once
// USB printers coming and going, for a program that waits in its own poll():
// Fd() turns readable when printers may have changed, Take() consumes what
// arrived. On the live system the events are udev's (USB devices and usblp
// nodes, announced once udev's rules have given the node its owner and
// mode). Below a moved root (USB_PRINTER_ROOT) they are inotify's on the
// folder of the usblp nodes, <root>/dev/usb, or on the nearest folder above
// it (up to the root's parent) while it does not exist. Where no events come (no udev, no folder of
// the tree yet) Watching() is false and the program looks at intervals,
// calling Take() each time so that a tree that appears meanwhile is watched.
#include <string>

struct udev;
struct udev_monitor;

namespace platform_linux {

class UsbHotplug {
public:
    // root: prefix of the sys/ and dev/ trees ("/" for the live system).
    explicit UsbHotplug(std::string root);
    ~UsbHotplug();
    UsbHotplug(const UsbHotplug&) = delete;
    UsbHotplug& operator=(const UsbHotplug&) = delete;

    int Fd() const;  // -1 when there is nothing to wait on
    bool Watching() const;
    // Reads every event that has arrived, without waiting; true when one of
    // them may concern a printer.
    bool Take();

private:
    void WatchDeepest();

    std::string root_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int inotify_ = -1;
    int watch_ = -1;
    std::string watched_;  // the folder watch_ is on
};

}  // namespace platform_linux
