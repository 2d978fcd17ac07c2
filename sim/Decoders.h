#pragma once
// The stream decoders of the simulated printer (see StreamDecoder.h).
#include <memory>

#include "sim/StreamDecoder.h"

namespace sim {

// The vendor settings messages (1F 1B ..) and the plain printer commands the
// tools send (cut, cash drawer), one line per message.
std::unique_ptr<StreamDecoder> MakeSettingsDecoder();

// Printable text, one "text: .." line per printed line.
std::unique_ptr<StreamDecoder> MakeTextDecoder();

}  // namespace sim
