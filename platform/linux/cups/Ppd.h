#pragma once
// The PPD that registers a driver with CUPS: nickname = the driver name,
// resolution and page sizes from the driver's data file, the driver module as
// the CUPS filter for raster input.
#include <filesystem>
#include <string>

#include "installer/engine/PcdFile.h"

namespace linuxplat {

std::string BuildPpd(const std::string& driverName, const engine::PcdData& data,
                     const std::filesystem::path& filter);
// A file name for the driver's PPD: letters, digits, "-", "_" and "." kept,
// everything else "_", plus ".ppd".
std::string PpdFileName(const std::string& driverName);

}  // namespace linuxplat
