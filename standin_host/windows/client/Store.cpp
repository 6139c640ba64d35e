#include "standin_host/windows/client/Store.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace nubra::winclient {

namespace {

// How each JSON field of the export becomes a property: by fixed tag, or by name (property set
// and id) with the store's own id. The same mapping as the Linux store's (StoreDb), so both
// stores hold the same properties for the same line.
struct FieldMap {
    const char* key;
    uint32_t tag;      // 0 for a named property
    const char* guid;  // the named property's set
    uint16_t lid;
    uint16_t type;
};
constexpr FieldMap kFieldMap[] = {
    {"Subject", kPrSubject, nullptr, 0, kPtString8},
    {"Body", kPrBody, nullptr, 0, kPtString8},
    {"CreationTime", kPrCreationTime, nullptr, 0, kPtSystime},
    {"SentOn", kPrClientSubmitTime, nullptr, 0, kPtSystime},
    {"InternetMessageID", kPrInternetMessageId, nullptr, 0, kPtString8},
    {"SenderName", kPrSenderName, nullptr, 0, kPtString8},
    {"To", kPrDisplayTo, nullptr, 0, kPtString8},
    {"Cc", kPrDisplayCc, nullptr, 0, kPtString8},
    {"FirstName", kPrGivenName, nullptr, 0, kPtString8},
    {"LastName", kPrSurname, nullptr, 0, kPtString8},
    {"CompanyName", kPrCompanyName, nullptr, 0, kPtString8},
    {"FullName", kPrDisplayName, nullptr, 0, kPtString8},
    {"Email1Address", 0, PSETID_Address, kLidEmail1Address, kPtString8},
    {"Location", 0, PSETID_Appointment, kLidLocation, kPtString8},
    {"Start", 0, PSETID_Appointment, kLidAppointmentStart, kPtSystime},
    {"End", 0, PSETID_Appointment, kLidAppointmentEnd, kPtSystime},
    {"Status", 0, PSETID_Task, kLidTaskStatus, kPtLong},
    {"StartDate", 0, PSETID_Task, kLidTaskStartDate, kPtSystime},
    {"DueDate", 0, PSETID_Task, kLidTaskDueDate, kPtSystime},
    {"Color", 0, PSETID_Note, kLidNoteColor, kPtLong},
};

struct ClassName {
    int32_t olClass;
    const char* messageClass;
};
constexpr ClassName kClasses[] = {
    {kOlMail, "IPM.Note"},     {kOlPost, "IPM.Post"},         {kOlContact, "IPM.Contact"},
    {kOlAppointment, "IPM.Appointment"}, {kOlTask, "IPM.Task"}, {kOlNote, "IPM.StickyNote"},
    {kOlDistList, "IPM.DistList"}, {kOlJournal, "IPM.Activity"},
};

// One item's line at the most (a file without line breaks is refused, not read whole).
constexpr std::size_t kMaxLineBytes = 16u << 20;
// One file at the most: the store is held in memory.
constexpr std::uintmax_t kMaxFileBytes = 256u << 20;

// folders.tsv's kinds as OlItemType.
int32_t FolderTypeOf(const std::string& kind) {
    static const std::map<std::string, int32_t> types = {{"mail", 0},    {"appointment", 1}, {"contact", 2},
                                                         {"task", 3},    {"journal", 4},     {"note", 5},
                                                         {"post", 6}};
    auto it = types.find(kind);
    return it == types.end() ? -1 : it->second;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

int32_t ClassOfMessageClass(const std::string& mc) {
    for (const auto& c : kClasses) {
        const std::string base = c.messageClass;
        if (EqualNoCase(mc, base)) return c.olClass;
        if (mc.size() > base.size() && mc[base.size()] == '.' && EqualNoCase(mc.substr(0, base.size()), base))
            return c.olClass;
    }
    return 0;
}

std::string FirstLine(const std::string& s) { return s.substr(0, s.find_first_of("\r\n")); }

int64_t NowFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

[[noreturn]] void Bad(const std::string& file, int64_t line, const std::string& what) {
    throw std::runtime_error(file + ":" + std::to_string(line) + ": " + what);
}

Value Text(std::string s) {
    Value v;
    v.type = kPtString8;
    v.text = std::move(s);
    return v;
}

Value Number(uint16_t type, int64_t n) {
    Value v;
    v.type = type;
    v.integer = n;
    return v;
}

// One line of the export as the item's properties, in the store's ids.
std::shared_ptr<Item> ParseItem(Store& store, const std::string& text, const std::string& file, int64_t line) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        Bad(file, line, std::string("not valid JSON: ") + e.what());
    }
    if (!doc.is_object()) Bad(file, line, "expected one JSON object per line");
    auto item = std::make_shared<Item>();
    int32_t cls = kOlMail;
    std::string messageClass;
    std::map<std::string, nlohmann::json> fields;
    for (const auto& [key, value] : doc.items()) {
        if (key == "EntryID") continue;  // a new item gets an entry ID of its own
        if (key == "Class") {
            if (!value.is_number_integer()) Bad(file, line, "\"Class\" must be a whole number");
            cls = value.get<int32_t>();
        } else if (key == "MessageClass") {
            if (!value.is_string()) Bad(file, line, "\"MessageClass\" must be a string");
            messageClass = value.get<std::string>();
        } else {
            fields[key] = value;
        }
    }
    if (messageClass.empty()) {
        for (const auto& c : kClasses)
            if (c.olClass == cls) messageClass = c.messageClass;
        if (messageClass.empty()) Bad(file, line, "item class " + std::to_string(cls) + " is not known");
    }
    cls = ClassOfMessageClass(messageClass);
    item->props[kPrMessageClass] = Text(messageClass);
    auto named = [&](const char* guid, uint16_t lid) {
        return static_cast<uint32_t>(store.NamedId(NamedKey{guid, lid}, true)) << 16;
    };
    // The kinds' own named properties exist in the store as soon as an item of the kind does.
    switch (cls) {
        case kOlAppointment:
            named(PSETID_Appointment, kLidLocation);
            named(PSETID_Appointment, kLidAppointmentStart);
            named(PSETID_Appointment, kLidAppointmentEnd);
            break;
        case kOlTask:
            named(PSETID_Task, kLidTaskStatus);
            named(PSETID_Task, kLidTaskStartDate);
            named(PSETID_Task, kLidTaskDueDate);
            break;
        case kOlContact: named(PSETID_Address, kLidEmail1Address); break;
        case kOlNote: named(PSETID_Note, kLidNoteColor); break;
        default: break;
    }
    for (const auto& [key, value] : fields) {
        const FieldMap* map = nullptr;
        for (const auto& m : kFieldMap)
            if (key == m.key) map = &m;
        if (!map) Bad(file, line, "unknown key \"" + key + "\"");
        Value v;
        v.type = map->type;
        if (map->type == kPtString8) {
            if (!value.is_string()) Bad(file, line, "\"" + key + "\" must be a string");
            v.text = value.get<std::string>();
        } else if (map->type == kPtLong) {
            if (!value.is_number_integer()) Bad(file, line, "\"" + key + "\" must be a whole number");
            v.integer = value.get<int32_t>();
        } else {
            auto t = value.is_string() ? ParseIsoTime(value.get<std::string>()) : std::nullopt;
            if (!t) Bad(file, line, "\"" + key + "\" is not an ISO 8601 UTC time (like 2024-05-01T10:00:00Z)");
            v.integer = *t;
        }
        const uint32_t tag = map->tag ? map->tag : (named(map->guid, map->lid) | map->type);
        item->props[tag] = std::move(v);
    }
    // A note has no subject of its own: it is the first line of its text.
    if (cls == kOlNote) {
        if (!item->props.count(kPrBody) && item->props.count(kPrSubject)) item->props[kPrBody] = item->props[kPrSubject];
        if (item->props.count(kPrBody)) item->props[kPrSubject] = Text(FirstLine(item->props[kPrBody].text));
    }
    if (item->props.count(kPrSubject)) item->props[kPrConversationTopic] = item->props[kPrSubject];
    if (!item->props.count(kPrCreationTime)) item->props[kPrCreationTime] = Number(kPtSystime, NowFileTime());
    // Every task has a status and every note a colour in the client (not started, yellow).
    if (cls == kOlTask && !item->props.count(named(PSETID_Task, kLidTaskStatus) | kPtLong))
        item->props[named(PSETID_Task, kLidTaskStatus) | kPtLong] = Number(kPtLong, 0);
    if (cls == kOlNote && !item->props.count(named(PSETID_Note, kLidNoteColor) | kPtLong))
        item->props[named(PSETID_Note, kLidNoteColor) | kPtLong] = Number(kPtLong, 3);
    return item;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto end = path.find('\\', start);
        parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

}  // namespace

