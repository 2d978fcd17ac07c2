#pragma once
// A complete installation against the fakes: a temporary tree, a payload
// package of the shipped entry names, a recording front-end, and the log read
// back line by line.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "installer/engine/Engine.h"
#include "base/TextCodec.h"
#include "platform/fake/services/FakeServiceManager.h"
#include "platform/fake/shell/FakeShellFolders.h"
#include "platform/fake/spooler/FakePrintSpooler.h"
#include "platform/fake/store/MemoryStore.h"
#include "platform/fake/usbreg/FakeUsbRegistry.h"

namespace enginetest {
namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline const std::vector<std::string>& ShippedEntryNames() {
    static const std::vector<std::string> names = {
        "DRVHELP.HLP", "drvrend.dll", "drvrend.dll.x64", "drvui.dll", "drvui.dll.x64",
        "InstallConfig_cn - Tavoro.txt", "InstallConfig_cn.txt", "InstallConfig_en.txt",
        "InstallConfig_tn.txt", "LNGENU.DLL", "LNGENU.DLL.x64", "LNGZHS.DLL", "LNGZHS.DLL.x64",
        "LNGZHT.DLL", "LNGZHT.DLL.x64", "Pixmod.dll", "Pixmod.dll.x64", "PrinterName - Tavoro.txt",
        "PrinterName.txt", "RcptPortMon.dll", "RcptPortMon.dll.x64", "RcptPortMonUI.dll",
        "RcptPortMonUI.dll.x64", "RcptSpoolSvc.exe", "Uninstaller.exe"};
    return names;
}

// Records what the engine tells its front-end and answers port questions from a script.
class RecordingObserver : public engine::InstallObserver {
public:
    std::vector<int> progress;
    std::vector<std::string> statusLines;
    std::vector<std::vector<engine::SpoolerPort>> questions;  // ports offered per question
    std::vector<std::optional<std::string>> answers;        // consumed in order; none left: Cancel
    std::string outcome;                                    // "succeeded" / "failed"

    void SetProgress(int percent) override { progress.push_back(percent); }
    void SetStatusLine(const std::u16string& text) override {
        statusLines.push_back(base::Utf16ToUtf8(text));
    }
    std::optional<std::string> ChoosePort(const std::vector<engine::SpoolerPort>& ports) override {
        questions.push_back(ports);
        if (questions.size() > answers.size()) return std::nullopt;
        return answers[questions.size() - 1];
    }
    void InstallSucceeded() override { outcome += "succeeded"; }
    void InstallFailed() override { outcome += "failed"; }
};

inline payload::ModelRow Row(const char16_t* name, const char16_t* model, const char16_t* vidPid,
                             const char16_t* hardwareId = u"UnknownPrinter") {
    payload::ModelRow r;
    r.printerName = name;
    r.model = model;
    r.gpdFile = u"ESC.GPD";
    r.vidPid = vidPid;
    r.resolution = 203;
    r.hardwareId = hardwareId;
    r.paperWidth = 800;
    r.paperHeight = 2100;
    return r;
}

class EngineHarness : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        root = fs::temp_directory_path() / ("engine-test-" + std::to_string(rd()));
        fs::create_directories(root);
        spooler.driverDirectory = root / "driver";
        spooler.systemDirectory = root / "system";
        fs::create_directories(spooler.driverDirectory);
        shell.startMenu = root / "menu";
        fs::create_directories(*shell.startMenu);

        std::vector<payload::PackageSource> sources;
        for (const std::string& name : ShippedEntryNames()) {
            sources.push_back({name, std::vector<std::uint8_t>(name.begin(), name.end())});
        }
        package = payload::PackageFromBytes(payload::BuildPackage(sources));

        run = std::make_unique<engine::InstallRun>(
            engine::Platform{spooler, store, services, shell, usb}, observer);
        run->log = payload::InstallLog(root / "InstallPrinter.txt");
        run->package = &package;
        run->texts.monitorName = u"POS USB Printer Monitor";
        run->texts.languageModule = u"LNGENU.DLL";
        run->models.rows[1] = Row(u"POS80", u"POS80", u"vid_0418&pid_5011");
        run->models.listItems = {u"POS80"};
        auto& s = run->settings;
        s.printerName = "POS80";
        s.installFolder = (root / "opt" / "USB Printer").string();
        s.programFolder = (root / "opt" / "USB Printer" / "POS80").string();
        s.selectedRow = 1;
        fs::create_directories(s.programFolder);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // The log split at its line ends ("\r\n" as the engine writes them, or
    // "\r\r\n" as a text-mode writer stores them).
    std::vector<std::string> LogLines() const {
        std::ifstream in(root / "InstallPrinter.txt", std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }
    fs::path Folder() const { return run->settings.programFolder; }

    fs::path root;
    platform_fake::FakePrintSpooler spooler;
    platform_fake::MemoryStore store;
    platform_fake::FakeServiceManager services;
    platform_fake::FakeShellFolders shell;
    platform_fake::FakeUsbRegistry usb;
    RecordingObserver observer;
    payload::InstallPackage package;
    std::unique_ptr<engine::InstallRun> run;
};

}  // namespace enginetest
