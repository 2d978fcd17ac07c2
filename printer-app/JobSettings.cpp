#include "printer-app/JobSettings.h"

#include <algorithm>
#include <cstdlib>

namespace printer_app {

const std::vector<VendorAttribute>& VendorAttributes() {
    static const std::vector<VendorAttribute> table = [] {
        std::vector<VendorAttribute> t;
        t.push_back({"receipt-cut", "PaperCut", "job", {{"none", "None"}, {"page", "Page"}, {"job", "Job"}}});
        t.push_back({"receipt-cut-type", "CutType", "partial", {{"partial", "Partial"}, {"full", "Full"}}});
        t.push_back({"receipt-drawer", "CashDrawer", "none",
                     {{"none", "None"}, {"before", "Before"}, {"after", "After"}}});
        VendorAttribute pin{"receipt-drawer-pin", "DrawerPin", "2", {{"2", "Pin2"}, {"5", "Pin5"}}};
        pin.integer = true;
        t.push_back(pin);
        VendorAttribute feed{"receipt-feed-after", "FeedAfter", "5", {}};
        feed.integer = true;
        feed.low = 0;
        feed.high = 100;
        t.push_back(feed);
        t.push_back({"receipt-dithering", "Dithering", "auto",
                     {{"auto", ""}, {"error-diffusion", "ErrorDiffusion"}, {"threshold", "Threshold"}}});
        return t;
    }();
    return table;
}

void AddVendorAttributes(pappl_pr_driver_data_t& data, ipp_t* attrs) {
    for (const VendorAttribute& a : VendorAttributes()) {
        if (data.num_vendor >= PAPPL_MAX_VENDOR) break;
        data.vendor[data.num_vendor++] = a.name;
        const std::string def = std::string(a.name) + "-default";
        const std::string sup = std::string(a.name) + "-supported";
        if (a.integer) {
            ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, def.c_str(), std::atoi(a.defaultValue));
            if (a.choices.empty()) {
                ippAddRange(attrs, IPP_TAG_PRINTER, sup.c_str(), a.low, a.high);
            } else {
                std::vector<int> values;
                for (const VendorChoice& c : a.choices) values.push_back(std::atoi(c.ipp));
                ippAddIntegers(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, sup.c_str(), static_cast<int>(values.size()),
                               values.data());
            }
        } else {
            ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, def.c_str(), nullptr, a.defaultValue);
            std::vector<const char*> values;
            for (const VendorChoice& c : a.choices) values.push_back(c.ipp);
            ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, sup.c_str(), static_cast<int>(values.size()),
                          nullptr, values.data());
        }
    }
}

VendorOptions VendorOptionsOf(int count, const cups_option_t* options) {
    VendorOptions out;
    for (int i = 0; i < count && options; ++i)
        if (options[i].name && options[i].value) out.emplace_back(options[i].name, options[i].value);
    return out;
}

receipt::OptionLookup LookupOf(VendorOptions vendor, pappl_content_t content) {
    return [vendor = std::move(vendor), content](std::string_view keyword) -> std::optional<std::string> {
        const auto& table = VendorAttributes();
        const auto attr = std::find_if(table.begin(), table.end(),
                                       [&](const VendorAttribute& a) { return keyword == a.keyword; });
        if (attr == table.end()) return std::nullopt;
        const auto given = std::find_if(vendor.begin(), vendor.end(), [&](const auto& o) { return o.first == attr->name; });
        const std::string value = given != vendor.end() ? given->second : attr->defaultValue;
        if (attr->integer && attr->choices.empty()) {
            // A number of millimetres within the range.
            if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos)
                return std::nullopt;
            const int mm = std::atoi(value.c_str());
            if (mm < attr->low || mm > attr->high) return std::nullopt;
            return value + "mm";
        }
        const auto choice = std::find_if(attr->choices.begin(), attr->choices.end(),
                                         [&](const VendorChoice& c) { return value == c.ipp; });
        if (choice == attr->choices.end()) return std::nullopt;
        if (*choice->ppd == '\0') {
            // receipt-dithering=auto: text is thresholded, pictures and graphics diffused.
            return std::string(content == PAPPL_CONTENT_TEXT ? "Threshold" : "ErrorDiffusion");
        }
        return std::string(choice->ppd);
    };
}

VendorOptions VendorOptionsOf(const pappl_pr_options_t& options, pappl_printer_t* printer) {
    VendorOptions out = VendorOptionsOf(options.num_vendor, options.vendor);
    ipp_t* attrs = printer ? papplPrinterGetDriverAttributes(printer) : nullptr;
    if (!attrs) return out;
    for (const VendorAttribute& a : VendorAttributes()) {
        if (std::any_of(out.begin(), out.end(), [&](const auto& o) { return o.first == a.name; })) continue;
        const std::string name = std::string(a.name) + "-default";
        ipp_attribute_t* def = ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO);
        if (!def) continue;
        char value[256];
        ippAttributeString(def, value, sizeof value);
        out.emplace_back(a.name, value);
    }
    ippDelete(attrs);
    return out;
}

receipt::JobOptions JobOptionsOf(const pappl_pr_options_t& options, pappl_printer_t* printer, int dpi) {
    return receipt::ParseJobOptions(LookupOf(VendorOptionsOf(options, printer), options.print_content_optimize), dpi);
}

}  // namespace printer_app
