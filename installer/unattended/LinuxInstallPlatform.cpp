#include "installer/unattended/LinuxInstallPlatform.h"

namespace installer {

InstallLocations InstallLocations::From(const payload::SystemPaths& paths) {
    InstallLocations l;
    l.driverDirectory = paths.Under("/usr/lib/lumbra/driver");
    l.systemDirectory = paths.Under("/usr/lib/lumbra/system");
    l.backendDirectory = paths.Under("/usr/lib/cups/backend");
    l.modelDirectory = paths.Under("/usr/share/cups/model/lumbra");
    l.storeRoot = paths.Under("/var/lib/lumbra/store");
    l.unitDirectory = paths.Under("/etc/systemd/system");
    l.live = paths.root.lexically_normal() == "/";
    const std::filesystem::path apps = platform_linux::XdgShell::DefaultApplicationsFolder();
    l.applications = l.live ? apps : paths.Under(apps.string());
    l.usbRoot = platform_linux::UsbRootFromEnvironment();
    return l;
}

LinuxInstallPlatform::LinuxInstallPlatform(const InstallLocations& where)
    : locations(where),
      store(where.storeRoot),
      spooler({where.driverDirectory, where.systemDirectory, where.backendDirectory, where.modelDirectory,
               where.usbRoot},
              store),
      services(where.unitDirectory, where.live, {where.storeRoot}),
      shell(where.applications),
      usb(where.usbRoot) {}

}  // namespace installer
