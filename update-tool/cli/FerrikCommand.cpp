#include "update-tool/cli/FerrikCommand.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>

#include "cli-common/Json.h"
#include "cli-common/Program.h"
#include "cli-common/TerminalWindow.h"
#include "protocol/Discovery.h"
#include "protocol/Firmware.h"
#include "protocol/ValueLists.h"
#include "update-tool/core/ImageFile.h"
#include "update-tool/core/UpdateTool.h"

namespace ferrik {
namespace {

using cli::Refusal;
using cli::UsageError;

// PrintSetWindow as a terminal shows it: message boxes on stdout, the device
// path and the progress on stderr. The bar shows the share of the file sent
// (the window's bar keeps its fixed scale).
class TerminalUpdateWindow : public UpdateWindow {
public:
    explicit TerminalUpdateWindow(cli::TerminalWindow& terminal) : terminal_(terminal) {}

    void SetTotal(std::int64_t bytes) { total_ = bytes; }
    void SetProgress(int, std::int64_t bytesDone) override { terminal_.Progress(bytesDone, total_); }
    void ShowDevicePath(const std::string& path) override { terminal_.ShowDevicePath(path); }
    void ShowStatus(const std::string&) override {}
    void ShowMessageBox(const std::string& text) override { terminal_.Show(text); }
    void SetButtonEnabled(ActionButton, bool) override {}
    void ClearDeviceList() override {}
    // The exit code follows from the outcome (see CodeOf).
    void EndProgram(const std::string& text, int) override { terminal_.Show(text); }

private:
    cli::TerminalWindow& terminal_;
    std::int64_t total_ = 0;
};

// The window's actions, one terminal, one device table for a command line.
struct Session {
    Session(printer_link::UsbDeviceSource& usb, const Terminal& t)
        : terminal("ferrik", t.out, t.err, t.errIsTerminal), window(terminal), tool(window, usb, table) {}

    cli::TerminalWindow terminal;
    TerminalUpdateWindow window;
    protocol::DeviceTable table;
    UpdateTool tool;
};

// The exit code of an action over USB or the network, and the line a
// terminal adds to the window's text: which device and why.
int CodeOf(Session& s, Outcome outcome, bool network) {
    if (outcome == Outcome::Done) return cli::kDone;
    if (outcome == Outcome::FileFailed) return cli::kLocalFailure;
    if (outcome == Outcome::Refused) return cli::kRefused;
    const printer_link::Result& result = network ? s.tool.LastNetworkResult() : s.tool.LastUsbOpen();
    if (const std::string line = cli::FailureDetail(result, network); !line.empty()) s.terminal.Note(line);
    return result.OpenFailed() ? cli::OpenFailureCode(result) : cli::kPrinterFailed;
}

int UsbCode(Session& s, Outcome outcome) { return CodeOf(s, outcome, false); }
int NetworkCode(Session& s, Outcome outcome) { return CodeOf(s, outcome, true); }

// Listens for printer replies and probes every two seconds, until the time
// is up or, shortly after, `stopWhen` has held.
class Scan {
public:
    static constexpr std::chrono::milliseconds kSettleTime{500};
    using Found = std::function<void(const protocol::DeviceRecord&, std::size_t number)>;

    explicit Scan(Session& session) : s_(session) {}

    bool Run(long seconds, const std::function<bool(const protocol::DeviceRecord&)>& stopWhen, const Found& found) {
        protocol::DiscoverySockets sockets(s_.tool.Settings().discovery);
        std::string error;
        if (!sockets.OpenReceive(&error)) {
            s_.terminal.Note(error);
            return false;
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
        std::size_t shown = 0;
        protocol::DiscoveryListener listener(
            sockets.ReceiveFd(), s_.tool.Table(), [&](const std::vector<protocol::DeviceRecord>& filled) {
                std::lock_guard lock(mutex);
                for (; shown < filled.size(); ++shown) {
                    if (found) found(filled[shown], shown + 1);
                    if (stopWhen && stopWhen(filled[shown])) done = true;
                }
                changed.notify_all();
            });
        listener.Start();
        s_.tool.StartNetworkSearch();
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
                s_.tool.SendNetworkSearch();
                lock.lock();
            }
            changed.wait_until(lock, std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(2)),
                               [&] { return done && !settling; });
        }
        lock.unlock();
        listener.Stop();
        return true;
    }

private:
    Session& s_;
};

