#include "standin_host/connected/CacheSql.h"

#include "host/Automation.h"

namespace nubra::connected {

void CacheSql::Fail(int rc, const std::string& what) {
    // The store maps SQLite's codes to MAPI status codes and names its file.
    cache_.Fail(rc, what);
}

CacheSql::Stmt& CacheSql::Prep(const char* sql) {
    if (auto it = stmts_.find(sql); it != stmts_.end()) return *it->second;
    return *stmts_.emplace(sql, std::make_unique<Stmt>(*this, sql)).first->second;
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
