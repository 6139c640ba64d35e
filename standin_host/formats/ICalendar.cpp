#include "standin_host/formats/ICalendar.h"

#include <libical/ical.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "host/AutomationDates.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/ItemSource.h"

namespace nubra::formats {
namespace {

constexpr size_t kMaxLineLength = 1 << 20;

struct ComponentStart {
    std::string name;  // VEVENT or VTODO
    int64_t line;
    size_t begin = 0, end = 0;       // bytes: its BEGIN line to the end of its END line
    std::vector<std::string> tzids;  // time zones its times name (TZID parameters)
};

// A VTIMEZONE as written.
struct TimeZoneText {
    std::string tzid;
    size_t begin = 0, end = 0;
};

struct Outline {
    std::vector<ComponentStart> starts;  // top-level VEVENT and VTODO components, in file order
    std::vector<TimeZoneText> timezones;
};

// The TZID parameter of a content line ("DTSTART;TZID=Europe/Berlin:..."), if any.
std::optional<std::string> TzidParameter(std::string_view line, size_t nameEnd, size_t colon) {
    const std::string params = AsciiLower(line.substr(nameEnd, colon - nameEnd));
    const size_t at = params.find(";tzid=");
    if (at == std::string::npos) return std::nullopt;
    std::string_view value = line.substr(nameEnd + at + 6, colon - nameEnd - at - 6);
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
        value = value.substr(0, value.find('"'));
    } else {
        value = value.substr(0, value.find(';'));
    }
    return std::string(value);
}

// Checks the text line by line before libical sees it (libical repairs what it cannot read
// and would hide the place of the fault): every content line has a name and a colon,
// BEGIN/END pair up, the text is UTF-8 without NUL. Returns where the VEVENT and VTODO
// components and the VTIMEZONEs are, in file order.
Outline CheckOutline(std::string_view data, const std::string& file) {
    Outline outline;
    std::vector<ComponentStart>& starts = outline.starts;
    std::optional<size_t> inComponent;   // the index in `starts` of the component being read
    std::optional<TimeZoneText> inZone;  // the VTIMEZONE being read
    size_t logicalBegin = 0, logicalEnd = 0;
    std::vector<std::pair<std::string, int64_t>> stack;
    size_t pos = 0;
    int64_t number = 0;
    bool sawCalendar = false;
    std::string logical;
    int64_t logicalLine = 0;
    auto checkLogical = [&]() {
        if (logical.empty()) return;
        // The name ends at ';' or ':'; the colon that ends the parameters is outside quotes.
        size_t i = 0;
        while (i < logical.size() && (std::isalnum(static_cast<unsigned char>(logical[i])) || logical[i] == '-')) ++i;
        if (i == 0) FailAtLine(file, logicalLine, "not an iCalendar content line");
        bool quoted = false;
        size_t colon = std::string::npos;
        for (size_t k = i; k < logical.size(); ++k) {
            if (logical[k] == '"') quoted = !quoted;
            else if (logical[k] == ':' && !quoted) {
                colon = k;
                break;
            }
        }
        if (colon == std::string::npos || (logical[i] != ':' && logical[i] != ';'))
            FailAtLine(file, logicalLine, "content line without \":\"");
        std::string name = AsciiLower(logical.substr(0, i));
        std::string value = TrimWhite(logical.substr(colon + 1));
        std::string upper = value;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (name == "dtstart" || name == "dtend" || name == "due") {
            // libical reads a mangled time as some other time; a wrong start or end is worse
            // than none, so the value must be DATE or DATE-TIME exactly.
            auto digits = [&](size_t from, size_t n) {
                if (from + n > value.size()) return false;
                for (size_t k = from; k < from + n; ++k)
                    if (value[k] < '0' || value[k] > '9') return false;
                return true;
            };
            bool ok = digits(0, 8) && (value.size() == 8 ||
                                       (value.size() >= 15 && value[8] == 'T' && digits(9, 6) &&
                                        (value.size() == 15 || (value.size() == 16 && value[15] == 'Z'))));
            if (!ok) FailAtLine(file, logicalLine, "not a date or date-time: " + AsciiLower(name) + " \"" + value + "\"");
        }
        if (name == "begin") {
            // Besides calendars, collections of examples hold bare components between them;
            // libical reads those as it reads them inside a calendar.
            if (stack.empty() && upper != "VCALENDAR" && upper != "VEVENT" && upper != "VTODO" &&
                upper != "VJOURNAL" && upper != "VFREEBUSY" && upper != "VTIMEZONE")
                FailAtLine(file, logicalLine, "BEGIN:" + value + " outside BEGIN:VCALENDAR");
            if (upper == "VCALENDAR") sawCalendar = true;
            bool topLevel = stack.empty() || (stack.size() == 1 && stack[0].first == "VCALENDAR");
            if (topLevel && (upper == "VEVENT" || upper == "VTODO")) {
                starts.push_back({upper, logicalLine, logicalBegin, 0, {}});
                inComponent = starts.size() - 1;
            }
            if (topLevel && upper == "VTIMEZONE") inZone = TimeZoneText{{}, logicalBegin, 0};
            stack.emplace_back(upper, logicalLine);
        } else if (name == "end") {
            if (stack.empty()) FailAtLine(file, logicalLine, "END:" + value + " without BEGIN");
            if (stack.back().first != upper)
                FailAtLine(file, logicalLine,
                           "END:" + value + " does not close BEGIN:" + stack.back().first + " of line " +
                               std::to_string(stack.back().second));
            stack.pop_back();
            const bool topLevel = stack.empty() || (stack.size() == 1 && stack[0].first == "VCALENDAR");
            if (topLevel && inComponent) {
                starts[*inComponent].end = logicalEnd;
                inComponent.reset();
            }
            if (topLevel && inZone) {
                inZone->end = logicalEnd;
                outline.timezones.push_back(std::move(*inZone));
                inZone.reset();
            }
        } else if (stack.empty()) {
            FailAtLine(file, logicalLine, "content line outside BEGIN:VCALENDAR ... END:VCALENDAR");
        } else if (inZone && name == "tzid" && stack.back().first == "VTIMEZONE") {
            inZone->tzid = value;
        } else if (inComponent) {
            if (auto tzid = TzidParameter(logical, i, colon)) starts[*inComponent].tzids.push_back(*tzid);
        }
        logical.clear();
    };
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        if (end == std::string_view::npos) end = data.size();
        ++number;
        if (end - pos > kMaxLineLength)
            FailAtLine(file, number, "line longer than " + std::to_string(kMaxLineLength) + " bytes");
        std::string_view line = data.substr(pos, end - pos);
        const size_t lineBegin = pos;
        pos = std::min(end + 1, data.size());
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        for (size_t k = 0; k < line.size(); ++k) {
            unsigned char c = static_cast<unsigned char>(line[k]);
            if (c < 0x20 && c != '\t') {
                char buf[64];
                std::snprintf(buf, sizeof buf, "control character 0x%02X (column %zu)", c, k + 1);
                FailAtLine(file, number, buf);
            }
        }
        if (auto bad = FindInvalidUtf8(line))
            FailAtLine(file, number, "not UTF-8 (column " + std::to_string(*bad + 1) + ")");
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (logical.empty()) FailAtLine(file, number, "continuation line without a content line");
            logical.append(line.substr(1));
            logicalEnd = pos;
            continue;
        }
        checkLogical();
        if (TrimWhite(line).empty()) continue;
        logical.assign(line);
        logicalLine = number;
        logicalBegin = lineBegin;
        logicalEnd = pos;
    }
    checkLogical();
    if (!sawCalendar) FailAtLine(file, 1, "no BEGIN:VCALENDAR in the file");
    if (!stack.empty())
        FailAtLine(file, stack.back().second, "BEGIN:" + stack.back().first + " without END");
    return outline;
}

