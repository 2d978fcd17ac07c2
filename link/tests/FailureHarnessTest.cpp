// Every way a delivery can fail, end to end: cadmon and ferrik as a user runs
// them, against printer-sim's failure options (--stall, --close-after,
// --reset-after) or an unusable file or device. Each case must fail clearly
// (its text on the terminal), with a non-zero exit status, within its
// deadline, and without reporting as sent what the printer did not take.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/testing/SimProcess.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Finished {
    int status = -1;
    std::string output;  // stdout, then stderr
    double seconds = 0;
};

// Runs `argv` in `cwd` with extra environment; gives up (status -1) after 60 s.
Finished Start(std::vector<std::string> argv, const std::vector<std::pair<std::string, std::string>>& env,
          const fs::path& cwd) {
    const fs::path out = cwd / ".out", err = cwd / ".err";
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (::chdir(cwd.c_str()) != 0) ::_exit(126);
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    Finished run;
    int raw = 0;
    while (::waitpid(pid, &raw, WNOHANG) == 0) {
        if (Clock::now() - start > std::chrono::seconds(60)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    for (const fs::path& file : {out, err}) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        run.output += text.str();
    }
    return run;
}

enum class Prepare { Nothing, Image4K, Image8M, Fifo, Directory, UnopenableNode, LockedNode };

// A fake USB tree with one printer whose usblp node cannot be opened: a
// directory, or a FIFO nobody may open (run as an unprivileged user when the
// test runs as root). Folders stay open to all, so that such a user reaches the node.
std::string FakeTreeWithNode(const fs::path& root, bool locked) {
    fs::create_directories(root / "sys/bus/usb/devices/1-1");
    fs::create_directories(root / "sys/bus/usb/devices/1-1:1.0");
    fs::create_directories(root / "sys/class/usbmisc/lp0");
    fs::create_directories(root / "dev/usb");
    std::ofstream(root / "sys/bus/usb/devices/1-1/idVendor") << "0418\n";
    std::ofstream(root / "sys/bus/usb/devices/1-1/idProduct") << "5011\n";
    fs::create_directory_symlink("../../../bus/usb/devices/1-1:1.0", root / "sys/class/usbmisc/lp0/device");
    const fs::path node = root / "dev/usb/lp0";
    if (locked)
        ::mkfifo(node.c_str(), 0);
    else
        fs::create_directories(node);
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms(0755));
    fs::permissions(root, fs::perms(0755));
    return root.string();
}

struct Case {
    const char* name;
    std::vector<std::string> sim;   // printer-sim's options
    bool usb;                       // printer-sim has a fake USB printer
    Prepare prepare;                // what the working folder or the USB tree gets first
    std::vector<std::string> run;   // "cadmon ..." or "ferrik ..."; "{file}" is the prepared file
    int status;
    std::vector<std::string> shows;  // texts the terminal must show
    double withinSeconds;
    std::string printerSaw;          // a line printer-sim must show ("" : no stream at all)
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"flash --net to a printer that never reads", {"--stall"}, false, Prepare::Image8M,
         {"ferrik", "flash", "--net", "127.0.0.1", "--yes", "{file}"}, 1,
         {"Print error", "took nothing more within its time-out"}, 12, "# tcp 1 open"},
        {"flash --net to a printer that resets after 3000 bytes", {"--reset-after", "3000"}, false, Prepare::Image4K,
         {"ferrik", "flash", "--net", "127.0.0.1", "--yes", "{file}"}, 1,
         {"Print error", "dropped the connection (Connection reset by peer)"}, 5,
         "# tcp 1 reset by the printer after 3000 bytes"},
        {"set-ip to a printer that closes after 10 bytes", {"--close-after", "10"}, false, Prepare::Nothing,
         {"cadmon", "--net", "127.0.0.1", "set-ip", "192.168.1.199", "255.255.255.0", "192.168.0.1"}, 1,
         {"dropped the connection"}, 5, "incomplete set IP (10 of 23 bytes): 1F 1B 64 00 C0 A8 01 C7 FF FF"},
        {"set-ip to a printer that resets after 10 bytes", {"--reset-after", "10"}, false, Prepare::Nothing,
         {"cadmon", "--net", "127.0.0.1", "set-ip", "192.168.1.199", "255.255.255.0", "192.168.0.1"}, 1,
         {"dropped the connection"}, 5, "# tcp 1 reset by the printer after 10 bytes"},
        {"flash --usb to a printer that never reads", {"--stall"}, true, Prepare::Image8M,
         {"ferrik", "flash", "--usb", "--yes", "{file}"}, 1, {"Print error"}, 8, ""},
        {"a FIFO as the image, over the network", {}, false, Prepare::Fifo,
         {"ferrik", "flash", "--net", "127.0.0.1", "--yes", "{file}"}, 4, {"fifo: a FIFO, not a regular file"}, 2, ""},
        {"a FIFO as the image, over USB", {}, true, Prepare::Fifo, {"ferrik", "flash", "--usb", "--yes", "{file}"}, 4,
         {"fifo: a FIFO, not a regular file"}, 2, ""},
        {"a FIFO as the font", {}, true, Prepare::Fifo, {"ferrik", "font", "--yes", "{file}"}, 4,
         {"fifo: a FIFO, not a regular file"}, 2, ""},
        {"a directory as the image", {}, true, Prepare::Directory, {"ferrik", "flash", "--usb", "--yes", "{file}"}, 4,
         {"folder: a directory, not a regular file"}, 2, ""},
        {"a USB printer that cannot be opened", {}, false, Prepare::UnopenableNode, {"cadmon", "cut"}, 3,
         {"USB OPEN FAIL\n", "cannot open ", "/dev/usb/lp0: Is a directory\n"}, 2, ""},
        {"a USB printer the user may not open", {}, false, Prepare::LockedNode, {"ferrik", "dark", "1"}, 5,
         {"set error no connect", "/dev/usb/lp0: Permission denied (install the udev rule", "lp group"}, 2, ""},
        {"set-network with no printer at that address", {"--printer", "mac=00:1a:0b:ff:07:c0,ip=127.0.0.1"}, false,
         Prepare::Nothing, {"ferrik", "set-network", "--printer", "127.0.0.2", "--seconds", "1"}, 3,
         {"ERROR 请选择设备"}, 5, ""},
        {"set-network with two printers on one address",
         {"--printer", "mac=00:1a:0b:ff:07:c0,ip=127.0.0.1", "--printer", "mac=00:1a:0b:ff:07:c1,ip=127.0.0.1"}, false,
         Prepare::Nothing, {"ferrik", "set-network", "--printer", "127.0.0.1", "--seconds", "3"}, 4,
         {"2 printers answer for 127.0.0.1", "--printer 00:1a:0b:ff:07:c0; nothing sent"}, 6, ""},
        {"scan with no printer answering", {"--no-udp"}, false, Prepare::Nothing,
         {"cadmon", "scan", "--seconds", "1"}, 3, {"cadmon: no printer answered"}, 5, ""},
        {"scan --json with no printer answering", {"--no-udp"}, false, Prepare::Nothing,
         {"ferrik", "scan", "--seconds", "1", "--json"}, 3, {"[\n]\n", "ferrik: no printer answered"}, 5, ""},
    };
    return cases;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FailureHarness : public ::testing::TestWithParam<Case> {};

