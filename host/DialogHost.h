// How a host shows the add-in's duplicate-removal dialog its own way. The client shows the
// module's window; a host without windows (the command line) installs a hook through the
// module's export NubraSetShowDialogHook and is handed these services when the menu command
// would open the dialog. Both sides build against this header only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/Controls.h"

namespace nubra::host {

// One node of the dialog's folder tree, as the dialog fills it.
struct FolderNode {
    std::string key;       // unique in the tree
    std::string fullPath;  // names from the store down, joined by "\"
    int image = 0;         // picture index, 0 for none
    int index = 0;         // 1-based, in the order the nodes were added
    // The folder the node stands for, as the dialog remembers it (hex, as MAPIFolder's
    // StoreID and EntryID give them); empty when the dialog could not tell.
    std::string storeId = {};
    std::string entryId = {};
};

// What one removal run did.
struct RemovalResult {
    int32_t removed = 0;  // items that left the folder (moved or deleted)
    std::string outcome;  // the dialog's status text afterwards
};

// What a shown dialog reaches of the add-in. Every member runs on the caller's thread.
class DialogServices {
public:
    virtual ~DialogServices() = default;
    // Fills the folder tree as loading the dialog does and returns its nodes. Raises what the
    // fill raises before the first store is examined (no namespace); later failures are
    // reported through the error handler and the nodes added so far are returned.
    virtual std::vector<FolderNode> FolderTree() = 0;
    // The removal run of the dialog's button on the node keyed `nodeKey` of the last
    // FolderTree(): the node's own folder is opened again, the bar's range set and the scan
    // run. Counted as a running scan (the client will not end meanwhile). Raises 91 when the
    // tree was not filled or the engine is missing, MAPI_E_NOT_FOUND when the node's folder
    // cannot be found again, and what the host raises when another run holds the folder; the
    // folder is then unchanged. Failures inside the scan are the scan's own (logged, reported).
    virtual RemovalResult RemoveDuplicates(const std::string& nodeKey, ProgressBar& bar) = 0;
    // HandleError of the add-in's error handler for the pending error (nothing without one).
    virtual void HandleError(const std::string& procedure) = 0;
    // The log file's full path (empty without a log).
    virtual std::string LogFile() = 0;
};

// Called where the dialog would be shown; what it raises passes to the menu command.
using ShowDialogHook = std::function<void(DialogServices&)>;

}  // namespace nubra::host
