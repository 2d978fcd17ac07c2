#pragma once
// The printer service as a child process, for its tests and its benchmark:
// started with an argument list (a program found on PATH or by its path),
// stdout and stderr in a log file, its lines read back from it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace servicetest {

// Polls `condition` until it holds or `timeout` has passed.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class ServiceProcess {
public:
    ServiceProcess(const std::vector<std::string>& argv, const std::filesystem::path& log) : log_(log) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ServiceProcess() { Stop(); }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t Pid() const { return pid_; }

    std::vector<std::string> Lines() const {
        std::ifstream in(log_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string Text() const {
        std::string text;
        for (const std::string& line : Lines()) text += "\n  " + line;
        return text;
    }
    // The first line from line `from` on that starts with `start`.
    std::optional<std::string> WaitForLine(const std::string& start, std::size_t from = 0,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(60)) const {
        std::optional<std::string> found;
        Eventually(
            [&] {
                const auto lines = Lines();
                for (std::size_t i = from; i < lines.size() && !found; ++i)
                    if (lines[i].rfind(start, 0) == 0) found = lines[i];
                return found.has_value();
            },
            timeout);
        return found;
    }
    // True once the service's last line about `queue`'s printer says it is
    // there (back, present, ready) or away.
    bool Says(const std::string& queue, bool present,
              std::chrono::milliseconds timeout = std::chrono::seconds(60)) const {
        const std::string prefix = queue + ": printer ";
        return Eventually(
            [&] {
                const auto lines = Lines();
                for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
                    if (it->rfind(prefix, 0) != 0) continue;
                    const bool there = it->find(" back at ") != std::string::npos ||
                                       it->find(" present at ") != std::string::npos ||
                                       it->find(" ready at ") != std::string::npos;
                    return there == present;
                }
                return false;
            },
            timeout);
    }
    // SIGTERM; the exit status, -1 when it had to be killed or did not exit normally.
    int Stop() {
        if (pid_ <= 0) return status_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        const bool ended = Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10));
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        status_ = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return status_;
    }

private:
    std::filesystem::path log_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace servicetest
