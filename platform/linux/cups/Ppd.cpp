#include "platform/linux/cups/Ppd.h"

#include <cstdio>
#include <set>
#include <sstream>

namespace linuxplat {
namespace {

// Quoted PPD strings may not hold '"'; keep them printable ASCII or UTF-8.
std::string PpdText(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '"' || c == '\n' || c == '\r') ? '\'' : c;
    return out;
}

std::string Points(double thousandthsMm) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", thousandthsMm / 1000.0 / 25.4 * 72.0);
    return buf;
}

}  // namespace

std::string PpdFileName(const std::string& driverName) {
    std::string out;
    for (unsigned char c : driverName) out += (std::isalnum(c) || c == '-' || c == '_' || c == '.') ? static_cast<char>(c) : '_';
    return out + ".ppd";
}

std::string BuildPpd(const std::string& driverName, const engine::PcdData& data,
                     const std::filesystem::path& filter) {
    const std::string nick = PpdText(driverName);
    const int dpi = data.resolution > 0 ? data.resolution : 203;
    struct Size {
        std::string keyword, text, w, h;
    };
    std::vector<Size> sizes;
    std::set<std::string> seen;
    for (const engine::PcdForm& form : data.forms) {
        if (form.width <= 0 || form.height <= 0) continue;
        Size s{"", "", Points(form.width), Points(form.height)};
        // Keywords name the size, so two forms of one size (the custom form
        // is often one of the model's) become one entry.
        s.keyword = "X" + std::to_string(form.width / 1000) + "MMY" + std::to_string(form.height / 1000) + "MM";
        if (!seen.insert(s.keyword).second) continue;
        s.text = PpdText(form.name) + (form.name == "Custom"
                                           ? " (" + std::to_string(form.width / 1000) + " x " +
                                                 std::to_string(form.height / 1000) + "mm)"
                                           : "");
        sizes.push_back(s);
    }
    if (sizes.empty()) sizes.push_back({"X80MMY210MM", "80 x 210mm", Points(80000), Points(210000)});

    std::ostringstream p;
    p << "*PPD-Adobe: \"4.3\"\n"
      << "*FormatVersion: \"4.3\"\n"
      << "*FileVersion: \"1.2.1\"\n"
      << "*LanguageVersion: English\n"
      << "*LanguageEncoding: ISOLatin1\n"
      << "*PCFileName: \"" << PpdFileName(driverName) << "\"\n"
      << "*Manufacturer: \"Receipt Printer\"\n"
      << "*Product: \"(" << nick << ")\"\n"
      << "*ModelName: \"" << nick << "\"\n"
      << "*ShortNickName: \"" << nick.substr(0, 31) << "\"\n"
      << "*NickName: \"" << nick << "\"\n"
      << "*PSVersion: \"(3010.000) 0\"\n"
      << "*LanguageLevel: \"3\"\n"
      << "*ColorDevice: False\n"
      << "*DefaultColorSpace: Gray\n"
      << "*FileSystem: False\n"
      << "*Throughput: \"1\"\n"
      << "*LandscapeOrientation: Plus90\n"
      << "*TTRasterizer: Type42\n"
      << "*cupsVersion: 2.4\n"
      << "*cupsModelNumber: 0\n"
      << "*cupsManualCopies: True\n"
      << "*cupsFilter: \"application/vnd.cups-raster 0 " << filter.string() << "\"\n"
      << "*OpenUI *PageSize/Media Size: PickOne\n"
      << "*OrderDependency: 10 AnySetup *PageSize\n"
      << "*DefaultPageSize: " << sizes[0].keyword << "\n";
    for (const Size& s : sizes)
        p << "*PageSize " << s.keyword << "/" << s.text << ": \"<</PageSize[" << s.w << " " << s.h
          << "]/ImagingBBox null>>setpagedevice\"\n";
    p << "*CloseUI: *PageSize\n"
      << "*OpenUI *PageRegion/Media Size: PickOne\n"
      << "*OrderDependency: 10 AnySetup *PageRegion\n"
      << "*DefaultPageRegion: " << sizes[0].keyword << "\n";
    for (const Size& s : sizes)
        p << "*PageRegion " << s.keyword << "/" << s.text << ": \"<</PageSize[" << s.w << " " << s.h
          << "]/ImagingBBox null>>setpagedevice\"\n";
    p << "*CloseUI: *PageRegion\n"
      << "*DefaultImageableArea: " << sizes[0].keyword << "\n";
    for (const Size& s : sizes)
        p << "*ImageableArea " << s.keyword << "/" << s.text << ": \"0 0 " << s.w << " " << s.h << "\"\n";
    p << "*DefaultPaperDimension: " << sizes[0].keyword << "\n";
    for (const Size& s : sizes)
        p << "*PaperDimension " << s.keyword << "/" << s.text << ": \"" << s.w << " " << s.h << "\"\n";
    p << "*OpenUI *Resolution/Resolution: PickOne\n"
      << "*OrderDependency: 10 AnySetup *Resolution\n"
      << "*DefaultResolution: " << dpi << "dpi\n"
      << "*Resolution " << dpi << "dpi/" << dpi << " DPI: \"<</HWResolution[" << dpi << " " << dpi
      << "]>>setpagedevice\"\n"
      << "*CloseUI: *Resolution\n";
    return p.str();
}

}  // namespace linuxplat