class Ferrik {
public:
    Ferrik(printer_link::UsbDeviceSource& usb, const Terminal& terminal)
        : usb_(usb), t_(terminal), program_(Text()) {
        program_.Add(Table());
    }

    int Run(const std::vector<std::string>& args, const std::function<int()>& openWindow) {
        if (openWindow) program_.SetDefault(openWindow);
        return program_.Run(args, t_.out, t_.err);
    }

private:
    static cli::ProgramText Text() {
        cli::ProgramText text;
        text.name = "ferrik";
        text.whatis = "firmware update tool for receipt printers";
        text.description =
            "Firmware update tool for receipt printers. Without arguments ferrik opens the update window\n"
            "(\"Print-set\"). With a subcommand it runs the window's action on the terminal with the\n"
            "window's texts: message boxes on stdout; the device, the progress and what went wrong on\n"
            "stderr.\n";
        text.notes =
            "Before a firmware image or a font file goes out, ferrik checks that it is a regular file\n"
            "that holds something, shows its name, size, blocks and checksum, and asks on a terminal.\n"
            "--yes sends without asking; without a terminal and without --yes nothing is sent (exit 4).\n"
            "The progress is a bar when stderr is a terminal, otherwise a line at each quarter.\n"
            "\n"
            "PRINTER_TCP_PORT, PRINTER_BROADCAST_ADDR, PRINTER_PROBE_PORT and PRINTER_REPLY_PORT move\n"
            "the network defaults; USB_PRINTER_ROOT moves the sysfs and /dev trees.\n"
            "\n"
            "Run it inside a private network namespace or against printer-sim on 127.0.0.1: scan and\n"
            "set-network broadcast to 255.255.255.255.\n";
        return text;
    }

    std::vector<cli::Subcommand> Table() {
        return {
            {"flash", "send a firmware image over USB or to a printer's TCP port 9100",
             [this](CLI::App& c) { return DefineFlash(c); },
             "The image is sent in 256-byte blocks. Over USB: 1B 2B, the blocks, fill blocks, then the\n"
             "checksum that ferrik shows beforehand; over the network: 1B 2B, the blocks, three fill\n"
             "blocks (no checksum). The printer restarts by itself afterwards.\n"
             "  ferrik flash --usb PRINT_NET80.bin\n"
             "  ferrik flash --net 127.0.0.1 --yes PRINT_NET80.bin\n"},
            {"font", "send a font file over USB", [this](CLI::App& c) { return DefineFont(c); },
             "  ferrik font --yes gb2312\n"},
            {"set", "send code page, print width and buzzer (the hidden \"Set\" button)",
             [this](CLI::App& c) { return DefineSet(c); },
             "ENTRY is a code page as the window's list shows it (\"PC437(Std.Europe)\" ... \"China\");\n"
             "without --codepage none is chosen (FF), as when the window opens.\n"
             "  ferrik set --codepage China --width 58CM --beep 3\n"},
            {"dark", "send the print darkness", [this](CLI::App& c) { return DefineDark(c); }, "  ferrik dark 2\n"},
            {"x-usb", "set the printer's USB identity X",
             [this](CLI::App&) { return [this] { return RunIdentity(true); }; }},
            {"g-usb", "set the printer's USB identity G",
             [this](CLI::App&) { return [this] { return RunIdentity(false); }; }},
            {"scan", "list the printers on the network", [this](CLI::App& c) { return DefineScan(c); },
             "Probes every two seconds and prints one line per printer as the device list shows it,\n"
             "\"(1.0)192.168.0.199.\". With --json the output is one JSON array, one object per printer:\n"
             "  {\"number\": 1, \"line\": \"(1.0)192.168.0.199.\", \"id\": [1, 0], \"mac\": \"00:1a:0b:ff:07:c0\",\n"
             "   \"ip\": \"192.168.0.199\"}\n"
             "When no printer answers, the exit status is 3.\n"
             "  ferrik scan --seconds 3 --json\n"},
            {"set-network", "give the printer found at an address (or with a MAC) new network settings",
             [this](CLI::App& c) { return DefineSetNetwork(c); },
             "The printer is chosen by its current IP or MAC (--printer); --mac is its new MAC. Mask and\n"
             "gateway default to those of the network settings dialog. No answer shows \"ERROR 请选择设备\"\n"
             "(exit 3); two printers answering for one address are refused until one is chosen by its\n"
             "MAC (exit 4).\n"
             "  ferrik set-network --printer 192.168.0.199 --ip 192.168.0.150\n"},
            {"connect-test", "try a connection to a printer's TCP port 9100",
             [this](CLI::App& c) { return DefineConnectTest(c); }, "  ferrik connect-test 127.0.0.1\n"},
        };
    }

