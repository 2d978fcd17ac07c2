#pragma once
// How the simulated printer is: paper, cover, drawer, on or off line, and
// whether it answers status requests. One condition is shared by the TCP
// printer and every fake USB printer of a simulator; the control channel
// (--control, --tell) changes it while the simulator runs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/PrinterStatus.h"

namespace sim {

struct Condition {
    bool paperNearEnd = false;
    bool paperOut = false;
    bool coverOpen = false;
    bool drawerOpen = false;
    bool offline = false;
    bool statusSilent = false;          // status requests are taken and never answered
    std::optional<std::uint64_t> paperLeft;  // "paper-out after N": print data until the roll runs out

    // Paper out, the cover open and offline stop printing.
    bool CanPrint() const { return !paperOut && !coverOpen && !offline; }
    // What the status requests answer.
    protocol::PrinterStatus Status() const;
    // "paper-out cover-open", "paper-out-after=100", or "ready" when none applies.
    std::string Text() const;

    // One control line ("paper-out on", "paper-out after 100", "state", ...):
    // the reply ("ok " + Text(), or "error ..."), and an event line ("# paper out")
    // in `events` for every change.
    std::string Apply(const std::string& line, std::vector<std::string>& events);
    // The start state: a comma-separated list of the words of Text().
    bool Set(const std::string& list, std::string* error);
    // `bytes` of print data went through: true when the roll ran out with them.
    bool Use(std::uint64_t bytes, std::vector<std::string>& events);
};

// The control channel's client: sends one line to the simulator listening at
// `path` and gives its reply line; nullopt with `error` set when that fails.
std::optional<std::string> TellSimulator(const std::string& path, const std::string& line, std::string* error);

}  // namespace sim
