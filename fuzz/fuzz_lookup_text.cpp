// "Text.ini" lookups: a value never exceeds its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "installer/payload/TextTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const payload::TextKey& k : payload::TextKeys()) {
        std::u16string v = payload::LookupTextInBytes({data, size}, k.key, k.fallback);
        if (v.size() >= payload::kLookupBuffer) std::abort();
    }
    std::u16string v = payload::LookupTextInBytes({data, size}, u"Next", u"Next", payload::kLookupBufferLanguageEn);
    if (v.size() >= payload::kLookupBufferLanguageEn) std::abort();
    return 0;
}
