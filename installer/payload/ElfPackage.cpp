// Finds the package section in an ELF executable by reading its section
// headers directly, so that the package can be replaced with
// `objcopy --update-section` without rebuilding the program.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "installer/payload/Package.h"
#include "installer/payload/PosixIo.h"

namespace payload {
namespace {

std::uint64_t LeN(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}


struct Section {
    std::uint32_t name = 0, type = 0, link = 0;
    std::uint64_t offset = 0, size = 0;
};

InstallPackage LoadFromFd(int fd) {
    InstallPackage none;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return none;
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    std::uint8_t eh[64] = {};
    if (fileSize < 52 || !PreadAll(fd, 0, eh, fileSize < 64 ? 52 : 64)) return none;
    if (std::memcmp(eh, "\x7f" "ELF", 4) != 0 || eh[5] != 1 /* little-endian */) return none;
    const bool is64 = eh[4] == 2;
    if (!is64 && eh[4] != 1) return none;
    std::uint64_t shoff = is64 ? LeN(eh + 0x28, 8) : LeN(eh + 0x20, 4);
    std::uint64_t shentsize = LeN(eh + (is64 ? 0x3A : 0x2E), 2);
    std::uint64_t shnum = LeN(eh + (is64 ? 0x3C : 0x30), 2);
    std::uint64_t shstrndx = LeN(eh + (is64 ? 0x3E : 0x32), 2);
    const std::uint64_t minEnt = is64 ? 64 : 40;
    if (shoff == 0 || shentsize < minEnt || shoff > fileSize) return none;

    auto readSection = [&](std::uint64_t index, Section& s) {
        if (index > (fileSize - shoff) / shentsize) return false;
        std::uint64_t at = shoff + index * shentsize;
        if (at + minEnt > fileSize) return false;
        std::uint8_t h[64];
        if (!PreadAll(fd, at, h, minEnt)) return false;
        s.name = static_cast<std::uint32_t>(LeN(h, 4));
        s.type = static_cast<std::uint32_t>(LeN(h + 4, 4));
        s.offset = is64 ? LeN(h + 0x18, 8) : LeN(h + 0x10, 4);
        s.size = is64 ? LeN(h + 0x20, 8) : LeN(h + 0x14, 4);
        s.link = static_cast<std::uint32_t>(LeN(h + (is64 ? 0x28 : 0x18), 4));
        return true;
    };
    // Extended numbering: the real counts live in section 0.
    if (shnum == 0 || shstrndx == 0xFFFF) {
        Section zero;
        if (!readSection(0, zero)) return none;
        if (shnum == 0) shnum = zero.size;
        if (shstrndx == 0xFFFF) shstrndx = zero.link;
    }
    if (shnum == 0 || shnum > (fileSize - shoff) / shentsize) return none;
    Section strtab;
    if (shstrndx >= shnum || !readSection(shstrndx, strtab)) return none;
    if (strtab.offset > fileSize || strtab.size > fileSize - strtab.offset) return none;
    std::vector<char> names(strtab.size + 1, '\0');
    if (strtab.size > 0 && !PreadAll(fd, strtab.offset, names.data(), strtab.size)) return none;

    const std::size_t wantLength = std::strlen(kPackageSection);
    for (std::uint64_t i = 0; i < shnum; ++i) {
        Section s;
        if (!readSection(i, s)) return none;
        if (s.name >= strtab.size || s.type == 8 /* SHT_NOBITS */) continue;
        if (std::strncmp(names.data() + s.name, kPackageSection, wantLength + 1) != 0) continue;
        if (s.offset > fileSize || s.size > fileSize - s.offset || s.size == 0) return none;
        InstallPackage pkg;
        pkg.block.assign(static_cast<std::size_t>(s.size) + 16, 0);
        if (!PreadAll(fd, s.offset, pkg.block.data(), static_cast<std::size_t>(s.size))) return none;
        pkg.size = static_cast<std::size_t>(s.size);
        return pkg;
    }
    return none;
}

}  // namespace

InstallPackage LoadPackageFromFile(const std::filesystem::path& executable) {
    int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    InstallPackage pkg = LoadFromFd(fd);
    ::close(fd);
    return pkg;
}

InstallPackage LoadPackage() { return LoadPackageFromFile("/proc/self/exe"); }

InstallPackage PackageFromBytes(std::span<const std::uint8_t> bytes) {
    InstallPackage pkg;
    pkg.block.assign(bytes.size() + 16, 0);
    std::copy(bytes.begin(), bytes.end(), pkg.block.begin());
    pkg.size = bytes.size();
    return pkg;
}

}  // namespace payload
