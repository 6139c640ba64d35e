#include "standin_host/history/History.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "host/Automation.h"
#include "host/Outlook.h"
#include "standin_host/store/NameHash.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/PrivateFolder.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"
#include "standin_host/store/Sql.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::history {

namespace {
constexpr const char* kSource = "NubraHistory";
constexpr int kFormat = 1;

const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS runs(
  id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT, command TEXT NOT NULL,
  status TEXT NOT NULL, process TEXT);
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

std::string ReadText(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// When process `pid` started (clock ticks after boot, as /proc gives it), "" when it is gone.
std::string StartOf(const std::string& pid) {
    const std::string stat = ReadText("/proc/" + pid + "/stat");
    // The fields after the command's closing parenthesis; the start time is the 20th.
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 1)));
    std::string field;
    for (int i = 0; i < 20 && (fields >> field); ++i) {
    }
    return field;
}

std::string BootId() {
    std::string boot = ReadText("/proc/sys/kernel/random/boot_id");
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) boot.pop_back();
    return boot;
}

// This process, as "boot id:pid:start time": a pid alone may have been taken by another
// process since, and the start time alone repeats after a restart.
std::string ThisProcess() {
    const std::string pid = std::to_string(::getpid());
    return BootId() + ":" + pid + ":" + StartOf(pid);
}

// Whether the process `process` (as ThisProcess gives it) still runs; an unreadable record is
// taken for a running one, so that a run is never shown as interrupted on a guess.
bool StillRuns(const std::string& process) {
    const auto first = process.find(':'), second = process.rfind(':');
    if (first == std::string::npos || second == first) return true;
    if (process.compare(0, first, BootId()) != 0) return false;  // the machine started again since
    const std::string pid = process.substr(first + 1, second - first - 1);
    if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) return true;
    return StartOf(pid) == process.substr(second + 1);
}

// A prepared statement of the history file, finalized at the end of its scope; failures name
// the file.
class Query : public store::SqlStatement {
public:
    Query(sqlite3* db, const char* sql, const std::function<void(const std::string&)>& fail)
        : SqlStatement(db, sql, [fail](int, const std::string& what) { fail(what); }) {}
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
    // What was removed from whose mail is the user's business alone, and a record another
    // user could write to would tell a restore what to move.
    store::RequirePrivateFolder(file_.parent_path());
    ::close(store::OpenPrivateFile(file_, true));
    if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        Fail("cannot open");
    sqlite3_busy_timeout(db_, 5000);
    Exec("PRAGMA journal_mode=WAL");
    Synchronous(true);
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
    // Histories written before runs named their process.
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    bool hasProcess = false;
    {
        Query q(db_, "SELECT 1 FROM pragma_table_info('runs') WHERE name = 'process'", fail);
        hasProcess = q.Step();
    }
    if (!hasProcess) Exec("ALTER TABLE runs ADD COLUMN process TEXT");
}

History::~History() {
    GiveBackRoom();
    try {
        CommitNotes();
    } catch (const AutomationError&) {
        // notes of removals that cannot have been committed after them
    }
    insertRemoval_.reset();
    if (db_) sqlite3_close_v2(db_);
}

void History::Synchronous(bool full) {
    if (synchronousFull_ == full) return;
    synchronousFull_.reset();  // unknown should the pragma fail
    Exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    synchronousFull_ = full;
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
    // Runs started in the same second differ in the suffix alone. A random device is not to be
    // trusted to be random (some processors' generators return the same word every time), so
    // the clock's fraction and the process are mixed in, and a suffix already taken is passed by
    // rather than failing the run.
    std::random_device rd;
    const auto ns = static_cast<uint64_t>(now.time_since_epoch().count());
    const uint32_t seed = rd() ^ static_cast<uint32_t>(ns ^ (ns >> 32)) ^ (static_cast<uint32_t>(::getpid()) * 40503u);
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    KeepRoom();
    Query q(db_, "INSERT OR IGNORE INTO runs(id, started, command, status, process) VALUES (?, ?, ?, 'running', ?)",
            fail);
    for (uint32_t attempt = 0; attempt < 0x10000; ++attempt) {
        char id[40];
        std::snprintf(id, sizeof id, "%s-%04x", stamp, static_cast<unsigned>((seed + attempt) & 0xFFFF));
        q.Bind(1, std::string(id)).Bind(2, NowUtc()).Bind(3, command).Bind(4, ThisProcess()).Run();
        if (sqlite3_changes(db_) == 1) return id;
    }
    Fail("no run id left for " + std::string(stamp));
}

