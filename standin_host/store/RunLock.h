// One removal run per folder at a time, across processes: two runs on one folder would take
// each other's moved duplicates for failures and delete what the other had put aside.
#pragma once

#include <memory>

#include "host/Outlook.h"

namespace nubra::store {

class StoreDb;

// A removal run's hold on a folder (LockFolderForRun). While it lives, no other run (in any
// process) works on the folder; a connected store may put off the run's changes and send them
// together when the run finishes, a store of ours groups them (StoreDb::BeginGroupedChanges).
class RunSession {
public:
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;
    // Lets go of the folder without raising: what a connected store put off and could not send
    // is undone in the cache and not reported (Finish reports it).
    ~RunSession();
    // Sends what the connected store put off during the run (Upstream::EndRun), or commits what
    // a store of ours grouped, then lets go of the folder. Raises what sending or committing
    // raised: the changes not sent or saved are shown undone.
    // The folder is let go either way; a second call does nothing.
    void Finish();

private:
    friend std::unique_ptr<RunSession> LockFolderForRun(outlook::MAPIFolder& folder);
    RunSession(int fd, std::shared_ptr<StoreDb> connected) : fd_(fd), connected_(std::move(connected)) {}
    void Release();
    int fd_;
    std::shared_ptr<StoreDb> connected_;  // a connected store: its run ends with the session
    std::shared_ptr<StoreDb> grouped_;    // its grouped changes (or reads) end with the session
};

// Holds `folder` (of a store of ours) for a removal run until the session finishes or goes.
// Raises kMapiCorruptData when the folder's store is damaged (a scan would quietly find less
// than there is), kMapiBusy naming the folder when another run holds it, kMapiNoAccess when the
// lock file beside the store (<store file>-runlock) cannot be made; nothing is held then. A
// process that ends lets go of its locks. A connected store is brought up to date with its
// source once the folder is held (what it raises then is raised here, and nothing is held).
std::unique_ptr<RunSession> LockFolderForRun(outlook::MAPIFolder& folder);

// Holds every folder of `store` against removal runs (their run locks, without beginning a
// run) until the returned object is released: for taking the store out of the profile.
// Raises kMapiBusy naming the folder when a run holds one of them, kMapiNoAccess when a lock
// file cannot be made; nothing is held then.
std::shared_ptr<void> HoldStoreAgainstRuns(StoreDb& store);

}  // namespace nubra::store
