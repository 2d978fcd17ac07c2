#include "settings-tool/cli/CadmonCli.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#include "base/Text.h"
#include "cli-common/EnglishLines.h"
#include "cli-common/Environment.h"
#include "cli-common/Json.h"
#include "cli-common/Program.h"
#include "cli-common/TerminalWindow.h"
#include "link/ProductIds.h"
#include "link/StatusQuery.h"
#include "link/TcpLink.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"
#include "protocol/Discovery.h"
#include "protocol/SettingsCommands.h"
#include "protocol/ValueLists.h"
#include "settings-tool/LinkTexts.h"
#include "settings-tool/StatusTexts.h"
#include "settings-tool/SystemCodePage.h"
#include "settings-tool/sender/CommandSender.h"

namespace cadmon {

namespace {

using cli::Refusal;
using cli::UsageError;

// The window's print-info box holds this text when it opens.
constexpr std::string_view kWelcomeText =
    "Welcome to use the needle printing and thermal series printers produced \r\n"
    "by professional POS invoice printing companies!\r\n";
// The window reads at most this many bytes of the print-info box.
constexpr std::size_t kPrintInfoMax = 2047;

constexpr const char* kSetOkText = "set ok";
constexpr const char* kNoSelectText = "No Select print";
constexpr const char* kNoBroadcastText = "Error 0";
constexpr const char* kBroadcastFailedText = "Error 1";
constexpr const char* kFinishText = "FINISH";

constexpr long kDefaultScanSeconds = 3;
constexpr long kDefaultDeliverySeconds = 20;

// The program's own options: the port choice and the printer IP of the
// window, and where the link and the discovery go.
struct Options {
    sender::PortChoice port = sender::PortChoice::Usb;
    std::string printerIp = "192.168.0.199";  // the window's start value
    std::optional<long> tcpPort;
    std::optional<long> connectTimeoutMs;
    std::optional<std::string> broadcast;
    std::optional<long> probePort;
    std::optional<long> replyPort;
    std::optional<std::string> usbRoot;
    std::optional<std::string> textEncoding;
    long deliverySeconds = kDefaultDeliverySeconds;
    bool fromMenu = false;
};

printer_link::TcpSettings TcpSettingsFor(const Options& options) {
    printer_link::TcpSettings tcp;
    tcp.port = cli::TcpPortFromEnvironment();
    if (options.tcpPort) tcp.port = static_cast<std::uint16_t>(*options.tcpPort);
    if (options.connectTimeoutMs) tcp.connectTimeoutMs = static_cast<int>(*options.connectTimeoutMs);
    return tcp;
}

protocol::DiscoverySettings DiscoverySettingsFor(const Options& options) {
    protocol::DiscoverySettings settings = cli::DiscoverySettingsFromEnvironment();
    if (options.broadcast) settings.broadcastAddress = *options.broadcast;
    if (options.probePort) settings.probePort = static_cast<std::uint16_t>(*options.probePort);
    if (options.replyPort) settings.replyPort = static_cast<std::uint16_t>(*options.replyPort);
    return settings;
}

// The main window as the command sender sees it: port choice and printer IP
// fixed by the command line; a failed attempt shows the window's text and the
// line a terminal adds.
class SenderWindow : public sender::PrinterWindow {
public:
    SenderWindow(cli::TerminalWindow& terminal, const Options& options)
        : terminal_(terminal), port_(options.port), printerIp_(cli::Ipv4Of(options.printerIp)) {}

    sender::PortChoice ReadPortChoice() override { return port_; }
    protocol::Ipv4 ReadPrinterIp() override { return printerIp_; }

    void AttemptFailed(const sender::AttemptReport& report) override {
        // A printer that stopped taking data for a moment gets the rest
        // again; as in the window, that shows nothing.
        if (!report.dropped) return;
        const bool openFailed = report.result.OpenFailed();
        const int code = openFailed ? cli::OpenFailureCode(report.result) : cli::kPrinterFailed;
        const ShownTexts shown = TextsFor(report);
        terminal_.Fail(code);
        for (const std::string& text : {shown.status, shown.box})
            if (!text.empty()) terminal_.ShowFailure(text, code);
        // A refused network connection says all in the window's text.
        const bool network = report.port == sender::PortChoice::Net;
        if (openFailed && network) return;
        if (!openFailed && !network) {
            terminal_.Note(UsbGiveUpLine(report));
            return;
        }
        if (const std::string detail = cli::FailureDetail(report.result, network); !detail.empty())
            terminal_.Note(detail);
    }

private:
    // USB knows which bytes the printer took: the line says how many.
    static std::string UsbGiveUpLine(const sender::AttemptReport& report) {
        const printer_link::Result& result = report.result;
        std::string line = result.node.empty() ? std::string() : result.node + ": ";
        if (result.outcome == printer_link::Outcome::TimedOut) {
            line += "printer not taking data for " + std::to_string(printer_link::kNotTakingDataMs / 1000) + " s";
        } else {
            line += "the printer dropped the connection";
            if (result.error != 0) line += std::string(" (") + std::strerror(result.error) + ")";
        }
        return line + "; " + std::to_string(report.taken) + " of " + std::to_string(report.size) +
               " bytes sent, the rest is not sent";
    }

    cli::TerminalWindow& terminal_;
    sender::PortChoice port_;
    protocol::Ipv4 printerIp_;
};

// Probes once a second and reports each new distinct reply as it arrives.
// Stops at the deadline, or shortly after `done` says the table holds what
// is wanted (replies are taken a moment longer, so that a second printer
// answering for the same choice is seen too).
class Search {
public:
    static constexpr std::chrono::milliseconds kSettleTime{500};
    using Done = std::function<bool(const std::vector<protocol::DeviceRecord>& filled)>;
    using Found = std::function<void(const protocol::DeviceRecord& record, std::size_t number)>;

