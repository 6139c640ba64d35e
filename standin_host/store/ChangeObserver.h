// What the object model does to items, told as it happens, for whoever watches a run: the
// command line counts the removals that failed, the history records what went where. One
// observer per process, installed and removed on the thread that owns the stores; it must not
// change the stores from inside Changed.
#pragma once

#include <cstdint>
#include <string>

namespace nubra::store {

struct ItemChange {
    enum Kind { Moved, Deleted, Failed } kind = Moved;
    const char* operation = "";  // "Move" or "Delete"
    std::string storeBefore, storeAfter;    // store IDs (hex)
    std::string entryBefore, entryAfter;    // item entry IDs (hex); entryAfter "" when deleted for good
    std::string folderBefore, folderAfter;  // folder entry IDs (hex)
    int32_t errorNumber = 0;                // Failed: the error raised to the caller
    std::string error;
};

class ChangeObserver {
public:
    virtual ~ChangeObserver() = default;
    // Told before a move or delete, with the item's side before it and, for a move, the folder
    // it goes to (folderAfter). May raise an AutomationError to refuse it: nothing changes, and
    // the change is told as failed with that error, which its caller gets.
    virtual void Changing(const ItemChange& planned) { (void)planned; }
    virtual void Changed(const ItemChange& change) = 0;
    // Told before the store `storeId` (hex) commits a transaction that changed it: whatever the
    // observer keeps of the changes it was told of (Changing) must be kept by now. May raise an
    // AutomationError: the store then does not commit, and its uncommitted changes are undone.
    virtual void Committing(const std::string& storeId) { (void)storeId; }
    // An item was opened by its position in a folder's Items (how a scan visits items).
    virtual void Fetched(const std::string& storeId, const std::string& entryId) {
        (void)storeId;
        (void)entryId;
    }
};

// Installs `observer` (not owned; nullptr for none) and returns the one it replaces.
ChangeObserver* SetChangeObserver(ChangeObserver* observer);
// Tells the installed observer (if any) that store `storeId` is about to commit; raises what it
// raises.
void TellCommitting(const std::string& storeId);

}  // namespace nubra::store
