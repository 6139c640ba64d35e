// The regional part of automation dates (the general date, reading date text, local time) on
// ICU, for Linux: every locale's patterns and markers are at hand even where the operating
// system lacks the locale. The calendar arithmetic is shared (AutomationDates.cpp).
#include "host/AutomationDates.h"

#include <unicode/basictz.h>
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "host/DateArithmetic.h"

namespace nubra::dates {

using namespace detail;

namespace {

// ---- regional settings -------------------------------------------------------------------

// LC_ALL, LC_TIME and LANG as getenv reads them (null where unset), in one pass over the
// environment instead of one per name.
std::array<const char*, 3> LocaleVariables() {
    std::array<const char*, 3> found{};
    // Every date conversion asks, so the names are told apart by their first letters before any
    // comparison (LD_PRELOAD, LESS or LIBRARY_PATH cost one look each); as getenv, the first of a
    // name counts.
    auto take = [](const char*& slot, const char* v, std::string_view rest, size_t at) {
        if (!slot && std::strncmp(v + at, rest.data(), rest.size()) == 0) slot = v + at + rest.size();
    };
    for (char** e = environ; e && *e; ++e) {
        const char* v = *e;
        if (v[0] != 'L') continue;
        if (v[1] == 'C' && v[2] == '_') {
            take(found[0], v, "ALL=", 3);
            take(found[1], v, "TIME=", 3);
        } else if (v[1] == 'A') {
            take(found[2], v, "NG=", 2);
        }
    }
    return found;
}

// The locale the variables name (the first set of LC_ALL, LC_TIME, LANG).
std::string LocaleFromEnvironment(const std::array<const char*, 3>& variables = LocaleVariables()) {
    for (const char* v : variables) {
        if (v && *v) {
            std::string s(v);
            s = s.substr(0, s.find_first_of(".@"));
            if (s.empty() || s == "C" || s == "POSIX") return "en_US";
            return s;
        }
    }
    return "en_US";
}

std::string ToUtf8(const icu::UnicodeString& u) {
    std::string s;
    u.toUTF8String(s);
    return s;
}

// One piece of a compiled date pattern: literal text, or a numeric field (letter and width)
// or the AM/PM marker.
struct PatternPart {
    char field = 0;  // 0: literal; y M d H h K k m s a
    int width = 0;
    std::string text;  // literal, or for 'a' the AM marker
    std::string pm;    // for 'a' the PM marker
};

// The pattern as parts, or nullopt when it holds anything but the plain numeric fields, the
// AM/PM marker and quoted or unquoted literals (names of months or days, eras, zones,
// fractions of seconds, day periods: those are left to ICU).
std::optional<std::vector<PatternPart>> Compile(const icu::UnicodeString& pattern, const icu::DateFormatSymbols& symbols) {
    std::vector<PatternPart> parts;
    auto literal = [&](const icu::UnicodeString& text) {
        if (parts.empty() || parts.back().field) parts.emplace_back();
        text.toUTF8String(parts.back().text);
    };
    int32_t count = 0;
    const icu::UnicodeString* ampm = symbols.getAmPmStrings(count);
    for (int32_t i = 0; i < pattern.length();) {
        const UChar c = pattern.charAt(i);
        if (c == u'\'') {
            // '' is a quote; 'text' is text, '' inside it a quote.
            if (i + 1 < pattern.length() && pattern.charAt(i + 1) == u'\'') {
                literal(u"'");
                i += 2;
                continue;
            }
            icu::UnicodeString text;
            for (++i; i < pattern.length(); ++i) {
                if (pattern.charAt(i) == u'\'') {
                    if (i + 1 < pattern.length() && pattern.charAt(i + 1) == u'\'') {
                        text.append(u'\'');
                        ++i;
                        continue;
                    }
                    break;
                }
                text.append(pattern.charAt(i));
            }
            ++i;  // the closing quote
            literal(text);
            continue;
        }
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            int width = 0;
            while (i < pattern.length() && pattern.charAt(i) == c) ++width, ++i;
            PatternPart part;
            switch (c) {
                case u'y':
                    if (width != 4) return std::nullopt;
                    break;
                case u'M':
                case u'd':
                case u'H':
                case u'h':
                case u'K':
                case u'k':
                case u'm':
                case u's':
                    if (width > 2) return std::nullopt;
                    break;
                case u'a':
                    if (width > 3 || count < 2) return std::nullopt;
                    ampm[0].toUTF8String(part.text);
                    ampm[1].toUTF8String(part.pm);
                    break;
                default: return std::nullopt;
            }
            part.field = static_cast<char>(c);
            part.width = width;
            parts.push_back(std::move(part));
            continue;
        }
        literal(icu::UnicodeString(c));
        ++i;
    }
    return parts;
}

void AppendNumber(std::string& out, int value, int width) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int k = n; k < width; ++k) out += '0';
    while (n > 0) out += digits[--n];
}

