#include "platform/fake/usb/FakeUsbTree.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace platform_fake {

namespace fs = std::filesystem;

namespace {
void WriteLine(const fs::path& file, const std::string& text) {
    std::ofstream out(file);
    out << text << "\n";
    if (!out) throw std::runtime_error("cannot write " + file.string());
}
}  // namespace

FakeUsbTree::FakeUsbTree() : owned_(true) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/usbtree.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    root_ = buffer.data();
}

FakeUsbTree::FakeUsbTree(std::string root) : root_(std::move(root)) { fs::create_directories(root_); }

FakeUsbTree::~FakeUsbTree() {
    if (!owned_) return;
    std::error_code ec;
    fs::remove_all(root_, ec);
}

std::string FakeUsbTree::AddPrinter(const std::string& device, const std::string& vendor,
                                    const std::string& product, int lpNumber, const std::string& serial) {
    const fs::path root(root_);
    const fs::path deviceDir = root / "sys/bus/usb/devices" / device;
    const fs::path interfaceDir = root / "sys/bus/usb/devices" / (device + ":1.0");
    fs::create_directories(deviceDir);
    fs::create_directories(interfaceDir);
    WriteLine(deviceDir / "idVendor", vendor);
    WriteLine(deviceDir / "idProduct", product);
    if (!serial.empty()) WriteLine(deviceDir / "serial", serial);
    WriteLine(interfaceDir / "bInterfaceClass", "07");  // printer
    if (lpNumber < 0) return {};

    const std::string lp = "lp" + std::to_string(lpNumber);
    const fs::path classDir = root / "sys/class/usbmisc" / lp;
    fs::create_directories(classDir);
    std::error_code ec;
    fs::remove(classDir / "device", ec);
    fs::create_directory_symlink("../../../bus/usb/devices/" + device + ":1.0", classDir / "device");

    const fs::path node = root / "dev/usb" / lp;
    fs::create_directories(node.parent_path());
    fs::remove(node, ec);
    if (::mkfifo(node.c_str(), 0660) != 0) throw std::system_error(errno, std::generic_category(), "mkfifo");
    return node.string();
}

}  // namespace platform_fake
