#pragma once
// The stream decoders of the simulated printer (see StreamDecoder.h).
#include <cstddef>
#include <memory>
#include <optional>

#include "sim/StreamDecoder.h"

namespace sim {

// The vendor settings messages (1F 1B ..) and the plain printer commands the
// tools send (cut, cash drawer), one line per message.
std::unique_ptr<StreamDecoder> MakeSettingsDecoder();
// The length of the settings message (1F 1B xx ..) that `head` starts, as
// the settings decoder takes it; nullopt until the bytes that name it are there.
std::optional<std::size_t> SettingsMessageLength(ByteSpan head);

// The ESC/POS printing commands (ESC @, GS v 0, ESC *, ESC J, ESC d, ESC 2,
// ESC 3, GS V, ESC p), one line each: "initialize", "raster 576 x 256 dots",
// "feed 40 dots", "partial cut", "drawer pulse pin 2 (50 ms on, 500 ms off)".
std::unique_ptr<StreamDecoder> MakeEscPosDecoder();

// Printable text, one "text: .." line per printed line.
std::unique_ptr<StreamDecoder> MakeTextDecoder();

}  // namespace sim
