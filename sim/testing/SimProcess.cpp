#include "sim/testing/SimProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "link/Device.h"
#include "protocol/PrinterStatus.h"
#include "sim/Condition.h"

#ifndef PRINTER_SIM_BUILD_PATH
#define PRINTER_SIM_BUILD_PATH "printer-sim"
#endif

namespace simtest {
namespace fs = std::filesystem;

namespace {

std::uint16_t FreePort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof a;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

bool HasOption(const std::vector<std::string>& args, std::string_view option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

std::string Replace(std::string text, std::string_view from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

bool IsEvent(const std::string& line) { return line.rfind("# ", 0) == 0; }
bool IsReady(const std::string& line) { return line.rfind("printer-sim ready", 0) == 0; }

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

std::uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }
std::uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }

bool InPrivateNetwork() {
    const char* flag = std::getenv("PRIVATE_NETNS");
    return flag != nullptr && std::string_view(flag) == "1";
}

SimProcess::SimProcess(std::vector<std::string> args, bool usb)
    : SimProcess([&] {
          SimOptions options;
          options.args = std::move(args);
          options.usb = usb;
          return options;
      }()) {}

SimProcess::SimProcess(SimOptions options) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/printer-sim-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot create a temporary folder: " + std::string(std::strerror(errno));
        return;
    }
    tmp_ = pattern;
    fs::create_directories(tmp_ + "/streams");

    std::string program = options.program;
    if (program.empty()) {
        const char* env = std::getenv("PRINTER_SIM");
        program = env && *env ? env : PRINTER_SIM_BUILD_PATH;
    }
    usb_ = options.usb;
    std::vector<std::string> args;
    for (const auto& arg : options.args) args.push_back(Replace(arg, "{tmp}", tmp_));
    auto add = [&](std::initializer_list<std::string> items) { args.insert(args.end(), items); };
    if (!HasOption(args, "--tcp-port") && !HasOption(args, "--refuse")) add({"--tcp-port", "0"});
    if (!HasOption(args, "--probe-port")) add({"--probe-port", "0"});
    if (!HasOption(args, "--reply-port")) {
        replyPort_ = options.replyPort ? options.replyPort : FreeUdpPort();
        add({"--reply-port", std::to_string(replyPort_)});
    }
    if (!HasOption(args, "--reply-addr") && !InPrivateNetwork()) add({"--reply-addr", "127.0.0.1"});
    if (!HasOption(args, "--raw")) add({"--raw", tmp_ + "/raw.bin"});
    if (!HasOption(args, "--raw-dir")) add({"--raw-dir", tmp_ + "/streams"});
    if (options.usb) add({"--usb", UsbRoot()});
    if (options.control) add({"--control", ControlPath()});

    argv_.push_back(program);
    argv_.insert(argv_.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = "pipe: " + std::string(std::strerror(errno));
        return;
    }
    const std::string errPath = tmp_ + "/stderr.txt";
    const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Child: only async-signal-safe calls until exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        if (errFd >= 0) ::dup2(errFd, STDERR_FILENO);
        // Signals blocked by the test's threads must not stay blocked in the program.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (errFd >= 0) ::close(errFd);
    if (pid_ < 0) {
        ::close(out[0]);
        error_ = "fork: " + std::string(std::strerror(errno));
        return;
    }
    reader_ = std::thread([this, fd = out[0]] { ReadOutput(fd); });

    std::unique_lock lock(mutex_);
    const bool seen = changed_.wait_for(lock, options.readyTimeout, [&] {
        return outputEnded_ || std::any_of(lines_.begin(), lines_.end(), IsReady);
    });
    const auto ready = std::find_if(lines_.begin(), lines_.end(), IsReady);
    if (ready != lines_.end()) {
        ParseReady(*ready);
        ready_ = true;
        return;
    }
    lock.unlock();
    error_ = seen ? "printer-sim ended before it was ready" : "printer-sim did not get ready in time";
    const int status = Stop();
    error_ += " (exit status " + std::to_string(status) + ", program " + program + "): " + ReadText(errPath);
}

SimProcess::~SimProcess() {
    Stop();
    if (!tmp_.empty()) {
        const char* keep = std::getenv("SIM_KEEP_TMP");
        if (!(keep && std::string_view(keep) == "1")) {
            std::error_code ec;
            fs::remove_all(tmp_, ec);
        }
    }
}

void SimProcess::ReadOutput(int fd) {
    std::string partial;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> complete;
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
            complete.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        if (!complete.empty()) {
            std::lock_guard lock(mutex_);
            lines_.insert(lines_.end(), complete.begin(), complete.end());
            changed_.notify_all();
        }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    if (!partial.empty()) lines_.push_back(partial);
    outputEnded_ = true;
    changed_.notify_all();
}

void SimProcess::ParseReady(const std::string& line) {
    std::istringstream in(line);
    std::string token;
    while (in >> token) {
        const auto eq = token.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = token.substr(0, eq), value = token.substr(eq + 1);
        auto port = [&] { return static_cast<std::uint16_t>(std::strtoul(value.c_str(), nullptr, 10)); };
        if (key == "tcp") tcpPort_ = port();
        else if (key == "probe") probePort_ = port();
        else if (key == "reply") {
            const auto colon = value.rfind(':');
            replyAddress_ = value.substr(0, colon);
            replyPort_ = static_cast<std::uint16_t>(std::strtoul(value.c_str() + colon + 1, nullptr, 10));
        } else if (key == "usb") {
            std::istringstream nodes(value);
            for (std::string node; std::getline(nodes, node, ',');) usbNodes_.push_back(node);
        }
    }
}

