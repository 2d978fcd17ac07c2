#pragma once
// The job options of the receipt drivers as IPP attributes, read onto the
// encoder's options through the keyword lookup the raster driver reads its
// PPD with (receipt::ParseJobOptions), so that one mapping decides what a
// value means:
//
//   receipt-cut          none | page | job           PaperCut None|Page|Job
//   receipt-cut-type     partial | full              CutType Partial|Full
//   receipt-drawer       none | before | after       CashDrawer None|Before|After
//   receipt-drawer-pin   2 | 5                       DrawerPin Pin2|Pin5
//   receipt-feed-after   0..100 (millimetres)        FeedAfter <n>mm
//   receipt-dithering    auto | error-diffusion | threshold
//                        auto: print-content-optimize "text" thresholds,
//                        anything else diffuses the error   Dithering
#include <cups/cups.h>
#include <pappl/pappl.h>

#include <string>
#include <utility>
#include <vector>

#include "receipt/ReceiptWriter.h"

namespace printer_app {

struct VendorChoice {
    const char* ipp;   // "page"
    const char* ppd;   // "Page"
};

struct VendorAttribute {
    const char* name;                    // "receipt-cut"
    const char* keyword;                 // "PaperCut"
    const char* defaultValue;            // "job"
    std::vector<VendorChoice> choices;   // keyword (or integer set) values; empty: an integer range
    int low = 0, high = 0;               // the range of an integer
    bool integer = false;                // integer values (a set with choices, else the range)
};
const std::vector<VendorAttribute>& VendorAttributes();

// Adds NAME-default and NAME-supported of every vendor attribute to `attrs`
// and their names to the driver's vendor list.
void AddVendorAttributes(pappl_pr_driver_data_t& data, ipp_t* attrs);

using VendorOptions = std::vector<std::pair<std::string, std::string>>;
VendorOptions VendorOptionsOf(int count, const cups_option_t* options);
// A job's vendor options: its own values, else the printer's defaults (the
// NAME-default the web interface sets), which PAPPL leaves out of the job's.
VendorOptions VendorOptionsOf(const pappl_pr_options_t& options, pappl_printer_t* printer);

// The encoder's keyword lookup over the job's vendor options (the job's
// values, else the printer's defaults) and its print-content-optimize.
// Values outside the supported ones read as missing: the default holds.
receipt::OptionLookup LookupOf(VendorOptions vendor, pappl_content_t content);

// The encoder's options of a job.
receipt::JobOptions JobOptionsOf(const pappl_pr_options_t& options, pappl_printer_t* printer, int dpi);

}  // namespace printer_app
