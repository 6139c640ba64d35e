#include "standin_host/connected/Imap.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <unordered_map>
#include <vector>

#include "host/AutomationDates.h"
#include "standin_host/connected/CacheSql.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/MailboxName.h"
#include "standin_host/connected/Secrets.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::connected {
namespace {

const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS conn_settings(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS im_folders(folder_id INTEGER PRIMARY KEY, mailbox TEXT NOT NULL UNIQUE,
  uidvalidity INTEGER NOT NULL DEFAULT 0, uidnext INTEGER NOT NULL DEFAULT 0,
  messages INTEGER NOT NULL DEFAULT 0, modseq INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS im_items(item_id INTEGER PRIMARY KEY, folder_id INTEGER NOT NULL, uid INTEGER NOT NULL,
  size INTEGER, internal INTEGER, flags TEXT);
CREATE INDEX IF NOT EXISTS im_items_uid ON im_items(folder_id, uid);
CREATE TABLE IF NOT EXISTS im_intents(item_id INTEGER PRIMARY KEY, src TEXT NOT NULL, uid INTEGER NOT NULL,
  uidvalidity INTEGER NOT NULL, dest TEXT NOT NULL, dest_uidnext INTEGER NOT NULL, internal INTEGER,
  size INTEGER, method TEXT NOT NULL);
)sql";

// The header fields the items are made of (see formats::ParseMessage).
const std::vector<std::string> kFields = {"MESSAGE-ID", "DATE",        "SUBJECT",         "FROM",        "TO",
                                          "CC",         "MIME-VERSION", "X-MESSAGE-CLASS", "CONTENT-TYPE"};

// A batch of moves is one UID MOVE per 1,000 messages; the cap bounds what one failure puts back.
constexpr size_t kMovesPerBatch = 5000;

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

class ImapUpstream : public store::Upstream {
public:
    ImapUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache)
        : entry_(entry), url_(ParseImapUrl(entry.source)), sql_(cache), changes_(SourceLockFile("imap", url_.Canonical())) {
        auto opt = [&](const char* key) {
            auto it = entry.options.find(key);
            return it == entry.options.end() ? std::string() : it->second;
        };
        options_.caFile = opt("ca-file");
        options_.allowPlain = opt("allow-plain") == "yes";
        passwordFile_ = opt("password-file");
        timeoutOption_ = opt("timeout");
    }

    std::string KindText() const override { return "imap"; }

    LockPlace RunLockFor(store::StoreDb& cache, int64_t folder) override {
        // Refused before the run changes anything; the run synchronises once it holds the lock.
        RequireMoves();
        return {SourceLockFile("imap", url_.Canonical()),
                static_cast<int64_t>(Fnv1a(MailboxOf(cache, folder).value_or("")) & 0x3FFFFFFF)};
    }

    void Synchronise(store::StoreDb& cache) override {
        try {
            SynchroniseNow(cache);
            lastError_.clear();
        } catch (const AutomationError& e) {
            lastError_ = e.Description();
            session_.reset();  // a connection in an unknown state is not used again
            throw;
        }
    }

    std::vector<std::string> TakeWarnings() override { return std::exchange(warnings_, {}); }

    void MoveItem(store::StoreDb& cache, int64_t item, int64_t dest, const std::function<void()>& apply) override {
        RequireSynced();
        if (Pending(item)) SendPending(cache);  // its move from where the server has it
        auto& s = Session();
        RequireMoves();
        const auto row = ItemOf(item);
        if (!row) Raise(errnum::kMapiNotFound, "the message is not in the account " + url_.Canonical() + " any more");
        RequireKnownUid(static_cast<uint32_t>(row->uid));  // before it could fail the whole batch
        const auto src = MailboxOf(cache, row->folder);
        const auto target = MailboxOf(cache, dest);
        if (!src || !target) Raise(errnum::kMapiNotFound, "a folder of the move is not on the server " + s.Server());
        if (!batch_.items.empty() &&
            (batch_.src != *src || batch_.dest != *target || batch_.items.size() >= kMovesPerBatch))
            SendPending(cache);
        if (batch_.items.empty()) {
            // Held until the batch is settled: another process's synchronisation must not take
            // these intents for ones cut short.
            batchHold_ = changes_.Hold();
            try {
                if (unsettled_) SettleIntents(cache);  // a change cut short earlier in this run
                batch_.validity = SelectChecked(cache, row->folder, *src);
                // Where the copies will be, should the moves be cut short (see SettleBatch): UIDNEXT
                // only grows, so one look before the first move serves the batch.
                batch_.destNext = s.StatusOf(*target).uidNext;
            } catch (...) {
                batchHold_.reset();
                throw;
            }
            batch_.src = *src;
            batch_.dest = *target;
            batch_.srcFolder = row->folder;
            batch_.destFolder = dest;
        }
        // The intent with the cache's move: a process ended before the source's move leaves it
        // for the next synchronisation, which finds the message still in its folder and puts
        // it back there.
        try {
            cache.ApplyLocally([&] {
                cache.InTransaction([&] {
                    sql_.Run("INSERT OR REPLACE INTO im_intents(item_id, src, uid, uidvalidity, dest, dest_uidnext, "
                             "internal, size, method) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                             item, *src, row->uid, batch_.validity, *target, batch_.destNext, row->internal, row->size,
                             std::string(s.HasMove() ? "move" : "copy"));
                    apply();
                });
            });
        } catch (...) {
            if (batch_.items.empty()) batchHold_.reset();  // no batch holds the lock then
            throw;
        }
        batch_.items.push_back({item, static_cast<uint32_t>(row->uid), row->internal, row->size});
        if (runs_ == 0) SendBatch(cache);
    }

    void BeginRun(store::StoreDb&) override { ++runs_; }
    void EndRun(store::StoreDb& cache) override {
        if (runs_ > 0 && --runs_ > 0) return;
        SendPending(cache);
        if (unsent_) {
            const AutomationError e = *unsent_;
            unsent_.reset();
            throw e;
        }
    }

    void RemoveItem(store::StoreDb& cache, int64_t item, const std::function<void()>& apply) override {
        RequireSynced();
        SendPending(cache);  // the item may be one of it
        const auto held = changes_.Hold();
        if (unsettled_) SettleIntents(cache);
        auto& s = Session();
        const auto row = ItemOf(item);
        // Its move into Deleted Items may have failed to reach the server and been put back:
        // only a message the server has in Trash is expunged.
        if (row && !cache.IsInDeletedItems(row->folder))
            Raise(errnum::kMapiCallFailed, "the message did not reach Deleted Items on " + s.Server() +
                                               "; nothing was deleted");
        if (!s.HasUidPlus())
            Raise(errnum::kMapiNoSupport, "the server " + s.Server() +
                                              " cannot expunge one message alone (no UIDPLUS); nothing was deleted");
        if (row) {
            const auto box = MailboxOf(cache, row->folder);
            if (box) {
                SelectChecked(cache, row->folder, *box);
                s.UidMarkDeleted({static_cast<uint32_t>(row->uid)});
                s.UidExpunge({static_cast<uint32_t>(row->uid)});
            }
        }
        Settle(cache, item, [&] {
            apply();
            DeleteRow(item);
        });
    }

    int64_t CreateFolder(store::StoreDb& cache, int64_t parent, const std::string& name,
                         const std::function<int64_t()>& apply) override {
        RequireSynced();
        SendPending(cache);
        auto& s = Session();
        const char delim = Delimiter();
        std::string parentBox;
        if (parent != cache.RootFolder()) {
            const auto p = MailboxOf(cache, parent);
            if (!p) Raise(errnum::kMapiNotFound, "the parent folder is not on the server " + s.Server());
            parentBox = *p;
        }
        // As the server spells it (modified UTF-7).
        const auto made = MailboxOfNewFolder(parentBox, name, delim);
        if (!made) Raise(errnum::kMapiInvalidParameter, "the folder name \"" + name + "\" cannot be a folder on " + s.Server());
        const std::string& box = *made;
        // Not one the next synchronisation would pass over.
        if (const auto place = PlaceMailbox(box, delim); !place.refused.empty())
            Raise(errnum::kMapiInvalidParameter,
                  "the folder \"" + name + "\" cannot be made on " + s.Server() + ": " + place.refused);
        try {
            s.Create(box);
        } catch (const AutomationError&) {
            // Made meanwhile by another client (or by a run that ended before its cache knew):
            // fine as long as it is there now.
            bool there = false;
            for (const auto& m : s.List()) there = there || m.name == box;
            if (!there) throw;
        }
        s.Subscribe(box);
        int64_t id = 0;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                id = apply();
                MapFolder(id, box);
            });
        });
        return id;
    }

    int64_t DeletedItemsFolder(store::StoreDb& cache) override {
        // The synchronisation names the account's Trash (made there when it has none).
        if (auto trash = cache.FindDeletedItems()) return *trash;
        Raise(errnum::kMapiNotFound, "the account " + url_.Canonical() + " has no Trash folder");
    }

    void RemoveFolder(store::StoreDb& cache, int64_t folder, const std::function<void()>& apply) override {
        RequireSynced();
        SendPending(cache);
        const auto box = MailboxOf(cache, folder);
        if (box) {
            auto& s = Session();
            bool there = false;
            for (const auto& m : s.List()) there = there || m.name == *box;
            if (there) {
                s.Unsubscribe(*box);
                selectedValidity_ = -1;
                s.Delete(*box);
            }
        }
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                apply();
                sql_.Run("DELETE FROM im_folders WHERE folder_id = ?", folder);
            });
        });
    }

    void CompleteItem(store::StoreDb& cache, int64_t item, store::ItemData& data) override {
        if (data.Body) return;
        if (Pending(item)) SendPending(cache);  // fetched where the server has it
        const auto row = ItemOf(item);
        if (!row || row->uid == 0) return;
        const auto box = MailboxOf(cache, row->folder);
        if (!box) return;
        auto& s = Session();
        if (row->size > static_cast<int64_t>(kMaxMessageBytes))
            Raise(errnum::kMapiNoSupport, "the message (UID " + std::to_string(row->uid) + " of " + *box + ") on " +
                                              s.Server() + " is " + std::to_string(row->size) + " bytes, more than the " +
                                              std::to_string(kMaxMessageBytes >> 20) +
                                              " MiB a message may have here; it is not fetched");
        if (s.Selected() != *box) s.Select(*box);
        const std::string label = url_.Canonical() + *box + ";UID=" + std::to_string(row->uid);
        auto held = bodies_.find(item);
        if (held == bodies_.end()) {
            // Export and listing walk a folder in order: the messages after this one come in the
            // same answer, up to a few megabytes (what the server sends beyond is not kept).
            constexpr int64_t kAhead = int64_t{8} << 20;
            bodies_.clear();
            std::vector<uint32_t> uids;
            std::unordered_map<uint32_t, int64_t> items;
            {
                auto& st = sql_.Prep(
                    "SELECT m.item_id, m.uid, coalesce(m.size, 0) FROM items i JOIN im_items m ON m.item_id = i.id "
                    "WHERE i.folder_id = ? AND m.folder_id = i.folder_id AND m.uid != 0 "
                    "AND i.seq >= (SELECT seq FROM items WHERE id = ?) "
                    "ORDER BY i.seq LIMIT 200");
                CacheSql::Use u(st);
                u->Bind(1, row->folder).Bind(2, item);
                int64_t bytes = 0;
                while (u->Step() && (uids.empty() || bytes < kAhead)) {
                    if (!uids.empty() && u->Int(2) > kAhead) continue;  // alone, when it is asked for
                    uids.push_back(static_cast<uint32_t>(u->Int(1)));
                    items[uids.back()] = u->Int(0);
                    bytes += u->Int(2);
                }
            }
            if (uids.empty()) uids.push_back(static_cast<uint32_t>(row->uid)), items[uids.back()] = item;
            std::sort(uids.begin(), uids.end());
            int64_t kept = 0;
            s.Fetch(uids, {}, [&](ImapSession::Message&& m) {
                auto it = items.find(m.uid);
                if (it == items.end() || (it->second != item && kept > kAhead)) return;
                kept += static_cast<int64_t>(m.header.size());
                bodies_[it->second] = std::move(m.header);
            });
            held = bodies_.find(item);
        }
        if (held == bodies_.end())
            Raise(errnum::kMapiNotFound, "the message (UID " + std::to_string(row->uid) + " of " + *box +
                                             ") is no longer on the server " + s.Server());
        CompleteFromMessage(data, held->second, label);
        bodies_.erase(held);
    }

