// "PrinterName.txt": at most 31 rows, every field within its capacity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "installer/payload/InstallerConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    payload::ModelTable t = payload::ParseModelTable({data, size});
    if (t.FilledRows() > payload::kMaxModelLines) std::abort();
    if (!t.rows[0].printerName.empty()) std::abort();
    for (const auto& r : t.rows) {
        if (r.printerName.size() > payload::kPrinterNameCapacity || r.model.size() > payload::kModelCapacity ||
            r.gpdFile.size() > payload::kGpdFileCapacity || r.vidPid.size() > payload::kVidPidCapacity ||
            r.hardwareId.size() > payload::kHardwareIdCapacity)
            std::abort();
    }
    return 0;
}
