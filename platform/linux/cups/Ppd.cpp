#include "platform/linux/cups/Ppd.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "protocol/HeadWidth.h"

namespace platform_linux {
namespace {

// Quoted PPD strings may not hold '"'; keep them printable ASCII or UTF-8.
std::string PpdText(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '"' || c == '\n' || c == '\r') ? '\'' : c;
    return out;
}

std::string Number(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
}

std::string Points(double thousandthsMm) { return Number(thousandthsMm / 1000.0 / 25.4 * 72.0); }

struct Choice {
    const char* keyword;
    const char* text;
};

// One option the driver reads from the job (the code is empty: nothing for the RIP to do).
void PickOne(std::ostringstream& p, const char* keyword, const char* text, const char* defaultChoice,
             std::initializer_list<Choice> choices, bool boolean = false) {
    p << "*OpenUI *" << keyword << "/" << text << ": " << (boolean ? "Boolean" : "PickOne") << "\n"
      << "*OrderDependency: 20 AnySetup *" << keyword << "\n"
      << "*Default" << keyword << ": " << defaultChoice << "\n";
    for (const Choice& c : choices) p << "*" << keyword << " " << c.keyword << "/" << c.text << ": \"\"\n";
    p << "*CloseUI: *" << keyword << "\n";
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

    // The roll width is the model row's (the custom form's); the head prints
    // the middle of it, which is the imageable area of every size.
    const int rollMm = !data.forms.empty() && data.forms[0].width > 0
                           ? static_cast<int>(std::lround(data.forms[0].width / 1000.0))
                           : 80;
    const int headDots = protocol::HeadDotsForPaper(rollMm, dpi);
    const double rollPoints = rollMm * 72.0 / 25.4;
    const double margin = std::max(0.0, (rollPoints - headDots * 72.0 / dpi) / 2);

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
      // No receipt printer answers SNMP: without this, a queue on CUPS's
      // socket backend waits for supply levels before every job.
      << "*cupsSNMPSupplies: False\n"
      << "*cupsFilter: \"application/vnd.cups-raster 0 " << filter.string() << "\"\n"
      << "*cupsFilter2: \"application/vnd.cups-raster application/vnd.receipt-escpos 0 " << filter.string()
      << "\"\n"
      << "*ReceiptHeadDots: \"" << headDots << "\"\n"
      << "*OpenUI *ColorModel/Color Mode: PickOne\n"
      << "*OrderDependency: 10 AnySetup *ColorModel\n"
      << "*DefaultColorModel: Gray\n"
      << "*ColorModel Gray/Grayscale: \"<</cupsColorSpace 0/cupsColorOrder 0/cupsBitsPerColor 8>>setpagedevice\"\n"
      << "*CloseUI: *ColorModel\n"
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
        p << "*ImageableArea " << s.keyword << "/" << s.text << ": \"" << Number(margin) << " 0 "
          << Number(std::stod(s.w) - margin) << " " << s.h << "\"\n";
    p << "*DefaultPaperDimension: " << sizes[0].keyword << "\n";
    for (const Size& s : sizes)
        p << "*PaperDimension " << s.keyword << "/" << s.text << ": \"" << s.w << " " << s.h << "\"\n";
    // Custom lengths on the roll: 10 mm to 3276 mm.
    const std::string roll = Number(rollPoints);
    p << "*VariablePaperSize: True\n"
      << "*MaxMediaWidth: \"" << roll << "\"\n"
      << "*MaxMediaHeight: \"" << Points(3276000) << "\"\n"
      << "*HWMargins: " << Number(margin) << " 0 " << Number(margin) << " 0\n"
      << "*CustomPageSize True: \"pop pop pop <</PageSize[5 -2 roll]/ImagingBBox null>>setpagedevice\"\n"
      << "*ParamCustomPageSize Width: 1 points " << roll << " " << roll << "\n"
      << "*ParamCustomPageSize Height: 2 points " << Points(10000) << " " << Points(3276000) << "\n"
      << "*ParamCustomPageSize WidthOffset: 3 points 0 0\n"
      << "*ParamCustomPageSize HeightOffset: 4 points 0 0\n"
      << "*ParamCustomPageSize Orientation: 5 int 0 0\n";
    p << "*OpenUI *Resolution/Resolution: PickOne\n"
      << "*OrderDependency: 10 AnySetup *Resolution\n"
      << "*DefaultResolution: " << dpi << "dpi\n"
      << "*Resolution " << dpi << "dpi/" << dpi << " DPI: \"<</HWResolution[" << dpi << " " << dpi
      << "]>>setpagedevice\"\n"
      << "*CloseUI: *Resolution\n";
    p << "*OpenGroup: Receipt/Receipt\n";
    PickOne(p, "PaperCut", "Cut", "Job",
            {{"None", "Do not cut"}, {"Page", "After each page"}, {"Job", "After the job"}});
    PickOne(p, "CutType", "Cut type", "Partial", {{"Partial", "Partial cut"}, {"Full", "Full cut"}});
    PickOne(p, "CashDrawer", "Cash drawer", "None",
            {{"None", "Do not open"}, {"Before", "Open before printing"}, {"After", "Open after printing"}});
    PickOne(p, "DrawerPin", "Cash drawer pin", "Pin2", {{"Pin2", "Pin 2"}, {"Pin5", "Pin 5"}});
    PickOne(p, "FeedAfter", "Feed after printing", "5mm",
            {{"0mm", "None"}, {"3mm", "3 mm"}, {"5mm", "5 mm"}, {"10mm", "10 mm"}, {"15mm", "15 mm"},
             {"20mm", "20 mm"}, {"30mm", "30 mm"}});
    PickOne(p, "BlankRows", "Blank rows", "Feed", {{"Feed", "Feed paper"}, {"Raster", "Print as image"}});
    PickOne(p, "SkipBlankHead", "Skip blank start of page", "True", {{"True", "Yes"}, {"False", "No"}}, true);
    PickOne(p, "SkipBlankTail", "Skip blank end of page", "True", {{"True", "Yes"}, {"False", "No"}}, true);
    PickOne(p, "Dithering", "Gray shades", "ErrorDiffusion",
            {{"ErrorDiffusion", "Dot pattern (best for pictures)"},
             {"Threshold", "Black or white (best for text)"}});
    p << "*CloseGroup: Receipt\n";
    return p.str();
}

}  // namespace platform_linux
