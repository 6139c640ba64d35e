// What the connected stores share: the one header mapping (the importers' own, so a mail
// cleans the same whether imported or in place), the error raised for a source, hashing for
// names of caches and locks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/Automation.h"
#include "standin_host/store/ItemData.h"

namespace nubra::connected {

inline constexpr const char* kSource = "NubraConnected";

// The item of a mail from its header fields (the bytes up to the empty line; a body may
// follow and is ignored), as `import` makes it, with `created` (UTC) as its creation time.
// Raises FormatError naming `label` for bytes that are no mail header.
store::ItemData ItemFromHeader(std::string_view header, const std::string& label, Date created);
// The body of a whole message, as `import` reads it (nullopt when it has none).
std::optional<std::string> BodyOfMessage(std::string_view message, const std::string& label);

// Where a header ends in `bytes`: the offset after its empty line, or npos when it does not
// end within them.
size_t HeaderEnd(std::string_view bytes);

uint64_t Fnv1a(std::string_view text);
// Tests end the process at a named point of a change (NUBRA_CONNECTED_FAULT=point, exit code
// 86), to prove that the next run completes or undoes it. Nothing happens in a real run.
void FaultPoint(const char* point);
std::string Hex64(uint64_t v);

}  // namespace nubra::connected
