#pragma once
// SimProcess: runs printer-sim as a child process for a test.
//
//   simtest::SimProcess sim({"--printer", "mac=00:1a:0b:ff:07:c0,ip=127.0.0.1"}, /*usb=*/true);
//   ASSERT_TRUE(sim.ok()) << sim.error();
//   sim.ExportEnvironment();             // PRINTER_TCP_PORT, PRINTER_PROBE_PORT, ... for the code under test
//   ... drive the program or library under test against 127.0.0.1:sim.TcpPort() or sim.UsbRoot() ...
//   ASSERT_TRUE(sim.WaitForMessage("cut"));
//   EXPECT_EQ(sim.RawBytes(), expected);  // every byte received, TCP and USB, in arrival order
//
// What the helper does:
// - Starts the program named by $PRINTER_SIM (set by add_project_test), or the
//   printer-sim of this build tree, with a private temporary folder TempDir().
//   The program's stdout is read by a helper thread; its stderr goes to
//   TempDir()/stderr.txt and is quoted in error() when the start fails.
// - Unless `args` already name them, passes --tcp-port 0 and --probe-port 0
//   (the program picks free ports and reports them in its ready line),
//   --reply-port with a free UDP port, --raw TempDir()/raw.bin and
//   --raw-dir TempDir()/streams. Outside the private network namespace of
//   scripts/in-netns (PRIVATE_NETNS unset) replies go to 127.0.0.1 instead of
//   the broadcast address, so that nothing can leave the machine.
// - "{tmp}" inside any argument is replaced by TempDir(); `usb = true` adds
//   "--usb {tmp}/usb" (one printer, vendor 0418, product 5011).
// - Waits for the ready line; ok() tells whether it came.
// - The destructor stops the program (SIGTERM, then SIGKILL after 5 s) and
//   removes TempDir() (kept when SIM_KEEP_TMP=1). The child also gets SIGTERM
//   when the thread that started it ends, so create SimProcess on the test's
//   own thread.
//
// Output lines of printer-sim: the ready line, decoded messages (one per
// message, e.g. "set IP 192.168.1.199 mask 255.255.255.0 gateway 192.168.0.1",
// "cut", "text: Welcome ..."), and events that start with "# " (a stream was
// opened or closed, a reply was sent, a record changed). Messages() gives the
// decoded messages only; Lines() everything. Stream names in events are
// "tcp N" (N counts connections from 1) and "usb lpN"; the end of a stream is
// "# <name> closed (<bytes> bytes)" (or "closed by the printer after ...",
// "reset by the printer after ...").
// State changes are events too ("# paper out", "# paper back", "# cover open",
// "# tcp 1 buffer full (131072 bytes held)", "# status request 1 answered 0x12
// on tcp 1"); WaitForLineCount waits for the n-th line holding a text.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;

struct SimOptions {
    SimOptions() {}  // not an aggregate, so that SimProcess({"--stall"}) means the arguments
    std::vector<std::string> args;   // further printer-sim options; "{tmp}" is replaced by TempDir()
    bool usb = false;                // add one fake USB printer under UsbRoot()
    std::uint16_t replyPort = 0;     // UDP port replies go to; 0: a free port chosen here
    bool control = false;            // listen for control lines at ControlPath()
    std::chrono::milliseconds readyTimeout = 10s;
    std::string program;             // empty: $PRINTER_SIM, else this build's printer-sim
};

class SimProcess {
public:
    // (GCC 12 warns about designated initializers that leave members out, so
    // fill a SimOptions by assignment, or use the short form.)
    explicit SimProcess(SimOptions options = {});
    explicit SimProcess(std::vector<std::string> args, bool usb = false);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ok() const { return ready_; }
    const std::string& error() const { return error_; }
    pid_t Pid() const { return pid_; }
    const std::string& TempDir() const { return tmp_; }
    const std::vector<std::string>& Arguments() const { return argv_; }  // as passed to the program

