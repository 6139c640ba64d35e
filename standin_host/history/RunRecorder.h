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
#include <set>
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
    // ends, to describe them. With `history` (observed; null for a run that is not recorded,
    // such as a dry run), each removal is noted there before it happens and each folder's
    // record written when it ends, under run `runId`.
    explicit RunRecorder(store::Profile& profile, History* history = nullptr, std::string runId = {});
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Opens the folder's record. When the history cannot, RecordFailure says why and no
    // removal happens (the folder's run finds nothing it may remove).
    void BeginFolder(const host::FolderNode& node);
    // The folder's record: its removals described, in the order they happened, leaving out a
    // move the store undid afterwards (a connected store whose source refused it). Written to
    // the history when there is one; a failure to write it is kept in RecordFailure.
    FolderRecord EndFolder(const host::RemovalResult& result, bool failed);
    // The same for a host that does not see the dialog's result (the explorer's window): the
    // removals are counted, and the outcome is `failure` when the run failed.
    FolderRecord EndFolderCounted(const std::string& failure);

    // Over all folders so far.
    int failedRemovals = 0;   // duplicates left in place (each once): their move and delete both failed
    int deletedInstead = 0;   // duplicates that went to Deleted Items because the move failed
    std::string lastFailure;  // the reason of the last failed move or delete
    // Why the history could not record the run, "" while it could. Once it is set, no removal
    // happens any more (Changing refuses it), so that nothing is moved that a restore cannot
    // find.
    const std::string& RecordFailure() const { return recordFailure_; }

    void Changing(const store::ItemChange& planned) override;
    void Changed(const store::ItemChange& change) override;
    // Commits the notes of removals a store has grouped, before the store commits them; raises
    // (so the store keeps none of them) when those notes cannot be kept.
    void Committing(const std::string& storeId) override;
    void Fetched(const std::string& storeId, const std::string& entryId) override;

private:
    FolderRecord Describe(FolderRecord record);
    struct Seen {
        store::ItemChange change;
        std::string examined;  // entry ID of the item being examined then
        std::string examinedStore;
    };
    store::Profile& profile_;
    History* history_;
    std::string runId_;
    store::ChangeObserver* previous_;
    std::string examined_, examinedStore_;
    host::FolderNode folder_;
    std::vector<Seen> seen_;
    int32_t folderSeq_ = 0;  // the folder's position in the run's record
    int32_t noted_ = 0;      // removals noted in the folder so far
    std::string recordFailure_;
    int32_t recordFailureNumber_ = 0;
    std::set<std::string> lostIn_;  // stores grouping removals whose notes were lost: they may not commit
    std::set<std::string> groupedIn_;  // stores whose removals have notes kept open
    std::set<std::string> failedItems_;  // entry IDs of the duplicates left in place
};

// A removal run recorded in the profile's history, for the command line and the explorer
// alike: a run that cannot be recorded does not run.
class RecordedRun {
public:
    // Records a new run of `command` in the history of `profile`. Raises what the history
    // raises when it cannot be opened or written: nothing may be removed then.
    RecordedRun(store::Profile& profile, const std::string& command);
    // Ends a run nobody ended as "failed" (a failure on the way).
    ~RecordedRun();
    RecordedRun(const RecordedRun&) = delete;
    RecordedRun& operator=(const RecordedRun&) = delete;

    RunRecorder& Recorder() { return *recorder_; }
    const std::string& Id() const { return id_; }
    // Marks the run ended with `status` ("done", "failed", "stopped"); "failed" whatever is
    // asked when the history could not record all of it. Raises when it cannot be written.
    void End(const std::string& status);

private:
    History history_;
    std::string id_;
    std::unique_ptr<RunRecorder> recorder_;
    bool ended_ = false;
};

}  // namespace nubra::history
