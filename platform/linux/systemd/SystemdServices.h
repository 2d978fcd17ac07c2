#pragma once
// Services as systemd units. Create writes "<unit dir>/<unit>.service"
// (failing when it exists, as for a service installed earlier); SetDescription
// fills its Description=; Start enables and starts the unit with systemctl when
// systemd runs this system and the unit folder is the live one. Elsewhere
// (containers, staged installs below a prefix) Start is skipped silently and
// the unit file waits for the next boot or a manual enable. Remove stops and
// disables the unit the same way (live only) and deletes its file when it is
// a file of ours (root's, one link).
//
// The unit runs its program with the least privilege the printer service
// needs. It enables queues and releases other users' jobs, which cupsd grants
// on its local socket to root and to the users the group database lists in
// its system group (lpadmin), not to a process that merely carries that
// group: a user "lp" with SupplementaryGroups=lpadmin is refused
// (client-error-forbidden). So the program keeps root's identity for cupsd
// and nothing else of root's: no capabilities, no new privileges, a read-only
// system, read-only homes, a private /tmp, no kernel tunables or modules,
// the network families it probes and listens for events with, and the
// installer's store (`hidden`) out of its sight.
//
// Values are written by systemd's rules: the program of ExecStart= and the
// hidden paths quoted with "%" doubled (systemd refuses quotes, apostrophes
// and backslashes in a program's name); other values unquoted with "%" doubled.
// A value that cannot be written so (a control character, blanks or a
// backslash at its end, a quote in the program's path) makes Create fail
// rather than write a unit that means something else.
//
// The unit runs its program as root at every boot, so Create also fails when
// a user other than root could change that program or the folders above it
// (an install folder in a home, a group-writable folder): whoever could
// replace the file would have their code run as root.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "installer/engine/Seams.h"

namespace platform_linux {

class SystemdServices : public engine::ServiceManager {
public:
    // `live` is true when the unit folder is the running system's own;
    // `hidden` the folders the service's program must not see.
    SystemdServices(std::filesystem::path unitDirectory, bool live, std::vector<std::filesystem::path> hidden = {})
        : unitDirectory_(std::move(unitDirectory)), live_(live), hidden_(std::move(hidden)) {}

    bool Available() override;
    bool Create(const engine::ServiceRecord& service) override;
    std::string LastError() const override { return lastError_; }
    bool SetDescription(const std::string& name, const std::string& description) override;
    bool Start(const std::string& name) override;
    bool Remove(const std::string& name) override;

    // "MavoPrinter Service" -> "MavoPrinter-Service.service".
    static std::string UnitName(const std::string& serviceName);
    std::filesystem::path UnitFile(const std::string& serviceName) const;
    static bool SystemdRuns();
    // The unit's text; nullopt when a value cannot be written by systemd's rules.
    static std::optional<std::string> UnitText(const engine::ServiceRecord& service,
                                               const std::string& description,
                                               const std::vector<std::filesystem::path>& hidden = {});

private:
    std::filesystem::path unitDirectory_;
    bool live_;
    std::vector<std::filesystem::path> hidden_;
    std::string lastError_;
};

}  // namespace platform_linux
