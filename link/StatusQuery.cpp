#include "link/StatusQuery.h"

namespace printer_link {

protocol::PrinterStatus QueryStatus(Device& device, int waitMs, const StopEvent* stop) {
    (void)device;
    (void)waitMs;
    (void)stop;
    return {};
}

StatusAnswer QueryStatusAt(std::string_view uri, const OpenOptions& options, int waitMs) {
    StatusAnswer answer;
    Opened opened = OpenDevice(uri, options);
    if (!opened.device) {
        answer.failure = opened.failure;
        return answer;
    }
    answer.node = opened.device->Node();
    answer.status = QueryStatus(*opened.device, waitMs, options.stop);
    opened.device->Abandon();
    return answer;
}

}  // namespace printer_link
