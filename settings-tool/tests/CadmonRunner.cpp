#include "settings-tool/tests/CadmonRunner.h"

#include "tests/support/HexMatch.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef CADMON_PATH
#error "CADMON_PATH must name the cadmon binary"
#endif

namespace cadmon::testing {

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string TempFile(const char* stem) {
    std::string pattern = std::string(::testing::TempDir()) + stem + "XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    return pattern;
}

}  // namespace

std::string CadmonRun::Describe() const {
    return "exit status " + std::to_string(exitStatus) + "\n--- stdout ---\n" + out + "--- stderr ---\n" + err;
}

CadmonRun RunCadmon(const std::vector<std::string>& args, const Environment& environment, int timeoutSeconds,
                    const std::string& input, int uid) {
    const std::string outPath = TempFile("cadmon-out-");
    const std::string errPath = TempFile("cadmon-err-");
    const std::string inPath = TempFile("cadmon-in-");
    std::ofstream(inPath, std::ios::binary) << input;

    std::vector<std::string> argvStrings{CADMON_PATH};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_TRUNC);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_TRUNC);
        if (in < 0 || out < 0 || err < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                         ::setuid(static_cast<uid_t>(uid)) != 0))
            ::_exit(125);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    CadmonRun run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status != -1 && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    std::remove(inPath.c_str());
    return run;
}

std::string Hex(const std::string& bytes) { return testhex::Hex(bytes); }

std::string FromHex(const std::string& hex) {
    std::string bytes;
    int pending = -1;
    for (char c : hex) {
        int value;
        if (c >= '0' && c <= '9') value = c - '0';
        else if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
        else continue;
        if (pending < 0) {
            pending = value;
        } else {
            bytes.push_back(static_cast<char>(pending * 16 + value));
            pending = -1;
        }
    }
    return bytes;
}

}  // namespace cadmon::testing
