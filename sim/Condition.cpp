#include "sim/Condition.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "base/Io.h"

namespace sim {
namespace {

struct Flag {
    const char* name;  // the word of the control line and of the state
    bool Condition::*field;
    const char* onEvent;
    const char* offEvent;
};

constexpr Flag kFlags[] = {
    {"paper-near-end", &Condition::paperNearEnd, "# paper near end", "# paper no longer near end"},
    {"paper-out", &Condition::paperOut, "# paper out", "# paper back"},
    {"cover-open", &Condition::coverOpen, "# cover open", "# cover closed"},
    {"drawer-open", &Condition::drawerOpen, "# drawer open", "# drawer closed"},
    {"offline", &Condition::offline, "# offline", "# online"},
    {"status-silent", &Condition::statusSilent, "# status requests go unanswered", "# status requests answered"},
};

const char* kUsage =
    "error commands: paper-near-end|paper-out|cover-open|drawer-open|offline|status-silent on|off, "
    "paper-out after N, state";

}  // namespace

protocol::PrinterStatus Condition::Status() const {
    protocol::PrinterStatus status;
    status.known = true;
    status.online = !offline;
    status.coverOpen = coverOpen;
    status.paperNearEnd = paperNearEnd;
    status.paperOut = paperOut;
    status.drawerOpen = drawerOpen;
    return status;
}

std::string Condition::Text() const {
    std::string text;
    for (const Flag& flag : kFlags) {
        if (this->*flag.field) text += std::string(text.empty() ? "" : " ") + flag.name;
    }
    if (paperLeft) text += (text.empty() ? "" : " ") + std::string("paper-out-after=") + std::to_string(*paperLeft);
    return text.empty() ? "ready" : text;
}

std::string Condition::Apply(const std::string& line, std::vector<std::string>& events) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.size() == 1 && words[0] == "state") return "ok " + Text();
    if (words.size() == 3 && words[0] == "paper-out" && words[1] == "after") {
        std::uint64_t n = 0;
        const auto& v = words[2];
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (ec != std::errc() || end != v.data() + v.size()) return "error paper-out after needs a byte count";
        if (paperOut) return "error the paper is out (paper-out off first)";
        paperLeft = n;
        events.push_back("# paper runs out after " + std::to_string(n) + " bytes");
        Use(0, events);
        return "ok " + Text();
    }
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) return kUsage;
    for (const Flag& flag : kFlags) {
        if (words[0] != flag.name) continue;
        const bool on = words[1] == "on";
        if (flag.field == &Condition::paperOut) paperLeft.reset();
        if (this->*flag.field != on) {
            this->*flag.field = on;
            events.push_back(on ? flag.onEvent : flag.offEvent);
        }
        return "ok " + Text();
    }
    return kUsage;
}

bool Condition::Set(const std::string& list, std::string* error) {
    std::istringstream in(list);
    for (std::string word; std::getline(in, word, ',');) {
        bool found = false;
        for (const Flag& flag : kFlags) {
            if (word == flag.name) {
                this->*flag.field = true;
                found = true;
            }
        }
        if (!found && !word.empty() && word != "ready") {
            if (error) *error = "unknown state '" + word + "' (paper-near-end, paper-out, cover-open, drawer-open, "
                                "offline, status-silent)";
            return false;
        }
    }
    return true;
}

bool Condition::Use(std::uint64_t bytes, std::vector<std::string>& events) {
    if (!paperLeft) return false;
    *paperLeft -= std::min(*paperLeft, bytes);
    if (*paperLeft > 0) return false;
    paperLeft.reset();
    paperOut = true;
    events.push_back("# paper out");
    return true;
}

std::optional<std::string> TellSimulator(const std::string& path, const std::string& line, std::string* error) {
    auto fail = [&](const std::string& what) -> std::optional<std::string> {
        if (error) *error = what + ": " + std::strerror(errno);
        return std::nullopt;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return fail("cannot reach " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("cannot create a socket");
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const auto r = fail("cannot reach " + path);
        ::close(fd);
        return r;
    }
    const std::string request = line + "\n";
    if (!base::WriteAll(fd, reinterpret_cast<const std::uint8_t*>(request.data()), request.size())) {
        const auto r = fail("cannot send to " + path);
        ::close(fd);
        return r;
    }
    std::string reply;
    char c = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            errno = ETIMEDOUT;
            break;
        }
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        reply += c;
    }
    ::close(fd);
    if (c != '\n') return fail("no reply from " + path);
    return reply;
}

}  // namespace sim
