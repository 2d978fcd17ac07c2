#include "settings-tool/cli/CadmonCli.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <memory>
#include <string_view>

#include "link/CommandSender.h"
#include "link/TcpLink.h"
#include "protocol/Discovery.h"
#include "protocol/SettingsCommands.h"
#include "protocol/ValueLists.h"
#include "settings-tool/LinkTexts.h"
#include "settings-tool/SystemCodePage.h"
#include "settings-tool/cli/Arguments.h"
#include "settings-tool/cli/TerminalWindow.h"
#include "platform/linux/usb/SystemUsbDeviceSource.h"

namespace cadmon {

namespace {

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

constexpr int kDefaultScanSeconds = 3;
constexpr int kDefaultDeliverySeconds = 20;

// A command line that cannot be run as given.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Input the window would not send (a bad MAC box, WIFI data too long).
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    printer_link::PortChoice port = printer_link::PortChoice::Usb;
    protocol::Ipv4 printerIp{192, 168, 0, 199};  // the window's start value
    std::optional<long> tcpPort;
    std::optional<long> connectTimeoutMs;
    std::optional<std::string> broadcast;
    std::optional<long> probePort;
    std::optional<long> replyPort;
    std::optional<std::string> usbRoot;
    std::optional<std::string> textEncoding;
    long deliverySeconds = kDefaultDeliverySeconds;
    std::optional<long> seconds;
    std::optional<std::string> mac;
    long repeat = 1;
    long periodMs = 500;
    bool repeatGiven = false;
    bool help = false;
};

struct Context {
    std::string command;
    std::vector<std::string> args;
    Options options;
    std::ostream& out;
    std::ostream& err;
};

struct Subcommand {
    std::string_view name;
    std::string_view arguments;  // synopsis after the name
    std::string_view summary;
    std::string_view details;    // further help, with an example
    std::size_t minArgs;
    std::size_t maxArgs;
    int (*run)(Context&);
};

// ---------------------------------------------------------------------------
// Settings of the link and the discovery, from the environment and the flags.

printer_link::TcpSettings TcpSettingsFor(const Options& options) {
    printer_link::TcpSettings tcp = printer_link::TcpSettings::FromEnvironment();
    if (options.tcpPort) tcp.port = static_cast<std::uint16_t>(*options.tcpPort);
    if (options.connectTimeoutMs) tcp.connectTimeoutMs = static_cast<int>(*options.connectTimeoutMs);
    return tcp;
}

protocol::DiscoverySettings DiscoverySettingsFor(const Options& options) {
    protocol::DiscoverySettings settings = protocol::DiscoverySettings::FromEnvironment();
    if (options.broadcast) settings.broadcastAddress = *options.broadcast;
    if (options.probePort) settings.probePort = static_cast<std::uint16_t>(*options.probePort);
    if (options.replyPort) settings.replyPort = static_cast<std::uint16_t>(*options.replyPort);
    return settings;
}

std::string CodePageFor(const Options& options) {
    return options.textEncoding ? *options.textEncoding : SystemCodePage();
}

// Text for the printer, in the code page. Printed text gets '?' for the
// characters the code page lacks; a WIFI name or password with such characters
// would be wrong on the printer, so `exact` refuses it instead.
std::string ToPrinterText(Context& c, std::string_view utf8, std::string_view what, bool exact = false) {
    const std::string codePage = CodePageFor(c.options);
    const auto converted = ConvertToCodePage(utf8, codePage);
    if (!converted) throw UsageError("unknown text encoding \"" + codePage + "\"");
    if (converted->replaced > 0 && exact) {
        throw Refused("the " + std::string(what) + " has " + std::to_string(converted->replaced) +
                      " character(s) that " + codePage + " cannot hold; nothing sent");
    }
    if (converted->replaced > 0) {
        c.err << "cadmon: " << converted->replaced << " character(s) of the " << what
              << " have no equivalent in " << codePage << " and are sent as '?'\n";
    }
    return converted->bytes;
}

// ---------------------------------------------------------------------------
// Delivery through the command sender.

// The window's side of a delivery: the terminal window, the USB source and
// the command sender with its thread, for one subcommand.
class Session {
public:
    explicit Session(Context& c)
        : c_(c), window_(c.options.port, c.options.printerIp, c.out, c.err),
          usb_(printer_link::MakeSystemUsbDeviceSource()), sender_(window_, *usb_, SenderSettingsFor(c.options)) {
        sender_.Start();
    }
    ~Session() { sender_.Stop(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    TerminalWindow& window() { return window_; }
    void Submit(const protocol::Bytes& bytes) { sender_.SubmitCommand(bytes); }

    // Waits until nothing is pending; false (after reporting) when the printer
    // did not take everything in time or a failure text was shown.
    bool WaitDelivered() {
        if (!sender_.WaitUntilIdle(static_cast<int>(c_.options.deliverySeconds * 1000))) {
            c_.err << "cadmon: the printer did not take the data within " << c_.options.deliverySeconds
                   << " s; the rest is not sent\n";
            window_.Fail(kExitUnreachable);
        }
        return window_.Status() == kExitOk;
    }

    int Finish() {
        WaitDelivered();
        sender_.Stop();
        return window_.Status();
    }

private:
    static printer_link::SenderSettings SenderSettingsFor(const Options& options) {
        printer_link::SenderSettings settings;
        settings.tcp = TcpSettingsFor(options);
        // A terminal reports a failed delivery and ends; it does not retry.
        settings.retryUnfinished = false;
        return settings;
    }

    Context& c_;
    TerminalWindow window_;
    std::unique_ptr<printer_link::UsbDeviceSource> usb_;
    printer_link::CommandSender sender_;
};

struct Step {
    protocol::Bytes bytes;
    std::string boxAfter;  // message box shown once the bytes are handed over
};

int Deliver(Context& c, const std::vector<Step>& steps) {
    Session session(c);
    for (const Step& step : steps) {
        session.Submit(step.bytes);
        if (!step.boxAfter.empty()) session.window().ShowMessageBox(step.boxAfter);
    }
    return session.Finish();
}

int DeliverOne(Context& c, protocol::Bytes bytes) {
    return Deliver(c, {Step{std::move(bytes), {}}});
}

protocol::Ipv4 IpArgument(const std::string& text, std::string_view what) {
    const auto ip = ParseIpv4(text);
    if (!ip) throw UsageError(std::string(what) + " \"" + text + "\" is not a dotted address such as 192.168.0.1");
    return *ip;
}

protocol::Mac MacArgument(const std::vector<std::string>& args, std::string_view what) {
    const MacBoxes boxes = SplitMacBoxes(args);
    if (boxes.boxes.empty()) {
        throw UsageError(std::string(what) +
                         " takes six boxes, as six arguments (0 1a b ff 7 c0) or as one (0:1a:b:ff:7:c0)");
    }
    std::size_t bad = 0;
    const auto mac = MacFromBoxes(boxes.boxes, &bad);
    if (!mac) {
        throw Refused("MAC box " + std::to_string(bad + 1) + " \"" + boxes.boxes[bad] +
                      "\" is not one or two hexadecimal digits; nothing sent");
    }
    return *mac;
}

// ---------------------------------------------------------------------------
// Main window actions.

int RunPrint(Context& c) {
    std::string text(kWelcomeText);
    if (!c.args.empty() && c.args[0] == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!c.args.empty()) {
        text = c.args[0];
    }
    const std::string bytes = ToPrinterText(c, text, "text");
    if (bytes.size() > kPrintInfoMax) {
        throw Refused("the text is " + std::to_string(bytes.size()) + " bytes; at most " +
                      std::to_string(kPrintInfoMax) + " are printed at once; nothing sent");
    }
    // The window counts every print and shows the count as it hands the text
    // over. With --repeat, as with its automatic sending, the text goes again
    // every --period ms once nothing is pending; a failure ends the repeats.
    Session session(c);
    const protocol::Bytes message(bytes.begin(), bytes.end());
    for (long count = 1; count <= c.options.repeat; ++count) {
        if (count > 1) std::this_thread::sleep_for(std::chrono::milliseconds(c.options.periodMs));
        session.Submit(message);
        session.window().ShowStatus("send finish count " + std::to_string(count) + " \r\n");
        if (!session.WaitDelivered()) break;
    }
    return session.Finish();
}

int RunCut(Context& c) { return DeliverOne(c, protocol::CutTest()); }

int RunDrawer(Context& c) { return DeliverOne(c, protocol::CashDrawer()); }

int RunDhcp(Context& c) {
    if (c.args[0] != "on" && c.args[0] != "off") throw UsageError("dhcp takes on or off");
    return DeliverOne(c, protocol::Dhcp(c.args[0] == "on"));
}

int RunSetIp(Context& c) {
    const auto ip = IpArgument(c.args[0], "the new IP");
    const auto mask = IpArgument(c.args[1], "the mask");
    const auto gateway = IpArgument(c.args[2], "the gateway");
    return DeliverOne(c, protocol::SetIp(ip, mask, gateway));
}

int RunSetMac(Context& c) { return DeliverOne(c, protocol::SetMac(MacArgument(c.args, "set-mac"))); }

// ---------------------------------------------------------------------------
// Settings chosen from a list.

struct ListCommand {
    std::string_view name;
    const protocol::ValueList& list;
    protocol::Bytes (*build)(int position);
};

const std::vector<ListCommand>& ListCommands() {
    static const std::vector<ListCommand> commands = {
        {"buzzer", protocol::kBuzzerList, &protocol::Buzzer},
        {"feed", protocol::kBlankFeedList, &protocol::BlankFeed},
        {"density", protocol::kDensityList, &protocol::Density},
        {"codepage", protocol::kCodePageList, &protocol::CodePage},
        {"reprint", protocol::kReprintList, &protocol::Reprint},
        {"charset", protocol::kCharacterSetList, &protocol::CharacterSet},
        {"speed", protocol::kPrintSpeedList, &protocol::PrintSpeed},
    };
    return commands;
}

const ListCommand* FindListCommand(std::string_view name) {
    for (const ListCommand& command : ListCommands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

std::string DescribeList(const protocol::ValueList& list) {
    std::ostringstream text;
    int position = 0;
    for (std::string_view entry : list) {
        text << "  " << position++ << "  \"" << entry << "\"\n";
    }
    text << "  none  (nothing chosen: sends FF)\n";
    return text.str();
}

int RunListSetting(Context& c) {
    const ListCommand* command = FindListCommand(c.command);
    const std::string& value = c.args[0];
    int position = value == "none" ? -1 : command->list.Find(value);
    if (value != "none" && position < 0) {
        throw UsageError("\"" + value + "\" is not in the " + std::string(command->name) +
                         " list; give one of these texts or positions:\n" + DescribeList(command->list));
    }
    return DeliverOne(c, command->build(position));
}

int RunUsbId(Context& c) {
    std::string which = c.args[0];
    std::transform(which.begin(), which.end(), which.begin(), [](unsigned char ch) { return std::tolower(ch); });
    if (which == "x") return DeliverOne(c, protocol::UsbIdentityX());
    if (which == "g") return DeliverOne(c, protocol::UsbIdentityG());
    throw UsageError("usb-id takes x or g");
}

// ---------------------------------------------------------------------------
// WIFI window actions.

int RunWifi(Context& c) {
    const std::string name = ToPrinterText(c, c.args[0], "WIFI name", true);
    const std::string password = ToPrinterText(c, c.args[1], "password", true);
    const auto message = protocol::WifiCredentials(name, password);
    if (!message) {
        throw Refused("the WIFI name and password are " + std::to_string(name.size() + password.size()) +
                      " bytes together; at most " + std::to_string(protocol::kWifiNameAndPasswordMax) +
                      " fit the message; nothing sent");
    }
    return DeliverOne(c, *message);
}

int RunWifiStatic(Context& c) {
    const auto ip = IpArgument(c.args[0], "the WIFI static IP");
    const auto mask = IpArgument(c.args[1], "the WIFI mask");
    const auto gateway = IpArgument(c.args[2], "the WIFI gateway");
    // Header and body are two submissions; the window confirms after the second.
    return Deliver(c, {Step{protocol::WifiStaticHeader(), {}},
                       Step{protocol::WifiStaticBody(ip, mask, gateway), kSetOkText}});
}

// ---------------------------------------------------------------------------
// Connection test, scan and address setting (these do not use the queue).

int RunTestConnection(Context& c) {
    TerminalWindow window(printer_link::PortChoice::Net, c.options.printerIp, c.out, c.err);
    const printer_link::Result result = printer_link::TestPrinterConnection(c.options.printerIp, TcpSettingsFor(c.options));
    if (result.Ok())
        window.ShowMessageBox(ConnectionTestText(result));
    else
        window.ShowFailure(ConnectionTestText(result), kExitUnreachable);
    return window.Status();
}

// Probes once a second and lists each new distinct reply as it arrives. Stops
// at the deadline, or earlier when `done` says the table has what is wanted.
class Search {
public:
    static constexpr std::chrono::milliseconds kSettleTime{500};
    using Done = bool (*)(const std::vector<protocol::DeviceRecord>& filled, const void* wanted);

    Search(Context& c, bool printLines) : c_(c), printLines_(printLines) {}

    // False (after reporting) when the sockets cannot be opened.
    bool Open(TerminalWindow& window) {
        std::string error;
        if (!sockets_.OpenReceive(&error)) {
            c_.err << "cadmon: cannot receive replies on UDP port " << sockets_.settings().replyPort
                   << ": " << error << '\n';
            window.Fail(kExitLocalFailure);
            return false;
        }
        if (!sockets_.OpenBroadcast(&error)) {
            window.ShowMessageBox(kNoBroadcastText);
            c_.err << "cadmon: cannot send broadcasts: " << error << '\n';
            window.Fail(kExitLocalFailure);
            return false;
        }
        return true;
    }

    // Once `done` holds, replies are still taken for a moment, so that a second
    // printer answering for the same choice is seen too.
    std::vector<protocol::DeviceRecord> Run(long seconds, Done done, const void* wanted) {
        using Clock = std::chrono::steady_clock;
        protocol::DiscoveryListener listener(
            sockets_.ReceiveFd(), table_,
            [this](const std::vector<protocol::DeviceRecord>& filled) { OnChange(filled); },
            [this](const protocol::DeviceRecord& dropped) { OnFull(dropped); });
        listener.Start();
        auto deadline = Clock::now() + std::chrono::seconds(seconds);
        auto nextProbe = Clock::now();
        bool satisfied = false;
        const auto holds = [&] { return !satisfied && done != nullptr && done(filled_, wanted); };
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
        if (printLines_) {
            for (std::size_t i = filled_.size(); i < filled.size(); ++i) {
                c_.out << filled[i].ListLine() << '\n';
            }
            c_.out.flush();
        }
        filled_ = filled;
        changed_.notify_all();
    }

    void OnFull(const protocol::DeviceRecord& dropped) {
        std::lock_guard lock(mutex_);
        if (!reportedFull_) {
            c_.err << "cadmon: the list is full; it keeps the first " << protocol::DeviceTable::kSlots
                   << " printers and drops further replies such as " << dropped.ListLine() << '\n';
            reportedFull_ = true;
        }
    }

    Context& c_;
    bool printLines_;
    protocol::DiscoverySockets sockets_{DiscoverySettingsFor(c_.options)};
    protocol::DeviceTable table_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<protocol::DeviceRecord> filled_;
    bool reportedFull_ = false;
};

int RunScan(Context& c) {
    TerminalWindow window(c.options.port, c.options.printerIp, c.out, c.err);
    Search search(c, true);
    if (!search.Open(window)) return window.Status();
    const auto found = search.Run(c.options.seconds.value_or(kDefaultScanSeconds), nullptr, nullptr);
    if (found.empty()) c.err << "cadmon: no printer answered\n";
    return window.Status();
}

// Which found printer set-address means.
struct Selector {
    std::optional<protocol::Mac> mac;  // --mac: its current MAC
    std::optional<protocol::Ipv4> ip;  // its current IP
    std::optional<std::string> line;   // its list line, "(1.0)192.168.0.199."
    std::size_t number = 0;            // its line number in this search, from 1
};

// The found printers the selector names: at most one for a line number.
std::vector<protocol::DeviceRecord> Matches(const std::vector<protocol::DeviceRecord>& filled,
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

int RunSetAddress(Context& c) {
    // set-address SELECTOR IP [MASK [GATEWAY [MAC]]], or with --mac: IP [MASK [GATEWAY [MAC]]]
    Selector selector;
    std::vector<std::string> args = c.args;
    if (c.options.mac) {
        selector.mac = MacArgument({*c.options.mac}, "--mac");
    } else {
        if (args.empty()) throw UsageError("set-address needs a printer: a list line, its IP, its number or --mac");
        const std::string chosen = args.front();
        args.erase(args.begin());
        if (const auto number = ParseNumber(chosen, 1, protocol::DeviceTable::kSlots)) {
            selector.number = static_cast<std::size_t>(*number);
        } else if (const auto ip = ParseIpv4(chosen)) {
            selector.ip = *ip;
        } else {
            selector.line = chosen;
        }
    }
    if (args.empty()) throw UsageError("set-address needs the new IP");
    if (args.size() > 3 && args.size() != 4 && args.size() != 9) {
        throw UsageError("set-address takes the MAC as one argument or as six boxes");
    }
    const auto ip = IpArgument(args[0], "the new IP");
    // The search window fills mask and gateway with these whatever the printer has.
    const auto mask = args.size() > 1 ? IpArgument(args[1], "the mask") : protocol::Ipv4{255, 255, 255, 0};
    const auto gateway = args.size() > 2 ? IpArgument(args[2], "the gateway") : protocol::Ipv4{192, 168, 0, 1};
    std::optional<protocol::Mac> newMac;
    if (args.size() > 3) newMac = MacArgument({args.begin() + 3, args.end()}, "the new MAC");

    TerminalWindow window(c.options.port, c.options.printerIp, c.out, c.err);
    Search search(c, false);
    if (!search.Open(window)) return window.Status();
    const auto found = search.Run(
        c.options.seconds.value_or(kDefaultScanSeconds),
        [](const std::vector<protocol::DeviceRecord>& filled, const void* wanted) {
            return !Matches(filled, *static_cast<const Selector*>(wanted)).empty();
        },
        &selector);
    const auto matches = Matches(found, selector);
    if (matches.empty()) {
        window.ShowMessageBox(kNoSelectText);
        window.Fail(kExitUnreachable);
        return window.Status();
    }
    // Printers fresh from the factory often share one address; the message
    // would reach only one of them, and which one would be luck.
    if (matches.size() > 1) {
        std::string list;
        for (const auto& match : matches) list += "\n  " + match.ListLine() + " MAC " + FormatMac(match.mac());
        throw Refused(std::to_string(matches.size()) + " printers answer to that choice:" + list +
                      "\nchoose one with --mac; nothing sent");
    }
    const auto record = std::optional<protocol::DeviceRecord>(matches.front());
    const protocol::Mac mac = newMac.value_or(record->mac());
    c.out << "setting " << record->ListLine() << " (MAC " << FormatMac(record->mac()) << ") to IP "
          << FormatIpv4(ip) << " mask " << FormatIpv4(mask) << " gateway " << FormatIpv4(gateway) << " MAC "
          << FormatMac(mac) << '\n';
    if (search.sockets().SendAddressSetting(ip, mask, mac, gateway, *record)) {
        window.ShowMessageBox(kFinishText);
    } else {
        window.ShowMessageBox(kBroadcastFailedText);
        window.Fail(kExitLocalFailure);
    }
    return window.Status();
}

// ---------------------------------------------------------------------------
// The subcommands and their help.

const std::vector<Subcommand>& Subcommands() {
    static const std::vector<Subcommand> commands = {
        {"print", "[--repeat N [--period MS]] [TEXT | -]",
         "print TEXT (default: the welcome text; - reads standard input)",
         "The text is converted from UTF-8 to the system code page (see --text-encoding) and sent\n"
         "without a terminating zero; characters the code page lacks are sent as '?'. At most 2047\n"
         "bytes. Add the line end yourself; a text that starts with '-' goes after \"--\":\n"
         "  cadmon --net 127.0.0.1 print $'Hello printer\\r\\n'\n"
         "  cadmon --net 127.0.0.1 print -- $'-5 degrees\\r\\n'\n"
         "--repeat N sends it N times, as the window's automatic sending does: again every --period\n"
         "MS milliseconds (default 500) once the previous one is delivered; it stops at a failure.\n"
         "  cadmon --usb print --repeat 5 --period 1000 $'Line\\r\\n'\n",
         0, 1, &RunPrint},
        {"cut", "", "cut test: two line feeds and a paper cut", "  cadmon --net 127.0.0.1 cut\n", 0, 0, &RunCut},
        {"drawer", "", "open the cash drawer", "  cadmon --net 127.0.0.1 drawer\n", 0, 0, &RunDrawer},
        {"dhcp", "on|off", "switch the printer's DHCP on or off", "  cadmon --net 127.0.0.1 dhcp on\n", 1, 1,
         &RunDhcp},
        {"set-ip", "NEWIP MASK GATEWAY", "give the printer a new IP address, mask and gateway",
         "  cadmon --net 127.0.0.1 set-ip 192.168.1.199 255.255.255.0 192.168.0.1\n", 3, 3, &RunSetIp},
        {"set-mac", "XX XX XX XX XX XX", "give the printer a new MAC address",
         "Six boxes of one or two hexadecimal digits (one digit d means 0d), as six arguments or\n"
         "as one with ':' or '-' between them. Any other box is refused and nothing is sent.\n"
         "  cadmon --net 127.0.0.1 set-mac 0 1a b FF 7 c0\n",
         1, 6, &RunSetMac},
        {"buzzer", "VALUE", "buzzer setting", "", 1, 1, &RunListSetting},
        {"feed", "VALUE", "blank feed (lines)", "", 1, 1, &RunListSetting},
        {"density", "VALUE", "print density", "", 1, 1, &RunListSetting},
        {"codepage", "VALUE", "the printer's code page", "", 1, 1, &RunListSetting},
        {"reprint", "VALUE", "reprint after a paper change", "", 1, 1, &RunListSetting},
        {"charset", "VALUE", "language / character set", "", 1, 1, &RunListSetting},
        {"speed", "VALUE", "print speed", "", 1, 1, &RunListSetting},
        {"usb-id", "x|g", "the printer's USB identity (x: 1fc9:2016, g: 0471:0055)",
         "  cadmon --net 127.0.0.1 usb-id g\n", 1, 1, &RunUsbId},
        {"wifi", "NAME PASSWORD", "the wireless network the printer joins",
         "Name and password are converted to the system code page; together they may take at most\n"
         "124 bytes. Longer ones, and characters the code page cannot hold, are refused and nothing\n"
         "is sent.\n"
         "  cadmon --net 127.0.0.1 wifi shop-wlan secret123\n",
         2, 2, &RunWifi},
        {"wifi-static", "IP MASK GATEWAY", "the printer's fixed wireless address",
         "Sent as two messages (a header, then the address); prints \"set ok\" once both are handed over.\n"
         "  cadmon --net 127.0.0.1 wifi-static 192.168.1.199 255.255.255.0 192.168.0.1\n",
         3, 3, &RunWifiStatic},
        {"test-connection", "", "connect to the printer and close again (sends nothing)",
         "Prints \"connect ok\" or the connection failure text (exit status 3).\n"
         "  cadmon --net 127.0.0.1 test-connection\n",
         0, 0, &RunTestConnection},
        {"scan", "[--seconds N]", "search the network for printers",
         "Broadcasts a probe once a second for N seconds (default 3) and prints one line per\n"
         "distinct reply as it arrives, \"(1.0)192.168.0.199.\": the two identifying bytes, then the\n"
         "printer's IP. The list keeps the first 16 printers.\n"
         "  cadmon scan --seconds 2\n",
         0, 0, &RunScan},
        {"set-address", "PRINTER NEWIP [MASK [GATEWAY [MAC]]]",
         "give a printer found by broadcast a new IP, mask, gateway, MAC",
         "PRINTER is its list line as scan prints it, its current IP, its number in the list (from 1),\n"
         "or --mac CURRENT-MAC instead of PRINTER. Mask and gateway default to 255.255.255.0 and\n"
         "192.168.0.1, the MAC to the printer's own. Probes for up to --seconds N (default 3) until\n"
         "the printer is found, then broadcasts the setting: \"FINISH\", or \"No Select print\" when\n"
         "no such printer answered, \"Error 0\"/\"Error 1\" when the broadcast cannot be sent. When\n"
         "several printers answer to PRINTER (the same IP), nothing is sent: choose with --mac.\n"
         "  cadmon set-address 192.168.0.199 192.168.0.150\n"
         "  cadmon set-address --mac 0:11:22:33:44:55 192.168.0.150 255.255.255.0 192.168.0.1 0:11:22:33:44:56\n",
         0, 10, &RunSetAddress},
    };
    return commands;
}

const Subcommand* FindSubcommand(std::string_view name) {
    for (const Subcommand& command : Subcommands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

void PrintSubcommandHelp(std::ostream& out, const Subcommand& command) {
    out << "Usage: cadmon [OPTIONS] " << command.name;
    if (!command.arguments.empty()) out << ' ' << command.arguments;
    out << "\n" << command.summary << "\n\n";
    if (const ListCommand* list = FindListCommand(command.name)) {
        out << "VALUE is an entry as the window shows it, or its position:\n" << DescribeList(list->list)
            << "  cadmon --net 127.0.0.1 " << command.name << ' ' << list->list.entries[list->list.count - 1]
            << "\n";
    }
    out << command.details;
    out << "\nSee cadmon --help for the options and exit statuses.\n";
}

// ---------------------------------------------------------------------------
// Command line.

struct OptionSpec {
    std::string_view name;
    bool takesValue;
};

constexpr OptionSpec kOptions[] = {
    {"--usb", false},          {"--net", true},         {"--lpt", false},        {"--tcp-port", true},
    {"--connect-timeout", true}, {"--broadcast", true}, {"--probe-port", true},   {"--reply-port", true},
    {"--usb-root", true},      {"--timeout", true},     {"--text-encoding", true}, {"--seconds", true},
    {"--mac", true},           {"--repeat", true},      {"--period", true},      {"--help", false},
};

long NumberOption(std::string_view name, const std::string& value, long low, long high) {
    const auto number = ParseNumber(value, low, high);
    if (!number) {
        throw UsageError(std::string(name) + " takes a number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + value + "\"");
    }
    return *number;
}

void ApplyOption(Options& options, std::string_view name, const std::string& value) {
    if (name == "--usb") {
        options.port = printer_link::PortChoice::Usb;
    } else if (name == "--lpt") {
        options.port = printer_link::PortChoice::Lpt;
    } else if (name == "--net") {
        options.port = printer_link::PortChoice::Net;
        options.printerIp = IpArgument(value, "--net");
    } else if (name == "--tcp-port") {
        options.tcpPort = NumberOption(name, value, 1, 65535);
    } else if (name == "--connect-timeout") {
        options.connectTimeoutMs = NumberOption(name, value, 1, 600000);
    } else if (name == "--broadcast") {
        IpArgument(value, "--broadcast");
        options.broadcast = value;
    } else if (name == "--probe-port") {
        options.probePort = NumberOption(name, value, 1, 65535);
    } else if (name == "--reply-port") {
        options.replyPort = NumberOption(name, value, 1, 65535);
    } else if (name == "--usb-root") {
        options.usbRoot = value;
    } else if (name == "--timeout") {
        options.deliverySeconds = NumberOption(name, value, 1, 3600);
    } else if (name == "--text-encoding") {
        options.textEncoding = value;
    } else if (name == "--seconds") {
        options.seconds = NumberOption(name, value, 1, 3600);
    } else if (name == "--mac") {
        options.mac = value;
    } else if (name == "--repeat") {
        options.repeat = NumberOption(name, value, 1, 1000000);
        options.repeatGiven = true;
    } else if (name == "--period") {
        options.periodMs = NumberOption(name, value, 0, 3600000);
        options.repeatGiven = true;
    } else if (name == "--help") {
        options.help = true;
    }
}

// Splits the command line into options, the subcommand and its arguments.
// Options may stand before or after the subcommand; "--" ends them.
void ParseCommandLine(const std::vector<std::string>& args, Context& c) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (c.command.empty()) {
                c.command = arg;
            } else {
                c.args.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h") {
            c.options.help = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                       [&](const OptionSpec& s) { return s.name == name; });
        if (option == std::end(kOptions)) throw UsageError("unknown option " + name);
        std::string value;
        if (option->takesValue) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw UsageError(name + " needs a value");
            }
        } else if (equals != std::string::npos) {
            throw UsageError(name + " takes no value");
        }
        ApplyOption(c.options, name, value);
    }
}

}  // namespace

void PrintProgramHelp(std::ostream& out) {
#ifdef CADMON_HAVE_GUI
    out << "Usage: cadmon                        open the settings window\n";
#else
    out << "Usage: cadmon                        this help (built without the window)\n";
#endif
    out << "       cadmon [OPTIONS] SUBCOMMAND [ARGUMENTS]\n"
           "       cadmon help [SUBCOMMAND]     (or SUBCOMMAND --help)\n"
           "\n"
           "Settings and test utility for receipt printers. Each subcommand does what the window's\n"
           "button does: it hands the message to the sender, waits until it is delivered and prints\n"
           "the status texts and message boxes the window would show.\n"
           "\nSubcommands:\n";
    for (const Subcommand& command : Subcommands()) {
        std::string synopsis = std::string(command.name);
        if (!command.arguments.empty()) synopsis += " " + std::string(command.arguments);
        out << "  " << synopsis;
        if (synopsis.size() < 34) {
            out << std::string(34 - synopsis.size(), ' ');
        } else {
            out << "\n" << std::string(36, ' ');
        }
        out << command.summary << '\n';
    }
    out << "\nPort (as the window's port choice; the last one given counts):\n"
           "  --usb                 the first USB printer of a listed product ID (default)\n"
           "  --net IP              the printer at IP, TCP port 9100\n"
           "  --lpt                 the parallel port: not supported, nothing is sent\n"
           "Over the network a message counts as delivered once the printer has closed the\n"
           "connection after taking every byte (cadmon waits up to 2 s for that); each send\n"
           "waits at most 5 s for the printer to take data.\n"
           "\nOptions:\n"
           "  --tcp-port N          printer TCP port (default 9100, or PRINTER_TCP_PORT)\n"
           "  --connect-timeout MS  bound on each TCP connection attempt (default 5000)\n"
           "  --timeout S           wait at most S seconds for the delivery (default 20)\n"
           "  --usb-root DIR        prefix of the sysfs and /dev trees (USB_PRINTER_ROOT, default /)\n"
           "  --broadcast ADDR      discovery destination (PRINTER_BROADCAST_ADDR, default 255.255.255.255)\n"
           "  --probe-port N        discovery port of the printers (PRINTER_PROBE_PORT, default 9000)\n"
           "  --reply-port N        local port for the replies (PRINTER_REPLY_PORT, default 8999)\n"
           "  --seconds N           scan and set-address: how long to search (default 3)\n"
           "  --mac MAC             set-address: choose the printer by its current MAC\n"
           "  --repeat N, --period MS  print: send the text N times, MS milliseconds apart\n"
           "  --text-encoding CP    iconv code page for text and WIFI data instead of the system's\n"
           "  -h, --help            this help, or a subcommand's help\n"
           "\nText code page: chosen from LC_ALL, LC_CTYPE or LANG (the first one set): zh_CN CP936,\n"
           "zh_TW/zh_HK CP950, ja CP932, ko CP949, ru CP1251, anything else (C, POSIX, en_US...)\n"
           "CP1252. Arguments are read as UTF-8.\n"
           "\nExit status:\n"
           "  0  done (for settings: handed over and delivered without a failure text)\n"
           "  1  the printer was reached but did not take the message: it dropped the connection,\n"
           "     or took nothing within the time-out of a piece (a line on stderr says which)\n"
           "  2  usage: unknown subcommand or option, malformed argument\n"
           "  3  printer not reachable: \"USB OPEN FAIL\" (with a line naming the device and the reason\n"
           "     when one was found but could not be opened), the network connection failure text,\n"
           "     \"NOT Selet USB OR NET\", \"No Select print\", or the delivery did not finish in time\n"
           "  4  input refused, nothing sent: a bad MAC box, WIFI data over 124 bytes or not in the\n"
           "     code page, text over 2047 bytes, set-address naming several printers\n"
           "  5  local failure: the discovery sockets (\"Error 0\", \"Error 1\", reply port in use)\n"
           "\nRun it inside a private network namespace or against printer-sim on 127.0.0.1: the\n"
           "defaults talk to 192.168.0.199 and broadcast to 255.255.255.255.\n";
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Context c{{}, {}, {}, out, err};
    try {
        ParseCommandLine(args, c);
        if (c.command == "help") {
            const Subcommand* command = c.args.empty() ? nullptr : FindSubcommand(c.args[0]);
            if (!c.args.empty() && command == nullptr) throw UsageError("unknown subcommand " + c.args[0]);
            if (command != nullptr) {
                PrintSubcommandHelp(out, *command);
            } else {
                PrintProgramHelp(out);
            }
            return kExitOk;
        }
        if (c.command.empty()) {
            PrintProgramHelp(c.options.help ? out : err);
            return c.options.help ? kExitOk : kExitUsage;
        }
        const Subcommand* command = FindSubcommand(c.command);
        if (command == nullptr) throw UsageError("unknown subcommand " + c.command);
        if (c.options.help) {
            PrintSubcommandHelp(out, *command);
            return kExitOk;
        }
        if (c.args.size() < command->minArgs || c.args.size() > command->maxArgs) {
            throw UsageError("wrong number of arguments; usage: cadmon " + std::string(command->name) + " " +
                             std::string(command->arguments));
        }
        const bool searches = command->run == &RunScan || command->run == &RunSetAddress;
        if (!searches && c.options.seconds) throw UsageError("--seconds is for scan and set-address");
        if (command->run != &RunSetAddress && c.options.mac) throw UsageError("--mac is for set-address");
        if (command->run != &RunPrint && c.options.repeatGiven) throw UsageError("--repeat and --period are for print");
        if (c.options.usbRoot) ::setenv("USB_PRINTER_ROOT", c.options.usbRoot->c_str(), 1);
        return command->run(c);
    } catch (const UsageError& e) {
        err << "cadmon: " << e.what() << '\n';
        if (!c.command.empty() && FindSubcommand(c.command) != nullptr) {
            err << "Try 'cadmon " << c.command << " --help'.\n";
        } else {
            err << "Try 'cadmon --help'.\n";
        }
        return kExitUsage;
    } catch (const Refused& e) {
        err << e.what() << '\n';
        return kExitRefused;
    }
}

}  // namespace cadmon
