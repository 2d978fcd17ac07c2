#include "update-tool/cli/FerrikCommand.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <thread>

#include "platform/linux/usb/AccessHint.h"
#include "protocol/Discovery.h"
#include "protocol/ValueLists.h"
#include "update-tool/core/UpdateTool.h"

namespace ferrik {
namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailedStatus = 3;

const char* const kUsage =
    "usage: ferrik                          open the update window\n"
    "       ferrik flash --usb [FILE]       send a firmware image over USB (default PRINT_NET80.bin)\n"
    "       ferrik flash --net IP [FILE]    send a firmware image to IP, TCP port 9100\n"
    "       ferrik font [FILE]              send a font file over USB (default gb2312)\n"
    "       ferrik set [--codepage ENTRY] [--width 80CM|58CM] [--beep 1|2|3]\n"
    "       ferrik dark 0|1|2\n"
    "       ferrik x-usb | g-usb            set the printer's USB identity\n"
    "       ferrik scan [--seconds N]       list printers on the network\n"
    "       ferrik set-network --printer IP|MAC [--ip IP] [--mask M] [--gateway G] [--mac XX:XX:XX:XX:XX:XX]\n"
    "                          [--dhcp] [--seconds N]\n"
    "                                       give the printer found at IP (or with that current MAC)\n"
    "                                       new settings; --mac is its new MAC\n"
    "       ferrik connect-test IP          try a connection to IP, TCP port 9100\n";

// The window's actions drawn on a terminal: a progress bar on `err`, message
// boxes as lines on `out`.
class TerminalWindow : public UpdateWindow {
public:
    TerminalWindow(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
    ~TerminalWindow() override { FinishBar(); }

    void SetProgress(int position, std::int64_t bytesDone) override {
        std::lock_guard lock(mutex_);
        const int shown = std::clamp(position, 0, 100);
        if (barDrawn_ && shown == lastPosition_ && bytesDone - lastBytes_ < 65536) return;
        lastPosition_ = shown;
        lastBytes_ = bytesDone;
        const int filled = shown * 40 / 100;
        err_ << '\r' << '[' << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(40 - filled), '.') << "] " << shown << "% "
             << bytesDone << " bytes" << std::flush;
        barDrawn_ = true;
    }
    void ShowDevicePath(const std::string& path) override {
        std::lock_guard lock(mutex_);
        if (path == devicePath_) return;
        devicePath_ = path;
        FinishBarLocked();
        err_ << "device: " << path << '\n';
    }
    void ShowStatus(const std::string&) override {}
    void ShowMessageBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        FinishBarLocked();
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        out_ << line << std::endl;
    }
    void SetButtonEnabled(ActionButton, bool) override {}
    void ClearDeviceList() override {}
    void EndProgram(const std::string& text, int status) override {
        ShowMessageBox(text);
        std::lock_guard lock(mutex_);
        endStatus_ = status;
    }
    std::optional<int> EndStatus() const {
        std::lock_guard lock(mutex_);
        return endStatus_;
    }
    void Line(const std::string& text) { ShowMessageBox(text); }
    void FinishBar() {
        std::lock_guard lock(mutex_);
        FinishBarLocked();
    }

private:
    void FinishBarLocked() {
        if (barDrawn_) err_ << '\n' << std::flush;
        barDrawn_ = false;
    }
    std::ostream& out_;
    std::ostream& err_;
    mutable std::mutex mutex_;
    bool barDrawn_ = false;
    int lastPosition_ = -1;
    std::int64_t lastBytes_ = 0;
    std::string devicePath_;
    std::optional<int> endStatus_;
};

