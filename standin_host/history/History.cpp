#include "standin_host/history/History.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <random>

#include "host/Automation.h"
#include "host/Outlook.h"
#include "standin_host/store/NameHash.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"

namespace nubra::history {

namespace {
constexpr const char* kSource = "NubraHistory";
constexpr int kFormat = 1;

const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS runs(
  id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT, command TEXT NOT NULL,
  status TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS folders(
  run_id TEXT NOT NULL, seq INTEGER NOT NULL, path TEXT NOT NULL, store_id TEXT, folder_id TEXT,
  outcome TEXT, removed INTEGER NOT NULL, failed INTEGER NOT NULL, PRIMARY KEY(run_id, seq));
CREATE TABLE IF NOT EXISTS removals(
  run_id TEXT NOT NULL, folder_seq INTEGER NOT NULL, seq INTEGER NOT NULL,
  kind TEXT, title TEXT, created TEXT, action TEXT NOT NULL,
  store_before TEXT, entry_before TEXT, folder_before TEXT, path_before TEXT,
  store_after TEXT, entry_after TEXT, folder_after TEXT, path_after TEXT,
  duplicate_of TEXT, duplicate_of_title TEXT, restored TEXT,
  PRIMARY KEY(run_id, folder_seq, seq));
)sql";

std::string NowUtc() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// A prepared statement, finalized at the end of its scope.
class Query {
public:
    Query(sqlite3* db, const char* sql, const std::function<void(const std::string&)>& fail) : fail_(fail) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) fail_("cannot prepare a query");
    }
    ~Query() { sqlite3_finalize(s_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    Query& Bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Query& Bind(int i, int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    bool Step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail_("cannot read or write");
        return false;
    }
    void Run() {
        while (Step()) {
        }
    }
    // Ready for the next run with new values.
    void Reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    std::string Text(int c) const {
        auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
        return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(s_, c))) : std::string();
    }
    int64_t Int(int c) const { return sqlite3_column_int64(s_, c); }

private:
    sqlite3_stmt* s_ = nullptr;
    const std::function<void(const std::string&)>& fail_;
};
}  // namespace

std::filesystem::path History::FileFor(const std::filesystem::path& profileDir) {
    std::filesystem::path base;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x == '/') base = x;
    else if (const char* h = std::getenv("HOME"); h && *h) base = std::filesystem::path(h) / ".local" / "state";
    else RaiseError(errnum::kMapiNotFound, "no folder for the history: set XDG_STATE_HOME or HOME", kSource);
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(profileDir), ec);
    return base / "nubrasweep" / ("history-" + store::NameHash((ec ? profileDir : canonical).string()) + ".sqlite");
}

History::History(const std::filesystem::path& file) : file_(file) {
    std::error_code ec;
    if (!std::filesystem::exists(file_.parent_path(), ec)) {
        std::filesystem::create_directories(file_.parent_path(), ec);
        std::filesystem::permissions(file_.parent_path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, ec);
    }
    // What was removed from whose mail is the user's business alone.
    const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) RaiseError(errnum::kMapiNoAccess, "cannot open the history file \"" + file_.string() + "\"", kSource);
    ::close(fd);
    if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        Fail("cannot open");
    sqlite3_busy_timeout(db_, 5000);
    Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    int64_t appId = -1, version = 0;
    {
        auto fail = [this](const std::string& w) { Fail(w); };
        std::function<void(const std::string&)> f = fail;
        Query q(db_, "PRAGMA application_id", f);
        if (q.Step()) appId = q.Int(0);
        Query v(db_, "PRAGMA user_version", f);
        if (v.Step()) version = v.Int(0);
    }
    constexpr int64_t kAppId = 0x4E424849;  // 'NBHI'
    if (appId == 0 && version == 0) {
        Exec(kSchema);
        Exec(("PRAGMA application_id=" + std::to_string(kAppId) + "; PRAGMA user_version=" + std::to_string(kFormat))
                 .c_str());
    } else if (appId != kAppId) {
        RaiseError(errnum::kMapiCorruptData, "\"" + file_.string() + "\" is not a Nubrasweep history file", kSource);
    } else if (version > kFormat) {
        RaiseError(errnum::kMapiNoSupport, "\"" + file_.string() + "\" was written by a newer version", kSource);
    }
}

History::~History() {
    if (db_) sqlite3_close_v2(db_);
}

void History::Fail(const std::string& what) {
    const std::string detail = db_ ? sqlite3_errmsg(db_) : "";
    const int code = db_ ? sqlite3_errcode(db_) & 0xFF : SQLITE_CANTOPEN;
    RaiseError(code == SQLITE_CORRUPT || code == SQLITE_NOTADB ? errnum::kMapiCorruptData
               : code == SQLITE_FULL                           ? errnum::kMapiDiskError
                                                               : errnum::kMapiNoAccess,
               "history file \"" + file_.string() + "\": " + what + (detail.empty() ? "" : ": " + detail), kSource);
}