// ---- Item, Folder, Store ----------------------------------------------------------------------

const Value* Item::Prop(uint32_t tag) const {
    auto it = props.find(tag);
    return it == props.end() ? nullptr : &it->second;
}

std::string Item::Text(uint32_t tag) const {
    const Value* v = Prop(tag);
    return v ? v->text : std::string();
}

int32_t Item::Class() const { return ClassOfMessageClass(Text(kPrMessageClass)); }

Folder* Folder::Child(const std::string& childName) const {
    for (const auto& f : folders)
        if (EqualNoCase(f->name, childName)) return f.get();
    return nullptr;
}

Folder& Folder::AddFolder(const std::string& childName, int32_t type) {
    if (childName.empty() || Child(childName))
        throw std::runtime_error("a folder named \"" + childName + "\" exists in " + Path());
    folders.push_back(std::make_unique<Folder>(store, this, childName, type, store.session.NextId()));
    return *folders.back();
}

std::string Folder::Path() const { return parent ? parent->Path() + "\\" + name : name; }

Store::Store(Session& s, std::string n, uint32_t i) : session(s), name(std::move(n)), index(i) {
    root = std::make_unique<Folder>(*this, nullptr, name, 0, session.NextId());
}

uint16_t Store::NamedId(const NamedKey& key, bool create) {
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    if (!create || names_.size() >= 0x7FFF) return 0;
    const auto id = static_cast<uint16_t>(0x8000 + names_.size());
    ids_.emplace(key, id);
    names_.push_back(key);
    return id;
}

