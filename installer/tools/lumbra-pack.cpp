// lumbra-pack: makes, lists and unpacks the installer's payload package
// (`lumbra-pack --help`).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli-common/Program.h"
#include "installer/payload/Package.h"
#include "base/TextCodec.h"

namespace {

using payload::InstallPackage;

bool ReadBytes(const std::string& file, std::vector<std::uint8_t>& out) {
    auto data = base::ReadWholeFile(file);
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

int Create(const std::string& folder, const std::string& out) {
    std::vector<payload::PackageSource> sources;
    try {
        sources = payload::SourcesFromFolder(folder);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumbra-pack: %s\n", e.what());
        return cli::kLocalFailure;
    }
    for (const auto& s : sources) {
        std::string rel;
        std::string why;
        if (!payload::SafeEntryPath(s.name, rel, &why)) {
            std::fprintf(stderr, "lumbra-pack: %s: %s\n", s.name.c_str(), why.c_str());
            return cli::kRefused;
        }
    }
    return WriteBytes(out, payload::BuildPackage(sources)) ? cli::kDone : cli::kLocalFailure;
}

int List(const std::string& file, bool appended) {
    payload::PackageListing listing;
    if (appended) {
        listing = payload::ListAppendedArchive(file);
    } else {
        std::vector<std::uint8_t> bytes;
        if (!PackageBytes(file, bytes)) return cli::kLocalFailure;
        listing = payload::ListPackage(bytes);
    }
    if (listing.NotAPackage()) {
        std::fprintf(stderr, "lumbra-pack: %s is not a package%s: %s\n", file.c_str(),
                     appended ? " with an appended archive" : "", listing.problem.c_str());
        return cli::kRefused;
    }
    const std::string text = payload::FormatListing(listing);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "lumbra-pack: cannot write the listing\n");
        return cli::kLocalFailure;
    }
    // A name the installer would refuse, or a cut-off container, is an error.
    return payload::ListingIsSound(listing) ? cli::kDone : cli::kRefused;
}

int Extract(const std::string& file, const std::string& folder) {
    std::vector<std::uint8_t> bytes;
    if (!PackageBytes(file, bytes)) return cli::kLocalFailure;
    payload::ExtractReport r = payload::ExtractPackage(bytes, folder, nullptr, payload::InstallLog());
    for (const auto& f : r.written) std::printf("%s\n", payload::EscapeName(f.path.string()).c_str());
    for (const auto& problem : r.problems) std::fprintf(stderr, "lumbra-pack: %s\n", problem.c_str());
    if (r.Complete()) return cli::kDone;
    return r.malformed || !r.refused.empty() ? cli::kRefused : cli::kLocalFailure;
}

int Append(const std::string& executable, const std::string& package, const std::string& out) {
    std::vector<std::uint8_t> exe, pkg;
    if (!ReadBytes(executable, exe) || !ReadBytes(package, pkg)) return cli::kLocalFailure;
    if (!WriteBytes(out, exe)) return cli::kLocalFailure;
    return WriteBytes(out, payload::BuildAppendedArchive(pkg, exe.size()), true) ? cli::kDone : cli::kLocalFailure;
}

// Positional arguments of a subcommand, all required, filled in order.
std::shared_ptr<std::vector<std::string>> Arguments(CLI::App& command,
                                                    const std::vector<std::pair<const char*, const char*>>& names) {
    auto values = std::make_shared<std::vector<std::string>>(names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        command.add_option(names[i].first, (*values)[i], names[i].second)->required();
    return values;
}

std::vector<cli::Subcommand> Commands() {
    return {
        {"create", "make a package of the files in a folder, sorted by name ignoring case",
         [](CLI::App& c) {
             auto a = Arguments(c, {{"FOLDER", "the files to pack (dot files are skipped)"}, {"OUT", "the package"}});
             return [a] { return Create((*a)[0], (*a)[1]); };
         }},
        {"list", "list the entries of a package, an executable carrying one, or an appended archive",
         [](CLI::App& c) {
             auto appended = std::make_shared<bool>(false);
             c.add_flag("--appended", *appended, "FILE ends in an appended archive");
             auto a = Arguments(c, {{"FILE", "a package, or an executable carrying one"}});
             return [a, appended] { return List((*a)[0], *appended); };
         },
         "Names are shown as stored: a backslash is the package's folder separator and stays as it\n"
         "is; each control character, and each byte that is not UTF-8, is shown as \\xNN (two\n"
         "hex digits). A name the installer would refuse, a cut-off container, or a FILE that is\n"
         "not a package at all gives exit status 4.\n"},
        {"extract", "unpack every entry into a folder, under the installer's rules",
         [](CLI::App& c) {
             auto a = Arguments(c, {{"FILE", "a package, or an executable carrying one"}, {"FOLDER", "the target"}});
             return [a] { return Extract((*a)[0], (*a)[1]); };
         }},
        {"append", "copy an executable and append a package to it as the fallback archive",
         [](CLI::App& c) {
             auto a = Arguments(c, {{"EXE", "the executable"}, {"PACKAGE", "the package"}, {"OUT", "the copy"}});
             return [a] { return Append((*a)[0], (*a)[1], (*a)[2]); };
         }},
    };
}

}  // namespace

int main(int argc, char** argv) {
    cli::ProgramText text;
    text.name = "lumbra-pack";
    text.whatis = "make, list and unpack the driver installer's payload package";
    text.description = "Makes, lists and unpacks the payload package that lumbra carries in its .lumbra_package\n"
                       "section (or in an archive appended to it).\n";
    text.notes = "Example: a package of one's own files, put into a copy of lumbra:\n"
                 "  lumbra-pack create my-payload-files/ my.pkg\n"
                 "  objcopy --update-section .lumbra_package=my.pkg lumbra lumbra-rebranded\n";
    cli::Program program(text);
    program.Add(Commands());
    return program.Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
