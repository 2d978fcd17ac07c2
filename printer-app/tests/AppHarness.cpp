#include "printer-app/tests/AppHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef PRINTER_APP_PATH
#define PRINTER_APP_PATH "receipt-printer-app"
#endif

extern char** environ;

namespace apptest {
namespace fs = std::filesystem;

namespace {

bool Answers(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::string Quote(const std::string& s) {
    std::string quoted = "'";
    for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

Bytes MakePwgRaster(const std::vector<drivertest::TestPage>& pages) {
    return drivertest::WriteTestRaster(pages, CUPS_RASTER_WRITE_PWG,
                                       [&](cups_page_header2_t& h, const drivertest::TestPage& page) {
                                           std::snprintf(h.MediaClass, sizeof h.MediaClass, "PwgRaster");
                                           std::snprintf(h.cupsPageSizeName, sizeof h.cupsPageSizeName,
                                                         "om_80x210mm_80x210mm");
                                           h.cupsColorSpace = page.bits == 8 ? CUPS_CSPACE_SW : CUPS_CSPACE_K;
                                           h.PageSize[0] = page.width * 72 / 203;
                                           h.PageSize[1] = page.height * 72 / 203;
                                           h.cupsInteger[0] = static_cast<unsigned>(pages.size());  // total pages
                                       });
}

AppServer::AppServer(const std::vector<std::string>& serverOptions) {
    static std::atomic<unsigned> count{0};
    char name[] = "/tmp/receipt-app-test-XXXXXX";
    if (!::mkdtemp(name)) {
        error_ = "mkdtemp failed";
        return;
    }
    dir_ = name;
    // A name of its own: the client socket as root is /run/NAME.sock.
    link_ = dir_ + "/rpa-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
    std::error_code ec;
    fs::create_symlink(PRINTER_APP_PATH, link_, ec);
    if (ec) {
        error_ = "symlink: " + ec.message();
        return;
    }
    const std::uint16_t port = simtest::FreeTcpPort();
    std::vector<std::string> args = {link_, "server", "-o", "server-port=" + std::to_string(port),
                                     "-o", "listen-hostname=localhost", "-o", "spool-directory=" + dir_ + "/spool",
                                     "-o", "log-file=" + dir_ + "/log", "-o", "log-level=debug"};
    for (const std::string& o : serverOptions) {
        args.push_back("-o");
        args.push_back(o);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = dir_ + "/server-output";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = ::posix_spawn(&pid_, link_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        error_ = "cannot start " + link_;
        return;
    }
    // Ready once the port and the client socket answer (generous: a loaded machine).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "the server ended: " + Log();
            return;
        }
        if (Answers(port) && fs::exists("/run/" + fs::path(link_).filename().string() + ".sock")) {
            port_ = port;
            return;
        }
        ::poll(nullptr, 0, 20);
    }
    error_ = "the server did not answer on port " + std::to_string(port) + ": " + Log();
}

AppServer::~AppServer() {
    if (pid_ > 0) Shutdown();
    std::error_code ec;
    // The client socket a server run as root leaves in /run.
    if (!link_.empty()) fs::remove("/run/" + fs::path(link_).filename().string() + ".sock", ec);
    if (!dir_.empty() && !std::getenv("KEEP_APP_TMP")) fs::remove_all(dir_, ec);
}

int AppServer::Shutdown() {
    if (pid_ <= 0) return -1;
    int status = 0;
    Run("shutdown", &status);
    // An idle server notices the shutdown only when its main loop next wakes
    // (up to half a minute); SIGTERM wakes it at once and ends it the same way.
    int wstatus = 0;
    pid_t done = 0;
    auto waitUntil = [&](std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while ((done = ::waitpid(pid_, &wstatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            ::poll(nullptr, 0, 20);
    };
    waitUntil(std::chrono::seconds(2));
    if (done == 0) {
        ::kill(pid_, SIGTERM);
        waitUntil(std::chrono::seconds(30));
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &wstatus, 0);
    }
    pid_ = -1;
    return done > 0 && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

std::string AppServer::Log() const {
    int status = 0;
    return drivertest::Shell("tail -n 60 " + dir_ + "/log " + dir_ + "/server-output", &status);
}

std::string AppServer::PrinterUri(const std::string& printer) const {
    return "ipp://localhost:" + std::to_string(port_) + "/ipp/print/" + printer;
}

std::string AppServer::Run(const std::string& args, int* status) const {
    return drivertest::Shell(Quote(link_) + " " + args, status);
}

bool AppServer::AddPrinter(const std::string& name, const std::string& driver, const std::string& uri,
                           std::string* said) const {
    int status = -1;
    *said = Run("add -d " + name + " -m " + driver + " -v " + Quote(uri), &status);
    return status == 0;
}

std::string IppPrint(const std::string& printerUri, const std::string& file, const std::string& format,
                     const std::vector<std::string>& attributes, int* status, int timeoutSeconds) {
    char name[] = "/tmp/receipt-app-ipp-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return "mkstemp failed";
    ::close(fd);
    std::ofstream test(name);
    test << "{\n  NAME \"Print-Job\"\n  OPERATION Print-Job\n  GROUP operation-attributes-tag\n"
            "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
            "  ATTR uri printer-uri $uri\n  ATTR name requesting-user-name tester\n"
            "  ATTR mimeMediaType document-format "
         << format << "\n  GROUP job-attributes-tag\n";
    for (const std::string& a : attributes) {
        const auto first = a.find(' '), second = a.find(' ', first + 1);
        test << "  ATTR " << a.substr(first + 1, second - first - 1) << " " << a.substr(0, first) << " "
             << a.substr(second + 1) << "\n";
    }
    test << "  FILE $filename\n  STATUS successful-ok\n}\n";
    test.close();
    const std::string out =
        drivertest::Shell("ipptool -tv " + (timeoutSeconds ? "-T " + std::to_string(timeoutSeconds) + " " : "") + "-f " + Quote(file) + " " + Quote(printerUri) + " " + name, status);
    ::unlink(name);
    return out;
}

std::map<std::string, std::string> IppAttributes(const std::string& printerUri, int jobId) {
    char name[] = "/tmp/receipt-app-ipp-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return {};
    ::close(fd);
    std::ofstream test(name);
    test << "{\n  OPERATION " << (jobId ? "Get-Job-Attributes" : "Get-Printer-Attributes")
         << "\n  GROUP operation-attributes-tag\n"
            "  ATTR charset attributes-charset utf-8\n  ATTR naturalLanguage attributes-natural-language en\n"
            "  ATTR uri printer-uri $uri\n";
    if (jobId) test << "  ATTR integer job-id " << jobId << "\n";
    test << "  ATTR name requesting-user-name tester\n  STATUS successful-ok\n}\n";
    test.close();
    int status = -1;
    const std::string out = drivertest::Shell("ipptool -tv " + Quote(printerUri) + " " + name, &status);
    ::unlink(name);
    std::map<std::string, std::string> attributes;
    if (status != 0) return attributes;
    // "        printer-state (enum) = idle"
    std::istringstream in(out);
    for (std::string text; std::getline(in, text);) {
        const std::size_t name = text.find_first_not_of(" \t");
        const std::size_t type = text.find(" (", name == std::string::npos ? 0 : name);
        const std::size_t value = text.find(") = ", type == std::string::npos ? 0 : type);
        if (name == 0 || name == std::string::npos || type == std::string::npos || value == std::string::npos) continue;
        attributes.emplace(text.substr(name, type - name), text.substr(value + 4));
    }
    return attributes;
}

std::string IppTool(const std::string& uri, const std::string& test, int* status) {
    return drivertest::Shell("ipptool -tv " + Quote(uri) + " /usr/share/cups/ipptool/" + test, status);
}

std::optional<Bytes> DataStream(const simtest::SimProcess& printer, std::size_t n) {
    // Streams that only asked the printer's status (the server asks idle
    // printers that clients watch) are not counted.
    // "# tcp 3 closed (95738 bytes)": the stream and its size.
    auto closed = [](const std::string& line, unsigned* stream, unsigned long* bytes) {
        return std::sscanf(line.c_str(), "# tcp %u closed (%lu bytes)", stream, bytes) == 2;
    };
    auto fileOf = [&](unsigned stream) {
        char file[64];
        std::snprintf(file, sizeof file, "/streams/%04u-tcp.bin", stream);
        return printer.TempDir() + file;
    };
    std::vector<unsigned> streams;
    auto collect = [&](const std::vector<std::string>& lines) {
        streams.clear();
        unsigned stream = 0;
        unsigned long bytes = 0;
        for (const std::string& line : lines)
            if (closed(line, &stream, &bytes) && bytes > 0 &&
                !simtest::WithoutStatusRequests(simtest::SimProcess::ReadFile(fileOf(stream))).empty())
                streams.push_back(stream);
        return streams.size() >= n;
    };
    if (!printer.WaitFor(collect, std::chrono::seconds(60))) return std::nullopt;
    return simtest::SimProcess::ReadFile(fileOf(streams[n - 1]));
}

}  // namespace apptest
