#pragma once
// Shared by the tests that install against a private cupsd: reading files and
// command output, and printer-sim standing in for the network printer.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

}  // namespace cupstest
