#pragma once
// Shared by the tests that install against a private cupsd: reading files and
// command output, and printer-sim standing in for the network printer.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "installer/payload/Package.h"

#include "sim/testing/SimProcess.h"

namespace cupstest {

inline std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs a shell command and returns what it printed (stdout and stderr).
inline std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    return out;
}

// The bytes printer-sim received, once at least `count` of them have arrived
// (or the time is up).
inline std::string ReceivedBytes(const simtest::SimProcess& printer, std::size_t count, int timeoutMs) {
    printer.WaitForRawSize(count, std::chrono::milliseconds(timeoutMs));
    const auto raw = printer.RawBytes();
    return std::string(raw.begin(), raw.end());
}

// The payload of the given folder, with its placeholder monitor module
// replaced by a working backend that sends a job to the address its device
// URI names.
inline std::vector<payload::PackageSource> PayloadWithStandInMonitor(const std::string& folder) {
    static const std::string backend =
        "#!/bin/bash\n"
        "[ $# -eq 0 ] && exit 0\n"
        "hostport=${DEVICE_URI#*://}; hostport=${hostport%%/*}\n"
        "[ -n \"$6\" ] && exec 0<\"$6\"\n"
        "exec 3<>/dev/tcp/${hostport%:*}/${hostport##*:} || exit 1\n"
        "cat >&3\n";
    std::vector<payload::PackageSource> sources = payload::SourcesFromFolder(folder);
    for (auto& source : sources)
        if (source.name.rfind("RcptPortMon.dll", 0) == 0) source.data.assign(backend.begin(), backend.end());
    return sources;
}

}  // namespace cupstest
