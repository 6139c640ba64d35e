// One information store: opening, creating and upgrading the file, folders, items and their
// properties. The SQLite wrapper is in StoreSql, searches in StoreSearch, moves between stores
// and the integrity checks in StoreMoves.
#include "standin_host/store/StoreDb.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <unordered_set>
#include <variant>

#include "host/AutomationDates.h"
#include "host/MAPIUtils.h"
#include "host/Outlook.h"
#include "standin_host/store/PackedProps.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/StoreSql.h"
#include "standin_host/store/Upstream.h"

namespace nubra::store {

using namespace detail;

namespace {

constexpr int32_t kApplicationId = 0x4E425354;  // 'NBST'
constexpr int32_t kSchemaVersion = 4;

const char* kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE folders(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent_id INTEGER REFERENCES folders(id),
  name TEXT NOT NULL,
  item_type INTEGER NOT NULL,
  next_seq INTEGER NOT NULL DEFAULT 1);
CREATE UNIQUE INDEX folders_name ON folders(parent_id, name);
CREATE TABLE items(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  folder_id INTEGER NOT NULL REFERENCES folders(id),
  seq INTEGER NOT NULL);
CREATE UNIQUE INDEX items_order ON items(folder_id, seq);
CREATE TABLE named(
  prop_id INTEGER PRIMARY KEY CHECK(prop_id BETWEEN 32768 AND 65534),
  guid TEXT NOT NULL,
  lid INTEGER NOT NULL CHECK(lid BETWEEN 0 AND 65535),
  UNIQUE(guid, lid));
)sql";

// The property table, created under the name given (a new file's, or the one an upgrade fills
// before it takes the old one's place), and its indexes.
std::string PropsTable(const char* name) {
    return std::string("CREATE TABLE ") + name +
           "(item_id INTEGER NOT NULL, tag INTEGER NOT NULL, ival INTEGER, tfold TEXT, bval BLOB, tval TEXT)";
}
const char* kPropsIndexes = R"sql(
CREATE UNIQUE INDEX props_key ON props(item_id, tag);
CREATE INDEX props_int ON props(tag, ival, item_id) WHERE ival IS NOT NULL;
CREATE INDEX props_str ON props(tag, tfold, item_id) WHERE tfold IS NOT NULL;
)sql";

// Every connection that writes. WAL lets a reader see the store as of its last commit while a
// scan moves items; NORMAL syncs at checkpoints only, which keeps every commit atomic (a crash
// loses at most the latest commits, never half of one). Checkpoints come after 32 MB of WAL
// rather than 4 MB: a scan's moves touch the same index pages again and again, and each
// checkpoint writes them back to the file once. The page cache (64 MiB at most, filled as
// pages are read) holds what a scan reads again: the upper levels of the indexes its searches
// go through and the pages of the items it is looking at; the rest comes from the operating
// system's cache of the file when needed.
const char* kConnectionPragmas =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536; "
    "PRAGMA temp_store=MEMORY; PRAGMA wal_autocheckpoint=8192;";

// Format 1 kept the item's folder in every property row, so that the indexes served one folder;
// a move then rewrote all of them. It also kept the rows in their key's b-tree (WITHOUT
// ROWID), where every key comparison against a row with a long text (a body) reads the whole
// text from its overflow pages. Format 2 leaves the folder to the item, keeps the rows in a
// rowid table with long texts last, and finds them through small indexes.
const char* kUpgradeFrom1 = R"sql(
INSERT INTO props_v2(item_id, tag, ival, tfold, bval, tval)
  SELECT item_id, tag, ival, tfold, bval, tval FROM props ORDER BY item_id, tag;
DROP TABLE props;
ALTER TABLE props_v2 RENAME TO props;
)sql";

// Item property sets kept in memory; a scan reads an item's properties several times while it
// looks at the item, then moves on, so a small cache serves it.
constexpr size_t kPropsCacheSize = 512;

bool SupportedType(uint32_t type) {
    return type == mapi::PT_LONG || type == mapi::PT_BOOLEAN || type == mapi::PT_STRING8 ||
           type == mapi::PT_SYSTIME || type == mapi::PT_BINARY;
}

Date UtcNow() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return dates::FromUnixMillis(ms);
}

PropValue Str(const std::string& s) { return PropValue{mapi::PT_STRING8, 0, s, {}}; }
PropValue Time(Date d) { return PropValue{mapi::PT_SYSTIME, DateToFileTime(d), {}, {}}; }
PropValue Long(int32_t v) { return PropValue{mapi::PT_LONG, v, {}, {}}; }

std::string FirstLine(const std::string& body) {
    auto end = body.find_first_of("\r\n");
    return end == std::string::npos ? body : body.substr(0, end);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Opening and creating

StoreDb::StoreDb(std::filesystem::path file) : file_(std::move(file)) {}

StoreDb::~StoreDb() {
    CloseGroup();  // a run that let go without ending its group: what it did stands
    stmts_.clear();
    dynStmts_.clear();
    // Known sound and changed through SQLite only: the file as closing left it needs no check by
    // the next run. The WAL is copied back first, so that the state recorded is the one the file
    // keeps: statements other objects still hold may put off the close itself.
    const bool sound = db_ && wrote_ && damage_ && damage_->empty();
    if (sound) sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    if (db_) sqlite3_close_v2(db_);
    if (sound) RecordSound(FileState());
}

int64_t StoreDb::CheckMarker() {
    int64_t appId = 0, version = 0;
    {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA application_id", -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(s);
            if (rc == SQLITE_ROW) appId = sqlite3_column_int64(s, 0), rc = SQLITE_OK;
        }
        sqlite3_finalize(s);
        if ((rc & 0xFF) == SQLITE_NOTADB)
            RaiseError(errnum::kMapiCorruptData,
                       "\"" + file_.string() + "\" is not a message store (not a database file)",
                       kSource);
        if (rc != SQLITE_OK) Fail(rc, "cannot read the store's marker");
    }
    if (appId != kApplicationId)
        RaiseError(errnum::kMapiCorruptData,
                   "\"" + file_.string() + "\" is not a Nubrasweep message store (foreign database)",
                   kSource);
    {
        auto& s = Prep("PRAGMA user_version");
        Use u(s);
        if (u->Step()) version = u->Int(0);
    }
    if (version > kSchemaVersion)
        RaiseError(errnum::kMapiNoSupport,
                   "\"" + file_.string() + "\" was written by a newer version of the store (format " +
                       std::to_string(version) + ")",
                   kSource);
    if (version < 1)
        RaiseError(errnum::kMapiCorruptData,
                   "\"" + file_.string() + "\" is damaged: its format version is missing", kSource);
    return version;
}

void StoreDb::Upgrade(int64_t version) {
    if (version >= kSchemaVersion) return;
    // One transaction: a file is in the old format or the new one, never in between.
    try {
        Txn t(*this);
        if (version < 2) {
            Exec(PropsTable("props_v2").c_str());
            Exec(kUpgradeFrom1);
            Exec(kPropsIndexes);
        }
        // Format 3 keeps what items were made of; older items simply have no source.
        Exec(kSourcesSchema);
        // Format 4 keeps each item's properties packed in one row as well.
        if (version < 4) {
            Exec(kPackedSchema);
            FillPacked();
        }
        Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        t.Commit();
    } catch (const AutomationError& e) {
        RaiseError(e.Number(),
                   "\"" + file_.string() + "\" could not be brought to the current format (" +
                       std::to_string(kSchemaVersion) + ") from format " + std::to_string(version) + ": " +
                       e.Description(),
                   kSource);
    }
}