// The text ICU's format gives for `ms` (whole milliseconds since 1970, GMT) with `parts`.
std::string FastFormat(const std::vector<PatternPart>& parts, int64_t ms);

// Results kept in a fixed number of slots, one per key by its hash; a key whose slot is taken
// takes it over. A folder of a million items has as many dates, so most lookups miss: a miss
// must cost no more than the hash, with no node to allocate, no map to clear when it is full,
// and a slot's text reusing the room the one before it had. Few slots, so that they stay in the
// processor's cache: what a scan reads back is the date it has just written.
template <typename Key, typename Value>
class Memo {
public:
    using Lookup = std::conditional_t<std::is_same_v<Key, std::string>, std::string_view, Key>;

    const Value* Find(Lookup key) const {
        if (slots_.empty()) return nullptr;
        const Slot& s = slots_[SlotOf(key)];
        return s.used && s.key == key ? &s.value : nullptr;
    }
    void Keep(Lookup key, const Value& value) {
        if (slots_.empty()) slots_.resize(kSlots);  // on first use: most commands keep no date
        Slot& s = slots_[SlotOf(key)];
        s.key = key;
        s.value = value;
        s.used = true;
    }
    void Clear() {
        for (auto& s : slots_) s.used = false;
    }

private:
    static constexpr int kBits = 12;
    static constexpr size_t kSlots = size_t{1} << kBits;
    struct Slot {
        Key key{};
        Value value{};
        bool used = false;
    };
    // The top bits of the hash times a large odd number: the standard hash of an integer is the
    // integer itself, and a date in whole seconds (whole days, for a date alone) has low bits
    // that hardly vary.
    static size_t SlotOf(Lookup key) {
        return static_cast<size_t>((uint64_t{std::hash<Lookup>{}(key)} * 0x9E3779B97F4A7C15u) >> (64 - kBits));
    }
    std::vector<Slot> slots_;
};

// What the formatter and the parser need of one locale.
struct LocaleData {
    std::unique_ptr<icu::SimpleDateFormat> general;  // short date (four-digit year) + medium time
    std::unique_ptr<icu::SimpleDateFormat> dateOnly;
    char order[3] = {'M', 'd', 'y'};  // field order of the short date
    icu::UnicodeString separator;     // the short date's separator
    std::vector<icu::UnicodeString> amMarkers, pmMarkers;  // folded
    std::vector<std::pair<icu::UnicodeString, int>> monthNames;  // folded name, month

    // A scan turns the same dates into text and back many times (every duplicate test of an
    // appointment or a task does), and ICU takes microseconds for each. Results are kept per
    // locale; parsing fills in the current year where a text has none, so its results are
    // kept for the year they were made in.
    Memo<int64_t, std::string> formatted;  // UDate (whole ms) -> general date
    Memo<std::string, Date> parsed;
    int parsedYear = 0;

    // The two patterns compiled to plain fields and literals (Compile), when every field is one
    // that FastFormat writes exactly as ICU does and probes of both agreed (LoadLocale): a date
    // then costs no ICU call. When also every probe read back as itself, the text a format makes
    // is remembered as parsed too (the scan reads its dates back).
    std::optional<std::vector<PatternPart>> fastGeneral, fastDateOnly;
    bool readsBack = false;
};

// Every run of 'y' outside quoted text becomes "yyyy".
icu::UnicodeString FourDigitYears(const icu::UnicodeString& pattern) {
    icu::UnicodeString out;
    bool quoted = false;
    for (int32_t i = 0; i < pattern.length();) {
        UChar c = pattern.charAt(i);
        if (c == u'\'') {
            quoted = !quoted;
            out.append(c);
            ++i;
        } else if (!quoted && c == u'y') {
            while (i < pattern.length() && pattern.charAt(i) == u'y') ++i;
            out.append(u"yyyy");
        } else {
            out.append(c);
            ++i;
        }
    }
    return out;
}