    Search(const Options& options, cli::TerminalWindow& terminal)
        : terminal_(terminal), sockets_(DiscoverySettingsFor(options)) {}

    // False (after reporting) when the sockets cannot be opened.
    bool Open() {
        std::string error;
        if (!sockets_.OpenReceive(&error)) {
            terminal_.Note("cannot receive replies on UDP port " + std::to_string(sockets_.settings().replyPort) +
                           ": " + error);
            terminal_.Fail(cli::kLocalFailure);
            return false;
        }
        if (!sockets_.OpenBroadcast(&error)) {
            terminal_.Show(kNoBroadcastText);
            terminal_.Note("cannot send broadcasts: " + error);
            terminal_.Fail(cli::kLocalFailure);
            return false;
        }
        return true;
    }

    std::vector<protocol::DeviceRecord> Run(long seconds, const Done& done, const Found& found) {
        using Clock = std::chrono::steady_clock;
        found_ = found;
        protocol::DiscoveryListener listener(
            sockets_.ReceiveFd(), table_,
            [this](const std::vector<protocol::DeviceRecord>& filled) { OnChange(filled); },
            [this](const protocol::DeviceRecord& dropped) { OnFull(dropped); });
        listener.Start();
        auto deadline = Clock::now() + std::chrono::seconds(seconds);
        auto nextProbe = Clock::now();
        bool satisfied = false;
        const auto holds = [&] { return !satisfied && done && done(filled_); };
        std::unique_lock lock(mutex_);
        while (Clock::now() < deadline) {
            if (holds()) {
                satisfied = true;
                deadline = std::min(deadline, Clock::now() + kSettleTime);
                continue;
            }
            if (Clock::now() >= nextProbe) {
                lock.unlock();
                sockets_.SendDiscoveryProbe();
                lock.lock();
                nextProbe = Clock::now() + std::chrono::seconds(1);
            }
            changed_.wait_until(lock, std::min(deadline, nextProbe), holds);
        }
        lock.unlock();
        listener.Stop();
        return table_.Filled();
    }

    protocol::DiscoverySockets& sockets() { return sockets_; }

private:
    void OnChange(const std::vector<protocol::DeviceRecord>& filled) {
        std::lock_guard lock(mutex_);
        if (found_) {
            for (std::size_t i = filled_.size(); i < filled.size(); ++i) found_(filled[i], i + 1);
        }
        filled_ = filled;
        changed_.notify_all();
    }

    void OnFull(const protocol::DeviceRecord& dropped) {
        std::lock_guard lock(mutex_);
        if (!reportedFull_) {
            terminal_.Note("the list is full; it keeps the first " + std::to_string(protocol::DeviceTable::kSlots) +
                           " printers and drops further replies such as " + dropped.ListLine());
            reportedFull_ = true;
        }
    }

    cli::TerminalWindow& terminal_;
    protocol::DiscoverySockets sockets_;
    protocol::DeviceTable table_;
    Found found_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<protocol::DeviceRecord> filled_;
    bool reportedFull_ = false;
};

std::string DescribeList(const protocol::ValueList& list) {
    std::ostringstream text;
    // What to type beside each entry: its number where entries are numbers
    // with a unit, else its position.
    const bool numbers = cli::NumbersWithUnit(list);
    int position = 0;
    for (std::string_view entry : list) {
        text << "  ";
        if (numbers) {
            text << entry.substr(0, entry.find_first_not_of("0123456789"));
        } else {
            text << position;
        }
        ++position;
        text << "  \"" << entry << "\"\n";
    }
    text << "  none  (nothing chosen: sends FF)\n";
    return text.str();
}

// The settings chosen from a list of the window.
struct ListCommand {
    const char* name;
    const char* summary;
    const protocol::ValueList& list;
    protocol::Bytes (*build)(int position);
};

const std::vector<ListCommand>& ListCommands() {
    static const std::vector<ListCommand> commands = {
        {"buzzer", "buzzer setting", protocol::kBuzzerList, &protocol::Buzzer},
        {"feed", "blank feed (lines)", protocol::kBlankFeedList, &protocol::BlankFeed},
        {"density", "print density", protocol::kDensityList, &protocol::Density},
        {"codepage", "the printer's code page", protocol::kCodePageList, &protocol::CodePage},
        {"reprint", "reprint after a paper change", protocol::kReprintList, &protocol::Reprint},
        {"charset", "language / character set", protocol::kCharacterSetList, &protocol::CharacterSet},
        {"speed", "print speed", protocol::kPrintSpeedList, &protocol::PrintSpeed},
    };
    return commands;
}

// cadmon's command line: the program's options, one table of subcommands.
class Cadmon {
public:
    Cadmon(std::ostream& out, std::ostream& err) : out_(out), err_(err), program_(Text()) {
        DefineOptions();
        program_.Add(Table());
    }

