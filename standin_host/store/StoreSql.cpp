// The store's SQLite wrapper: connections, statements, failures turned into MAPI status codes,
// the caches' check for other connections' changes, and the small text helpers of the store.
#include "standin_host/store/StoreSql.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>

#include "host/AutomationDates.h"

namespace nubra::store {

namespace detail {

std::atomic<uint64_t> gChanges{0};

void Invalid(const std::string& what) {
    RaiseError(errnum::kMapiInvalidParameter, what, kSource);
}

}  // namespace detail

void SeeChangesElsewhereNow() { detail::gChanges.fetch_add(1, std::memory_order_acq_rel); }

using namespace detail;

namespace {
// The steady clock at the resolution of the system's tick (a few ms): the store asks it on
// every read to tell whether to look for other processes' changes, and the intervals it
// measures are tens of milliseconds, so the tick is plenty and costs a fraction of the exact
// clock.
std::chrono::steady_clock::time_point CoarseNow() {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec ts{};
    if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0)
        return std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
#endif
    return std::chrono::steady_clock::now();
}

std::function<void(const char*)>& FaultHook() {
    static std::function<void(const char*)> hook;
    return hook;
}

void FoldFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const unsigned char* t = sqlite3_value_text(argv[0]);
    if (!t) {
        sqlite3_result_null(ctx);
        return;
    }
    std::string folded = FoldCase(reinterpret_cast<const char*>(t));
    sqlite3_result_text(ctx, folded.c_str(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Helpers

void SetFaultHookForTesting(std::function<void(const char* point)> hook) { FaultHook() = std::move(hook); }

void StoreDb::Fault(const char* point) {
    if (FaultHook()) FaultHook()(point);
}

std::string FoldCase(const std::string& text) {
    bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii) {
        std::string r = text;
        for (auto& c : r)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return r;
    }
    std::string out;
    icu::UnicodeString::fromUTF8(text).foldCase(U_FOLD_CASE_DEFAULT).toUTF8String(out);
    return out;
}

std::string ToHex(std::span<const uint8_t> bytes) {
    static const char* digits = "0123456789ABCDEF";
    // Written in place: an entry ID is made for every item a scan looks at, and a push per
    // digit (with its check of the room) cost several times the conversion itself.
    std::string s(bytes.size() * 2, '\0');
    char* out = s.data();
    for (uint8_t b : bytes) {
        *out++ = digits[b >> 4];
        *out++ = digits[b & 15];
    }
    return s;
}

std::optional<std::vector<uint8_t>> FromHex(const std::string& text) {
    if (text.empty() || text.size() % 2) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::vector<uint8_t> out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return out;
}

std::optional<std::string> NormaliseGuid(const std::string& text) {
    std::string s = text;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
    if (s.size() != 36) return std::nullopt;
    for (size_t i = 0; i < s.size(); ++i) {
        char& c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return std::nullopt;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        } else {
            return std::nullopt;
        }
    }
    return "{" + s + "}";
}

void StoreDb::AfterCommit(std::function<void()> f) {
    if (txnDepth_ > 0)
        onCommit_.push_back(std::move(f));
    else
        f();
}

void StoreDb::Fail(int rc, const std::string& what) {
    int primary = rc & 0xFF;
    std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    std::string where = " (store file \"" + file_.string() + "\")";
    switch (primary) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            RaiseError(errnum::kMapiBusy, what + ": the store is busy in another program" + where,
                       kSource);
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            RaiseError(errnum::kMapiCorruptData, what + ": the store file is damaged: " + detail + where,
                       kSource);
        case SQLITE_FULL:
        case SQLITE_IOERR:
            RaiseError(errnum::kMapiDiskError, what + ": " + detail + where, kSource);
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH:
            RaiseError(errnum::kMapiNoAccess, what + ": " + detail + where, kSource);
        case SQLITE_CONSTRAINT:
            RaiseError(errnum::kMapiCollision, what + ": " + detail + where, kSource);
        case SQLITE_NOMEM: RaiseError(errnum::kOutOfMemory, {}, kSource);
        default: RaiseError(errnum::kMapiCallFailed, what + ": " + detail + where, kSource);
    }
}

void StoreDb::Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, std::string("cannot run \"") + std::string(sql).substr(0, 40) + "\"");
}

StoreDb::Stmt& StoreDb::Prep(const char* sql) {
    auto it = stmts_.find(sql);
    if (it != stmts_.end()) return *it->second;
    auto s = std::make_unique<Stmt>(*this, sql);
    auto& ref = *s;
    stmts_.emplace(sql, std::move(s));
    return ref;
}

StoreDb::Stmt& StoreDb::PrepDynamic(const std::string& sql) {
    auto it = dynStmts_.find(sql);
    if (it != dynStmts_.end()) return *it->second;
    if (dynStmts_.size() >= kSearchStmtCacheSize) dynStmts_.clear();  // none is in use here
    auto s = std::make_unique<Stmt>(*this, sql.c_str());
    auto& ref = *s;
    dynStmts_.emplace(sql, std::move(s));
    return ref;
}

void StoreDb::RunLiteral(const char* sql) {
    Use u(Prep(sql));
    u->Run();
}

