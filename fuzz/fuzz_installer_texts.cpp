// InstallConfig files: every value stays within its capacity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "installer/payload/InstallerConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    payload::InstallerTexts t = payload::ParseInstallerTexts({data, size});
    for (const auto& p : t.pageText)
        if (p.size() > payload::kPageTextCapacity) std::abort();
    for (const auto* f : {&t.title, &t.productName, &t.driverName, &t.monitorName,
                          &t.programFolderName, &t.languageModule})
        if (f->size() > payload::kNameCapacity) std::abort();
    if (t.portName.size() > payload::kPortNameCapacity) std::abort();
    return 0;
}
