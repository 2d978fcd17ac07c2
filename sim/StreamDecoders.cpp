#include "sim/Decoders.h"

namespace sim {

std::vector<DecoderFactory> DefaultDecoders() {
    // Priority order. Decoders that recognise a whole stream by its first
    // bytes (a firmware or font download) belong before the settings decoder.
    return {
        MakeSettingsDecoder,
        MakeTextDecoder,
    };
}

}  // namespace sim
