#include "printer-app/Drivers.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "printer-app/JobSettings.h"
#include "printer-app/Printing.h"
#include "protocol/HeadWidth.h"

namespace printer_app {
namespace {

constexpr DriverInfo kDrivers[] = {
    {"receipt_58mm", "Receipt printer, 58 mm roll", 58, protocol::HeadDotsForPaper(58, kDpi)},
    {"receipt_72mm", "Receipt printer, 72 mm roll", 72, protocol::HeadDotsForPaper(72, kDpi)},
    {"receipt_80mm", "Receipt printer, 80 mm roll", 80, protocol::HeadDotsForPaper(80, kDpi)},
    {"receipt_110mm", "Receipt printer, 110 mm roll", 110, protocol::HeadDotsForPaper(110, kDpi)},
};
constexpr const char* kDefaultDriver = "receipt_80mm";

// Lengths of the sheets a receipt job may ask for besides the roll's own
// range; 210 mm (the default) is the raster driver's form.
constexpr int kLengthsMm[] = {100, 150, 210, 297};
constexpr int kDefaultLengthMm = 210;
constexpr int kRollMinMm = 25, kRollMaxMm = 3276;

// The driver data keep pointers to media names: they live as long as the program.
const char* Keep(const std::string& name) {
    static std::vector<std::unique_ptr<std::string>> names;
    for (const auto& n : names)
        if (*n == name) return n->c_str();
    names.push_back(std::make_unique<std::string>(name));
    return names.back()->c_str();
}

std::string SheetName(int widthMm, int lengthMm) {
    const std::string size = std::to_string(widthMm) + "x" + std::to_string(lengthMm) + "mm";
    return "om_" + size + "_" + size;
}

void SetMedia(pappl_media_col_t& col, const std::string& name, int widthMm, int lengthMm, int sideMargin) {
    col = {};
    std::snprintf(col.size_name, sizeof col.size_name, "%s", name.c_str());
    std::snprintf(col.source, sizeof col.source, "main-roll");
    std::snprintf(col.type, sizeof col.type, "continuous");
    col.size_width = widthMm * 100;
    col.size_length = lengthMm * 100;
    col.left_margin = col.right_margin = sideMargin;
    col.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
}

// The roll widths a device ID may name: a run of digits in its model or
// description that is one of them ("MDL:POS80" -> 80).
std::optional<int> RollWidthIn(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] < '0' || text[i] > '9') {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        const std::string_view digits = text.substr(i, j - i);
        for (const DriverInfo& d : kDrivers)
            if (digits == std::to_string(d.paperMm)) return d.paperMm;
        i = j;
    }
    return std::nullopt;
}

// The value of `key` (or `abbreviation`) in an IEEE 1284 device ID.
std::string IdField(std::string_view id, std::string_view key, std::string_view abbreviation) {
    std::size_t at = 0;
    while (at < id.size()) {
        std::size_t end = id.find(';', at);
        if (end == std::string_view::npos) end = id.size();
        const std::string_view pair = id.substr(at, end - at);
        const std::size_t colon = pair.find(':');
        if (colon != std::string_view::npos) {
            std::string_view name = pair.substr(0, colon);
            while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
            if (name == key || name == abbreviation) return std::string(pair.substr(colon + 1));
        }
        at = end + 1;
    }
    return {};
}

}  // namespace

pappl_pr_driver_t* DriverTable() {
    static pappl_pr_driver_t table[std::size(kDrivers)];
    for (std::size_t i = 0; i < std::size(kDrivers); ++i) {
        table[i].name = kDrivers[i].name;
        table[i].description = kDrivers[i].description;
        table[i].device_id = nullptr;
        table[i].extension = nullptr;
    }
    return table;
}

int DriverCount() { return static_cast<int>(std::size(kDrivers)); }

std::optional<DriverInfo> DriverNamed(std::string_view name) {
    for (const DriverInfo& d : kDrivers)
        if (name == d.name) return d;
    return std::nullopt;
}

std::string DriverForDeviceId(std::string_view deviceId) {
    for (const char* field : {"MODEL", "DESCRIPTION"}) {
        const std::string value = IdField(deviceId, field, field[0] == 'M' ? "MDL" : "DES");
        if (const auto mm = RollWidthIn(value))
            for (const DriverInfo& d : kDrivers)
                if (d.paperMm == *mm) return d.name;
    }
    return kDefaultDriver;
}

const char* AutoAddCallback(const char*, const char*, const char* deviceId, void*) {
    const std::string name = DriverForDeviceId(deviceId ? deviceId : "");
    for (const DriverInfo& d : kDrivers)
        if (name == d.name) return d.name;
    return kDefaultDriver;
}

bool DriverCallback(pappl_system_t*, const char* driverName, const char*, const char*, pappl_pr_driver_data_t* data,
                    ipp_t** attrs, void*) {
    const auto driver = DriverNamed(driverName ? driverName : "");
    if (!driver) return false;

    data->rstartjob_cb = StartJob;
    data->rstartpage_cb = StartPage;
    data->rwriteline_cb = WriteLine;
    data->rendpage_cb = EndPage;
    data->rendjob_cb = EndJob;
    data->printfile_cb = PrintRawFile;
    data->status_cb = UpdateStatus;
    data->identify_cb = Identify;
    data->testpage_cb = TestPage;

    data->format = kRawFormat;
    std::snprintf(data->make_and_model, sizeof data->make_and_model, "%s", driver->description);
    data->ppm = 20;
    data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
    data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->quality_default = IPP_QUALITY_NORMAL;
    data->scaling_default = PAPPL_SCALING_AUTO;
    data->orient_default = IPP_ORIENT_NONE;
    // 1-bit black prints as it is; gray is turned into dots by the encoder
    // (error diffusion or threshold), as the raster driver does.
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;
    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = kDpi;
    data->x_default = data->y_default = kDpi;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;

    // The head is centred on the roll: what it does not reach is margin.
    const int printedHundredths = driver->headDots * 2540 / kDpi;
    data->left_right = (driver->paperMm * 100 - printedHundredths) / 2;
    data->bottom_top = 0;

    const int w = driver->paperMm;
    data->num_media = 0;
    data->media[data->num_media++] = Keep("roll_max_" + std::to_string(w) + "x" + std::to_string(kRollMaxMm) + "mm");
    data->media[data->num_media++] = Keep("roll_min_" + std::to_string(w) + "x" + std::to_string(kRollMinMm) + "mm");
    for (int length : kLengthsMm) data->media[data->num_media++] = Keep(SheetName(w, length));
    data->num_source = 1;
    data->source[0] = "main-roll";
    data->num_type = 1;
    data->type[0] = "continuous";
    data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS;
    SetMedia(data->media_ready[0], SheetName(w, kDefaultLengthMm), w, kDefaultLengthMm, data->left_right);
    data->media_default = data->media_ready[0];

    if (*attrs == nullptr) *attrs = ippNew();
    AddVendorAttributes(*data, *attrs);
    return true;
}

}  // namespace printer_app