private:
    struct Row {
        int64_t folder, uid, size, internal;
    };

    ImapSession& Session() {
        if (!session_) {
            options_.timeoutSeconds = ImapTimeoutSeconds(timeoutOption_);
            const std::string password = LookupImapPassword(url_.user, url_.host, passwordFile_, entry_.ofKind == 1);
            session_ = std::make_unique<ImapSession>(url_, options_, password);
        }
        return *session_;
    }

    void RequireSynced() const {
        if (!lastError_.empty())
            Raise(errnum::kMapiCallFailed, "the account " + url_.Canonical() +
                                               " could not be synchronised, so nothing there is changed: " + lastError_);
    }
    void RequireMoves() {
        auto& s = Session();
        if (!s.HasMove() && !s.HasUidPlus())
            Raise(errnum::kMapiNoSupport,
                  "the server " + s.Server() +
                      " offers neither MOVE nor UIDPLUS, so a message cannot be moved without also expunging "
                      "messages marked deleted by the user; nothing was changed");
    }

    char Delimiter() {
        auto d = sql_.Setting("delimiter");
        return d && !d->empty() ? (*d)[0] : '/';
    }

    std::optional<Row> ItemOf(int64_t item) {
        auto& st = sql_.Prep("SELECT folder_id, uid, coalesce(size, 0), coalesce(internal, 0) FROM im_items WHERE item_id = ?");
        CacheSql::Use u(st);
        u->Bind(1, item);
        if (!u->Step()) return std::nullopt;
        return Row{u->Int(0), u->Int(1), u->Int(2), u->Int(3)};
    }
    std::optional<std::string> MailboxOf(store::StoreDb&, int64_t folder) {
        return sql_.TextOf("SELECT mailbox FROM im_folders WHERE folder_id = ?", folder);
    }
    std::optional<int64_t> FolderOfMailbox(const std::string& box) {
        return sql_.IntOf("SELECT folder_id FROM im_folders WHERE mailbox = ?", box);
    }
    void MapFolder(int64_t id, const std::string& box) {
        sql_.Run("INSERT OR IGNORE INTO im_folders(folder_id, mailbox) VALUES (?, ?)", id, box);
    }
    void DeleteRow(int64_t item) {
        sql_.Run("DELETE FROM im_items WHERE item_id = ?", item);
    }
    void ClearIntentRow(int64_t item) {
        sql_.Run("DELETE FROM im_intents WHERE item_id = ?", item);
    }
    // The cache's half of a change, with the intent cleared in the same transaction.
    void Settle(store::StoreDb& cache, int64_t item, const std::function<void()>& body) {
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                body();
                ClearIntentRow(item);
            });
        });
    }

    // Selects the folder's mailbox when it is not, and checks that its UIDs still mean what
    // the cache says. Returns the UIDVALIDITY.
    int64_t SelectChecked(store::StoreDb& cache, int64_t folder, const std::string& box) {
        auto& s = Session();
        const int64_t known = sql_.IntOf("SELECT uidvalidity FROM im_folders WHERE folder_id = ?", folder).value_or(0);
        if (s.Selected() == box && selectedValidity_ == known) return known;
        const auto status = s.Select(box);
        selectedValidity_ = status.uidValidity;
        if (known != 0 && status.uidValidity != known) {
            lastError_ = "the folder " + box + " was rebuilt on the server (UIDVALIDITY changed)";
            (void)cache;
            Raise(errnum::kMapiCallFailed, "the folder " + box + " on " + s.Server() +
                                               " was rebuilt meanwhile (UIDVALIDITY changed); run again");
        }
        return status.uidValidity;
    }

    // ------------------------------------------------------------------ synchronisation
    void SynchroniseNow(store::StoreDb& cache) {
        cache.InTransaction([&] { sql_.Exec(kTables); });
        SendPending(cache);
        // While another process has a batch under way, its moves are in the cache and not yet
        // on the server (or the other way round), and a listing would take them for another
        // client's changes. A run waits for it; an opening shows the account as it stands.
        const auto held = runs_ > 0 ? changes_.Hold() : changes_.TryHold();
        if (!held) {
            warnings_.push_back("another nubrasweep is changing " + url_.Canonical() +
                                " right now; it is shown as last synchronised");
            return;
        }
        auto& s = Session();
        SettleIntents(cache);
        const auto boxes = s.List();
        char delim = 0;
        for (const auto& b : boxes)
            if (b.delimiter) delim = b.delimiter;
        if (delim) cache.InTransaction([&] { sql_.SetSetting("delimiter", std::string(1, delim)); });
        // Each mailbox's place in the folder tree, parents first; one that cannot have a place
        // is passed over (and, when the cache had it, taken out of the cache).
        struct Placed {
            const ImapSession::Mailbox* box;
            MailboxPlace place;
        };
        std::vector<Placed> placed;
        for (const auto& b : boxes) {
            auto place = PlaceMailbox(b.name, delim);
            if (b.cut) place.refused = "its name holds a NUL character, or it could be taken for one that does";
            if (!place.refused.empty()) {
                warnings_.push_back("the mailbox \"" + Excerpt(b.name) + "\" on " + s.Server() +
                                    " is passed over: " + place.refused);
                continue;
            }
            if (place.undecodable)
                warnings_.push_back("the name of the mailbox \"" + Excerpt(b.name) + "\" on " + s.Server() +
                                    " is no valid modified UTF-7; it is shown as the server spells it");
            placed.push_back({&b, std::move(place)});
        }
        std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
            const auto da = a.place.levels.size(), db = b.place.levels.size();
            return da != db ? da < db : a.box->name < b.box->name;
        });
        std::map<std::string, int64_t> known;
        {
            auto& st = sql_.Prep("SELECT mailbox, folder_id FROM im_folders");
            CacheSql::Use u(st);
            while (u->Step()) known[u->Text(0)] = u->Int(1);
        }
        std::map<std::string, int64_t> byBox;
        std::optional<int64_t> trash;
        std::vector<const ImapSession::Mailbox*> synced;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                // The folders that stand for a mailbox of this listing already: no other mailbox
                // may take one of them (two names shown alike, "Donn&AOk-es" and "Données").
                std::set<int64_t> taken;
                for (const auto& p : placed)
                    if (auto k = known.find(p.box->name); k != known.end() && cache.FolderExists(k->second))
                        taken.insert(k->second);
                std::set<std::string> present;
                for (const auto& p : placed) {
                    const auto& b = *p.box;
                    const auto& folders = p.place.folders;
                    int64_t id = 0;
                    if (auto k = known.find(b.name); k != known.end() && cache.FolderExists(k->second)) {
                        id = k->second;
                        // A cache made before names were decoded shows the name as the server
                        // spells it.
                        const auto row = cache.Folder(id);
                        if (row.name != folders.back() && row.parent &&
                            !cache.SubfolderByName(*row.parent, folders.back()))
                            cache.RenameFolder(id, folders.back());
                    } else {
                        int64_t parent = cache.RootFolder();
                        std::string prefix;
                        for (size_t i = 0; i + 1 < folders.size(); ++i) {
                            prefix += (i ? std::string(1, delim) : std::string()) + p.place.levels[i];
                            if (auto q = byBox.find(prefix); q != byBox.end()) {
                                parent = q->second;
                                continue;
                            }
                            auto existing = cache.SubfolderByName(parent, folders[i]);
                            parent = existing ? *existing : cache.CreateFolder(parent, folders[i], 0);
                            byBox[prefix] = parent;
                        }
                        auto existing = cache.SubfolderByName(parent, folders.back());
                        if (existing && taken.count(*existing)) {
                            warnings_.push_back("the mailbox \"" + Excerpt(b.name) + "\" on " + s.Server() +
                                                " is passed over: another mailbox is shown under the same name");
                            continue;
                        }
                        id = existing ? *existing : cache.CreateFolder(parent, folders.back(), 0);
                        sql_.Run("INSERT OR REPLACE INTO im_folders(folder_id, mailbox) VALUES (?, ?)", id, b.name);
                    }
                    taken.insert(id);
                    present.insert(b.name);
                    byBox[b.name] = id;
                    if (b.trash && !trash) trash = id;
                    if (b.selectable) synced.push_back(&b);
                }
                for (const auto& [box, id] : known) {
                    if (present.count(box)) continue;
                    // Deleted or renamed by another client, or passed over now.
                    if (cache.FolderExists(id)) cache.RemoveFolder(id);
                    sql_.Run("DELETE FROM im_folders WHERE mailbox = ?", box);
                }
                sql_.Exec("DELETE FROM im_items WHERE folder_id NOT IN (SELECT folder_id FROM im_folders)");
                RemoveUnusedFolders(cache);
            });
        });
        if (!trash)
            if (auto t = byBox.find("Trash"); t != byBox.end()) trash = t->second;
        if (!trash) {
            s.Create("Trash");
            s.Subscribe("Trash");
            cache.ApplyLocally([&] {
                cache.InTransaction([&] {
                    auto existing = cache.SubfolderByName(cache.RootFolder(), "Trash");
                    trash = existing ? *existing : cache.CreateFolder(cache.RootFolder(), "Trash", 0);
                    MapFolder(*trash, "Trash");
                });
            });
            byBox["Trash"] = *trash;
            SyncFolder(cache, "Trash", *trash);
        }
        cache.SetDeletedItemsFolder(*trash);
        for (const auto* b : synced) SyncFolder(cache, b->name, byBox.at(b->name));
    }

    // Takes out of the cache every folder that stands for no mailbox and holds none below it:
    // what a mailbox passed over left (a cache made before such mailboxes were passed over may
    // hold a chain of thousands of folders above one).
    void RemoveUnusedFolders(store::StoreDb& cache) {
        std::unordered_map<int64_t, int64_t> parentOf;
        {
            auto& st = sql_.Prep("SELECT id, parent_id FROM folders WHERE parent_id IS NOT NULL");
            CacheSql::Use u(st);
            while (u->Step()) parentOf[u->Int(0)] = u->Int(1);
        }
        std::set<int64_t> used{cache.RootFolder()};
        {
            auto& st = sql_.Prep("SELECT folder_id FROM im_folders");
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

    void SyncFolder(store::StoreDb& cache, const std::string& box, int64_t folder) {
        auto& s = Session();
        int64_t validity = 0, next = 0, messages = 0, count = 0;
        {
            auto& st = sql_.Prep("SELECT uidvalidity, uidnext, messages FROM im_folders WHERE folder_id = ?");
            CacheSql::Use u(st);
            u->Bind(1, folder);
            if (u->Step()) validity = u->Int(0), next = u->Int(1), messages = u->Int(2);
        }
        count = sql_.IntOf("SELECT count(*) FROM im_items WHERE folder_id = ? AND uid != 0", folder).value_or(0);
        ImapSession::Status status;
        try {
            status = s.StatusOf(box);
        } catch (const AutomationError& e) {
            // Deleted by another client between LIST and now: the next sync drops it.
            warnings_.push_back(e.Description());
            return;
        }
        // Nothing arrived (UIDNEXT) and nothing went (the count) since the cache was made.
        if (validity != 0 && status.uidValidity == validity && status.uidNext == next && status.messages == messages &&
            count == messages)
            return;
        const auto selected = s.Select(box);
        selectedValidity_ = selected.uidValidity;
        std::unordered_map<int64_t, int64_t> cached;  // uid -> item
        // Moved in by us with the UID not told, or a second item for one UID (a cache made
        // from a server that answered a FETCH twice): taken out, the message is fetched again.
        std::vector<int64_t> unknown;
        {
            auto& st = sql_.Prep("SELECT uid, item_id FROM im_items WHERE folder_id = ? ORDER BY item_id");
            CacheSql::Use u(st);
            u->Bind(1, folder);
            while (u->Step())
                if (u->Int(0) == 0 || !cached.emplace(u->Int(0), u->Int(1)).second) unknown.push_back(u->Int(1));
        }
        const bool rebuilt = validity != 0 && selected.uidValidity != validity;
        const auto uids = s.UidSearchAll();
        std::vector<uint32_t> fresh;
        std::set<int64_t> now(uids.begin(), uids.end());
        for (uint32_t uid : uids)
            if (rebuilt || !cached.count(uid)) fresh.push_back(uid);
        // By UID: one cache item for each message of the folder, whatever the server repeats.
        std::map<uint32_t, std::pair<ImapSession::Message, store::ItemData>> parsed;
        s.Fetch(fresh, kFields, [&](ImapSession::Message&& m) {
            const std::string label = url_.Canonical() + box + ";UID=" + std::to_string(m.uid);
            try {
                auto item = ItemFromHeader(m.header, label, dates::FromUnixMillis(m.internalDateMs));
                m.header.clear();
                const uint32_t uid = m.uid;
                parsed.insert_or_assign(uid, std::make_pair(std::move(m), std::move(item)));
            } catch (const AutomationError& e) {
                warnings_.push_back(e.Description() + "; skipped");
            }
        });
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                // A changed UIDVALIDITY: every UID of the cache means nothing now.
                for (const auto& [uid, item] : cached)
                    if (rebuilt || !now.count(uid)) {
                        cache.RemoveItem(item);
                        DeleteRow(item);
                    }
                for (int64_t item : unknown) {
                    cache.RemoveItem(item);
                    DeleteRow(item);
                }
                auto& ins = sql_.Prep(
                    "INSERT INTO im_items(item_id, folder_id, uid, size, internal, flags) VALUES (?, ?, ?, ?, ?, ?)");
                for (const auto& [uid, message] : parsed) {
                    const auto& [m, data] = message;
                    const int64_t id = cache.AddItem(folder, data);
                    CacheSql::Use u(ins);
                    u->Bind(1, id).Bind(2, folder).Bind(3, static_cast<int64_t>(m.uid)).Bind(4, static_cast<int64_t>(m.size));
                    u->Bind(5, m.internalDateMs).Bind(6, m.flags);
                    u->Run();
                }
                sql_.Run("UPDATE im_folders SET uidvalidity = ?, uidnext = ?, messages = ?, modseq = ? WHERE folder_id = ?",
                         static_cast<int64_t>(selected.uidValidity), static_cast<int64_t>(selected.uidNext),
                         static_cast<int64_t>(uids.size()), static_cast<int64_t>(selected.highestModSeq), folder);
            });
        });
    }

    // ------------------------------------------------------------------ moves
    struct Moving {
        int64_t item;
        uint32_t uid;
        int64_t internal, size;
    };
    // Moves from one mailbox into another, with their intents recorded.
    struct Batch {
        std::string src, dest;
        int64_t srcFolder = 0, destFolder = 0, validity = 0, destNext = 0;
        std::vector<Moving> items;
    };

    bool Pending(int64_t item) const {
        return std::any_of(batch_.items.begin(), batch_.items.end(), [&](const Moving& m) { return m.item == item; });
    }
    // SendBatch for whatever needs the batch gone first. During a run a failure is kept for
    // EndRun, so that the run is reported failed and not the call that happened to send it
    // (the engine would take that for its own item's failure).
    void SendPending(store::StoreDb& cache) {
        try {
            SendBatch(cache);
        } catch (const AutomationError& e) {
            if (runs_ == 0) throw;
            if (!unsent_) unsent_ = e;
        }
    }

    // Sends the batch put off by MoveItem and settles the cache with what the server did.
    void SendBatch(store::StoreDb& cache) {
        const auto held = std::move(batchHold_);
        if (batch_.items.empty()) return;
        Batch b = std::exchange(batch_, {});
        bodies_.clear();  // fetched ahead under UIDs that change now
        std::vector<uint32_t> uids;
        for (const auto& m : b.items) uids.push_back(m.uid);
        std::sort(uids.begin(), uids.end());
        ImapSession::UidPairs told;
        std::vector<uint32_t> stayed;  // said to be moved, still in the source
        try {
            auto& s = Session();
            SelectChecked(cache, b.srcFolder, b.src);
            FaultPoint("imap:sending");
            if (s.HasMove()) {
                told = s.UidMove(uids, b.dest);
            } else {
                // With UIDPLUS: only what the server says it copied goes from the source.
                told = s.UidCopy(uids, b.dest);
                FaultPoint("imap:copied");
                std::vector<uint32_t> copied;
                for (const auto& [from, to] : told) copied.push_back(from);
                std::sort(copied.begin(), copied.end());
                s.UidMarkDeleted(copied);
                s.UidExpunge(copied);
            }
            // A server's word is not taken for it: what it moved is gone from the source.
            stayed = s.UidSearchIn(uids);
        } catch (const AutomationError&) {
            // What the server did is not known: the cache shows the moves not made, and the
            // intents stay. A new connection settles them at once (a MOVE cut short may have
            // made the copies and left the originals); failing that, the next change of this
            // run or the next synchronisation does.
            session_.reset();
            unsettled_ = true;
            cache.ApplyLocally([&] {
                cache.InTransaction([&] {
                    for (const auto& m : b.items)
                        if (cache.ItemExists(m.item) && cache.PlaceOf(m.item).folder != b.srcFolder)
                            cache.MoveItem(m.item, b.srcFolder);
                });
            });
            try {
                SettleIntents(cache);
            } catch (const AutomationError&) {
                session_.reset();
            }
            throw;
        }
        FaultPoint("imap:moved");
        try {
            SettleBatch(cache, b, told, true, true, stayed);
        } catch (const AutomationError&) {
            session_.reset();
            unsettled_ = true;  // the intents left are settled by the next change or synchronisation
            throw;
        }
        if (!stayed.empty())
            Raise(errnum::kMapiCallFailed,
                  "the server " + session_->Server() + " said it moved " + std::to_string(uids.size()) +
                      " messages from " + b.src + " into " + b.dest + ", but " + std::to_string(stayed.size()) +
                      " of them are still in " + b.src + "; they stay there");
    }

    // Brings the cache's side of `b`'s intents to what the server has: each message moved
    // (its copy in the target, told by COPYUID or found as a message that arrived there after
    // the recorded UIDNEXT with the same arrival time and size), not moved (still in the
    // source), or gone. A move cut short with the copy made and the original still there
    // (Dovecot's MOVE of a Maildir is a link and an expunge) is completed.
    void SettleBatch(store::StoreDb& cache, const Batch& b, const ImapSession::UidPairs& told, bool srcThere,
                     bool destThere, const std::vector<uint32_t>& stayed = {}) {
        auto& s = Session();
        // What is still in the source stays there, whatever the server claimed: nothing is
        // expunged on the word of a server that said it moved what it did not.
        std::set<uint32_t> originals(stayed.begin(), stayed.end());
        std::unordered_map<uint32_t, uint32_t> copyOf;
        for (const auto& [from, to] : told)
            if (!originals.count(from)) copyOf.emplace(from, to);
        std::vector<uint32_t> unknown;
        for (const auto& m : b.items)
            if (!copyOf.count(m.uid) && !originals.count(m.uid)) unknown.push_back(m.uid);
        std::sort(unknown.begin(), unknown.end());
        if (!unknown.empty() && srcThere) {
            const auto st = s.Select(b.src);
            selectedValidity_ = st.uidValidity;
            if (st.uidValidity == static_cast<uint32_t>(b.validity))
                for (uint32_t u : s.UidSearchIn(unknown)) originals.insert(u);
        }
        if (!unknown.empty() && destThere) {
            // Copies not told of: arrivals the cache does not know yet, matched by arrival time
            // and size (identical duplicates may swap, which changes nothing).
            std::set<uint32_t> taken;
            for (const auto& [from, to] : told) taken.insert(to);
            {
                auto& st = sql_.Prep("SELECT uid FROM im_items WHERE folder_id = ? AND uid >= ?");
                CacheSql::Use u(st);
                u->Bind(1, b.destFolder).Bind(2, b.destNext);
                while (u->Step()) taken.insert(static_cast<uint32_t>(u->Int(0)));
            }
            s.Select(b.dest);
            std::vector<uint32_t> arrived;
            for (uint32_t u : s.UidSearchFrom(static_cast<uint32_t>(std::max<int64_t>(b.destNext, 1))))
                if (!taken.count(u)) arrived.push_back(u);
            std::vector<ImapSession::Message> arrivals;
            s.Fetch(arrived, {"MESSAGE-ID"}, [&](ImapSession::Message&& m) { arrivals.push_back(std::move(m)); });
            for (const auto& m : b.items) {
                if (copyOf.count(m.uid) || std::binary_search(stayed.begin(), stayed.end(), m.uid)) continue;
                for (auto& a : arrivals)
                    if (a.uid != 0 && a.internalDateMs == m.internal && a.size == static_cast<uint32_t>(m.size)) {
                        copyOf[m.uid] = a.uid;
                        a.uid = 0;
                        break;
                    }
            }
        }
        std::vector<uint32_t> doubled;  // copy made, original still there
        for (uint32_t u : originals)
            if (copyOf.count(u)) doubled.push_back(u);
        if (!doubled.empty()) {
            if (s.HasUidPlus()) {
                s.Select(b.src);
                s.UidMarkDeleted(doubled);
                s.UidExpunge(doubled);
                for (uint32_t u : doubled) originals.erase(u);
            } else {
                warnings_.push_back(std::to_string(doubled.size()) + " moves from " + b.src + " into " + b.dest +
                                    " were cut short and the server (no UIDPLUS) cannot expunge the originals alone: "
                                    "those messages are in both folders");
            }
        }
        size_t vanished = 0;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                for (const auto& m : b.items) {
                    ClearIntentRow(m.item);
                    if (!cache.ItemExists(m.item)) continue;
                    const int64_t now = cache.PlaceOf(m.item).folder;
                    if (originals.count(m.uid)) {
                        if (now != b.srcFolder) cache.MoveItem(m.item, b.srcFolder);
                    } else if (auto c = copyOf.find(m.uid); c != copyOf.end() && b.destFolder != 0) {
                        if (now != b.destFolder) cache.MoveItem(m.item, b.destFolder);
                        // A UID another item of the target has already is none the cache takes
                        // (one item per message): the next synchronisation finds the message.
                        const bool clash = sql_.IntOf("SELECT item_id FROM im_items WHERE folder_id = ? AND uid = ? "
                                                      "AND item_id != ?",
                                                      b.destFolder, static_cast<int64_t>(c->second), m.item)
                                               .has_value();
                        sql_.Run("UPDATE im_items SET folder_id = ?, uid = ? WHERE item_id = ?", b.destFolder,
                                 clash ? int64_t{0} : static_cast<int64_t>(c->second), m.item);
                    } else {
                        cache.RemoveItem(m.item);
                        DeleteRow(m.item);
                        ++vanished;
                    }
                }
            });
        });
        if (vanished)
            warnings_.push_back(std::to_string(vanished) + " messages of " + b.src + " on " + s.Server() +
                                " vanished before they could be moved (expunged or moved by another client)");
    }

    // Settles the intents a process left behind (killed, or cut off from the server) against
    // what the server has now, one batch per pair of folders.
    void SettleIntents(store::StoreDb& cache) {
        const auto held = changes_.Hold();  // not a change another process has under way
        std::map<std::tuple<std::string, std::string, int64_t>, Batch> batches;
        {
            auto& st = sql_.Prep(
                "SELECT item_id, src, uid, uidvalidity, dest, dest_uidnext, coalesce(internal, 0), coalesce(size, 0) "
                "FROM im_intents");
            CacheSql::Use u(st);
            while (u->Step()) {
                auto& b = batches[{u->Text(1), u->Text(4), u->Int(3)}];
                b.src = u->Text(1);
                b.dest = u->Text(4);
                b.validity = u->Int(3);
                b.destNext = b.items.empty() ? u->Int(5) : std::min(b.destNext, u->Int(5));
                b.items.push_back({u->Int(0), static_cast<uint32_t>(u->Int(2)), u->Int(6), u->Int(7)});
            }
        }
        if (batches.empty()) {
            unsettled_ = false;
            return;
        }
        auto& s = Session();
        // A folder of an intent deleted or renamed by another client since: what was in it is
        // not there (the next synchronisation finds a renamed folder's messages again).
        std::set<std::string> boxes;
        for (const auto& m : s.List()) boxes.insert(m.name);
        for (auto& [key, b] : batches) {
            b.srcFolder = FolderOfMailbox(b.src).value_or(0);
            b.destFolder = FolderOfMailbox(b.dest).value_or(0);
            const bool srcThere = boxes.count(b.src) > 0, destThere = boxes.count(b.dest) > 0;
            if (!srcThere || !destThere)
                warnings_.push_back("moves from " + b.src + " into " + b.dest + " were cut short and a folder of "
                                    "them is no longer on the server " + s.Server());
            SettleBatch(cache, b, {}, srcThere && b.srcFolder != 0, destThere);
        }
        unsettled_ = false;
        // Every folder is looked at again, whatever its counters say.
        cache.InTransaction([&] { sql_.Exec("UPDATE im_folders SET messages = -1"); });
    }

    store::ConnectedEntry entry_;
    ImapUrl url_;
    ImapConnectOptions options_;
    std::string passwordFile_;
    std::string timeoutOption_;
    CacheSql sql_;
    ChangeLock changes_;
    std::unique_ptr<ImapSession> session_;
    std::unordered_map<int64_t, std::string> bodies_;  // fetched ahead by CompleteItem
    bool unsettled_ = false;  // a change failed after its intent was recorded
    Batch batch_;             // moves put off until the run ends (or the batch is full)
    std::shared_ptr<void> batchHold_;
    int runs_ = 0;            // BeginRun without EndRun
    std::optional<AutomationError> unsent_;  // a batch of this run that failed, for EndRun
    int64_t selectedValidity_ = -1;
    std::string lastError_ = "not synchronised yet";
    std::vector<std::string> warnings_;
};

}  // namespace

std::shared_ptr<store::Upstream> MakeImapUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache) {
    return std::make_shared<ImapUpstream>(entry, cache);
}

}  // namespace nubra::connected
