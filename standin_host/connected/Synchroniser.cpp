#include "standin_host/connected/Synchroniser.h"

#include <algorithm>
#include <future>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "host/AutomationDates.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::connected {

namespace {

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

// A folder as messages name it: by its key at the source; the top of a tree, whose key is
// empty (a Maildir's Inbox), by what it is.
std::string Shown(const std::string& key) { return key.empty() ? "the top folder" : key; }

// A batch goes to the driver in one call (IMAP sends one command per 1,000 items, a Maildir a
// rename per file); the cap bounds what one failure puts back.
constexpr size_t kMovesPerBatch = 5000;
// What CompleteItem reads ahead at most (a few messages of a folder walked in order).
constexpr int64_t kReadAheadBytes = int64_t{8} << 20;
// New items read and added to the cache together during a synchronisation.
constexpr size_t kItemsReadAtOnce = 2000;

const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS conn_settings(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS conn_folders(folder_id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,
  validity TEXT NOT NULL DEFAULT '', state TEXT NOT NULL DEFAULT '', listed INTEGER NOT NULL DEFAULT -1);
CREATE TABLE IF NOT EXISTS conn_items(item_id INTEGER PRIMARY KEY, folder_id INTEGER NOT NULL, key TEXT NOT NULL,
  stamp TEXT NOT NULL DEFAULT '', size INTEGER NOT NULL DEFAULT 0, arrival INTEGER NOT NULL DEFAULT 0,
  flags TEXT NOT NULL DEFAULT '', note TEXT NOT NULL DEFAULT '', UNIQUE(folder_id, key));
CREATE TABLE IF NOT EXISTS conn_intents(item_id INTEGER PRIMARY KEY, src TEXT NOT NULL, validity TEXT NOT NULL,
  key TEXT NOT NULL, stamp TEXT NOT NULL, size INTEGER NOT NULL, arrival INTEGER NOT NULL, flags TEXT NOT NULL,
  note TEXT NOT NULL, dest TEXT NOT NULL, mark TEXT NOT NULL);
)sql";

// Caches written while each source kept tables of its own: the same rows in the shared ones.
// An intent of a Maildir is settled by the listing, which finds every file where it is.
const char* kFromMaildirTables = R"sql(
INSERT OR IGNORE INTO conn_folders(folder_id, key) SELECT folder_id, dir FROM md_folders;
INSERT OR IGNORE INTO conn_items(item_id, folder_id, key, stamp) SELECT item_id, folder_id, uniq, sub || '/' || name
  FROM md_items;
DROP TABLE md_folders; DROP TABLE md_items; DROP TABLE IF EXISTS md_intents;
)sql";
const char* kFromImapTables = R"sql(
INSERT OR IGNORE INTO conn_folders(folder_id, key, validity) SELECT folder_id, mailbox,
  CASE uidvalidity WHEN 0 THEN '' ELSE CAST(uidvalidity AS TEXT) END FROM im_folders;
INSERT OR IGNORE INTO conn_items(item_id, folder_id, key, size, arrival, flags) SELECT item_id, folder_id,
  CAST(uid AS TEXT), coalesce(size, 0), coalesce(internal, 0), coalesce(flags, '') FROM im_items WHERE uid != 0;
INSERT OR IGNORE INTO conn_intents(item_id, src, validity, key, stamp, size, arrival, flags, note, dest, mark)
  SELECT item_id, src, CAST(uidvalidity AS TEXT), CAST(uid AS TEXT), '', coalesce(size, 0), coalesce(internal, 0),
  '', '', dest, CAST(dest_uidnext AS TEXT) FROM im_intents;
DROP TABLE im_folders; DROP TABLE im_items; DROP TABLE IF EXISTS im_intents;
)sql";

