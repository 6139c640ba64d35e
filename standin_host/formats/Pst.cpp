#include "standin_host/formats/Pst.h"

#include <libpff.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/TextUtil.h"

namespace nubra::formats {
namespace {

using store::NamedPropertyKey;
using store::PropValue;

constexpr uint16_t PT_SHORT = 0x0002, PT_LONG = 0x0003, PT_BOOLEAN = 0x000B, PT_STRING8 = 0x001E,
                   PT_UNICODE = 0x001F, PT_SYSTIME = 0x0040, PT_BINARY = 0x0102, PT_OBJECT = 0x000D,
                   PT_ERROR = 0x000A, PT_NULL = 0x0001, PT_UNSPECIFIED = 0x0000;

// Identifiers of the fixed properties read into named fields.
constexpr uint16_t kIdMessageClass = 0x001A, kIdSubject = 0x0037, kIdClientSubmitTime = 0x0039,
                   kIdSenderName = 0x0C1A, kIdDisplayCc = 0x0E03, kIdDisplayTo = 0x0E04,
                   kIdBody = 0x1000, kIdHtml = 0x1013, kIdInternetMessageId = 0x1035,
                   kIdDisplayName = 0x3001, kIdCreationTime = 0x3007, kIdContainerClass = 0x3613,
                   kIdGivenName = 0x3A06, kIdSurname = 0x3A11, kIdCompanyName = 0x3A16,
                   kIdInternetCpid = 0x3FDE, kIdMessageCodepage = 0x3FFD;
// Identity and bookkeeping the store gives every item anew.
constexpr uint16_t kStoreOwned[] = {0x0FFF, 0x0FF9, 0x0FF6, 0x0FFB, 0x0FFE, 0x0E09, 0x0FF4, 0x0E08,
                                    0x0E07, 0x3008};

struct ErrorHolder {
    libpff_error_t* error = nullptr;
    ~ErrorHolder() {
        if (error) libpff_error_free(&error);
    }
    std::string Text() {
        if (!error) return "libpff reported a failure";
        char buf[1024] = {};
        libpff_error_sprint(error, buf, sizeof buf);
        libpff_error_free(&error);
        error = nullptr;
        std::string s = buf;
        if (size_t nl = s.find('\n'); nl != std::string::npos) s = s.substr(0, nl);
        return s.empty() ? "libpff reported a failure" : s;
    }
};

struct ItemHandle {
    libpff_item_t* item = nullptr;
    ~ItemHandle() {
        if (item) libpff_item_free(&item, nullptr);
    }
};

struct RawProp {
    uint16_t id = 0;
    uint16_t type = 0;
    std::vector<uint8_t> data;
    std::optional<NamedPropertyKey> name;
    bool namedByString = false;
};

std::string GuidText(const uint8_t* g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

std::vector<RawProp> ReadProps(libpff_item_t* item, const std::string& file) {
    std::vector<RawProp> props;
    ErrorHolder err;
    int sets = 0;
    if (libpff_item_get_number_of_record_sets(item, &sets, &err.error) != 1) FailFile(file, err.Text());
    if (sets < 1) return props;
    libpff_record_set_t* set = nullptr;
    if (libpff_item_get_record_set_by_index(item, 0, &set, &err.error) != 1) FailFile(file, err.Text());
    std::unique_ptr<libpff_record_set_t*, void (*)(libpff_record_set_t**)> setGuard(
        &set, [](libpff_record_set_t** s) { libpff_record_set_free(s, nullptr); });
    int entries = 0;
    if (libpff_record_set_get_number_of_entries(set, &entries, &err.error) != 1) FailFile(file, err.Text());
    for (int i = 0; i < entries; ++i) {
        libpff_record_entry_t* entry = nullptr;
        if (libpff_record_set_get_entry_by_index(set, i, &entry, &err.error) != 1) FailFile(file, err.Text());
        std::unique_ptr<libpff_record_entry_t*, void (*)(libpff_record_entry_t**)> entryGuard(
            &entry, [](libpff_record_entry_t** e) { libpff_record_entry_free(e, nullptr); });
        uint32_t id = 0, type = 0;
        if (libpff_record_entry_get_entry_type(entry, &id, &err.error) != 1 ||
            libpff_record_entry_get_value_type(entry, &type, &err.error) != 1)
            FailFile(file, err.Text());
        RawProp prop;
        prop.id = static_cast<uint16_t>(id);
        prop.type = static_cast<uint16_t>(type);
        size_t size = 0;
        if (libpff_record_entry_get_data_size(entry, &size, &err.error) == 1 && size > 0) {
            prop.data.resize(size);
            if (libpff_record_entry_get_data(entry, prop.data.data(), size, &err.error) != 1) {
                // An unreadable value (a partly overwritten block) is left out, not the item.
                err.Text();
                continue;
            }
        } else if (err.error) {
            err.Text();
        }
        if (prop.id >= 0x8000) {
            libpff_name_to_id_map_entry_t* map = nullptr;
            if (libpff_record_entry_get_name_to_id_map_entry(entry, &map, &err.error) == 1 && map) {
                uint8_t kind = 0;
                uint8_t guid[16] = {};
                uint32_t number = 0;
                if (libpff_name_to_id_map_entry_get_type(map, &kind, &err.error) == 1 &&
                    libpff_name_to_id_map_entry_get_guid(map, guid, 16, &err.error) == 1) {
                    if (kind == LIBPFF_NAME_TO_ID_MAP_ENTRY_TYPE_NUMERIC &&
                        libpff_name_to_id_map_entry_get_number(map, &number, &err.error) == 1)
                        prop.name = NamedPropertyKey{GuidText(guid), static_cast<uint16_t>(number)};
                    else
                        prop.namedByString = true;
                }
                if (err.error) err.Text();
            } else if (err.error) {
                err.Text();
            }
        }
        props.push_back(std::move(prop));
    }
    return props;
}

int64_t LittleEndian(const std::vector<uint8_t>& d, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n && i < d.size(); ++i) v |= static_cast<uint64_t>(d[i]) << (8 * i);
    return static_cast<int64_t>(v);
}

std::string DecodeString(const RawProp& p, const std::string& charset) {
    if (p.type == PT_UNICODE) {
        size_t n = p.data.size() & ~size_t(1);
        while (n >= 2 && p.data[n - 1] == 0 && p.data[n - 2] == 0) n -= 2;
        return ToUtf8(std::string_view(reinterpret_cast<const char*>(p.data.data()), n), "UTF-16LE").value_or("");
    }
    size_t n = p.data.size();
    while (n > 0 && p.data[n - 1] == 0) --n;
    std::string_view bytes(reinterpret_cast<const char*>(p.data.data()), n);
    if (auto text = ToUtf8(bytes, charset)) return *text;
    return ToUtf8(bytes, "windows-1252").value_or("");
}

// A raw property in the store's vocabulary; none for what has no value to keep.
std::optional<std::pair<uint16_t, PropValue>> Convert(const RawProp& p, const std::string& charset) {
    PropValue v;
    switch (p.type) {
        case PT_SHORT:
            v.type = PT_LONG;
            v.integer = static_cast<int16_t>(LittleEndian(p.data, 2));
            return std::pair{PT_LONG, v};
        case PT_LONG:
            v.type = PT_LONG;
            v.integer = static_cast<int32_t>(LittleEndian(p.data, 4));
            return std::pair{PT_LONG, v};
        case PT_BOOLEAN:
            v.type = PT_BOOLEAN;
            v.integer = LittleEndian(p.data, 1) != 0 ? 1 : 0;
            return std::pair{PT_BOOLEAN, v};
        case PT_SYSTIME:
            if (p.data.size() < 8) return std::nullopt;
            v.type = PT_SYSTIME;
            v.integer = LittleEndian(p.data, 8);
            return std::pair{PT_SYSTIME, v};
        case PT_STRING8:
        case PT_UNICODE:
            v.type = PT_STRING8;
            v.text = DecodeString(p, charset);
            return std::pair{PT_STRING8, v};
        case PT_OBJECT:
        case PT_ERROR:
        case PT_NULL:
        case PT_UNSPECIFIED:
            return std::nullopt;
        default:
            // 64-bit integers, floating point, currency, GUIDs and multi-valued properties are
            // kept as their bytes: the store has no type of its own for them.
            v.type = PT_BINARY;
            v.bytes = p.data;
            return std::pair{PT_BINARY, v};
    }
}

bool IsStoreOwned(uint16_t id) {
    for (uint16_t s : kStoreOwned)
        if (s == id) return true;
    return false;
}

int32_t ClassFor(const std::string& messageClass, std::optional<std::string>& explicitClass) {
    std::string lower = AsciiLower(messageClass);
    auto starts = [&](const char* p) {
        std::string s = AsciiLower(p);
        return lower == s || lower.rfind(s + ".", 0) == 0;
    };
    struct Row {
        const char* cls;
        int32_t ol;
    };
    static const Row rows[] = {{"IPM.Note", 43},        {"IPM.Post", 45},     {"IPM.Contact", 40},
                               {"IPM.Appointment", 26}, {"IPM.Task", 48},     {"IPM.StickyNote", 44},
                               {"IPM.DistList", 69},    {"IPM.Activity", 42}};
    for (const auto& row : rows) {
        if (lower == AsciiLower(row.cls)) return row.ol;
    }
    for (const auto& row : rows) {
        if (starts(row.cls)) {
            explicitClass = messageClass;
            return row.ol;
        }
    }
    explicitClass = messageClass.empty() ? std::string("IPM") : messageClass;
    return 0;
}

ItemData MessageToItem(libpff_item_t* message, const std::string& file, int32_t fileCodePage) {
    std::vector<RawProp> props = ReadProps(message, file);
    int32_t codePage = fileCodePage;
    for (const auto& p : props) {
        if ((p.id == kIdInternetCpid || p.id == kIdMessageCodepage) && p.type == PT_LONG) {
            int32_t cp = static_cast<int32_t>(LittleEndian(p.data, 4));
            if (CharsetForCodePage(cp)) {
                codePage = cp;
                if (p.id == kIdMessageCodepage) break;  // the message's own wins
            }
        }
    }
    std::string charset = CharsetForCodePage(codePage).value_or("windows-1252");

    ItemData item;
    std::string messageClass;
    std::optional<std::string> html;
    for (const auto& p : props) {
        auto converted = Convert(p, charset);
        if (!converted) continue;
        auto& [type, value] = *converted;
        if (p.id >= 0x8000) {
            if (!p.name) continue;  // string-named properties have no (GUID, id) key
            const NamedPropertyKey& key = *p.name;
            bool used = true;
            auto date = [&v = value] { return DateFromFiletime(v.integer); };
            if (key.guid == store::PSETID_Address && key.id == store::kLidEmail1Address && type == PT_STRING8)
                item.Email1Address = value.text;
            else if (key.guid == store::PSETID_Appointment && key.id == store::kLidLocation && type == PT_STRING8)
                item.Location = value.text;
            else if (key.guid == store::PSETID_Appointment && key.id == store::kLidAppointmentStart && type == PT_SYSTIME)
                item.Start = date();
            else if (key.guid == store::PSETID_Appointment && key.id == store::kLidAppointmentEnd && type == PT_SYSTIME)
                item.End = date();
            else if (key.guid == store::PSETID_Task && key.id == store::kLidTaskStatus && type == PT_LONG)
                item.Status = static_cast<int32_t>(value.integer);
            else if (key.guid == store::PSETID_Task && key.id == store::kLidTaskStartDate && type == PT_SYSTIME)
                item.StartDate = date();
            else if (key.guid == store::PSETID_Task && key.id == store::kLidTaskDueDate && type == PT_SYSTIME)
                item.DueDate = date();
            else if (key.guid == store::PSETID_Note && key.id == store::kLidNoteColor && type == PT_LONG)
                item.Color = static_cast<int32_t>(value.integer);
            else
                used = false;
            if (!used) item.extraNamed[key] = value;
            continue;
        }
        bool text = type == PT_STRING8;
        switch (p.id) {
            case kIdMessageClass: if (text) messageClass = value.text; continue;
            case kIdSubject:
                // A leading SOH and one character mark the length of a prefix ("RE: "); they
                // are bookkeeping, not text.
                if (text) item.Subject = value.text.size() >= 2 && value.text[0] == '\x01' ? value.text.substr(2) : value.text;
                continue;
            case kIdBody: if (text) item.Body = value.text; continue;
            case kIdInternetMessageId: if (text) item.InternetMessageID = value.text; continue;
            case kIdSenderName: if (text) item.SenderName = value.text; continue;
            case kIdDisplayTo: if (text) item.To = value.text; continue;
            case kIdDisplayCc: if (text) item.Cc = value.text; continue;
            case kIdGivenName: if (text) item.FirstName = value.text; continue;
            case kIdSurname: if (text) item.LastName = value.text; continue;
            case kIdCompanyName: if (text) item.CompanyName = value.text; continue;
            case kIdDisplayName: if (text) item.FullName = value.text; continue;
            case kIdCreationTime: if (type == PT_SYSTIME) item.CreationTime = DateFromFiletime(value.integer); continue;
            case kIdClientSubmitTime: if (type == PT_SYSTIME) item.SentOn = DateFromFiletime(value.integer); continue;
            case kIdHtml:
                html = type == PT_BINARY ? std::string(value.bytes.begin(), value.bytes.end()) : value.text;
                break;
            default: break;
        }
        if (IsStoreOwned(p.id)) continue;
        item.extraTagged[(static_cast<uint32_t>(p.id) << 16) | type] = std::move(value);
    }
    item.Class = ClassFor(messageClass, item.MessageClass);
    // Only contacts and distribution lists carry their display name as FullName.
    if (item.Class != 40 && item.Class != 69) {
        if (item.FullName) item.extraTagged[(static_cast<uint32_t>(kIdDisplayName) << 16) | PT_STRING8] =
            PropValue{PT_STRING8, 0, *item.FullName, {}};
        item.FullName.reset();
    }
    if (!item.Body && html) item.Body = HtmlToText(*html);
    return item;
}

std::string FolderName(libpff_item_t* folder, const std::string& file) {
    ErrorHolder err;
    size_t size = 0;
    if (libpff_folder_get_utf8_name_size(folder, &size, &err.error) != 1 || size == 0) return {};
    std::string name(size, '\0');
    if (libpff_folder_get_utf8_name(folder, reinterpret_cast<uint8_t*>(name.data()), size, &err.error) != 1)
        FailFile(file, err.Text());
    while (!name.empty() && name.back() == '\0') name.pop_back();
    return name;
}

FolderData ReadFolder(libpff_item_t* folder, const std::string& file, int32_t codePage, int depth) {
    if (depth > 64) FailFile(file, "folders nested deeper than 64 levels");
    ErrorHolder err;
    FolderData data;
    data.name = FolderName(folder, file);
    for (const auto& p : ReadProps(folder, file)) {
        if (p.id == kIdContainerClass && (p.type == PT_STRING8 || p.type == PT_UNICODE))
            data.containerClass = DecodeString(p, CharsetForCodePage(codePage).value_or("windows-1252"));
    }
    data.defaultItemType = DefaultItemTypeForContainerClass(data.containerClass);
    int messages = 0;
    if (libpff_folder_get_number_of_sub_messages(folder, &messages, &err.error) != 1) messages = 0, err.Text();
    for (int i = 0; i < messages; ++i) {
        ItemHandle message;
        if (libpff_folder_get_sub_message(folder, i, &message.item, &err.error) != 1)
            FailFile(file, "folder \"" + data.name + "\", item " + std::to_string(i + 1) + ": " + err.Text());
        data.items.push_back(MessageToItem(message.item, file, codePage));
    }
    int subfolders = 0;
    if (libpff_folder_get_number_of_sub_folders(folder, &subfolders, &err.error) != 1) subfolders = 0, err.Text();
    for (int i = 0; i < subfolders; ++i) {
        ItemHandle sub;
        if (libpff_folder_get_sub_folder(folder, i, &sub.item, &err.error) != 1)
            FailFile(file, "folder \"" + data.name + "\", subfolder " + std::to_string(i + 1) + ": " + err.Text());
        data.subfolders.push_back(ReadFolder(sub.item, file, codePage, depth + 1));
    }
    return data;
}

}  // namespace

PstFile ReadPst(const std::string& path) {
    ErrorHolder err;
    libpff_file_t* raw = nullptr;
    if (libpff_file_initialize(&raw, &err.error) != 1) FailFile(path, err.Text());
    std::unique_ptr<libpff_file_t*, void (*)(libpff_file_t**)> guard(&raw, [](libpff_file_t** f) {
        libpff_file_close(*f, nullptr);
        libpff_file_free(f, nullptr);
    });
    {
        std::FILE* probe = std::fopen(path.c_str(), "rb");
        if (!probe) FailFile(path, "cannot open the file");
        std::fclose(probe);
    }
    if (libpff_check_file_signature(path.c_str(), &err.error) != 1) {
        err.Text();
        FailAtOffset(path, 0, "not an Outlook data file (.pst/.ost): no file signature");
    }
    if (libpff_file_open(raw, path.c_str(), LIBPFF_OPEN_READ, &err.error) != 1)
        FailFile(path, "cannot read the Outlook data file: " + err.Text());
    PstFile result;
    int codePage = 1252;
    if (libpff_file_get_ascii_codepage(raw, &codePage, &err.error) != 1) codePage = 1252, err.Text();
    result.codePage = codePage;
    std::optional<uint32_t> subtree;
    {
        ItemHandle store;
        if (libpff_file_get_message_store(raw, &store.item, &err.error) == 1 && store.item) {
            for (const auto& p : ReadProps(store.item, path)) {
                if (p.id == kIdDisplayName && (p.type == PT_STRING8 || p.type == PT_UNICODE))
                    result.displayName = DecodeString(p, CharsetForCodePage(codePage).value_or("windows-1252"));
                // PR_IPM_SUBTREE_ENTRYID: flags, provider UID, then the folder's node id.
                if (p.id == 0x35E0 && p.type == PT_BINARY && p.data.size() == 24)
                    subtree = static_cast<uint32_t>(LittleEndian(std::vector<uint8_t>(p.data.begin() + 20, p.data.end()), 4));
            }
        } else if (err.error) {
            err.Text();
        }
    }
    if (subtree) {
        ItemHandle top;
        if (libpff_file_get_item_by_identifier(raw, *subtree, &top.item, &err.error) == 1 && top.item) {
            result.top = ReadFolder(top.item, path, codePage, 0);
            return result;
        }
        if (err.error) err.Text();
    }
    ItemHandle root;
    if (libpff_file_get_root_folder(raw, &root.item, &err.error) != 1 || !root.item)
        FailFile(path, "the file is damaged or truncated: no root folder (" + err.Text() + ")");
    FolderData rootData = ReadFolder(root.item, path, codePage, 0);
    // The root holds the visible tree ("Top of Personal Folders") beside search folders.
    for (auto& sub : rootData.subfolders) {
        if (sub.name.rfind("Top of", 0) == 0 || sub.name.rfind("Stamm", 0) == 0) {
            result.top = std::move(sub);
            return result;
        }
    }
    for (auto& sub : rootData.subfolders) {
        if (!sub.subfolders.empty() && sub.name.find("Search") == std::string::npos) {
            result.top = std::move(sub);
            return result;
        }
    }
    result.top = std::move(rootData);
    return result;
}

}  // namespace nubra::formats
