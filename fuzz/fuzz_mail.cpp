// Any bytes: the reader either returns items or raises FormatError, nothing else.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        nubra::formats::ParseMessage(text, "fuzz.eml");
    } catch (const nubra::formats::FormatError&) {
    }
    return 0;
}