TEST_P(FailureHarness, FailsClearlyInTimeAndReportsNothingThePrinterDidNotTake) {
    const Case& c = GetParam();
    simtest::SimProcess sim(c.sim, c.usb);
    ASSERT_TRUE(sim.ok()) << sim.error();
    fs::path tree;  // a hand-made USB tree, removed at the end
    struct Remove {
        fs::path& path;
        ~Remove() {
            std::error_code ec;
            if (!path.empty()) fs::remove_all(path, ec);
        }
    } removeTree{tree};
    const fs::path dir = sim.TempDir() + "/work";
    fs::create_directories(dir);
    auto env = sim.Environment();
    std::string file;
    switch (c.prepare) {
        case Prepare::Image4K:
        case Prepare::Image8M: {
            file = "image.bin";
            std::ofstream out(dir / file, std::ios::binary);
            out << std::string(c.prepare == Prepare::Image4K ? 4096 : 8 << 20, '\x31');
            break;
        }
        case Prepare::Fifo:
            file = "fifo";
            ASSERT_EQ(::mkfifo((dir / file).c_str(), 0600), 0);
            break;
        case Prepare::Directory:
            file = "folder";
            fs::create_directories(dir / file);
            break;
        case Prepare::UnopenableNode:
        case Prepare::LockedNode: {
            char folder[] = "/tmp/usbtree.XXXXXX";
            ASSERT_NE(::mkdtemp(folder), nullptr);
            tree = folder;
            env.emplace_back("USB_PRINTER_ROOT", FakeTreeWithNode(tree, c.prepare == Prepare::LockedNode));
            break;
        }
        case Prepare::Nothing:
            break;
    }
    std::vector<std::string> argv = c.run;
    argv[0] = argv[0] == std::string("cadmon") ? CADMON_PATH : FERRIK_PATH;
    for (auto& a : argv)
        if (a == "{file}") a = file;
    // Root opens every node; the locked one is tried as an unprivileged user.
    if (c.prepare == Prepare::LockedNode && ::geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});

    const Finished run = Start(argv, env, dir);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_LT(run.seconds, c.withinSeconds) << run.output;
    for (const std::string& text : c.shows) EXPECT_NE(run.output.find(text), std::string::npos) << run.output;
    // Nothing is reported as sent.
    EXPECT_EQ(run.output.find("\nsent "), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("FINISH"), std::string::npos) << run.output;
    std::string saw;
    for (const std::string& line : sim.Lines()) saw += "  " + line + "\n";
    if (c.printerSaw.empty()) {
        EXPECT_TRUE(sim.StreamFiles().empty()) << "the printer heard something:\n" << saw;
        EXPECT_FALSE(sim.WaitForLine("address setting", std::chrono::milliseconds(0)));
    } else {
        EXPECT_TRUE(sim.WaitForLine(c.printerSaw)) << saw;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FailureHarness, ::testing::ValuesIn(Cases()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

}  // namespace
