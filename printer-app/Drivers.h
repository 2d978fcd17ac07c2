#pragma once
// The receipt drivers: one per roll width, each a 203 dpi receipt printer
// whose head prints the width protocol/HeadWidth.h gives for its roll (the
// table the raster driver uses), with the job options of JobSettings.h.
//
//   receipt_58mm  receipt_72mm  receipt_80mm  receipt_110mm
#include <pappl/pappl.h>

#include <optional>
#include <string>
#include <string_view>

namespace printer_app {

inline constexpr int kDpi = 203;

struct DriverInfo {
    const char* name;         // "receipt_80mm"
    const char* description;  // "Receipt printer, 80 mm roll"
    int paperMm;
    int headDots;
};

// The table, for papplMainloop.
pappl_pr_driver_t* DriverTable();
int DriverCount();
std::optional<DriverInfo> DriverNamed(std::string_view name);

// The driver callback (pappl_pr_driver_cb_t).
bool DriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* context);

// The auto-add callback: the driver for a device, from its IEEE 1284 device
// ID when it names a roll width (58, 72, 80 or 110 mm) and the 80 mm driver
// otherwise.
const char* AutoAddCallback(const char* deviceInfo, const char* deviceUri, const char* deviceId, void* context);
// The same, for a device ID alone.
std::string DriverForDeviceId(std::string_view deviceId);

}  // namespace printer_app
