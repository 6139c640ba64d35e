// Internal to the store: an item's properties as one value (the packed table), so that the
// first read of an item is one row instead of a row per property.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "standin_host/store/StoreDb.h"

namespace nubra::store::detail {

// `p` (sorted by tag, as a read gives it) as one value.
std::string PackProps(const CachedProps& p);
// The properties packed in `data` into `p` (cleared first). False, with `p` unspecified, for a
// value that is not one PackProps wrote (a damaged or foreign file): the caller reads the
// item's property rows instead.
bool UnpackProps(std::span<const uint8_t> data, CachedProps& p);

}  // namespace nubra::store::detail
