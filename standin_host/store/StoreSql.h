// Internal to the store: the SQLite wrapper its parts share (prepared statements, the write
// transaction, commits flushed to disk) and the constants they agree on. Included by the
// store's own .cpp files only.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "standin_host/store/ChangeObserver.h"
#include "standin_host/store/Sql.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::store {

namespace detail {

inline constexpr const char* kSource = "NubraStore";

// Texts whose case-folded form is longer than this keep no folded copy (tfold) and so stay out
// of the index: bodies would otherwise be stored three times (text, folded copy, index key).
// A restriction on such a text folds the stored value while it searches. Files written before
// kept folded copies up to 4096 bytes of the original text; the searches below are exact for
// both (see Translate).
inline constexpr size_t kFoldLimit = 512;
// Case folding shrinks UTF-8 text at most threefold (a 3-byte letter folding to 1 byte), so a
// longer text needs no folding to know it exceeds kFoldLimit.
inline constexpr size_t kMaxFoldShrink = 3;

// A mail's body that its reader took from the message kept as the item's source is stored
// there alone: its props row holds no text (tval NULL) and this one byte in bval, and the text
// is read from the message when asked (StoreDb::TextFromSource). Text rows have no bval
// otherwise.
inline constexpr uint8_t kTextInSource = 1;
inline PropValue TextInSource() { return PropValue{0x001E, 0, {}, {kTextInSource}}; }
inline bool IsTextInSource(const PropValue& v) { return v.type == 0x001E && !v.bytes.empty(); }

// Items copied in from another store whose original may still be there (see MoveItemToStore).
inline constexpr const char* kTransitTable =
    "CREATE TABLE IF NOT EXISTS transit(item_id INTEGER PRIMARY KEY, src_store BLOB NOT NULL, "
    "src_item INTEGER NOT NULL)";

// What items were made of (ItemSource.h), one row per item that has a source, and the
// trigger that removes it with its item (format 3). `data` comes last: the short columns of a
// row are read without touching its overflow pages.
inline constexpr const char* kSourcesSchema = R"sql(
CREATE TABLE IF NOT EXISTS sources(
  item_id INTEGER PRIMARY KEY,
  kind INTEGER NOT NULL,
  envelope TEXT,
  fingerprint INTEGER,
  size INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE TRIGGER IF NOT EXISTS sources_follow_items AFTER DELETE ON items BEGIN
  DELETE FROM sources WHERE item_id = old.id;
END;
)sql";

// Each item's properties as its first read wants them, one row per item (PackedProps.h), and
// the trigger that removes it with its item (format 4). The property rows stay what searches
// and long texts are read from; an item without a packed row is read from them.
inline constexpr const char* kPackedSchema = R"sql(
CREATE TABLE IF NOT EXISTS packed(item_id INTEGER PRIMARY KEY, data BLOB NOT NULL);
CREATE TRIGGER IF NOT EXISTS packed_follow_items AFTER DELETE ON items BEGIN
  DELETE FROM packed WHERE item_id = old.id;
END;
)sql";

// The WAL a bulk import lets grow before it is copied back into the file (BulkWrite): 256 MiB.
inline constexpr int64_t kBulkWalPages = 65536;

// Generated search statements kept prepared (one per shape of restriction).
inline constexpr size_t kSearchStmtCacheSize = 64;

// Bumped after every commit of any store connection of this process, so that another
// connection of this process to the same file checks PRAGMA data_version at once.
extern std::atomic<uint64_t> gChanges;

inline uint32_t TypeOf(uint32_t tag) { return tag & 0xFFFF; }
inline uint32_t IdOf(uint32_t tag) { return tag >> 16; }

// Raises kMapiInvalidParameter with `what`.
[[noreturn]] void Invalid(const std::string& what);

}  // namespace detail

class StoreDb::Stmt : public SqlStatement {
public:
    // Kept prepared for the connection's life; failures name the store's file.
    Stmt(StoreDb& db, const char* sql)
        : SqlStatement(db.db_, sql, [&db](int rc, const std::string& what) { db.Fail(rc, what); }, true) {}
};

namespace detail {

// Resets a cached statement when the scope ends, whatever way it ends.
using Use = SqlUse<StoreDb::Stmt>;

}  // namespace detail

// One write transaction (BEGIN IMMEDIATE). Rolled back unless committed. Nested Txn objects
// join the outer one. The outer one checks for other connections' changes once it holds the
// write lock (so the caches are exact for the change), writes the folders' order counters back
// just before COMMIT, and runs the AfterCommit callbacks (cache updates) once committed.
// A groupable change (a move or deletion) made while a removal run groups the store's changes
// (StoreDb::BeginGroupedChanges) is a savepoint of the group's transaction instead: all or
// nothing like any other, on disk when the group is committed. Any other change commits the
// group first. A connected store's own changes go to its source at once and are never grouped;
// only the cache's half of a change whose source half comes later (kCacheGroupable) may be.
class StoreDb::Txn {
public:
    enum Kind { kOwn, kGroupable, kCacheGroupable };
    explicit Txn(StoreDb& db, Kind kind = kOwn) : db_(db), outer_(db.txnDepth_ == 0) {
        if (outer_) {
            db.onCommit_.clear();
            db.txnSeq_.clear();
            if ((kind == kGroupable && db.GroupsWrites()) || (kind == kCacheGroupable && db.GroupsCacheWrites())) {
                db.OpenGroup(true);
                db.RunLiteral("SAVEPOINT change");
                grouped_ = true;
            } else {
                db.CloseGroup();
                db.RequireSound();
                db.Begin("BEGIN IMMEDIATE");
            }
        }
        ++db.txnDepth_;
    }
    void Commit() {
        if (outer_) {
            db_.WriteBackSeqs();
            if (!grouped_) TellCommitting(db_.StoreIdHex());
            db_.RunLiteral(grouped_ ? "RELEASE change" : "COMMIT");
            committed_ = true;
            --db_.txnDepth_;
            for (const auto& [folder, next] : db_.txnSeq_) db_.nextSeq_[folder] = next;
            db_.txnSeq_.clear();
            if (grouped_) {
                ++db_.groupChanges_;
            } else {
                db_.wrote_ = true;
                db_.SawOwnCommit();
            }
            auto callbacks = std::move(db_.onCommit_);
            db_.onCommit_.clear();
            for (auto& f : callbacks) f();
            if (grouped_) db_.KeepGroupCurrent();
        } else {
            committed_ = true;
            --db_.txnDepth_;
        }
    }
    ~Txn() {
        if (committed_) return;
        --db_.txnDepth_;
        if (outer_) {
            if (grouped_) {
                sqlite3_exec(db_.db_, "ROLLBACK TO change; RELEASE change", nullptr, nullptr, nullptr);
                db_.GroupDropped();
            } else {
                sqlite3_exec(db_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            db_.onCommit_.clear();
            db_.txnSeq_.clear();
        }
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;

private:
    StoreDb& db_;
    bool outer_;
    bool grouped_ = false;
    bool committed_ = false;
};

// Commits of the next transactions with synchronous FULL: used where the order in which two
// store files reach the disk matters.
class StoreDb::Durable {
public:
    explicit Durable(StoreDb& db) : db_(db) {
        db.CloseGroup();  // what a run grouped is committed first, under the setting it was made with
        db.Exec("PRAGMA synchronous=FULL");
    }
    ~Durable() { sqlite3_exec(db_.db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr); }
    Durable(const Durable&) = delete;
    Durable& operator=(const Durable&) = delete;

private:
    StoreDb& db_;
};

}  // namespace nubra::store
