#include "platform/linux/systemd/SystemdServices.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

extern char** environ;

namespace linuxplat {
namespace fs = std::filesystem;
namespace {

// One argument of ExecStart=, quoted for systemd.
std::string QuoteExec(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        if (c == '$') out += '$';
        out += c;
    }
    return out + "\"";
}

int Run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string SystemdServices::UnitName(const std::string& serviceName) {
    std::string out;
    for (unsigned char c : serviceName) {
        const bool ok = std::isalnum(c) || c == ':' || c == '_' || c == '.' || c == '-' || c == '@';
        out += ok ? static_cast<char>(c) : '-';
    }
    if (out.empty()) out = "service";
    return out + ".service";
}

fs::path SystemdServices::UnitFile(const std::string& serviceName) const {
    return unitDirectory_ / UnitName(serviceName);
}

bool SystemdServices::SystemdRuns() {
    std::error_code ec;
    return fs::is_directory("/run/systemd/system", ec);
}

bool SystemdServices::Available() {
    std::error_code ec;
    fs::create_directories(unitDirectory_, ec);
    return fs::is_directory(unitDirectory_, ec);
}

bool SystemdServices::Create(const engine::ServiceRecord& service) {
    const fs::path file = UnitFile(service.name);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(file, ec))) return false;
    std::ostringstream unit;
    unit << "# " << service.displayName << "\n"
         << "[Unit]\n"
         << "Description=" << service.displayName << "\n"
         << "After=cups.service\n\n"
         << "[Service]\n"
         << "Type=simple\n"
         << "ExecStart=" << QuoteExec(service.program.string()) << "\n"
         << "WorkingDirectory=" << QuoteExec(service.program.parent_path().string()) << "\n"
         << "Restart=on-failure\n\n"
         << "[Install]\n"
         << "WantedBy=" << (service.autoStart ? "multi-user.target" : "") << "\n";
    // O_EXCL: an existing unit is never replaced.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string text = unit.str();
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

bool SystemdServices::SetDescription(const std::string& name, const std::string& description) {
    const fs::path file = UnitFile(name);
    std::ifstream in(file);
    if (!in) return false;
    std::string text, line;
    while (std::getline(in, line)) {
        if (line.rfind("Description=", 0) == 0) line = "Description=" + description;
        text += line + "\n";
    }
    in.close();
    std::ofstream out(file, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool SystemdServices::Start(const std::string& name) {
    if (!live_ || !SystemdRuns()) return false;
    const std::string unit = UnitName(name);
    Run({"systemctl", "daemon-reload"});
    return Run({"systemctl", "enable", "--now", unit}) == 0;
}

}  // namespace linuxplat