void StoreDb::LoadMeta() {
    // Every table must be there with the columns we use; a file that lacks one is damaged.
    static const char* probes[] = {
        "SELECT key, value FROM meta LIMIT 0",
        "SELECT id, parent_id, name, item_type, next_seq FROM folders LIMIT 0",
        "SELECT id, folder_id, seq FROM items LIMIT 0",
        "SELECT item_id, tag, ival, tval, tfold, bval FROM props LIMIT 0",
        "SELECT prop_id, guid, lid FROM named LIMIT 0",
        "SELECT item_id, kind, envelope, fingerprint, size, data FROM sources LIMIT 0",
        "SELECT item_id, data FROM packed LIMIT 0",
    };
    for (const char* p : probes) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db_, p, -1, &s, nullptr);
        sqlite3_finalize(s);
        if (rc != SQLITE_OK) {
            if ((rc & 0xFF) == SQLITE_ERROR)
                RaiseError(errnum::kMapiCorruptData,
                           "\"" + file_.string() + "\" is damaged: " + sqlite3_errmsg(db_), kSource);
            Fail(rc, "cannot read the store");
        }
    }
    {
        auto& s = Prep("SELECT value FROM meta WHERE key = 'uid'");
        Use u(s);
        if (!u->Step())
            RaiseError(errnum::kMapiCorruptData, "\"" + file_.string() + "\" is damaged: no store id",
                       kSource);
        auto b = u->Blob(0);
        if (b.size() != 16)
            RaiseError(errnum::kMapiCorruptData,
                       "\"" + file_.string() + "\" is damaged: bad store id", kSource);
        std::copy(b.begin(), b.end(), uid_.begin());
    }
    storeIdHex_ = ToHex(uid_);
    {
        auto& s = Prep("SELECT id FROM folders WHERE parent_id IS NULL ORDER BY id");
        Use u(s);
        if (!u->Step())
            RaiseError(errnum::kMapiCorruptData,
                       "\"" + file_.string() + "\" is damaged: no top-level folder", kSource);
        root_ = u->Int(0);
    }
    {
        auto& s = Prep("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'transit'");
        Use u(s);
        hasTransit_ = u->Step();
    }
}

std::shared_ptr<StoreDb> StoreDb::Open(const std::filesystem::path& file, bool readOnly) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec))
        RaiseError(errnum::kMapiNotFound, "store file \"" + file.string() + "\" does not exist", kSource);
    if (std::filesystem::is_directory(file, ec))
        RaiseError(errnum::kMapiCorruptData,
                   "\"" + file.string() + "\" is a folder, not a message store", kSource);
    if (readOnly) {
        // SQLite reads a WAL file through a shared-memory file beside it; in a folder this user
        // cannot write, where none can be made, the file is read as it stands.
        for (int mode : {2, 3}) {
            auto db = std::shared_ptr<StoreDb>(new StoreDb(file));
            try {
                db->OpenConnection(mode);
                if (db->CheckMarker() < kSchemaVersion)
                    RaiseError(errnum::kMapiNoSupport,
                               "\"" + file.string() + "\" is in an older format; run a command that writes to it "
                               "(e.g. 'nubrasweep tree' as its owner) once to upgrade it",
                               kSource);
                db->Exec("PRAGMA cache_size=-65536; PRAGMA temp_store=MEMORY;");
                db->LoadMeta();
                return db;
            } catch (const AutomationError& e) {
                if (mode == 3 || e.Number() == errnum::kMapiCorruptData || e.Number() == errnum::kMapiNoSupport)
                    throw;
            }
        }
    }
    auto db = std::shared_ptr<StoreDb>(new StoreDb(file));
    db->OpenConnection(0);
    const int64_t version = db->CheckMarker();
    int rc = sqlite3_exec(db->db_, kConnectionPragmas, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) db->Fail(rc, "cannot prepare the store for writing");
    db->Upgrade(version);
    db->LoadMeta();
    return db;
}

std::shared_ptr<StoreDb> StoreDb::Create(const std::filesystem::path& file,
                                         const std::string& displayName, bool standardFolders,
                                         bool deletedItems) {
    std::error_code ec;
    if (std::filesystem::exists(file, ec))
        RaiseError(errnum::kMapiCollision, "store file \"" + file.string() + "\" exists already", kSource);
    if (displayName.empty()) Invalid("a new store needs a display name");
    auto remove = [&] {
        std::filesystem::remove(file, ec);
        std::filesystem::remove(file.string() + "-wal", ec);
        std::filesystem::remove(file.string() + "-shm", ec);
        std::filesystem::remove(file.string() + "-journal", ec);
    };
    try {
        // Mail is private: the file (and so SQLite's -wal and -shm, which take its mode) is the
        // user's alone, whatever the umask.
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            RaiseError(errno == ENOSPC ? errnum::kMapiDiskError : errnum::kMapiNoAccess,
                       "cannot create the store file \"" + file.string() + "\": " + std::strerror(errno), kSource);
        ::close(fd);
        auto db = std::shared_ptr<StoreDb>(new StoreDb(file));
        db->damage_ = std::string();  // new and empty: nothing to check
        db->OpenConnection(1);
        db->InitSchema(displayName, standardFolders, deletedItems);
        db->LoadMeta();
        return db;
    } catch (...) {
        remove();
        throw;
    }
}

void StoreDb::InitSchema(const std::string& displayName, bool standardFolders, bool deletedItems) {
    Exec(kConnectionPragmas);
    Txn t(*this);
    Exec(kSchema);
    Exec(PropsTable("props").c_str());
    Exec(kPropsIndexes);
    Exec(kTransitTable);
    Exec(kSourcesSchema);
    Exec(kPackedSchema);
    Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
    Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    std::random_device rd;
    std::array<uint8_t, 16> uid{};
    for (auto& b : uid) b = static_cast<uint8_t>(rd());
    {
        auto& s = Prep("INSERT INTO meta(key, value) VALUES ('uid', ?)");
        Use u(s);
        u->Bind(1, std::span<const uint8_t>(uid));
        u->Run();
    }
    {
        auto& s = Prep("INSERT INTO meta(key, value) VALUES ('format', 'nubrasweep-store')");
        Use u(s);
        u->Run();
    }
    int64_t root = 0;
    {
        auto& s = Prep("INSERT INTO folders(parent_id, name, item_type) VALUES (NULL, ?, 0)");
        Use u(s);
        u->Bind(1, displayName);
        u->Run();
        root = sqlite3_last_insert_rowid(db_);
    }
    auto& s = Prep("INSERT INTO folders(parent_id, name, item_type) VALUES (?, ?, ?)");
    for (const auto& f : kStandardFolders) {
        const bool deleted = std::string(f.name) == kDeletedItemsName;
        if (deleted ? !deletedItems : !standardFolders) continue;
        Use u(s);
        u->Bind(1, root).Bind(2, std::string(f.name)).Bind(3, f.type);
        u->Run();
    }
    t.Commit();
}

// ---------------------------------------------------------------------------------------
// Entry IDs

std::vector<uint8_t> StoreDb::EntryId(uint8_t kind, int64_t id) const {
    std::vector<uint8_t> e(29, 0);
    for (size_t i = 0; i < 16; ++i) e[4 + i] = uid_[i];
    e[20] = kind;
    for (size_t i = 0; i < 8; ++i) e[21 + i] = static_cast<uint8_t>(static_cast<uint64_t>(id) >> (56 - 8 * i));
    return e;
}

