#include "printer-app/Devices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli-common/Values.h"
#include "link/Device.h"
#include "link/StatusQuery.h"
#include "link/UsbDeviceSource.h"
#include "printer-app/Condition.h"
#include "printer-app/DeviceWatch.h"

namespace printer_app {
namespace {

using Clock = std::chrono::steady_clock;
using printer_link::Outcome;

// Our schemes and the device layer's behind them.
struct SchemePair {
    std::string_view pappl;
    std::string_view link;
};
constexpr SchemePair kSchemes[] = {{"receipt-usb", "usb"}, {"receipt-socket", "socket"}, {"receipt-serial", "serial"}};

// Job data goes out in pieces of this size, so that the watch sees it flow.
constexpr std::size_t kPieceSize = 4096;
// A printer that says it cannot print is asked again this often.
constexpr int kAskAgainMs = 1000;
// The second connection that asks a stuck network printer how it is.
constexpr int kAsideConnectMs = 1000;
// A read waits this long for the printer's first byte.
constexpr int kReadWaitMs = 10000;

constexpr const char* kInfoPrefix = "Receipt printer";

std::mutex g_setupMutex;
std::shared_ptr<const DeviceSetup> g_setup = std::make_shared<DeviceSetup>();

std::shared_ptr<const DeviceSetup> Setup() {
    std::lock_guard<std::mutex> lock(g_setupMutex);
    return g_setup;
}

// One open device of ours.
struct Handle {
    std::string linkUri;
    std::shared_ptr<const DeviceSetup> setup;  // keeps the USB source's product IDs
    std::unique_ptr<printer_link::Device> device;
    std::unique_ptr<DeviceWatch> watch;  // after `device`: it ends before the device goes
    // The stream is between commands: nothing written since the device was
    // opened or the last job ended.
    bool betweenCommands = true;
    bool askFirst = true;   // the next write is the job's first: ask before it
    bool answers = false;   // the printer answered a status request in its stream
    bool failed = false;    // a write failed: the job's stream is broken
};

// Which pappl_device_t are ours: PAPPL's own schemes keep their data there too.
std::mutex g_handlesMutex;
std::map<pappl_device_t*, Handle*> g_handles;

Handle* HandleOf(pappl_device_t* device) {
    std::lock_guard<std::mutex> lock(g_handlesMutex);
    const auto it = g_handles.find(device);
    return it == g_handles.end() ? nullptr : it->second;
}

bool SameSchemeName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string ErrnoText(int error) { return error == 0 ? std::string() : std::string(" (") + std::strerror(error) + ")"; }

// What papplDeviceError says when the device cannot be opened.
std::string OpenFailureText(std::string_view papplUri, const printer_link::Result& failure) {
    const std::string where = failure.node.empty() ? std::string(papplUri) : failure.node;
    switch (failure.outcome) {
        case Outcome::NotFound:
            return "no USB receipt printer is connected that " + std::string(papplUri) + " names";
        case Outcome::NoPermission:
            return "no permission to open the printer " + where + ErrnoText(failure.error);
        case Outcome::Busy:
            return "the printer " + where + " is busy: another program holds it";
        case Outcome::BadUri:
            return "the device URI " + std::string(papplUri) + " names no printer";
        case Outcome::Unsupported:
            return "the printer " + where + " has no transport on this system";
        default:
            return "the printer " + where + " is not reachable" + ErrnoText(failure.error);
    }
}

std::string WriteFailureText(const Handle& handle, const printer_link::Result& result) {
    switch (result.outcome) {
        case Outcome::Stopped:
            return "the job was cancelled while the printer " + handle.device->Node() + " was waited for";
        case Outcome::Reset:
            return "the printer " + handle.device->Node() + " dropped the connection" + ErrnoText(result.error);
        default:
            return "cannot write to the printer " + handle.device->Node() + ErrnoText(result.error);
    }
}

// Waits until the dot `until`, asking the job about a cancel now and then.
// False when the job was cancelled.
bool WaitUntil(DeviceWatch& watch, Clock::time_point until) {
    while (Clock::now() < until) {
        if (watch.Cancelled()) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(100)));
    }
    return !watch.Cancelled();
}

