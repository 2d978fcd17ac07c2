#include "printer-app/Devices.h"

namespace printer_app {

void RegisterDeviceSchemes(const DeviceSetup&) {}

std::optional<std::string> LinkUriOf(std::string_view) { return std::nullopt; }

void SetJobHooks(pappl_device_t*, JobHooks) {}

}  // namespace printer_app
