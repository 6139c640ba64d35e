// The one synchroniser of the connected stores: the store::Upstream of a cache over any source
// that has a Driver (Driver.h). It owns what every source shares:
// - the cache's own tables (conn_folders, conn_items: each cache folder and item with the
//   source's key for it), folder and item reconciliation, and the Deleted Items;
// - one intents journal (conn_intents): a move is recorded with the cache's move in one
//   transaction before the source is asked, and settled against the source afterwards (by what
//   the source said, by the item's key in either folder, or by arrival and size among what
//   arrived in the target); a process ended in between leaves intents that the next change or
//   synchronisation settles the same way;
// - batching: during a run (BeginRun/EndRun) the moves of a driver that moves sets are put off
//   and sent together when the run lets go of its folder;
// - the guard: a source that could not be synchronised takes no change; the warnings; the run
//   lock's place; the change lock that keeps the changes of every process on one source apart.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "standin_host/connected/CacheSql.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/Driver.h"
#include "standin_host/store/Upstream.h"

namespace nubra::connected {

// Told as a synchronisation on this thread reads the items new to its cache (a first one reads
// every item of the source): the source's name, the items read so far and how many it reads,
// from (0, total) to (total, total), as each part of them comes in. The command line watches
// on a terminal.
class SyncProgressScope {
public:
    using Watcher = std::function<void(const std::string& source, size_t done, size_t total)>;
    explicit SyncProgressScope(Watcher watcher);
    ~SyncProgressScope();
    SyncProgressScope(const SyncProgressScope&) = delete;
    SyncProgressScope& operator=(const SyncProgressScope&) = delete;
    // The watcher of this thread; nullptr when none is.
    static const Watcher* Current();

private:
    Watcher watcher_;
    const Watcher* outer_;
};

class Synchroniser : public store::Upstream {
public:
    // `driver` (taken over) reaches the source; `kind` ("maildir", "imap") names the source's
    // lock file and the points at which tests end the process (FaultPoint).
    Synchroniser(std::unique_ptr<Driver> driver, std::string kind, store::StoreDb& cache);

    std::string KindText() const override { return driver_->KindText(); }
    LockPlace RunLockFor(store::StoreDb& cache, int64_t folder) override;
    void Synchronise(store::StoreDb& cache) override;
    void MoveItem(store::StoreDb& cache, int64_t item, int64_t dest, const std::function<void()>& apply) override;
    void RemoveItem(store::StoreDb& cache, int64_t item, const std::function<void()>& apply) override;
    int64_t CreateFolder(store::StoreDb& cache, int64_t parent, const std::string& name,
                         const std::function<int64_t()>& apply) override;
    void RemoveFolder(store::StoreDb& cache, int64_t folder, const std::function<void()>& apply) override;
    int64_t DeletedItemsFolder(store::StoreDb& cache) override;
    void CompleteItem(store::StoreDb& cache, int64_t item, store::ItemData& data) override;
    void BeginRun(store::StoreDb&) override { ++runs_; }
    void EndRun(store::StoreDb& cache) override;
    std::vector<std::string> TakeWarnings() override { return std::exchange(warnings_, {}); }

private:
    struct Row {
        int64_t folder = 0;
        SourceItem item;
    };
    struct Moving {
        int64_t id;  // the cache's item
        SourceItem item;
    };
    // Moves from one folder into another, with their intents recorded.
    struct Batch {
        std::string src, dest, validity, mark;
        int64_t srcFolder = 0, destFolder = 0;
        std::vector<Moving> items;
    };
    struct Listing;

    // Tables and keys.
    void PrepareTables(store::StoreDb& cache);
    std::optional<Row> RowOf(int64_t item);
    std::optional<std::string> KeyOf(int64_t folder);
    std::optional<int64_t> FolderOf(const std::string& key);
    void WriteRow(int64_t id, int64_t folder, const SourceItem& item);
    void RequireSynced() const;

    // Synchronisation.
    void SynchroniseNow(store::StoreDb& cache);
    std::map<int64_t, std::string> ReconcileFolders(store::StoreDb& cache, std::vector<std::string>& warnings);
    std::optional<int64_t> PlaceFolder(store::StoreDb& cache, const SourceFolder& f,
                                       std::map<std::vector<std::string>, int64_t>& byPath, std::set<int64_t>& taken);
    void ForgetFoldersGone(store::StoreDb& cache, const std::set<std::string>& present);
    Listing ListChanged(const std::map<int64_t, std::string>& folders, std::vector<std::string>& warnings);
    std::vector<SourceItem> CachedWith(int64_t folder, const SourceChanges& changes);
    struct Known {
        int64_t id;
        SourceItem item;
        bool listed = false;  // the listing has it (set by ApplyListing)
    };
    // By folder, then by key.
    using KnownItemsMap = std::unordered_map<int64_t, std::unordered_map<std::string, Known>>;
    KnownItemsMap KnownItems(const Listing& listing);
    void ApplyListing(store::StoreDb& cache, Listing& listing, std::vector<std::string>& warnings);
    // Reads and adds the listed folders' new items (`fresh`, by folder), then records each
    // folder's listing state.
    void AddFresh(store::StoreDb& cache, const Listing& listing, std::map<int64_t, std::vector<SourceItem>>& fresh,
                  std::vector<std::string>& warnings);

    // Moves.
    void Enqueue(store::StoreDb& cache, int64_t id, const Row& row, int64_t dest, const std::function<void()>& apply);
    void SendPending(store::StoreDb& cache);
    std::shared_ptr<void> HoldChanges(store::StoreDb& cache);
    void SendBatch(store::StoreDb& cache);
    std::string CheckValidity(int64_t folder, const std::string& key);
    void SettleBatch(store::StoreDb& cache, const Batch& b, const std::vector<std::optional<SourceItem>>& told,
                     bool srcThere, bool destThere, bool grouped = false);
    std::vector<std::optional<SourceItem>> FindCopies(store::StoreDb& cache, const Batch& b,
                                                      std::vector<std::optional<SourceItem>> copies);
    void SettleIntents(store::StoreDb& cache);
    bool Pending(int64_t item) const;

    std::unique_ptr<Driver> driver_;
    std::string kind_;
    CacheSql sql_;
    ChangeLock changes_;
    std::string lastError_ = "not synchronised yet";
    std::vector<std::string> warnings_;
    bool unsettled_ = false;  // a change failed after its intent was recorded
    Batch batch_;             // moves put off until the run ends (or the batch is full)
    std::shared_ptr<void> batchHold_;
    int runs_ = 0;                           // BeginRun without EndRun
    std::optional<AutomationError> unsent_;  // a batch of this run that failed, for EndRun
    std::unordered_map<int64_t, std::string> bodies_;  // read ahead by CompleteItem
};

}  // namespace nubra::connected
