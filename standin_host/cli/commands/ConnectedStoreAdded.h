// What store add-maildir and store add-imap say once the store is in the profile.
#pragma once

#include <cstddef>

#include "standin_host/store/Profile.h"

namespace nubra::cli {

// Prints the store's line and the warnings its first synchronisation gave (those after the
// first `warningsBefore`, which opening the profile printed already).
void ReportConnectedStore(const store::Profile& profile, const store::StoreInfo& info, std::size_t warningsBefore);

}  // namespace nubra::cli