std::optional<protocol::Ipv4> ParseIpv4(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    const std::uint32_t value = ntohl(address.s_addr);
    return protocol::Ipv4{static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::optional<int> ParseInt(const std::string& text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "00:1a:b:ff:7:c0" (or with '-'): six hex boxes, each read like the window's boxes.
std::optional<protocol::Mac> ParseMac(const std::string& text) {
    protocol::Mac mac{};
    std::size_t start = 0;
    for (int i = 0; i < 6; ++i) {
        const std::size_t end = text.find_first_of(":-", start);
        if ((i < 5) != (end != std::string::npos)) return std::nullopt;
        const auto byte = protocol::HexBoxToByte(std::string_view(text).substr(start, end - start));
        if (!byte) return std::nullopt;
        mac[static_cast<std::size_t>(i)] = *byte;
        start = end + 1;
    }
    return mac;
}

// "00:1a:0b:ff:07:c0"
std::string MacText(const protocol::Mac& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

// Options after the subcommand: "--name value" pairs, bare flags and positionals.
struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> positional;
};

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::size_t from,
                                    const std::set<std::string>& withValue,
                                    const std::set<std::string>& bare, std::ostream& err) {
    Options options;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (withValue.count(a)) {
            if (i + 1 >= args.size()) {
                err << "ferrik: " << a << " needs a value\n";
                return std::nullopt;
            }
            options.values[a] = args[++i];
        } else if (bare.count(a)) {
            options.flags.insert(a);
        } else if (a.size() > 1 && a[0] == '-') {
            err << "ferrik: unknown option " << a << '\n';
            return std::nullopt;
        } else {
            options.positional.push_back(a);
        }
    }
    return options;
}

int StatusOf(Outcome outcome, const TerminalWindow& window) {
    if (auto ended = window.EndStatus()) return *ended;
    switch (outcome) {
        case Outcome::Done: return 0;
        case Outcome::ProgramEnded: return 1;
        case Outcome::Refused:
        case Outcome::Failed: break;
    }
    return kFailedStatus;
}

// The line a terminal adds to the window's texts when a printer was found
// but refused: the node and the reason.
void ReportRefusal(const UpdateTool& tool, std::ostream& err) {
    const std::string line = printer_link::OpenFailureLine(tool.LastUsbOpen());
    if (!line.empty()) err << "ferrik: " << line << '\n';
}

// How a network download or connection test came to fail, beyond the window's text.
void ReportNetwork(const UpdateTool& tool, std::ostream& err) {
    const printer_link::Result& r = tool.LastNetworkResult();
    const char* why = r.error != 0 ? std::strerror(r.error) : "";
    switch (r.outcome) {
        case printer_link::Outcome::OpenFailed:
            err << "ferrik: cannot connect to " << r.node << (*why ? std::string(": ") + why : "") << '\n';
            break;
        case printer_link::Outcome::TimedOut:
            err << "ferrik: " << r.node << ": the printer took nothing more within its time-out\n";
            break;
        case printer_link::Outcome::Reset:
            err << "ferrik: " << r.node << ": the printer dropped the connection"
                << (*why ? std::string(" (") + why + ")" : "") << "; the image was not taken\n";
            break;
        case printer_link::Outcome::Sent:
        case printer_link::Outcome::Stopped:
            break;
    }
}

int Usage(std::ostream& err, const std::string& why) {
    if (!why.empty()) err << "ferrik: " << why << '\n';
    err << kUsage;
    return kUsageStatus;
}

// Listens for printer replies and probes every two seconds, until the time is
// up or, shortly after, `stopWhen` has held.
class Scan {
public:
    static constexpr std::chrono::milliseconds kSettleTime{500};

    Scan(UpdateTool& tool, TerminalWindow& window) : tool_(tool), window_(window) {}

    bool Run(int seconds, const std::function<bool(const protocol::DeviceRecord&)>& stopWhen,
             std::ostream& err) {
        protocol::DiscoverySockets sockets(tool_.Settings().discovery);
        std::string error;
        if (!sockets.OpenReceive(&error)) {
            err << "ferrik: " << error << '\n';
            return false;
        }
        std::mutex mutex;
        std::condition_variable found;
        bool done = false;
        std::size_t shown = 0;
        protocol::DiscoveryListener listener(
            sockets.ReceiveFd(), tool_.Table(), [&](const std::vector<protocol::DeviceRecord>& filled) {
                std::lock_guard lock(mutex);
                for (; shown < filled.size(); ++shown) {
                    window_.Line(filled[shown].ListLine());
                    if (stopWhen && stopWhen(filled[shown])) done = true;
                }
                found.notify_all();
            });
        listener.Start();
        tool_.StartNetworkSearch();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::unique_lock lock(mutex);
        bool settling = false;
        while (std::chrono::steady_clock::now() < end) {
            // Once a printer matches, replies are still taken for a moment, so
            // that a second printer answering for the same choice is seen too.
            if (done && !settling) {
                settling = true;
                end = std::min(end, std::chrono::steady_clock::now() + kSettleTime);
                continue;
            }
            if (!settling) {
                lock.unlock();
                tool_.SendNetworkSearch();
                lock.lock();
            }
            found.wait_until(lock, std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(2)),
                             [&] { return done && !settling; });
        }
        lock.unlock();
        listener.Stop();
        return true;
    }

private:
    UpdateTool& tool_;
    TerminalWindow& window_;
};

}  // namespace

bool IsSubcommand(const std::vector<std::string>& args) { return !args.empty(); }

