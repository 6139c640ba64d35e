#include "standin_host/formats/MaildirName.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unistd.h>

#include "host/AutomationDates.h"

namespace nubra::formats {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Where the unique part (with its ",U=") ends and the separator, if any.
struct Split {
    size_t uniqueEnd;
    size_t separator;  // npos: none
};

Split SplitName(std::string_view name) {
    if (const size_t colon = name.find(':'); colon != std::string_view::npos)
        return {colon, name.substr(colon).starts_with(":2,") ? colon : std::string_view::npos};
    const size_t bang = name.rfind("!2,");
    if (bang != std::string_view::npos && std::all_of(name.begin() + bang + 3, name.end(), IsLetter)) return {bang, bang};
    return {name.size(), std::string_view::npos};
}

// The ",U=<digits>" of a unique part: its start and end, and the value.
struct UidSpan {
    size_t begin = 0, end = 0;
    uint64_t value = 0;
};

std::optional<UidSpan> FindUid(std::string_view unique) {
    const size_t u = unique.rfind(",U=");
    if (u == std::string_view::npos) return std::nullopt;
    size_t end = u + 3;
    uint64_t value = 0;
    while (end < unique.size() && IsDigit(unique[end])) {
        const uint64_t digit = static_cast<uint64_t>(unique[end] - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
        ++end;
    }
    if (end == u + 3 || (end < unique.size() && unique[end] != ',')) return std::nullopt;
    return UidSpan{u, end, value};
}

}  // namespace

MaildirName ParseMaildirName(std::string_view fileName) {
    const Split split = SplitName(fileName);
    MaildirName out;
    std::string_view unique = fileName.substr(0, split.uniqueEnd);
    if (auto uid = FindUid(unique)) {
        out.unique = std::string(unique.substr(0, uid->begin)) + std::string(unique.substr(uid->end));
        out.syncUid = uid->value;
    } else {
        out.unique = std::string(unique);
    }
    if (split.separator != std::string_view::npos) {
        out.separator = std::string(fileName.substr(split.separator, 3));
        out.flags = std::string(fileName.substr(split.separator + 3));
    }
    return out;
}

std::string WithoutSyncUid(std::string_view fileName) {
    const Split split = SplitName(fileName);
    auto uid = FindUid(fileName.substr(0, split.uniqueEnd));
    if (!uid) return std::string(fileName);
    return std::string(fileName.substr(0, uid->begin)) + std::string(fileName.substr(uid->end));
}

std::optional<Date> MaildirDeliveryTime(std::string_view unique) {
    size_t i = 0;
    int64_t seconds = 0;
    while (i < unique.size() && IsDigit(unique[i])) {
        if (i == 12) return std::nullopt;
        seconds = seconds * 10 + (unique[i++] - '0');
    }
    if (i == 0 || i >= unique.size() || unique[i] != '.') return std::nullopt;
    const size_t middleEnd = unique.find('.', i + 1);
    if (middleEnd == std::string_view::npos || middleEnd == i + 1 || middleEnd + 1 >= unique.size()) return std::nullopt;
    const std::string_view middle = unique.substr(i + 1, middleEnd - i - 1);
    int64_t micros = 0;
    if (const size_t m = middle.find('M'); m != std::string_view::npos) {
        size_t k = m + 1;
        int64_t v = 0;
        while (k < middle.size() && IsDigit(middle[k]) && k < m + 7) v = v * 10 + (middle[k++] - '0');
        if (k > m + 1 && (k == middle.size() || !IsDigit(middle[k]))) micros = v;
    }
    return dates::FromUnixMillis(seconds * 1000 + micros / 1000);
}

std::string MaildirFileName(std::string_view unique, std::string_view flags, char separator) {
    std::string sorted;
    for (char c : flags)
        if (IsLetter(c) && sorted.find(c) == std::string::npos) sorted += c;
    std::sort(sorted.begin(), sorted.end());
    return std::string(unique) + (separator == '!' ? "!2," : ":2,") + sorted;
}

std::string NewMaildirUnique(std::optional<Date> delivered) {
    static std::atomic<uint64_t> counter{0};
    static const std::string host = [] {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return std::string("localhost");
        std::string out;
        for (const char* c = name; *c; ++c) out += *c == '/' ? std::string("\\057") : *c == ':' ? std::string("\\072") : std::string(1, *c);
        return out;
    }();
    const int64_t us =
        delivered ? std::max<int64_t>(0, dates::ToUnixMillis(*delivered)) * 1000
                  : std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return std::to_string(us / 1000000) + ".M" + std::to_string(us % 1000000) + "P" + std::to_string(::getpid()) + "Q" +
           std::to_string(++counter) + "." + host;
}

}  // namespace nubra::formats