const NamedKey* Store::NameOf(uint16_t id) const {
    if (id < 0x8000 || id - 0x8000u >= names_.size()) return nullptr;
    return &names_[id - 0x8000u];
}

Folder& Store::DeletedItems() {
    if (Folder* f = root->Child("Deleted Items")) return *f;
    return root->AddFolder("Deleted Items", 0);
}

std::string Store::StoreIdHex() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "00000000" "4E53544F" "%08X", index);  // "NSTO"
    return buf;
}

// ---- Session ----------------------------------------------------------------------------------

Store& Session::AddStore(const std::string& name) {
    stores.push_back(std::make_unique<Store>(*this, name, static_cast<uint32_t>(stores.size() + 1)));
    Store& store = *stores.back();
    if (stores.size() == 1) {
        for (const auto& f : store::kStandardFolders) store.root->AddFolder(f.name, f.type);
    } else {
        store.DeletedItems();
    }
    return store;
}

Folder* Session::FolderByPath(const std::string& path) const {
    const auto parts = SplitPath(path);
    for (const auto& store : stores) {
        if (!EqualNoCase(store->name, parts[0])) continue;
        Folder* f = store->root.get();
        for (std::size_t i = 1; f && i < parts.size(); ++i) f = f->Child(parts[i]);
        return f;
    }
    return nullptr;
}

