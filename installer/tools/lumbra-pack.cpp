// lumbra-pack: makes, lists and unpacks the installer's payload package.
//
//   lumbra-pack create FOLDER OUT          package of the files in FOLDER, sorted by name ignoring case
//   lumbra-pack list FILE                  FILE: a package, or an executable carrying one
//   lumbra-pack list --appended FILE       the archive appended to FILE
//   lumbra-pack extract FILE FOLDER        unpacks every entry (same rules as the installer)
//   lumbra-pack append EXE PACKAGE OUT     copies EXE to OUT and appends PACKAGE as an archive
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "installer/payload/Package.h"
#include "installer/payload/TextCodec.h"

namespace {

using payload::InstallPackage;

bool ReadBytes(const std::string& file, std::vector<std::uint8_t>& out) {
    auto data = payload::ReadWholeFile(file);
    if (!data) {
        std::fprintf(stderr, "lumbra-pack: cannot read %s\n", file.c_str());
        return false;
    }
    out.assign(data->begin(), data->end());
    return true;
}

bool WriteBytes(const std::string& file, const std::vector<std::uint8_t>& bytes, bool append = false) {
    std::ofstream f(file, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) std::fprintf(stderr, "lumbra-pack: cannot write %s\n", file.c_str());
    return static_cast<bool>(f);
}

// The package bytes of FILE: its package section when it is an executable
// carrying one, otherwise the file itself.
bool PackageBytes(const std::string& file, std::vector<std::uint8_t>& out) {
    if (!ReadBytes(file, out)) return false;
    if (out.size() >= 4 && std::memcmp(out.data(), "\x7f" "ELF", 4) == 0) {
        InstallPackage pkg = payload::LoadPackageFromFile(file);
        if (pkg.Empty()) {
            std::fprintf(stderr, "lumbra-pack: %s has no %s section\n", file.c_str(),
                         payload::kPackageSection);
            return false;
        }
        out.assign(pkg.Bytes().begin(), pkg.Bytes().end());
    }
    return true;
}

int Create(const std::vector<std::string>& a) {
    if (a.size() != 2) return 2;
    std::vector<payload::PackageSource> sources;
    try {
        sources = payload::SourcesFromFolder(a[0]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumbra-pack: %s\n", e.what());
        return 1;
    }
    for (const auto& s : sources) {
        std::string rel;
        std::string why;
        if (!payload::SafeEntryPath(s.name, rel, &why)) {
            std::fprintf(stderr, "lumbra-pack: %s: %s\n", s.name.c_str(), why.c_str());
            return 1;
        }
    }
    return WriteBytes(a[1], payload::BuildPackage(sources)) ? 0 : 1;
}

int List(const std::vector<std::string>& a) {
    payload::PackageListing listing;
    if (a.size() == 2 && a[0] == "--appended") {
        listing = payload::ListAppendedArchive(a[1]);
    } else if (a.size() == 1) {
        std::vector<std::uint8_t> bytes;
        if (!PackageBytes(a[0], bytes)) return 1;
        listing = payload::ListPackage(bytes);
    } else {
        return 2;
    }
    const std::string text = payload::FormatListing(listing);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "lumbra-pack: cannot write the listing\n");
        return 1;
    }
    // A name the installer would refuse, or a cut-off container, is an error.
    return payload::ListingIsSound(listing) ? 0 : 1;
}

int Extract(const std::vector<std::string>& a) {
    if (a.size() != 2) return 2;
    std::vector<std::uint8_t> bytes;
    if (!PackageBytes(a[0], bytes)) return 1;
    payload::ExtractReport r = payload::ExtractPackage(bytes, a[1], nullptr, payload::InstallLog());
    for (const auto& f : r.written) std::printf("%s\n", payload::EscapeName(f.path.string()).c_str());
    for (const auto& problem : r.problems) std::fprintf(stderr, "lumbra-pack: %s\n", problem.c_str());
    return r.Complete() ? 0 : 1;
}

int Append(const std::vector<std::string>& a) {
    if (a.size() != 3) return 2;
    std::vector<std::uint8_t> exe, pkg;
    if (!ReadBytes(a[0], exe) || !ReadBytes(a[1], pkg)) return 1;
    if (!WriteBytes(a[2], exe)) return 1;
    return WriteBytes(a[2], payload::BuildAppendedArchive(pkg, exe.size()), true) ? 0 : 1;
}

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* usage;
};

constexpr Command kCommands[] = {
    {"create", Create, "create FOLDER OUT        package of FOLDER's files, sorted ignoring case"},
    {"list", List, "list [--appended] FILE   entries of a package, an executable, or an appended archive"},
    {"extract", Extract, "extract FILE FOLDER      unpack every entry into FOLDER"},
    {"append", Append, "append EXE PACKAGE OUT   copy EXE to OUT with PACKAGE appended as an archive"},
};

int Usage() {
    std::fputs("usage: lumbra-pack COMMAND ...\n", stderr);
    for (const Command& c : kCommands) std::fprintf(stderr, "  %s\n", c.usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        int rc = c.run(args);
        if (rc == 2) {
            std::fprintf(stderr, "usage: lumbra-pack %s\n", c.usage);
        }
        return rc;
    }
    return Usage();
}
