// A small SQLite helper for the providers' own tables in a connected store's cache file (file
// names, UIDs, intents). It works on the cache's own connection (StoreDb::Handle), so that
// a provider's rows change in the same transaction as the store's (StoreDb::InTransaction).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "standin_host/store/Sql.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::connected {

class CacheSql {
public:
    explicit CacheSql(store::StoreDb& cache) : cache_(cache) {}
    CacheSql(const CacheSql&) = delete;
    CacheSql& operator=(const CacheSql&) = delete;

    // A statement of the cache's connection; failures name the cache's file.
    class Stmt : public store::SqlStatement {
    public:
        Stmt(CacheSql& owner, const char* sql)
            : SqlStatement(owner.cache_.Handle(), sql, [&owner](int rc, const std::string& what) { owner.Fail(rc, what); },
                           true) {}
    };
    // A statement of literal SQL, prepared once; reset when the returned scope ends.
    using Use = store::SqlUse<Stmt>;
    Stmt& Prep(const char* sql);
    void Exec(const std::string& sql);
    // Runs literal `sql` (prepared once) with `values` bound to its parameters in order.
    template <typename... Values>
    void Run(const char* sql, const Values&... values) {
        Use u(Prep(sql));
        u->BindAll(values...).Run();
    }
    // The first column of the first row of literal `sql` with `values` bound, as text or as an
    // integer; nullopt when there is no row.
    template <typename... Values>
    std::optional<std::string> TextOf(const char* sql, const Values&... values) {
        Use u(Prep(sql));
        return u->BindAll(values...).Step() ? std::optional<std::string>(u->Text(0)) : std::nullopt;
    }
    template <typename... Values>
    std::optional<int64_t> IntOf(const char* sql, const Values&... values) {
        Use u(Prep(sql));
        return u->BindAll(values...).Step() ? std::optional<int64_t>(u->Int(0)) : std::nullopt;
    }
    // A provider setting kept in the cache (its own key/value table).
    std::optional<std::string> Setting(const std::string& key);
    void SetSetting(const std::string& key, const std::string& value);

    // Of the warnings of a synchronisation, those not given at the one before (a file that
    // stays unreadable is said once, and again once it changes, which changes its warning's
    // text); remembers `all` for the next. Runs in its own transaction.
    std::vector<std::string> NewWarnings(const std::vector<std::string>& all);

    store::StoreDb& Cache() { return cache_; }
    [[noreturn]] void Fail(int rc, const std::string& what);

private:
    store::StoreDb& cache_;
    std::unordered_map<const char*, std::unique_ptr<Stmt>> stmts_;
};

}  // namespace nubra::connected