    int Run(const std::vector<std::string>& args, const std::function<int()>& openWindow) {
        if (openWindow) {
            program_.SetDefault([this, openWindow] {
                // Only the window's own option goes with the window.
                for (const CLI::Option* option : program_.App().parse_order())
                    if (option != fromMenu_) throw UsageError("a subcommand is required with " + option->get_name());
                if (options_.fromMenu) EnterConfigFolder();
                return openWindow();
            });
        }
        return program_.Run(args, out_, err_);
    }

private:
    static cli::ProgramText Text() {
        cli::ProgramText text;
        text.name = "cadmon";
        text.whatis = "settings and test utility for receipt printers";
        text.description =
            "Settings and test utility for receipt printers. Without arguments cadmon opens the settings\n"
            "window. With a subcommand it does what the window's button does, on the terminal: it hands\n"
            "the message to the sender, waits until it is delivered and prints the status texts and\n"
            "message boxes the window would show (failure texts on stderr).\n";
        text.notes =
            "Over the network a message counts as delivered once the printer has closed the connection\n"
            "after taking every byte (cadmon waits up to 2 s for that); each send waits at most 5 s for\n"
            "the printer to take data. Over USB a printer that pauses gets the rest from the first byte\n"
            "it did not take; after 10 s without taking a byte cadmon gives up and says how many bytes\n"
            "were sent (exit status 1).\n"
            "\n"
            "Text code page: chosen from LC_ALL, LC_CTYPE or LANG (the first one set): zh_CN CP936,\n"
            "zh_TW/zh_HK CP950, ja CP932, ko CP949, ru CP1251, anything else (C, POSIX, en_US...)\n"
            "CP1252. Arguments are read as UTF-8.\n"
            "\n"
            "The window keeps its language in init_params.txt in the folder it was started from; the\n"
            "desktop launcher starts it with --from-menu, in $XDG_CONFIG_HOME/cadmon.\n"
            "\n"
            "Run it inside a private network namespace or against printer-sim on 127.0.0.1: the\n"
            "defaults talk to 192.168.0.199 and broadcast to 255.255.255.255.\n";
        return text;
    }

    void DefineOptions() {
        CLI::App& app = program_.App();
        const std::string port = "Port (as the window's port choice; the last one given counts)";
        usb_ = app.add_flag("--usb", usbGiven_, "the first USB printer of a listed product ID (default)")->group(port);
        net_ = app.add_option("--net", options_.printerIp, "the printer at IP, TCP port 9100")
                   ->type_name("IP")
                   ->check(cli::Ipv4Value())
                   ->group(port);
        lpt_ = app.add_flag("--lpt", lptGiven_, "the parallel port: not supported, nothing is sent")->group(port);
        app.add_option("--tcp-port", options_.tcpPort, "printer TCP port (default 9100, or PRINTER_TCP_PORT)")
            ->type_name("N")
            ->check(cli::Between(1, 65535));
        app.add_option("--connect-timeout", options_.connectTimeoutMs,
                       "bound on each TCP connection attempt (default 5000)")
            ->type_name("MS")
            ->check(cli::Between(1, 600000));
        app.add_option("--timeout", options_.deliverySeconds, "wait at most S seconds for the delivery (default 20)")
            ->type_name("S")
            ->check(cli::Between(1, 3600));
        app.add_option("--usb-root", options_.usbRoot,
                       "prefix of the sysfs and /dev trees (USB_PRINTER_ROOT, default /)")
            ->type_name("DIR");
        app.add_option("--broadcast", options_.broadcast,
                       "discovery destination (PRINTER_BROADCAST_ADDR, default 255.255.255.255)")
            ->type_name("ADDR")
            ->check(cli::Ipv4Value());
        app.add_option("--probe-port", options_.probePort, "discovery port of the printers (PRINTER_PROBE_PORT, default 9000)")
            ->type_name("N")
            ->check(cli::Between(1, 65535));
        app.add_option("--reply-port", options_.replyPort, "local port for the replies (PRINTER_REPLY_PORT, default 8999)")
            ->type_name("N")
            ->check(cli::Between(1, 65535));
        app.add_option("--text-encoding", options_.textEncoding,
                       "iconv code page for text and WIFI data instead of the system's")
            ->type_name("CP");
        fromMenu_ = app.add_flag("--from-menu", options_.fromMenu,
                                 "open the window in $XDG_CONFIG_HOME/cadmon (created when missing), as the\n"
                                 "desktop launcher does, so that init_params.txt is kept there");
    }

    // The port option given last decides, as clicking the window's choices would.
    void ApplyPortChoice() {
        for (const CLI::Option* option : program_.App().parse_order()) {
            if (option == usb_) options_.port = sender::PortChoice::Usb;
            if (option == net_) options_.port = sender::PortChoice::Net;
            if (option == lpt_) options_.port = sender::PortChoice::Lpt;
        }
        if (options_.usbRoot) ::setenv("USB_PRINTER_ROOT", options_.usbRoot->c_str(), 1);
    }

    // Wraps a subcommand's work: the program's options are applied first.
    cli::Runner Runs(std::function<int()> work) {
        return [this, work = std::move(work)] {
            ApplyPortChoice();
            return work();
        };
    }

    void EnterConfigFolder() {
        namespace fs = std::filesystem;
        const char* config = std::getenv("XDG_CONFIG_HOME");
        const char* home = std::getenv("HOME");
        fs::path folder;
        if (config != nullptr && config[0] == '/') {
            folder = config;
        } else if (home != nullptr && home[0] == '/') {
            folder = fs::path(home) / ".config";
        } else {
            err_ << "cadmon: neither XDG_CONFIG_HOME nor HOME is set; init_params.txt stays in "
                 << fs::current_path().string() << '\n';
            return;
        }
        folder /= "cadmon";
        std::error_code error;
        fs::create_directories(folder, error);
        if (error || ::chdir(folder.c_str()) != 0) {
            err_ << "cadmon: cannot use " << folder.string() << " ("
                 << (error ? error.message() : std::strerror(errno)) << "); init_params.txt stays in "
                 << fs::current_path().string() << '\n';
        }
    }

