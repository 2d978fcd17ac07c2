#pragma once
// The one table of the receipt printers the tools look for on USB. Each
// program passes the list it accepts to the device layer; the udev rule
// 70-receipt-printers.rules is generated from this table at build time
// (packaging/CMakeLists.txt reads the three lines below: keep each on one line).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace printer_link {

// Four lower-case hex digits each.
// Our own printer by vendor and product (the model table's vid&pid).
inline constexpr std::string_view kOwnPrinterVendorId = "0418";
inline constexpr std::string_view kOwnPrinterProductId = "5011";
// The product IDs of the printers the settings tool, the port monitor, the
// service and the USB enumerator accept, in the order they are searched. The
// vendor is not checked: other vendors' printers use the same IDs.
inline constexpr std::string_view kReceiptPrinterProducts[] = {"5011", "0055", "0200", "2016", "5743", "0500", "0600"};
// The update tool updates the first six of them.
inline constexpr std::size_t kUpdatablePrinterCount = 6;

// The table as the substrings searched in a USB identity ("pid_5011", ...).
const std::vector<std::string>& ReceiptPrinterProductIds();    // seven entries, ends with "pid_0600"
const std::vector<std::string>& UpdatablePrinterProductIds();  // the first six of them

}  // namespace printer_link
