#include "standin_host/connected/PimItem.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "standin_host/connected/Common.h"
#include "standin_host/formats/ICalendar.h"
#include "standin_host/formats/VCard.h"

namespace nubra::connected {
namespace {

constexpr int32_t kDistributionList = 69;

// The value of the first line of `text` naming property `name` (parameters allowed), unfolded
// no further: the properties read here are short.
std::optional<std::string> Property(std::string_view text, const char* name) {
    const size_t n = std::strlen(name);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > n && strncasecmp(line.data(), name, n) == 0 && (line[n] == ':' || line[n] == ';'))
            if (const size_t colon = line.find(':'); colon != std::string_view::npos)
                return std::string(line.substr(colon + 1));
        at = end + 1;
    }
    return std::nullopt;
}

// An HTTP date ("Tue, 02 Jan 2024 03:04:05 GMT"), read without the locale's month names.
std::optional<Date> HttpDateOf(const std::string& value) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {}, month[4] = {}, zone[4] = {};
    tm t{};
    int consumed = 0;
    if (std::sscanf(value.c_str(), "%3s %d %3s %d %d:%d:%d %3s%n", weekday, &t.tm_mday, month, &t.tm_year, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, zone, &consumed) != 8 ||
        static_cast<size_t>(consumed) != value.size() || std::strcmp(zone, "GMT") != 0)
        return std::nullopt;
    t.tm_mon = -1;
    for (int m = 0; m < 12; ++m)
        if (std::strcmp(month, kMonths[m]) == 0) t.tm_mon = m;
    t.tm_year -= 1900;
    if (t.tm_mon < 0 || t.tm_year < 0 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 ||
        t.tm_sec > 60)
        return std::nullopt;
    return dates::FromUnixMillis(static_cast<int64_t>(::timegm(&t)) * 1000);
}

}  // namespace

std::optional<Date> PimDateOf(const std::string& value) {
    if (value.find("GMT") != std::string::npos) return HttpDateOf(value);
    std::string digits;
    for (char c : value)
        if (c >= '0' && c <= '9') digits += c;
    if (digits.size() != 8 && digits.size() != 14) return std::nullopt;
    tm t{};
    t.tm_year = std::stoi(digits.substr(0, 4)) - 1900;
    t.tm_mon = std::stoi(digits.substr(4, 2)) - 1;
    t.tm_mday = std::stoi(digits.substr(6, 2));
    if (digits.size() == 14) {
        t.tm_hour = std::stoi(digits.substr(8, 2));
        t.tm_min = std::stoi(digits.substr(10, 2));
        t.tm_sec = std::stoi(digits.substr(12, 2));
    }
    if (t.tm_mon > 11 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 60)
        return std::nullopt;
    return dates::FromUnixMillis(static_cast<int64_t>(::timegm(&t)) * 1000);
}

store::ItemData PimItemOf(std::string_view text, bool vcard, const std::string& label, std::optional<Date> fallback) {
    auto items = vcard ? formats::ParseVCards(text, label) : formats::ParseICalendar(text, label);
    if (items.empty()) RaiseError(errnum::kMapiCorruptData, "\"" + label + "\" holds no contact, event or to-do", kSource);
    store::ItemData item = std::move(items.front());
    std::optional<Date> created;
    for (const char* property : {"CREATED", "DTSTAMP", "REV"})
        if (!created)
            if (const auto value = Property(text, property)) created = PimDateOf(*value);
    if (!created) created = fallback;
    if (created) item.CreationTime = created;
    const auto kind = Property(text, "KIND");
    const auto appleKind = Property(text, "X-ADDRESSBOOKSERVER-KIND");
    if ((kind && strcasecmp(kind->c_str(), "group") == 0) || (appleKind && strcasecmp(appleKind->c_str(), "group") == 0)) {
        item.Class = kDistributionList;
        item.MessageClass.reset();
    }
    return item;
}

std::string ShownFolderName(std::string name) {
    for (size_t at; (at = name.find('\\')) != std::string::npos;) name.replace(at, 1, "\xE2\xA7\xB5");
    return name;
}

}  // namespace nubra::connected