void EnsureLibical() {
    static std::once_flag once;
    std::call_once(once, [] { icalerror_set_errors_are_fatal(0); });
}

// Time zones by their definition, each kept across files. libical works out a zone's changes
// from its rules the first time a time is converted with it, from the rules' first year on:
// most of the cost of reading an event, paid again for every file, since each file brings its
// own copy of the same VTIMEZONE. A zone made once from the same text gives the same offsets.
// One cache per thread (files are read on several); cleared when it holds many zones.
class ZoneCache {
public:
    ~ZoneCache() { Clear(); }
    // The kept zone defined as `zone` is; `zone` itself when it has no definition of its own.
    icaltimezone* Same(icaltimezone* zone) {
        icalcomponent* definition = icaltimezone_get_component(zone);
        if (!definition) return zone;
        std::unique_ptr<char, void (*)(void*)> text(icalcomponent_as_ical_string_r(definition), std::free);
        if (!text) return zone;
        auto found = zones_.find(text.get());
        if (found != zones_.end()) return found->second;
        if (zones_.size() >= kMaxZones) Clear();
        icaltimezone* made = icaltimezone_new();
        if (!made || !icaltimezone_set_component(made, icalcomponent_new_clone(definition))) {
            if (made) icaltimezone_free(made, 1);
            return zone;
        }
        zones_.emplace(text.get(), made);
        return made;
    }

private:
    static constexpr size_t kMaxZones = 256;
    void Clear() {
        for (auto& [text, zone] : zones_) icaltimezone_free(zone, 1);
        zones_.clear();
    }
    std::map<std::string, icaltimezone*> zones_;
};

