#include "link/ProductIds.h"

#include <iterator>

namespace printer_link {
namespace {

std::vector<std::string> IdentitySubstrings(std::size_t count) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < count && i < std::size(kReceiptPrinterProducts); ++i)
        ids.push_back("pid_" + std::string(kReceiptPrinterProducts[i]));
    return ids;
}

}  // namespace

const std::vector<std::string>& ReceiptPrinterProductIds() {
    static const std::vector<std::string> ids = IdentitySubstrings(std::size(kReceiptPrinterProducts));
    return ids;
}

const std::vector<std::string>& UpdatablePrinterProductIds() {
    static const std::vector<std::string> ids = IdentitySubstrings(kUpdatablePrinterCount);
    return ids;
}

}  // namespace printer_link