    // Text for the printer, in the code page. Printed text gets '?' for the
    // characters the code page lacks; a WIFI name or password with such
    // characters would be wrong on the printer, so `exact` refuses it instead.
    std::string ToPrinterText(std::string_view utf8, std::string_view what, bool exact = false) {
        const std::string codePage = options_.textEncoding ? *options_.textEncoding : SystemCodePage();
        const auto converted = ConvertToCodePage(utf8, codePage);
        if (!converted) throw UsageError("unknown text encoding \"" + codePage + "\"");
        if (converted->replaced > 0 && exact) {
            throw Refusal("the " + std::string(what) + " has " + std::to_string(converted->replaced) +
                          " character(s) that " + codePage + " cannot hold; nothing sent");
        }
        if (converted->replaced > 0) {
            err_ << "cadmon: " << converted->replaced << " character(s) of the " << what << " have no equivalent in "
                 << codePage << " and are sent as '?'\n";
        }
        return converted->bytes;
    }

    // The window's side of a delivery for one subcommand: the terminal, the
    // USB source and the command sender with its thread.
    class Session {
    public:
        explicit Session(Cadmon& cadmon)
            : cadmon_(cadmon), terminal_("cadmon", cadmon.out_, cadmon.err_, cli::IsTerminal(2)),
              window_(terminal_, cadmon.options_), usb_(platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment())),
              sender_(window_, *usb_, SenderSettingsFor(cadmon.options_)) {
            sender_.Start();
        }
        ~Session() { sender_.Stop(); }
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        cli::TerminalWindow& terminal() { return terminal_; }
        void Submit(const protocol::Bytes& bytes) { sender_.SubmitCommand(bytes); }

        // Waits until nothing is pending; false (after reporting) when the
        // printer did not take everything in time or a failure was shown.
        bool WaitDelivered() {
            const long seconds = cadmon_.options_.deliverySeconds;
            if (!sender_.WaitUntilIdle(static_cast<int>(seconds * 1000))) {
                terminal_.Note("the printer did not take the data within " + std::to_string(seconds) +
                               " s; the rest is not sent");
                terminal_.Fail(cli::kUnreachable);
            }
            return terminal_.Status() == cli::kDone;
        }

        int Finish() {
            WaitDelivered();
            sender_.Stop();
            return terminal_.Status();
        }

    private:
        static sender::SenderSettings SenderSettingsFor(const Options& options) {
            sender::SenderSettings settings;
            settings.tcp = TcpSettingsFor(options);
            // A terminal reports a failed delivery and ends; it does not
            // retry, but gives a USB printer that pauses the rest until it
            // has taken nothing for a while.
            settings.retryUnfinished = false;
            settings.resumeStalledMs = printer_link::kNotTakingDataMs;
            return settings;
        }

        Cadmon& cadmon_;
        cli::TerminalWindow terminal_;
        SenderWindow window_;
        std::unique_ptr<printer_link::UsbDeviceSource> usb_;
        sender::CommandSender sender_;
    };

    struct Step {
        protocol::Bytes bytes;
        std::string boxAfter;  // message box shown once the bytes are handed over
    };

    int Deliver(const std::vector<Step>& steps) {
        Session session(*this);
        for (const Step& step : steps) {
            session.Submit(step.bytes);
            if (!step.boxAfter.empty()) session.terminal().Show(step.boxAfter);
        }
        return session.Finish();
    }

    int DeliverOne(protocol::Bytes bytes) { return Deliver({Step{std::move(bytes), {}}}); }

    static protocol::Mac MacArgument(const std::vector<std::string>& args, std::string_view what) {
        const auto boxes = cli::SplitMacBoxes(args);
        if (boxes.empty()) {
            throw UsageError(std::string(what) +
                             " takes six boxes, as six arguments (0 1a b ff 7 c0) or as one (0:1a:b:ff:7:c0)");
        }
        std::size_t bad = 0;
        const auto mac = cli::MacFromBoxes(boxes, &bad);
        if (!mac) {
            throw Refusal("MAC box " + std::to_string(bad + 1) + " \"" + boxes[bad] +
                          "\" is not one or two hexadecimal digits; nothing sent");
        }
        return *mac;
    }

    // -----------------------------------------------------------------------
    // The subcommands.

