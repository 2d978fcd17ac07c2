// printer-sim: a receipt printer in software, the peer of the demos and tests.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli-common/Program.h"
#include "sim/Condition.h"
#include "sim/SimConfig.h"
#include "sim/Simulator.h"

namespace {

int RunSimulator(const sim::SimConfig& config) {
    // SIGTERM and SIGINT end the loop through a signalfd; a peer that resets
    // its connection must not kill the simulator.
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        std::perror("printer-sim: signalfd");
        return cli::kLocalFailure;
    }

    sim::Simulator simulator(config);
    std::string error;
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "printer-sim: %s\n", error.c_str());
        return cli::kLocalFailure;
    }
    simulator.Emit(simulator.ReadyLine());
    simulator.Run(stopFd);
    ::close(stopFd);
    return cli::kDone;
}

// --tell PATH LINE: one control line to a running simulator; its reply on stdout.
int Tell(const std::string& path, const std::string& line) {
    std::string error;
    const auto reply = sim::TellSimulator(path, line, &error);
    if (!reply) {
        std::fprintf(stderr, "printer-sim: %s\n", error.c_str());
        return cli::kUnreachable;
    }
    std::cout << *reply << std::endl;
    return reply->rfind("ok", 0) == 0 ? cli::kDone : cli::kRefused;
}

}  // namespace

int main(int argc, char** argv) {
    cli::ProgramText text;
    text.name = "printer-sim";
    text.whatis = "a receipt printer in software, for trying out and testing the printer tools";
    text.description =
        "A receipt printer in software: TCP raw port, UDP discovery, fake USB printers (a sysfs and\n"
        "/dev tree whose printer node is a pseudo-terminal, or a FIFO with --usb-fifo). It answers\n"
        "the status requests DLE EOT 1..4; --control takes state changes (paper out, cover open,\n"
        "...) while it runs. Every message received is printed as one line; lines starting \"# \"\n"
        "are events. It runs until SIGTERM or SIGINT.\n";
    text.notes =
        "Example: a network printer and a USB printer, and cadmon cutting paper on the USB one:\n"
        "  printer-sim --tcp-port 9100 --usb /tmp/usb --printer id=1.0,mac=00:1a:0b:ff:07:c0,ip=127.0.0.1\n"
        "  USB_PRINTER_ROOT=/tmp/usb cadmon cut\n";
    cli::Program program(text);
    sim::SimCommandLine commandLine;
    commandLine.Define(program.App());
    program.SetDefault([&] {
        const sim::SimConfig config = commandLine.Config(program.App());
        if (!commandLine.Tell().empty()) return Tell(commandLine.Tell()[0], commandLine.Tell()[1]);
        return RunSimulator(config);
    });
    return program.Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
