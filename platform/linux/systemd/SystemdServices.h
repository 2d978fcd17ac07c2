#pragma once
// Services as systemd units. Create writes "<unit dir>/<unit>.service"
// (failing when it exists, as for a service installed earlier); SetDescription
// fills its Description=; Start enables and starts the unit with systemctl when
// systemd runs this system and the unit folder is the live one. Elsewhere
// (containers, staged installs below a prefix) Start is skipped silently and
// the unit file waits for the next boot or a manual enable.
#include <filesystem>
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

    // "MavoPrinter Service" -> "MavoPrinter-Service.service".
    static std::string UnitName(const std::string& serviceName);
    std::filesystem::path UnitFile(const std::string& serviceName) const;
    static bool SystemdRuns();

private:
    std::filesystem::path unitDirectory_;
    bool live_;
};

}  // namespace linuxplat