    std::vector<cli::Subcommand> Table() {
        std::vector<cli::Subcommand> table = {
            {"print", "print TEXT (default: the welcome text; - reads standard input)",
             [this](CLI::App& command) { return DefinePrint(command); },
             "The text is converted from UTF-8 to the system code page (see --text-encoding) and sent\n"
             "without a terminating zero; characters the code page lacks are sent as '?'. At most 2047\n"
             "bytes. Add the line end yourself; a text that starts with '-' goes after \"--\":\n"
             "  cadmon --net 127.0.0.1 print $'Hello printer\\r\\n'\n"
             "  cadmon --net 127.0.0.1 print -- $'-5 degrees\\r\\n'\n"
             "--repeat N sends it N times, as the window's automatic sending does: again every --period\n"
             "MS milliseconds (default 500) once the previous one is delivered; it stops at a failure.\n"
             "  cadmon --usb print --repeat 5 --period 1000 $'Line\\r\\n'\n"},
            {"cut", "cut test: two line feeds and a paper cut",
             [this](CLI::App&) { return Runs([this] { return DeliverOne(protocol::CutTest()); }); },
             "  cadmon --net 127.0.0.1 cut\n"},
            {"drawer", "open the cash drawer",
             [this](CLI::App&) { return Runs([this] { return DeliverOne(protocol::CashDrawer()); }); },
             "  cadmon --net 127.0.0.1 drawer\n"},
            {"dhcp", "switch the printer's DHCP on or off", [this](CLI::App& command) { return DefineDhcp(command); },
             "  cadmon --net 127.0.0.1 dhcp on\n"},
            {"set-ip", "give the printer a new IP address, mask and gateway",
             [this](CLI::App& command) { return DefineSetIp(command); },
             "  cadmon --net 127.0.0.1 set-ip 192.168.1.199 255.255.255.0 192.168.0.1\n"},
            {"set-mac", "give the printer a new MAC address", [this](CLI::App& command) { return DefineSetMac(command); },
             "Six boxes of one or two hexadecimal digits (one digit d means 0d), as six arguments or\n"
             "as one with ':' or '-' between them. Any other box is refused and nothing is sent.\n"
             "  cadmon --net 127.0.0.1 set-mac 0 1a b FF 7 c0\n"},
        };
        for (const ListCommand& list : ListCommands()) {
            table.push_back({list.name, list.summary, [this, &list](CLI::App& command) { return DefineList(command, list); },
                             std::string(cli::NumbersWithUnit(list.list)
                                             ? "VALUE is an entry as the window shows it, or its number alone (1 for\n"
                                               "\"1行\"; here a number is never a position):\n"
                                             : "VALUE is an entry as the window shows it, or its position:\n") +
                                 DescribeList(list.list) +
                                 "  cadmon --net 127.0.0.1 " + list.name + " " +
                                 std::string(list.list.entries[list.list.count - 1]) + "\n"});
        }
        std::vector<cli::Subcommand> rest = {
            {"usb-id", "the printer's USB identity (x: 1fc9:2016, g: 0471:0055)",
             [this](CLI::App& command) { return DefineUsbId(command); }, "  cadmon --net 127.0.0.1 usb-id g\n"},
            {"wifi", "the wireless network the printer joins", [this](CLI::App& command) { return DefineWifi(command); },
             "Name and password are converted to the system code page; together they may take at most\n"
             "124 bytes. Longer ones, and characters the code page cannot hold, are refused and nothing\n"
             "is sent.\n"
             "  cadmon --net 127.0.0.1 wifi shop-wlan secret123\n"},
            {"wifi-static", "the printer's fixed wireless address",
             [this](CLI::App& command) { return DefineWifiStatic(command); },
             "Sent as two messages (a header, then the address); prints \"set ok\" once both are handed over.\n"
             "  cadmon --net 127.0.0.1 wifi-static 192.168.1.199 255.255.255.0 192.168.0.1\n"},
            {"test-connection", "connect to the printer and close again (sends nothing)",
             [this](CLI::App&) { return Runs([this] { return RunTestConnection(); }); },
             "Prints \"connect ok\", or the connection failure text (exit status 3).\n"
             "  cadmon --net 127.0.0.1 test-connection\n"},
            {"status", "ask the printer how it is: online, cover, paper, drawer, errors",
             [this](CLI::App& command) { return DefineStatus(command); },
             "Sends the four real-time status requests (DLE EOT 1..4) and prints one line per fact from\n"
             "the answers: online or offline, cover open or closed, paper ok, near end or out, drawer open\n"
             "or closed, cutter error, unrecoverable and recoverable errors, and whether it is ready. A\n"
             "printer that answers nothing within 0.5 s (no status support, or a node without a way back)\n"
             "is \"status not known\": it prints as before, and that is not a failure. Only the status\n"
             "requests are sent. With --json the output is one object, on one line:\n"
             "  {\"known\": true, \"online\": true, \"coverOpen\": false, \"paperNearEnd\": false,\n"
             "   \"paperOut\": false, \"drawerOpen\": false, \"cutterError\": false,\n"
             "   \"unrecoverableError\": false, \"recoverableError\": false, \"ready\": true,\n"
             "   \"node\": \"127.0.0.1:9100\"}\n"
             "Exit status: 0 ready, or status not known; 1 the printer answered and is not ready (offline,\n"
             "cover open, paper out, a cutter or other error; paper near its end is still ready); 3 not\n"
             "reachable (no USB printer, connection refused); 5 no permission on the USB node. When the\n"
             "printer is not reached nothing goes to stdout.\n"
             "  cadmon --net 127.0.0.1 status\n"
             "  cadmon --usb status --json\n"},
            {"scan", "search the network for printers", [this](CLI::App& command) { return DefineScan(command); },
             "Broadcasts a probe once a second for N seconds and prints one line per distinct reply as it\n"
             "arrives, as the search window lists it, \"(1.0)192.168.0.199.\": the two identifying bytes,\n"
             "then the printer's IP. The list keeps the first 16 printers. With --json the output is one\n"
             "JSON array, one object per printer as it arrives:\n"
             "  {\"number\": 1, \"line\": \"(1.0)192.168.0.199.\", \"id\": [1, 0], \"mac\": \"00:1a:0b:ff:07:c0\",\n"
             "   \"ip\": \"192.168.0.199\"}\n"
             "When no printer answers, the exit status is 3.\n"
             "  cadmon scan --seconds 2\n"
             "  cadmon scan --json | python3 -m json.tool\n"},
            {"set-address", "give a printer found by broadcast a new IP, mask, gateway, MAC",
             [this](CLI::App& command) { return DefineSetAddress(command); },
             "PRINTER is its list line as scan prints it, its current IP, its number in the list (from 1),\n"
             "or --mac CURRENT-MAC instead of PRINTER. Mask and gateway default to 255.255.255.0 and\n"
             "192.168.0.1, the MAC to the printer's own. Probes for up to --seconds N (default 3) until\n"
             "the printer is found, then broadcasts the setting: \"FINISH\", or \"No Select print\" when\n"
             "no such printer answered, \"Error 0\"/\"Error 1\" when the broadcast cannot be sent. When\n"
             "several printers answer to PRINTER (the same IP), nothing is sent: choose with --mac.\n"
             "  cadmon set-address 192.168.0.199 192.168.0.150\n"
             "  cadmon set-address --mac 0:11:22:33:44:55 192.168.0.150 255.255.255.0 192.168.0.1 0:11:22:33:44:56\n"},
        };
        table.insert(table.end(), rest.begin(), rest.end());
        return table;
    }

