// One information store: a SQLite file with folders, items and their MAPI properties.
// Internal to the store; the object-model classes and the MAPI library work through it.
//
// Schema (application_id 'NBST', user_version 3; older files are upgraded when opened):
//   meta(key, value)                      store uid (16 random bytes), format marker and,
//                                         when set, the id of the folder that is Deleted Items
//   folders(id, parent_id, name, item_type, next_seq)
//                                         one root (parent NULL); names unique per parent
//   items(id, folder_id, seq)             seq orders a folder's items: the folder's next_seq
//                                         when the item arrived (created or moved in)
//   props(item_id, tag, ival, tfold, bval, tval)
//                                         one row per property (a rowid table, long texts
//                                         last); a move changes none of them
//   named(prop_id, guid, lid)             named properties, 0x8000 upward in order of first use
//   transit(item_id, src_store, src_item) items copied in from another store whose original
//                                         may still be there (a move between stores that has
//                                         not finished); older files get the table on their
//                                         first such move
//   sources(item_id, kind, envelope, fingerprint, size, data)
//                                         what an item was made of (ItemSource.h), compressed;
//                                         deleted with its item by a trigger (format 3)
// Indexes: items(folder_id, seq); props(item_id, tag), unique; props(tag, ival, item_id) and
// props(tag, tfold, item_id) (tfold: the case-folded text) answer restrictions in logarithmic
// time plus one look-up per item of the store that has the value, the folder's own and others'.
// Entry IDs: 4 zero flag bytes, the 16-byte store uid, a kind byte (1 folder, 2 item) and the
// 8-byte row id (AUTOINCREMENT, never reused), so an ID survives moves within the store.
//
// Durability: WAL with synchronous NORMAL. Each change is one transaction, so it is atomic, and
// a killed process loses nothing it committed; only a power cut (or an OS crash) can roll back
// the last few committed transactions, each as a whole. A move between stores is the one change
// that spans two files: its copy and its removal are committed with synchronous FULL, see
// MoveItemToStore.
//
// Caches (one connection, one thread): the ordered item ids per folder, the next order number
// per folder, named properties, prepared statements and the properties of recently read items.
// Our own changes update them directly. Changes by another connection are found through
// PRAGMA data_version: at once when this process made them (a process-wide change counter),
// otherwise within kForeignCheckInterval, and always exactly inside a write transaction.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/Automation.h"
#include "host/AutomationDates.h"
#include "standin_host/store/FolderOrder.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/ItemSource.h"

struct sqlite3;
struct sqlite3_stmt;

