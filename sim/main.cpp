// printer-sim: a receipt printer in software, the peer of the demos and tests.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/SimConfig.h"
#include "sim/Simulator.h"

int main(int argc, char** argv) {
    std::string error;
    bool help = false;
    auto config = sim::ParseCommandLine(argc, argv, &error, &help);
    if (!config) {
        if (help) {
            std::fputs(sim::UsageText(), stdout);
            return 0;
        }
        std::fprintf(stderr, "printer-sim: %s\n%s", error.c_str(), sim::UsageText());
        return 2;
    }

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
        return 1;
    }

    sim::Simulator simulator(*config);
    if (!simulator.Start(&error)) {
        std::fprintf(stderr, "printer-sim: %s\n", error.c_str());
        return 1;
    }
    simulator.Emit(simulator.ReadyLine());
    simulator.Run(stopFd);
    ::close(stopFd);
    return 0;
}