    // -----------------------------------------------------------------------
    // Downloads.

    struct FileChoice {
        std::string file;
        bool yes = false;
    };

    static std::shared_ptr<FileChoice> DefineFile(CLI::App& command, const char* defaultName) {
        auto choice = std::make_shared<FileChoice>();
        choice->file = defaultName;
        command.add_option("FILE", choice->file, std::string("the file to send (default ") + defaultName + ")")
            ->type_name("FILE");
        command.add_flag("-y,--yes", choice->yes, "send without asking");
        return choice;
    }

    // The checks and the question before a download. Returns the summary
    // of a file that may be sent; throws or reports otherwise.
    std::optional<ImageSummary> Prepare(Session& s, const FileChoice& choice, const std::string& what,
                                        const std::string& destination, bool showChecksum) {
        ImageSummary summary = InspectImage(choice.file);
        switch (summary.problem) {
            case ImageSummary::Problem::None: break;
            case ImageSummary::Problem::Unreadable:
                // The window's text for a file it cannot read.
                s.terminal.Show(kFileErrorPrefix + choice.file + ": " + summary.why);
                s.terminal.Fail(cli::kLocalFailure);
                return std::nullopt;
            case ImageSummary::Problem::NotRegular:
            case ImageSummary::Problem::Empty:
                throw Refusal(choice.file + ": " + summary.why + "; nothing sent");
        }
        char checksum[48] = "";
        if (showChecksum) std::snprintf(checksum, sizeof checksum, ", checksum 0x%08X", summary.checksum);
        s.terminal.Note(what + " " + choice.file + ": " + std::to_string(summary.size) + " bytes, " +
                        std::to_string(summary.blocks) + " blocks of 256 bytes" + checksum);
        if (choice.yes) return summary;
        if (!t_.inIsTerminal)
            throw Refusal("standard input is not a terminal to ask; add --yes to send without asking; nothing sent");
        if (!s.terminal.Confirm("Send it to " + destination + "?", t_.in))
            throw Refusal("not confirmed; nothing sent");
        return summary;
    }

    cli::Runner DefineFlash(CLI::App& command) {
        auto usb = std::make_shared<bool>(false);
        auto net = std::make_shared<std::string>();
        auto choice = DefineFile(command, kImageFileName);
        CLI::Option* overUsb = command.add_flag("--usb", *usb, "send over USB");
        CLI::Option* overNet = command.add_option("--net", *net, "send to IP, TCP port 9100")
                                   ->type_name("IP")
                                   ->check(cli::Ipv4Value());
        overUsb->excludes(overNet);
        return [this, usb, net, choice] {
            if (*usb == !net->empty()) throw UsageError("flash needs either --usb or --net IP");
            return *usb ? FlashOverUsb(*choice) : FlashOverNetwork(cli::Ipv4Of(*net), *choice);
        };
    }

    int FlashOverUsb(const FileChoice& choice) {
        Session s(usb_, t_);
        const auto summary = Prepare(s, choice, "firmware image", "the USB printer", true);
        if (!summary) return s.terminal.Status();
        s.window.SetTotal(static_cast<std::int64_t>(summary->blocks * protocol::kFirmwareBlockSize));
        const Outcome outcome = s.tool.SendFirmwareOverUsb(choice.file);
        s.terminal.EndProgress();
        return UsbCode(s, outcome);
    }

    int FlashOverNetwork(const protocol::Ipv4& address, const FileChoice& choice) {
        Session s(usb_, t_);
        const std::string where = protocol::Ipv4Text(address);
        const auto summary = Prepare(s, choice, "firmware image", where, true);
        if (!summary) return s.terminal.Status();
        s.window.SetTotal(static_cast<std::int64_t>(summary->blocks * protocol::kFirmwareBlockSize));
        // The address given stands for a printer found in slot 0 of the device list.
        protocol::DeviceRecord record;
        record.bytes[0] = 1;
        std::copy(address.begin(), address.end(), record.bytes.begin() + 14);
        s.table.Add(record);
        const Outcome outcome = s.tool.SendFirmwareOverNetwork(0, choice.file);
        s.terminal.EndProgress();
        // The window shows nothing at the end of a network download; a terminal says where it went.
        if (outcome == Outcome::Done) s.terminal.Note("sent " + choice.file + " to " + where);
        if (outcome == Outcome::Refused && address[0] == 0)
            s.terminal.Note("the printer address " + where + " cannot be used; nothing sent");
        return NetworkCode(s, outcome);
    }

