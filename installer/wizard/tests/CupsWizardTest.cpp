// The wizard on the Linux platform against a private cupsd that this test
// starts itself (a unix socket below a temporary tree that is also the install
// root): clicked from Welcome to Complete with the network entry, the queue
// exists with its description, accepts jobs, is the default, and a raw job
// reaches the printer's address on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cups/cups.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <sstream>

#include "installer/payload/SystemPaths.h"
#include "installer/unattended/LinuxInstallPlatform.h"
#include "installer/unattended/tests/CupsTestSupport.h"
#include "installer/wizard/WizardApp.h"
#include "installer/wizard/tests/WizardHarness.h"

namespace {

namespace fs = std::filesystem;
using namespace wizard;
using cupstest::Capture;
using cupstest::ReadText;

struct Dest {
    bool found = false;
    bool isDefault = false;
    std::string info;
};

Dest FindDest(const std::string& name) {
    cups_dest_t* dests = nullptr;
    const int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    Dest d;
    for (int i = 0; i < n; ++i) {
        if (name != dests[i].name) continue;
        d.found = true;
        d.isDefault = dests[i].is_default != 0;
        if (const char* info = cupsGetOption("printer-info", dests[i].num_options, dests[i].options)) d.info = info;
    }
    cupsFreeDests(n, dests);
    return d;
}

class CupsWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        wizardtest::App();
        std::random_device rd;
        tree = fs::path("/tmp") / ("lumbra-wizard-cups-" + std::to_string(rd() % 1000000));
        const std::string out = Capture(std::string(PRIVATE_CUPSD_SCRIPT) + " start " + tree.string());
        if (out.find("running") == std::string::npos) GTEST_SKIP() << "the private cupsd did not start: " << out;
        started = true;
        ::setenv("CUPS_SERVER", (tree / "cups.sock").c_str(), 1);
        ::setenv("LUMBRA_ROOT", tree.c_str(), 1);
        ::setenv("USB_PRINTER_ROOT", (tree / "usbroot").c_str(), 1);
        ::setenv("HOME", "/home/installer", 1);
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_DOCUMENTS_DIR");
        cupsSetServer((tree / "cups.sock").c_str());
    }
    void TearDown() override {
        if (started) Capture(std::string(PRIVATE_CUPSD_SCRIPT) + " stop " + tree.string());
        if (!std::getenv("KEEP_CUPS_TREE")) {
            std::error_code ec;
            fs::remove_all(tree, ec);
        }
    }
    fs::path tree;
    bool started = false;
};

TEST_F(CupsWizardTest, NetworkPrinterFromWelcomeToComplete) {
    const payload::SystemPaths paths = payload::SystemPaths::FromEnvironment();
    // The start-up sequence: the package's configuration files in Documents.
    const auto sources = cupstest::PayloadWithStandInMonitor(PAYLOAD_FILES_DIR);
    const payload::InstallPackage package = payload::PackageFromBytes(payload::BuildPackage(sources));
    payload::ExtractConfigFiles(package.Bytes(), paths.documents);
    payload::InstallerTexts texts;
    ASSERT_TRUE(payload::ReadInstallerTexts(paths.documents / "InstallConfig_en.txt", texts));
    const QString documents = QString::fromStdString(paths.documents.string());

    installer::LinuxInstallPlatform platform(installer::InstallLocations::From(paths));
    ui::RecordingMessageSink messages;
    WizardServices services(platform.Seams(), messages);
    services.log = payload::InstallLog(paths.installLog);
    services.package = &package;
    services.programFiles = QString::fromStdString(paths.programFiles.string());
    int portWindows = 0;
    services.onPortWindow = [&](CSelectPortDlg& window) {
        ++portWindows;
        QTimer::singleShot(0, &window, [w = &window] { w->reject(); });
    };
    CInstallDlg dlg(MakeEnvironment(UiLanguage::English, documents, texts), texts, std::move(services));
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("POS Printer Driver Setup"));

    simtest::SimProcess printer(simtest::SimOptions{});
    ASSERT_TRUE(printer.ok()) << printer.error();
    QTest::mouseClick(dlg.nextButton(), Qt::LeftButton);
    QTest::mouseClick(dlg.nextButton(), Qt::LeftButton);
    ASSERT_EQ(dlg.page(), kPrinterSetting);
    EXPECT_EQ(dlg.printerNameField()->text(), QStringLiteral("POS80"));
    dlg.portList()->setCurrentIndex(dlg.portList()->count() - 1);
    ASSERT_EQ(dlg.portList()->currentText(), QStringLiteral("Net Port(TCP/IP)"));
    dlg.ipField()->setText(QStringLiteral("127.0.0.1"));
    dlg.tcpPortField()->setText(QString::number(printer.TcpPort()));
    QTest::mouseClick(dlg.nextButton(), Qt::LeftButton);
    ASSERT_EQ(dlg.page(), kInstalling);
    QElapsedTimer timer;
    timer.start();
    while ((dlg.workerRunning() || dlg.page() == kInstalling) && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
    ASSERT_EQ(dlg.page(), kComplete) << ReadText(paths.installLog)
                                     << ReadText(tree / "var/log/cups/error_log").substr(0, 4000);
    EXPECT_EQ(portWindows, 0);
    EXPECT_EQ(messages.Count(), 0);
    EXPECT_EQ(dlg.cancelButton()->text(), QStringLiteral("Finish"));

    const Dest dest = FindDest("POS80");
    ASSERT_TRUE(dest.found) << Capture("lpstat -p -d");
    EXPECT_TRUE(dest.isDefault);
    EXPECT_EQ(dest.info, "POS80");
    EXPECT_NE(Capture("lpstat -p POS80").find("idle"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(paths.programFiles / "POS Printer Driver V 1.0" / "POS80" / "Inf"));

    const fs::path job = tree / "job.bin";
    std::ofstream(job, std::ios::binary) << std::string("\x1b@wizard\n", 9);
    EXPECT_NE(Capture("lp -d POS80 -o raw " + job.string()).find("request id is POS80-"), std::string::npos);
    EXPECT_EQ(cupstest::ReceivedBytes(printer, 9, 20000), std::string("\x1b@wizard\n", 9));
}

}  // namespace