void DeriveOrder(const icu::UnicodeString& pattern, LocaleData& data) {
    std::string order;
    icu::UnicodeString firstLiteral;
    bool quoted = false, inLiteral = false, literalDone = false;
    for (int32_t i = 0; i < pattern.length(); ++i) {
        UChar c = pattern.charAt(i);
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        char field = 0;
        if (!quoted) {
            if (c == u'y' || c == u'Y' || c == u'u') field = 'y';
            else if (c == u'M' || c == u'L') field = 'M';
            else if (c == u'd') field = 'd';
        }
        if (field) {
            if (inLiteral) literalDone = true;
            if (order.find(field) == std::string::npos) order += field;
        } else if (!order.empty() && !literalDone) {
            inLiteral = true;
            firstLiteral.append(c);
        }
    }
    if (order.size() == 3) std::copy(order.begin(), order.end(), data.order);
    firstLiteral.trim();
    bool usable = !firstLiteral.isEmpty();
    for (int32_t i = 0; i < firstLiteral.length(); ++i)
        if (u_isalnum(firstLiteral.char32At(i))) usable = false;
    data.separator = usable ? firstLiteral : icu::UnicodeString(u"/");
}

icu::UnicodeString Folded(icu::UnicodeString s) {
    s.trim();
    return s.foldCase();
}

std::unique_ptr<LocaleData> LoadLocale(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    // Gregorian calendar and Latin digits whatever the locale prefers, so the text reads back.
    icu::Locale locale = icu::Locale::createCanonical(name.c_str());
    locale.setKeywordValue("calendar", "gregorian", status);
    status = U_ZERO_ERROR;
    locale.setKeywordValue("numbers", "latn", status);
    status = U_ZERO_ERROR;

    auto data = std::make_unique<LocaleData>();
    std::unique_ptr<icu::DateFormat> shortDate(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, locale));
    std::unique_ptr<icu::DateFormat> mediumTime(icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium, locale));
    auto* sd = dynamic_cast<icu::SimpleDateFormat*>(shortDate.get());
    auto* mt = dynamic_cast<icu::SimpleDateFormat*>(mediumTime.get());
    icu::UnicodeString datePattern(u"M/d/yyyy"), timePattern(u"h:mm:ss a");
    if (sd) sd->toPattern(datePattern);
    if (mt) mt->toPattern(timePattern);
    datePattern = FourDigitYears(datePattern);
    DeriveOrder(datePattern, *data);

    auto make = [&](const icu::UnicodeString& pattern) {
        UErrorCode st = U_ZERO_ERROR;
        auto fmt = std::make_unique<icu::SimpleDateFormat>(pattern, locale, st);
        if (U_FAILURE(st)) RaiseError(errnum::kInvalidProcedureCall, "Date format unavailable");
        auto* cal = new icu::GregorianCalendar(icu::TimeZone::getGMT()->clone(), locale, st);
        // Proleptic Gregorian: automation dates know no Julian calendar.
        cal->setGregorianChange(-std::numeric_limits<double>::max(), st);
        fmt->adoptCalendar(cal);
        return fmt;
    };
    icu::UnicodeString generalPattern(datePattern);
    generalPattern.append(u' ').append(timePattern);
    data->general = make(generalPattern);
    data->dateOnly = make(datePattern);

    const icu::DateFormatSymbols* symbols = data->general->getDateFormatSymbols();
    int32_t count = 0;
    const icu::UnicodeString* ampm = symbols->getAmPmStrings(count);
    if (count >= 2) {
        data->amMarkers.push_back(Folded(ampm[0]));
        data->pmMarkers.push_back(Folded(ampm[1]));
    }
    data->amMarkers.push_back(Folded(u"AM"));
    data->pmMarkers.push_back(Folded(u"PM"));
    using DFS = icu::DateFormatSymbols;
    for (auto ctx : {DFS::FORMAT, DFS::STANDALONE}) {
        for (auto width : {DFS::WIDE, DFS::ABBREVIATED}) {
            const icu::UnicodeString* months = symbols->getMonths(count, ctx, width);
            for (int32_t i = 0; i < count && i < 12; ++i) {
                icu::UnicodeString m = Folded(months[i]);
                if (m.endsWith(u".")) m.truncate(m.length() - 1);
                if (!m.isEmpty()) data->monthNames.emplace_back(m, i + 1);
            }
        }
    }
    static const char16_t* english[] = {u"january", u"february", u"march",     u"april",   u"may",      u"june",
                                        u"july",    u"august",   u"september", u"october", u"november", u"december"};
    for (int i = 0; i < 12; ++i) {
        data->monthNames.emplace_back(icu::UnicodeString(english[i]), i + 1);
        data->monthNames.emplace_back(icu::UnicodeString(english[i], 3), i + 1);
    }
    data->fastGeneral = Compile(generalPattern, *symbols);
    data->fastDateOnly = Compile(datePattern, *symbols);
    return data;
}

