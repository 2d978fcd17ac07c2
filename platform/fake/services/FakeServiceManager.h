#pragma once
// A service manager that keeps services in memory and records calls.
#include <map>
#include <string>
#include <vector>

#include "installer/engine/Seams.h"

namespace platform_fake {

class FakeServiceManager : public engine::ServiceManager {
public:
    struct Service {
        engine::ServiceRecord record;
        std::string description;
        bool running = false;
    };
    bool available = true;
    bool failStart = false;
    std::map<std::string, Service> services;
    std::vector<std::string> calls;

    bool Available() override { return available; }
    bool Create(const engine::ServiceRecord& service) override {
        calls.push_back("Create " + service.name);
        if (services.count(service.name)) return false;
        services[service.name].record = service;
        return true;
    }
    bool SetDescription(const std::string& name, const std::string& description) override {
        calls.push_back("SetDescription " + description);
        auto it = services.find(name);
        if (it == services.end()) return false;
        it->second.description = description;
        return true;
    }
    bool Remove(const std::string& name) override {
        calls.push_back("Remove " + name);
        return services.erase(name) != 0;
    }
    bool Start(const std::string& name) override {
        calls.push_back("Start " + name);
        auto it = services.find(name);
        if (it == services.end() || failStart) return false;
        it->second.running = true;
        return true;
    }
};

}  // namespace platform_fake
