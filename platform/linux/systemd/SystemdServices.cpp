#include "platform/linux/systemd/SystemdServices.h"

#include <fcntl.h>
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <system_error>
#include <vector>

#include "base/SafeFs.h"

extern char** environ;

namespace platform_linux {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kUnitLimit = 1 << 16;

bool HasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// A value systemd would read back as written: no control character (the
// line would end or mean something else), no blank or backslash at its end
// (blanks are trimmed, a backslash continues the line).
bool Writable(const std::string& s) {
    return !HasControl(s) && (s.empty() || (s.back() != ' ' && s.back() != '\\'));
}

// An unquoted value with specifiers kept literal.
std::optional<std::string> Plain(const std::string& s) {
    if (!Writable(s) || (!s.empty() && s.front() == ' ')) return std::nullopt;
    std::string out;
    for (char c : s) {
        if (c == '%') out += '%';
        out += c;
    }
    return out;
}

// The program of ExecStart=, quoted: "%" doubled; systemd takes no quote,
// apostrophe or backslash in a program's name, nor a "$" substitution there.
std::optional<std::string> ExecProgram(const std::string& s) {
    if (HasControl(s) || s.find_first_of("\"'\\") != std::string::npos) return std::nullopt;
    std::string out = "\"";
    for (char c : s) {
        if (c == '%') out += c;
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
    base::Dir dir;
    return base::OpenFolder(unitDirectory_, true, dir) == 0;
}

std::optional<std::string> SystemdServices::UnitText(const engine::ServiceRecord& service,
                                                     const std::string& description,
                                                     const std::vector<fs::path>& hidden) {
    const auto desc = Plain(description);
    const auto exec = ExecProgram(service.program.string());
    const auto workdir = Plain(service.program.parent_path().string());
    if (!desc || !exec || !workdir || !Writable(service.displayName) || !service.program.is_absolute())
        return std::nullopt;
    // "-": a folder that is not there is nothing to hide.
    std::string hiddenPaths;
    for (const fs::path& path : hidden) {
        const auto quoted = ExecProgram("-" + path.string());
        if (!quoted || !path.is_absolute()) return std::nullopt;
        hiddenPaths += (hiddenPaths.empty() ? "" : " ") + *quoted;
    }
    std::ostringstream unit;
    unit << "# " << service.displayName << "\n"
         << "[Unit]\n"
         << "Description=" << *desc << "\n"
         << "After=cups.service\n\n"
         << "[Service]\n"
         << "Type=simple\n"
         << "ExecStart=" << *exec << "\n"
         << "WorkingDirectory=" << *workdir << "\n"
         << "# cupsd lets root, and the users listed in its system group, enable\n"
         << "# queues and release jobs on its socket; of root the program keeps\n"
         << "# only that.\n"
         << "CapabilityBoundingSet=\n"
         << "NoNewPrivileges=yes\n"
         << "ProtectSystem=strict\n"
         << "ProtectHome=read-only\n"
         << "PrivateTmp=yes\n";
    if (!hiddenPaths.empty()) unit << "InaccessiblePaths=" << hiddenPaths << "\n";
    unit << "ProtectKernelTunables=yes\n"
         << "ProtectKernelModules=yes\n"
         << "ProtectControlGroups=yes\n"
         << "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
         << "RestrictNamespaces=yes\n"
         << "RestrictSUIDSGID=yes\n"
         << "LockPersonality=yes\n"
         << "Restart=on-failure\n\n"
         << "[Install]\n"
         << "WantedBy=" << (service.autoStart ? "multi-user.target" : "") << "\n";
    return unit.str();
}

bool SystemdServices::Create(const engine::ServiceRecord& service) {
    lastError_.clear();
    const auto text = UnitText(service, service.displayName, hidden_);
    if (!text) {
        lastError_ = "a name or path the unit cannot hold";
        return false;
    }
    std::string part;
    if (const int error = base::OnlyRootCanChange(service.program, &part); error != 0) {
        lastError_ = error == EPERM ? part + " can be changed by a user other than root"
                                    : service.program.string() + ": " + base::ErrorText(error);
        return false;
    }
    base::Dir dir;
    if (base::OpenFolder(unitDirectory_, true, dir) != 0) return false;
    // An existing unit is never replaced.
    base::NewFile file;
    if (file.Create(dir) != 0) return false;
    file.Write(text->data(), text->size());
    return file.CommitNew(UnitName(service.name), 0644) == 0;
}

bool SystemdServices::SetDescription(const std::string& name, const std::string& description) {
    const auto value = Plain(description);
    base::Dir dir;
    if (!value || base::OpenFolder(unitDirectory_, false, dir) != 0) return false;
    const auto text = base::ReadFileAt(dir, UnitName(name), kUnitLimit);
    if (!text) return false;
    std::istringstream in(*text);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Description=", 0) == 0) line = "Description=" + *value;
        out += line + "\n";
    }
    return base::WriteFileAt(dir, UnitName(name), out, 0644) == 0;
}

bool SystemdServices::Start(const std::string& name) {
    if (!live_ || !SystemdRuns()) return false;
    const std::string unit = UnitName(name);
    Run({"systemctl", "daemon-reload"});
    return Run({"systemctl", "enable", "--now", unit}) == 0;
}

bool SystemdServices::Remove(const std::string& name) {
    base::Dir dir;
    const std::string unit = UnitName(name);
    if (base::OpenFolder(unitDirectory_, false, dir) != 0 || !base::IsOurFile(dir, unit)) return false;
    const bool running = live_ && SystemdRuns();
    if (running) Run({"systemctl", "disable", "--now", unit});
    const bool removed = ::unlinkat(dir.Get(), unit.c_str(), 0) == 0;
    if (running) Run({"systemctl", "daemon-reload"});
    return removed;
}

}  // namespace platform_linux