// A libical time as a UTC automation date. Floating times and dates are local time.
std::optional<Date> ToUtcDate(icaltimetype t) {
    if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) return std::nullopt;
    try {
        if (t.is_date) return dates::LocalToUtc(dates::MakeDate(t.year, t.month, t.day));
        if (icaltime_is_utc(t)) return dates::MakeDate(t.year, t.month, t.day, t.hour, t.minute, t.second);
        if (t.zone) {
            thread_local ZoneCache zones;
            t.zone = zones.Same(const_cast<icaltimezone*>(t.zone));
            icaltimetype u = icaltime_convert_to_zone(t, icaltimezone_get_utc_timezone());
            return dates::MakeDate(u.year, u.month, u.day, u.hour, u.minute, u.second);
        }
        return dates::LocalToUtc(dates::MakeDate(t.year, t.month, t.day, t.hour, t.minute, t.second));
    } catch (const AutomationError&) {
        return std::nullopt;
    }
}

std::optional<std::string> Text(const char* s) {
    if (!s) return std::nullopt;
    return std::string(s);
}

// The first X-LIC-ERROR libical left about a time the item needs (DTSTART, DTEND, DUE,
// DURATION): such a value cannot be guessed. Faults in other properties only lose them.
std::optional<std::string> TimeError(icalcomponent* comp) {
    for (icalproperty* p = icalcomponent_get_first_property(comp, ICAL_XLICERROR_PROPERTY); p;
         p = icalcomponent_get_next_property(comp, ICAL_XLICERROR_PROPERTY)) {
        const char* text = icalproperty_get_xlicerror(p);
        std::string message = text ? text : "";
        for (const char* name : {" DTSTART ", " DTEND ", " DUE ", " DURATION "})
            if (message.find(name) != std::string::npos) return message;
    }
    return std::nullopt;
}

}  // namespace