std::optional<int64_t> StoreDb::ParseEntryId(std::span<const uint8_t> e, uint8_t kind) const {
    if (e.size() != 29 || e[0] || e[1] || e[2] || e[3]) return std::nullopt;
    if (!std::equal(uid_.begin(), uid_.end(), e.begin() + 4)) return std::nullopt;
    if (e[20] != kind) return std::nullopt;
    int64_t id = 0;
    for (size_t i = 21; i < 29; ++i) id = (id << 8) | e[i];
    return id;
}

// ---------------------------------------------------------------------------------------
// Folders

StoreDb::FolderRow StoreDb::Folder(int64_t id) {
    auto& s = Prep("SELECT parent_id, name, item_type FROM folders WHERE id = ?");
    Use u(s);
    u->Bind(1, id);
    if (!u->Step())
        RaiseError(errnum::kMapiNotFound,
                   "the folder no longer exists (store file \"" + file_.string() + "\")", kSource);
    FolderRow r;
    r.id = id;
    if (!u->IsNull(0)) r.parent = u->Int(0);
    r.name = u->Text(1);
    r.itemType = static_cast<int32_t>(u->Int(2));
    return r;
}

bool StoreDb::FolderExists(int64_t id) {
    auto& s = Prep("SELECT 1 FROM folders WHERE id = ?");
    Use u(s);
    u->Bind(1, id);
    return u->Step();
}

std::vector<int64_t> StoreDb::Subfolders(int64_t parent) {
    auto& s = Prep("SELECT id FROM folders WHERE parent_id = ? ORDER BY id");
    Use u(s);
    u->Bind(1, parent);
    std::vector<int64_t> r;
    while (u->Step()) r.push_back(u->Int(0));
    return r;
}

std::optional<int64_t> StoreDb::SubfolderByName(int64_t parent, const std::string& name) {
    auto& s = Prep("SELECT id FROM folders WHERE parent_id = ? AND name = ?");
    Use u(s);
    u->Bind(1, parent).Bind(2, name);
    if (u->Step()) return u->Int(0);
    return std::nullopt;
}

int StoreDb::FolderDepth(int64_t folder) {
    int depth = 0;
    // A store made elsewhere may hold a loop: the walk stops past what a store may hold.
    for (auto f = Folder(folder).parent; f && depth <= kMaxFolderDepth + 1; f = Folder(*f).parent) ++depth;
    return depth;
}

int64_t StoreDb::CreateFolder(int64_t parent, const std::string& name, int32_t itemType) {
    if (name.empty()) Invalid("a folder needs a name");
    if (itemType < 0 || itemType > 7) Invalid("folder item type " + std::to_string(itemType) + " is not 0 to 7");
    if (FolderExists(parent) && FolderDepth(parent) >= kMaxFolderDepth)
        Invalid("the folder \"" + name + "\" would be more than " + std::to_string(kMaxFolderDepth) +
                " levels deep, more than a folder may be (store file \"" + file_.string() + "\")");
    // Connected store: the folder is made at the source first (Upstream.h).
    if (ToUpstream()) {
        if (SubfolderByName(parent, name))
            RaiseError(errnum::kMapiCollision,
                       "a folder named \"" + name + "\" exists already (store file \"" + file_.string() + "\")",
                       kSource);
        return upstream_->CreateFolder(*this, parent, name, [&] { return CreateFolder(parent, name, itemType); });
    }
    Txn t(*this);
    if (!FolderExists(parent))
        RaiseError(errnum::kMapiNotFound,
                   "the parent folder no longer exists (store file \"" + file_.string() + "\")", kSource);
    if (SubfolderByName(parent, name))
        RaiseError(errnum::kMapiCollision,
                   "a folder named \"" + name + "\" exists already (store file \"" + file_.string() + "\")",
                   kSource);
    auto& s = Prep("INSERT INTO folders(parent_id, name, item_type) VALUES (?, ?, ?)");
    int64_t id = 0;
    {
        Use u(s);
        u->Bind(1, parent).Bind(2, name).Bind(3, itemType);
        u->Run();
        id = sqlite3_last_insert_rowid(db_);
    }
    t.Commit();
    return id;
}

void StoreDb::SetStoreName(const std::string& name) {
    if (name.empty()) Invalid("a store needs a name");
    Txn t(*this);
    {
        Use u(Prep("UPDATE folders SET name = ? WHERE id = ?"));
        u->Bind(1, name).Bind(2, root_);
        u->Run();
    }
    t.Commit();
}

bool StoreDb::RemoveFolderIfEmpty(int64_t folder) {
    auto removable = [&] {
        if (folder == root_ || !FolderExists(folder) || !Subfolders(folder).empty() || ItemOrder(folder).size() != 0)
            return false;
        auto deleted = FindDeletedItems();
        return !deleted || *deleted != folder;
    };
    // Connected store: gone from the source first, and only then from the cache, so that the
    // next synchronisation does not bring it back.
    if (ToUpstream()) {
        if (!removable()) return false;
        upstream_->RemoveFolder(*this, folder, [&] { RemoveFolderIfEmpty(folder); });
        return !FolderExists(folder);
    }
    Txn t(*this);
    if (!removable()) return false;
    {
        auto& s = Prep("DELETE FROM folders WHERE id = ?");
        Use u(s);
        u->Bind(1, folder);
        u->Run();
    }
    AfterCommit([this, folder] {
        order_.erase(folder);
        nextSeq_.erase(folder);
    });
    t.Commit();
    return true;
}

// ---------------------------------------------------------------------------------------
// Deleted Items: the folder Delete moves items into. A store may name any of its folders as
// its Deleted Items (meta key 'deleted_items' holding the folder's id), as a store made from a
// file of the client does with the file's own wastebasket, whatever it is called. Otherwise,
// and when the named folder is gone, it is "Deleted Items" under the top-level folder, created
// on first use.

std::optional<int64_t> StoreDb::FindDeletedItems() {
    {
        auto& s = Prep("SELECT f.id FROM meta m JOIN folders f ON f.id = m.value WHERE m.key = 'deleted_items'");
        Use u(s);
        if (u->Step()) return u->Int(0);
    }
    return SubfolderByName(root_, kDeletedItemsName);
}

void StoreDb::SetDeletedItemsFolder(int64_t folder) {
    Txn t(*this);
    if (!FolderExists(folder))
        RaiseError(errnum::kMapiNotFound,
                   "the folder no longer exists (store file \"" + file_.string() + "\")", kSource);
    if (folder == root_) Invalid("the top-level folder cannot be the store's Deleted Items");
    auto& s = Prep("INSERT OR REPLACE INTO meta(key, value) VALUES ('deleted_items', ?)");
    {
        Use u(s);
        u->Bind(1, folder);
        u->Run();
    }
    t.Commit();
}

int64_t StoreDb::DeletedItemsFolder() {
    if (auto id = FindDeletedItems()) return *id;
    if (ToUpstream()) return upstream_->DeletedItemsFolder(*this);
    return CreateFolder(root_, kDeletedItemsName, 0);  // joins the caller's transaction
}

bool StoreDb::IsInDeletedItems(int64_t folder) {
    auto deleted = FindDeletedItems();
    if (!deleted) return false;
    std::optional<int64_t> f = folder;
    for (int guard = 0; f && guard < 10000; ++guard) {
        if (*f == *deleted) return true;
        f = Folder(*f).parent;
    }
    return false;
}
// (end of Deleted Items)

