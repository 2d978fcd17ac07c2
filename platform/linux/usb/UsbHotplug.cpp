#include "platform/linux/usb/UsbHotplug.h"

#include <libudev.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace platform_linux {
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool IsFolder(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

UsbHotplug::UsbHotplug(std::string root) : root_(root.empty() ? "/" : std::move(root)) {
    if (fs::path(root_).lexically_normal() == fs::path("/")) {
        udev_ = udev_new();
        if (udev_) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
                         udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usbmisc", nullptr) < 0 ||
                         udev_monitor_enable_receiving(monitor_) < 0)) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
        }
        return;
    }
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0) WatchDeepest();
}

UsbHotplug::~UsbHotplug() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
    if (inotify_ >= 0) ::close(inotify_);
}

int UsbHotplug::Fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : inotify_; }

bool UsbHotplug::Watching() const { return monitor_ != nullptr || watch_ >= 0; }

// The watch sits on <root>/dev/usb once it exists; until then on the nearest
// folder above it (up to the root's parent: a tree's root is often made and
// removed with the tree), where its creation shows.
void UsbHotplug::WatchDeepest() {
    fs::path root = fs::path(root_).lexically_normal();
    if (!root.has_filename()) root = root.parent_path();  // "tree/" is "tree"
    std::string target;
    for (const fs::path& folder : {root / "dev/usb", root / "dev", root, root.parent_path()}) {
        if (IsFolder(folder)) {
            target = folder.string();
            break;
        }
    }
    if (target == watched_ && watch_ >= 0) return;
    if (watch_ >= 0) ::inotify_rm_watch(inotify_, watch_);
    watch_ = target.empty() ? -1 : ::inotify_add_watch(inotify_, target.c_str(), kFolderEvents);
    watched_ = watch_ >= 0 ? target : std::string();
}

bool UsbHotplug::Take() {
    if (monitor_) {
        bool any = false;
        while (udev_device* event = udev_monitor_receive_device(monitor_)) {
            udev_device_unref(event);
            any = true;
        }
        return any;
    }
    if (inotify_ < 0) return false;
    bool any = false;
    bool lost = false;  // the watched folder went away
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            // A watch given up earlier says goodbye; that concerns nothing.
            if (event->wd != watch_) continue;
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) lost = true;
            any = true;
        }
    }
    if (lost) {
        ::inotify_rm_watch(inotify_, watch_);
        watch_ = -1;
        watched_.clear();
    }
    // A folder created on the way down moves the watch deeper; a node may
    // already stand in it, which the caller's look at the printers finds.
    WatchDeepest();
    return any;
}

}  // namespace platform_linux