int RunSubcommand(const std::vector<std::string>& args, printer_link::UsbDeviceSource& usb, std::ostream& out,
                  std::ostream& err) {
    if (args.empty()) return Usage(err, "no subcommand");
    TerminalWindow window(out, err);
    protocol::DeviceTable table;
    UpdateTool tool(window, usb, table);
    const std::string& command = args[0];

    if (command == "help" || command == "--help" || command == "-h") {
        out << kUsage;
        return 0;
    }
    if (command == "flash") {
        auto options = ParseOptions(args, 1, {"--net"}, {"--usb"}, err);
        if (!options) return Usage(err, "");
        const bool usbWanted = options->flags.count("--usb") > 0;
        const bool netWanted = options->values.count("--net") > 0;
        if (usbWanted == netWanted) return Usage(err, "flash needs either --usb or --net IP");
        if (options->positional.size() > 1) return Usage(err, "flash takes one file");
        const std::string file = options->positional.empty() ? kImageFileName : options->positional[0];
        if (usbWanted) {
            const Outcome outcome = tool.SendFirmwareOverUsb(file);
            window.FinishBar();
            if (outcome != Outcome::Done) ReportRefusal(tool, err);
            return StatusOf(outcome, window);
        }
        const auto address = ParseIpv4(options->values["--net"]);
        if (!address) return Usage(err, "not an IPv4 address: " + options->values["--net"]);
        // The address given stands for a printer found in slot 0 of the device list.
        protocol::DeviceRecord record;
        record.bytes[0] = 1;
        std::copy(address->begin(), address->end(), record.bytes.begin() + 14);
        table.Add(record);
        const Outcome outcome = tool.SendFirmwareOverNetwork(0, file);
        window.FinishBar();
        // The window shows nothing at the end of a network download; a terminal says where it went.
        if (outcome == Outcome::Done) err << "sent " << file << " to " << protocol::Ipv4Text(*address) << '\n';
        if (outcome == Outcome::Refused && (*address)[0] == 0 && !window.EndStatus()) {
            err << "ferrik: the printer address " << protocol::Ipv4Text(*address) << " cannot be used\n";
        }
        if (outcome == Outcome::Failed || outcome == Outcome::ProgramEnded) ReportNetwork(tool, err);
        return StatusOf(outcome, window);
    }
    if (command == "font") {
        if (args.size() > 2) return Usage(err, "font takes one file");
        const Outcome outcome = tool.SendFontOverUsb(args.size() == 2 ? args[1] : kFontFileName);
        if (outcome == Outcome::Failed) ReportRefusal(tool, err);
        return StatusOf(outcome, window);
    }
    if (command == "set") {
        auto options = ParseOptions(args, 1, {"--codepage", "--width", "--beep"}, {}, err);
        if (!options || !options->positional.empty()) return Usage(err, "");
        int codePage = -1, width = 0, beep = 0;  // the window's selections at start
        if (auto it = options->values.find("--codepage"); it != options->values.end()) {
            codePage = -1;
            for (int i = 0; i < protocol::kUpdateToolCodePageCount && codePage < 0; ++i)
                if (protocol::UpdateToolCodePage(i) == it->second) codePage = i;
            if (codePage < 0) return Usage(err, "unknown code page: " + it->second);
        }
        if (auto it = options->values.find("--width"); it != options->values.end()) {
            if (it->second == "80CM") width = 0;
            else if (it->second == "58CM") width = 1;
            else return Usage(err, "print width is 80CM or 58CM");
        }
        if (auto it = options->values.find("--beep"); it != options->values.end()) {
            const auto value = ParseInt(it->second);
            if (!value || *value < 1 || *value > 3) return Usage(err, "beep is 1, 2 or 3");
            beep = *value - 1;
        }
        const Outcome outcome = tool.SendCodePageWidthBeep(codePage, width, beep);
        if (outcome != Outcome::Done) ReportRefusal(tool, err);
        return StatusOf(outcome, window);
    }
    if (command == "dark") {
        if (args.size() != 2) return Usage(err, "dark takes one value");
        const auto value = ParseInt(args[1]);
        if (!value || *value < 0 || *value > 2) return Usage(err, "dark is 0, 1 or 2");
        const Outcome outcome = tool.SendDarkness(*value);
        if (outcome != Outcome::Done) ReportRefusal(tool, err);
        return StatusOf(outcome, window);
    }
    if (command == "x-usb" || command == "g-usb") {
        if (args.size() != 1) return Usage(err, command + " takes no arguments");
        const Outcome outcome = command == "x-usb" ? tool.SendUsbIdentityX() : tool.SendUsbIdentityG();
        // The window shows nothing either way; a script wants to know.
        if (outcome != Outcome::Done) {
            err << "ferrik: no USB printer took the message\n";
            ReportRefusal(tool, err);
        }
        return StatusOf(outcome, window);
    }
    if (command == "scan" || command == "set-network") {
        const bool setting = command == "set-network";
        auto options = setting ? ParseOptions(args, 1, {"--printer", "--ip", "--mask", "--gateway", "--mac",
                                                        "--seconds"},
                                              {"--dhcp"}, err)
                               : ParseOptions(args, 1, {"--seconds"}, {}, err);
        if (!options || !options->positional.empty()) return Usage(err, "");
        int seconds = setting ? 10 : 5;
        if (auto it = options->values.find("--seconds"); it != options->values.end()) {
            const auto value = ParseInt(it->second);
            if (!value || *value < 1 || *value > 3600) return Usage(err, "--seconds is 1 to 3600");
            seconds = *value;
        }
        if (!setting) {
            return Scan(tool, window).Run(seconds, {}, err) ? 0 : kFailedStatus;
        }
        if (!options->values.count("--printer")) return Usage(err, "set-network needs --printer IP or MAC");
        // The printer is chosen by its current IP, or by its current MAC.
        const std::string& wanted = options->values["--printer"];
        const auto printerIp = ParseIpv4(wanted);
        const auto printerMac = printerIp ? std::nullopt : ParseMac(wanted);
        if (!printerIp && !printerMac) return Usage(err, "--printer takes an IPv4 address or a MAC: " + wanted);
        const auto matches = [&](const protocol::DeviceRecord& r) {
            return printerIp ? r.ip() == *printerIp : r.mac() == *printerMac;
        };
        auto addressOption = [&](const char* name, protocol::Ipv4 fallback) -> std::optional<protocol::Ipv4> {
            auto it = options->values.find(name);
            return it == options->values.end() ? std::optional(fallback) : ParseIpv4(it->second);
        };
        // The defaults are those of the network settings dialog.
        const auto mask = addressOption("--mask", {255, 255, 255, 0});
        const auto gateway = addressOption("--gateway", {192, 168, 0, 1});
        const auto newIp = addressOption("--ip", {});
        if (!newIp || !mask || !gateway) return Usage(err, "not an IPv4 address");
        std::optional<protocol::Mac> mac;
        if (auto it = options->values.find("--mac"); it != options->values.end()) {
            mac = ParseMac(it->second);
            if (!mac) return Usage(err, "a MAC address is six hex bytes, e.g. 00:1a:0b:ff:07:c0");
        }
        if (!Scan(tool, window).Run(seconds, matches, err)) return kFailedStatus;
        std::vector<protocol::DeviceRecord> found;
        for (const auto& r : tool.Table().Filled())
            if (matches(r)) found.push_back(r);
        // Nobody answered: the window's message for "IP Set" without a chosen line.
        if (found.empty()) {
            window.Line(kSelectDeviceText);
            err << "ferrik: no printer answered for " << wanted << '\n';
            return kFailedStatus;
        }
        // Printers fresh from the factory often share one address; the message
        // would reach only one of them, and which one would be luck.
        if (found.size() > 1) {
            err << "ferrik: " << found.size() << " printers answer for " << wanted << ":\n";
            for (const auto& r : found) err << "  " << r.ListLine() << " MAC " << MacText(r.mac()) << '\n';
            err << "choose one by its MAC: --printer " << MacText(found.front().mac()) << "; nothing sent\n";
            return kFailedStatus;
        }
        const protocol::DeviceRecord& chosen = found.front();
        const protocol::Ipv4 ip = options->values.count("--ip") ? *newIp : chosen.ip();
        if (!tool.SendNetworkSettings(ip, *mask, mac ? *mac : chosen.mac(), *gateway,
                                      options->flags.count("--dhcp") > 0, chosen)) {
            return kFailedStatus;
        }
        window.Line("sent to " + chosen.ListLine());
        return 0;
    }
    if (command == "connect-test") {
        if (args.size() != 2) return Usage(err, "connect-test takes one address");
        const auto address = ParseIpv4(args[1]);
        if (!address) return Usage(err, "not an IPv4 address: " + args[1]);
        const Outcome outcome = tool.TestPrinterConnectionOnce(*address);
        if (outcome == Outcome::Done) window.Line("connected to " + protocol::Ipv4Text(*address));
        else ReportNetwork(tool, err);
        return StatusOf(outcome, window);
    }
    return Usage(err, "unknown subcommand " + command);
}

}  // namespace ferrik