    cli::Runner DefineFont(CLI::App& command) {
        auto choice = DefineFile(command, kFontFileName);
        return [this, choice] {
            Session s(usb_, t_);
            if (!Prepare(s, *choice, "font", "the USB printer", false)) return s.terminal.Status();
            return UsbCode(s, s.tool.SendFontOverUsb(choice->file));
        };
    }

    // -----------------------------------------------------------------------
    // Settings over USB.

    cli::Runner DefineSet(CLI::App& command) {
        struct Values {
            std::optional<std::string> codePage;
            std::string width = "80CM";
            int beep = 1;
        };
        auto v = std::make_shared<Values>();
        command.add_option("--codepage", v->codePage, "a code page entry of the window's list")->type_name("ENTRY");
        command.add_option("--width", v->width, "print width: 80CM (default) or 58CM; 80 and 58 alone too")
            ->type_name("80CM|58CM")
            ->check(CLI::Validator(
                [](std::string& text) -> std::string {
                    if (text == "80" || text == "58") text += "CM";
                    return text == "80CM" || text == "58CM" ? "" : "\"" + text + "\" is not 80CM or 58CM";
                },
                ""));
        command.add_option("--beep", v->beep, "buzzer: 1 (default), 2 or 3")->type_name("1|2|3")->check(cli::Between(1, 3));
        return [this, v] {
            int codePage = -1;  // nothing chosen, as the window opens
            if (v->codePage) {
                for (int i = 0; i < protocol::kUpdateToolCodePageCount && codePage < 0; ++i)
                    if (protocol::UpdateToolCodePage(i) == *v->codePage) codePage = i;
                if (codePage < 0) throw UsageError("unknown code page: " + *v->codePage);
            }
            Session s(usb_, t_);
            return UsbCode(s, s.tool.SendCodePageWidthBeep(codePage, v->width == "58CM" ? 1 : 0, v->beep - 1));
        };
    }

    cli::Runner DefineDark(CLI::App& command) {
        auto value = std::make_shared<int>(0);
        command.add_option("VALUE", *value, "darkness 0, 1 or 2")->required()->option_text("0|1|2")->check(cli::Between(0, 2));
        return [this, value] {
            Session s(usb_, t_);
            return UsbCode(s, s.tool.SendDarkness(*value));
        };
    }

    int RunIdentity(bool x) {
        Session s(usb_, t_);
        const Outcome outcome = x ? s.tool.SendUsbIdentityX() : s.tool.SendUsbIdentityG();
        // The window shows nothing either way; a script wants to know.
        if (outcome != Outcome::Done) s.terminal.Note("no USB printer took the message");
        return UsbCode(s, outcome);
    }

    // -----------------------------------------------------------------------
    // Network group.

    static void DefineSeconds(CLI::App& command, long& seconds, const char* what) {
        command.add_option("--seconds", seconds, what)->type_name("N")->check(cli::Between(1, 3600));
    }

    cli::Runner DefineScan(CLI::App& command) {
        auto seconds = std::make_shared<long>(5);
        auto json = std::make_shared<bool>(false);
        DefineSeconds(command, *seconds, "how long to search (default 5)");
        command.add_flag("--json", *json, "one JSON array, an object per printer");
        return [this, seconds, json] {
            Session s(usb_, t_);
            std::optional<cli::JsonList> list;
            if (*json) list.emplace(t_.out);
            const bool ran = Scan(s).Run(*seconds, {}, [&](const protocol::DeviceRecord& r, std::size_t number) {
                if (!list) return s.terminal.Show(r.ListLine());
                list->Add(cli::FoundPrinter(r, number));
            });
            if (!ran) return static_cast<int>(cli::kLocalFailure);
            if (list) list->Close();
            if (s.tool.Table().Count() == 0) {
                s.terminal.Note("no printer answered");
                return static_cast<int>(cli::kUnreachable);
            }
            return static_cast<int>(cli::kDone);
        };
    }

