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
// needs: as the user and group "lp" (a dynamic user where there is no "lp"),
// with the group "lpadmin" where it exists (CUPS lets that group re-enable
// queues and release jobs), no new privileges, a read-only system and
// read-only homes. Values are written by systemd's rules: the program of
// ExecStart= quoted with "%" doubled (systemd refuses quotes, apostrophes and
// backslashes in a program's name); other values unquoted with "%" doubled.
// A value that cannot be written so (a control character, blanks or a
// backslash at its end, a quote in the program's path) makes Create fail
// rather than write a unit that means something else.
#include <filesystem>
#include <optional>
#include <string>

#include "installer/engine/Seams.h"

namespace linuxplat {

class SystemdServices : public engine::ServiceManager {
public:
    // `live` is true when the unit folder is the running system's own.
    SystemdServices(std::filesystem::path unitDirectory, bool live)
        : unitDirectory_(std::move(unitDirectory)), live_(live) {}

    bool Available() override;
    bool Create(const engine::ServiceRecord& service) override;
    bool SetDescription(const std::string& name, const std::string& description) override;
    bool Start(const std::string& name) override;
    bool Remove(const std::string& name) override;

    // "MavoPrinter Service" -> "MavoPrinter-Service.service".
    static std::string UnitName(const std::string& serviceName);
    std::filesystem::path UnitFile(const std::string& serviceName) const;
    static bool SystemdRuns();
    // The unit's text; nullopt when a value cannot be written by systemd's rules.
    static std::optional<std::string> UnitText(const engine::ServiceRecord& service,
                                               const std::string& description);

private:
    std::filesystem::path unitDirectory_;
    bool live_;
};

}  // namespace linuxplat
