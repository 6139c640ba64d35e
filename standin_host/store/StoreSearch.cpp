// Contents-table searches: restrictions turned into SQL over the property indexes.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "host/AutomationDates.h"
#include "host/MAPIUtils.h"
#include "standin_host/store/StoreSql.h"

namespace nubra::store {

using namespace detail;

// ---------------------------------------------------------------------------------------
// Search

namespace {

// One property condition turned into SQL on a props row alias, with its bound values.
using Bound = std::variant<int64_t, std::string, std::vector<uint8_t>>;

struct SqlCond {
    std::string predicate;  // on alias "%" (replaced by the alias)
    std::vector<Bound> binds;
    int score = 0;          // how well it selects through an index (0: not at all)
    const char* index = nullptr;
    bool never = false;     // can match no row
};

std::optional<int64_t> SpelledInteger(const std::string& text) {
    size_t b = text.find_first_not_of(' '), e = text.find_last_not_of(' ');
    if (b == std::string::npos) return std::nullopt;
    std::string t = text.substr(b, e - b + 1);
    size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (i >= t.size() || t.size() - i > 18) return std::nullopt;
    for (size_t k = i; k < t.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(t[k]))) return std::nullopt;
    return std::stoll(t);
}

const char* SqlOp(int32_t relop) {
    switch (relop) {
        case 0: return "<";
        case 1: return "<=";
        case 2: return ">";
        case 3: return ">=";
        case 4: return "=";
        case 5: return "<>";
        default: return nullptr;
    }
}

SqlCond Translate(const Condition& c) {
    SqlCond r;
    const uint32_t type = TypeOf(c.tag);
    const char* op = SqlOp(c.relop);
    if (!op) Invalid("relational operator " + std::to_string(c.relop) + " is not supported");
    const bool eq = c.relop == 4;
    switch (type) {
        case mapi::PT_STRING8: {
            std::string folded = FoldCase(c.value.AsString());
            if (eq && folded.size() <= kFoldLimit) {
                // Every stored text that folds to this has its folded copy, in files of either
                // rule (the older one kept copies of longer texts still).
                r.predicate = "%.tfold = ?";
                r.binds = {Bound(folded)};
                // Text equality drives before date equality: subjects, names and message IDs
                // repeat far less than dates do (many tasks share a due date).
                r.score = 4, r.index = "props_str";
            } else {
                // Long values, and inequalities, which long stored texts (no folded copy) take
                // part in too.
                r.predicate = std::string("coalesce(%.tfold, nbfold(%.tval)) ") + op + " ?";
                r.binds = {Bound(folded)};
            }
            break;
        }
        case mapi::PT_LONG:
        case mapi::PT_BOOLEAN: {
            std::optional<int64_t> n;
            switch (c.value.type()) {
                case Variant::Type::String: n = SpelledInteger(c.value.AsString()); break;
                case Variant::Type::Boolean: n = c.value.AsBool() ? 1 : 0; break;
                case Variant::Type::Integer:
                case Variant::Type::Long:
                case Variant::Type::Double: n = c.value.AsLong(); break;
                default: Invalid("a restriction value does not fit an integer property");
            }
            if (!n) {
                r.never = true;
                return r;
            }
            if (type == mapi::PT_BOOLEAN) *n = *n != 0;
            r.predicate = std::string("%.ival ") + op + " ?";
            r.binds = {Bound(*n)};
            r.score = eq ? 2 : 1;
            r.index = "props_int";
            break;
        }
        case mapi::PT_SYSTIME: {
            Date d = 0;
            try {
                d = c.value.AsDate();
            } catch (const AutomationError&) {
                Invalid("a restriction value is no date");
            }
            const int64_t ms = dates::ToUnixMillis(d);
            const int64_t half = (ms % 1000 == 0) ? 5000000 : 5000;  // half the precision given
            const int64_t ft = DateToFileTime(d);
            const int64_t lo = ft - half, hi = ft + half;  // [lo, hi) stands for the value
            auto b = [](int64_t v) { return Bound(v); };
            switch (c.relop) {
                case 0: r.predicate = "%.ival < ?", r.binds = {b(lo)}; break;
                case 1: r.predicate = "%.ival < ?", r.binds = {b(hi)}; break;
                case 2: r.predicate = "%.ival >= ?", r.binds = {b(hi)}; break;
                case 3: r.predicate = "%.ival >= ?", r.binds = {b(lo)}; break;
                case 4: r.predicate = "%.ival >= ? AND %.ival < ?", r.binds = {b(lo), b(hi)}; break;
                case 5: r.predicate = "(%.ival < ? OR %.ival >= ?)", r.binds = {b(lo), b(hi)}; break;
            }
            r.score = eq ? 3 : (c.relop == 5 ? 0 : 1);
            if (r.score) r.index = "props_int";
            break;
        }
        case mapi::PT_BINARY: {
            if (!eq && c.relop != 5) Invalid("binary properties compare only for equality");
            if (c.value.type() != Variant::Type::Bytes)
                Invalid("a restriction value does not fit a binary property");
            r.predicate = std::string("%.bval ") + op + " ?";
            r.binds = {Bound(c.value.AsBytes())};
            break;
        }
        default: Invalid("property type of tag " + std::to_string(c.tag) + " is not supported");
    }
    return r;
}

std::string OnAlias(const std::string& pred, const std::string& alias) {
    std::string out;
    for (char ch : pred) {
        if (ch == '%')
            out += alias;
        else
            out += ch;
    }
    return out;
}

void BindAll(SqlStatement& s, const std::vector<Bound>& binds) {
    for (size_t k = 0; k < binds.size(); ++k) {
        const auto& b = binds[k];
        const int idx = static_cast<int>(k + 1);
        if (auto* i = std::get_if<int64_t>(&b)) s.Bind(idx, *i);
        else if (auto* t = std::get_if<std::string>(&b)) s.Bind(idx, *t);
        else s.Bind(idx, std::span<const uint8_t>(std::get<std::vector<uint8_t>>(b)));
    }
}

// The search's statement over `folder` with its bound values in `binds`: driven through the
// index of condition `driver` (none when negative), each other condition checked on the rows
// it finds.
std::string SearchSql(int64_t folder, const std::vector<Condition>& conditions, const std::vector<SqlCond>& conds,
                      int driver, std::vector<Bound>& binds) {
    std::string sql;
    auto bindInt = [&](int64_t v) { binds.emplace_back(v); };
    if (driver >= 0) {
        // The index finds the value in every folder of the store; the item's own row says
        // whether it is in this one.
        sql = std::string("SELECT i.id, i.seq FROM props AS d INDEXED BY ") + conds[driver].index +
              " CROSS JOIN items AS i ON i.id = d.item_id WHERE d.tag = ? AND " +
              OnAlias(conds[driver].predicate, "d") + " AND i.folder_id = ?";
        bindInt(conditions[driver].tag);
        binds.insert(binds.end(), conds[driver].binds.begin(), conds[driver].binds.end());
        bindInt(folder);
    } else {
        sql = "SELECT i.id, i.seq FROM items AS i WHERE i.folder_id = ?";
        bindInt(folder);
    }
    for (size_t i = 0; i < conditions.size(); ++i) {
        if (static_cast<int>(i) == driver) continue;
        const auto& c = conditions[i];
        std::string x = "x" + std::to_string(i);
        if (c.kind == Condition::Property) {
            sql += " AND EXISTS (SELECT 1 FROM props AS " + x + " WHERE " + x + ".item_id = i.id AND " +
                   x + ".tag = ? AND " + OnAlias(conds[i].predicate, x) + ")";
            bindInt(c.tag);
            binds.insert(binds.end(), conds[i].binds.begin(), conds[i].binds.end());
        } else {
            // Any type of the property identifier counts.
            sql += std::string(" AND ") + (c.kind == Condition::NotExist ? "NOT " : "") +
                   "EXISTS (SELECT 1 FROM props AS " + x + " WHERE " + x + ".item_id = i.id AND " + x +
                   ".tag BETWEEN ? AND ?)";
            bindInt(c.tag & 0xFFFF0000u);
            bindInt((c.tag & 0xFFFF0000u) | 0xFFFF);
        }
    }
    return sql;
}

// A probe counts at most this many rows of a condition's index; a condition selecting no more
// than kFewRows drives without further probes.
constexpr int kProbeRows = 24;
constexpr int kFewRows = 2;
// Looks a property's record needs before it is trusted, and how many searches in a row may
// trust it without a look.
constexpr uint32_t kLooksToTrust = 16;
constexpr uint32_t kTrustedSearches = 32;

}  // namespace

