#pragma once
// Runs the ferrik program as a child process: arguments, extra environment,
// working folder; collects its exit status, stdout and stderr.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace ferrik::testing {

struct RunResult {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;
    std::string err;
};

inline std::string FerrikPath() {
#ifdef FERRIK_PATH
    return FERRIK_PATH;
#else
    return std::string(std::getenv("PROJECT_BUILD_DIR")) + "/update-tool/gui/ferrik";
#endif
}

// In a child: becomes ferrik in `cwd` with the extra environment.
[[noreturn]] inline void ExecFerrik(const std::vector<std::string>& args,
                                   const std::vector<std::pair<std::string, std::string>>& env,
                                   const std::filesystem::path& cwd) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    const std::string program = FerrikPath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

inline RunResult RunFerrik(const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::string>>& env,
                           const std::filesystem::path& cwd) {
    const std::filesystem::path outFile = cwd / ".ferrik-out.txt";
    const std::filesystem::path errFile = cwd / ".ferrik-err.txt";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // No terminal to ask, whoever runs the test.
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ExecFerrik(args, env, cwd);
    }
    RunResult result;
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    auto slurp = [](const std::filesystem::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    result.out = slurp(outFile);
    result.err = slurp(errFile);
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return result;
}

// Runs ferrik on a terminal of its own (a pseudo-terminal for stdin, stdout
// and stderr), types `typed` and collects what the terminal showed in `out`.
inline RunResult RunFerrikOnTerminal(const std::vector<std::string>& args,
                                     const std::vector<std::pair<std::string, std::string>>& env,
                                     const std::filesystem::path& cwd, const std::string& typed) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ExecFerrik(args, env, cwd);
    }
    RunResult result;
    if (pid < 0) return result;
    // Typed ahead: the terminal keeps the line until ferrik reads it.
    if (::write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once ferrik has ended and closed the terminal
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(master);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

}  // namespace ferrik::testing