void StoreDb::OpenConnection(int mode) {
    readOnly_ = mode >= 2;
    int flags = SQLITE_OPEN_NOMUTEX;
    std::string name = file_.string();
    switch (mode) {
        case 0: flags |= SQLITE_OPEN_READWRITE; break;
        case 1: flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
        case 2: flags |= SQLITE_OPEN_READONLY; break;
        default: {
            flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
            std::string escaped;
            for (char c : name) {
                if (c == '%' || c == '?' || c == '#') {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                    escaped += hex;
                } else {
                    escaped += c;
                }
            }
            name = "file:" + escaped + "?immutable=1";
        }
    }
    // SQLite counts every allocation under a global mutex unless told not to; nothing here reads
    // those counts. Only possible before SQLite is first used in the process, else a no-op.
    static const bool quietAllocations = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    (void)quietAllocations;
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) Fail(rc, "cannot open the store");
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 5000);
    rc = sqlite3_create_function_v2(db_, "nbfold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                    &FoldFunction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, "cannot open the store");
}

// ---------------------------------------------------------------------------------------
// Grouped changes

namespace {
// A group is committed after this many changes or this long, whichever comes first: long
// enough that a scan's moves share their pages' writes, short enough that other programs
// waiting to write (SQLite's busy timeout is 5 s) or to see the run's progress hardly notice.
constexpr int kGroupChanges = 1000;
constexpr auto kGroupTime = std::chrono::milliseconds(50);
}  // namespace

void StoreDb::SawOwnCommit() {
    // Our own change needs no re-check here; another connection's counter moves on.
    const uint64_t before = seenChanges_;
    const uint64_t after = detail::gChanges.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (after == before + 1) seenChanges_ = after;
}

void StoreDb::BeginGroupedChanges() { ++groupRuns_; }

void StoreDb::EndGroupedChanges() {
    if (groupRuns_ == 0) return;
    CloseGroup();
    if (--groupRuns_ == 0) RaiseGroupFailure();
}

void StoreDb::CommitGroup() {
    CloseGroup();
    RaiseGroupFailure();
}

void StoreDb::RaiseGroupFailure() {
    if (!groupFailure_) return;
    const AutomationError failure = *groupFailure_;
    groupFailure_.reset();
    throw failure;
}

void StoreDb::KeepGroupCurrent() {
    if (!GroupsReads()) return;
    if (group_ != Group::Closed && groupChanges_ < kGroupChanges &&
        CoarseNow() - groupSince_ < kGroupTime)
        return;
    CloseGroup();
    try {
        OpenGroup(false);
    } catch (const AutomationError&) {
        // Statements take their own locks again until the next try.
    }
}

std::shared_ptr<void> StoreDb::ReadTogether() {
    BeginGroupedChanges();
    KeepGroupCurrent();
    std::weak_ptr<StoreDb> self = weak_from_this();
    return std::shared_ptr<void>(nullptr, [self](void*) {
        if (auto db = self.lock()) try {
                db->EndGroupedChanges();
            } catch (const AutomationError&) {
                // nothing of a read's to lose
            }
    });
}

void StoreDb::OpenGroup(bool write) {
    if (group_ == Group::Reading && write) CloseGroup();
    if (group_ != Group::Closed) return;
    // A writing group may only start on a sound file, as any change.
    if (write) RequireSound();
    Begin(write ? "BEGIN IMMEDIATE" : "BEGIN");
    group_ = write ? Group::Writing : Group::Reading;
    groupSince_ = CoarseNow();
    groupChanges_ = 0;
    groupTotalAtOpen_ = sqlite3_total_changes64(db_);
}

void StoreDb::Begin(const char* sql) {
    RunLiteral(sql);
    try {
        SyncCache(true);
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void StoreDb::CloseGroup() {
    if (group_ == Group::Closed || GroupDropped()) return;
    group_ = Group::Closed;
    const bool wrote = sqlite3_total_changes64(db_) != groupTotalAtOpen_;
    std::optional<AutomationError> refused;
    if (wrote) try {
            TellCommitting(StoreIdHex());
        } catch (const AutomationError& e) {
            refused = e;
        }
    const int rc = refused ? SQLITE_ABORT : sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        if (wrote) {
            wrote_ = true;
            SawOwnCommit();
        }
        return;
    }
    if (refused) {
        groupFailure_ = AutomationError(refused->Number(), "cannot save the run's last changes: " + refused->Description(),
                                        refused->Source());
    } else if (wrote) {
        try {
            Fail(rc, "cannot save the run's last changes");  // reads SQLite's message, so before the rollback
        } catch (const AutomationError& e) {
            groupFailure_ = e;
        }
    }
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    if (wrote) DropCaches();
}

bool StoreDb::GroupDropped() {
    if (group_ == Group::Closed || !sqlite3_get_autocommit(db_)) return false;
    group_ = Group::Closed;
    if (sqlite3_total_changes64(db_) != groupTotalAtOpen_) {
        groupFailure_ = AutomationError(errnum::kMapiDiskError,
                                        "cannot save the run's last changes: the store ended the transaction "
                                        "(store file \"" + file_.string() + "\")",
                                        kSource);
        DropCaches();
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Caches

void StoreDb::SyncCache(bool exact) {
    const uint64_t changes = gChanges.load(std::memory_order_acquire);
    const auto now = CoarseNow();
    if (!exact && changes == seenChanges_ && now - lastCheck_ < kForeignCheckInterval) return;
    seenChanges_ = changes;
    lastCheck_ = now;
    auto& s = Prep("PRAGMA data_version");
    Use u(s);
    int64_t v = u->Step() ? u->Int(0) : 0;
    if (v != dataVersion_) {
        DropCaches();
        dataVersion_ = v;
    }
}

void StoreDb::DropCaches() {
    // Named properties stay: once committed, a number keeps its name for good.
    order_.clear();
    nextSeq_.clear();
    props_.clear();
    propsOrder_.clear();
}

}  // namespace nubra::store
