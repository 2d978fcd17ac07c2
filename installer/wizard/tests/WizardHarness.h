#pragma once
// The install wizard against the fake platform: a scratch tree (Documents,
// program folder, driver and system folders, start menu), a payload package
// of the shipped entry names, a model table file, recorded message boxes, and
// helpers that click through the pages and wait for the worker.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "installer/payload/Package.h"
#include "base/TextCodec.h"
#include "installer/wizard/InstallDlg.h"
#include "installer/wizard/SelectPortDlg.h"
#include "installer/wizard/tests/GuiTestSupport.h"
#include "platform/fake/services/FakeServiceManager.h"
#include "platform/fake/shell/FakeShellFolders.h"
#include "platform/fake/spooler/FakePrintSpooler.h"
#include "platform/fake/store/MemoryStore.h"
#include "platform/fake/usbreg/FakeUsbRegistry.h"
#include "ui-common/MessageSink.h"

namespace wizardtest {

namespace fs = std::filesystem;

inline const char16_t* kModelFile =
    u"//打印机名称,是否带切刀,打印机型号,GPD文件,vid&pid,分辨率,硬件ID,默认纸张宽度,默认纸张高度\r\n"
    u"POS80, 0, POS80, ESC.GPD, vid_0418&pid_5011, 203, UnknownPrinter, 800, 2100\r\n"
    u"POS58, 0, POS58, ESC.GPD, vid_0418&pid_5012, 203, UnknownPrinter58, 580, 2100\r\n";

inline void WriteUtf16(const QString& path, std::u16string_view text) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out << base::EncodeUtf16Le(text, true);
}

class WizardRig : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(tmp.isValid());
        root = tmp.path().toStdString();
        docs = QDir(tmp.path()).filePath(QStringLiteral("Documents"));
        programFiles = QDir(tmp.path()).filePath(QStringLiteral("opt"));
        QDir().mkpath(docs);
        QDir().mkpath(programFiles);
        spooler.driverDirectory = root / "driver";
        spooler.systemDirectory = root / "system";
        fs::create_directories(spooler.driverDirectory);
        fs::create_directories(spooler.systemDirectory);
        shell.startMenu = root / "menu";
        fs::create_directories(*shell.startMenu);
        std::vector<payload::PackageSource> sources;
        for (const char* name : {"DRVHELP.HLP", "drvrend.dll", "drvrend.dll.x64", "drvui.dll", "drvui.dll.x64",
                                 "LNGENU.DLL", "LNGENU.DLL.x64", "LNGZHS.DLL", "LNGZHS.DLL.x64", "LNGZHT.DLL",
                                 "LNGZHT.DLL.x64", "Pixmod.dll", "Pixmod.dll.x64", "RcptPortMon.dll",
                                 "RcptPortMon.dll.x64", "RcptPortMonUI.dll", "RcptPortMonUI.dll.x64",
                                 "RcptSpoolSvc.exe", "Uninstaller.exe"}) {
            const std::string text(name);
            sources.push_back({text, std::vector<std::uint8_t>(text.begin(), text.end())});
        }
        package = payload::PackageFromBytes(payload::BuildPackage(sources));
        WriteUtf16(QDir(docs).filePath(QStringLiteral("PrinterName.txt")), kModelFile);
        texts = payload::InstallerTexts::Defaults();
        texts.monitorName = u"POS USB Printer Monitor";
        texts.languageModule = u"LNGENU.DLL";
    }

    void TearDown() override {
        dlg.reset();
    }

    wizard::CInstallDlg* Make(wizard::UiLanguage language = wizard::UiLanguage::English) {
        env.language = language;
        env.documents = docs;
        env.programFolderName = QString::fromStdU16String(texts.programFolderName);
        env.title = QString::fromStdU16String(texts.title);
        engine::UsbDeviceRegistry& usbSeam = usbOverride ? *usbOverride : usb;
        wizard::WizardServices services{engine::Platform{spooler, store, services_, shell, usbSeam}, messages};
        services.log = payload::InstallLog(root / "InstallPrinter.txt");
        services.package = &package;
        services.programFiles = programFiles;
        services.pickFolder = [this](QWidget*, const QString& title) {
            pickerTitles << title;
            return pickedFolder;
        };
        services.onPortWindow = [this](wizard::CSelectPortDlg& window) {
            ++portWindows;
            if (onPortWindow) onPortWindow(window);
        };
        dlg = std::make_unique<wizard::CInstallDlg>(env, texts, std::move(services));
        dlg->show();
        return dlg.get();
    }

    void Click(QPushButton* button) {
        ASSERT_TRUE(button->isVisible()) << button->text().toStdString();
        ASSERT_TRUE(button->isEnabled()) << button->text().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void Next() { Click(dlg->nextButton()); }
    void Back() { Click(dlg->backButton()); }

    // Welcome -> folder -> printer settings.
    void ToPrinterSetting() {
        Next();
        ASSERT_EQ(dlg->page(), wizard::kChooseFolder);
        Next();
        ASSERT_EQ(dlg->page(), wizard::kPrinterSetting);
    }

    void ChoosePort(const QString& text) {
        const int index = dlg->portList()->findText(text);
        ASSERT_GE(index, 0) << text.toStdString();
        dlg->portList()->setCurrentIndex(index);
    }

    // Runs the event loop until the worker has ended and its last posted
    // call has run.
    bool WaitForWorker(int timeoutMs = 20000) {
        QElapsedTimer timer;
        timer.start();
        while ((dlg->workerRunning() || dlg->page() == wizard::kInstalling) && timer.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        QCoreApplication::processEvents();
        return !dlg->workerRunning() && dlg->page() != wizard::kInstalling;
    }

    QStringList Boxes() const { return messages.Texts(); }
    QString LastBoxTitle() const { return messages.Boxes().isEmpty() ? QString() : messages.Boxes().back().title; }

    fs::path InstallFolder() const { return fs::path(programFiles.toStdString()) / "USB Printer" / "POS80"; }

    QTemporaryDir tmp;
    fs::path root;
    QString docs;
    QString programFiles;
    platform_fake::FakePrintSpooler spooler;
    platform_fake::MemoryStore store;
    platform_fake::FakeServiceManager services_;
    platform_fake::FakeShellFolders shell;
    platform_fake::FakeUsbRegistry usb;
    engine::UsbDeviceRegistry* usbOverride = nullptr;  // e.g. the sysfs registry over a fake tree
    ui::RecordingMessageSink messages;
    payload::InstallPackage package;
    payload::InstallerTexts texts;
    wizard::WizardEnvironment env;
    QStringList pickerTitles;
    QString pickedFolder;
    int portWindows = 0;
    std::function<void(wizard::CSelectPortDlg&)> onPortWindow;
    std::unique_ptr<wizard::CInstallDlg> dlg;
};

}  // namespace wizardtest
