#pragma once
// The engine's seams on Linux, every location taken from SystemPaths (so an
// install can be staged below LUMBRA_ROOT):
//
//   driver directory   <root>/usr/lib/lumbra/driver
//   system directory   <root>/usr/lib/lumbra/system      (monitor modules)
//   CUPS backends      <root>/usr/lib/cups/backend
//   CUPS models        <root>/usr/share/cups/model/lumbra
//   key/value store    <root>/var/lib/lumbra/store   (out of the printer service's sight)
//   systemd units      <root>/etc/systemd/system
//   applications menu  $XDG_DATA_HOME/applications or ~/.local/share/applications
//                      (below <root> when a root is set)
//   USB devices        $USB_PRINTER_ROOT (default "/")
#include <memory>

#include "installer/engine/Seams.h"
#include "installer/payload/SystemPaths.h"
#include "platform/linux/cups/CupsSpooler.h"
#include "platform/linux/shell/XdgShell.h"
#include "platform/linux/store/FileStore.h"
#include "platform/linux/systemd/SystemdServices.h"
#include "platform/linux/usbreg/SysfsUsbRegistry.h"

namespace installer {

struct InstallLocations {
    std::filesystem::path driverDirectory;
    std::filesystem::path systemDirectory;
    std::filesystem::path backendDirectory;
    std::filesystem::path modelDirectory;
    std::filesystem::path storeRoot;
    std::filesystem::path unitDirectory;
    std::filesystem::path applications;
    std::filesystem::path usbRoot;
    bool live = true;  // the running system itself (no prefix)

    static InstallLocations From(const payload::SystemPaths& paths);
};

class LinuxInstallPlatform {
public:
    explicit LinuxInstallPlatform(const InstallLocations& where);

    engine::Platform Seams() { return {spooler, store, services, shell, usb}; }

    InstallLocations locations;
    platform_linux::FileStore store;
    platform_linux::CupsSpooler spooler;
    platform_linux::SystemdServices services;
    platform_linux::XdgShell shell;
    platform_linux::SysfsUsbRegistry usb;
};

}  // namespace installer