// Asks the printer in the job's stream (between commands only); while it
// says it cannot print, shows why and asks again about once a second, with
// no time limit. A printer that does not answer is not waited for. False
// when the job was cancelled meanwhile.
bool AwaitReady(Handle& handle) {
    if (!handle.device->CanRead()) return true;
    DeviceWatch& watch = *handle.watch;
    for (bool first = true;; first = false) {
        const Clock::time_point asked = Clock::now();
        const protocol::PrinterStatus status =
            printer_link::QueryStatus(*handle.device, printer_link::kStatusWaitMs, &watch.Stop());
        if (watch.Stop().IsSet() || watch.Cancelled()) return false;
        if (!status.known) {
            // It answered before: what it said then no longer holds.
            if (!first) watch.Resume(false);
            return true;
        }
        handle.answers = true;
        const pappl_preason_t reasons = ReasonsOf(status);
        watch.Show(reasons);
        if (!Stopped(reasons)) return true;
        if (!WaitUntil(watch, asked + std::chrono::milliseconds(kAskAgainMs))) return false;
    }
}

// The job's end: PAPPL's buffer goes out, the printer takes what it holds,
// and a printer that answers is waited for until it has printed.
void EndJob(pappl_device_t* device, Handle& handle) {
    papplDeviceFlush(device);
    DeviceWatch& watch = *handle.watch;
    if (!handle.failed && !handle.betweenCommands && !watch.Cancelled()) {
        watch.Busy();
        const printer_link::Result flushed = handle.device->Flush(-1, &watch.Stop());
        watch.Idle();
        if (!flushed.Ok()) {
            handle.failed = true;
            if (!watch.Stop().IsSet()) papplDeviceError(device, "%s", WriteFailureText(handle, flushed).c_str());
        } else if (handle.answers) {
            AwaitReady(handle);
        }
    }
    watch.Resume(true);
    watch.SetHooks({});
    handle.betweenCommands = true;
    handle.askFirst = true;
}

// --- the scheme callbacks

bool OpenCallback(pappl_device_t* device, const char* uri, const char* /*name*/) {
    const std::optional<std::string> linkUri = LinkUriOf(uri ? uri : "");
    if (!linkUri) {
        papplDeviceError(device, "the device URI %s names no receipt printer", uri ? uri : "");
        return false;
    }
    auto handle = std::make_unique<Handle>();
    handle->linkUri = *linkUri;
    handle->setup = Setup();
    printer_link::OpenOptions options;
    options.usb = handle->setup->usb;
    options.productIds = &handle->setup->productIds;
    printer_link::Opened opened = printer_link::OpenDevice(handle->linkUri, options);
    if (!opened.device) {
        papplDeviceError(device, "%s", OpenFailureText(uri, opened.failure).c_str());
        return false;
    }
    handle->device = std::move(opened.device);
    printer_link::Device* opendevice = handle->device.get();
    DeviceWatch::Ask ask;
    if (handle->linkUri.rfind("socket:", 0) == 0) {
        // A network printer answers a second connection that only asks
        // while the job's is stuck.
        ask = [uri = handle->linkUri](const printer_link::StopEvent& stop) {
            printer_link::OpenOptions aside;
            aside.connectTimeoutMs = kAsideConnectMs;
            aside.stop = &stop;
            return printer_link::QueryStatusAt(uri, aside, printer_link::kStatusWaitMs).status;
        };
    } else {
        // A USB or parallel port's status line leaves the stream alone.
        ask = [opendevice](const printer_link::StopEvent&) {
            return printer_link::FromPortStatus(opendevice->Status());
        };
    }
    DeviceWatch::Times times;
    times.askAside = handle->setup->askAside;
    times.notTakingData = handle->setup->notTakingData;
    handle->watch = std::make_unique<DeviceWatch>(std::move(ask), times);
    {
        std::lock_guard<std::mutex> lock(g_handlesMutex);
        g_handles[device] = handle.get();
    }
    papplDeviceSetData(device, handle.release());
    return true;
}

