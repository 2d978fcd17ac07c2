#pragma once
// A process's CPU time (user and system) from /proc/PID/stat, in ms: what the
// benchmarks that watch an idle server report beside its wake-ups.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

inline double ProcessCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the program's name, which is in parentheses and may hold blanks.
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size()) return 0;
    std::istringstream rest(text.substr(close + 2));
    std::vector<std::string> fields{std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
    // utime and stime: fields 14 and 15 of the line, 12 and 13 after the name.
    if (fields.size() <= 12) return 0;
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) * 1000.0 /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace bench