    cli::Runner DefinePrint(CLI::App& command) {
        auto text = std::make_shared<std::optional<std::string>>();
        auto repeat = std::make_shared<long>(1);
        auto period = std::make_shared<long>(500);
        command.add_option("TEXT", *text, "the text to print; - reads it from standard input");
        command.add_option("--repeat", *repeat, "send the text N times")->type_name("N")->check(cli::Between(1L, 1000000L));
        command.add_option("--period", *period, "milliseconds between the repeats (default 500)")
            ->type_name("MS")
            ->check(cli::Between(0L, 3600000L));
        return Runs([this, text, repeat, period] { return RunPrint(*text, *repeat, *period); });
    }

    int RunPrint(const std::optional<std::string>& given, long repeat, long periodMs) {
        std::string text(kWelcomeText);
        if (given && *given == "-") {
            text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        } else if (given) {
            text = *given;
        }
        const std::string bytes = ToPrinterText(text, "text");
        if (bytes.size() > kPrintInfoMax) {
            throw Refusal("the text is " + std::to_string(bytes.size()) + " bytes; at most " +
                          std::to_string(kPrintInfoMax) + " are printed at once; nothing sent");
        }
        // The window counts every print and shows the count as it hands the
        // text over. With --repeat, as with its automatic sending, the text
        // goes again every --period ms once nothing is pending; a failure ends
        // the repeats.
        Session session(*this);
        const protocol::Bytes message(bytes.begin(), bytes.end());
        for (long count = 1; count <= repeat; ++count) {
            if (count > 1) std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            session.Submit(message);
            session.terminal().Show("send finish count " + std::to_string(count) + " \r\n");
            if (!session.WaitDelivered()) break;
        }
        return session.Finish();
    }

    cli::Runner DefineDhcp(CLI::App& command) {
        auto state = std::make_shared<std::string>();
        command.add_option("STATE", *state, "on or off")->required()->option_text("on|off");
        return Runs([this, state] {
            if (*state != "on" && *state != "off") throw UsageError("dhcp takes on or off");
            return DeliverOne(protocol::Dhcp(*state == "on"));
        });
    }

    // Three addresses: the new IP (or the WIFI static IP), mask, gateway.
    struct Addresses {
        std::string ip, mask, gateway;
    };
    static std::shared_ptr<Addresses> DefineAddresses(CLI::App& command, const char* ip) {
        auto addresses = std::make_shared<Addresses>();
        command.add_option("NEWIP", addresses->ip, ip)->required()->check(cli::Ipv4Value());
        command.add_option("MASK", addresses->mask, "the mask")->required()->check(cli::Ipv4Value());
        command.add_option("GATEWAY", addresses->gateway, "the gateway")->required()->check(cli::Ipv4Value());
        return addresses;
    }

    cli::Runner DefineSetIp(CLI::App& command) {
        auto a = DefineAddresses(command, "the new IP");
        return Runs([this, a] {
            return DeliverOne(protocol::SetIp(cli::Ipv4Of(a->ip), cli::Ipv4Of(a->mask), cli::Ipv4Of(a->gateway)));
        });
    }

    cli::Runner DefineWifiStatic(CLI::App& command) {
        auto a = DefineAddresses(command, "the printer's wireless IP");
        return Runs([this, a] {
            const auto ip = cli::Ipv4Of(a->ip), mask = cli::Ipv4Of(a->mask), gateway = cli::Ipv4Of(a->gateway);
            // Header and body are two submissions; the window confirms after the second.
            return Deliver({Step{protocol::WifiStaticHeader(), {}},
                            Step{protocol::WifiStaticBody(ip, mask, gateway), kSetOkText}});
        });
    }

    cli::Runner DefineSetMac(CLI::App& command) {
        auto boxes = std::make_shared<std::vector<std::string>>();
        command.add_option("BOXES", *boxes, "the MAC's six boxes")
            ->required()
            ->expected(1, 6)
            ->option_text("XX XX XX XX XX XX");
        return Runs([this, boxes] { return DeliverOne(protocol::SetMac(MacArgument(*boxes, "set-mac"))); });
    }

    cli::Runner DefineList(CLI::App& command, const ListCommand& list) {
        auto value = std::make_shared<std::string>();
        command
            .add_option("VALUE", *value,
                        cli::NumbersWithUnit(list.list) ? "an entry of the list, its number, or none"
                                                        : "an entry of the list, its position, or none")
            ->required();
        return Runs([this, value, &list] {
            const int position = *value == "none" ? -1 : cli::ListPosition(list.list, *value);
            if (*value != "none" && position < 0) {
                throw UsageError("\"" + *value + "\" is not in the " + std::string(list.name) + " list; see 'cadmon " +
                                 list.name + " --help' for its entries");
            }
            return DeliverOne(list.build(position));
        });
    }

    cli::Runner DefineUsbId(CLI::App& command) {
        auto which = std::make_shared<std::string>();
        command.add_option("IDENTITY", *which, "x or g")->required()->option_text("x|g");
        return Runs([this, which] {
            const std::string lower = base::Lower(*which);
            if (lower == "x") return DeliverOne(protocol::UsbIdentityX());
            if (lower == "g") return DeliverOne(protocol::UsbIdentityG());
            throw UsageError("usb-id takes x or g");
        });
    }

