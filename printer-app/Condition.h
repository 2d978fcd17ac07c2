#pragma once
// How a printer is, as PAPPL's printer-state-reasons bits: what the device
// schemes' status callback returns and what a waiting write shows on the
// job's printer.
#include <pappl/pappl.h>

#include "protocol/PrinterStatus.h"

namespace printer_app {

// Every bit ReasonsOf can give: what a device may add, and remove again.
inline constexpr pappl_preason_t kConditionReasons = PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_LOW |
                                                     PAPPL_PREASON_COVER_OPEN | PAPPL_PREASON_OFFLINE |
                                                     PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_OTHER;

// Paper out -> media-empty, paper near end -> media-low (it still prints),
// cover open -> cover-open, the cutter's error -> media-jam (paper caught in
// it), other errors -> other, and offline -> offline when nothing else stops
// the printer (a printer that is out of paper says it is offline too).
// PAPPL_PREASON_NONE when it is ready or said nothing.
pappl_preason_t ReasonsOf(const protocol::PrinterStatus& status);

// True when the reasons keep the printer from printing (all but media-low).
constexpr bool Stopped(pappl_preason_t reasons) { return (reasons & ~PAPPL_PREASON_MEDIA_LOW) != 0; }

}  // namespace printer_app
