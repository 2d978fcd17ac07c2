// The package walk and extraction over package bytes held in memory.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzScratch.h"
#include "installer/payload/Package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> pkg(data, size);
    payload::PackageListing listing = payload::ListPackage(pkg);
    for (const auto& e : listing.entries)
        if (e.streamOffset + e.storedSize > size) std::abort();
    const auto target = fuzz::Scratch() / "target";
    payload::ExtractReport r = payload::ExtractPackage(pkg, target, nullptr, payload::InstallLog());
    payload::ExtractReport c = payload::ExtractConfigFiles(pkg, target);
    r.written.insert(r.written.end(), c.written.begin(), c.written.end());
    fuzz::CheckAndClean(target, r.Paths());
    return 0;
}
