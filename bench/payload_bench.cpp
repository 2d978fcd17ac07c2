// Payload extraction throughput: ExtractPackage against a plain zlib inflate
// of the same streams into the same folder, measured in the same run.
//
//   payload_bench [FOLDER] [ROUNDS]
//
// Prints both throughputs (uncompressed MiB/s, median of ROUNDS alternating
// rounds) and their ratio; the extraction should reach at least 0.9.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// zlib's usual inflate-a-stream-to-a-file loop, with the given output block.
std::uint64_t PlainInflate(const std::vector<std::uint8_t>& pkg, const fs::path& folder, std::size_t chunk) {
    payload::PackageListing listing = payload::ListPackage(pkg);
    std::vector<std::uint8_t> out(chunk);
    std::uint64_t total = 0;
    for (const auto& e : listing.entries) {
        int fd = ::open((folder / e.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
        ::close(fd);
    }
    return total;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    fs::path folder = base / ("payload-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);

    auto sources = MakeSources();
    std::uint64_t bytes = 0;
    for (const auto& s : sources) bytes += s.data.size();
    auto pkg = payload::BuildPackage(sources, 6);
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);

    std::vector<double> ours, plain16, plain256;
    payload::InstallLog noLog;
    auto seconds = [](Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); };
    PlainInflate(pkg, folder, 16384);  // warm the page cache and the files
    for (int r = 0; r < rounds; ++r) {
        auto t = Clock::now();
        payload::ExtractReport rep = payload::ExtractPackage(pkg, folder, nullptr, noLog);
        ours.push_back(mib / seconds(t));
        if (rep.written.size() != sources.size() || rep.failedEntries) {
            std::fprintf(stderr, "extraction failed\n");
            return 1;
        }
        t = Clock::now();
        PlainInflate(pkg, folder, 16384);
        plain16.push_back(mib / seconds(t));
        t = Clock::now();
        PlainInflate(pkg, folder, 262144);
        plain256.push_back(mib / seconds(t));
    }
    fs::remove_all(folder);

    const double o = Median(ours), p = Median(plain16), p2 = Median(plain256);
    std::printf("package: %zu entries, %.2f MiB uncompressed, %.2f MiB stored; %d rounds\n",
                sources.size(), mib, static_cast<double>(pkg.size()) / (1024.0 * 1024.0), rounds);
    std::printf("ExtractPackage              %8.1f MiB/s\n", o);
    std::printf("plain inflate, 16 KiB out   %8.1f MiB/s   ratio %.3f\n", p, o / p);
    std::printf("plain inflate, 256 KiB out  %8.1f MiB/s   ratio %.3f\n", p2, o / p2);
    std::printf("target ratio >= 0.9 against the 16 KiB loop: %s\n", o / p >= 0.9 ? "met" : "NOT met");
    return 0;
}