std::vector<ItemData> ParseICalendar(std::string_view data, const std::string& file) {
    const Outline outline = CheckOutline(data, file);
    const std::vector<ComponentStart>& starts = outline.starts;
    EnsureLibical();
    std::string text(data);
    std::unique_ptr<icalcomponent, void (*)(icalcomponent*)> root(icalparser_parse_string(text.c_str()),
                                                                    icalcomponent_free);
    if (!root) FailAtLine(file, 1, "libical could not read the calendar");
    // The VEVENT and VTODO components in file order, inside calendars or bare.
    std::vector<icalcomponent*> components;
    auto collect = [&](icalcomponent* parent) {
        for (icalcomponent* c = icalcomponent_get_first_component(parent, ICAL_ANY_COMPONENT); c;
             c = icalcomponent_get_next_component(parent, ICAL_ANY_COMPONENT)) {
            icalcomponent_kind kind = icalcomponent_isa(c);
            if (kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT) components.push_back(c);
        }
    };
    icalcomponent_kind rootKind = icalcomponent_isa(root.get());
    if (rootKind == ICAL_VCALENDAR_COMPONENT) {
        collect(root.get());
    } else if (rootKind == ICAL_VEVENT_COMPONENT || rootKind == ICAL_VTODO_COMPONENT) {
        components.push_back(root.get());
    } else {
        for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_ANY_COMPONENT); c;
             c = icalcomponent_get_next_component(root.get(), ICAL_ANY_COMPONENT)) {
            icalcomponent_kind kind = icalcomponent_isa(c);
            if (kind == ICAL_VCALENDAR_COMPONENT) collect(c);
            else if (kind == ICAL_VEVENT_COMPONENT || kind == ICAL_VTODO_COMPONENT) components.push_back(c);
        }
    }
    std::vector<ItemData> items;
    // The components each item is made of (its own first, then its overrides), by index.
    std::vector<std::vector<size_t>> parts;
    std::map<std::string, size_t> itemOfUid;
    std::vector<size_t> overrides;
    size_t index = 0;
    {
        for (icalcomponent* comp : components) {
            icalcomponent_kind kind = icalcomponent_isa(comp);
            int64_t line = index < starts.size() ? starts[index].line : 1;
            ++index;
            if (auto error = TimeError(comp))
                FailAtLine(file, line, std::string(kind == ICAL_VEVENT_COMPONENT ? "VEVENT" : "VTODO") + ": " + *error);
            if (icalcomponent_get_first_property(comp, ICAL_RECURRENCEID_PROPERTY)) {
                overrides.push_back(index - 1);
                continue;
            }
            if (const char* uid = icalcomponent_get_uid(comp)) itemOfUid.emplace(uid, items.size());
            parts.push_back({index - 1});
            ItemData item;
            item.Subject = Text(icalcomponent_get_summary(comp));
            if (kind == ICAL_VEVENT_COMPONENT) {
                item.Class = 26;
                icaltimetype start = icalcomponent_get_dtstart(comp);
                icaltimetype end = icalcomponent_get_dtend(comp);
                item.Start = ToUtcDate(start);
                item.End = ToUtcDate(end);
                if (item.Start && !item.End) {
                    // No DTEND or DURATION: a date lasts the day, a time is a moment.
                    item.End = start.is_date ? ToUtcDate(icaltime_add(start, icaldurationtype_from_int(86400)))
                                             : item.Start;
                }
                item.Location = Text(icalcomponent_get_location(comp));
                item.Body = Text(icalcomponent_get_description(comp));
            } else {
                item.Class = 48;
                item.StartDate = ToUtcDate(icalcomponent_get_dtstart(comp));
                item.DueDate = ToUtcDate(icalcomponent_get_due(comp));
                item.Body = Text(icalcomponent_get_description(comp));
                int32_t status = 0;
                if (icalcomponent_get_first_property(comp, ICAL_STATUS_PROPERTY)) {
                    switch (icalcomponent_get_status(comp)) {
                        case ICAL_STATUS_INPROCESS: status = 1; break;
                        case ICAL_STATUS_COMPLETED: status = 2; break;
                        case ICAL_STATUS_CANCELLED: status = 4; break;
                        default: status = 0; break;
                    }
                }
                item.Status = status;
            }
            items.push_back(std::move(item));
        }
    }
    // Each item keeps the text it was read from, its overrides (changed occurrences) and the
    // time zones they name, so that alarms, attendees, recurrence rules and whatever else no
    // field holds go out again as they came in. Only when libical saw the components the
    // outline found: otherwise they could not be told apart.
    if (components.size() != starts.size()) return items;
    for (size_t o : overrides) {
        const char* uid = icalcomponent_get_uid(components[o]);
        if (auto it = uid ? itemOfUid.find(uid) : itemOfUid.end(); it != itemOfUid.end()) parts[it->second].push_back(o);
    }
    auto appendBlock = [&](std::string& out, size_t begin, size_t end) {
        out.append(data.substr(begin, end - begin));
        if (!out.empty() && out.back() != '\n') out += "\r\n";  // the file's last line had no line end
    };
    for (size_t k = 0; k < items.size(); ++k) {
        std::string text;
        std::set<std::string> zones;
        for (size_t c : parts[k]) zones.insert(starts[c].tzids.begin(), starts[c].tzids.end());
        for (const auto& zone : zones)
            for (const auto& tz : outline.timezones)
                if (tz.tzid == zone) {
                    appendBlock(text, tz.begin, tz.end);
                    break;
                }
        for (size_t c : parts[k]) appendBlock(text, starts[c].begin, starts[c].end);
        items[k].Source = store::ItemSource::Pack(store::ItemSource::Kind::ICalendar, text);
    }
    return items;
}

