#pragma once
// An in-memory print spooler that records every call in order and fails any
// call on demand with a chosen error number.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "installer/engine/Seams.h"

namespace platform_fake {

class FakePrintSpooler : public engine::PrintSpooler {
public:
    // Scripting.
    std::filesystem::path driverDirectory;
    std::filesystem::path systemDirectory;
    std::map<std::string, std::uint32_t> failures;  // call name -> error it returns
    std::vector<engine::SpoolerPort> ports;
    std::vector<std::string> printers;               // existing printer names
    std::vector<std::string> monitors;               // installed monitor names

    // Observation.
    std::vector<std::string> calls;                  // "AddMonitor", "AddPort POS80-Port:", ...
    std::vector<engine::DriverRecord> drivers;
    std::vector<engine::PrinterRecord> added;
    engine::PrinterData data;  // in order
    std::vector<engine::PrinterHandle> openHandles;
    std::string defaultPrinter;

    std::uint32_t Fail(const std::string& call) const {
        auto it = failures.find(call);
        return it == failures.end() ? engine::kOk : it->second;
    }

    std::uint32_t DriverDirectory(std::filesystem::path& folder) override {
        calls.push_back("DriverDirectory");
        if (auto e = Fail("DriverDirectory")) return e;
        folder = driverDirectory;
        return engine::kOk;
    }
    std::filesystem::path SystemDirectory() override {
        calls.push_back("SystemDirectory");
        return systemDirectory;
    }
    std::uint32_t AddPrinterDriver(const engine::DriverRecord& driver) override {
        calls.push_back("AddPrinterDriver " + driver.name);
        if (auto e = Fail("AddPrinterDriver")) return e;
        drivers.push_back(driver);
        return engine::kOk;
    }
    std::uint32_t AddMonitor(const engine::MonitorRecord& monitor) override {
        calls.push_back("AddMonitor " + monitor.name);
        if (auto e = Fail("AddMonitor")) return e;
        for (const auto& m : monitors)
            if (m == monitor.name) return engine::kErrorMonitorAlreadyInstalled;
        monitors.push_back(monitor.name);
        return engine::kOk;
    }
    std::uint32_t AddPort(const std::string& portName, const std::string& monitorName) override {
        calls.push_back("AddPort " + portName);
        if (auto e = Fail("AddPort")) return e;
        for (const auto& p : ports)
            if (p.name == portName) return engine::kErrorAlreadyExists;
        ports.push_back({portName, monitorName + " port", monitorName});
        return engine::kOk;
    }
    std::uint32_t EnumPorts(std::vector<engine::SpoolerPort>& out) override {
        calls.push_back("EnumPorts");
        if (auto e = Fail("EnumPorts")) return e;
        out = ports;
        return engine::kOk;
    }
    std::uint32_t EnumPrinters(std::vector<std::string>& names) override {
        calls.push_back("EnumPrinters");
        if (auto e = Fail("EnumPrinters")) return e;
        names = printers;
        return engine::kOk;
    }
    std::uint32_t AddPrinter(const engine::PrinterRecord& printer, engine::PrinterHandle& handle) override {
        calls.push_back("AddPrinter " + printer.printerName + " @ " + printer.portName);
        if (auto e = Fail("AddPrinter")) return e;
        for (const auto& p : printers)
            if (p == printer.printerName) return engine::kErrorPrinterAlreadyExists;
        added.push_back(printer);
        printers.push_back(printer.printerName);
        handle = 0x1000 + added.size();
        openHandles.push_back(handle);
        return engine::kOk;
    }
    // One call for the lot, recorded as one call per value.
    std::uint32_t SetPrinterData(engine::PrinterHandle handle, const engine::PrinterData& values) override {
        const bool open = std::find(openHandles.begin(), openHandles.end(), handle) != openHandles.end();
        for (const auto& [name, value] : values) {
            calls.push_back("SetPrinterData " + name);
            if (open) data.emplace_back(name, value);
        }
        return open ? engine::kOk : engine::kErrorInvalidHandle;
    }
    void ClosePrinter(engine::PrinterHandle handle) override {
        calls.push_back("ClosePrinter");
        std::erase(openHandles, handle);
    }
    bool SetDefaultPrinter(const std::string& name) override {
        calls.push_back("SetDefaultPrinter " + name);
        if (Fail("SetDefaultPrinter")) return false;
        defaultPrinter = name;
        return true;
    }
    // The queue is the printer's name (not recorded as a call: nothing changes).
    std::string QueueName(engine::PrinterHandle handle) override {
        const std::size_t i = handle - 0x1001;
        return i < added.size() ? added[i].printerName : std::string();
    }
    std::uint32_t DeletePrinter(const std::string& queue) override {
        calls.push_back("DeletePrinter " + queue);
        if (auto e = Fail("DeletePrinter")) return e;
        return std::erase(printers, queue) ? engine::kOk : engine::kErrorInvalidPrinterName;
    }
    std::uint32_t DeletePrinterDriver(const std::string& name) override {
        calls.push_back("DeletePrinterDriver " + name);
        return std::erase_if(drivers, [&](const auto& d) { return d.name == name; }) ? engine::kOk
                                                                                     : engine::kErrorUnknownPrinterDriver;
    }
    // In use while a printer that is still there was added on one of its ports.
    std::uint32_t DeleteMonitor(const std::string& name) override {
        calls.push_back("DeleteMonitor " + name);
        for (const auto& p : added) {
            const bool present = std::find(printers.begin(), printers.end(), p.printerName) != printers.end();
            for (const auto& port : ports)
                if (present && port.name == p.portName && port.monitor == name) return engine::kErrorMonitorInUse;
        }
        return std::erase(monitors, name) ? engine::kOk : engine::kErrorUnknownMonitor;
    }
    std::uint32_t DeletePort(const std::string& name) override {
        calls.push_back("DeletePort " + name);
        return std::erase_if(ports, [&](const auto& p) { return p.name == name; }) ? engine::kOk
                                                                                   : engine::kErrorUnknownPort;
    }
};

}  // namespace platform_fake