// Probes the compiled patterns against ICU and the parser (called once per locale, see below).
void Probe(LocaleData& data);

struct State {
    std::mutex mutex;
    std::optional<std::string> locale;  // set by SetRegionalLocale
    std::map<std::string, std::unique_ptr<LocaleData>> cache;
    // What CurrentLocale last resolved: the locale set, else the environment's variables (unset
    // ones null); and to what (owned by cache).
    std::optional<std::string> lastLocale;
    std::array<std::optional<std::string>, 3> lastVariables;
    LocaleData* lastData = nullptr;
    std::string zoneKey;
    std::unique_ptr<icu::TimeZone> zone;
};

State& TheState() {
    static State s;
    return s;
}

// Called with the mutex held.
LocaleData& CurrentLocale(State& s) {
    // Every date conversion asks: the last answer stands while the setting it came from (the
    // locale set, else the environment's variables) reads the same.
    const auto variables = s.locale ? std::array<const char*, 3>{} : LocaleVariables();
    auto same = [&] {
        if (s.locale != s.lastLocale) return false;
        for (size_t i = 0; i < variables.size(); ++i)
            if (variables[i] ? s.lastVariables[i] != variables[i] : s.lastVariables[i].has_value()) return false;
        return true;
    };
    if (s.lastData && same()) return *s.lastData;
    std::string name = s.locale ? *s.locale : LocaleFromEnvironment(variables);
    auto& slot = s.cache[name];
    if (!slot) {
        slot = LoadLocale(name);
        Probe(*slot);
    }
    s.lastLocale = s.locale;
    for (size_t i = 0; i < variables.size(); ++i)
        s.lastVariables[i] = variables[i] ? std::optional<std::string>(variables[i]) : std::nullopt;
    s.lastData = slot.get();
    return *slot;
}

// The zone TZ names, read anew whenever TZ changes. Called with the mutex held.
icu::TimeZone& CurrentZone(State& s) {
    const char* tz = std::getenv("TZ");
    std::string key = tz ? std::string("=") + tz : std::string("(unset)");
    if (!s.zone || key != s.zoneKey) {
        std::unique_ptr<icu::TimeZone> zone;
        if (tz && *tz) {
            std::string id = tz[0] == ':' ? tz + 1 : tz;
            if (auto pos = id.find("zoneinfo/"); pos != std::string::npos) id = id.substr(pos + 9);
            zone.reset(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)));
            icu::UnicodeString got;
            zone->getID(got);
            if (got == icu::UnicodeString(u"Etc/Unknown")) zone.reset();
        }
        if (!zone) zone.reset(icu::TimeZone::detectHostTimeZone());
        s.zone = std::move(zone);
        s.zoneKey = key;
    }
    return *s.zone;
}