int SimProcess::Stop() {
    if (stopped_ || pid_ <= 0) {
        if (reader_.joinable()) reader_.join();
        return exitStatus_;
    }
    stopped_ = true;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        done = ::waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) reader_.join();
    exitStatus_ = done == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exitStatus_;
}

std::vector<std::pair<std::string, std::string>> SimProcess::Environment() const {
    std::vector<std::pair<std::string, std::string>> env = {
        {"PRINTER_TCP_PORT", std::to_string(tcpPort_)},
        {"PRINTER_PROBE_PORT", std::to_string(probePort_)},
        {"PRINTER_REPLY_PORT", std::to_string(replyPort_)},
    };
    if (usb_) env.emplace_back("USB_PRINTER_ROOT", UsbRoot());
    if (!InPrivateNetwork()) env.emplace_back("PRINTER_BROADCAST_ADDR", "127.0.0.1");
    return env;
}

void SimProcess::ExportEnvironment() const {
    for (const auto& [name, value] : Environment()) ::setenv(name.c_str(), value.c_str(), 1);
}

std::vector<std::string> SimProcess::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> SimProcess::Messages() const {
    std::vector<std::string> out;
    for (const auto& line : Lines()) {
        if (!IsEvent(line) && !IsReady(line)) out.push_back(line);
    }
    return out;
}

std::vector<std::uint8_t> SimProcess::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> SimProcess::RawBytes() const { return ReadFile(tmp_ + "/raw.bin"); }

std::vector<std::string> SimProcess::StreamFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(tmp_ + "/streams", ec)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

bool SimProcess::WaitFor(const std::function<bool(const std::vector<std::string>&)>& condition,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(lines_); });
}

bool SimProcess::WaitForLine(std::string_view substring, std::chrono::milliseconds timeout) const {
    return WaitFor(
        [&](const std::vector<std::string>& lines) {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.find(substring) != std::string::npos; });
        },
        timeout);
}

bool SimProcess::WaitForMessage(std::string_view exact, std::chrono::milliseconds timeout) const {
    return WaitFor(
        [&](const std::vector<std::string>& lines) {
            return std::find(lines.begin(), lines.end(), exact) != lines.end();
        },
        timeout);
}

bool SimProcess::WaitForStreamsClosed(std::size_t count, std::chrono::milliseconds timeout) const {
    return WaitFor(
        [&](const std::vector<std::string>& lines) {
            const auto closed = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                return IsEvent(l) && (l.rfind("# tcp ", 0) == 0 || l.rfind("# usb ", 0) == 0) &&
                       (l.find(" closed") != std::string::npos || l.find(" reset by the printer") != std::string::npos);
            });
            return static_cast<std::size_t>(closed) >= count;
        },
        timeout);
}

bool SimProcess::WaitForLineCount(std::string_view substring, std::size_t count,
                                  std::chrono::milliseconds timeout) const {
    return WaitFor(
        [&](const std::vector<std::string>& lines) {
            return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
                       return l.find(substring) != std::string::npos;
                   })) >= count;
        },
        timeout);
}

std::string SimProcess::Control(const std::string& line) const {
    std::string error;
    const auto reply = sim::TellSimulator(ControlPath(), line, &error);
    return reply ? *reply : "error " + error;
}

bool SimProcess::WaitForRawSize(std::size_t bytes, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (RawBytes().size() >= bytes) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

// The peers write through the device layer: a message counts as sent once
// printer-sim has taken it (for TCP: closed the connection after it).
bool SimProcess::SendTcp(const std::vector<std::uint8_t>& bytes) const {
    return printer_link::Deliver("socket://127.0.0.1:" + std::to_string(tcpPort_), bytes.data(), bytes.size(),
                                 printer_link::OpenOptions{}, printer_link::Pacing{4096, 5000, nullptr})
        .Ok();
}

bool SimProcess::WriteUsb(const std::vector<std::uint8_t>& bytes, std::size_t node) const {
    if (node >= usbNodes_.size()) return false;
    return printer_link::Deliver("file:" + usbNodes_[node], bytes.data(), bytes.size(), printer_link::OpenOptions{},
                                 printer_link::Pacing{4096, 5000, nullptr})
        .Ok();
}

std::vector<std::uint8_t> WithoutStatusRequests(const std::vector<std::uint8_t>& stream) {
    const auto& q = protocol::kStatusQuery;
    const auto queryAt = [&](std::size_t at) {
        return at + q.size() <= stream.size() &&
               std::equal(q.begin(), q.end(), stream.begin() + static_cast<std::ptrdiff_t>(at));
    };
    std::size_t from = 0, to = stream.size();
    while (queryAt(from)) from += q.size();
    while (to >= from + q.size() && queryAt(to - q.size())) to -= q.size();
    return {stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(to)};
}

}  // namespace simtest
