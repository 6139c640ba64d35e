// A stable short name for a longer one, for files named after what they belong to (a
// connected store's cache and lock files, a profile's history): FNV-1a of the text as 16 hex
// digits. Names on disk are made with it, so it never changes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace nubra::store {

inline uint64_t Fnv1a(std::string_view text) {
    uint64_t h = 1469598103934665603ull;
    for (char c : text) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    return h;
}

inline std::string Hex64(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

inline std::string NameHash(std::string_view text) { return Hex64(Fnv1a(text)); }

}  // namespace nubra::store
