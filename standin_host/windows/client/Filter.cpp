#include "standin_host/windows/client/Filter.h"

#include "host/win/Com.h"

#include <cmath>

namespace nubra::winclient {

namespace {

[[noreturn]] void Unparsable(const std::string& filter, const std::string& why) {
    RaiseError(errnum::kInvalidProcedureCall, "Cannot parse condition (" + why + "): " + filter, "Items");
}

bool StartsNoCase(const std::string& s, std::size_t pos, const char* word) {
    for (std::size_t i = 0; word[i]; ++i)
        if (pos + i >= s.size() || std::toupper(static_cast<unsigned char>(s[pos + i])) != word[i]) return false;
    return true;
}

void SetSchema(Clause& c, const std::string& schema, const std::string& filter) {
    static const std::string kTag = "http://schemas.microsoft.com/mapi/proptag/0x";
    static const std::string kId = "http://schemas.microsoft.com/mapi/id/";
    try {
        if (schema.rfind(kTag, 0) == 0 && schema.size() == kTag.size() + 8) {
            c.tag = static_cast<uint32_t>(std::stoul(schema.substr(kTag.size()), nullptr, 16));
            c.type = static_cast<uint16_t>(c.tag & 0xFFFF);
            return;
        }
        if (schema.rfind(kId, 0) == 0 && schema.size() == kId.size() + 38 + 1 + 8) {
            c.guid = schema.substr(kId.size(), 38);
            for (auto& ch : c.guid) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            if (schema[kId.size() + 38] != '/') Unparsable(filter, "schema " + schema);
            const auto idType = static_cast<uint32_t>(std::stoul(schema.substr(kId.size() + 39), nullptr, 16));
            c.lid = static_cast<uint16_t>(idType >> 16);
            c.type = static_cast<uint16_t>(idType & 0xFFFF);
            return;
        }
    } catch (const std::logic_error&) {
    }
    Unparsable(filter, "schema " + schema);
}

// Letter case ignored, as the client compares text.
int CompareText(const std::string& a, const std::string& b) {
    const std::wstring wa = win::Wide(a), wb = win::Wide(b);
    const int r = CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(), static_cast<int>(wb.size()), TRUE);
    return r - CSTR_EQUAL;
}

// A date text in the locale's general date form, as the UTC FILETIME it stands for, with the
// precision the text has (whole seconds).
bool ParseDate(const std::string& text, int64_t& fileTime) {
    std::wstring w = win::Wide(text);
    DATE d = 0;
    if (FAILED(VarDateFromStr(w.data(), LOCALE_USER_DEFAULT, 0, &d))) return false;
    fileTime = UtcDateToFileTime(d);
    return true;
}

bool ParseInteger(const std::string& text, int64_t& n) {
    try {
        std::size_t used = 0;
        n = std::stoll(text, &used);
        return text.find_first_not_of(" \t", used) == std::string::npos;
    } catch (const std::logic_error&) {
        return false;
    }
}

bool Test(const Clause& c, const Value* v) {
    if (c.op == Clause::Op::IsNull) return v == nullptr;
    if (!v) return c.op == Clause::Op::Ne;
    int cmp = 0;
    constexpr int64_t kHalfSecond = 5000000;  // FILETIME ticks
    switch (v->type) {
        case kPtString8:
            cmp = CompareText(v->text, c.isText ? c.text : std::to_string(c.number));
            break;
        case kPtLong:
        case kPtBoolean: {
            int64_t n = c.number;
            if (c.isText && !ParseInteger(c.text, n)) return false;
            cmp = v->integer < n ? -1 : v->integer > n ? 1 : 0;
            break;
        }
        case kPtSystime: {
            int64_t t = 0;
            if (!c.isText || !ParseDate(c.text, t)) return false;
            // The text shows whole seconds: it stands for every time that rounds to it.
            if (v->integer < t - kHalfSecond) cmp = -1;
            else if (v->integer >= t + kHalfSecond) cmp = 1;
            break;
        }
        case kPtBinary:
            cmp = CompareText(Hex(v->bytes.data(), v->bytes.size()), c.text);
            break;
        default: return false;
    }
    switch (c.op) {
        case Clause::Op::Eq: return cmp == 0;
        case Clause::Op::Ne: return cmp != 0;
        case Clause::Op::Ge: return cmp >= 0;
        case Clause::Op::Le: return cmp <= 0;
        case Clause::Op::IsNull: break;
    }
    return false;
}

}  // namespace