std::string FastFormat(const std::vector<PatternPart>& parts, int64_t ms) {
    const int64_t day = FloorDiv(ms, kMsPerDay);
    const int64_t inDay = ms - day * kMsPerDay;
    int year = 0, month = 0, dayOfMonth = 0;
    CivilFromDays(day, year, month, dayOfMonth);
    const int hour = static_cast<int>(inDay / 3'600'000);
    const int minute = static_cast<int>(inDay / 60'000 % 60);
    const int second = static_cast<int>(inDay / 1000 % 60);
    std::string out;
    out.reserve(32);
    for (const auto& p : parts) {
        switch (p.field) {
            case 0: out += p.text; break;
            case 'y': AppendNumber(out, year, p.width); break;
            case 'M': AppendNumber(out, month, p.width); break;
            case 'd': AppendNumber(out, dayOfMonth, p.width); break;
            case 'H': AppendNumber(out, hour, p.width); break;
            case 'h': AppendNumber(out, hour % 12 == 0 ? 12 : hour % 12, p.width); break;
            case 'K': AppendNumber(out, hour % 12, p.width); break;
            case 'k': AppendNumber(out, hour == 0 ? 24 : hour, p.width); break;
            case 'm': AppendNumber(out, minute, p.width); break;
            case 's': AppendNumber(out, second, p.width); break;
            case 'a': out += hour < 12 ? p.text : p.pm; break;
        }
    }
    return out;
}

// ---- parsing -----------------------------------------------------------------------------

struct Token {
    enum Kind { Number, Word, DateSep, TimeSep, Space };
    explicit Token(Kind k) : kind(k) {}
    Kind kind;
    int value = 0;      // Number
    int digits = 0;     // Number
    icu::UnicodeString text;  // Word (folded)
};

[[noreturn]] void Mismatch() { RaiseError(errnum::kTypeMismatch); }

bool IsBlank(UChar32 c) { return c == u',' || u_isUWhiteSpace(c) || c == 0x202F || c == 0x00A0; }

std::vector<Token> Tokenize(const icu::UnicodeString& text, const LocaleData& loc) {
    std::vector<Token> tokens;
    int32_t i = 0;
    const int32_t n = text.length();
    while (i < n) {
        UChar32 c = text.char32At(i);
        if (c >= u'0' && c <= u'9') {
            Token t(Token::Number);
            while (i < n && text.charAt(i) >= u'0' && text.charAt(i) <= u'9') {
                if (t.digits < 9) t.value = t.value * 10 + (text.charAt(i) - u'0');
                ++t.digits;
                ++i;
            }
            if (t.digits > 4) Mismatch();
            tokens.push_back(t);
        } else if (IsBlank(c)) {
            while (i < n && IsBlank(text.char32At(i))) i = text.moveIndex32(i, 1);
            if (tokens.empty() || tokens.back().kind != Token::Space) tokens.emplace_back(Token::Space);
        } else if (c == u':') {
            tokens.emplace_back(Token::TimeSep);
            ++i;
        } else if (!loc.separator.isEmpty() && text.compare(i, loc.separator.length(), loc.separator) == 0) {
            tokens.emplace_back(Token::DateSep);
            i += loc.separator.length();
        } else if (c == u'/' || c == u'-') {
            tokens.emplace_back(Token::DateSep);
            ++i;
        } else if (u_isalpha(c)) {
            Token t(Token::Word);
            int32_t start = i;
            while (i < n && u_isalpha(text.char32At(i))) i = text.moveIndex32(i, 1);
            t.text = Folded(icu::UnicodeString(text, start, i - start));
            // An abbreviation may carry its point ("Dez."): only when the point is no separator.
            if (i < n && text.charAt(i) == u'.' && loc.separator != icu::UnicodeString(u".")) ++i;
            tokens.push_back(t);
        } else {
            Mismatch();
        }
    }
    // Blanks around separators carry no meaning.
    std::vector<Token> out;
    for (size_t k = 0; k < tokens.size(); ++k) {
        if (tokens[k].kind == Token::Space) {
            bool edge = out.empty() || k + 1 == tokens.size();
            bool nearSep = (!out.empty() && (out.back().kind == Token::DateSep || out.back().kind == Token::TimeSep)) ||
                           (k + 1 < tokens.size() &&
                            (tokens[k + 1].kind == Token::DateSep || tokens[k + 1].kind == Token::TimeSep));
            if (edge || nearSep) continue;
        }
        out.push_back(tokens[k]);
    }
    return out;
}

int ExpandYear(const Token& t) {
    if (t.digits <= 2) return t.value < 30 ? 2000 + t.value : 1900 + t.value;
    return t.value;
}

bool ValidDate(int y, int m, int d) { return y >= 100 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= DaysInMonth(y, m); }

int CurrentYear() {
    int y, m, d;
    CivilFromDays(FloorDiv(static_cast<int64_t>(std::time(nullptr)), 86400), y, m, d);
    return y;
}

// Resolves the date numbers (and an optional month given by name) to year, month, day.
bool ResolveDate(const std::vector<Token>& nums, int namedMonth, const LocaleData& loc, int& y, int& m, int& d) {
    auto tryOrder = [&](const char* order) {
        int yy = CurrentYear(), mm = 0, dd = 0;
        bool haveYear = false;
        if (namedMonth) {
            // The month is given by name: the numbers are day and (optional) year in locale order.
            mm = namedMonth;
            std::string rest;
            for (int k = 0; k < 3; ++k)
                if (order[k] != 'M') rest += order[k];
            if (nums.size() == 1) {
                dd = nums[0].value;
            } else {
                for (size_t k = 0; k < 2; ++k) {
                    if (rest[k] == 'd') dd = nums[k].value;
                    else yy = ExpandYear(nums[k]), haveYear = true;
                }
            }
        } else if (nums.size() == 3) {
            for (int k = 0; k < 3; ++k) {
                if (order[k] == 'd') dd = nums[k].value;
                else if (order[k] == 'M') mm = nums[k].value;
                else yy = ExpandYear(nums[k]), haveYear = true;
            }
        } else {
            // Two numbers: day and month in the locale's order, the current year.
            std::string dm;
            for (int k = 0; k < 3; ++k)
                if (order[k] != 'y') dm += order[k];
            mm = dm[0] == 'M' ? nums[0].value : nums[1].value;
            dd = dm[0] == 'M' ? nums[1].value : nums[0].value;
        }
        (void)haveYear;
        if (!ValidDate(yy, mm, dd)) return false;
        y = yy, m = mm, d = dd;
        return true;
    };
    if (tryOrder(loc.order)) return true;
    // As the automation layer does, an impossible reading in the locale's order is tried in
    // the other usual orders (a four-digit first number is a year).
    if (!nums.empty() && nums[0].digits >= 3 && tryOrder("yMd")) return true;
    return tryOrder("dMy") || tryOrder("Mdy");
}

Date ParseImpl(const icu::UnicodeString& text, const LocaleData& loc) {
    std::vector<Token> tokens = Tokenize(text, loc);
    if (tokens.empty()) Mismatch();

    // Find the time: a number followed by ':' (h:mm[:ss]), or a number followed by an AM/PM word.
    std::vector<int> timeNums;
    int ampm = 0;  // 1 AM, 2 PM
    std::vector<Token> rest;
    auto markerOf = [&](const Token& t) {
        if (t.kind != Token::Word) return 0;
        for (const auto& a : loc.amMarkers)
            if (t.text == a) return 1;
        for (const auto& p : loc.pmMarkers)
            if (t.text == p) return 2;
        return 0;
    };
    for (size_t k = 0; k < tokens.size();) {
        const Token& t = tokens[k];
        if (int mk = markerOf(t)) {
            if (ampm) Mismatch();
            ampm = mk;
            ++k;
            continue;
        }
        if (t.kind == Token::Number && timeNums.empty() && k + 1 < tokens.size() &&
            tokens[k + 1].kind == Token::TimeSep) {
            timeNums.push_back(t.value);
            k += 1;
            while (k + 1 < tokens.size() && tokens[k].kind == Token::TimeSep && tokens[k + 1].kind == Token::Number) {
                if (tokens[k + 1].digits > 2) Mismatch();
                timeNums.push_back(tokens[k + 1].value);
                k += 2;
            }
            if (timeNums.size() > 3) Mismatch();
            if (k < tokens.size() && tokens[k].kind == Token::TimeSep) Mismatch();
            continue;
        }
        rest.push_back(t);
        ++k;
    }
    while (!rest.empty() && rest.back().kind == Token::Space) rest.pop_back();
    while (!rest.empty() && rest.front().kind == Token::Space) rest.erase(rest.begin());
    // "3 PM": an hour alone with a marker.
    if (ampm && timeNums.empty() && !rest.empty() && rest.back().kind == Token::Number) {
        bool dateBefore = rest.size() >= 2 && rest[rest.size() - 2].kind == Token::DateSep;
        if (!dateBefore) {
            timeNums.push_back(rest.back().value);
            rest.pop_back();
        }
    }
    if (ampm && timeNums.empty()) Mismatch();

    // What remains is the date: numbers joined by date separators, or with a month name.
    std::vector<Token> nums;
    int namedMonth = 0;
    for (const Token& t : rest) {
        if (t.kind == Token::Number) {
            nums.push_back(t);
        } else if (t.kind == Token::Word) {
            int month = 0;
            for (const auto& [name, number] : loc.monthNames)
                if (t.text == name) {
                    month = number;
                    break;
                }
            if (!month || namedMonth) Mismatch();
            namedMonth = month;
        } else if (t.kind == Token::TimeSep) {
            Mismatch();
        }
    }
    for (size_t k = 1; k < rest.size(); ++k)
        if (rest[k].kind == Token::DateSep && rest[k - 1].kind == Token::DateSep) Mismatch();
    if (!namedMonth) {
        // Plain numbers must be joined by date separators only; blanks separate the parts of
        // a date only when its month is given by name.
        for (size_t k = 1; k < rest.size(); ++k)
            if (rest[k].kind == Token::Number && rest[k - 1].kind != Token::DateSep) Mismatch();
        if (!rest.empty() && rest.front().kind == Token::DateSep) Mismatch();
        if (!rest.empty() && rest.back().kind == Token::DateSep && nums.size() != 3) Mismatch();
    }

    int64_t day = 0;
    if (!nums.empty() || namedMonth) {
        if (namedMonth ? (nums.empty() || nums.size() > 2) : (nums.size() < 2 || nums.size() > 3)) Mismatch();
        int y, m, d;
        if (!ResolveDate(nums, namedMonth, loc, y, m, d)) Mismatch();
        day = DaysFromCivil(y, m, d) + kUnixEpochDay;
    } else if (timeNums.empty()) {
        Mismatch();
    }

    int64_t ms = 0;
    if (!timeNums.empty()) {
        int h = timeNums[0];
        int mi = timeNums.size() > 1 ? timeNums[1] : 0;
        int s = timeNums.size() > 2 ? timeNums[2] : 0;
        if (ampm) {
            if (h > 12) Mismatch();
            if (h == 12) h = 0;
            if (ampm == 2) h += 12;
        }
        if (h > 23 || mi > 59 || s > 59) Mismatch();
        ms = ((h * 60 + mi) * 60 + s) * 1000LL;
    }
    return Compose(day, ms);
}

// Parsing fills in the current year where a text has none: what was parsed is kept for the
// year it was parsed in.
void KeepParsedFresh(LocaleData& loc) {
    const int year = CurrentYear();
    if (year != loc.parsedYear) {
        loc.parsed.Clear();
        loc.parsedYear = year;
    }
}

void RememberParsed(LocaleData& loc, const std::string& text, Date d) {
    KeepParsedFresh(loc);
    loc.parsed.Keep(text, d);
}

// The fast formatter is used only where it wrote every probe exactly as ICU does (each field at
// one and two digits, every hour that the 12- and 24-hour forms write differently, midnight
// for the date alone); the parser's reading of the texts only where it gave every probe back.
void Probe(LocaleData& data) {
    static const int64_t probes[][6] = {
        {2009, 1, 2, 0, 5, 7},    {2009, 12, 31, 23, 59, 59}, {1999, 10, 9, 12, 0, 0}, {2023, 7, 14, 11, 45, 9},
        {100, 1, 1, 1, 1, 1},     {9999, 11, 30, 13, 10, 10}, {2024, 2, 29, 22, 9, 30}, {1899, 12, 30, 0, 0, 0},
        {2010, 3, 15, 9, 30, 0},  {4501, 1, 1, 0, 0, 0},      {1970, 6, 1, 12, 59, 1},  {2000, 2, 3, 10, 1, 59},
    };
    bool general = data.fastGeneral.has_value(), dateOnly = data.fastDateOnly.has_value();
    bool readsBack = true;
    for (const auto& p : probes) {
        const int64_t ms = (DaysFromCivil(p[0], static_cast<int>(p[1]), static_cast<int>(p[2]))) * kMsPerDay +
                           ((p[3] * 60 + p[4]) * 60 + p[5]) * 1000;
        const bool midnight = p[3] == 0 && p[4] == 0 && p[5] == 0;
        icu::UnicodeString out;
        (midnight ? data.dateOnly : data.general)->format(static_cast<UDate>(ms), out);
        const std::string text = ToUtf8(out);
        if (midnight) {
            if (dateOnly && FastFormat(*data.fastDateOnly, ms) != text) dateOnly = false;
        } else if (general && FastFormat(*data.fastGeneral, ms) != text) {
            general = false;
        }
        try {
            const Date back = ParseImpl(out, data);
            if (ToUnixMillis(back) != ms) readsBack = false;
        } catch (const AutomationError&) {
            readsBack = false;
        }
    }
    if (!general) data.fastGeneral.reset();
    if (!dateOnly) data.fastDateOnly.reset();
    data.readsBack = readsBack;
}

}  // namespace