int32_t History::BeginFolder(const std::string& runId, const FolderRecord& folder) {
    CommitNotes();
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
                "INSERT INTO folders(run_id, seq, path, store_id, folder_id, removed, failed) "
                "VALUES (?, ?, ?, ?, ?, 0, 0)",
                fail);
        f.Bind(1, runId).Bind(2, seq).Bind(3, folder.path).Bind(4, folder.storeId).Bind(5, folder.folderId).Run();
        Exec("COMMIT");
        return static_cast<int32_t>(seq);
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

namespace {
constexpr const char* kInsertRemoval =
    "INSERT OR REPLACE INTO removals(run_id, folder_seq, seq, kind, title, created, action, store_before, "
    "entry_before, folder_before, path_before, store_after, entry_after, folder_after, path_after, "
    "duplicate_of, duplicate_of_title) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
// Writes removal `r` with statement `q` (kInsertRemoval), which may be used again after.
void BindRemoval(store::SqlStatement& q, const std::string& runId, int64_t folderSeq, int64_t seq, const Removal& r) {
    q.Reset();
    q.Bind(1, runId).Bind(2, folderSeq).Bind(3, seq).Bind(4, r.kind).Bind(5, r.title).Bind(6, r.created);
    q.Bind(7, r.action).Bind(8, r.storeBefore).Bind(9, r.entryBefore).Bind(10, r.folderBefore);
    q.Bind(11, r.pathBefore).Bind(12, r.storeAfter).Bind(13, r.entryAfter).Bind(14, r.folderAfter);
    q.Bind(15, r.pathAfter).Bind(16, r.duplicateOf).Bind(17, r.duplicateOfTitle).Run();
}
}  // namespace