std::vector<Clause> ParseFilter(const std::string& filter) {
    if (!StartsNoCase(filter, 0, "@SQL=")) Unparsable(filter, "no @SQL=");
    std::vector<Clause> clauses;
    std::size_t pos = 5;
    auto skipBlanks = [&] {
        while (pos < filter.size() && filter[pos] == ' ') ++pos;
    };
    while (true) {
        skipBlanks();
        Clause c;
        if (pos >= filter.size() || filter[pos] != '"') Unparsable(filter, "expected a quoted schema name");
        const auto close = filter.find('"', pos + 1);
        if (close == std::string::npos) Unparsable(filter, "unterminated schema name");
        SetSchema(c, filter.substr(pos + 1, close - pos - 1), filter);
        pos = close + 1;
        skipBlanks();
        if (StartsNoCase(filter, pos, "IS NULL")) {
            c.op = Clause::Op::IsNull;
            pos += 7;
        } else {
            if (filter.compare(pos, 2, ">=") == 0) c.op = Clause::Op::Ge, pos += 2;
            else if (filter.compare(pos, 2, "<=") == 0) c.op = Clause::Op::Le, pos += 2;
            else if (filter.compare(pos, 2, "<>") == 0) c.op = Clause::Op::Ne, pos += 2;
            else if (filter.compare(pos, 1, "=") == 0) c.op = Clause::Op::Eq, pos += 1;
            else Unparsable(filter, "expected =, <>, >=, <= or IS NULL");
            skipBlanks();
            if (pos < filter.size() && filter[pos] == '\'') {
                c.isText = true;
                ++pos;
                while (true) {
                    if (pos >= filter.size()) Unparsable(filter, "unterminated text");
                    if (filter[pos] == '\'') {
                        if (pos + 1 < filter.size() && filter[pos + 1] == '\'') {
                            c.text.push_back('\'');
                            pos += 2;
                            continue;
                        }
                        ++pos;
                        break;
                    }
                    c.text.push_back(filter[pos++]);
                }
            } else {
                const auto start = pos;
                if (pos < filter.size() && filter[pos] == '-') ++pos;
                while (pos < filter.size() && std::isdigit(static_cast<unsigned char>(filter[pos]))) ++pos;
                if (!ParseInteger(filter.substr(start, pos - start), c.number)) Unparsable(filter, "expected a value");
            }
        }
        clauses.push_back(std::move(c));
        skipBlanks();
        if (pos >= filter.size()) break;
        if (!StartsNoCase(filter, pos, "AND ")) Unparsable(filter, "expected AND");
        pos += 4;
    }
    return clauses;
}

bool Matches(const Item& item, const std::vector<Clause>& clauses) {
    for (const auto& c : clauses) {
        uint32_t tag = c.tag;
        if (!c.guid.empty()) {
            const uint16_t id = item.folder ? item.folder->store.NamedId(NamedKey{c.guid, c.lid}, false) : 0;
            tag = id ? ((static_cast<uint32_t>(id) << 16) | c.type) : 0;
        }
        const Value* v = nullptr;
        if (tag) {
            // The stored value under the id: text asked for as Unicode is the same text.
            for (const auto& [stored, value] : item.props)
                if ((stored >> 16) == (tag >> 16) &&
                    (stored == tag || c.op == Clause::Op::IsNull || ((tag & 0xFFFF) == kPtUnicode && value.type == kPtString8)))
                    v = &value;
        }
        if (!Test(c, v)) return false;
    }
    return true;
}

}  // namespace nubra::winclient