std::unique_ptr<Session> Session::Load(const std::filesystem::path& dir) {
    auto session = std::make_unique<Session>();
    const auto listName = (dir / "folders.tsv").string();
    std::ifstream list(dir / "folders.tsv", std::ios::binary);
    if (!list) throw std::runtime_error(listName + ": cannot be read");
    std::string row;
    int64_t rowNumber = 0;
    while (std::getline(list, row)) {
        ++rowNumber;
        if (!row.empty() && row.back() == '\r') row.pop_back();
        if (row.empty() || row[0] == '#') continue;
        const auto t1 = row.find('\t'), t2 = row.find('\t', t1 == std::string::npos ? t1 : t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos) Bad(listName, rowNumber, "expected path TAB kind TAB file");
        const std::string path = row.substr(0, t1), kind = row.substr(t1 + 1, t2 - t1 - 1), file = row.substr(t2 + 1);
        const auto parts = SplitPath(path);
        if (parts.size() < 2) Bad(listName, rowNumber, "a folder path names a store and a folder");
        Store* store = nullptr;
        for (auto& s : session->stores)
            if (EqualNoCase(s->name, parts[0])) store = s.get();
        if (!store) store = &session->AddStore(parts[0]);
        Folder* folder = store->root.get();
        for (std::size_t i = 1; i < parts.size(); ++i) {
            Folder* next = folder->Child(parts[i]);
            if (!next) {
                if (i + 1 < parts.size() || kind == "-") Bad(listName, rowNumber, "no folder " + path);
                const int32_t type = FolderTypeOf(kind);
                if (type < 0) Bad(listName, rowNumber, "unknown kind \"" + kind + "\"");
                next = &folder->AddFolder(parts[i], type);
            }
            folder = next;
        }
        if (file == "-") continue;
        const auto itemsName = (dir / file).string();
        std::error_code sizeError;
        const auto size = std::filesystem::file_size(dir / file, sizeError);
        if (sizeError) Bad(listName, rowNumber, itemsName + " cannot be read: " + sizeError.message());
        if (size > kMaxFileBytes) Bad(listName, rowNumber, itemsName + " is larger than 256 MiB, the limit of a sample");
        std::ifstream in(dir / file, std::ios::binary);
        if (!in) Bad(listName, rowNumber, itemsName + " cannot be read");
        std::string text;
        int64_t line = 0;
        while (std::getline(in, text)) {
            ++line;
            if (text.size() > kMaxLineBytes) Bad(itemsName, line, "line longer than 16 MiB, the limit for one item");
            if (line == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
            if (!text.empty() && text.back() == '\r') text.pop_back();
            if (text.find_first_not_of(" \t") == std::string::npos) continue;
            auto item = ParseItem(*store, text, itemsName, line);
            item->id = session->NextId();
            item->folder = folder;
            folder->items.push_back(std::move(item));
        }
    }
    return session;
}

namespace {
std::string EntryId(uint32_t kind, uint32_t store, uint64_t id) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "00000000%02X%06X%016llX", kind, store, static_cast<unsigned long long>(id));
    return buf;
}