void History::NoteRemoval(const std::string& runId, int32_t folderSeq, int32_t seq, const Removal& planned,
                          bool keepOpen) {
    // One note per removal: kept by SQLite's log when this process ends, without a flush to the
    // disk each (the folder's record is flushed when it is done). Notes kept open share one
    // commit, as the removals of a run's group do in their store.
    if (!notesOpen_) Synchronous(false);
    if (!insertRemoval_) {
        std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
        insertRemoval_ = std::make_unique<Query>(db_, kInsertRemoval, fail);
    }
    if (keepOpen && !notesOpen_) {
        Exec("BEGIN IMMEDIATE");
        notesOpen_ = true;
    }
    try {
        BindRemoval(*insertRemoval_, runId, folderSeq, seq, planned);
    } catch (...) {
        if (notesOpen_) {
            notesOpen_ = false;
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
    if (!keepOpen) CommitNotes();
}

void History::CommitNotes() {
    if (!notesOpen_) return;
    notesOpen_ = false;
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return;
    try {
        Fail("cannot write");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void History::DropRemoval(const std::string& runId, int32_t folderSeq, int32_t seq) {
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Synchronous(false);
    Query q(db_, "DELETE FROM removals WHERE run_id = ? AND folder_seq = ? AND seq = ?", fail);
    q.Bind(1, runId).Bind(2, int64_t{folderSeq}).Bind(3, int64_t{seq}).Run();
}

void History::EndFolder(const std::string& runId, int32_t folderSeq, const FolderRecord& folder) {
    CommitNotes();
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Synchronous(true);
    Exec("BEGIN IMMEDIATE");
    try {
        Query f(db_,
                "UPDATE folders SET path = ?, store_id = ?, folder_id = ?, outcome = ?, removed = ?, failed = ? "
                "WHERE run_id = ? AND seq = ?",
                fail);
        f.Bind(1, folder.path).Bind(2, folder.storeId).Bind(3, folder.folderId).Bind(4, folder.outcome);
        f.Bind(5, int64_t{folder.removed}).Bind(6, int64_t{folder.failed}).Bind(7, runId).Bind(8, int64_t{folderSeq});
        f.Run();
        Query d(db_, "DELETE FROM removals WHERE run_id = ? AND folder_seq = ?", fail);
        d.Bind(1, runId).Bind(2, int64_t{folderSeq}).Run();
        int64_t n = 0;
        // One statement for every row of the folder.
        Query q(db_, kInsertRemoval, fail);
        for (const auto& r : folder.removals) BindRemoval(q, runId, folderSeq, ++n, r);
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

// A run's notes may fill the disk, and the history must then still say the run failed: the
// room for that is taken when the run begins, in a file without a name (freed by the system
// when this process ends, however it ends). A disk without that room does not take the run; a
// file system without such files runs it without.
void History::KeepRoom() {
    if (room_ >= 0) return;
    room_ = ::open(file_.parent_path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (room_ < 0) return;
    const int rc = ::posix_fallocate(room_, 0, 16 * 1024);
    if (rc == 0) return;
    GiveBackRoom();
    if (rc == ENOSPC || rc == EDQUOT)
        RaiseError(errnum::kMapiDiskError, "history file \"" + file_.string() + "\": no room left on its disk to record a run",
                   kSource);
}

void History::GiveBackRoom() {
    if (room_ >= 0) ::close(room_);
    room_ = -1;
}

void History::EndRun(const std::string& runId, const std::string& status) {
    CommitNotes();
    std::function<void(const std::string&)> fail = [this](const std::string& w) { Fail(w); };
    Synchronous(true);
    Query q(db_, "UPDATE runs SET ended = ?, status = ? WHERE id = ?", fail);
    auto write = [&] { q.Bind(1, NowUtc()).Bind(2, status).Bind(3, runId).Run(); };
    try {
        write();
    } catch (const AutomationError& e) {
        if (room_ < 0 || e.Number() != errnum::kMapiDiskError) throw;
        GiveBackRoom();
        q.Reset();
        write();
    }
    GiveBackRoom();
}

void History::MarkRestored(const std::string& runId, int32_t folderSeq, int32_t seq) {
    CommitNotes();
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
            "(SELECT count(*) FROM removals m WHERE m.run_id = r.id AND m.restored IS NOT NULL), "
            "coalesce(r.process, '') FROM runs r ORDER BY r.rowid",
            fail);
    std::vector<RunRecord> out;
    while (q.Step()) {
        RunRecord r{q.Text(0), q.Text(1), q.Text(2), q.Text(3), q.Text(4), static_cast<int32_t>(q.Int(5)),
                    static_cast<int32_t>(q.Int(6)), static_cast<int32_t>(q.Int(7))};
        // A run whose process has gone without ending it was stopped from outside.
        if (r.status == "running" && !q.Text(8).empty() && !StillRuns(q.Text(8))) r.status = "interrupted";
        out.push_back(std::move(r));
    }
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

namespace {

constexpr const char* kDuplicatesFolder = "Nubra_Duplicate_Items";

bool Moving(const Removal& r) { return r.action == "moved" || r.action == "moving"; }

// The store's name as the removal's path gives it (its first part).
std::string StoreNameOf(const Removal& r) {
    const std::string name = r.pathBefore.substr(0, r.pathBefore.find('\\'));
    return name.empty() ? r.storeBefore : name;
}

// Whether `where` (the folder the item is in now) is a place a run puts an item taken from
// `source`: its Nubra_Duplicate_Items folder, or (for a removal that deleted) the store's
// Deleted Items. Nothing else is moved back: the record could be another's doing.
bool PutThereByARun(const Removal& r, outlook::MAPIFolder& where, outlook::MAPIFolder& source) {
    auto& w = store::AsFolder(where, "Restore");
    auto& s = store::AsFolder(source, "Restore");
    if (w.Store() != s.Store()) return false;
    const auto row = w.Store()->Folder(w.Id());
    if (Moving(r)) return row.name == kDuplicatesFolder && row.parent == s.Id();
    return w.Store()->IsInDeletedItems(w.Id());
}

}  // namespace

namespace {

// One restore of one run: the folders held, what moved back, what was said.
class Restoring {
public:
    Restoring(store::Profile& profile, History& history, std::string runId)
        : profile_(profile), history_(history), runId_(std::move(runId)), ns_(profile.NameSpace()) {}

    RestoreResult Run(const std::vector<FolderRecord>& folders) {
        HoldSources(folders);
        for (size_t f = 0; f < folders.size(); ++f)
            for (size_t i = 0; i < folders[f].removals.size(); ++i)
                One(folders[f].removals[i], {static_cast<int32_t>(f + 1), static_cast<int32_t>(i + 1)});
        // A connected store sends the moves as the folders are let go; only then are they marked
        // (one not sent is still where the run put it, for the next restore) and their emptied
        // duplicates folders looked at. Every folder is let go before a failure is raised.
        std::optional<AutomationError> failure;
        for (auto& session : held_) {
            try {
                session->Finish();
            } catch (const AutomationError& e) {
                if (!failure) failure = e;
            }
        }
        held_.clear();
        if (failure) throw *failure;
        for (const auto& [folder, removal] : moved_) history_.MarkRestored(runId_, folder, removal);
        RemoveEmptied();
        return std::move(result_);
    }

private:
    bool InProfile(const Removal& r) const { return profile_.StoreById(r.storeBefore) != nullptr; }

    // No removal run may work on a folder while its items come back (and a damaged store takes
    // nothing back).
    void HoldSources(const std::vector<FolderRecord>& folders) {
        std::set<std::pair<std::string, std::string>> held;
        for (const auto& f : folders)
            for (const auto& r : f.removals) {
                if (!r.restored.empty() || !InProfile(r) || !held.insert({r.folderBefore, r.storeBefore}).second)
                    continue;
                try {
                    held_.push_back(store::LockFolderForRun(*ns_->GetFolderFromID(r.folderBefore, r.storeBefore)));
                } catch (const AutomationError& e) {
                    if (e.Number() != errnum::kMapiNotFound) throw;  // a folder gone since: its items are skipped
                }
            }
    }

    // Moves the item of removal `r` (at its position `at`) back, or says why not.
    void One(const Removal& r, std::pair<int32_t, int32_t> at) {
        if (!InProfile(r)) {
            if (r.restored.empty() && std::find(result_.missingStores.begin(), result_.missingStores.end(),
                                                StoreNameOf(r)) == result_.missingStores.end())
                result_.missingStores.push_back(StoreNameOf(r));
            return;
        }
        // Every duplicates folder of the run is removed once empty, also when an earlier restore
        // that was stopped before removing it brought its items back.
        if (Moving(r) && !r.folderAfter.empty()) emptied_.insert({r.folderAfter, r.storeBefore});
        if (!r.restored.empty()) return;
        const std::string what =
            r.kind.empty() ? "item " + r.entryBefore : r.kind + " \"" + r.title + "\" (" + r.pathAfter + ")";
        if (!r.storeAfter.empty() && r.storeAfter != r.storeBefore)
            return result_.skipped.push_back(what + ": the record names another store; left where it is");
        outlook::ItemRef item;
        outlook::FolderRef where;
        try {
            item = ns_->GetItemFromID(r.entryAfter.empty() ? r.entryBefore : r.entryAfter, r.storeBefore);
            where = profile_.ParentFolder(*item);
        } catch (const AutomationError&) {
            return result_.skipped.push_back(what + ": no longer there (deleted since)");
        }
        if (where->EntryID() == r.folderBefore) {
            // Back already: a restore that was interrupted after the move.
            ++result_.alreadyBack;
            return history_.MarkRestored(runId_, at.first, at.second);
        }
        outlook::FolderRef source;
        try {
            source = ns_->GetFolderFromID(r.folderBefore, r.storeBefore);
        } catch (const AutomationError&) {
            return result_.skipped.push_back(what + ": its folder " + r.pathBefore + " no longer exists");
        }
        if (!PutThereByARun(r, *where, *source))
            return result_.skipped.push_back(what + (where->EntryID() != r.folderAfter
                                                         ? ": moved elsewhere since, left where it is"
                                                         : ": it is not where a run puts what it removes; left where it is"));
        item->Move(*source);
        moved_.push_back(at);
        ++result_.restored;
    }

    void RemoveEmptied() {
        for (const auto& [folderId, storeId] : emptied_) {
            std::string path;
            try {
                auto folder = ns_->GetFolderFromID(folderId, storeId);
                path = profile_.FolderPath(*folder);
                if (folder->Name() == kDuplicatesFolder && profile_.RemoveFolderIfEmpty(*folder))
                    result_.removedFolders.push_back(path);
            } catch (const AutomationError& e) {
                // Gone already, or kept where it lives: then said, never claimed removed.
                if (!path.empty()) result_.keptFolders.push_back(path + ": " + e.Description());
            }
        }
    }

    store::Profile& profile_;
    History& history_;
    std::string runId_;
    std::shared_ptr<outlook::NameSpace> ns_;
    RestoreResult result_;
    std::vector<std::unique_ptr<store::RunSession>> held_;
    std::vector<std::pair<int32_t, int32_t>> moved_;  // (folder, removal) from 1, marked once sent
    std::set<std::pair<std::string, std::string>> emptied_;  // duplicates folders items left
};

}  // namespace

RestoreResult Restore(store::Profile& profile, History& history, const std::string& runId) {
    const auto run = history.Run(runId);
    if (!run) RaiseError(errnum::kMapiNotFound, "there is no run " + runId + " in the history", kSource);
    if (run->status == "running")
        RaiseError(errnum::kMapiBusy, "the run " + runId + " is still running; restore it once it has ended", kSource);
    return Restoring(profile, history, runId).Run(history.Folders(runId));
}

}  // namespace nubra::history