void CloseCallback(pappl_device_t* device) {
    Handle* handle = HandleOf(device);
    if (!handle) return;
    // A job whose hooks were never cleared ends here.
    if (handle->watch->HasHooks()) EndJob(device, *handle);
    handle->watch->Shutdown();
    // The delivery is complete once the printer has taken the bytes (TCP:
    // it closes its side after the half-close).
    const printer_link::Result closed = handle->device->Close(printer_link::kFinishTimeoutMs);
    if (!closed.Ok() && !handle->failed)
        papplDeviceError(device, "the printer %s did not confirm the end of the data%s", closed.node.c_str(),
                         ErrnoText(closed.error).c_str());
    {
        std::lock_guard<std::mutex> lock(g_handlesMutex);
        g_handles.erase(device);
    }
    papplDeviceSetData(device, nullptr);
    delete handle;
}

ssize_t ReadCallback(pappl_device_t* device, void* buffer, size_t bytes) {
    Handle* handle = HandleOf(device);
    if (!handle || handle->failed) return -1;
    const printer_link::Result read =
        handle->device->Read(static_cast<std::uint8_t*>(buffer), bytes, kReadWaitMs, &handle->watch->Stop());
    if (read.Ok()) return static_cast<ssize_t>(read.received);
    if (read.outcome == Outcome::TimedOut) return 0;
    return -1;
}

ssize_t WriteCallback(pappl_device_t* device, const void* buffer, size_t bytes) {
    Handle* handle = HandleOf(device);
    if (!handle) return -1;
    if (handle->failed) return -1;
    DeviceWatch& watch = *handle->watch;
    // Before the job's first byte the printer is between commands: it is
    // asked in its stream, and a printer that cannot print is waited for.
    if (handle->askFirst && handle->betweenCommands && watch.HasHooks()) {
        handle->askFirst = false;
        if (!AwaitReady(*handle)) {
            handle->failed = true;
            papplDeviceError(device, "the job was cancelled while the printer %s was waited for",
                             handle->device->Node().c_str());
            return -1;
        }
    }
    handle->askFirst = false;
    if (bytes == 0) return 0;
    handle->betweenCommands = false;
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    watch.Busy();
    printer_link::Result written;
    for (std::size_t at = 0; at < bytes && written.Ok(); at += kPieceSize) {
        const std::size_t piece = std::min(kPieceSize, bytes - at);
        written = handle->device->Write(data + at, piece, printer_link::Pacing{piece, -1, &watch.Stop()});
        if (written.Ok()) watch.Progress();
    }
    watch.Idle();
    if (!written.Ok()) {
        handle->failed = true;
        papplDeviceError(device, "%s", WriteFailureText(*handle, written).c_str());
        return -1;
    }
    return static_cast<ssize_t>(bytes);
}

pappl_preason_t StatusCallback(pappl_device_t* device) {
    Handle* handle = HandleOf(device);
    if (!handle || handle->failed) return PAPPL_PREASON_NONE;
    protocol::PrinterStatus status;
    if (handle->betweenCommands) {
        // Between commands the printer is asked in its stream.
        status = printer_link::QueryStatus(*handle->device);
        if (status.known) handle->answers = true;
    } else if (handle->linkUri.rfind("socket:", 0) == 0) {
        // Inside a job: never in its stream.
        printer_link::OpenOptions aside;
        aside.connectTimeoutMs = kAsideConnectMs;
        status = printer_link::QueryStatusAt(handle->linkUri, aside).status;
    } else {
        status = printer_link::FromPortStatus(handle->device->Status());
    }
    return ReasonsOf(status);
}

char* IdCallback(pappl_device_t* /*device*/, char* buffer, size_t bufsize) {
    if (!buffer || bufsize == 0) return nullptr;
    std::snprintf(buffer, bufsize, "%s", kReceiptPrinterDeviceId);
    return buffer;
}

