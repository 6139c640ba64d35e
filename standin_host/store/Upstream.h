// Connected stores: a store file that is the local cache of mail kept elsewhere (a Maildir tree
// in place, an IMAP account). The cache is an ordinary store file (searches, folder order,
// entry IDs, the object model and the MAPI library all work on it unchanged); the Upstream
// attached to it makes every change reach the source first and the cache second.
//
// The contract between the cache (StoreDb) and its source:
// - StoreDb::MoveItem, DeleteItem, CreateFolder and RemoveFolderIfEmpty hand the change to the upstream, which
//   changes the source and then calls `apply` to make the same change in the cache; the
//   upstream runs `apply` inside StoreDb::ApplyLocally and StoreDb::InTransaction together
//   with its own bookkeeping, so the cache never shows a change the source did not make.
// - Before the source is touched, the upstream records its intent in its own table of the
//   cache file (committed); Synchronise settles every intent it finds by looking at the
//   source (completed or found undone) before it brings the cache up to date.
// - Provider tables live in the cache file beside the store's own and are created by the
//   provider: the store's format does not change, and a cache copied alone is a valid store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "standin_host/store/ItemData.h"

namespace nubra::store {

class StoreDb;

class Upstream {
public:
    virtual ~Upstream() = default;

    // Moves `item` of the cache into cache folder `dest` at the source, then calls `apply`
    // (which moves it in the cache); during a run (BeginRun) the source's move may be put off
    // until EndRun. During a run, the cache's half (with the intent) joins the run's group
    // (StoreDb::ChangeLocallyGrouped), and the group is committed (StoreDb::CommitGroup) before
    // the source is touched: the change observer's notes of the move are kept by then. Raises
    // like StoreDb::MoveItem, naming the source; after a failure neither the source nor the
    // cache has changed, or the cache was corrected to what the source shows (a message that
    // vanished there is gone from the cache too).
    virtual void MoveItem(StoreDb& cache, int64_t item, int64_t dest, const std::function<void()>& apply) = 0;
    // Removes `item` for good at the source (it is in Deleted Items), then calls `apply`.
    virtual void RemoveItem(StoreDb& cache, int64_t item, const std::function<void()>& apply) = 0;
    // Creates folder `name` under cache folder `parent` at the source, then calls `apply`,
    // which returns the cache folder's id; returns that id.
    virtual int64_t CreateFolder(StoreDb& cache, int64_t parent, const std::string& name,
                                 const std::function<int64_t()>& apply) = 0;
    // Removes the empty cache folder `folder` at the source (a maildir's directory; an IMAP
    // mailbox, deleted and unsubscribed), then calls `apply`, which removes it from the cache.
    // Raises naming the source when it cannot; the cache keeps the folder then. A folder that
    // is no longer at the source is only removed from the cache.
    virtual void RemoveFolder(StoreDb& cache, int64_t folder, const std::function<void()>& apply) = 0;
    // The cache folder that is the source's Deleted Items, made at the source when it has none
    // yet (the first delete), so that a source is not changed before anything is removed.
    // Raises naming the source when it cannot be made.
    virtual int64_t DeletedItemsFolder(StoreDb& cache) = 0;
    // Fills in what the cache leaves out (the body, and the whole message as the source),
    // fetching it from the source. Raises when the source cannot give it.
    virtual void CompleteItem(StoreDb& cache, int64_t item, ItemData& data) = 0;
    // Settles the intents left by a process that ended in the middle of a change, then brings
    // the cache up to date with the source. Outside a run, while another process has changes
    // under way on the source, it may leave the cache as it stands, with a warning.
    virtual void Synchronise(StoreDb& cache) = 0;

    // A removal run holds a folder of the cache (RunLock.h), from before its synchronisation
    // (which then waits for other processes' changes on the source): until the matching EndRun, a
    // source may put off the moves and send them together (one command for many messages,
    // where one each would cost a server round trip and a rescan of the folder). Each move
    // put off is in the cache at once, with its intent recorded: a process ended before they
    // go leaves them for the next synchronisation, which finds them not done and puts them
    // back. Holds nest.
    virtual void BeginRun(StoreDb&) {}
    // Sends what was put off once the outermost hold ends. Raises like MoveItem; after a
    // failure the cache shows the moves not sent back where they were (the next
    // synchronisation settles any the source made after all).
    virtual void EndRun(StoreDb&) {}

    // What the last synchronisation passed over (unreadable files, links not followed), one
    // line each naming the file; cleared by the call.
    virtual std::vector<std::string> TakeWarnings() { return {}; }

    // What `stores` shows: "maildir (Maildir++)", "imap", ...
    virtual std::string KindText() const = 0;
    // The removal-run lock of `folder`: a lock file named after the source (so that two
    // profiles attaching one source share it) and the byte that stands for the folder.
    struct LockPlace {
        std::filesystem::path file;
        int64_t offset = 0;
    };
    virtual LockPlace RunLockFor(StoreDb& cache, int64_t folder) = 0;
};

}  // namespace nubra::store
