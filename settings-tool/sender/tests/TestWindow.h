#pragma once
// The sender's window in tests: a recording window without Qt.
#include <mutex>
#include <string>
#include <vector>

#include "link/tests/TestSupport.h"
#include "protocol/SettingsCommands.h"
#include "settings-tool/sender/PrinterWindow.h"

namespace sendertest {

// A window without Qt: the port choice and IP are set by the test; failed
// attempts are recorded as "<port>: <outcome>, dropped|kept".
class TestWindow : public sender::PrinterWindow {
public:
    void SetPort(sender::PortChoice port) {
        std::lock_guard<std::mutex> lock(mutex_);
        port_ = port;
    }
    void SetIp(protocol::Ipv4 ip) {
        std::lock_guard<std::mutex> lock(mutex_);
        ip_ = ip;
    }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<sender::AttemptReport> Reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }

    sender::PortChoice ReadPortChoice() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return port_;
    }
    protocol::Ipv4 ReadPrinterIp() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return ip_;
    }
    void AttemptFailed(const sender::AttemptReport& report) override {
        static const char* const kPorts[] = {"lpt", "usb", "net"};
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::string(kPorts[static_cast<int>(report.port)]) + ": " +
                          linktest::OutcomeName(report.result.outcome) + (report.dropped ? ", dropped" : ", kept"));
        reports_.push_back(report);
    }

private:
    mutable std::mutex mutex_;
    sender::PortChoice port_ = sender::PortChoice::Usb;
    protocol::Ipv4 ip_{127, 0, 0, 1};
    std::vector<std::string> events_;
    std::vector<sender::AttemptReport> reports_;
};

}  // namespace sendertest