std::vector<ItemData> ReadICalendarFile(const std::string& path) {
    return ParseICalendar(ReadTextFile(path), path);
}

namespace {

std::string EscapeText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == ';') out += "\\;";
        else if (c == ',') out += "\\,";
        else if (c == '\n') out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') continue;  // no control characters in iCalendar text
        else out += c;
    }
    return out;
}

// The components of a source, each from its BEGIN line to the end of its END line.
std::vector<std::string> TopLevelBlocks(std::string_view text) {
    std::vector<std::string> blocks;
    std::string name;  // of the open block
    size_t begin = 0, pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        const std::string line = AsciiLower(TrimWhite(text.substr(pos, end - pos)));
        if (name.empty() && line.starts_with("begin:")) {
            name = line.substr(6);
            begin = pos;
        } else if (!name.empty() && line == "end:" + name) {
            blocks.emplace_back(text.substr(begin, end - begin));
            name.clear();
        }
        pos = end;
    }
    return blocks;
}

// A stable UID from what identifies the item, so exporting twice gives the same file.
std::string MakeUid(const ItemData& item, size_t index) {
    std::string key = std::to_string(item.Class) + "|" + item.Subject.value_or("") + "|" +
                      std::to_string(item.Start.value_or(item.StartDate.value_or(0))) + "|" +
                      std::to_string(index);
    size_t h = std::hash<std::string>{}(key);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016zx", h);
    return std::string(buf) + "@nubrasweep";
}

}  // namespace

std::string WriteICalendar(const std::vector<ItemData>& items) {
    std::string out = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Nubrasweep//Export//EN\r\n";
    std::string stamp = UtcStamp(dates::LocalToUtc(dates::Now()));
    // Items unchanged since they were read go out as they came in: the time zones they name
    // first (each once), then their components.
    std::vector<std::string> kept(items.size());
    std::set<std::string> zonesWritten;
    for (size_t i = 0; i < items.size(); ++i) {
        const ItemData& item = items[i];
        if ((item.Class != 26 && item.Class != 48) || !store::SourceIsCurrent(item) ||
            item.Source->kind != store::ItemSource::Kind::ICalendar)
            continue;
        for (auto& block : TopLevelBlocks(item.Source->Unpack())) {
            if (!block.starts_with("BEGIN:VTIMEZONE")) {
                kept[i] += block;
            } else if (zonesWritten.insert(block).second) {
                out += block;
            }
        }
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const ItemData& item = items[i];
        if (item.Class != 26 && item.Class != 48) continue;
        if (!kept[i].empty()) {
            out += kept[i];
            continue;
        }
        bool event = item.Class == 26;
        out += event ? "BEGIN:VEVENT\r\n" : "BEGIN:VTODO\r\n";
        AppendFoldedLine(out, "UID:" + MakeUid(item, i));
        out += "DTSTAMP:" + stamp + "\r\n";
        if (event) {
            if (item.Start) out += "DTSTART:" + UtcStamp(*item.Start) + "\r\n";
            if (item.End) out += "DTEND:" + UtcStamp(*item.End) + "\r\n";
            if (item.Location) AppendFoldedLine(out, "LOCATION:" + EscapeText(*item.Location));
        } else {
            if (item.StartDate) out += "DTSTART:" + UtcStamp(*item.StartDate) + "\r\n";
            if (item.DueDate) out += "DUE:" + UtcStamp(*item.DueDate) + "\r\n";
            const char* status = "NEEDS-ACTION";
            switch (item.Status.value_or(0)) {
                case 1: status = "IN-PROCESS"; break;
                case 2: status = "COMPLETED"; break;
                case 4: status = "CANCELLED"; break;
                default: break;
            }
            out += std::string("STATUS:") + status + "\r\n";
        }
        if (item.Subject) AppendFoldedLine(out, "SUMMARY:" + EscapeText(*item.Subject));
        if (item.Body && !item.Body->empty()) AppendFoldedLine(out, "DESCRIPTION:" + EscapeText(*item.Body));
        out += event ? "END:VEVENT\r\n" : "END:VTODO\r\n";
    }
    out += "END:VCALENDAR\r\n";
    return out;
}

}  // namespace nubra::formats
