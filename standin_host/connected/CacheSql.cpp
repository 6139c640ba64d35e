#include "standin_host/connected/CacheSql.h"

#include "host/Automation.h"

namespace nubra::connected {

void CacheSql::Fail(int rc, const std::string& what) {
    // The store maps SQLite's codes to MAPI status codes and names its file.
    cache_.Fail(rc, what);
}

CacheSql::Stmt& CacheSql::Prep(const char* sql) {
    if (auto it = stmts_.find(sql); it != stmts_.end()) return *it->second;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(cache_.Handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(s);
        Fail(rc, std::string("cannot prepare a query of the connected store (") + sqlite3_errmsg(cache_.Handle()) + ")");
    }
    return *stmts_.emplace(sql, std::make_unique<Stmt>(*this, s)).first->second;
}

void CacheSql::Exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(cache_.Handle(), sql.c_str(), nullptr, nullptr, &err);
    std::string message = err ? err : "";
    sqlite3_free(err);
    if (rc != SQLITE_OK) Fail(rc, "connected store: " + message);
}

std::optional<std::string> CacheSql::Setting(const std::string& key) {
    return TextOf("SELECT value FROM conn_settings WHERE key = ?", key);
}

void CacheSql::SetSetting(const std::string& key, const std::string& value) {
    Run("INSERT OR REPLACE INTO conn_settings(key, value) VALUES (?, ?)", key, value);
}

CacheSql::Stmt& CacheSql::Stmt::Bind(int i, int64_t v) {
    int rc = sqlite3_bind_int64(s_, i, v);
    if (rc != SQLITE_OK) owner_.Fail(rc, "cannot bind a value");
    return *this;
}
CacheSql::Stmt& CacheSql::Stmt::Bind(int i, const std::string& v) {
    int rc = sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) owner_.Fail(rc, "cannot bind a value");
    return *this;
}
CacheSql::Stmt& CacheSql::Stmt::BindNull(int i) {
    int rc = sqlite3_bind_null(s_, i);
    if (rc != SQLITE_OK) owner_.Fail(rc, "cannot bind a value");
    return *this;
}
bool CacheSql::Stmt::Step() {
    int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(s_);
    owner_.Fail(rc, "connected store query failed");
}
void CacheSql::Stmt::Run() {
    while (Step()) {
    }
    Reset();
}
void CacheSql::Stmt::Reset() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
}
std::string CacheSql::Stmt::Text(int c) const {
    auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
    return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(s_, c))) : std::string();
}

std::vector<std::string> CacheSql::NewWarnings(const std::vector<std::string>& all) {
    std::vector<std::string> fresh;
    cache_.InTransaction([&] {
        Exec("CREATE TABLE IF NOT EXISTS conn_warned(text TEXT PRIMARY KEY) WITHOUT ROWID");
        for (const auto& w : all)
            if (!IntOf("SELECT 1 FROM conn_warned WHERE text = ?", w)) fresh.push_back(w);
        Exec("DELETE FROM conn_warned");
        for (const auto& w : all) Run("INSERT OR IGNORE INTO conn_warned(text) VALUES (?)", w);
    });
    return fresh;
}

}  // namespace nubra::connected
