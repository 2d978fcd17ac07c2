#include "installer/engine/InstallSession.h"

#include <algorithm>

#include "base/TextCodec.h"

namespace engine {
namespace fs = std::filesystem;

InstallSession::~InstallSession() {
    Wait();
    CleanUp();
}

bool InstallSession::ChooseFolder(const std::string& folder) {
    base::Dir dir;
    std::vector<fs::path> made;
    if (folder.empty() || base::OpenFolder(folder, true, dir, made) != 0) return false;
    settings_.installFolder = folder;
    madeFolders_ = std::move(made);
    return true;
}

PortCheck InstallSession::ConfirmPort(const PortChoice& choice) {
    InstallSettings& s = settings_;
    // A choice made earlier on the page (USB, then the network entry) must
    // not outlive a change of port.
    s.portName = choice.entry;
    s.usbChosen = false;
    s.portKind = kPortKindLocal;
    auto withColon = [](std::string name) {
        if (name.empty() || name.back() != ':') name += ':';
        return name;
    };
    if (choice.entry == "USB") {
        return ChooseUsbRow(run_.platform.usb, run_.models, run_.log, s.printerName, s) ? PortCheck::Ok
                                                                                        : PortCheck::NoUsbPrinter;
    }
    if (choice.entry.find("COM") != std::string::npos && !choice.exact) {
        s.portName = withColon(choice.entry);
        WriteComPortSettings(run_.platform.store, s.portName, choice.com);
        return PortCheck::Ok;
    }
    if (choice.entry.find("TCP") != std::string::npos && !choice.exact) {
        if (choice.ipAddress.empty()) return PortCheck::NoAddress;
        if (choice.tcpPort.empty()) return PortCheck::NoTcpPort;
        s.ipAddress = choice.ipAddress;
        s.tcpPort = choice.tcpPort;
        s.portKind = kPortKindNetwork;
        return PortCheck::Ok;
    }
    if (!choice.exact) s.portName = withColon(choice.entry);
    return PortCheck::Ok;
}

bool InstallSession::Prepare(const std::string& printerName) {
    InstallSettings& s = settings_;
    s.printerName = printerName;
    run_.texts.productName = base::Utf8ToUtf16(printerName);
    run_.failure = Failure::None;
    if (printerName.empty() || HasControlCharacters(printerName)) {
        run_.log.Append("**** Printer name refused: %s\r\n", payload::EscapeName(printerName).c_str());
        run_.failure = Failure::BadName;
        return false;
    }
    const std::string folder = NamesFor(printerName).folder;
    s.programFolder = (fs::path(s.installFolder) / folder).string();
    base::Dir base, inf;
    bool madeProgram = false, madeInf = false;
    int error = base::OpenFolder(s.installFolder, true, base);
    if (error == 0) error = base::OpenSubFolder(base, folder, true, run_.programDir, &madeProgram);
    if (error == 0) error = base::OpenSubFolder(run_.programDir, "Inf", true, inf, &madeInf);
    if (error == 0) {
        // The install folder and the folders the folder page made for it
        // (the vendor folder below /opt) go with the last install, when empty.
        const fs::path installFolder = fs::path(s.installFolder).lexically_normal();
        for (const fs::path& made : madeFolders_) {
            base::Dir dir;
            if (made != installFolder && base::OpenFolder(made, false, dir) == 0) RecordFolder(run_, dir, made, true);
        }
        const bool madeInstallFolder =
            std::find(madeFolders_.begin(), madeFolders_.end(), installFolder) != madeFolders_.end();
        RecordFolder(run_, base, installFolder, madeInstallFolder);
        RecordFolder(run_, run_.programDir, s.programFolder, madeProgram);
        RecordFolder(run_, inf, fs::path(s.programFolder) / "Inf", madeInf);
    } else {
        run_.log.Append("**** Cannot use the program folder %s: %s\r\n", payload::EscapeName(s.programFolder).c_str(),
                        base::ErrorText(error).c_str());
        run_.programDir.Reset();
        run_.failure = Failure::FolderUnusable;
        return false;
    }
    return true;
}

void InstallSession::Start(std::function<void()> finished) {
    Wait();
    run_.settings = settings_;
    running_ = true;
    worker_ = std::thread([this, finished = std::move(finished)] {
        InstallWorker(run_);
        running_ = false;
        if (finished) finished();
    });
}

void InstallSession::Wait() {
    if (worker_.joinable()) worker_.join();
}

int InstallSession::CleanUp() {
    if (cleaned_) return 0;
    cleaned_ = true;
    return CleanInstallFolder(run_);
}

}  // namespace engine
