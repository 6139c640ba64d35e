#include "standin_host/formats/JsonLines.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <istream>
#include <limits>
#include <map>

#include <nlohmann/json.hpp>

#include "host/AutomationDates.h"
#include "standin_host/formats/FormatError.h"

namespace nubra::formats {
namespace {

using nlohmann::json;
using store::ItemData;

// Reads exactly `n` digits at `pos`; -1 when they are not there.
int Digits(std::string_view s, std::size_t pos, std::size_t n) {
    if (pos + n > s.size()) return -1;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

[[noreturn]] void Bad(const std::string& file, int64_t line, const std::string& message) {
    FailAtLine(file, line, message);
}

std::string TypeName(const json& v) { return v.type_name(); }

// How each key fills its field, and how the field is written back.
struct Field {
    std::function<void(ItemData&, const json&, const std::string& /*file*/, int64_t /*line*/,
                       const std::string& /*key*/)>
        read;
    std::function<void(const ItemData&, nlohmann::ordered_json&, const std::string& /*key*/)> write;
};

void RequireString(const json& v, const std::string& file, int64_t line, const std::string& key) {
    if (!v.is_string()) Bad(file, line, "\"" + key + "\" must be a string, not " + TypeName(v));
}

int32_t ReadInt(const json& v, const std::string& file, int64_t line, const std::string& key) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned()) {
            auto u = v.get<uint64_t>();
            if (u <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return static_cast<int32_t>(u);
        } else {
            auto i = v.get<int64_t>();
            if (i >= std::numeric_limits<int32_t>::min() && i <= std::numeric_limits<int32_t>::max())
                return static_cast<int32_t>(i);
        }
        Bad(file, line, "\"" + key + "\" is out of range: " + v.dump());
    }
    Bad(file, line, "\"" + key + "\" must be a whole number, not " + (v.is_number() ? v.dump() : TypeName(v)));
}

Field Text(std::optional<std::string> ItemData::*member) {
    return {[member](ItemData& item, const json& v, const std::string& file, int64_t line, const std::string& key) {
                RequireString(v, file, line, key);
                item.*member = v.get<std::string>();
            },
            [member](const ItemData& item, nlohmann::ordered_json& out, const std::string& key) {
                if (item.*member) out[key] = *(item.*member);
            }};
}

Field Time(std::optional<Date> ItemData::*member) {
    return {[member](ItemData& item, const json& v, const std::string& file, int64_t line, const std::string& key) {
                RequireString(v, file, line, key);
                try {
                    item.*member = ParseIsoUtc(v.get<std::string>());
                } catch (const AutomationError&) {
                    Bad(file, line,
                        "\"" + key + "\" is not an ISO 8601 UTC time (like 2024-05-01T10:00:00Z): " + v.dump());
                }
            },
            [member](const ItemData& item, nlohmann::ordered_json& out, const std::string& key) {
                if (item.*member) out[key] = FormatIsoUtc(*(item.*member));
            }};
}

Field Number(std::optional<int32_t> ItemData::*member) {
    return {[member](ItemData& item, const json& v, const std::string& file, int64_t line, const std::string& key) {
                item.*member = ReadInt(v, file, line, key);
            },
            [member](const ItemData& item, nlohmann::ordered_json& out, const std::string& key) {
                if (item.*member) out[key] = *(item.*member);
            }};
}

// The keys in the order an export writes them.
const std::vector<std::pair<std::string, Field>>& Fields() {
    static const std::vector<std::pair<std::string, Field>> fields = {
        {"Class",
         {[](ItemData& item, const json& v, const std::string& file, int64_t line, const std::string& key) {
              item.Class = ReadInt(v, file, line, key);
          },
          [](const ItemData& item, nlohmann::ordered_json& out, const std::string& key) { out[key] = item.Class; }}},
        {"MessageClass", Text(&ItemData::MessageClass)},
        {"Subject", Text(&ItemData::Subject)},
        {"Body", Text(&ItemData::Body)},
        {"CreationTime", Time(&ItemData::CreationTime)},
        {"SentOn", Time(&ItemData::SentOn)},
        {"InternetMessageID", Text(&ItemData::InternetMessageID)},
        {"SenderName", Text(&ItemData::SenderName)},
        {"To", Text(&ItemData::To)},
        {"Cc", Text(&ItemData::Cc)},
        {"FirstName", Text(&ItemData::FirstName)},
        {"LastName", Text(&ItemData::LastName)},
        {"CompanyName", Text(&ItemData::CompanyName)},
        {"FullName", Text(&ItemData::FullName)},
        {"Email1Address", Text(&ItemData::Email1Address)},
        {"Location", Text(&ItemData::Location)},
        {"Start", Time(&ItemData::Start)},
        {"End", Time(&ItemData::End)},
        {"Status", Number(&ItemData::Status)},
        {"StartDate", Time(&ItemData::StartDate)},
        {"DueDate", Time(&ItemData::DueDate)},
        {"Color", Number(&ItemData::Color)},
    };
    return fields;
}

const Field* FindField(const std::string& key) {
    static const std::map<std::string, const Field*> byName = [] {
        std::map<std::string, const Field*> m;
        for (const auto& [name, field] : Fields()) m[name] = &field;
        return m;
    }();
    auto it = byName.find(key);
    return it == byName.end() ? nullptr : it->second;
}

}  // namespace