Date UtcToLocal(Date utc) {
    const int64_t ms = ToUnixMillis(utc);
    auto& s = TheState();
    std::lock_guard lock(s.mutex);
    UErrorCode status = U_ZERO_ERROR;
    int32_t raw = 0, dst = 0;
    CurrentZone(s).getOffset(static_cast<UDate>(ms), false, raw, dst, status);
    if (U_FAILURE(status)) raw = dst = 0;
    return FromUnixMillis(ms + raw + dst);
}

Date LocalToUtc(Date local) {
    const int64_t ms = ToUnixMillis(local);
    auto& s = TheState();
    std::lock_guard lock(s.mutex);
    UErrorCode status = U_ZERO_ERROR;
    int32_t raw = 0, dst = 0;
    icu::TimeZone& zone = CurrentZone(s);
    if (auto* basic = dynamic_cast<icu::BasicTimeZone*>(&zone)) {
        // A local time that occurs twice is read as the earlier; one skipped by a change as the
        // time before the change.
        basic->getOffsetFromLocal(static_cast<UDate>(ms), UCAL_TZ_LOCAL_FORMER, UCAL_TZ_LOCAL_FORMER, raw, dst,
                                  status);
    } else {
        zone.getOffset(static_cast<UDate>(ms), true, raw, dst, status);
    }
    if (U_FAILURE(status)) raw = dst = 0;
    return FromUnixMillis(ms - raw - dst);
}