namespace nubra::store {

// MAPI tags the store maps to object-model fields.
namespace tags {
inline constexpr uint32_t PR_MESSAGE_CLASS = 0x001A001E;
inline constexpr uint32_t PR_SUBJECT = 0x0037001E;
inline constexpr uint32_t PR_CLIENT_SUBMIT_TIME = 0x00390040;
inline constexpr uint32_t PR_CONVERSATION_TOPIC = 0x0070001E;
inline constexpr uint32_t PR_SENDER_NAME = 0x0C1A001E;
inline constexpr uint32_t PR_DISPLAY_CC = 0x0E03001E;
inline constexpr uint32_t PR_DISPLAY_TO = 0x0E04001E;
inline constexpr uint32_t PR_ENTRYID = 0x0FFF0102;
inline constexpr uint32_t PR_BODY = 0x1000001E;
inline constexpr uint32_t PR_INTERNET_MESSAGE_ID = 0x1035001E;
inline constexpr uint32_t PR_DISPLAY_NAME = 0x3001001E;
inline constexpr uint32_t PR_CREATION_TIME = 0x30070040;
inline constexpr uint32_t PR_GIVEN_NAME = 0x3A06001E;
inline constexpr uint32_t PR_SURNAME = 0x3A11001E;
inline constexpr uint32_t PR_COMPANY_NAME = 0x3A16001E;
}  // namespace tags

// FILETIME conversions live with the other date conversions.
using dates::DateToFileTime;
using dates::FileTimeToDate;

// Unicode simple case folding of UTF-8 text (the rule of string restrictions).
std::string FoldCase(const std::string& text);

// Upper-case hex text of bytes, and back (nullopt for text that is no hex).
std::string ToHex(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> FromHex(const std::string& text);

// Braced upper-case GUID text; nullopt for text that is no GUID.
std::optional<std::string> NormaliseGuid(const std::string& text);

// How long a read may go on trusting the caches without asking SQLite whether another process
// changed the store.
inline constexpr std::chrono::milliseconds kForeignCheckInterval{50};

// A move between stores that did not finish: the destination holds the copy `destItem` of
// item `srcItem` of the store `srcStoreHex`, whose original may still exist.
struct PendingMove {
    int64_t destItem = 0;
    std::string srcStoreHex;
    int64_t srcItem = 0;
};

// Test hook: called with the name of each point of a move between stores ("move:copied",
// "move:removed") and of its recovery ("recover:removed"), so that a test can kill the
// process exactly there. Empty (the default) in every real run.
void SetFaultHookForTesting(std::function<void(const char* point)> hook);

// The properties of one item as the caches hold them, sorted by tag. Texts too long for the
// index (bodies) are read on first use.
struct CachedProps {
    std::vector<std::pair<uint32_t, PropValue>> props;
    std::vector<uint32_t> deferred;  // tags whose text is not read yet, sorted
};

// One condition of a contents-table search.
struct Condition {
    enum Kind { Property, Exist, NotExist } kind = Property;
    int32_t relop = 4;  // RELOP_LT 0 .. RELOP_NE 5
    uint32_t tag = 0;
    Variant value;
};

class Upstream;

class StoreDb : public std::enable_shared_from_this<StoreDb> {
public:
    static constexpr uint8_t kFolderKind = 1;
    static constexpr uint8_t kItemKind = 2;

    // Opens an existing store file. Raises kMapiNotFound when missing, kMapiCorruptData when
    // it is not a store of ours or is damaged, kMapiNoAccess when it cannot be opened.
    // `readOnly`: for commands that only read (a profile that is not ours to write, or on a
    // read-only medium): nothing is written, not even an upgrade of an older format (which is
    // refused) or SQLite's shared-memory file when the folder cannot take one (the file is then
    // read as it stands).
    static std::shared_ptr<StoreDb> Open(const std::filesystem::path& file, bool readOnly = false);
    // Creates a new store file (which must not exist) with root folder `displayName`,
    // "Deleted Items" (unless not `deletedItems`) and, when `standardFolders`, the other
    // standard folders. On failure the file is removed again.
    static std::shared_ptr<StoreDb> Create(const std::filesystem::path& file,
                                           const std::string& displayName, bool standardFolders,
                                           bool deletedItems = true);
    ~StoreDb();
    StoreDb(const StoreDb&) = delete;
    StoreDb& operator=(const StoreDb&) = delete;

    const std::filesystem::path& File() const { return file_; }
    const std::array<uint8_t, 16>& Uid() const { return uid_; }
    const std::string& StoreIdHex() const { return storeIdHex_; }
    int64_t RootFolder() const { return root_; }

    // Entry IDs.
    std::vector<uint8_t> EntryId(uint8_t kind, int64_t id) const;
    // The row id when `entryId` is an entry ID of this store of the given kind.
    std::optional<int64_t> ParseEntryId(std::span<const uint8_t> entryId, uint8_t kind) const;

    // Folders.
    struct FolderRow {
        int64_t id = 0;
        std::optional<int64_t> parent;
        std::string name;
        int32_t itemType = 0;
    };
    FolderRow Folder(int64_t id);  // raises kMapiNotFound
    bool FolderExists(int64_t id);
    std::vector<int64_t> Subfolders(int64_t parent);  // in creation order
    std::optional<int64_t> SubfolderByName(int64_t parent, const std::string& name);
    // How deep a folder may be: levels below the store's top-level folder. Walks over the
    // folder tree (the dialog's tree, the explorer, paths) take a step or a stack frame per
    // level, so no store holds a deeper one.
    static constexpr int kMaxFolderDepth = 128;
    // Levels below the top-level folder (0 for it). Raises kMapiNotFound for a folder that
    // does not exist.
    int FolderDepth(int64_t folder);
    // Creates folder `name` under `parent`; returns its id. Raises kMapiInvalidParameter for an
    // empty name or a folder deeper than kMaxFolderDepth, kMapiCollision when `parent` has a
    // folder of that name, kMapiNotFound when `parent` is gone; nothing is created then.
    int64_t CreateFolder(int64_t parent, const std::string& name, int32_t itemType);
    // Renames the top-level folder (the store's name in the profile), in one transaction. Never
    // passed on to a connected store's source: the name is the profile's own.
    void SetStoreName(const std::string& name);
    // Removes the folder when it holds no items and no subfolders (and is not the root or the
    // store's Deleted Items); true when it was removed.
    bool RemoveFolderIfEmpty(int64_t folder);
    bool IsInDeletedItems(int64_t folder);
    // The folder the store names as its Deleted Items, else "Deleted Items" under the top.
    std::optional<int64_t> FindDeletedItems();
    // Makes `folder` (not the top-level one) the store's Deleted Items, in one transaction.
    void SetDeletedItemsFolder(int64_t folder);

    // Items.
    const FolderOrder& ItemOrder(int64_t folder);  // folder order, cached
    bool ItemExists(int64_t item);
    struct ItemPlace {
        int64_t folder;
        int64_t seq;  // its order number there
    };
    ItemPlace PlaceOf(int64_t item);  // raises kMapiNotFound for an item deleted for good
    int64_t AddItem(int64_t folder, const ItemData& data);
    size_t AddItems(int64_t folder, std::span<const ItemData> items);
    void MoveItem(int64_t item, int64_t destFolder);
    // Copies the item with its properties into `dest` (another store) and removes it here;
    // returns its id in `dest`. Three transactions: the copy together with a transit marker
    // naming the original (flushed to disk before going on), the removal of the original
    // (flushed too), the marker cleared. A process that ends between them leaves the marker,
    // and CompleteMove (run by Profile::Open) finishes the move, so the item ends up in exactly
    // one store. After a failure of the removal the copy is taken back.
    int64_t MoveItemToStore(int64_t item, StoreDb& dest, int64_t destFolder);
    // The unfinished moves into this store (none when it has no transit table).
    std::vector<PendingMove> PendingMoves();
    // Finishes a move into this store from `source` (the store named by `move`): removes the
    // original when the copy still exists here, then clears the marker.
    void CompleteMove(const PendingMove& move, StoreDb& source);
    // Moves the item to the store's Deleted Items (FindDeletedItems; "Deleted Items" created
    // when there is none), or removes it for good when it is there already.
    void DeleteItem(int64_t item);

    // Properties. Props gives the item's properties from the cache (one query on a miss),
    // nullptr for an item that does not exist.
    std::shared_ptr<CachedProps> Props(int64_t item);
    // Reads into the cache the properties of the items of `folder` from 0-based position `pos`
    // on (up to 64 of them, as far as the cache holds them) when the one at `pos` is not there
    // yet: a walk through a folder then costs one statement per stretch of items instead of one
    // per item. Items whose ids lie too far apart are left to Props. Never raises: what it
    // could not read is left to Props, which raises where a read of the item would. The cache
    // is only filled, never wrong, either way.
    void ReadAhead(int64_t folder, size_t pos);
    std::optional<PropValue> GetProp(int64_t item, uint32_t tag);
    // What becomes of a mail's body kept in its source (TextFromSource) when all of an item's
    // properties are read: read from the message, or kept as the store's marker (for a copy
    // into another store, which takes the source along).
    enum class SourceTexts { Read, Keep };
    std::vector<std::pair<uint32_t, PropValue>> AllProps(int64_t item, SourceTexts texts = SourceTexts::Read);
    // `sourceTexts` false: without a mail's body kept in its source (the properties a scan and
    // a run's record read, nothing unpacked), through the property cache.
    ItemData ReadItem(int64_t item, bool sourceTexts = true);
    void ForEachItem(int64_t folder, const std::function<void(int64_t, const ItemData&)>& visit);
    int32_t ItemClass(int64_t item);  // OlObjectClass from the message class

    // Named properties: the property identifier (0x8000..0xFFFE), 0 when unknown and not
    // `create`.
    uint16_t NamedId(const NamedPropertyKey& key, bool create);
    std::optional<NamedPropertyKey> NameOf(uint16_t propId);

    // The item ids of each of `folders`, in folder order, read by one query and so from one
    // snapshot of the store: an item moved between two of them meanwhile is seen in exactly one.
    std::vector<std::vector<int64_t>> ItemIdsSnapshot(std::span<const int64_t> folders);

    // Item ids of `folder` satisfying all conditions, in folder order.
    std::vector<int64_t> Search(int64_t folder, const std::vector<Condition>& conditions);

    void CheckIntegrity(std::vector<std::string>& problems);
    // Writes a consistent copy of the whole store, as of one moment, to `file` (which must not
    // exist; made private to the user). The copy is a store of its own with the same uid, so
    // entry IDs read in it name the same items here. Raises kMapiDiskError or kMapiNoAccess
    // naming the file; a part-written copy is removed.
    void BackupTo(const std::filesystem::path& file);
    // SQLite's quick check of the file, run once per connection before its first change (and
    // whenever a caller asks before relying on searches): a damaged store is never written
    // to, and a scan never runs on one that would quietly find less than it holds. Raises
    // kMapiCorruptData naming the file and the first problem; the store is not changed. A file
    // untouched since it was last found sound (its record "<file>-sound", StoreMoves.cpp) is
    // not read through again.
    void RequireSound();

    // Raises the MAPI status for a failed SQLite call, naming this store's file.
    [[noreturn]] void Fail(int rc, const std::string& what);

    // --- Connected stores (Upstream.h): the file is the cache of a source kept elsewhere ---
    // With an upstream attached, MoveItem, DeleteItem and CreateFolder change the source first
    // (the upstream then applies the change here); without one the file is a plain store.
    void SetUpstream(std::shared_ptr<Upstream> upstream) { upstream_ = std::move(upstream); }
    // Reads the file through a memory mapping (up to kMappedBytes) rather than a system call
    // and a copy per page: for a connected store's cache, a private file of ours in the user's
    // cache folder, which a run reads whole. Best effort: never raises; without a mapping the
    // file is read as before.
    void MapForReading();
    Upstream* GetUpstream() const { return upstream_.get(); }
    // Runs `body` with the upstream bypassed: changes reach the cache only (the upstream's own
    // half of a change, and synchronisation).
    void ApplyLocally(const std::function<void()>& body);
    // Runs `body` in one write transaction (joining an open one), so that a provider's own
    // tables in this file change together with the store's.
    void InTransaction(const std::function<void()>& body);
    // Both: the cache's half of a change (or a synchronisation's), with the upstream bypassed,
    // in one transaction with the provider's own rows.
    void ChangeLocally(const std::function<void()>& body) {
        ApplyLocally([&] { InTransaction(body); });
    }
    // The same for the cache's half of a change whose source half comes later: during a run it
    // may wait in the run's group (BeginGroupedChanges), and the caller commits the group
    // (CommitGroup) before it changes the source. Outside a run, as ChangeLocally. Raises what
    // beginning the transaction or `body` raises; what `body` changed is undone then.
    void ChangeLocallyGrouped(const std::function<void()>& body);
    // Commits what the run's group holds now. Raises what committing it raises, or the kept
    // failure of an earlier commit of the group (no longer raised by EndGroupedChanges then);
    // what the failed commits held is undone.
    void CommitGroup();
    // The connection, for a provider's own tables (statements it prepares itself; they must
    // be finalised before the StoreDb goes).
    sqlite3* Handle() const { return db_; }
    // Removes an item, or a folder with its items and subfolders, for good (what the source
    // lost), in one transaction.
    void RemoveItem(int64_t item);
    void RemoveFolder(int64_t folder);
    // Renames a folder in this file only (a source's name shown anew). Raises
    // kMapiInvalidParameter for an empty name or the top-level folder, kMapiCollision when a
    // folder beside it has the name; nothing changes then.
    void RenameFolder(int64_t folder, const std::string& name);

    // --- Sources (ItemSource.h): what an item was made of, kept whole beside it ---
    // In a table of their own (sources: item id, kind, envelope, fingerprint, size and the zstd
    // frame), so that no scan, search or property cache ever reads them. A row goes with its
    // item (a trigger on items), a move within the store changes none, MoveItemToStore carries
    // it along in the copy's transaction. AddItem(s) store an item's Source with it.
    // The item's source, nullopt when it has none.
    std::optional<ItemSource> ReadSource(int64_t item);
    // For a listing, by item id: the size of each item of `folder` that has one to tell, in
    // bytes: its source's length once unpacked; without an upstream, an item without a source
    // tells the total length of its property values. One query; nothing is unpacked.
    std::vector<std::pair<int64_t, uint64_t>> ItemSizes(int64_t folder);
    // By folder id: the unread mail and posts (message class IPM.Note or IPM.Post or a
    // subclass, PR_MESSAGE_FLAGS without MSGFLAG_READ) of every folder that has any. One query.
    std::vector<std::pair<int64_t, int64_t>> UnreadCounts();
    // The body of a mail read from its source (kept there alone, see StoreSql.h). Raises
    // kMapiCorruptData naming the file when the source is missing or damaged.
    std::string TextFromSource(int64_t item);
    // Adds items in one transaction, all or nothing, as `produce` hands them over batch by
    // batch through the function it is given: memory holds one batch, however many items.
    size_t AddItemsInBatches(int64_t folder,
                             const std::function<void(const std::function<void(std::span<const ItemData>)>&)>& produce);
    // A page cache of `kib` KiB while a bulk import or a whole-file check runs (their pages are
    // read or written once and not again); the scan's own size comes back when the returned
    // object goes.
    std::shared_ptr<void> LimitCache(int64_t kib);
    // For a bulk import, while the returned object lives: the page cache of LimitCache(kib),
    // and the WAL copied back into the file once the import is done (when it goes) rather than
    // every 32 MiB during it (up to kBulkWalPages), so that index pages the import's batches
    // change again and again are written back once.
    std::shared_ptr<void> BulkWrite(int64_t kib);

    // A removal run's moves and deletions in this store grouped (until the matching
    // EndGroupedChanges; runs may nest): they share one write transaction, committed every
    // kGroupChanges changes or kGroupTime, whenever a change of another kind comes, and at the
    // end; each change stays all or nothing within it. Between them the scan's reads share one
    // read transaction, renewed as often, instead of taking the file's locks for each
    // statement. A process that ends loses at most the uncommitted group: its items are all
    // still where they were, and the next run finds them again. A connected store (its source
    // takes each change at once) and a read-only one group their reads only.
    void BeginGroupedChanges();
    // Commits what the group holds. Raises what committing any part of the group raised (the
    // kMapi* number of the SQLite failure, naming the file): those changes are undone, and the
    // caches show them so; a later run in the same process groups again.
    void EndGroupedChanges();
    // Between items of a scan: commits the group when it is due and renews the read
    // transaction, so that other programs' changes are seen and theirs are not held up long.
    void KeepGroupCurrent();
    // While the hold lives, this store's reads share one read transaction as a run's do (for
    // a burst of reads outside a run, such as describing what it removed); each statement
    // would otherwise take and release the file's locks. Meant for reads only: what was
    // changed meanwhile is committed when the hold goes, and a failure to commit it is lost.
    // Never raises: where the read transaction cannot begin, statements lock as before.
    std::shared_ptr<void> ReadTogether();
    // Whether a change of kind `operation` ("Move", "Delete") made now joins a run's group: it
    // is committed later, after the change observer is told (ChangeObserver::Committing), and
    // takes effect nowhere before. A connected store's move does: its cache half and intent
    // wait in the group, which is committed before the source moves (Upstream::MoveItem). Its
    // deletion does not: the source deletes first.
    bool GroupingChanges(std::string_view operation) const {
        return GroupsCacheWrites() && (!upstream_ || operation == "Move");
    }

    class Stmt;
    class Txn;
    class Durable;
    friend class Txn;

private:
    explicit StoreDb(std::filesystem::path file);
    // `mode`: 0 read-write, 1 create, 2 read-only, 3 read-only without locks (immutable).
    void OpenConnection(int mode);
    int64_t CheckMarker();  // the file's format version
    void Upgrade(int64_t version);  // to the current format, in one transaction
    void InitSchema(const std::string& displayName, bool standardFolders, bool deletedItems);
    void LoadMeta();
    // Drops the caches when another connection changed the store. `exact`: ask SQLite now
    // (inside a write transaction this costs no locking); otherwise only when this process
    // changed the store through another connection or kForeignCheckInterval has passed.
    void SyncCache(bool exact = false);
    void DropCaches();
    void AfterCommit(std::function<void()> f);
    void WriteBackSeqs();
    void RemoveItemRows(int64_t item);
    void EnsureTransitTable();
    // Sources (StoreSources.cpp): stored with a new item, copied with one moved to `dest`.
    void InsertSource(int64_t item, const ItemSource& source, const std::vector<std::pair<uint32_t, PropValue>>& props);
    void CopySource(int64_t item, StoreDb& dest, int64_t destItem);
    void Fault(const char* point);
    // The record of a sound check (StoreMoves.cpp): the file's and its WAL's state, the record's
    // file, whether it names `state`, and writing it (best effort; never for a read-only opening).
    std::string FileState() const;
    std::filesystem::path SoundRecord() const;
    bool RecordedSound(const std::string& state) const;
    void RecordSound(const std::string& state) const;
    // Prep takes literal SQL only (statements are keyed by the literal's address).
    Stmt& Prep(const char* sql);
    void RunLiteral(const char* sql);
    Stmt& PrepDynamic(const std::string& sql);
    int64_t InsertItem(int64_t folder, const ItemData& data);
    int64_t InsertItemProps(int64_t folder, const std::vector<std::pair<uint32_t, PropValue>>& props);
    // Writes one property row; true when a text got its folded copy (it is searched by index
    // and read with the item, not deferred).
    bool InsertProp(int64_t item, uint32_t tag, const PropValue& v);
    void InsertPacked(int64_t item, const CachedProps& p);  // the item's packed row
    void FillPacked();  // a packed row for every item without one, from its property rows
    int64_t TakeSeq(int64_t folder);
    int64_t DeletedItemsFolder();  // FindDeletedItems, created when there is none
    void Exec(const char* sql);
    std::vector<std::pair<uint32_t, PropValue>> PropsFor(const ItemData& data);
    // Replaces every text of `props` kept in the item's source by the text read from it.
    void ReadSourceTexts(int64_t item, std::vector<std::pair<uint32_t, PropValue>>& props);
    ItemData ToItemData(const std::vector<std::pair<uint32_t, PropValue>>& props);

    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
    std::array<uint8_t, 16> uid_{};
    std::string storeIdHex_;
    int64_t root_ = 0;
    // Statements of literal SQL, keyed by the literal's address, and generated ones (searches)
    // keyed by their text.
    std::unordered_map<const char*, std::unique_ptr<Stmt>> stmts_;
    std::unordered_map<std::string, std::unique_ptr<Stmt>> dynStmts_;
    // What the searches' looks into the indexes found so far, per property and operator: how
    // many looks, and the rows they counted (each at most the look's limit).
    struct IndexLooks {
        uint32_t looks = 0;
        uint64_t rows = 0;
        uint32_t skipped = 0;  // searches since the last look that trusted this record instead
    };
    std::unordered_map<uint64_t, IndexLooks> indexLooks_;
    std::unordered_map<int64_t, FolderOrder> order_;
    std::unordered_map<int64_t, int64_t> nextSeq_;  // committed next_seq per folder
    std::unordered_map<int64_t, int64_t> txnSeq_;   // next_seq taken in the open transaction
    std::unordered_map<int64_t, std::shared_ptr<CachedProps>> props_;
    // The order props_ was filled in (ids of entries dropped since may still be here), so the
    // oldest entry leaves first; and one such entry nobody else held, whose vectors the next
    // item reuses. Dropping all entries at once, and allocating each item's anew, cost a scan
    // a tenth of its time in the allocator.
    std::deque<int64_t> propsOrder_;
    std::shared_ptr<CachedProps> spareProps_;
    std::shared_ptr<CachedProps> EmptyProps();  // the spare entry, else a new one
    void KeepProps(int64_t item, std::shared_ptr<CachedProps> p);  // into the cache, oldest out
    void ReadAheadOrRaise(int64_t folder, size_t pos);  // ReadAhead, raising what a read raises
    std::unordered_map<std::string, uint16_t> namedIds_;  // "{GUID}/lid" -> prop id
    std::unordered_map<uint16_t, NamedPropertyKey> namedKeys_;
    std::map<NamedPropertyKey, uint16_t> givenNamedIds_;  // keys as callers spell them, committed ids
    int64_t dataVersion_ = -1;
    uint64_t seenChanges_ = 0;  // the process-wide change counter when last checked
    std::chrono::steady_clock::time_point lastCheck_{};
    bool hasTransit_ = false;
    bool readOnly_ = false;
    bool wrote_ = false;  // this connection committed a change
    int txnDepth_ = 0;
    // Grouped changes: how many runs asked for them, the group's transaction, since when it is
    // open, how many changes it holds, SQLite's change count when it opened, and a failed
    // commit not yet reported.
    enum class Group { Closed, Reading, Writing };
    int groupRuns_ = 0;
    Group group_ = Group::Closed;
    std::chrono::steady_clock::time_point groupSince_{};
    int groupChanges_ = 0;
    int64_t groupTotalAtOpen_ = 0;
    std::optional<AutomationError> groupFailure_;
    bool GroupsReads() const { return groupRuns_ > 0 && !groupFailure_; }
    bool GroupsCacheWrites() const { return GroupsReads() && !readOnly_; }
    bool GroupsWrites() const { return GroupsCacheWrites() && !upstream_; }
    void OpenGroup(bool write);  // a reading or writing transaction; raises like BEGIN
    void CloseGroup();           // commits it; a failure is kept for EndGroupedChanges
    void RaiseGroupFailure();    // raises the kept failure, if any, and forgets it
    // Whether SQLite ended the group's transaction itself (an I/O failure rolls it back); a
    // group that had changed anything is then a failure kept for EndGroupedChanges.
    bool GroupDropped();
    void SawOwnCommit();
    // Runs `sql` (a BEGIN) and checks for other connections' changes, rolling back if that fails.
    void Begin(const char* sql);
    // RequireSound's verdict: nullopt until checked, else the problem ("" for a sound file).
    std::optional<std::string> damage_;
    std::vector<std::function<void()>> onCommit_;
    std::shared_ptr<Upstream> upstream_;  // connected stores only
    int localDepth_ = 0;                  // > 0 inside ApplyLocally
    bool ToUpstream() const { return upstream_ && localDepth_ == 0; }
};

}  // namespace nubra::store
