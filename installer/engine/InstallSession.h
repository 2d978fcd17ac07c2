#pragma once
// One installation as a front-end drives it. The wizard and `lumbra install`
// both fill in its settings, choose the folder and confirm the port through
// it, prepare and start it, and leave the clean-up to it: the rules live
// here once.
//
// Threads: the front-end calls everything from one thread, except that the
// worker started by Start() runs InstallWorker on a thread of its own and
// reaches the front-end only through the InstallObserver. The worker works on
// a copy of the settings taken by Start(), so the front-end's settings stay
// as its pages left them; Run() is the worker's record, read after it ended.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "installer/engine/Engine.h"

namespace engine {

// The port page's entry and the fields that go with it.
struct PortChoice {
    std::string entry;      // "USB", "COM1", "LPT1", the network entry, or a spooler port name
    bool exact = false;     // the entry is a spooler port's name: used as it is
    ComSettings com;        // for a COM port
    std::string ipAddress;  // for the network entry
    std::string tcpPort;
};

enum class PortCheck { Ok, NoUsbPrinter, NoAddress, NoTcpPort };

class InstallSession {
public:
    InstallSession(Platform platform, InstallObserver& observer) : run_(platform, observer) {}
    ~InstallSession();
    InstallSession(const InstallSession&) = delete;
    InstallSession& operator=(const InstallSession&) = delete;

    InstallRun& Run() { return run_; }
    const InstallRun& Run() const { return run_; }
    InstallSettings& Settings() { return settings_; }
    const InstallSettings& Settings() const { return settings_; }

    // The folder page: makes the folder with its missing parents and takes
    // it as the install folder. False when it cannot be made.
    bool ChooseFolder(const std::string& folder);

    // The port page's confirmation, with the printer name already in the
    // settings. "USB" picks the model row of the connected printer and its
    // port (NoUsbPrinter when none of ours is connected); an entry holding
    // "COM" gets its colon and stores the serial settings; one holding "TCP"
    // is the network port (NoAddress, NoTcpPort for empty fields); any other
    // entry gets its colon unless it already has one or is `exact`.
    PortCheck ConfirmPort(const PortChoice& choice);

    // Install start: takes the printer name, and makes the program folder
    // <install folder>/<NamesFor(name).folder> and its "Inf" folder. False,
    // with the failure recorded, when the name or the folder cannot be used.
    bool Prepare(const std::string& printerName);

    // Runs the install worker on a thread of its own; `finished` is called on
    // that thread after the observer's last call.
    void Start(std::function<void()> finished = {});
    // Waits for the worker to end (returns at once when none runs).
    void Wait();
    bool Running() const { return running_.load(); }
    bool Succeeded() const { return run_.succeeded; }
    Failure FailureReason() const { return run_.failure; }

    // Deletes what the extraction left in the program folder (CleanInstallFolder),
    // once; the destructor does it when no one did.
    int CleanUp();

private:
    InstallSettings settings_;
    InstallRun run_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    bool cleaned_ = false;
    std::vector<std::filesystem::path> madeFolders_;  // made by the last ChooseFolder, outermost first
};

}  // namespace engine