// ---------------------------------------------------------------------------------------
// Items

const FolderOrder& StoreDb::ItemOrder(int64_t folder) {
    SyncCache();
    auto it = order_.find(folder);
    if (it != order_.end()) return it->second;
    std::vector<int64_t> seqs, ids;
    auto& s = Prep("SELECT seq, id FROM items WHERE folder_id = ? ORDER BY seq");
    {
        Use u(s);
        u->Bind(1, folder);
        while (u->Step()) {
            seqs.push_back(u->Int(0));
            ids.push_back(u->Int(1));
        }
    }
    return order_.emplace(folder, FolderOrder(std::move(seqs), std::move(ids))).first->second;
}

bool StoreDb::ItemExists(int64_t item) {
    auto& s = Prep("SELECT 1 FROM items WHERE id = ?");
    Use u(s);
    u->Bind(1, item);
    return u->Step();
}

StoreDb::ItemPlace StoreDb::PlaceOf(int64_t item) {
    auto& s = Prep("SELECT folder_id, seq FROM items WHERE id = ?");
    Use u(s);
    u->Bind(1, item);
    if (!u->Step())
        RaiseError(errnum::kMapiNotFound,
                   "the item no longer exists (store file \"" + file_.string() + "\")", kSource);
    return {u->Int(0), u->Int(1)};
}

// Within a write transaction: the folder's next order number, counted on in memory and
// written back once before COMMIT.
int64_t StoreDb::TakeSeq(int64_t folder) {
    int64_t next = 0;
    if (auto it = txnSeq_.find(folder); it != txnSeq_.end()) {
        next = it->second;
    } else if (auto c = nextSeq_.find(folder); c != nextSeq_.end()) {
        next = c->second;
    } else {
        auto& s = Prep("SELECT next_seq FROM folders WHERE id = ?");
        Use u(s);
        u->Bind(1, folder);
        if (!u->Step())
            RaiseError(errnum::kMapiNotFound,
                       "the folder no longer exists (store file \"" + file_.string() + "\")", kSource);
        next = u->Int(0);
    }
    txnSeq_[folder] = next + 1;
    return next;
}

void StoreDb::WriteBackSeqs() {
    for (const auto& [folder, next] : txnSeq_) {
        auto& s = Prep("UPDATE folders SET next_seq = ? WHERE id = ?");
        Use u(s);
        u->Bind(1, next).Bind(2, folder);
        u->Run();
        if (sqlite3_changes(db_) != 1)
            RaiseError(errnum::kMapiNotFound,
                       "the folder no longer exists (store file \"" + file_.string() + "\")", kSource);
    }
}

std::vector<std::pair<uint32_t, PropValue>> StoreDb::PropsFor(const ItemData& data) {
    std::map<uint32_t, PropValue> m;
    auto check = [](uint32_t tag, const PropValue& v) {
        if (!SupportedType(v.type) || TypeOf(tag) != v.type)
            Invalid("property 0x" + ToHex(std::vector<uint8_t>{static_cast<uint8_t>(tag >> 24),
                                                              static_cast<uint8_t>(tag >> 16),
                                                              static_cast<uint8_t>(tag >> 8),
                                                              static_cast<uint8_t>(tag)}) +
                    " has a value of another type");
        if (v.type == mapi::PT_LONG && (v.integer < INT32_MIN || v.integer > INT32_MAX))
            Invalid("a PT_LONG value is out of range");
    };
    // A text given with bytes beside it keeps its text alone: bytes on a text row are the
    // store's own marker of a text kept in the source (TextInSource).
    auto put = [&](uint32_t tag, const PropValue& v) {
        m[tag] = v;
        if (v.type == mapi::PT_STRING8) m[tag].bytes.clear();
    };
    for (const auto& [tag, v] : data.extraTagged) {
        if (IdOf(tag) >= 0x8000 || tag == tags::PR_ENTRYID)
            Invalid("property tag " + std::to_string(tag) + " cannot be set by tag");
        check(tag, v);
        put(tag, v);
    }
    auto named = [&](const char* guid, uint16_t lid) {
        return static_cast<uint32_t>(NamedId(NamedPropertyKey{guid, lid}, true)) << 16;
    };
    for (const auto& [key, v] : data.extraNamed) {
        uint32_t tag = (static_cast<uint32_t>(NamedId(key, true)) << 16) | v.type;
        check(tag, v);
        put(tag, v);
    }
    std::string mc = data.MessageClass ? *data.MessageClass : MessageClassFor(data.Class);
    if (mc.empty()) Invalid("item class " + std::to_string(data.Class) + " is not known");
    const int32_t cls = ClassForMessageClass(mc);
    m[tags::PR_MESSAGE_CLASS] = Str(mc);
    // The kinds' own named properties are known to the store as soon as an item of the kind
    // exists, as the mail client registers them.
    switch (cls) {
        case outlook::olAppointment:
            named(PSETID_Appointment, kLidLocation);
            named(PSETID_Appointment, kLidAppointmentStart);
            named(PSETID_Appointment, kLidAppointmentEnd);
            break;
        case outlook::olTask:
            named(PSETID_Task, kLidTaskStatus);
            named(PSETID_Task, kLidTaskStartDate);
            named(PSETID_Task, kLidTaskDueDate);
            break;
        case outlook::olContact: named(PSETID_Address, kLidEmail1Address); break;
        case outlook::olNote: named(PSETID_Note, kLidNoteColor); break;
        default: break;
    }
    // Pointers, not copies: bodies are large.
    const std::string* subject = data.Subject ? &*data.Subject : nullptr;
    const std::string* body = data.Body ? &*data.Body : nullptr;
    std::string noteSubject;
    if (cls == outlook::olNote) {
        // A note has no subject of its own: it is the first line of the text.
        if (!body && subject) body = subject;
        if (body) {
            noteSubject = FirstLine(*body);
            subject = &noteSubject;
        }
    }
    if (subject) {
        m[tags::PR_SUBJECT] = Str(*subject);
        if (!data.extraTagged.count(tags::PR_CONVERSATION_TOPIC) || cls == outlook::olNote)
            m[tags::PR_CONVERSATION_TOPIC] = Str(*subject);
    }
    // A mail's body that its reader took from the message kept as its source stays there alone.
    const bool bodyInSource = body && (cls == outlook::olMail || cls == outlook::olPost) && data.Source &&
                              data.Source->kind == ItemSource::Kind::Mime && data.Source->bodyDigest &&
                              *data.Source->bodyDigest == ItemSource::BodyDigest(*body);
    if (body) m[tags::PR_BODY] = bodyInSource ? TextInSource() : Str(*body);
    m[tags::PR_CREATION_TIME] = Time(data.CreationTime ? *data.CreationTime : UtcNow());
    if (data.SentOn) m[tags::PR_CLIENT_SUBMIT_TIME] = Time(*data.SentOn);
    auto str = [&](uint32_t tag, const std::optional<std::string>& v) {
        if (v) m[tag] = Str(*v);
    };
    str(tags::PR_INTERNET_MESSAGE_ID, data.InternetMessageID);
    str(tags::PR_SENDER_NAME, data.SenderName);
    str(tags::PR_DISPLAY_TO, data.To);
    str(tags::PR_DISPLAY_CC, data.Cc);
    str(tags::PR_GIVEN_NAME, data.FirstName);
    str(tags::PR_SURNAME, data.LastName);
    str(tags::PR_COMPANY_NAME, data.CompanyName);
    str(tags::PR_DISPLAY_NAME, data.FullName);
    if (data.Email1Address)
        m[named(PSETID_Address, kLidEmail1Address) | mapi::PT_STRING8] = Str(*data.Email1Address);
    if (data.Location) m[named(PSETID_Appointment, kLidLocation) | mapi::PT_STRING8] = Str(*data.Location);
    if (data.Start) m[named(PSETID_Appointment, kLidAppointmentStart) | mapi::PT_SYSTIME] = Time(*data.Start);
    if (data.End) m[named(PSETID_Appointment, kLidAppointmentEnd) | mapi::PT_SYSTIME] = Time(*data.End);
    if (data.Status) m[named(PSETID_Task, kLidTaskStatus) | mapi::PT_LONG] = Long(*data.Status);
    if (data.StartDate) m[named(PSETID_Task, kLidTaskStartDate) | mapi::PT_SYSTIME] = Time(*data.StartDate);
    if (data.DueDate) m[named(PSETID_Task, kLidTaskDueDate) | mapi::PT_SYSTIME] = Time(*data.DueDate);
    if (data.Color) m[named(PSETID_Note, kLidNoteColor) | mapi::PT_LONG] = Long(*data.Color);
    // Every task has a status and every note a colour in the client; new ones get the
    // client's defaults (not started, yellow) so that searches on them find the item.
    if (cls == outlook::olTask && !data.Status) m[named(PSETID_Task, kLidTaskStatus) | mapi::PT_LONG] = Long(0);
    if (cls == outlook::olNote && !data.Color) m[named(PSETID_Note, kLidNoteColor) | mapi::PT_LONG] = Long(3);
    return {std::make_move_iterator(m.begin()), std::make_move_iterator(m.end())};
}