bool ParseEntryId(const std::string& hex, uint32_t& kind, uint32_t& store, uint64_t& id) {
    if (hex.size() != 32 || hex.compare(0, 8, "00000000") != 0) return false;
    try {
        kind = static_cast<uint32_t>(std::stoul(hex.substr(8, 2), nullptr, 16));
        store = static_cast<uint32_t>(std::stoul(hex.substr(10, 6), nullptr, 16));
        id = std::stoull(hex.substr(16), nullptr, 16);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

template <typename F>
void EachFolder(Folder& f, F&& visit) {
    visit(f);
    for (auto& c : f.folders) EachFolder(*c, visit);
}
}  // namespace

std::string Session::FolderEntryId(const Folder& folder) const { return EntryId(1, folder.store.index, folder.id); }

std::string Session::ItemEntryId(const Item& item) const {
    return EntryId(2, item.folder ? item.folder->store.index : 0, item.id);
}

std::shared_ptr<Item> Session::ItemById(const std::string& hex) const {
    uint32_t kind = 0, storeIndex = 0;
    uint64_t id = 0;
    if (!ParseEntryId(hex, kind, storeIndex, id) || kind != 2) return nullptr;
    std::shared_ptr<Item> found;
    for (auto& store : stores) {
        if (store->index != storeIndex) continue;
        EachFolder(*store->root, [&](Folder& f) {
            for (auto& i : f.items)
                if (i->id == id) found = i;
        });
    }
    return found;
}

Folder* Session::FolderById(const std::string& hex) const {
    uint32_t kind = 0, storeIndex = 0;
    uint64_t id = 0;
    if (!ParseEntryId(hex, kind, storeIndex, id) || kind != 1) return nullptr;
    Folder* found = nullptr;
    for (auto& store : stores) {
        if (store->index != storeIndex) continue;
        EachFolder(*store->root, [&](Folder& f) {
            if (f.id == id) found = &f;
        });
    }
    return found;
}

void Session::Move(const std::shared_ptr<Item>& item, Folder& to) {
    Folder* from = item->folder;
    if (from == &to) return;
    if (from) {
        auto& v = from->items;
        v.erase(std::remove(v.begin(), v.end(), item), v.end());
        ++from->version;
    }
    if (from && &from->store != &to.store) {
        // Named properties travel by name: the destination store has ids of its own.
        std::map<uint32_t, Value> moved;
        for (auto& [tag, v] : item->props) {
            const uint16_t id = static_cast<uint16_t>(tag >> 16);
            if (id < 0x8000) {
                moved[tag] = v;
            } else if (const NamedKey* key = from->store.NameOf(id)) {
                moved[(static_cast<uint32_t>(to.store.NamedId(*key, true)) << 16) | (tag & 0xFFFF)] = v;
            }
        }
        item->props = std::move(moved);
    }
    item->folder = &to;
    to.items.push_back(item);
    ++to.version;
}

void Session::Remove(const std::shared_ptr<Item>& item) {
    if (Folder* from = item->folder) {
        auto& v = from->items;
        v.erase(std::remove(v.begin(), v.end(), item), v.end());
        ++from->version;
    }
    item->folder = nullptr;
}

// ---- Times ------------------------------------------------------------------------------------

namespace {
// FILETIME of 1899-12-30 00:00 UTC, the automation date's day 0.
constexpr int64_t kDateZeroFileTime = 94353120000000000LL;
constexpr double kTicksPerDay = 864000000000.0;
}  // namespace

double FileTimeToUtcDate(int64_t ft) {
    // Whole milliseconds, as the automation layer keeps them.
    const int64_t ms = (ft - kDateZeroFileTime) / 10000;
    const double days = static_cast<double>(ms) / 86400000.0;
    if (days >= 0) return days;
    // Before day 0 the fraction counts forward from the day's start.
    const double whole = std::floor(days);
    return whole - (days - whole);
}

int64_t UtcDateToFileTime(double date) {
    double days = date;
    if (date < 0) {
        const double whole = std::ceil(date);
        days = whole - (date - whole);
    }
    return kDateZeroFileTime + static_cast<int64_t>(std::llround(days * 86400000.0)) * 10000;
}

double FileTimeToLocalDate(int64_t ft) {
    FILETIME utc{static_cast<DWORD>(ft & 0xFFFFFFFF), static_cast<DWORD>(ft >> 32)};
    SYSTEMTIME st, local;
    FileTimeToSystemTime(&utc, &st);
    SystemTimeToTzSpecificLocalTime(nullptr, &st, &local);
    FILETIME lf;
    SystemTimeToFileTime(&local, &lf);
    return FileTimeToUtcDate((static_cast<int64_t>(lf.dwHighDateTime) << 32) | lf.dwLowDateTime);
}

std::optional<int64_t> ParseIsoTime(const std::string& s) {
    int y, mo, d, h, mi, sec = 0, n = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &y, &mo, &d, &h, &mi, &n) != 5) return std::nullopt;
    std::size_t pos = static_cast<std::size_t>(n);
    int millis = 0;
    if (pos < s.size() && s[pos] == ':') {
        int m = 0;
        if (std::sscanf(s.c_str() + pos, ":%2d%n", &sec, &m) != 1) return std::nullopt;
        pos += static_cast<std::size_t>(m);
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            int scale = 100;
            while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
                millis += (s[pos] - '0') * scale;
                scale /= 10;
                ++pos;
            }
        }
    }
    int offset = 0;
    if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z')) {
        ++pos;
    } else if (pos + 6 == s.size() && (s[pos] == '+' || s[pos] == '-') && s[pos + 3] == ':') {
        offset = (std::stoi(s.substr(pos + 1, 2)) * 60 + std::stoi(s.substr(pos + 4, 2))) * (s[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    SYSTEMTIME st{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
                  static_cast<WORD>(mi), static_cast<WORD>(sec), static_cast<WORD>(millis)};
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return std::nullopt;
    const int64_t value = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return value - int64_t{offset} * 60 * 10000000;
}

std::string UtcText(int64_t ft) {
    FILETIME f{static_cast<DWORD>(ft & 0xFFFFFFFF), static_cast<DWORD>(ft >> 32)};
    SYSTEMTIME st;
    FileTimeToSystemTime(&f, &st);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return buf;
}

std::string Hex(const uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

}  // namespace nubra::winclient