    cli::Runner DefineSetNetwork(CLI::App& command) {
        struct Values {
            std::string printer;
            std::optional<std::string> ip, mac;
            std::string mask = "255.255.255.0", gateway = "192.168.0.1";  // the network settings dialog's
            bool dhcp = false;
            long seconds = 10;
        };
        auto v = std::make_shared<Values>();
        command.add_option("--printer", v->printer, "the printer: its current IP or MAC")
            ->required()
            ->type_name("IP|MAC");
        command.add_option("--ip", v->ip, "its new IP (default: the current one)")->type_name("IP")->check(cli::Ipv4Value());
        command.add_option("--mask", v->mask, "its mask (default 255.255.255.0)")->type_name("MASK")->check(cli::Ipv4Value());
        command.add_option("--gateway", v->gateway, "its gateway (default 192.168.0.1)")
            ->type_name("GATEWAY")
            ->check(cli::Ipv4Value());
        command.add_option("--mac", v->mac, "its new MAC (default: the current one)")->type_name("MAC")->check(cli::MacValue());
        command.add_flag("--dhcp", v->dhcp, "switch its DHCP on");
        DefineSeconds(command, v->seconds, "how long to search for it (default 10)");
        return [this, v] {
            // The printer is chosen by its current IP, or by its current MAC.
            const auto printerIp = cli::ParseIpv4(v->printer);
            const auto printerMac = printerIp ? std::nullopt : cli::ParseMac(v->printer);
            if (!printerIp && !printerMac) throw UsageError("--printer takes an IPv4 address or a MAC: " + v->printer);
            const auto matches = [&](const protocol::DeviceRecord& r) {
                return printerIp ? r.ip() == *printerIp : r.mac() == *printerMac;
            };
            Session s(usb_, t_);
            if (!Scan(s).Run(v->seconds, matches, {})) return static_cast<int>(cli::kLocalFailure);
            std::vector<protocol::DeviceRecord> found;
            for (const auto& r : s.tool.Table().Filled())
                if (matches(r)) found.push_back(r);
            // Nobody answered: the window's message for "IP Set" without a chosen line.
            if (found.empty()) {
                s.terminal.Show(kSelectDeviceText);
                s.terminal.Note("no printer answered for " + v->printer);
                return static_cast<int>(cli::kUnreachable);
            }
            // Printers fresh from the factory often share one address; the
            // message would reach only one of them, and which one would be luck.
            if (found.size() > 1) {
                std::string list;
                for (const auto& r : found) list += "\n  " + r.ListLine() + " MAC " + cli::MacText(r.mac());
                throw Refusal(std::to_string(found.size()) + " printers answer for " + v->printer + ":" + list +
                              "\nchoose one by its MAC: --printer " + cli::MacText(found.front().mac()) +
                              "; nothing sent");
            }
            const protocol::DeviceRecord& chosen = found.front();
            const protocol::Ipv4 ip = v->ip ? cli::Ipv4Of(*v->ip) : chosen.ip();
            const protocol::Mac mac = v->mac ? cli::MacOf(*v->mac) : chosen.mac();
            if (!s.tool.SendNetworkSettings(ip, cli::Ipv4Of(v->mask), mac, cli::Ipv4Of(v->gateway), v->dhcp, chosen))
                return static_cast<int>(cli::kLocalFailure);
            s.terminal.Show("sent to " + chosen.ListLine());
            return static_cast<int>(cli::kDone);
        };
    }

    cli::Runner DefineConnectTest(CLI::App& command) {
        auto address = std::make_shared<std::string>();
        command.add_option("IP", *address, "the printer's address")->required()->check(cli::Ipv4Value());
        return [this, address] {
            Session s(usb_, t_);
            const auto ip = cli::Ipv4Of(*address);
            const Outcome outcome = s.tool.TestPrinterConnectionOnce(ip);
            if (outcome == Outcome::Done) s.terminal.Show("connected to " + protocol::Ipv4Text(ip));
            return NetworkCode(s, outcome);
        };
    }

    printer_link::UsbDeviceSource& usb_;
    Terminal t_;
    cli::Program program_;
};

}  // namespace

int RunCli(const std::vector<std::string>& args, printer_link::UsbDeviceSource& usb, const Terminal& terminal,
           const std::function<int()>& openWindow) {
    Ferrik ferrik(usb, terminal);
    return ferrik.Run(args, openWindow);
}

}  // namespace ferrik