    cli::Runner DefineWifi(CLI::App& command) {
        auto name = std::make_shared<std::string>();
        auto password = std::make_shared<std::string>();
        command.add_option("NAME", *name, "the network's name")->required();
        command.add_option("PASSWORD", *password, "its password")->required();
        return Runs([this, name, password] {
            const std::string nameBytes = ToPrinterText(*name, "WIFI name", true);
            const std::string passwordBytes = ToPrinterText(*password, "password", true);
            const auto message = protocol::WifiCredentials(nameBytes, passwordBytes);
            if (!message) {
                throw Refusal("the WIFI name and password are " +
                              std::to_string(nameBytes.size() + passwordBytes.size()) + " bytes together; at most " +
                              std::to_string(protocol::kWifiNameAndPasswordMax) + " fit the message; nothing sent");
            }
            return DeliverOne(*message);
        });
    }

    // Connection test, scan and address setting do not use the queue.

    int RunTestConnection() {
        cli::TerminalWindow terminal("cadmon", out_, err_, cli::IsTerminal(2));
        const auto ip = cli::Ipv4Of(options_.printerIp);
        const printer_link::Result result = printer_link::TestPrinterConnection(ip, TcpSettingsFor(options_));
        if (result.Ok()) {
            terminal.Show(ConnectionTestText(result));
        } else {
            terminal.ShowFailure(ConnectionTestText(result), cli::kUnreachable);
        }
        return terminal.Status();
    }

    cli::Runner DefineStatus(CLI::App& command) {
        auto json = std::make_shared<bool>(false);
        command.add_flag("--json", *json, "one JSON object with every fact and the node asked");
        return Runs([this, json] { return RunStatus(*json); });
    }

    // One status query over the chosen port; the printer is chosen as for
    // every other subcommand: the first USB printer of a listed product ID,
    // or the printer IP at the TCP port.
    int RunStatus(bool json) {
        cli::TerminalWindow terminal("cadmon", out_, err_, cli::IsTerminal(2));
        if (options_.port == sender::PortChoice::Lpt) {
            terminal.ShowFailure(kNoPortText, cli::kUnreachable);
            return terminal.Status();
        }
        const bool network = options_.port == sender::PortChoice::Net;
        const printer_link::TcpSettings tcp = TcpSettingsFor(options_);
        printer_link::OpenOptions open;
        open.connectTimeoutMs = tcp.connectTimeoutMs;
        std::unique_ptr<printer_link::UsbDeviceSource> usb;
        std::string uri = "usb:";
        if (network) {
            uri = printer_link::SocketUri(cli::Ipv4Of(options_.printerIp), tcp.port);
        } else {
            usb = platform_linux::MakeSystemUsbDeviceSource(platform_linux::UsbRootFromEnvironment());
            open.usb = usb.get();
            open.productIds = &printer_link::ReceiptPrinterProductIds();
        }
        const printer_link::StatusAnswer answer = printer_link::QueryStatusAt(uri, open);
        if (answer.failure.OpenFailed()) {
            // As a delivery's open failure: the window's text, and for USB
            // the line that names the node and what grants access.
            const int code = cli::OpenFailureCode(answer.failure);
            terminal.ShowFailure(network ? kNetConnectFailText : kUsbOpenFailText, code);
            if (!network) {
                if (const std::string detail = cli::FailureDetail(answer.failure, false); !detail.empty())
                    terminal.Note(detail);
            }
            return terminal.Status();
        }
        const protocol::PrinterStatus& status = answer.status;
        if (json) {
            cli::JsonObject object;
            object.Field("known", status.known)
                .Field("online", status.online)
                .Field("coverOpen", status.coverOpen)
                .Field("paperNearEnd", status.paperNearEnd)
                .Field("paperOut", status.paperOut)
                .Field("drawerOpen", status.drawerOpen)
                .Field("cutterError", status.cutterError)
                .Field("unrecoverableError", status.unrecoverableError)
                .Field("recoverableError", status.recoverableError)
                .Field("ready", status.Ready())
                .Field("node", answer.node);
            out_ << object.Text() << '\n' << std::flush;
        } else {
            const bool english = !cli::ChineseLocale();
            for (const StatusText& text : StatusTexts(status)) {
                terminal.Show(text.chinese);
                if (english) terminal.Show(text.english);
            }
        }
        // A printer that does not answer prints as before: only an answer
        // that says it cannot print is a failure.
        if (status.known && !status.Ready()) terminal.Fail(cli::kPrinterFailed);
        return terminal.Status();
    }

    cli::Runner DefineScan(CLI::App& command) {
        auto seconds = std::make_shared<long>(kDefaultScanSeconds);
        auto json = std::make_shared<bool>(false);
        command.add_option("--seconds", *seconds, "how long to search (default 3)")
            ->type_name("N")
            ->check(cli::Between(1L, 3600L));
        command.add_flag("--json", *json, "one JSON array, an object per printer");
        return Runs([this, seconds, json] { return RunScan(*seconds, *json); });
    }

    int RunScan(long seconds, bool json) {
        cli::TerminalWindow terminal("cadmon", out_, err_, cli::IsTerminal(2));
        Search search(options_, terminal);
        if (!search.Open()) return terminal.Status();
        std::optional<cli::JsonList> list;
        if (json) list.emplace(out_);
        const auto found = search.Run(seconds, nullptr, [&](const protocol::DeviceRecord& record, std::size_t number) {
            if (list) {
                list->Add(cli::FoundPrinter(record, number));
            } else {
                terminal.Show(record.ListLine());
            }
        });
        if (list) list->Close();
        if (found.empty()) {
            terminal.Note("no printer answered");
            terminal.Fail(cli::kUnreachable);
        }
        return terminal.Status();
    }

