// The port list, serial settings, the port monitor and its port, and the port
// procedure that settles which port the new printer gets.
#include "installer/engine/Engine.h"
#include "base/TextCodec.h"

namespace engine {

std::string ParityLetter(std::string_view listText) {
    if (listText == "偶校验") return "e";
    if (listText == "奇校验") return "o";
    return "n";
}

std::string FlowLetter(std::string_view listText) {
    if (listText == "Xon / Xoff") return "x";
    if (listText == "硬件") return "p";
    return "";
}

std::string ComSettingsText(const ComSettings& com) {
    return com.baudRate + "," + com.parity + "," + com.dataBits + "," + com.stopBits + "," + com.flow;
}

std::string NetworkPortEntry(int uiLanguage) {
    if (uiLanguage == 0) return "Net Port(TCP/IP)";
    if (uiLanguage == 1) return "网络端口（TCP/IP）";
    return "";
}

std::vector<std::string> FillPortList(PrintSpooler& spooler, int uiLanguage) {
    std::vector<std::string> list{"USB"};
    std::vector<SpoolerPort> ports;
    if (spooler.EnumPorts(ports) == kOk) {
        // Names are listed whole (without their last character, the colon),
        // however long they are.
        for (const char* kind : {"COM", "LPT"}) {
            for (const SpoolerPort& port : ports) {
                if (port.name.compare(0, 3, kind) == 0 && port.name.size() > 1) {
                    list.push_back(port.name.substr(0, port.name.size() - 1));
                }
            }
        }
    }
    const std::string net = NetworkPortEntry(uiLanguage);
    if (!net.empty()) list.push_back(net);
    return list;
}

void WriteComPortSettings(KeyValueStore& store, const std::string& portName, const ComSettings& com) {
    if (!store.CreateKey(kComPortsKey)) return;
    store.SetText(kComPortsKey, portName, ComSettingsText(com));
}

std::string MonitorPortName(std::string_view printerName) {
    return std::string(printerName) + "-Port:";
}

namespace {

std::string Environment(const InstallRun& run) { return run.wow64 ? "Windows x64" : "Windows NT x86"; }

std::string MonitorName(const InstallRun& run) { return base::Utf16ToUtf8(run.texts.monitorName); }

// The modal port choice; true with the port name replaced, false on Cancel.
// A spooler that does not answer leaves nothing to choose from: no question,
// the installation fails for that reason.
bool AskForPort(InstallRun& run) {
    std::vector<SpoolerPort> ports;
    const std::uint32_t error = run.platform.spooler.EnumPorts(ports);
    if (error == kErrorSpoolerUnavailable) {
        if (run.failure == Failure::None) run.failure = Failure::SpoolerUnreachable;
        return false;
    }
    if (error != kOk) ports.clear();
    const std::optional<std::string> chosen = run.observer.ChoosePort(ports);
    if (!chosen) {
        if (run.failure == Failure::None) run.failure = Failure::PortNotChosen;
        return false;
    }
    run.settings.portName = *chosen;
    run.portMonitor.clear();
    for (const SpoolerPort& port : ports)
        if (port.name == *chosen) run.portMonitor = port.monitor;
    return true;
}

std::optional<SpoolerPort> FindPort(PrintSpooler& spooler, const std::string& portName) {
    std::vector<SpoolerPort> ports;
    if (spooler.EnumPorts(ports) != kOk) return std::nullopt;
    for (const SpoolerPort& port : ports) {
        if (port.name == portName) return port;
    }
    return std::nullopt;
}

}  // namespace

bool InstallPortMonitor(InstallRun& run, const std::filesystem::path& monitorModule) {
    MonitorRecord monitor{MonitorName(run), Environment(run), monitorModule};
    const std::uint32_t error = run.platform.spooler.AddMonitor(monitor);
    if (error == kOk) RecordPart(run, PartKind::Monitor, monitor.name, true);
    if (run.wow64) {
        if (error != kOk) run.log.Append("AddPrinterMonitor64 Error=%d\r\n", static_cast<int>(error));
    } else if (error != kOk && error != kErrorMonitorAlreadyInstalled) {
        run.log.Append("AddPrinterMonitor32 = %d\r\n", static_cast<int>(error));
    }
    return error == kOk || error == kErrorMonitorAlreadyInstalled;
}

bool CreateMonitorPort(InstallRun& run) {
    const std::uint32_t error = run.platform.spooler.AddPort(run.settings.portName, MonitorName(run));
    if (error != kOk) {
        run.log.Append("AddPortEx = %d PortName=%s\r\n", static_cast<int>(error), run.settings.portName.c_str());
        return false;
    }
    RecordPart(run, PartKind::Port, run.settings.portName, true);
    return true;
}

bool PortExists(PrintSpooler& spooler, const std::string& portName) {
    return FindPort(spooler, portName).has_value();
}

bool RunPortProcedure(InstallRun& run, const std::filesystem::path& monitorModule) {
    InstallSettings& s = run.settings;
    if ((s.usbChosen || s.portKind == kPortKindNetwork) && s.useMonitor) {
        s.portName = MonitorPortName(s.printerName);
        if (!InstallPortMonitor(run, monitorModule)) {
            if (!AskForPort(run)) return false;
        } else if (!CreateMonitorPort(run)) {
            if (!AskForPort(run)) return false;
        }
    }
    if (const auto port = FindPort(run.platform.spooler, s.portName)) {
        run.portMonitor = port->monitor;
    } else if (!AskForPort(run)) {
        return false;
    }
    // A printer on a port of our monitor uses the monitor and the port, whoever made them.
    if (!run.portMonitor.empty() && run.portMonitor == MonitorName(run)) {
        RecordPart(run, PartKind::Monitor, run.portMonitor, false);
        RecordPart(run, PartKind::Port, s.portName, false);
    }
    return true;
}

}  // namespace engine
