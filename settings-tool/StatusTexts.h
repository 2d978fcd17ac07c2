#pragma once
// What the settings utility says about a printer's status: one text per fact,
// each worded in Chinese with its English line, for the window and the
// terminal alike.
#include <string>
#include <vector>

#include "protocol/PrinterStatus.h"

namespace cadmon {

struct StatusText {
    std::string chinese;
    std::string english;
};

// A printer that answered nothing: not an error, it prints as before.
inline const StatusText kStatusNotKnownText{"状态未知:打印机不回答状态查询",
                                            "status not known: the printer does not answer status requests"};

// One text per fact of a known status, in a fixed order: online, cover,
// paper, drawer, cutter, unrecoverable error, recoverable error, and last
// whether it is ready to print. For a status that is not known, the one
// not-known text.
std::vector<StatusText> StatusTexts(const protocol::PrinterStatus& status);

}  // namespace cadmon