bool StoreDb::InsertProp(int64_t item, uint32_t tag, const PropValue& v) {
    auto& s = Prep("INSERT INTO props(item_id, tag, ival, tval, tfold, bval) VALUES (?,?,?,?,?,?)");
    Use u(s);
    u->Bind(1, item).Bind(2, static_cast<int64_t>(tag));
    bool folded = false;
    switch (v.type) {
        case mapi::PT_LONG:
        case mapi::PT_SYSTIME: u->Bind(3, v.integer); break;
        case mapi::PT_BOOLEAN: u->Bind(3, static_cast<int64_t>(v.integer != 0)); break;
        case mapi::PT_STRING8:
            if (IsTextInSource(v)) {
                u->BindStatic(6, std::span<const uint8_t>(v.bytes));
                break;
            }
            u->BindStatic(4, v.text);  // bodies are large: no copy
            if (v.text.size() <= kFoldLimit * kMaxFoldShrink) {
                std::string f = FoldCase(v.text);
                if (f.size() <= kFoldLimit) u->Bind(5, f), folded = true;
            }
            break;
        case mapi::PT_BINARY: u->BindStatic(6, std::span<const uint8_t>(v.bytes)); break;
        default: Invalid("unsupported property type");
    }
    u->Run();
    return folded;
}

namespace {
// What a read of the row InsertProp wrote for `tag` gives (RowValue), into `p`; false for a
// value whose type is not its tag's, which only the rows themselves tell right.
bool AddAsRead(CachedProps& p, uint32_t tag, const PropValue& v, bool folded) {
    if (v.type != TypeOf(tag)) return false;
    PropValue r;
    r.type = v.type;
    switch (v.type) {
        case mapi::PT_LONG:
        case mapi::PT_SYSTIME: r.integer = v.integer; break;
        case mapi::PT_BOOLEAN: r.integer = v.integer != 0; break;
        case mapi::PT_STRING8:
            if (IsTextInSource(v)) r = TextInSource();
            else if (folded) r.text = v.text;
            if (!folded) p.deferred.push_back(tag);
            break;
        case mapi::PT_BINARY: r.bytes = v.bytes; break;
        default: break;
    }
    p.props.emplace_back(tag, std::move(r));
    return true;
}
}  // namespace