std::string Count(size_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

// What one synchronisation found changed: per folder listed anew, its items and glance.
struct Synchroniser::Listing {
    struct Folder {
        std::string key;
        Glance glance;
        bool rebuilt = false;  // every key of the folder means another item now
        std::vector<SourceItem> items;
    };
    std::map<int64_t, Folder> folders;
};

Synchroniser::Synchroniser(std::unique_ptr<Driver> driver, std::string kind, store::StoreDb& cache)
    : driver_(std::move(driver)), kind_(std::move(kind)), sql_(cache),
      changes_(SourceLockFile(kind_, driver_->Source())) {}

// ------------------------------------------------------------------ tables and keys

void Synchroniser::PrepareTables(store::StoreDb& cache) {
    cache.InTransaction([&] {
        sql_.Exec(kTables);
        auto has = [&](const char* table) {
            return sql_.IntOf("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", std::string(table))
                .has_value();
        };
        if (has("md_folders")) sql_.Exec(kFromMaildirTables);
        if (has("im_folders")) sql_.Exec(kFromImapTables);
    });
}

std::optional<Synchroniser::Row> Synchroniser::RowOf(int64_t item) {
    auto& st = sql_.Prep("SELECT folder_id, key, stamp, size, arrival, flags, note FROM conn_items WHERE item_id = ?");
    CacheSql::Use u(st);
    u->Bind(1, item);
    if (!u->Step()) return std::nullopt;
    return Row{u->Int(0), SourceItem{u->Text(1), u->Text(2), u->Int(3), u->Int(4), u->Text(5), u->Text(6)}};
}

std::optional<std::string> Synchroniser::KeyOf(int64_t folder) {
    return sql_.TextOf("SELECT key FROM conn_folders WHERE folder_id = ?", folder);
}

std::optional<int64_t> Synchroniser::FolderOf(const std::string& key) {
    return sql_.IntOf("SELECT folder_id FROM conn_folders WHERE key = ?", key);
}

void Synchroniser::WriteRow(int64_t id, int64_t folder, const SourceItem& i) {
    // What INSERT OR REPLACE does, without the statement journal it takes: inside a run's group
    // (a savepoint) the end of each such statement walks the group's whole journal, so a batch
    // of moves would cost the square of its length.
    sql_.Run("DELETE FROM conn_items WHERE item_id = ? OR (folder_id = ? AND key = ?)", id, folder, i.key);
    sql_.Run("INSERT INTO conn_items(item_id, folder_id, key, stamp, size, arrival, flags, note) "
             "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
             id, folder, i.key, i.stamp, i.size, i.arrivalMs, i.flags, i.note);
}

void Synchroniser::RequireSynced() const {
    if (!lastError_.empty())
        Raise(errnum::kMapiCallFailed,
              driver_->Name() + " could not be synchronised, so nothing there is changed: " + lastError_);
}

store::Upstream::LockPlace Synchroniser::RunLockFor(store::StoreDb&, int64_t folder) {
    // Refused before the run changes anything; the run synchronises once it holds the lock.
    driver_->RequireMoves();
    return {SourceLockFile(kind_, driver_->Source()),
            static_cast<int64_t>(Fnv1a(KeyOf(folder).value_or("")) & 0x3FFFFFFF)};
}

// ------------------------------------------------------------------ synchronisation

void Synchroniser::Synchronise(store::StoreDb& cache) {
    try {
        SynchroniseNow(cache);
        lastError_.clear();
    } catch (const AutomationError& e) {
        lastError_ = e.Description();
        driver_->Reset();  // a connection in an unknown state is not used again
        throw;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        driver_->Reset();
        Raise(errnum::kMapiCallFailed, driver_->Name() + " could not be synchronised: " + lastError_);
    }
}

void Synchroniser::SynchroniseNow(store::StoreDb& cache) {
    PrepareTables(cache);
    SendPending(cache);
    // While another process has changes under way, the cache and the source differ by them and
    // a listing would take them for another client's. A run (and any change of a source whose
    // changes are quick) waits for them; an opening shows a source of long batches as it stands.
    const auto held = runs_ > 0 || !driver_->MovesSets() ? HoldChanges(cache) : changes_.TryHold();
    if (!held) {
        warnings_.push_back("another nubrasweep is changing " + driver_->Name() +
                            " right now; it is shown as last synchronised");
        return;
    }
    SettleIntents(cache);
    std::vector<std::string> warnings;
    const auto folders = ReconcileFolders(cache, warnings);
    auto listing = ListChanged(folders, warnings);
    ApplyListing(cache, listing, warnings);
    for (auto& w : sql_.NewWarnings(warnings)) warnings_.push_back(std::move(w));
}

// Brings the cache's folders to the source's: a folder made for each new one (with the
// containers on its path), one gone from the source gone from the cache with its items. Returns
// the folders that hold items, by cache folder.
std::map<int64_t, std::string> Synchroniser::ReconcileFolders(store::StoreDb& cache,
                                                              std::vector<std::string>& warnings) {
    auto sources = driver_->ListFolders(warnings);
    if (sources.empty()) Raise(errnum::kMapiNotFound, driver_->Name() + " holds no folder any more");
    // What cannot be a folder of a store (too deep, a name too long) is passed over.
    std::erase_if(sources, [&](const SourceFolder& f) {
        const std::string why = FolderPathProblem(f.path);
        if (!why.empty()) warnings.push_back("the folder \"" + f.key + "\" of " + driver_->Name() + " is passed over: " + why);
        return !why.empty();
    });
    std::map<int64_t, std::string> holding;
    cache.ChangeLocally([&] {
        // The folders that stand for a source folder of this listing already: no other may take
        // one of them (two names shown alike).
        std::set<int64_t> taken;
        for (const auto& f : sources)
            if (auto known = FolderOf(f.key); known && cache.FolderExists(*known)) taken.insert(*known);
        std::map<std::vector<std::string>, int64_t> byPath;
        std::set<std::string> present;
        std::optional<int64_t> trash;
        for (const auto& f : sources) {
            const auto id = PlaceFolder(cache, f, byPath, taken);
            if (!id) {
                warnings.push_back("the folder \"" + f.key + "\" of " + driver_->Name() +
                                   " is passed over: another folder is shown under the same name");
                continue;
            }
            present.insert(f.key);
            if (f.holdsItems) holding[*id] = f.key;
            if (f.trash && !trash) trash = *id;
        }
        ForgetFoldersGone(cache, present);
        // The source's Deleted Items; a source without one gets it when something is first
        // deleted.
        if (trash) cache.SetDeletedItemsFolder(*trash);
    });
    return holding;
}

// Takes out of the cache the folders of keys not `present` at the source any more (deleted or
// renamed by another client, or passed over now), the rows of their items, the items the rows
// do not name (a cache of an older program), and the containers that stand for nothing.
void Synchroniser::ForgetFoldersGone(store::StoreDb& cache, const std::set<std::string>& present) {
    std::vector<std::pair<std::string, int64_t>> gone;
    std::set<int64_t> mapped;  // the folders that stay
    {
        auto& st = sql_.Prep("SELECT key, folder_id FROM conn_folders");
        CacheSql::Use u(st);
        while (u->Step()) {
            if (present.count(u->Text(0))) mapped.insert(u->Int(1));
            else gone.emplace_back(u->Text(0), u->Int(1));
        }
    }
    for (const auto& [key, id] : gone) {
        if (cache.FolderExists(id)) cache.RemoveFolder(id);
        sql_.Run("DELETE FROM conn_folders WHERE key = ?", key);
    }
    // Rows of folders no longer mapped. The folders that have rows are found a folder at a time
    // through the rows' index, not by reading every row.
    std::optional<int64_t> folder = std::numeric_limits<int64_t>::min();
    while ((folder = sql_.IntOf("SELECT folder_id FROM conn_items WHERE folder_id > ? ORDER BY folder_id LIMIT 1", *folder)))
        if (!mapped.count(*folder)) sql_.Run("DELETE FROM conn_items WHERE folder_id = ?", *folder);
    std::vector<int64_t> orphans;
    {
        auto& st = sql_.Prep(
            "SELECT id FROM items WHERE folder_id IN (SELECT folder_id FROM conn_folders) "
            "AND id NOT IN (SELECT item_id FROM conn_items) AND id NOT IN (SELECT item_id FROM conn_intents)");
        CacheSql::Use u(st);
        while (u->Step()) orphans.push_back(u->Int(0));
    }
    for (int64_t id : orphans) cache.RemoveItem(id);
    // A container above source folders passed over (a chain of thousands, in a cache made
    // before such folders were passed over) holds nothing mapped below it.
    std::unordered_map<int64_t, int64_t> parentOf;
    {
        auto& st = sql_.Prep("SELECT id, parent_id FROM folders WHERE parent_id IS NOT NULL");
        CacheSql::Use u(st);
        while (u->Step()) parentOf[u->Int(0)] = u->Int(1);
    }
    std::set<int64_t> used{cache.RootFolder()};
    {
        auto& st = sql_.Prep("SELECT folder_id FROM conn_folders");
        CacheSql::Use u(st);
        while (u->Step())
            for (int64_t f = u->Int(0); used.insert(f).second;) {
                auto up = parentOf.find(f);
                if (up == parentOf.end()) break;
                f = up->second;
            }
    }
    for (const auto& [folder, parent] : parentOf)
        if (!used.count(folder) && used.count(parent) && cache.FolderExists(folder)) cache.RemoveFolder(folder);
}

// The cache folder of source folder `f`, made (with the containers on its path) when the cache
// has none; nullopt when the folder it would be is `taken` by another source folder.
std::optional<int64_t> Synchroniser::PlaceFolder(store::StoreDb& cache, const SourceFolder& f,
                                                 std::map<std::vector<std::string>, int64_t>& byPath,
                                                 std::set<int64_t>& taken) {
    if (auto known = FolderOf(f.key); known && cache.FolderExists(*known)) {
        // Shown under another name now (a cache made before names were decoded).
        const auto row = cache.Folder(*known);
        if (row.name != f.path.back() && row.parent && !cache.SubfolderByName(*row.parent, f.path.back()))
            cache.RenameFolder(*known, f.path.back());
        byPath[f.path] = *known;
        return known;
    }
    int64_t parent = cache.RootFolder();
    std::vector<std::string> path;
    for (size_t i = 0; i + 1 < f.path.size(); ++i) {
        path.push_back(f.path[i]);
        auto p = byPath.find(path);
        if (p == byPath.end()) {
            auto existing = cache.SubfolderByName(parent, f.path[i]);
            p = byPath.emplace(path, existing ? *existing : cache.CreateFolder(parent, f.path[i], f.itemType)).first;
        }
        parent = p->second;
    }
    auto existing = cache.SubfolderByName(parent, f.path.back());
    if (existing && taken.count(*existing)) return std::nullopt;
    const int64_t id = existing ? *existing : cache.CreateFolder(parent, f.path.back(), f.itemType);
    taken.insert(id);
    byPath[f.path] = id;
    sql_.Run("INSERT OR REPLACE INTO conn_folders(folder_id, key) VALUES (?, ?)", id, f.key);
    return id;
}

// Lists every folder whose glance changed since it was last listed (or that cannot tell).
Synchroniser::Listing Synchroniser::ListChanged(const std::map<int64_t, std::string>& folders,
                                                std::vector<std::string>& warnings) {
    Listing listing;
    for (const auto& [id, key] : folders) {
        Glance glance;
        try {
            glance = driver_->GlanceAt(key);
        } catch (const AutomationError& e) {
            if (e.Number() != errnum::kMapiNotFound) throw;
            warnings.push_back(e.Description());  // deleted by another client since: the next sync drops it
            continue;
        }
        std::string validity, state;
        int64_t listed = -1;
        {
            auto& st = sql_.Prep("SELECT validity, state, listed FROM conn_folders WHERE folder_id = ?");
            CacheSql::Use u(st);
            u->Bind(1, id);
            if (u->Step()) validity = u->Text(0), state = u->Text(1), listed = u->Int(2);
        }
        // Nothing arrived and nothing left since, and the cache holds what was listed then.
        if (!glance.state.empty() && glance.validity == validity && glance.state == state &&
            listed == sql_.IntOf("SELECT count(*) FROM conn_items WHERE folder_id = ?", id).value_or(-1))
            continue;
        Listing::Folder& f = listing.folders[id];
        f.key = key;
        // Where the source can tell what changed since the state last listed, the cache's
        // items with those changes are the listing: the cache holds that state with this
        // process's own changes since, which the source's changes hold too.
        std::optional<SourceChanges> changes;
        if (!state.empty() && glance.validity == validity)
            changes = driver_->ListChangesSince(key, Glance{validity, state}, glance, warnings);
        f.items = changes ? CachedWith(id, *changes) : driver_->ListItems(key, glance, warnings);
        // One item for each key, whatever a source repeats (the last word counts).
        std::unordered_set<std::string_view> seen;
        seen.reserve(f.items.size());
        for (auto it = f.items.rbegin(); it != f.items.rend(); ++it)
            if (!seen.insert(it->key).second) it->key.clear();
        std::erase_if(f.items, [](const SourceItem& i) { return i.key.empty(); });
        f.rebuilt = !validity.empty() && glance.validity != validity;
        f.glance = std::move(glance);
    }
    return listing;
}

// The items the cache holds in `folder` with `changes` made to them.
std::vector<SourceItem> Synchroniser::CachedWith(int64_t folder, const SourceChanges& changes) {
    std::map<std::string, SourceItem> items;
    {
        auto& st = sql_.Prep("SELECT key, stamp, size, arrival, flags, note FROM conn_items WHERE folder_id = ?");
        CacheSql::Use u(st);
        u->Bind(1, folder);
        while (u->Step()) items[u->Text(0)] = {u->Text(0), u->Text(1), u->Int(2), u->Int(3), u->Text(4), u->Text(5)};
    }
    for (const auto& key : changes.gone) items.erase(key);
    for (const auto& item : changes.changed) {
        auto& at = items[item.key];
        const std::string note = at.note;
        at = item;
        at.note = note;
    }
    std::vector<SourceItem> out;
    out.reserve(items.size());
    for (auto& [key, item] : items) out.push_back(std::move(item));
    return out;
}

// What the cache knows of the listed folders' items: by (folder, key), each cache item with its
// row; an item the source rebuilt or edited (where an edit makes another item of it) under a
// key no listing has, so that it counts as gone.
Synchroniser::KnownItemsMap Synchroniser::KnownItems(const Listing& listing) {
    KnownItemsMap known;
    for (const auto& [id, f] : listing.folders) {
        auto& here = known[id];
        here.reserve(f.items.size());
        std::unordered_map<std::string_view, std::string_view> stamps;
        if (driver_->StampMeansContent())
            for (const auto& item : f.items) stamps[item.key] = item.stamp;
        auto& st = sql_.Prep("SELECT item_id, key, stamp, size, arrival, flags, note FROM conn_items WHERE folder_id = ?");
        CacheSql::Use u(st);
        u->Bind(1, id);
        while (u->Step()) {
            std::string key = u->Text(1);
            std::string stamp = u->Text(2);
            const auto listed = stamps.find(key);
            if (f.rebuilt || (listed != stamps.end() && listed->second != stamp)) {
                here.emplace("\n" + key, Known{u->Int(0), {}});
                continue;
            }
            // The row's texts are built once each, straight into the map.
            const auto [at, added] = here.try_emplace(std::move(key), Known{u->Int(0), {}});
            if (!added) continue;
            at->second.item = {at->first, std::move(stamp), u->Int(3), u->Int(4), u->Text(5), u->Text(6)};
        }
    }
    return known;
}

namespace {
thread_local const SyncProgressScope::Watcher* tWatcher = nullptr;
}  // namespace

SyncProgressScope::SyncProgressScope(Watcher watcher) : watcher_(std::move(watcher)), outer_(tWatcher) {
    tWatcher = &watcher_;
}
SyncProgressScope::~SyncProgressScope() { tWatcher = outer_; }
const SyncProgressScope::Watcher* SyncProgressScope::Current() { return tWatcher; }

// Brings the listed folders' items in the cache to what the source holds: gone, new, renamed or
// flagged, and (where keys survive moves) moved to another folder by another client, which
// stays the same item.
void Synchroniser::ApplyListing(store::StoreDb& cache, Listing& listing, std::vector<std::string>& warnings) {
    auto known = KnownItems(listing);
    auto knownAt = [&](int64_t folder, const std::string& key) -> Known* {
        const auto f = known.find(folder);
        if (f == known.end()) return nullptr;
        const auto k = f->second.find(key);
        return k == f->second.end() ? nullptr : &k->second;
    };
    // New in a folder: not known there. Known items not listed any more are gone, unless the
    // same key arrived in another folder.
    std::map<int64_t, std::vector<SourceItem>> arrived;
    std::unordered_multimap<std::string, std::pair<int64_t, size_t>> arrivedByKey;  // -> (folder, position)
    // Renamed or flagged: the known item and what the listing tells of it now.
    std::vector<std::tuple<int64_t, const Known*, const SourceItem*>> restamped;
    for (const auto& [id, f] : listing.folders) {
        for (const auto& item : f.items) {
            if (Known* k = knownAt(id, item.key)) {
                k->listed = true;
                if (k->item.stamp != item.stamp) restamped.emplace_back(id, k, &item);
                continue;
            }
            if (driver_->KeysSurviveMoves()) arrivedByKey.emplace(item.key, std::make_pair(id, arrived[id].size()));
            arrived[id].push_back(item);
        }
    }
    // Known items no longer listed, taken in order of folder and key, so that of two that could
    // be one arrival the same one always is.
    std::vector<std::pair<std::pair<int64_t, std::string_view>, int64_t>> unlisted;
    for (const auto& [id, items] : known)
        for (const auto& [key, k] : items)
            if (!k.listed) unlisted.push_back({{id, key}, k.id});
    std::sort(unlisted.begin(), unlisted.end());
    std::map<std::pair<int64_t, size_t>, int64_t> movedHere;  // arrival -> the known item it is
    std::vector<int64_t> gone;
    for (const auto& [key, item] : unlisted) {
        auto a = arrivedByKey.find(std::string(key.second));
        if (a == arrivedByKey.end()) {
            gone.push_back(item);
            continue;
        }
        movedHere[a->second] = item;
        arrivedByKey.erase(a);
    }
    std::map<int64_t, std::vector<SourceItem>> fresh;
    for (const auto& [id, items] : arrived)
        for (size_t i = 0; i < items.size(); ++i)
            if (!movedHere.count({id, i})) fresh[id].push_back(items[i]);
    if (!gone.empty() || !movedHere.empty() || !restamped.empty())
        cache.ChangeLocally([&] {
            for (int64_t id : gone) {
                cache.RemoveItem(id);
                sql_.Run("DELETE FROM conn_items WHERE item_id = ?", id);
            }
            for (const auto& [at, id] : movedHere) {
                cache.MoveItem(id, at.first);
                WriteRow(id, at.first, arrived[at.first][at.second]);
            }
            for (const auto& [id, k, item] : restamped)
                WriteRow(k->id, id, {item->key, item->stamp, item->size, item->arrivalMs, item->flags, k->item.note});
        });
    AddFresh(cache, listing, fresh, warnings);
}

// What is really new is read and added a part at a time, folder by folder in listing order, so
// that a first synchronisation of a big source holds two parts in memory, not all of it. Each
// part comes in whole with its rows; a folder's listing state is written after its last part,
// so a synchronisation cut short lists the folder again and reads only what is not in yet.
// The next part is read while one is added: reading (parsing, or waiting for a server) and
// writing the cache then take their time side by side. A failure to read a part is raised
// after the parts before it are in, as if they were read one after the other.
// A watcher (SyncProgressScope) is told as each part comes in.
void Synchroniser::AddFresh(store::StoreDb& cache, const Listing& listing,
                            std::map<int64_t, std::vector<SourceItem>>& fresh, std::vector<std::string>& warnings) {
    struct Part {
        int64_t folder;
        const std::string* key;
        const std::vector<SourceItem>* items;
        size_t from, to;
        const Glance* last;  // the folder's glance, when this part is its last
    };
    std::vector<Part> parts;
    size_t total = 0, done = 0;
    for (const auto& [id, f] : listing.folders) {
        const auto& items = fresh[id];
        total += items.size();
        for (size_t from = 0; from < items.size(); from += kItemsReadAtOnce)
            parts.push_back({id, &f.key, &items, from, std::min(items.size(), from + kItemsReadAtOnce), nullptr});
        if (parts.empty() || parts.back().folder != id) parts.push_back({id, &f.key, &items, 0, 0, nullptr});
        parts.back().last = &f.glance;
    }
    struct Read {
        std::vector<SourceItem> items;
        std::vector<std::optional<store::ItemData>> parsed;
        std::vector<std::string> warnings;
    };
    auto read = [&](const Part& p) {
        // A folder with nothing new has nothing to read beside the writing: no thread for it.
        return std::async(p.to > p.from ? std::launch::async : std::launch::deferred, [this, p] {
            const auto begin = p.items->begin();
            Read r{{begin + static_cast<std::ptrdiff_t>(p.from), begin + static_cast<std::ptrdiff_t>(p.to)}, {}, {}};
            if (!r.items.empty()) r.parsed = driver_->ReadItems(*p.key, r.items, r.warnings);
            return r;
        });
    };
    const auto* watcher = SyncProgressScope::Current();
    if (watcher && total > 0) (*watcher)(driver_->Name(), 0, total);
    std::future<Read> next;
    if (!parts.empty()) next = read(parts.front());
    for (size_t k = 0; k < parts.size(); ++k) {
        Read r = next.get();
        if (k + 1 < parts.size()) next = read(parts[k + 1]);
        for (auto& w : r.warnings) warnings.push_back(std::move(w));
        const Part& p = parts[k];
        if (!r.items.empty()) {
            cache.ChangeLocally([&] {
                for (size_t i = 0; i < r.items.size(); ++i)
                    if (r.parsed[i]) WriteRow(cache.AddItem(p.folder, *r.parsed[i]), p.folder, r.items[i]);
            });
            done += r.items.size();
            if (watcher) (*watcher)(driver_->Name(), done, total);
        }
        if (p.last)
            cache.ChangeLocally([&] {
                sql_.Run("UPDATE conn_folders SET validity = ?, state = ?, "
                         "listed = (SELECT count(*) FROM conn_items WHERE folder_id = ?) WHERE folder_id = ?",
                         p.last->validity, p.last->state, p.folder, p.folder);
            });
    }
}

// ------------------------------------------------------------------ changes

void Synchroniser::MoveItem(store::StoreDb& cache, int64_t item, int64_t dest, const std::function<void()>& apply) {
    RequireSynced();
    if (Pending(item)) SendPending(cache);  // its move from where the source has it
    driver_->RequireMoves();
    const auto row = RowOf(item);
    if (!row) Raise(errnum::kMapiNotFound, "the message is not in " + driver_->Name() + " any more");
    Enqueue(cache, item, *row, dest, apply);
    if (runs_ > 0 && driver_->MovesSets()) return;
    // Outside a run, or for a source that moves one at a time: at once, and a failure is the
    // caller's.
    const size_t before = warnings_.size();
    SendBatch(cache);
    if (cache.ItemExists(item)) return;
    // Gone from the source meanwhile: said to the caller, not kept for later as well.
    std::string why = warnings_.size() > before ? warnings_.back() : "the message vanished";
    if (warnings_.size() > before) warnings_.pop_back();
    Raise(errnum::kMapiNotFound, why + "; skipped");
}

// Records the move of `id` into `dest` as an intent together with the cache's move, in the
// batch of its pair of folders.
void Synchroniser::Enqueue(store::StoreDb& cache, int64_t id, const Row& row, int64_t dest,
                           const std::function<void()>& apply) {
    const auto src = KeyOf(row.folder), target = KeyOf(dest);
    if (!src || !target) Raise(errnum::kMapiNotFound, "a folder of the move is not in " + driver_->Name());
    if (!batch_.items.empty() &&
        (batch_.src != *src || batch_.dest != *target || batch_.items.size() >= kMovesPerBatch))
        SendPending(cache);
    if (batch_.items.empty()) {
        // Held until the batch is settled: another process's synchronisation must not take
        // these intents for ones cut short.
        batchHold_ = HoldChanges(cache);
        try {
            if (unsettled_) SettleIntents(cache);  // a change cut short earlier in this run
            batch_.validity = CheckValidity(row.folder, *src);
            // Where copies the source does not name will be: one look before the first move
            // serves the batch.
            batch_.mark = driver_->Mark(*target);
        } catch (...) {
            batchHold_.reset();
            throw;
        }
        batch_.src = *src;
        batch_.dest = *target;
        batch_.srcFolder = row.folder;
        batch_.destFolder = dest;
    }
    // The intent with the cache's move: a process ended before the source's move leaves it for
    // the next synchronisation, which finds the item still in its folder and puts it back.
    // During a run they wait in the run's group (committed before the batch goes to the source)
    // rather than taking a commit each.
    try {
        cache.ChangeLocallyGrouped([&] {
            const SourceItem& i = row.item;
            sql_.Run("INSERT OR REPLACE INTO conn_intents(item_id, src, validity, key, stamp, size, arrival, flags, "
                     "note, dest, mark) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     id, *src, batch_.validity, i.key, i.stamp, i.size, i.arrivalMs, i.flags, i.note, *target,
                     batch_.mark);
            apply();
        });
    } catch (...) {
        if (batch_.items.empty()) batchHold_.reset();  // no batch holds the lock then
        throw;
    }
    batch_.items.push_back({id, row.item});
}

// The validity of folder `key` at the source, which must be the one its items were listed
// under: otherwise their keys name other items now.
std::string Synchroniser::CheckValidity(int64_t folder, const std::string& key) {
    const std::string known =
        sql_.TextOf("SELECT validity FROM conn_folders WHERE folder_id = ?", folder).value_or(std::string());
    const std::string now = driver_->ValidityOf(key);
    if (!known.empty() && now != known) {
        lastError_ = "the folder " + key + " was rebuilt at the source";
        Raise(errnum::kMapiCallFailed,
              "the folder " + key + " of " + driver_->Name() + " was rebuilt meanwhile (its items' keys changed); run again");
    }
    return now;
}

bool Synchroniser::Pending(int64_t item) const {
    return std::any_of(batch_.items.begin(), batch_.items.end(), [&](const Moving& m) { return m.id == item; });
}

void Synchroniser::EndRun(store::StoreDb& cache) {
    if (runs_ > 0 && --runs_ > 0) return;
    SendPending(cache);
    if (unsent_) {
        const AutomationError e = *unsent_;
        unsent_.reset();
        throw e;
    }
}

// The change lock. The settling of this run's last moves may wait in the run's group, which
// keeps the cache's write lock: another process that holds the change lock may be waiting for
// that, so the group is committed before this one waits. Raises like CommitGroup (the settling
// is then left to the next change or synchronisation) or ChangeLock::Hold.
std::shared_ptr<void> Synchroniser::HoldChanges(store::StoreDb& cache) {
    if (auto held = changes_.TryHold()) return held;
    try {
        cache.CommitGroup();
    } catch (const AutomationError&) {
        unsettled_ = true;
        throw;
    }
    return changes_.Hold();
}

// SendBatch for whatever needs the batch gone first. During a run a failure is kept for EndRun,
// so that the run is reported failed and not the call that happened to send it (the engine
// would take that for its own item's failure).
void Synchroniser::SendPending(store::StoreDb& cache) {
    try {
        SendBatch(cache);
    } catch (const AutomationError& e) {
        if (runs_ == 0) throw;
        if (!unsent_) unsent_ = e;
    }
}

// Sends the batch and settles the cache with what the source did.
void Synchroniser::SendBatch(store::StoreDb& cache) {
    const auto held = std::move(batchHold_);
    if (batch_.items.empty()) return;
    Batch b = std::exchange(batch_, {});
    bodies_.clear();  // read ahead under keys that change now
    try {
        // The batch's intents and cache moves, with the history's notes of them, are kept
        // before the source changes.
        cache.CommitGroup();
    } catch (const AutomationError&) {
        // Those of the batch's moves a failed commit undid are not made; intents an earlier
        // commit kept are settled (put back) by the next change or synchronisation.
        unsettled_ = true;
        throw;
    }
    std::vector<SourceItem> items;
    for (const auto& m : b.items) items.push_back(m.item);
    std::vector<std::optional<SourceItem>> told;
    try {
        told = driver_->MoveItems(b.src, items, b.dest);
    } catch (const AutomationError&) {
        // What the source did is not known: the cache shows the moves not made, and the intents
        // stay. They are settled at once where the source can be asked (a move cut short may
        // have made the copies and left the originals); failing that, by the next change of
        // this run or the next synchronisation.
        driver_->Reset();
        unsettled_ = true;
        cache.ChangeLocally([&] {
            for (const auto& m : b.items)
                if (cache.ItemExists(m.id) && cache.PlaceOf(m.id).folder != b.srcFolder) cache.MoveItem(m.id, b.srcFolder);
        });
        try {
            SettleIntents(cache);
        } catch (const AutomationError&) {
            driver_->Reset();
        }
        throw;
    }
    FaultPoint((kind_ + ":moved").c_str());
    try {
        SettleBatch(cache, b, told, true, true, true);
    } catch (const AutomationError&) {
        driver_->Reset();
        unsettled_ = true;  // the intents left are settled by the next change or synchronisation
        throw;
    }
}

// Copies in the target of the items of `b` the source did not name: by key where keys survive
// moves, else among the arrivals after the batch's mark that the cache does not know yet, by
// arrival and size (identical duplicates may swap, which changes nothing).
std::vector<std::optional<SourceItem>> Synchroniser::FindCopies(store::StoreDb& cache, const Batch& b,
                                                                std::vector<std::optional<SourceItem>> copies) {
    std::vector<SourceItem> unknown;
    for (size_t i = 0; i < b.items.size(); ++i)
        if (!copies[i]) unknown.push_back(b.items[i].item);
    if (unknown.empty()) return copies;
    if (driver_->KeysSurviveMoves()) {
        auto found = driver_->Locate(b.dest, unknown);
        for (size_t i = 0, u = 0; i < b.items.size(); ++i)
            if (!copies[i]) copies[i] = std::move(found[u++]);
        return copies;
    }
    std::set<std::string> taken;
    for (const auto& c : copies)
        if (c) taken.insert(c->key);
    if (b.destFolder != 0) {
        auto& st = sql_.Prep("SELECT key FROM conn_items WHERE folder_id = ?");
        CacheSql::Use u(st);
        u->Bind(1, b.destFolder);
        while (u->Step()) taken.insert(u->Text(0));
    }
    (void)cache;
    auto arrivals = driver_->ArrivedSince(b.dest, b.mark);
    for (size_t i = 0; i < b.items.size(); ++i) {
        if (copies[i]) continue;
        const SourceItem& m = b.items[i].item;
        for (auto& a : arrivals)
            if (!a.key.empty() && !taken.count(a.key) && a.arrivalMs == m.arrivalMs && a.size == m.size) {
                copies[i] = a;
                copies[i]->note = m.note;
                a.key.clear();
                break;
            }
    }
    return copies;
}

// Brings the cache's side of `b`'s intents to what the source has: each item moved (its copy in
// the target, told by the source or found), not moved (still in the source), or gone. A move
// cut short with the copy made and the original still there is completed. A source that said
// it moved what is still where it was has failed the batch (raised once the cache follows it).
// `grouped`: the cache's changes may wait in the run's group (a batch just sent), where a
// process that ends before the group commits leaves the intents for the next synchronisation
// to settle the same way; otherwise they are committed at once.
void Synchroniser::SettleBatch(store::StoreDb& cache, const Batch& b, const std::vector<std::optional<SourceItem>>& told,
                               bool srcThere, bool destThere, bool grouped) {
    std::vector<std::optional<SourceItem>> copies = told;
    copies.resize(b.items.size());
    // Where the source said nothing, or may have said what it did not do, the source is asked.
    std::vector<std::optional<SourceItem>> originals(b.items.size());
    const bool ask = driver_->VerifyMoves() || std::any_of(copies.begin(), copies.end(), [](const auto& c) { return !c; });
    if (ask && srcThere && (b.validity.empty() || driver_->GlanceAt(b.src).validity == b.validity)) {
        std::vector<SourceItem> items;
        for (const auto& m : b.items) items.push_back(m.item);
        originals = driver_->Locate(b.src, items);
    }
    if (destThere) copies = FindCopies(cache, b, std::move(copies));
    // Still in the source although the source said it moved it: a claim, and the item stays
    // where it is. A copy found (not told) beside an original still there is a move cut short,
    // completed by removing the original.
    size_t claimed = 0;
    std::vector<SourceItem> doubled;
    for (size_t i = 0; i < b.items.size(); ++i) {
        if (!originals[i]) continue;
        if (i < told.size() && told[i]) {
            ++claimed;
            copies[i].reset();
        } else if (copies[i]) {
            doubled.push_back(*originals[i]);
        }
    }
    if (!doubled.empty()) {
        try {
            driver_->RemoveItems(b.src, doubled);
            for (size_t i = 0; i < b.items.size(); ++i)
                if (originals[i] && copies[i]) originals[i].reset();
        } catch (const AutomationError& e) {
            if (e.Number() != errnum::kMapiNoSupport) throw;
            warnings_.push_back(Count(doubled.size(), "move") + " from " + Shown(b.src) + " into " + Shown(b.dest) +
                                " were cut short and " + driver_->Name() +
                                " cannot remove the originals alone: those items are in both folders");
            for (size_t i = 0; i < b.items.size(); ++i)
                if (originals[i] && copies[i]) copies[i].reset();
        }
    }
    size_t vanished = 0;
    const auto settle = [&] {
        for (size_t i = 0; i < b.items.size(); ++i) {
            const int64_t id = b.items[i].id;
            sql_.Run("DELETE FROM conn_intents WHERE item_id = ?", id);
            if (!cache.ItemExists(id)) continue;
            const int64_t now = cache.PlaceOf(id).folder;
            if (originals[i] && b.srcFolder != 0) {
                if (now != b.srcFolder) cache.MoveItem(id, b.srcFolder);
                originals[i]->note = b.items[i].item.note;
                WriteRow(id, b.srcFolder, *originals[i]);
            } else if (copies[i] && b.destFolder != 0) {
                if (now != b.destFolder) cache.MoveItem(id, b.destFolder);
                WriteRow(id, b.destFolder, *copies[i]);
            } else {
                cache.RemoveItem(id);
                sql_.Run("DELETE FROM conn_items WHERE item_id = ?", id);
                ++vanished;
            }
        }
    };
    if (grouped)
        cache.ChangeLocallyGrouped(settle);
    else
        cache.ChangeLocally(settle);
    if (vanished)
        warnings_.push_back(Count(vanished, "item") + " of " + Shown(b.src) + " in " + driver_->Name() +
                            " vanished before they could be moved (deleted or moved by another program)");
    if (claimed)
        Raise(errnum::kMapiCallFailed, driver_->Name() + " said it moved " +
                                           Count(std::count_if(told.begin(), told.end(), [](const auto& t) { return t.has_value(); }),
                                                 "item") + " from " + Shown(b.src) +
                                           " into " + Shown(b.dest) + ", but " + std::to_string(claimed) +
                                           " of them are still in " + Shown(b.src) + "; they stay there");
}

// Settles the intents a process left behind (killed, or cut off from the source) against what
// the source has now, one batch per pair of folders.
void Synchroniser::SettleIntents(store::StoreDb& cache) {
    const auto held = HoldChanges(cache);  // not a change another process has under way
    std::map<std::tuple<std::string, std::string, std::string>, Batch> batches;
    {
        auto& st = sql_.Prep(
            "SELECT item_id, src, validity, key, stamp, size, arrival, flags, note, dest, mark FROM conn_intents");
        CacheSql::Use u(st);
        while (u->Step()) {
            auto& b = batches[{u->Text(1), u->Text(9), u->Text(2)}];
            b.src = u->Text(1);
            b.dest = u->Text(9);
            b.validity = u->Text(2);
            // The earliest mark of the batch (a number): arrivals after it hold every copy.
            const std::string mark = u->Text(10);
            if (b.items.empty() || mark.size() < b.mark.size() || (mark.size() == b.mark.size() && mark < b.mark))
                b.mark = mark;
            b.items.push_back({u->Int(0), {u->Text(3), u->Text(4), u->Int(5), u->Int(6), u->Text(7), u->Text(8)}});
        }
    }
    if (batches.empty()) {
        unsettled_ = false;
        return;
    }
    // A folder of an intent deleted or renamed by another client since: what was in it is not
    // there (the next synchronisation finds a renamed folder's items again).
    std::vector<std::string> ignored;
    std::set<std::string> present;
    for (const auto& f : driver_->ListFolders(ignored)) present.insert(f.key);
    for (auto& [key, b] : batches) {
        b.srcFolder = FolderOf(b.src).value_or(0);
        b.destFolder = FolderOf(b.dest).value_or(0);
        const bool srcThere = present.count(b.src) > 0, destThere = present.count(b.dest) > 0;
        if (!srcThere || !destThere)
            warnings_.push_back("moves from " + Shown(b.src) + " into " + Shown(b.dest) +
                                " were cut short and a folder of them is no longer in " + driver_->Name());
        SettleBatch(cache, b, {}, srcThere && b.srcFolder != 0, destThere);
    }
    unsettled_ = false;
    // Every folder is listed again, whatever its glance says.
    cache.InTransaction([&] { sql_.Exec("UPDATE conn_folders SET state = ''"); });
}

void Synchroniser::RemoveItem(store::StoreDb& cache, int64_t item, const std::function<void()>& apply) {
    RequireSynced();
    SendPending(cache);  // the item may be one of it
    const auto held = HoldChanges(cache);
    if (unsettled_) SettleIntents(cache);
    const auto row = RowOf(item);
    // Its move into Deleted Items may have failed to reach the source and been put back: only
    // an item the source has in Deleted Items is removed.
    if (row && !cache.IsInDeletedItems(row->folder))
        Raise(errnum::kMapiCallFailed,
              "the message did not reach Deleted Items in " + driver_->Name() + "; nothing was deleted");
    if (row)
        if (const auto key = KeyOf(row->folder)) driver_->RemoveItems(*key, {row->item});
    cache.ChangeLocally([&] {
        apply();
        sql_.Run("DELETE FROM conn_items WHERE item_id = ?", item);
    });
}

int64_t Synchroniser::CreateFolder(store::StoreDb& cache, int64_t parent, const std::string& name,
                                   const std::function<int64_t()>& apply) {
    RequireSynced();
    SendPending(cache);
    std::optional<std::string> at;
    if (parent != cache.RootFolder()) {
        at = KeyOf(parent);
        if (!at) Raise(errnum::kMapiNotFound, "the parent folder is not in " + driver_->Name());
    }
    const std::string key = driver_->CreateFolder(at, name);
    int64_t id = 0;
    cache.ChangeLocally([&] {
        id = apply();
        sql_.Run("INSERT OR REPLACE INTO conn_folders(folder_id, key, listed) VALUES (?, ?, 0)", id, key);
    });
    return id;
}

void Synchroniser::RemoveFolder(store::StoreDb& cache, int64_t folder, const std::function<void()>& apply) {
    RequireSynced();
    SendPending(cache);
    const auto held = HoldChanges(cache);
    if (const auto key = KeyOf(folder)) driver_->RemoveFolder(*key);
    cache.ChangeLocally([&] {
        apply();
        sql_.Run("DELETE FROM conn_folders WHERE folder_id = ?", folder);
    });
}

int64_t Synchroniser::DeletedItemsFolder(store::StoreDb& cache) {
    if (auto trash = cache.FindDeletedItems()) return *trash;
    // Made when first needed, as the source names such a folder.
    RequireSynced();
    const std::string key = driver_->CreateFolder(std::nullopt, "Trash");
    int64_t trash = 0;
    cache.ChangeLocally([&] {
        if (auto known = FolderOf(key); known && cache.FolderExists(*known)) trash = *known;
        else if (auto existing = cache.SubfolderByName(cache.RootFolder(), "Trash")) trash = *existing;
        else trash = cache.CreateFolder(cache.RootFolder(), "Trash", 0);
        sql_.Run("INSERT OR REPLACE INTO conn_folders(folder_id, key) VALUES (?, ?)", trash, key);
        cache.SetDeletedItemsFolder(trash);
    });
    return trash;
}

void Synchroniser::CompleteItem(store::StoreDb& cache, int64_t item, store::ItemData& data) {
    if (data.Body || data.Source) return;  // kept whole in the cache already
    if (Pending(item)) SendPending(cache);  // read where the source has it
    const auto row = RowOf(item);
    if (!row) return;
    const auto key = KeyOf(row->folder);
    if (!key) return;
    auto held = bodies_.find(item);
    if (held == bodies_.end()) {
        // Export and listing walk a folder in order: the items after this one come with it, up
        // to a few megabytes.
        bodies_.clear();
        std::vector<int64_t> ids{item};
        std::vector<SourceItem> items{row->item};
        {
            auto& st = sql_.Prep(
                "SELECT m.item_id, m.key, m.stamp, m.size, m.arrival, m.flags, m.note FROM items i "
                "JOIN conn_items m ON m.item_id = i.id WHERE i.folder_id = ? AND m.folder_id = i.folder_id "
                "AND i.seq > (SELECT seq FROM items WHERE id = ?) ORDER BY i.seq LIMIT ?");
            CacheSql::Use u(st);
            u->Bind(1, row->folder).Bind(2, item).Bind(3, static_cast<int64_t>(driver_->ReadAhead()) - 1);
            int64_t bytes = row->item.size;
            while (bytes < kReadAheadBytes && u->Step()) {
                if (u->Int(3) > kReadAheadBytes) continue;  // alone, when it is asked for
                ids.push_back(u->Int(0));
                items.push_back({u->Text(1), u->Text(2), u->Int(3), u->Int(4), u->Text(5), u->Text(6)});
                bytes += u->Int(3);
            }
        }
        auto read = driver_->ReadWhole(*key, items);
        for (size_t i = 0; i < ids.size() && i < read.size(); ++i)
            if (read[i]) bodies_[ids[i]] = std::move(*read[i]);
        held = bodies_.find(item);
    }
    const std::string label = driver_->Describe(*key, row->item);
    if (held == bodies_.end()) Raise(errnum::kMapiNotFound, label + " can no longer be read");
    CompleteFromMessage(data, held->second, label);
    bodies_.erase(held);
}

}  // namespace nubra::connected
