// One removal run per folder at a time, across processes: two runs on one folder would take
// each other's moved duplicates for failures and delete what the other had put aside.
#pragma once

#include <memory>

#include "host/Outlook.h"

namespace nubra::store {

// Holds `folder` (of a store of ours) for a removal run until the returned object is released.
// Raises kMapiCorruptData when the folder's store is damaged (a scan would quietly find less
// than there is), kMapiBusy naming the folder when another run holds it, kMapiNoAccess when the lock
// file beside the store (<store file>-runlock) cannot be made; nothing is held then. A process
// that ends lets go of its locks.
std::shared_ptr<void> LockFolderForRun(outlook::MAPIFolder& folder);

}  // namespace nubra::store