void History::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot write");
}

std::string History::BeginRun(const std::string& command) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[20];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::random_device rd;
    char id[40];
    std::snprintf(id, sizeof id, "%s-%04x", stamp, static_cast<unsigned>(rd() & 0xFFFF));
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Query q(db_, "INSERT INTO runs(id, started, command, status) VALUES (?, ?, ?, 'running')", fail);
    q.Bind(1, std::string(id)).Bind(2, NowUtc()).Bind(3, command).Run();
    return id;
}

void History::AddFolder(const std::string& runId, const FolderRecord& folder) {
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Exec("BEGIN IMMEDIATE");
    try {
        int64_t seq = 1;
        {
            Query q(db_, "SELECT coalesce(max(seq), 0) + 1 FROM folders WHERE run_id = ?", fail);
            q.Bind(1, runId);
            if (q.Step()) seq = q.Int(0);
        }
        Query f(db_,
                "INSERT INTO folders(run_id, seq, path, store_id, folder_id, outcome, removed, failed) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                fail);
        f.Bind(1, runId).Bind(2, seq).Bind(3, folder.path).Bind(4, folder.storeId).Bind(5, folder.folderId);
        f.Bind(6, folder.outcome).Bind(7, int64_t{folder.removed}).Bind(8, int64_t{folder.failed}).Run();
        int64_t n = 0;
        Query q(db_,
                "INSERT INTO removals(run_id, folder_seq, seq, kind, title, created, action, store_before, "
                "entry_before, folder_before, path_before, store_after, entry_after, folder_after, path_after, "
                "duplicate_of, duplicate_of_title) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                fail);
        for (const auto& r : folder.removals) {
            q.Reset();
            q.Bind(1, runId).Bind(2, seq).Bind(3, ++n).Bind(4, r.kind).Bind(5, r.title).Bind(6, r.created);
            q.Bind(7, r.action).Bind(8, r.storeBefore).Bind(9, r.entryBefore).Bind(10, r.folderBefore);
            q.Bind(11, r.pathBefore).Bind(12, r.storeAfter).Bind(13, r.entryAfter).Bind(14, r.folderAfter);
            q.Bind(15, r.pathAfter).Bind(16, r.duplicateOf).Bind(17, r.duplicateOfTitle).Run();
        }
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void History::EndRun(const std::string& runId, const std::string& status) {
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Query q(db_, "UPDATE runs SET ended = ?, status = ? WHERE id = ?", fail);
    q.Bind(1, NowUtc()).Bind(2, status).Bind(3, runId).Run();
}

void History::MarkRestored(const std::string& runId, int32_t folderSeq, int32_t seq) {
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Query q(db_, "UPDATE removals SET restored = ? WHERE run_id = ? AND folder_seq = ? AND seq = ?", fail);
    q.Bind(1, NowUtc()).Bind(2, runId).Bind(3, int64_t{folderSeq}).Bind(4, int64_t{seq}).Run();
}

std::vector<RunRecord> History::Runs() {
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Query q(db_,
            "SELECT r.id, r.started, coalesce(r.ended, ''), r.command, r.status, "
            "(SELECT count(*) FROM folders f WHERE f.run_id = r.id), "
            "(SELECT count(*) FROM removals m WHERE m.run_id = r.id), "
            "(SELECT count(*) FROM removals m WHERE m.run_id = r.id AND m.restored IS NOT NULL) "
            "FROM runs r ORDER BY r.id",
            fail);
    std::vector<RunRecord> out;
    while (q.Step())
        out.push_back({q.Text(0), q.Text(1), q.Text(2), q.Text(3), q.Text(4), static_cast<int32_t>(q.Int(5)),
                       static_cast<int32_t>(q.Int(6)), static_cast<int32_t>(q.Int(7))});
    return out;
}

std::optional<RunRecord> History::Run(const std::string& runId) {
    for (auto& r : Runs())
        if (r.id == runId) return r;
    return std::nullopt;
}

std::vector<FolderRecord> History::Folders(const std::string& runId) {
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    std::vector<FolderRecord> out;
    {
        Query q(db_,
                "SELECT path, coalesce(store_id, ''), coalesce(folder_id, ''), coalesce(outcome, ''), removed, failed "
                "FROM folders WHERE run_id = ? ORDER BY seq",
                fail);
        q.Bind(1, runId);
        while (q.Step()) {
            FolderRecord f;
            f.path = q.Text(0);
            f.storeId = q.Text(1);
            f.folderId = q.Text(2);
            f.outcome = q.Text(3);
            f.removed = static_cast<int32_t>(q.Int(4));
            f.failed = q.Int(5) != 0;
            out.push_back(std::move(f));
        }
    }
    Query q(db_,
            "SELECT folder_seq, kind, title, created, action, store_before, entry_before, folder_before, path_before, "
            "store_after, entry_after, folder_after, path_after, duplicate_of, duplicate_of_title, "
            "coalesce(restored, '') FROM removals WHERE run_id = ? ORDER BY folder_seq, seq",
            fail);
    q.Bind(1, runId);
    while (q.Step()) {
        const auto folder = static_cast<size_t>(q.Int(0));
        if (folder < 1 || folder > out.size()) continue;
        Removal r{q.Text(1),  q.Text(2),  q.Text(3),  q.Text(4),  q.Text(5),  q.Text(6),  q.Text(7), q.Text(8),
                  q.Text(9),  q.Text(10), q.Text(11), q.Text(12), q.Text(13), q.Text(14), q.Text(15)};
        out[folder - 1].removals.push_back(std::move(r));
    }
    return out;
}

RestoreResult Restore(store::Profile& profile, History& history, const std::string& runId) {
    if (!history.Run(runId)) RaiseError(errnum::kMapiNotFound, "there is no run " + runId + " in the history", kSource);
    auto ns = profile.NameSpace();
    RestoreResult result;
    std::vector<std::pair<std::string, std::string>> emptied;  // duplicates folders items left
    const auto folders = history.Folders(runId);
    // No removal run may work on a folder while its items come back (and a damaged store takes
    // nothing back).
    std::vector<std::shared_ptr<void>> held;
    std::vector<std::pair<std::string, std::string>> locked;
    std::vector<std::pair<int32_t, int32_t>> moved;  // (folder, removal) from 1, marked once sent
    for (const auto& f : folders)
        for (const auto& r : f.removals) {
            const std::pair<std::string, std::string> source{r.folderBefore, r.storeBefore};
            if (!r.restored.empty() || std::find(locked.begin(), locked.end(), source) != locked.end()) continue;
            locked.push_back(source);
            try {
                held.push_back(store::LockFolderForRun(*ns->GetFolderFromID(source.first, source.second)));
            } catch (const AutomationError& e) {
                if (e.Number() != errnum::kMapiNotFound) throw;  // a folder gone since: its items are skipped below
            }
        }
    // A failure below lets the folders go before it is raised: what they could not send is not
    // for a later run to report.
    struct Unsent {
        std::vector<std::shared_ptr<void>>& held;
        ~Unsent() {
            if (held.empty()) return;
            held.clear();
            (void)store::TakeUnsentChanges();
        }
    } unsent{held};
    for (size_t f = 0; f < folders.size(); ++f) {
        for (size_t i = 0; i < folders[f].removals.size(); ++i) {
            const Removal& r = folders[f].removals[i];
            // Every duplicates folder of the run is removed once empty, also when an earlier
            // restore that was stopped before removing it brought its items back.
            const std::pair<std::string, std::string> left{r.folderAfter, r.storeAfter};
            if (r.action == "moved" && std::find(emptied.begin(), emptied.end(), left) == emptied.end())
                emptied.push_back(left);
            if (!r.restored.empty()) continue;
            const std::string what = r.kind + " \"" + r.title + "\" (" + r.pathAfter + ")";
            const std::pair<int32_t, int32_t> at{static_cast<int32_t>(f + 1), static_cast<int32_t>(i + 1)};
            auto mark = [&] { history.MarkRestored(runId, at.first, at.second); };
            outlook::ItemRef item;
            std::string where;
            try {
                item = ns->GetItemFromID(r.entryAfter, r.storeAfter);
                where = profile.ParentFolder(*item)->EntryID();
            } catch (const AutomationError&) {
                item.reset();
            }
            if (!item) {
                result.skipped.push_back(what + ": no longer there (deleted since)");
                continue;
            }
            if (where == r.folderBefore) {
                // Back already: a restore that was interrupted after the move.
                ++result.alreadyBack;
                mark();
                continue;
            }
            if (where != r.folderAfter) {
                result.skipped.push_back(what + ": moved elsewhere since, left where it is");
                continue;
            }
            outlook::FolderRef source;
            try {
                source = ns->GetFolderFromID(r.folderBefore, r.storeBefore);
            } catch (const AutomationError&) {
                result.skipped.push_back(what + ": its folder " + r.pathBefore + " no longer exists");
                continue;
            }
            item->Move(*source);
            moved.push_back(at);
            ++result.restored;
        }
    }
    // A connected store sends the moves as the folders are let go; only then are they marked
    // (one not sent is still where the run put it, for the next restore) and their emptied
    // duplicates folders looked at.
    held.clear();
    if (auto unsent = store::TakeUnsentChanges()) throw *unsent;
    for (const auto& [folder, removal] : moved) history.MarkRestored(runId, folder, removal);
    for (const auto& [folderId, storeId] : emptied) {
        try {
            auto folder = ns->GetFolderFromID(folderId, storeId);
            const std::string path = profile.FolderPath(*folder);
            if (folder->Name() == "Nubra_Duplicate_Items" && profile.RemoveFolderIfEmpty(*folder))
                result.removedFolders.push_back(path);
        } catch (const AutomationError&) {
            // gone already
        }
    }
    return result;
}

}  // namespace nubra::history
