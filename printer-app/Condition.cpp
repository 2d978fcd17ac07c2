#include "printer-app/Condition.h"

namespace printer_app {

pappl_preason_t ReasonsOf(const protocol::PrinterStatus& status) {
    pappl_preason_t reasons = PAPPL_PREASON_NONE;
    if (!status.known) return reasons;
    if (status.paperOut) reasons |= PAPPL_PREASON_MEDIA_EMPTY;
    if (status.coverOpen) reasons |= PAPPL_PREASON_COVER_OPEN;
    if (status.cutterError) reasons |= PAPPL_PREASON_MEDIA_JAM;
    if (status.unrecoverableError || status.recoverableError) reasons |= PAPPL_PREASON_OTHER;
    if (!status.online && reasons == PAPPL_PREASON_NONE) reasons |= PAPPL_PREASON_OFFLINE;
    if (status.paperNearEnd) reasons |= PAPPL_PREASON_MEDIA_LOW;
    return reasons;
}

}  // namespace printer_app
