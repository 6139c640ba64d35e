// Any bytes as an Outlook data file: items or FormatError, nothing else. libpff reads from a
// path, so the input goes through a private temporary file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Pst.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/nubra-fuzz-pst-" + std::to_string(::getpid()) + ".pst";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    try {
        nubra::formats::ReadPst(path);
    } catch (const nubra::formats::FormatError&) {
    }
    return 0;
}
