#include "sim/Decoders.h"
#include "sim/FirmwareReceiver.h"

namespace sim {

std::vector<DecoderFactory> DefaultDecoders() {
    // Priority order. Decoders that recognise a whole stream by its first
    // bytes (a firmware or font download) belong before the settings decoder.
    return {
        MakeFirmwareReceiver,
        MakeFontReceiver,
        MakeEscPosDecoder,
        MakeSettingsDecoder,
        MakeTextDecoder,
    };
}

}  // namespace sim
