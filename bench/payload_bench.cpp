// Payload extraction throughput: ExtractPackage against a plain zlib inflate
// of the same streams, measured in the same run. Both write every entry the
// same way, into a folder emptied before each run: a new temporary file, the
// data, fsync, the file's mode, a rename onto its name. So both pay for the
// disk; what differs is the extraction's own checks and bookkeeping.
//
//   payload_bench [FOLDER] [ROUNDS]
//
// Each round runs ExtractPackage and the plain loop with 16 KiB and with
// 256 KiB output blocks, the order rotating from round to round. Prints the
// median over ROUNDS rounds of the per-round throughput ratio extraction /
// plain loop, with its min and max; the extraction should reach at least 0.9
// of the 16 KiB loop (its own block size). The 256 KiB ratio and the
// throughputs themselves are information only. Exit status 0 when the
// target is met, 1 when it is missed, 2 when the run could not measure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "installer/payload/Package.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A mix like a driver payload: machine-code-like blocks of low entropy
// runs, text, and a few nearly incompressible blobs. About 6 MiB.
std::vector<payload::PackageSource> MakeSources() {
    std::mt19937 rng(42);
    std::vector<payload::PackageSource> sources;
    for (int i = 0; i < 24; ++i) {
        payload::PackageSource s;
        s.name = "entry" + std::to_string(i) + (i % 2 ? ".dll" : ".dll.x64");
        std::size_t size = 128 * 1024 + (rng() % (384 * 1024));
        s.data.resize(size);
        if (i % 6 == 5) {
            for (auto& b : s.data) b = static_cast<std::uint8_t>(rng());
        } else if (i % 3 == 0) {
            static const char* words[] = {"printer ", "driver ", "paper ", "port ", "monitor ", "\r\n"};
            std::size_t p = 0;
            while (p < size) {
                const char* w = words[rng() % 6];
                for (; *w && p < size; ++w) s.data[p++] = static_cast<std::uint8_t>(*w);
            }
        } else {
            for (std::size_t p = 0; p < size; ++p)
                s.data[p] = static_cast<std::uint8_t>((rng() % 4 == 0) ? rng() : (p * 7) & 0x3F);
        }
        sources.push_back(std::move(s));
    }
    return sources;
}

// zlib's usual inflate-a-stream-to-a-file loop, with the given output block,
// each file written to a temporary name, synced and renamed into place.
std::uint64_t PlainInflate(const std::vector<std::uint8_t>& pkg, const fs::path& folder, std::size_t chunk) {
    payload::PackageListing listing = payload::ListPackage(pkg);
    std::vector<std::uint8_t> out(chunk);
    std::uint64_t total = 0;
    for (const auto& e : listing.entries) {
        const fs::path temp = folder / ("." + e.name + ".tmp");
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) std::abort();
        z_stream zs{};
        inflateInit(&zs);
        zs.next_in = const_cast<Bytef*>(pkg.data() + e.streamOffset);
        zs.avail_in = e.storedSize;
        int rc;
        do {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            std::size_t have = out.size() - zs.avail_out;
            if (::write(fd, out.data(), have) != static_cast<ssize_t>(have)) std::abort();
            total += have;
        } while (rc == Z_OK);
        inflateEnd(&zs);
        if (::fsync(fd) != 0 || ::fchmod(fd, 0644) != 0 || ::rename(temp.c_str(), (folder / e.name).c_str()) != 0)
            std::abort();
        ::close(fd);
    }
    return total;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// An empty folder for the next run; what the last run wrote goes first.
void Empty(const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    ::sync();
}

}  // namespace

int main(int argc, char** argv) {
    fs::path base = argc > 1 && argv[1][0] ? fs::path(argv[1]) : fs::temp_directory_path();
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    fs::path folder = base / ("payload-bench-" + std::to_string(::getpid()));

    auto sources = MakeSources();
    std::uint64_t bytes = 0;
    for (const auto& s : sources) bytes += s.data.size();
    auto pkg = payload::BuildPackage(sources, 6);
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);

    // The three ways of writing the package; each returns MiB/s, < 0 when it failed.
    payload::InstallLog noLog;
    auto seconds = [](Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); };
    auto extract = [&] {
        Empty(folder);
        const auto t = Clock::now();
        payload::ExtractReport rep = payload::ExtractPackage(pkg, folder, nullptr, noLog);
        const double s = seconds(t);
        return rep.written.size() == sources.size() && !rep.failedEntries ? mib / s : -1.0;
    };
    auto plain = [&](std::size_t chunk) {
        Empty(folder);
        const auto t = Clock::now();
        const std::uint64_t written = PlainInflate(pkg, folder, chunk);
        const double s = seconds(t);
        return written == bytes ? mib / s : -1.0;
    };
    struct Way {
        const char* name;
        std::function<double()> run;
        std::vector<double> mibs;
    } ways[] = {{"ExtractPackage", extract, {}},
                {"plain inflate, 16 KiB out", [&] { return plain(16384); }, {}},
                {"plain inflate, 256 KiB out", [&] { return plain(262144); }, {}}};
    constexpr std::size_t kWays = std::size(ways);

    for (Way& w : ways) w.run();  // the page cache, the allocator, the code
    bool measured = true;
    for (int r = 0; measured && r < rounds; ++r) {
        for (std::size_t i = 0; i < kWays; ++i) {
            Way& w = ways[(static_cast<std::size_t>(r) + i) % kWays];
            const double m = w.run();
            measured = measured && m > 0;
            w.mibs.push_back(m);
        }
    }
    fs::remove_all(folder);
    if (!measured) {
        std::fprintf(stderr, "an extraction failed\n");
        return 2;
    }

    std::printf("package: %zu entries, %.2f MiB uncompressed, %.2f MiB stored, into %s; %d rounds, order rotating\n",
                sources.size(), mib, static_cast<double>(pkg.size()) / (1024.0 * 1024.0), base.c_str(), rounds);
    constexpr double kTarget = 0.9;
    bool ok = true;
    for (std::size_t b = 1; b < kWays; ++b) {
        std::vector<double> ratios;
        for (int r = 0; r < rounds; ++r) ratios.push_back(ways[0].mibs[r] / ways[b].mibs[r]);
        const double ratio = Median(ratios);
        const bool target = b == 1;
        if (target) ok = ratio >= kTarget;
        std::printf("ExtractPackage / %-27s median ratio %.3f (min %.3f, max %.3f) %s   [median %.1f / %.1f MiB/s]\n",
                    ways[b].name, ratio, *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()),
                    !target ? "information" : ok ? "target >= 0.9 met" : "target >= 0.9 MISSED", Median(ways[0].mibs),
                    Median(ways[b].mibs));
    }
    return ok ? 0 : 1;
}