std::string FormatIsoUtc(Date utc) {
    const auto p = dates::SplitDate(utc);
    char buf[40];
    if (p.millisecond != 0)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", p.year, p.month, p.day, p.hour,
                      p.minute, p.second, p.millisecond);
    else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", p.year, p.month, p.day, p.hour, p.minute,
                      p.second);
    return buf;
}

Date ParseIsoUtc(std::string_view s) {
    auto mismatch = [] { RaiseError(errnum::kTypeMismatch); };
    const int year = Digits(s, 0, 4), month = Digits(s, 5, 2), day = Digits(s, 8, 2);
    const int hour = Digits(s, 11, 2), minute = Digits(s, 14, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || s[4] != '-' || s[7] != '-' ||
        (s[10] != 'T' && s[10] != 't' && s[10] != ' ') || s[13] != ':')
        mismatch();
    std::size_t pos = 16;
    int second = 0, millis = 0;
    if (pos < s.size() && s[pos] == ':') {
        second = Digits(s, pos + 1, 2);
        if (second < 0) mismatch();
        pos += 3;
        if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
            ++pos;
            int scale = 100, digits = 0;
            while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
                // Beyond milliseconds the digits are read but not kept.
                if (scale > 0) millis += (s[pos] - '0') * scale;
                scale /= 10;
                ++pos;
                ++digits;
            }
            if (digits == 0) mismatch();
        }
    }
    int offsetMinutes = 0;
    if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z')) {
        ++pos;
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        const int oh = Digits(s, pos + 1, 2), om = Digits(s, pos + 4, 2);
        if (oh < 0 || om < 0 || s[pos + 3] != ':' || oh > 23 || om > 59) mismatch();
        offsetMinutes = (oh * 60 + om) * (s[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        // Without a zone the time would silently depend on where it is read.
        mismatch();
    }
    if (pos != s.size()) mismatch();
    Date local;
    try {
        local = dates::MakeDate(year, month, day, hour, minute, second);
    } catch (const AutomationError&) {
        mismatch();
    }
    const int64_t ms = dates::ToUnixMillis(local) + millis - int64_t{offsetMinutes} * 60'000;
    return dates::FromUnixMillis(ms);
}

ItemData ParseJsonItem(std::string_view text, const std::string& file, int64_t line) {
    json doc;
    try {
        doc = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& e) {
        // The parser's own message names the byte; keep only what it found.
        std::string what = e.what();
        if (auto p = what.find("parse error"); p != std::string::npos) what = what.substr(p);
        Bad(file, line, "not valid JSON: " + what);
    }
    if (!doc.is_object()) Bad(file, line, "expected one JSON object per line, found " + TypeName(doc));

    ItemData item;
    bool hasClass = false;
    for (const auto& [key, value] : doc.items()) {
        if (key == "EntryID") {
            // Written by the export; a new item gets an entry ID of its own.
            RequireString(value, file, line, key);
            continue;
        }
        if (value.is_null()) Bad(file, line, "\"" + key + "\" is null; leave the key out instead");
        const Field* field = FindField(key);
        if (!field) Bad(file, line, "unknown key \"" + key + "\"");
        field->read(item, value, file, line, key);
        if (key == "Class") hasClass = true;
    }
    if (!hasClass && item.MessageClass) {
        item.Class = store::ClassForMessageClass(*item.MessageClass);
    }
    return item;
}

std::string ItemToJsonLine(const ItemData& item, const std::string& entryId) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& [name, field] : Fields()) field.write(item, out, name);
    if (!entryId.empty()) out["EntryID"] = entryId;
    // Text read from foreign files may not be valid UTF-8; it is written with replacement
    // characters rather than failing the whole export.
    return out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

// One line of `in` without its line break; false at the end. A line longer than one item can
// be (kMaxMessageBytes) fails, so that a file without line breaks is not read whole.
bool ReadLine(std::streambuf& in, std::string& text, const std::string& name, int64_t line) {
    text.clear();
    for (int c; (c = in.sbumpc()) != std::char_traits<char>::eof();) {
        if (c == '\n') return true;
        if (text.size() >= kMaxMessageBytes)
            FailAtLine(name, line, "line longer than " + ByteSizeText(kMaxMessageBytes) + ", the limit for one item");
        text.push_back(static_cast<char>(c));
    }
    return !text.empty();
}

// Reads an InputFile through a stream.
class InputFileBuffer : public std::streambuf {
public:
    explicit InputFileBuffer(InputFile& file) : file_(file) {}

protected:
    int_type underflow() override {
        size_t n = file_.Read(buffer_, sizeof buffer_);
        if (n == 0) return traits_type::eof();
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(buffer_[0]);
    }

private:
    InputFile& file_;
    char buffer_[65536];
};

}  // namespace

std::vector<ItemData> ReadJsonLines(std::istream& in, const std::string& name) {
    std::vector<ItemData> items;
    std::string text;
    int64_t line = 0;
    std::streambuf* buffer = in.rdbuf();
    while (buffer && ReadLine(*buffer, text, name, line + 1)) {
        ++line;
        if (line == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.find_first_not_of(" \t") == std::string::npos) continue;
        items.push_back(ParseJsonItem(text, name, line));
    }
    return items;
}

std::vector<ItemData> ReadJsonLines(InputFile& file) {
    InputFileBuffer buffer(file);
    std::istream in(&buffer);
    return ReadJsonLines(in, file.Path());
}

std::vector<ItemData> ReadJsonLinesFile(const std::filesystem::path& file) {
    InputFile input(file.string());
    return ReadJsonLines(input);
}

}  // namespace nubra::formats
