#pragma once
// Runs the built cadmon binary as a user would, with extra environment
// variables, and collects its exit status and output.
#include <string>
#include <utility>
#include <vector>

namespace cadmon::testing {

struct CadmonRun {
    int exitStatus = -1;  // -1: killed (did not end in time)
    std::string out;
    std::string err;
    std::string Describe() const;  // for failure messages
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// `uid` >= 0: cadmon runs as that user (and group), as a user without the
// rights of the test would.
CadmonRun RunCadmon(const std::vector<std::string>& args, const Environment& environment = {},
                    int timeoutSeconds = 60, const std::string& input = {}, int uid = -1);

// "1F 1B 64 00": upper-case hex pairs separated by blanks.
std::string Hex(const std::string& bytes);
// Bytes from "1F 1B 64 00" (blanks optional).
std::string FromHex(const std::string& hex);

}  // namespace cadmon::testing