Date Now() {
    return UtcToLocal(FromUnixMillis(static_cast<int64_t>(icu::Calendar::getNow())));
}

void SetRegionalLocale(const std::string& locale) {
    auto& s = TheState();
    std::lock_guard lock(s.mutex);
    if (locale.empty())
        s.locale.reset();
    else
        s.locale = locale;
}

std::string RegionalLocale() {
    auto& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.locale ? *s.locale : LocaleFromEnvironment();
}

std::string FormatGeneralDate(Date d) {
    // The general date shows whole seconds.
    const DayTime dt = WholeSeconds(d);
    const int64_t ms = dt.ms;
    const int64_t whenMs = (dt.day - kUnixEpochDay) * kMsPerDay + ms;
    auto& s = TheState();
    std::lock_guard lock(s.mutex);
    LocaleData& loc = CurrentLocale(s);
    if (const std::string* known = loc.formatted.Find(whenMs)) return *known;
    const auto& fast = ms == 0 ? loc.fastDateOnly : loc.fastGeneral;
    std::string text;
    if (fast) {
        text = FastFormat(*fast, whenMs);
    } else {
        icu::UnicodeString out;
        (ms == 0 ? loc.dateOnly : loc.general)->format(static_cast<UDate>(whenMs), out);
        text = ToUtf8(out);
    }
    if (loc.readsBack) {
        // Read back, this text gives this very date (Probe): remembered as parsed already.
        RememberParsed(loc, text, FromUnixMillis(whenMs));
    }
    loc.formatted.Keep(whenMs, text);
    return text;
}

Date ParseDate(std::string_view text) {
    auto& s = TheState();
    std::lock_guard lock(s.mutex);
    LocaleData& loc = CurrentLocale(s);
    KeepParsedFresh(loc);
    if (const Date* known = loc.parsed.Find(text)) return *known;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    const Date d = ParseImpl(u, loc);  // a text that is no date raises and is not kept
    loc.parsed.Keep(text, d);
    return d;
}

}  // namespace nubra::dates
