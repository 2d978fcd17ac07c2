#include "sim/UsbTree.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace sim {
namespace fs = std::filesystem;

namespace {

// Creates `dir` and its missing parents, remembering the ones it made.
bool MakeDirs(const fs::path& dir, std::vector<std::string>& created, std::string* error) {
    std::vector<fs::path> missing;
    for (fs::path p = dir; !p.empty() && !fs::exists(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0755) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create " + it->string() + ": " + std::strerror(errno);
            return false;
        }
        created.push_back(it->string());
    }
    return true;
}

bool WriteFile(const fs::path& path, const std::string& text, std::vector<std::string>& created,
               std::string* error) {
    std::ofstream out(path);
    out << text;
    if (!out) {
        if (error) *error = "cannot write " + path.string();
        return false;
    }
    created.push_back(path.string());
    return true;
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x\n", value);
    return text;
}

// Raw mode on a descriptor of the pair (on the master it sets the slave's termios).
bool MakeRaw(int fd) {
    termios mode{};
    if (::tcgetattr(fd, &mode) != 0) return false;
    ::cfmakeraw(&mode);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &mode) == 0;
}

// A pseudo-terminal whose slave is a link at `node`, open to every user.
bool MakePty(UsbDevice& device, std::vector<std::string>& created, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + " for " + device.node + ": " + std::strerror(errno);
        if (device.master >= 0) ::close(device.master);
        device.master = -1;
        return false;
    };
    device.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device.master < 0) return fail("cannot open a pseudo-terminal");
    char name[128] = {};
    if (::grantpt(device.master) != 0 || ::unlockpt(device.master) != 0 ||
        ::ptsname_r(device.master, name, sizeof name) != 0)
        return fail("cannot unlock a pseudo-terminal");
    device.slave = name;
    if (!MakeRaw(device.master)) return fail("cannot put " + device.slave + " in raw mode");
    if (::chmod(name, 0666) != 0) return fail("cannot open up " + device.slave);
    if (::symlink(name, device.node.c_str()) != 0) return fail("cannot link " + device.slave);
    created.push_back(device.node);
    return true;
}

}  // namespace

bool ResetPtySlave(const UsbDevice& device) {
    if (device.slave.empty()) return false;
    const int fd = ::open(device.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::tcflush(fd, TCIFLUSH) == 0 && MakeRaw(fd);
    ::close(fd);
    return ok;
}

bool CreateUsbDevice(const UsbDeviceSpec& wanted, bool fifo, UsbDevice& device, std::string* error) {
    const fs::path root = wanted.root;
    const fs::path devices = root / "sys/bus/usb/devices";
    const fs::path usbmisc = root / "sys/class/usbmisc";
    const fs::path devUsb = root / "dev/usb";
    device = UsbDevice{};
    device.wanted = wanted;
    std::vector<std::string> made;
    if (!MakeDirs(devices, made, error) || !MakeDirs(usbmisc, made, error) || !MakeDirs(devUsb, made, error)) {
        return false;
    }
    int n = 1;
    while (fs::exists(devices / ("1-" + std::to_string(n)))) ++n;
    int lp = 0;
    while (fs::exists(usbmisc / ("lp" + std::to_string(lp))) || fs::is_symlink(usbmisc / ("lp" + std::to_string(lp))) ||
           fs::exists(devUsb / ("lp" + std::to_string(lp))) || fs::is_symlink(devUsb / ("lp" + std::to_string(lp)))) {
        ++lp;
    }
    device.device = "1-" + std::to_string(n);
    device.lp = "lp" + std::to_string(lp);
    const fs::path dev = devices / device.device;
    const fs::path iface = devices / (device.device + ":1.0");
    const fs::path lpDir = usbmisc / device.lp;
    device.node = (devUsb / device.lp).string();

    std::vector<std::string> created;
    bool ok = MakeDirs(dev, created, error) && WriteFile(dev / "idVendor", Hex4(wanted.vendor), created, error) &&
              WriteFile(dev / "idProduct", Hex4(wanted.product), created, error) &&
              (wanted.serial.empty() || WriteFile(dev / "serial", wanted.serial + "\n", created, error)) &&
              MakeDirs(iface, created, error) && MakeDirs(lpDir, created, error);
    if (ok) {
        const std::string target = "../../../bus/usb/devices/" + device.device + ":1.0";
        if (::symlink(target.c_str(), (lpDir / "device").c_str()) != 0) {
            if (error) *error = "cannot link " + (lpDir / "device").string() + ": " + std::strerror(errno);
            ok = false;
        } else {
            created.push_back((lpDir / "device").string());
        }
    }
    if (ok && !fifo) {
        ok = MakePty(device, created, error);
    } else if (ok) {
        // Read and write for everyone, whatever the umask: CUPS runs the port
        // monitor as lp, and a node only root can open is a printer that
        // never prints.
        if (::mkfifo(device.node.c_str(), 0666) != 0) {
            if (error) *error = "cannot make the FIFO " + device.node + ": " + std::strerror(errno);
            ok = false;
        } else {
            created.push_back(device.node);
            if (::chmod(device.node.c_str(), 0666) != 0) {
                if (error) *error = "cannot open up the FIFO " + device.node + ": " + std::strerror(errno);
                ok = false;
            }
        }
    }
    // Removal goes deepest first: this device's entries, then the folders made for the tree.
    device.created.assign(created.rbegin(), created.rend());
    device.created.insert(device.created.end(), made.rbegin(), made.rend());
    if (!ok) {
        RemoveUsbDevice(device);
        if (device.master >= 0) ::close(device.master);
        device.master = -1;
    }
    return ok;
}

void RemoveUsbDevice(const UsbDevice& device) {
    for (const auto& path : device.created) {
        std::error_code ec;
        if (fs::is_directory(fs::symlink_status(path, ec))) {
            fs::remove(path, ec);  // only when empty
        } else {
            ::unlink(path.c_str());
        }
    }
}

}  // namespace sim
