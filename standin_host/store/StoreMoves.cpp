// What spans two store files or takes a whole one: moves between stores (crash-safe through
// transit markers, completed by the next opening), the integrity checks and the backup copy.
#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "host/MAPIUtils.h"
#include "standin_host/store/StoreSql.h"

namespace nubra::store {

using namespace detail;

void StoreDb::EnsureTransitTable() {
    if (hasTransit_) return;
    Exec(kTransitTable);
    AfterCommit([this] { hasTransit_ = true; });
}

int64_t StoreDb::MoveItemToStore(int64_t item, StoreDb& dest, int64_t destFolder) {
    if (txnDepth_ > 0 || dest.txnDepth_ > 0)
        RaiseError(errnum::kMapiCallFailed, "a move between stores cannot be part of another change", kSource);
    auto props = AllProps(item, SourceTexts::Keep);  // the source goes along (CopySource)
    if (props.empty() && !ItemExists(item))
        RaiseError(errnum::kMapiNotFound,
                   "the item no longer exists (store file \"" + file_.string() + "\")", kSource);
    int64_t newId = 0;
    {
        // The copy must be on disk before the original goes, or a power cut could keep the
        // removal and lose the copy.
        Durable durable(dest);
        Txn t(dest);
        dest.EnsureTransitTable();
        for (auto& [tag, v] : props) {
            if (IdOf(tag) >= 0x8000) {
                auto key = NameOf(static_cast<uint16_t>(IdOf(tag)));
                if (!key)
                    RaiseError(errnum::kMapiCorruptData,
                               "a named property of the item is not registered (store file \"" +
                                   file_.string() + "\")",
                               kSource);
                tag = (static_cast<uint32_t>(dest.NamedId(*key, true)) << 16) | TypeOf(tag);
            }
        }
        std::sort(props.begin(), props.end(), [](auto& a, auto& b) { return a.first < b.first; });
        newId = dest.InsertItemProps(destFolder, props);
        CopySource(item, dest, newId);
        {
            auto& s = dest.Prep("INSERT INTO transit(item_id, src_store, src_item) VALUES (?, ?, ?)");
            Use u(s);
            u->Bind(1, newId).Bind(2, std::span<const uint8_t>(uid_)).Bind(3, item);
            u->Run();
        }
        t.Commit();
    }
    Fault("move:copied");
    std::exception_ptr failure;
    try {
        // On disk before the marker goes, for the same reason.
        Durable durable(*this);
        Txn t(*this);
        RemoveItemRows(item);
        t.Commit();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The original could not be removed: take the copy back, unless a recovery in another
        // process completed the move meanwhile. Both decide under the destination's write
        // lock, so they cannot both act. Should this fail too, the marker stays and the next
        // recovery completes the move.
        bool originalGone = false;
        try {
            Txn t(dest);
            if (ItemExists(item)) {
                dest.RemoveItemRows(newId);
                auto& s = dest.Prep("DELETE FROM transit WHERE item_id = ?");
                Use u(s);
                u->Bind(1, newId);
                u->Run();
            } else {
                originalGone = true;
            }
            t.Commit();
        } catch (const AutomationError&) {
        }
        if (!originalGone) std::rethrow_exception(failure);
    }
    Fault("move:removed");
    try {
        Txn t(dest);
        auto& s = dest.Prep("DELETE FROM transit WHERE item_id = ?");
        Use u(s);
        u->Bind(1, newId);
        u->Run();
        t.Commit();
    } catch (const AutomationError&) {
        // The move is complete; a marker left behind names an original that is gone, and the
        // next recovery just clears it.
    }
    return newId;
}

std::vector<PendingMove> StoreDb::PendingMoves() {
    if (!hasTransit_) {
        auto& s = Prep("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'transit'");
        Use u(s);
        if (!u->Step()) return {};
        hasTransit_ = true;
    }
    std::vector<PendingMove> r;
    auto& s = Prep("SELECT item_id, src_store, src_item FROM transit ORDER BY item_id");
    Use u(s);
    while (u->Step()) r.push_back(PendingMove{u->Int(0), ToHex(u->Blob(1)), u->Int(2)});
    return r;
}

void StoreDb::CompleteMove(const PendingMove& move, StoreDb& source) {
    // Under this store's write lock, which a mover taking its copy back holds too (see
    // MoveItemToStore), and re-read under it: another process may have finished first.
    Txn t(*this);
    {
        auto& s = Prep("SELECT 1 FROM transit WHERE item_id = ?");
        Use u(s);
        u->Bind(1, move.destItem);
        if (!u->Step()) return;  // nothing left to do; the transaction ends unused
    }
    // The copy decides: while it exists the move goes forward (the original goes); when it is
    // gone (removed since), the original is all there is and stays.
    if (ItemExists(move.destItem)) {
        Durable durable(source);
        Txn ts(source);
        source.RemoveItemRows(move.srcItem);
        ts.Commit();
    }
    Fault("recover:removed");
    {
        auto& s = Prep("DELETE FROM transit WHERE item_id = ?");
        Use u(s);
        u->Bind(1, move.destItem);
        u->Run();
    }
    t.Commit();
}

// ---------------------------------------------------------------------------------------
// Integrity

// ---------------------------------------------------------------------------------------
// The record of a sound check: beside the store ("<file>-sound"), what the file and its WAL
// looked like (device, inode, size, modification time to the nanosecond) when the check found
// it sound or when a connection that knew it sound and changed it through SQLite closed it. A
// file that still looks exactly so has not been touched since, and is not read through again:
// a second run in a row costs nothing. Anything else that changes the file changes its size or
// time, and the next run checks it again. Only a hint: missing, unreadable or unwritable, it
// just costs the check.

namespace {
// "-" for a file that is not there or empty (a WAL that SQLite made on opening holds nothing).
std::string StatText(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? "-" : "?";
    if (st.st_size == 0) return "-";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}
}  // namespace

std::string StoreDb::FileState() const {
    return StatText(file_.string()) + " " + StatText(file_.string() + "-wal");
}

std::filesystem::path StoreDb::SoundRecord() const { return file_.string() + "-sound"; }

bool StoreDb::RecordedSound(const std::string& state) const {
    if (state.find('?') != std::string::npos) return false;
    std::ifstream in(SoundRecord());
    std::string line;
    return std::getline(in, line) && line == state;
}

void StoreDb::RecordSound(const std::string& state) const {
    if (readOnly_ || state.find('?') != std::string::npos) return;
    const std::string temp = SoundRecord().string() + ".part";
    const std::string line = state + "\n";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    std::error_code ec;
    if (!written) {
        std::filesystem::remove(temp, ec);
        return;
    }
    std::filesystem::rename(temp, SoundRecord(), ec);
    if (ec) std::filesystem::remove(temp, ec);
}

void StoreDb::RequireSound() {
    if (!damage_) {
        const std::string before = FileState();
        if (RecordedSound(before)) damage_ = std::string();
    }
    if (!damage_) {
        const std::string before = FileState();  // the record names the file as it was checked
        std::string problem;
        try {
            // The check reads every page it checks once: through the scan's cache it would only
            // fill it (64 MiB) with pages the scan never reads. The items' sources, most of the
            // file, are left out: the scan never reads them, and each is checked against its
            // size and its content checksum whenever it is unpacked.
            const auto limit = LimitCache(4 * 1024);
            std::vector<std::string> tables;
            {
                Stmt t(*this, "SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'sources' "
                              "AND name NOT LIKE 'sqlite_%' ORDER BY name");
                while (t.Step()) tables.push_back(t.Text(0));
            }
            for (const auto& table : tables) {
                const std::string check = "PRAGMA quick_check(\"" + table + "\")";
                Stmt s(*this, check.c_str());
                if (!s.Step() || s.Text(0) == "ok") continue;
                problem = s.Text(0);
                // "*** in database main ***\nPage 166: ..." reads better as one line.
                if (auto nl = problem.find('\n'); problem.rfind("***", 0) == 0 && nl != std::string::npos)
                    problem.erase(0, nl + 1);
                for (char& c : problem)
                    if (c == '\n') c = ';';
                break;
            }
        } catch (const AutomationError& e) {
            problem = e.Description();
        }
        damage_ = problem;
        if (problem.empty() && FileState() == before) RecordSound(before);
    }
    if (!damage_->empty())
        RaiseError(errnum::kMapiCorruptData,
                   "the store file \"" + file_.string() + "\" is damaged (" + *damage_ +
                       "); it is left as it is. Restore it from a backup, or copy what 'nubrasweep list' "
                       "can still read into a new store",
                   kSource);
}

void StoreDb::CheckIntegrity(std::vector<std::string>& problems) {
    const std::string where = "store file \"" + file_.string() + "\": ";
    auto query = [&](const char* sql, const std::string& what) {
        try {
            Stmt s(*this, sql);
            while (s.Step()) problems.push_back(where + what + " " + s.Text(0));
        } catch (const AutomationError& e) {
            problems.push_back(where + e.Description());
        }
    };
    try {
        Stmt s(*this, "PRAGMA integrity_check");
        while (s.Step()) {
            std::string line = s.Text(0);
            if (line != "ok") problems.push_back(where + line);
        }
    } catch (const AutomationError& e) {
        problems.push_back(where + e.Description());
        return;
    }
    query("SELECT count(*) FROM folders WHERE parent_id IS NULL HAVING count(*) <> 1",
          "top-level folder count is");
    query("SELECT f.id FROM folders f WHERE f.parent_id IS NOT NULL AND "
          "NOT EXISTS (SELECT 1 FROM folders p WHERE p.id = f.parent_id)",
          "folder without parent:");
    query("SELECT i.id FROM items i WHERE NOT EXISTS (SELECT 1 FROM folders f WHERE f.id = i.folder_id)",
          "item in no existing folder:");
    query("SELECT i.id FROM items i JOIN folders f ON f.id = i.folder_id WHERE i.seq >= f.next_seq",
          "item order number not below its folder's next:");
    query("SELECT folder_id || '/' || seq FROM items GROUP BY folder_id, seq HAVING count(*) > 1",
          "order number used twice:");
    query("SELECT DISTINCT p.item_id FROM props p WHERE NOT EXISTS (SELECT 1 FROM items i WHERE i.id = p.item_id)",
          "properties of a missing item:");
    query("SELECT DISTINCT p.tag FROM props p WHERE p.tag >= 2147483648 AND NOT EXISTS "
          "(SELECT 1 FROM named n WHERE n.prop_id = (p.tag >> 16))",
          "named property tag without a name:");
    query("SELECT i.id FROM items i WHERE NOT EXISTS (SELECT 1 FROM props p WHERE p.item_id = i.id AND p.tag = 1703966)",
          "item without message class:");
}

void StoreDb::BackupTo(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        RaiseError(errnum::kMapiNoAccess, "cannot create \"" + file.string() + "\": " + std::strerror(errno), kSource);
    ::close(fd);
    sqlite3* copy = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        // One step over all pages: the copy shows the store as of one moment.
        sqlite3_backup* b = sqlite3_backup_init(copy, "main", db_, "main");
        if (!b) {
            rc = sqlite3_errcode(copy);
        } else {
            rc = sqlite3_backup_step(b, -1);
            const int finish = sqlite3_backup_finish(b);
            rc = rc == SQLITE_DONE ? finish : rc;
        }
    }
    std::string detail = copy ? sqlite3_errmsg(copy) : sqlite3_errstr(rc);
    sqlite3_close_v2(copy);
    if (rc != SQLITE_OK) {
        std::error_code ec;
        std::filesystem::remove(file, ec);
        RaiseError((rc & 0xFF) == SQLITE_FULL ? errnum::kMapiDiskError : errnum::kMapiNoAccess,
                   "cannot copy the store \"" + file_.string() + "\" to \"" + file.string() + "\": " + detail,
                   kSource);
    }
}

}  // namespace nubra::store
