// One prepared SQLite statement, the one wrapper of the store, the connected stores' caches and
// the history: binding, stepping and reading columns, every SQLite failure handed to the
// owner's `fail`, which raises (naming its file, mapping SQLite's code to a MAPI status).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace nubra::store {

class SqlStatement {
public:
    // Must raise: the failure's SQLite code and what was being done.
    using Fail = std::function<void(int rc, const std::string& what)>;
    // Prepares `sql` on `db` (for repeated use when `persistent`); raises through `fail` when it
    // cannot.
    SqlStatement(sqlite3* db, const char* sql, Fail fail, bool persistent = false) : fail_(std::move(fail)) {
        const int rc = sqlite3_prepare_v3(db, sql, -1, persistent ? SQLITE_PREPARE_PERSISTENT : 0, &s_, nullptr);
        if (rc != SQLITE_OK) {
            const std::string why = sqlite3_errmsg(db);
            sqlite3_finalize(s_);
            s_ = nullptr;
            Raise(rc, "cannot prepare a query (" + why + ")");
        }
    }
    ~SqlStatement() { sqlite3_finalize(s_); }
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    SqlStatement& Bind(int i, int64_t v) { return Check(sqlite3_bind_int64(s_, i, v)); }
    SqlStatement& Bind(int i, const std::string& v) {
        return Check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    SqlStatement& Bind(int i, std::span<const uint8_t> v) {
        return Check(sqlite3_bind_blob(s_, i, v.empty() ? "" : static_cast<const void*>(v.data()),
                                       static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    // Without a copy: `v` must stay unchanged until the statement is reset.
    SqlStatement& BindStatic(int i, const std::string& v) {
        return Check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    }
    SqlStatement& BindStatic(int i, std::span<const uint8_t> v) {
        return Check(sqlite3_bind_blob(s_, i, v.empty() ? "" : static_cast<const void*>(v.data()),
                                       static_cast<int>(v.size()), SQLITE_STATIC));
    }
    SqlStatement& BindNull(int i) { return Check(sqlite3_bind_null(s_, i)); }
    // Binds `values` to the parameters in order, from the first.
    template <typename... Values>
    SqlStatement& BindAll(const Values&... values) {
        int i = 0;
        (Bind(++i, values), ...);
        return *this;
    }
    // True while there is a row.
    bool Step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        sqlite3_reset(s_);
        Raise(rc, "query failed");
    }
    // Steps to the end and resets.
    void Run() {
        while (Step()) {
        }
        Reset();
    }
    void Reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    bool IsNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    int64_t Int(int c) const { return sqlite3_column_int64(s_, c); }
    std::string Text(int c) const {
        auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
        return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(s_, c))) : std::string();
    }
    // Valid until the statement steps or resets.
    std::span<const uint8_t> BlobView(int c) const {
        auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(s_, c));
        return b ? std::span<const uint8_t>(b, static_cast<size_t>(sqlite3_column_bytes(s_, c))) : std::span<const uint8_t>();
    }
    std::vector<uint8_t> Blob(int c) const {
        auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(s_, c));
        return b ? std::vector<uint8_t>(b, b + sqlite3_column_bytes(s_, c)) : std::vector<uint8_t>();
    }

private:
    SqlStatement& Check(int rc) {
        if (rc != SQLITE_OK) Raise(rc, "cannot bind a value");
        return *this;
    }
    [[noreturn]] void Raise(int rc, const std::string& what) {
        fail_(rc, what);
        std::abort();  // `fail` raises
    }
    Fail fail_;
    sqlite3_stmt* s_ = nullptr;
};

// Resets a statement kept for use again when the scope ends, whatever way it ends.
template <typename Statement>
class SqlUse {
public:
    explicit SqlUse(Statement& s) : s_(s) {}
    ~SqlUse() { s_.Reset(); }
    SqlUse(const SqlUse&) = delete;
    SqlUse& operator=(const SqlUse&) = delete;
    Statement* operator->() { return &s_; }
    Statement& operator*() { return s_; }

private:
    Statement& s_;
};

}  // namespace nubra::store
