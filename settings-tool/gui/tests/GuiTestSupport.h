#pragma once
// Shared pieces of the window tests: the application object, waiting while
// the window thread keeps serving the sender, hex comparison, a window
// harness with all services replaced by test doubles.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QThread>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli-common/Environment.h"
#include "settings-tool/gui/CadmonDlg.h"
#include "tests/support/HexMatch.h"
#include "settings-tool/gui/RepeatingTimer.h"
#include "ui-common/MessageSink.h"

namespace cadmon::gui::testing {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "cadmon_gui_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals may be gone by the time statics are.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

using Bytes = std::vector<std::uint8_t>;

using testhex::Hex;
using testhex::SameBytes;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Processes window events until `condition` holds or `timeoutMs` passed.
inline bool SpinUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

inline void Spin(int ms) {
    SpinUntil([] { return false; }, ms);
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The automatic-send timer under the test's control.
class FakeTimer : public RepeatingTimer {
public:
    void Start(int periodMs, std::function<void()> onTick) override {
        period_ = periodMs;
        onTick_ = std::move(onTick);
        ++starts_;
    }
    bool IsRunning() const override { return static_cast<bool>(onTick_); }
    int PeriodMs() const override { return period_; }
    void Tick() {
        if (onTick_) onTick_();
    }
    int Starts() const { return starts_; }

private:
    int period_ = -1;
    int starts_ = 0;
    std::function<void()> onTick_;
};

// One main window with every outside dependency replaced: message boxes
// recorded, the parameters file in a temporary folder, the clock and the
// timer under the test's control, modal windows run by `onModal`.
struct WindowHarness {
    explicit WindowHarness(printer_link::UsbDeviceSource& usb) {
        App();
        services.messages = &messages;
        services.usb = &usb;
        services.sender.tcp.port = cli::TcpPortFromEnvironment();
        services.sender.tcp.connectTimeoutMs = 2000;
        services.discovery = cli::DiscoverySettingsFromEnvironment();
        // Never the real reply port, never a broadcast outside the private namespace.
        if (std::getenv("PRINTER_REPLY_PORT") == nullptr) services.discovery.replyPort = 0;
        if (std::getenv("PRIVATE_NETNS") == nullptr) services.discovery.broadcastAddress = "127.0.0.1";
        services.parametersFile = (folder.path() + QStringLiteral("/init_params.txt")).toStdString();
        services.clockSeconds = [this] { return now; };
        services.makeTimer = [this](QObject*) {
            auto timer = std::make_unique<FakeTimer>();
            this->timer = timer.get();
            return timer;
        };
        services.runModal = [this](QDialog& dialog) {
            dialog.show();
            if (onModal) onModal(dialog);
            dialog.close();
        };
        services.localAddress = [] { return std::optional<protocol::Ipv4>(protocol::Ipv4{192, 168, 1, 23}); };
        services.probePauseMs = 0;
    }

    CCadmonDlg& Create() {
        window = std::make_unique<CCadmonDlg>(services);
        return *window;
    }
    CCadmonDlg& Start() {
        Create();
        EXPECT_EQ(window->Start(), CCadmonDlg::StartResult::Ok) << messages.Texts().join(QStringLiteral(" | ")).toStdString();
        window->show();
        return *window;
    }
    std::string ParametersFile() const { return services.parametersFile.string(); }

    QTemporaryDir folder;
    ui::RecordingMessageSink messages;
    CadmonServices services;
    std::int64_t now = 1;
    FakeTimer* timer = nullptr;
    std::function<void(QDialog&)> onModal;
    std::unique_ptr<CCadmonDlg> window;
};

}  // namespace cadmon::gui::testing
