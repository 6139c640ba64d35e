#include "standin_host/connected/Common.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin_host/formats/Mail.h"

namespace nubra::connected {

size_t HeaderEnd(std::string_view bytes) {
    // The first empty line: "\n\n" or "\n\r\n" (a header may start with it: no fields).
    for (size_t pos = bytes.find('\n'); pos != std::string_view::npos; pos = bytes.find('\n', pos + 1)) {
        if (pos + 1 < bytes.size() && bytes[pos + 1] == '\n') return pos + 2;
        if (pos + 2 < bytes.size() && bytes[pos + 1] == '\r' && bytes[pos + 2] == '\n') return pos + 3;
    }
    return std::string_view::npos;
}

store::ItemData ItemFromHeader(std::string_view header, const std::string& label, Date created) {
    const size_t end = HeaderEnd(header);
    std::string bytes(header.substr(0, end == std::string_view::npos ? header.size() : end));
    if (end == std::string_view::npos) bytes += bytes.ends_with("\n") ? "\n" : "\n\n";
    store::ItemData item = formats::ParseMessage(bytes, label);
    item.Body.reset();  // the header alone says nothing about it
    item.CreationTime = created;
    return item;
}

std::optional<std::string> BodyOfMessage(std::string_view message, const std::string& label) {
    return formats::ParseMessage(message, label).Body;
}

void FaultPoint(const char* point) {
    static const char* wanted = std::getenv("NUBRA_CONNECTED_FAULT");
    if (wanted && std::strcmp(wanted, point) == 0) ::_exit(86);
}

uint64_t Fnv1a(std::string_view text) {
    uint64_t h = 1469598103934665603ull;
    for (char c : text) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    return h;
}

std::string Hex64(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace nubra::connected
