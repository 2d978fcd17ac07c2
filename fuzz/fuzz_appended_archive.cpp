// The fallback archive: the input is the whole "installer" file.
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "fuzz/FuzzScratch.h"
#include "installer/payload/Package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto file = fuzz::Scratch() / "input.bin";
    {
        std::ofstream f(file, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    payload::ListAppendedArchive(file);
    const auto target = fuzz::Scratch() / "target";
    payload::ExtractReport r;
    payload::ExtractAppendedArchive(file, target, u"ESC", nullptr, payload::InstallLog(), &r);
    payload::LoadPackageFromFile(file);  // the ELF section reader over the same bytes
    fuzz::CheckAndClean(target, r.Paths());
    return 0;
}
