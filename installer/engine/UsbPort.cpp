// USB printer port discovery: from a connected printer's vid&pid to the print
// port that the USB printing support made for it.
#include "installer/engine/Engine.h"
#include "base/Text.h"
#include "base/TextCodec.h"

namespace engine {
int UsbDeviceScan(UsbDeviceRegistry& usb, const payload::ModelTable& models,
                  std::vector<std::string>& paths) {
    int count = 0;
    for (const std::string& path : usb.PresentPrinterInterfaces()) {
        if (path.size() < 8) continue;
        // Characters 8 to 24 hold "vid_xxxx&pid_xxxx".
        const std::string_view vidPid = std::string_view(path).substr(8, 17);
        for (std::size_t row = 1; row < models.rows.size(); ++row) {
            const std::string rowVidPid = base::Utf16ToUtf8(models.rows[row].vidPid);
            if (!rowVidPid.empty() && base::EqualsIgnoreCase(vidPid, rowVidPid)) {
                paths.push_back(path);
                ++count;
                break;
            }
        }
    }
    return count;
}

bool FindUsbPrintPort(UsbDeviceRegistry& usb, const payload::ModelTable& models,
                      const payload::InstallLog& log, std::string& portName,
                      std::string_view vidPidIn, std::string_view hardwareIdIn) {
    const std::string vidPid = base::Lower(vidPidIn.substr(0, 255));
    const std::string hardwareId(hardwareIdIn.substr(0, 255));
    std::vector<std::string> paths;
    if (UsbDeviceScan(usb, models, paths) == 0) return false;

    for (const std::string& path : paths) {
        const std::size_t at = path.find(vidPid);
        if (vidPid.empty() || at == std::string::npos) continue;
        const std::size_t start = at + vidPid.size() + 1;  // past the "#"
        if (start > path.size()) continue;
        const std::size_t end = path.find('#', start);
        if (end == std::string::npos) continue;
        const std::string instance = path.substr(start, end - start);
        log.Append("**** vid&pid=%s subkey=%s\r\n", vidPid.c_str(), instance.c_str());

        std::optional<std::string> prefix;
        if (!usb.ReadParentIdPrefix(vidPid, instance, prefix)) return false;
        if (!prefix) continue;
        const auto instances = usb.PrintInstances(hardwareId);
        if (!instances) continue;
        for (const std::string& sub : *instances) {
            if (sub.compare(0, prefix->size(), *prefix) != 0) continue;
            // A candidate whose device has no "Control" record is not active.
            // Unlike a bare "found", a candidate never stands in for the port:
            // without an active instance the search goes on and finally fails,
            // so that the port check lets the user choose.
            const std::string candidate =
                sub.size() > prefix->size() + 1 ? sub.substr(prefix->size() + 1, 31) : std::string();
            const auto subKeys = usb.PrintInstanceSubKeys(hardwareId, sub);
            if (!subKeys) continue;
            for (const std::string& key : *subKeys) {
                if (base::EqualsIgnoreCase(key, "Control") && !candidate.empty()) {
                    portName = candidate;
                    return true;
                }
            }
        }
    }
    return false;
}

bool ChooseUsbRow(UsbDeviceRegistry& usb, const payload::ModelTable& models,
                  const payload::InstallLog& log, const std::string& printerNameField,
                  InstallSettings& settings) {
    settings.usbChosen = true;
    std::vector<std::string> paths;
    if (UsbDeviceScan(usb, models, paths) == 0) return false;
    settings.printerName = printerNameField;
    for (std::size_t row = 0; row < models.rows.size(); ++row) {
        const payload::ModelRow& r = models.rows[row];
        if (base::Utf16ToUtf8(r.printerName) != printerNameField) continue;
        if (FindUsbPrintPort(usb, models, log, settings.portName, base::Utf16ToUtf8(r.vidPid),
                             base::Utf16ToUtf8(r.hardwareId))) {
            settings.selectedRow = static_cast<int>(row);
            break;
        }
    }
    return true;
}

}  // namespace engine