    // From the ready line.
    std::uint16_t TcpPort() const { return tcpPort_; }      // 0 with --refuse
    std::uint16_t ProbePort() const { return probePort_; }  // 0 with --no-udp
    std::uint16_t ReplyPort() const { return replyPort_; }
    const std::string& ReplyAddress() const { return replyAddress_; }
    std::string UsbRoot() const { return tmp_ + "/usb"; }    // root of the `usb` option's tree
    const std::vector<std::string>& UsbNodes() const { return usbNodes_; }  // the USB nodes, in order

    // For the program under test: PRINTER_TCP_PORT, PRINTER_PROBE_PORT,
    // PRINTER_REPLY_PORT, USB_PRINTER_ROOT (with `usb`), and
    // PRINTER_BROADCAST_ADDR=127.0.0.1 outside the private network namespace.
    std::vector<std::pair<std::string, std::string>> Environment() const;
    void ExportEnvironment() const;  // setenv() of Environment() in this process

    // Output so far.
    std::vector<std::string> Lines() const;
    std::vector<std::string> Messages() const;
    std::vector<std::uint8_t> RawBytes() const;           // TempDir()/raw.bin
    std::vector<std::string> StreamFiles() const;         // TempDir()/streams/*, sorted (one per stream)
    static std::vector<std::uint8_t> ReadFile(const std::string& path);

    // Waiting (true when the condition held within the time-out).
    bool WaitFor(const std::function<bool(const std::vector<std::string>& lines)>& condition,
                 std::chrono::milliseconds timeout = 5s) const;
    bool WaitForLine(std::string_view substring, std::chrono::milliseconds timeout = 5s) const;
    bool WaitForMessage(std::string_view exact, std::chrono::milliseconds timeout = 5s) const;
    // Until `count` streams have ended ("# ... closed ..." events).
    bool WaitForStreamsClosed(std::size_t count, std::chrono::milliseconds timeout = 5s) const;
    bool WaitForRawSize(std::size_t bytes, std::chrono::milliseconds timeout = 5s) const;
    // Until `count` lines hold `substring`.
    bool WaitForLineCount(std::string_view substring, std::size_t count, std::chrono::milliseconds timeout = 5s) const;

    // The control channel (with `control`): one line, its reply line; "error ..."
    // with the reason when the simulator cannot be reached.
    std::string Control(const std::string& line) const;
    std::string ControlPath() const { return tmp_ + "/control.sock"; }

    // Peers of the simulator, for tests that feed it directly.
    bool SendTcp(const std::vector<std::uint8_t>& bytes) const;  // one connection to 127.0.0.1
    bool WriteUsb(const std::vector<std::uint8_t>& bytes, std::size_t node = 0) const;  // open, write, close

    // SIGTERM and wait (SIGKILL after 5 s); returns the exit status, or -1
    // when killed by a signal. Further calls return the first result.
    int Stop();

private:
    void ReadOutput(int fd);
    void ParseReady(const std::string& line);

    std::string tmp_;
    std::vector<std::string> argv_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string error_;
    std::uint16_t tcpPort_ = 0, probePort_ = 0, replyPort_ = 0;
    std::string replyAddress_;
    std::vector<std::string> usbNodes_;
    bool usb_ = false;
    int exitStatus_ = 0;
    bool stopped_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool outputEnded_ = false;
    std::thread reader_;
};

// A UDP (or TCP) port that was free a moment ago on 127.0.0.1 / 0.0.0.0.
std::uint16_t FreeUdpPort();
std::uint16_t FreeTcpPort();
// True inside scripts/in-netns.
bool InPrivateNetwork();

// A job's stream as the printer got it, without the status requests
// (DLE EOT 1..4) a program asked before the job's first byte and after its
// last: the print data alone.
std::vector<std::uint8_t> WithoutStatusRequests(const std::vector<std::uint8_t>& stream);

}  // namespace simtest