    // Which found printer set-address means.
    struct Selector {
        std::optional<protocol::Mac> mac;  // --mac: its current MAC
        std::optional<protocol::Ipv4> ip;  // its current IP
        std::optional<std::string> line;   // its list line, "(1.0)192.168.0.199."
        std::size_t number = 0;            // its line number in this search, from 1
    };

    // The found printers the selector names: at most one for a line number.
    static std::vector<protocol::DeviceRecord> Matches(const std::vector<protocol::DeviceRecord>& filled,
                                                       const Selector& selector) {
        if (selector.number > 0) {
            if (filled.size() >= selector.number) return {filled[selector.number - 1]};
            return {};
        }
        std::vector<protocol::DeviceRecord> matches;
        for (const auto& record : filled) {
            if ((selector.mac && record.mac() == *selector.mac) || (selector.ip && record.ip() == *selector.ip) ||
                (selector.line && record.ListLine() == *selector.line)) {
                matches.push_back(record);
            }
        }
        return matches;
    }

    cli::Runner DefineSetAddress(CLI::App& command) {
        auto args = std::make_shared<std::vector<std::string>>();
        auto seconds = std::make_shared<long>(kDefaultScanSeconds);
        auto mac = std::make_shared<std::optional<std::string>>();
        command.add_option("ARGUMENTS", *args, "the printer, then its new settings")
            ->required()
            ->expected(1, 10)
            ->option_text("PRINTER NEWIP [MASK [GATEWAY [MAC]]]");
        command.add_option("--seconds", *seconds, "how long to search for the printer (default 3)")
            ->type_name("N")
            ->check(cli::Between(1L, 3600L));
        command.add_option("--mac", *mac, "choose the printer by its current MAC instead of PRINTER")
            ->type_name("MAC");
        return Runs([this, args, seconds, mac] { return RunSetAddress(*args, *seconds, *mac); });
    }

    int RunSetAddress(std::vector<std::string> args, long seconds, const std::optional<std::string>& currentMac) {
        Selector selector;
        if (currentMac) {
            selector.mac = MacArgument({*currentMac}, "--mac");
        } else {
            if (args.empty()) throw UsageError("set-address needs a printer: a list line, its IP, its number or --mac");
            const std::string chosen = args.front();
            args.erase(args.begin());
            if (const auto number = cli::ParseNumber(chosen, 1, protocol::DeviceTable::kSlots)) {
                selector.number = static_cast<std::size_t>(*number);
            } else if (const auto ip = cli::ParseIpv4(chosen)) {
                selector.ip = *ip;
            } else {
                selector.line = chosen;
            }
        }
        if (args.empty()) throw UsageError("set-address needs the new IP");
        if (args.size() > 3 && args.size() != 4 && args.size() != 9) {
            throw UsageError("set-address takes the MAC as one argument or as six boxes");
        }
        const auto ip = cli::Ipv4Of(args[0]);
        // The search window fills mask and gateway with these whatever the printer has.
        const auto mask = args.size() > 1 ? cli::Ipv4Of(args[1]) : protocol::Ipv4{255, 255, 255, 0};
        const auto gateway = args.size() > 2 ? cli::Ipv4Of(args[2]) : protocol::Ipv4{192, 168, 0, 1};
        std::optional<protocol::Mac> newMac;
        if (args.size() > 3) newMac = MacArgument({args.begin() + 3, args.end()}, "the new MAC");

        cli::TerminalWindow terminal("cadmon", out_, err_, cli::IsTerminal(2));
        Search search(options_, terminal);
        if (!search.Open()) return terminal.Status();
        const auto found = search.Run(
            seconds, [&](const std::vector<protocol::DeviceRecord>& filled) { return !Matches(filled, selector).empty(); },
            nullptr);
        const auto matches = Matches(found, selector);
        if (matches.empty()) {
            terminal.Show(kNoSelectText);
            terminal.Fail(cli::kUnreachable);
            return terminal.Status();
        }
        // Printers fresh from the factory often share one address; the message
        // would reach only one of them, and which one would be luck.
        if (matches.size() > 1) {
            std::string list;
            for (const auto& match : matches) list += "\n  " + match.ListLine() + " MAC " + cli::MacBoxesText(match.mac());
            throw Refusal(std::to_string(matches.size()) + " printers answer to that choice:" + list +
                          "\nchoose one with --mac; nothing sent");
        }
        const protocol::DeviceRecord& record = matches.front();
        const protocol::Mac mac = newMac.value_or(record.mac());
        terminal.Show("setting " + record.ListLine() + " (MAC " + cli::MacBoxesText(record.mac()) + ") to IP " +
                      protocol::Ipv4Text(ip) + " mask " + protocol::Ipv4Text(mask) + " gateway " +
                      protocol::Ipv4Text(gateway) + " MAC " + cli::MacBoxesText(mac));
        if (search.sockets().SendAddressSetting(ip, mask, mac, gateway, record)) {
            terminal.Show(kFinishText);
        } else {
            terminal.Show(kBroadcastFailedText);
            terminal.Fail(cli::kLocalFailure);
        }
        return terminal.Status();
    }

    std::ostream& out_;
    std::ostream& err_;
    Options options_;
    cli::Program program_;
    CLI::Option* usb_ = nullptr;
    CLI::Option* net_ = nullptr;
    CLI::Option* lpt_ = nullptr;
    CLI::Option* fromMenu_ = nullptr;
    bool usbGiven_ = false;
    bool lptGiven_ = false;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const std::function<int()>& openWindow) {
    Cadmon cadmon(out, err);
    return cadmon.Run(args, openWindow);
}

}  // namespace cadmon