// The device info shown for a printer: no quotes or control characters.
std::string Info(std::string text) {
    for (char& c : text)
        if (c == '"' || static_cast<unsigned char>(c) < 0x20) c = '\'';
    return text;
}

bool ListUsbCallback(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t /*err_cb*/, void* /*err_data*/) {
    const std::shared_ptr<const DeviceSetup> setup = Setup();
    if (!setup->usb) return false;
    bool stop = false;
    printer_link::FirstUsbCandidate(*setup->usb, setup->productIds, {}, [&](const printer_link::UsbDeviceInfo& usb) {
        const std::string uri = "receipt-" + printer_link::UsbDeviceUri(usb);
        std::string info = std::string(kInfoPrefix) + " USB " + usb.vendor + ":" + usb.product;
        if (!usb.serial.empty()) info += " " + usb.serial;
        stop = cb(Info(info).c_str(), uri.c_str(), kReceiptPrinterDeviceId, data);
        return stop;  // every candidate is listed, unless the caller has enough
    });
    return stop;
}

bool ListNetworkCallback(pappl_device_cb_t cb, void* data, pappl_deverror_cb_t err_cb, void* err_data) {
    const std::shared_ptr<const DeviceSetup> setup = Setup();
    std::string error;
    const auto found = protocol::SearchPrinters(setup->discovery, setup->listen, &error);
    if (!found) {
        if (err_cb) err_cb(("no network search for receipt printers: " + error).c_str(), err_data);
        return false;
    }
    for (const protocol::DeviceRecord& record : *found) {
        if (record.ip() == protocol::Ipv4{}) continue;  // a printer without an address yet
        const std::string host = protocol::Ipv4Text(record.ip());
        std::string uri = "receipt-socket://" + host;
        if (setup->tcpPort != protocol::kRawTcpPort) uri += ":" + std::to_string(setup->tcpPort);
        const std::string info = std::string(kInfoPrefix) + " " + host + " (" + cli::MacText(record.mac()) + ")";
        if (cb(Info(info).c_str(), uri.c_str(), kReceiptPrinterDeviceId, data)) return true;
    }
    return false;
}

}  // namespace

void RegisterDeviceSchemes(const DeviceSetup& setup) {
    {
        std::lock_guard<std::mutex> lock(g_setupMutex);
        g_setup = std::make_shared<const DeviceSetup>(setup);
    }
    static std::once_flag registered;
    std::call_once(registered, [] {
        papplDeviceAddScheme("receipt-usb", PAPPL_DEVTYPE_CUSTOM_LOCAL, ListUsbCallback, OpenCallback, CloseCallback,
                             ReadCallback, WriteCallback, StatusCallback, IdCallback);
        papplDeviceAddScheme("receipt-socket", PAPPL_DEVTYPE_CUSTOM_NETWORK, ListNetworkCallback, OpenCallback,
                             CloseCallback, ReadCallback, WriteCallback, StatusCallback, IdCallback);
        papplDeviceAddScheme("receipt-serial", PAPPL_DEVTYPE_CUSTOM_LOCAL, nullptr, OpenCallback, CloseCallback,
                             ReadCallback, WriteCallback, StatusCallback, IdCallback);
    });
}

std::optional<std::string> LinkUriOf(std::string_view papplUri) {
    const auto colon = papplUri.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view scheme = papplUri.substr(0, colon);
    for (const SchemePair& pair : kSchemes) {
        if (SameSchemeName(scheme, pair.pappl)) return std::string(pair.link) + std::string(papplUri.substr(colon));
    }
    return std::nullopt;
}

void SetJobHooks(pappl_device_t* device, JobHooks hooks) {
    Handle* handle = HandleOf(device);
    if (!handle) return;
    if (hooks.condition || hooks.cancelled) {
        handle->watch->SetHooks(std::move(hooks));
        handle->askFirst = true;
        return;
    }
    EndJob(device, *handle);
}

}  // namespace printer_app
