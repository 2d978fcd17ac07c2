#pragma once
// The PPD that registers a driver with CUPS: nickname = the driver name,
// resolution and page sizes from the driver's data file, the driver module as
// the CUPS filter for raster input (8-bit gray), and the driver's options:
//   PaperCut None|Page|Job (Job)       CutType Partial|Full (Partial)
//   CashDrawer None|Before|After (None) DrawerPin Pin2|Pin5 (Pin2)
//   FeedAfter 0mm..30mm (5mm)          BlankRows Feed|Raster (Feed)
//   SkipBlankHead True|False (True)    SkipBlankTail True|False (True)
//   Dithering ErrorDiffusion|Threshold (ErrorDiffusion)
// and no SNMP supply query (cupsSNMPSupplies False).
// The roll width is the custom form's (the model row's); "ReceiptHeadDots"
// gives the print head's width, which is the imageable width, centred on the
// roll. Custom lengths from 10 to 3276 mm.
#include <filesystem>
#include <string>

#include "installer/engine/PcdFile.h"

namespace platform_linux {

std::string BuildPpd(const std::string& driverName, const engine::PcdData& data,
                     const std::filesystem::path& filter);
// A file name for the driver's PPD: letters, digits, "-", "_" and "." kept,
// everything else "_", plus ".ppd".
std::string PpdFileName(const std::string& driverName);

}  // namespace platform_linux
