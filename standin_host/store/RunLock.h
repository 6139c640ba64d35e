// One removal run per folder at a time, across processes: two runs on one folder would take
// each other's moved duplicates for failures and delete what the other had put aside.
#pragma once

#include <memory>
#include <optional>

#include "host/Outlook.h"

namespace nubra::store {

// Holds `folder` (of a store of ours) for a removal run until the returned object is released.
// Raises kMapiCorruptData when the folder's store is damaged (a scan would quietly find less
// than there is), kMapiBusy naming the folder when another run holds it, kMapiNoAccess when the lock
// file beside the store (<store file>-runlock) cannot be made; nothing is held then. A process
// that ends lets go of its locks. A connected store sends the changes it put off during the
// run when it is released (Upstream::EndRun); what could not be sent is kept for
// TakeUnsentChanges.
std::shared_ptr<void> LockFolderForRun(outlook::MAPIFolder& folder);

class StoreDb;

// Holds every folder of `store` against removal runs (their run locks, without beginning a
// run) until the returned object is released: for taking the store out of the profile.
// Raises kMapiBusy naming the folder when a run holds one of them, kMapiNoAccess when a lock
// file cannot be made; nothing is held then.
std::shared_ptr<void> HoldStoreAgainstRuns(StoreDb& store);

// The failure of the last run release that could not send its changes to the source (those
// changes are undone in the cache), once; nullopt when every release since the last call sent
// everything. A release cannot raise, so the host that ran the removal asks after it.
std::optional<AutomationError> TakeUnsentChanges();

}  // namespace nubra::store