std::vector<int64_t> StoreDb::Search(int64_t folder, const std::vector<Condition>& conditions) {
    std::vector<SqlCond> conds(conditions.size());
    int driver = -1, candidates = 0;
    for (size_t i = 0; i < conditions.size(); ++i) {
        const auto& c = conditions[i];
        if (c.kind != Condition::Property) continue;
        conds[i] = Translate(c);
        if (conds[i].never) return {};
        if (conds[i].score == 0) continue;
        ++candidates;
        if (driver < 0 || conds[i].score > conds[driver].score) driver = static_cast<int>(i);
    }
    // The rows of the driving condition are each checked against the others, so the driver
    // should select few: a first name or a common date selects hundreds where an e-mail
    // address selects one. Where more than one condition could drive, a short look into each
    // index picks one that selects few (the conditions must all hold, so one that selects
    // nothing in the whole store ends the search). The looks go by what earlier looks found
    // per property (fewest first, those not looked into enough between the few and the many,
    // then best kind first) and stop at a condition that selects no more than kFewRows. Where
    // the first has been looked into enough and selects few, or every condition has been, the
    // first drives without a look, but for one search in kTrustedSearches, which keeps the
    // records current.
    if (candidates > 1) {
        auto keyOf = [&](size_t i) { return (uint64_t{conditions[i].tag} << 8) | static_cast<uint8_t>(conditions[i].relop); };
        auto known = [&](size_t i) -> const IndexLooks* {
            const auto it = indexLooks_.find(keyOf(i));
            return it != indexLooks_.end() && it->second.looks >= kLooksToTrust ? &it->second : nullptr;
        };
        auto estimate = [&](size_t i) {
            const IndexLooks* k = known(i);
            return k ? static_cast<double>(k->rows) / k->looks : kProbeRows / 2.0;
        };
        std::vector<size_t> order;
        for (size_t i = 0; i < conditions.size(); ++i)
            if (conds[i].score > 0) order.push_back(i);
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return estimate(a) != estimate(b) ? estimate(a) < estimate(b) : conds[a].score > conds[b].score;
        });
        const bool allKnown = std::all_of(order.begin(), order.end(), [&](size_t i) { return known(i) != nullptr; });
        IndexLooks* first = known(order.front()) && (allKnown || estimate(order.front()) <= kFewRows)
                                ? &indexLooks_[keyOf(order.front())]
                                : nullptr;
        if (first && ++first->skipped < kTrustedSearches) {
            driver = static_cast<int>(order.front());
        } else {
            if (first) first->skipped = 0;
            // How many rows of the whole store (up to kProbeRows) condition i selects.
            auto probe = [&](size_t i) {
                Use p(PrepDynamic(std::string("SELECT count(*) FROM (SELECT 1 FROM props AS d INDEXED BY ") +
                                  conds[i].index + " WHERE d.tag = ? AND " + OnAlias(conds[i].predicate, "d") +
                                  " LIMIT " + std::to_string(kProbeRows) + ")"));
                std::vector<Bound> binds{Bound(static_cast<int64_t>(conditions[i].tag))};
                binds.insert(binds.end(), conds[i].binds.begin(), conds[i].binds.end());
                BindAll(*p, binds);
                const int n = p->Step() ? static_cast<int>(p->Int(0)) : 0;
                auto& record = indexLooks_[keyOf(i)];
                ++record.looks;
                record.rows += static_cast<uint64_t>(n);
                return n;
            };
            int fewest = kProbeRows + 1;
            for (size_t i : order) {
                const int n = probe(i);
                if (n == 0) return {};
                if (n < fewest) {
                    fewest = n;
                    driver = static_cast<int>(i);
                }
                if (fewest <= kFewRows) break;
            }
        }
    }
    std::vector<Bound> binds;
    const std::string sql = SearchSql(folder, conditions, conds, driver, binds);
    // Folder order: sorted here rather than by SQLite, whose sorter costs more than the few
    // rows a search finds.
    SyncCache();
    Use s(PrepDynamic(sql));
    BindAll(*s, binds);
    std::vector<std::pair<int64_t, int64_t>> found;  // (seq, id)
    while (s->Step()) found.emplace_back(s->Int(1), s->Int(0));
    std::sort(found.begin(), found.end());
    std::vector<int64_t> ids;
    ids.reserve(found.size());
    for (const auto& f : found) ids.push_back(f.second);
    return ids;
}

}  // namespace nubra::store