int64_t StoreDb::InsertItemProps(int64_t folder,
                                 const std::vector<std::pair<uint32_t, PropValue>>& props) {
    int64_t seq = TakeSeq(folder);
    int64_t id = 0;
    {
        auto& s = Prep("INSERT INTO items(folder_id, seq) VALUES (?, ?)");
        Use u(s);
        u->Bind(1, folder).Bind(2, seq);
        u->Run();
        id = sqlite3_last_insert_rowid(db_);
    }
    // The packed copy is what reading the rows gives: sorted by tag, long texts deferred.
    std::vector<std::pair<uint32_t, const PropValue*>> byTag;
    byTag.reserve(props.size());
    for (const auto& [tag, v] : props) byTag.emplace_back(tag, &v);
    std::sort(byTag.begin(), byTag.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    CachedProps read;
    bool packable = true;
    for (const auto& [tag, v] : byTag) packable = AddAsRead(read, tag, *v, InsertProp(id, tag, *v)) && packable;
    if (packable) InsertPacked(id, read);
    AfterCommit([this, folder, seq, id] {
        if (auto it = order_.find(folder); it != order_.end()) it->second.Insert(seq, id);
    });
    return id;
}

void StoreDb::InsertPacked(int64_t item, const CachedProps& p) {
    const std::string data = PackProps(p);
    Use u(Prep("INSERT INTO packed(item_id, data) VALUES (?, ?)"));
    u->Bind(1, item).BindStatic(2, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    u->Run();
}

int64_t StoreDb::InsertItem(int64_t folder, const ItemData& data) {
    const auto props = PropsFor(data);
    const int64_t id = InsertItemProps(folder, props);
    if (data.Source) InsertSource(id, *data.Source, props);
    return id;
}

int64_t StoreDb::AddItem(int64_t folder, const ItemData& data) {
    Txn t(*this);
    int64_t id = InsertItem(folder, data);
    t.Commit();
    return id;
}

size_t StoreDb::AddItems(int64_t folder, std::span<const ItemData> items) {
    Txn t(*this);
    for (const auto& d : items) InsertItem(folder, d);
    t.Commit();
    return items.size();
}

void StoreDb::MoveItem(int64_t item, int64_t dest) {
    // Connected store: the source moves first, the cache after it (Upstream.h).
    if (ToUpstream()) {
        upstream_->MoveItem(*this, item, dest, [&] { MoveItem(item, dest); });
        return;
    }
    Txn t(*this, Txn::kGroupable);
    const ItemPlace src = PlaceOf(item);
    int64_t seq = TakeSeq(dest);
    {
        auto& s = Prep("UPDATE items SET folder_id = ?, seq = ? WHERE id = ?");
        Use u(s);
        u->Bind(1, dest).Bind(2, seq).Bind(3, item);
        u->Run();
    }
    AfterCommit([this, src, dest, seq, item] {
        if (auto it = order_.find(src.folder); it != order_.end()) it->second.Remove(src.seq);
        if (auto it = order_.find(dest); it != order_.end()) it->second.Insert(seq, item);
    });
    t.Commit();
}

// Within a write transaction: removes the item and its properties; nothing when it is gone.
void StoreDb::RemoveItemRows(int64_t item) {
    std::optional<ItemPlace> place;
    {
        auto& s = Prep("SELECT folder_id, seq FROM items WHERE id = ?");
        Use u(s);
        u->Bind(1, item);
        if (u->Step()) place = ItemPlace{u->Int(0), u->Int(1)};
    }
    if (!place) return;
    {
        auto& s = Prep("DELETE FROM props WHERE item_id = ?");
        Use u(s);
        u->Bind(1, item);
        u->Run();
    }
    {
        auto& s = Prep("DELETE FROM items WHERE id = ?");
        Use u(s);
        u->Bind(1, item);
        u->Run();
    }
    AfterCommit([this, src = *place, item] {
        if (auto it = order_.find(src.folder); it != order_.end()) it->second.Remove(src.seq);
        props_.erase(item);
    });
}

void StoreDb::DeleteItem(int64_t item) {
    // Connected store: each step reaches the source first, so none may run inside a cache
    // transaction (the upstream commits its intent before it touches the source).
    if (ToUpstream()) {
        if (!IsInDeletedItems(PlaceOf(item).folder)) {
            MoveItem(item, DeletedItemsFolder());
            return;
        }
        upstream_->RemoveItem(*this, item, [&] { RemoveItem(item); });
        return;
    }
    Txn t(*this, Txn::kGroupable);
    if (!IsInDeletedItems(PlaceOf(item).folder)) {
        int64_t dest = DeletedItemsFolder();
        MoveItem(item, dest);  // joins this transaction
        t.Commit();
        return;
    }
    RemoveItemRows(item);
    t.Commit();
}

// ---------------------------------------------------------------------------------------
// Connected stores: the cache's side of a change (Upstream.h)

void StoreDb::ApplyLocally(const std::function<void()>& body) {
    ++localDepth_;
    try {
        body();
    } catch (...) {
        --localDepth_;
        throw;
    }
    --localDepth_;
}

void StoreDb::InTransaction(const std::function<void()>& body) {
    Txn t(*this);
    body();
    t.Commit();
}

void StoreDb::MapForReading() {
    constexpr int64_t kMappedBytes = int64_t{256} << 20;
    sqlite3_exec(db_, ("PRAGMA mmap_size=" + std::to_string(kMappedBytes)).c_str(), nullptr, nullptr, nullptr);
}

void StoreDb::ChangeLocallyGrouped(const std::function<void()>& body) {
    ApplyLocally([&] {
        Txn t(*this, Txn::kCacheGroupable);
        body();
        t.Commit();
    });
}

void StoreDb::RemoveItem(int64_t item) {
    Txn t(*this);
    RemoveItemRows(item);
    t.Commit();
}

void StoreDb::RenameFolder(int64_t folder, const std::string& name) {
    if (name.empty()) Invalid("a folder needs a name");
    if (folder == root_) Invalid("the top-level folder is named with the store");
    Txn t(*this);
    const auto row = Folder(folder);
    if (auto other = SubfolderByName(*row.parent, name); other && *other != folder)
        RaiseError(errnum::kMapiCollision,
                   "a folder named \"" + name + "\" exists already (store file \"" + file_.string() + "\")", kSource);
    auto& s = Prep("UPDATE folders SET name = ? WHERE id = ?");
    {
        Use u(s);
        u->Bind(1, name).Bind(2, folder);
        u->Run();
    }
    t.Commit();
}

void StoreDb::RemoveFolder(int64_t folder) {
    if (folder == root_) Invalid("the top-level folder cannot be removed");
    Txn t(*this);
    // Children before parents: folders(parent_id) refers to the parent.
    std::vector<int64_t> order{folder};
    for (size_t i = 0; i < order.size(); ++i)
        for (int64_t sub : Subfolders(order[i])) order.push_back(sub);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        std::vector<int64_t> items;
        {
            auto& s = Prep("SELECT id FROM items WHERE folder_id = ?");
            Use u(s);
            u->Bind(1, *it);
            while (u->Step()) items.push_back(u->Int(0));
        }
        for (int64_t item : items) RemoveItemRows(item);
        auto& s = Prep("DELETE FROM folders WHERE id = ?");
        Use u(s);
        u->Bind(1, *it);
        u->Run();
        txnSeq_.erase(*it);
    }
    AfterCommit([this, order] {
        for (int64_t f : order) {
            order_.erase(f);
            nextSeq_.erase(f);
        }
    });
    t.Commit();
}

// ---------------------------------------------------------------------------------------
// Properties

namespace {
PropValue RowValue(uint32_t tag, const StoreDb::Stmt& s, int ival, int tval, int bval) {
    PropValue v;
    v.type = static_cast<uint16_t>(TypeOf(tag));
    switch (v.type) {
        case mapi::PT_LONG:
        case mapi::PT_BOOLEAN:
        case mapi::PT_SYSTIME: v.integer = s.Int(ival); break;
        case mapi::PT_STRING8:
            if (s.IsNull(tval) && !s.IsNull(bval)) return TextInSource();
            v.text = s.Text(tval);
            break;
        case mapi::PT_BINARY: v.bytes = s.Blob(bval); break;
        default: break;
    }
    return v;
}
}  // namespace

// Long texts and texts kept in the source are left out until asked for: a scan reads subjects
// and IDs, not bodies. Every other text row has its folded copy (tfold), so a text row without
// one is such a text; rows of other types need no tval. Columns: the tag, the value (RowValue's
// 1, 2, 3), whether the text is deferred, and in kPropsOfUnpacked the item.
#define NUBRA_PROPS_COLUMNS \
    "tag, ival, CASE WHEN tfold IS NULL THEN NULL ELSE tval END, bval, tfold IS NULL AND (tag & 65535) = 30"
constexpr const char* kPropsOfItem = "SELECT " NUBRA_PROPS_COLUMNS " FROM props WHERE item_id = ? ORDER BY tag";
constexpr const char* kPropsOfUnpacked = "SELECT " NUBRA_PROPS_COLUMNS ", item_id FROM props "
                                         "WHERE item_id NOT IN (SELECT item_id FROM packed) ORDER BY item_id, tag";
#undef NUBRA_PROPS_COLUMNS

// Items read ahead at once, and how far apart their ids may lie (as a multiple of their number)
// before the rows of other items in between cost more than the statements saved.
constexpr size_t kReadAheadItems = 64;
constexpr int64_t kReadAheadSpread = 2;
// Half the cache at most: the entries read ahead must outlast the reads of the items the walk
// compares them with.
static_assert(kReadAheadItems <= kPropsCacheSize / 2);

namespace {
// One row of kPropsOfItem or kPropsOfUnpacked into `p`.
void AddPropsRow(CachedProps& p, const StoreDb::Stmt& s) {
    auto tag = static_cast<uint32_t>(s.Int(0));
    p.props.emplace_back(tag, RowValue(tag, s, 1, 2, 3));
    if (s.Int(4)) p.deferred.push_back(tag);
}
}  // namespace

std::shared_ptr<CachedProps> StoreDb::EmptyProps() {
    std::shared_ptr<CachedProps> p;
    if (spareProps_ && spareProps_.use_count() == 1) {
        p = std::move(spareProps_);
        p->props.clear();
        p->deferred.clear();
    } else {
        p = std::make_shared<CachedProps>();
        p->props.reserve(16);  // a mail has about a dozen
    }
    return p;
}

void StoreDb::KeepProps(int64_t item, std::shared_ptr<CachedProps> p) {
    // Stale ids (entries dropped meanwhile) are bounded too: the queue holds at most twice the
    // cache's size.
    while (!propsOrder_.empty() &&
           (props_.size() >= kPropsCacheSize || propsOrder_.size() >= 2 * kPropsCacheSize)) {
        if (auto old = props_.find(propsOrder_.front()); old != props_.end()) {
            spareProps_ = std::move(old->second);
            props_.erase(old);
        }
        propsOrder_.pop_front();
    }
    if (props_.emplace(item, std::move(p)).second) propsOrder_.push_back(item);
}

std::shared_ptr<CachedProps> StoreDb::Props(int64_t item) {
    SyncCache();
    if (auto it = props_.find(item); it != props_.end()) return it->second;
    std::shared_ptr<CachedProps> p = EmptyProps();
    bool packed = false;
    {
        Use u(Prep("SELECT data FROM packed WHERE item_id = ?"));
        u->Bind(1, item);
        packed = u->Step() && UnpackProps(u->BlobView(0), *p);
    }
    if (!packed) {
        p->props.clear(), p->deferred.clear();
        Use u(Prep(kPropsOfItem));
        u->Bind(1, item);
        while (u->Step()) AddPropsRow(*p, *u);
        if (p->props.empty() && !ItemExists(item)) return nullptr;
    }
    // What a write transaction reads may still be rolled back: keep only committed state.
    if (txnDepth_ == 0) KeepProps(item, p);
    return p;
}

void StoreDb::ReadAhead(int64_t folder, size_t pos) {
    try {
        ReadAheadOrRaise(folder, pos);
    } catch (const AutomationError&) {
        // Left to Props, which raises where a read of the item itself would.
    }
}

void StoreDb::ReadAheadOrRaise(int64_t folder, size_t pos) {
    SyncCache();
    if (txnDepth_ != 0) return;  // what it would read might still be rolled back
    const FolderOrder& order = ItemOrder(folder);
    if (pos >= order.size() || props_.count(order.At(pos))) return;
    const size_t n = std::min(kReadAheadItems, order.size() - pos);
    std::unordered_set<int64_t> wanted;
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (size_t k = 0; k < n; ++k) {
        const int64_t id = order.At(pos + k);
        if (props_.count(id)) continue;
        wanted.insert(id);
        lo = std::min(lo, id), hi = std::max(hi, id);
    }
    if (wanted.size() < 2 || hi - lo >= kReadAheadSpread * static_cast<int64_t>(wanted.size())) return;
    // An item without a packed row, or with one that does not read, is left to Props.
    Use u(Prep("SELECT item_id, data FROM packed WHERE item_id BETWEEN ? AND ?"));
    u->Bind(1, lo).Bind(2, hi);
    while (u->Step()) {
        const int64_t id = u->Int(0);
        if (!wanted.count(id)) continue;  // another folder's item between ours
        std::shared_ptr<CachedProps> p = EmptyProps();
        if (UnpackProps(u->BlobView(1), *p) && !p->props.empty()) KeepProps(id, std::move(p));
    }
}

void StoreDb::FillPacked() {
    Use u(Prep(kPropsOfUnpacked));
    CachedProps p;
    int64_t current = 0;
    auto flush = [&] {
        if (!p.props.empty()) InsertPacked(current, p);
        p.props.clear(), p.deferred.clear();
    };
    while (u->Step()) {
        if (u->Int(5) != current) flush(), current = u->Int(5);
        AddPropsRow(p, *u);
    }
    flush();
}

std::optional<PropValue> StoreDb::GetProp(int64_t item, uint32_t tag) {
    auto p = Props(item);
    if (!p) return std::nullopt;
    auto it = std::lower_bound(p->props.begin(), p->props.end(), tag,
                               [](const auto& e, uint32_t t) { return e.first < t; });
    if (it == p->props.end() || it->first != tag) return std::nullopt;
    auto d = std::lower_bound(p->deferred.begin(), p->deferred.end(), tag);
    if (d != p->deferred.end() && *d == tag) {
        bool inSource = false;
        {
            auto& s = Prep("SELECT tval, tval IS NULL AND bval IS NOT NULL FROM props WHERE item_id = ? AND tag = ?");
            Use u(s);
            u->Bind(1, item).Bind(2, static_cast<int64_t>(tag));
            if (!u->Step()) {
                // Removed meanwhile by another process: forget what we had.
                props_.erase(item);
                return std::nullopt;
            }
            inSource = u->Int(1) != 0;
            if (!inSource) it->second.text = u->Text(0);
        }
        if (inSource) it->second = Str(TextFromSource(item));
        p->deferred.erase(d);
    }
    return it->second;
}

std::vector<std::pair<uint32_t, PropValue>> StoreDb::AllProps(int64_t item, SourceTexts texts) {
    std::vector<std::pair<uint32_t, PropValue>> r;
    bool inSource = false;
    {
        auto& s = Prep("SELECT tag, ival, tval, bval FROM props WHERE item_id = ? ORDER BY tag");
        Use u(s);
        u->Bind(1, item);
        while (u->Step()) {
            auto tag = static_cast<uint32_t>(u->Int(0));
            PropValue v = RowValue(tag, *u, 1, 2, 3);
            inSource = inSource || IsTextInSource(v);
            r.emplace_back(tag, std::move(v));
        }
    }
    if (inSource && texts == SourceTexts::Read) ReadSourceTexts(item, r);
    return r;
}

void StoreDb::ReadSourceTexts(int64_t item, std::vector<std::pair<uint32_t, PropValue>>& props) {
    for (auto& [tag, v] : props)
        if (IsTextInSource(v)) v = Str(TextFromSource(item));
}

int32_t StoreDb::ItemClass(int64_t item) {
    auto v = GetProp(item, tags::PR_MESSAGE_CLASS);
    return v ? ClassForMessageClass(v->text) : 0;
}

ItemData StoreDb::ToItemData(const std::vector<std::pair<uint32_t, PropValue>>& props) {
    ItemData d;
    std::string mc;
    std::optional<std::string> topic;
    for (const auto& [tag, v] : props) {
        if (IdOf(tag) >= 0x8000) {
            auto key = NameOf(static_cast<uint16_t>(IdOf(tag)));
            if (!key)
                RaiseError(errnum::kMapiCorruptData,
                           "an item property has no registered name (store file \"" + file_.string() + "\")",
                           kSource);
            auto is = [&](const char* guid, uint16_t lid, uint32_t type) {
                return key->guid == guid && key->id == lid && v.type == type;
            };
            if (is(PSETID_Address, kLidEmail1Address, mapi::PT_STRING8)) d.Email1Address = v.text;
            else if (is(PSETID_Appointment, kLidLocation, mapi::PT_STRING8)) d.Location = v.text;
            else if (is(PSETID_Appointment, kLidAppointmentStart, mapi::PT_SYSTIME)) d.Start = FileTimeToDate(v.integer);
            else if (is(PSETID_Appointment, kLidAppointmentEnd, mapi::PT_SYSTIME)) d.End = FileTimeToDate(v.integer);
            else if (is(PSETID_Task, kLidTaskStatus, mapi::PT_LONG)) d.Status = static_cast<int32_t>(v.integer);
            else if (is(PSETID_Task, kLidTaskStartDate, mapi::PT_SYSTIME)) d.StartDate = FileTimeToDate(v.integer);
            else if (is(PSETID_Task, kLidTaskDueDate, mapi::PT_SYSTIME)) d.DueDate = FileTimeToDate(v.integer);
            else if (is(PSETID_Note, kLidNoteColor, mapi::PT_LONG)) d.Color = static_cast<int32_t>(v.integer);
            else d.extraNamed[*key] = v;
            continue;
        }
        switch (tag) {
            case tags::PR_MESSAGE_CLASS: mc = v.text; break;
            case tags::PR_SUBJECT: d.Subject = v.text; break;
            case tags::PR_CONVERSATION_TOPIC: topic = v.text; break;
            case tags::PR_BODY: d.Body = v.text; break;
            case tags::PR_CREATION_TIME: d.CreationTime = FileTimeToDate(v.integer); break;
            case tags::PR_CLIENT_SUBMIT_TIME: d.SentOn = FileTimeToDate(v.integer); break;
            case tags::PR_INTERNET_MESSAGE_ID: d.InternetMessageID = v.text; break;
            case tags::PR_SENDER_NAME: d.SenderName = v.text; break;
            case tags::PR_DISPLAY_TO: d.To = v.text; break;
            case tags::PR_DISPLAY_CC: d.Cc = v.text; break;
            case tags::PR_GIVEN_NAME: d.FirstName = v.text; break;
            case tags::PR_SURNAME: d.LastName = v.text; break;
            case tags::PR_COMPANY_NAME: d.CompanyName = v.text; break;
            case tags::PR_DISPLAY_NAME: d.FullName = v.text; break;
            default: d.extraTagged[tag] = v; break;
        }
    }
    if (topic && topic != d.Subject) d.extraTagged[tags::PR_CONVERSATION_TOPIC] = Str(*topic);
    d.Class = ClassForMessageClass(mc);
    if (MessageClassFor(d.Class) != mc) d.MessageClass = mc;
    return d;
}

ItemData StoreDb::ReadItem(int64_t item, bool sourceTexts) {
    if (!sourceTexts) {
        // What the caches hold (an item just looked at has its properties there): no query but
        // for long texts not read yet.
        auto cached = Props(item);
        if (!cached)
            RaiseError(errnum::kMapiNotFound,
                       "the item no longer exists (store file \"" + file_.string() + "\")", kSource);
        std::vector<std::pair<uint32_t, PropValue>> props;
        props.reserve(cached->props.size());
        for (const auto& [tag, v] : cached->props) {
            if (IsTextInSource(v)) continue;
            if (std::binary_search(cached->deferred.begin(), cached->deferred.end(), tag)) {
                auto read = GetProp(item, tag);
                if (read && !IsTextInSource(*read)) props.emplace_back(tag, std::move(*read));
                continue;
            }
            props.emplace_back(tag, v);
        }
        return ToItemData(props);
    }
    auto props = AllProps(item, SourceTexts::Read);
    if (props.empty() && !ItemExists(item))
        RaiseError(errnum::kMapiNotFound,
                   "the item no longer exists (store file \"" + file_.string() + "\")", kSource);
    return ToItemData(props);
}

void StoreDb::ForEachItem(int64_t folder, const std::function<void(int64_t, const ItemData&)>& visit) {
    // Its own statement, so that `visit` may read through the cached ones.
    Stmt s(*this,
           "SELECT p.item_id, p.tag, p.ival, p.tval, p.bval FROM items i "
           "CROSS JOIN props p ON p.item_id = i.id WHERE i.folder_id = ? ORDER BY i.seq, p.tag");
    s.Bind(1, folder);
    int64_t current = -1;
    std::vector<std::pair<uint32_t, PropValue>> props;
    auto flush = [&] {
        if (current < 0) return;
        ReadSourceTexts(current, props);
        visit(current, ToItemData(props));
        props.clear();
    };
    while (s.Step()) {
        int64_t id = s.Int(0);
        if (id != current) {
            flush();
            current = id;
        }
        auto tag = static_cast<uint32_t>(s.Int(1));
        props.emplace_back(tag, RowValue(tag, s, 2, 3, 4));
    }
    flush();
}

std::vector<std::vector<int64_t>> StoreDb::ItemIdsSnapshot(std::span<const int64_t> folders) {
    // One statement reads one snapshot (WAL), whatever other connections commit meanwhile;
    // the folders' rows are sorted out afterwards.
    std::vector<std::vector<int64_t>> out(folders.size());
    if (folders.empty()) return out;
    std::string sql = "SELECT folder_id, id FROM items WHERE folder_id IN (";
    for (size_t i = 0; i < folders.size(); ++i) sql += i ? ",?" : "?";
    sql += ") ORDER BY folder_id, seq";
    Stmt s(*this, sql.c_str());
    for (size_t i = 0; i < folders.size(); ++i) s.Bind(static_cast<int>(i + 1), folders[i]);
    while (s.Step()) {
        const int64_t folder = s.Int(0);
        for (size_t i = 0; i < folders.size(); ++i)
            if (folders[i] == folder) out[i].push_back(s.Int(1));
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Named properties

uint16_t StoreDb::NamedId(const NamedPropertyKey& keyIn, bool create) {
    // Asked for the same few names with every item: known ones as given, without normalising.
    if (auto it = givenNamedIds_.find(keyIn); it != givenNamedIds_.end()) return it->second;
    auto guid = NormaliseGuid(keyIn.guid);
    if (!guid) Invalid("\"" + keyIn.guid + "\" is no property set GUID");
    std::string cacheKey = *guid + "/" + std::to_string(keyIn.id);
    if (auto it = namedIds_.find(cacheKey); it != namedIds_.end()) {
        if (givenNamedIds_.size() < 256) givenNamedIds_.emplace(keyIn, it->second);  // committed: kept for good
        return it->second;
    }
    NamedPropertyKey key{*guid, keyIn.id};
    auto remember = [this, cacheKey, key](uint16_t id) {
        // Only once committed: a number taken in a transaction that is rolled back is free again.
        AfterCommit([this, cacheKey, key, id] {
            namedIds_[cacheKey] = id;
            namedKeys_[id] = key;
        });
    };
    {
        auto& s = Prep("SELECT prop_id FROM named WHERE guid = ? AND lid = ?");
        Use u(s);
        u->Bind(1, *guid).Bind(2, static_cast<int64_t>(keyIn.id));
        if (u->Step()) {
            auto id = static_cast<uint16_t>(u->Int(0));
            remember(id);
            return id;
        }
    }
    if (!create) return 0;
    Txn t(*this);
    int64_t next = 0x8000;
    {
        auto& s = Prep("SELECT coalesce(max(prop_id) + 1, 32768) FROM named");
        Use u(s);
        if (u->Step()) next = u->Int(0);
    }
    if (next > 0xFFFE)
        RaiseError(errnum::kMapiCallFailed,
                   "the store has no room for further named properties (store file \"" + file_.string() + "\")",
                   kSource);
    {
        auto& s = Prep("INSERT INTO named(prop_id, guid, lid) VALUES (?, ?, ?)");
        Use u(s);
        u->Bind(1, next).Bind(2, *guid).Bind(3, static_cast<int64_t>(keyIn.id));
        u->Run();
    }
    remember(static_cast<uint16_t>(next));
    t.Commit();
    return static_cast<uint16_t>(next);
}

std::optional<NamedPropertyKey> StoreDb::NameOf(uint16_t propId) {
    if (auto it = namedKeys_.find(propId); it != namedKeys_.end()) return it->second;
    auto& s = Prep("SELECT guid, lid FROM named WHERE prop_id = ?");
    Use u(s);
    u->Bind(1, static_cast<int64_t>(propId));
    if (!u->Step()) return std::nullopt;
    NamedPropertyKey key{u->Text(0), static_cast<uint16_t>(u->Int(1))};
    std::string cacheKey = key.guid + "/" + std::to_string(key.id);
    AfterCommit([this, cacheKey, key, propId] {
        namedIds_[cacheKey] = propId;
        namedKeys_[propId] = key;
    });
    return key;
}

}  // namespace nubra::store
