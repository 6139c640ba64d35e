// Watches removal runs as they happen, for the history and the dry-run report: which item the
// scan was examining, what was moved or deleted (and where to), what failed. One recorder is
// installed as the store's change observer for as long as it lives (the observer it replaced
// is told everything too); the folders are told through BeginFolder and EndFolder.
//
// The item being examined is the one the scan opened last by its position: between opening it
// and removing its duplicates a scan opens items only by entry ID, except to learn a named
// property's number, which it does once per folder from the first item of the kind, and that
// item is the one it examines then.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/DialogHost.h"
#include "standin_host/history/History.h"
#include "standin_host/store/ChangeObserver.h"

namespace nubra::store {
class Profile;
}

namespace nubra::history {

class RunRecorder : public store::ChangeObserver {
public:
    // `profile` (observed) is the profile the runs change; items are read there when a folder
    // ends, to describe them.
    explicit RunRecorder(store::Profile& profile);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    void BeginFolder(const host::FolderNode& node);
    // The folder's record: its removals described, in the order they happened.
    FolderRecord EndFolder(const host::RemovalResult& result, bool failed);

    // Over all folders so far.
    int failedRemovals = 0;   // duplicates left in place: their move and delete both failed
    int deletedInstead = 0;   // duplicates that went to Deleted Items because the move failed
    std::string lastFailure;  // the reason of the last failed move or delete

    void Changed(const store::ItemChange& change) override;
    void Fetched(const std::string& storeId, const std::string& entryId) override;

private:
    struct Seen {
        store::ItemChange change;
        std::string examined;  // entry ID of the item being examined then
        std::string examinedStore;
    };
    store::Profile& profile_;
    store::ChangeObserver* previous_;
    bool movePending_ = false;
    std::string examined_, examinedStore_;
    host::FolderNode folder_;
    std::vector<Seen> seen_;
};

}  // namespace nubra::history
