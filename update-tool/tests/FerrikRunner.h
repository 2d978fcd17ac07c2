#pragma once
// Runs the ferrik program as a child process: arguments, extra environment,
// working folder; collects its exit status, stdout and stderr.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

inline RunResult RunFerrik(const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::string>>& env,
                           const std::filesystem::path& cwd) {
    const std::filesystem::path outFile = cwd / ".ferrik-out.txt";
    const std::filesystem::path errFile = cwd / ".ferrik-err.txt";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        const std::string program = FerrikPath();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
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

}  // namespace ferrik::testing
