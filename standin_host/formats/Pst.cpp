#include "standin_host/formats/Pst.h"

#include <libpff.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/PstSource.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/ItemSource.h"

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
// Of folders: how many items the folder lists, whether it has subfolders. Of the message store:
// the entry IDs of the top of the visible tree and of the wastebasket.
constexpr uint16_t kIdContentCount = 0x3602, kIdSubfolders = 0x360A, kIdIpmSubtree = 0x35E0,
                   kIdWastebasket = 0x35E3;
// What an item holds beyond the properties the store keeps: it goes into the item's source.
constexpr uint16_t kIdTransportHeaders = 0x007D, kIdRtfCompressed = 0x1009, kIdMessageFlags = 0x0E07;
// Of recipients and attachments.
constexpr uint16_t kIdRecipientType = 0x0C15, kIdAddressType = 0x3002, kIdEmailAddress = 0x3003,
                   kIdSmtpAddress = 0x39FE, kIdAttachData = 0x3701, kIdAttachFilename = 0x3704,
                   kIdAttachMethod = 0x3705, kIdAttachLongFilename = 0x3707, kIdAttachMimeTag = 0x370E,
                   kIdAttachContentId = 0x3712, kIdAttachFlags = 0x3714, kIdAttachmentHidden = 0x7FFE;
constexpr int64_t kAttachMhtmlRef = 4;  // PR_ATTACH_FLAGS: the body refers to it
// Embedded messages nested deeper than this are left out (and reported).
constexpr int kMaxEmbedding = 32;
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

// libpff could not read an item or folder at all; caught where it can be left out.
struct Unreadable {
    std::string reason;
};

// The properties of an item or folder. A value libpff cannot read (a partly overwritten
// block) is left out and counted in `unreadableValues`; raises Unreadable when the item's
// property list itself cannot be read.
int RecordSets(libpff_item_t* item) {
    ErrorHolder err;
    int sets = 0;
    if (libpff_item_get_number_of_record_sets(item, &sets, &err.error) != 1) throw Unreadable{err.Text()};
    return sets;
}

// `setIndex`: the record set (one per recipient of a recipient table; items have one).
std::vector<RawProp> ReadProps(libpff_item_t* item, size_t& unreadableValues, int setIndex = 0) {
    std::vector<RawProp> props;
    ErrorHolder err;
    if (RecordSets(item) <= setIndex) return props;
    libpff_record_set_t* set = nullptr;
    if (libpff_item_get_record_set_by_index(item, setIndex, &set, &err.error) != 1) throw Unreadable{err.Text()};
    std::unique_ptr<libpff_record_set_t*, void (*)(libpff_record_set_t**)> setGuard(
        &set, [](libpff_record_set_t** s) { libpff_record_set_free(s, nullptr); });
    int entries = 0;
    if (libpff_record_set_get_number_of_entries(set, &entries, &err.error) != 1) throw Unreadable{err.Text()};
    for (int i = 0; i < entries; ++i) {
        libpff_record_entry_t* entry = nullptr;
        if (libpff_record_set_get_entry_by_index(set, i, &entry, &err.error) != 1) throw Unreadable{err.Text()};
        std::unique_ptr<libpff_record_entry_t*, void (*)(libpff_record_entry_t**)> entryGuard(
            &entry, [](libpff_record_entry_t** e) { libpff_record_entry_free(e, nullptr); });
        uint32_t id = 0, type = 0;
        if (libpff_record_entry_get_entry_type(entry, &id, &err.error) != 1 ||
            libpff_record_entry_get_value_type(entry, &type, &err.error) != 1)
            throw Unreadable{err.Text()};
        RawProp prop;
        prop.id = static_cast<uint16_t>(id);
        prop.type = static_cast<uint16_t>(type);
        size_t size = 0;
        if (libpff_record_entry_get_data_size(entry, &size, &err.error) == 1 && size > 0) {
            prop.data.resize(size);
            if (libpff_record_entry_get_data(entry, prop.data.data(), size, &err.error) != 1) {
                err.Text();
                ++unreadableValues;
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

// The UTF-16 and UTF-32 labels: they describe a message's Unicode form, never 8-bit texts.
bool IsWideCodePage(int32_t cp) { return cp == 1200 || cp == 1201 || cp == 12000 || cp == 12001; }

// Plain ASCII reads the same in every code page these files use, so it needs no converter;
// ESC, SO and SI shift ISO-2022 texts, '+' and '~' UTF-7 and HZ ones.
bool PlainAscii(std::string_view bytes) {
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || c == '\x1B' || c == '\x0E' || c == '\x0F' || c == '+' || c == '~') return false;
    }
    return true;
}

// The ICU name of a code page usable for 8-bit texts, or nullptr. Looked up once per code page
// (opening a converter to learn whether ICU knows it costs more than most conversions).
const std::string* CodePageCharset(int32_t cp) {
    if (cp <= 0 || IsWideCodePage(cp)) return nullptr;
    static std::mutex mutex;
    static std::map<int32_t, std::optional<std::string>> charsets;
    std::lock_guard lock(mutex);
    auto it = charsets.find(cp);
    if (it == charsets.end()) it = charsets.emplace(cp, CharsetForCodePage(cp)).first;
    return it->second ? &*it->second : nullptr;  // map nodes stay put
}

}  // namespace

EightBitText DecodeEightBitText(std::string_view bytes, std::span<const int32_t> labels,
                                std::span<const int32_t> fallbacks) {
    const bool eightBit = std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    std::vector<int32_t> candidates;
    auto add = [&](int32_t cp) {
        if (CodePageCharset(cp) && std::find(candidates.begin(), candidates.end(), cp) == candidates.end())
            candidates.push_back(cp);
    };
    for (int32_t label : labels) {
        // An 8-bit text is in the Windows code page of its label's script (an item of mail that
        // came as ISO-2022-JP keeps its texts in 932); a 7-bit one that is not plain ASCII is
        // in the label's own code (ISO-2022 escapes, HZ, UTF-7).
        if (eightBit) add(AnsiCodePageOf(label));
        add(label);
        add(AnsiCodePageOf(label));
    }
    for (int32_t cp : fallbacks) add(cp);
    if (candidates.empty()) add(1252);
    for (int32_t cp : candidates)
        if (auto text = ToUtf8Strict(bytes, *CodePageCharset(cp))) return {std::move(*text), cp, true};
    return {ToUtf8(bytes, *CodePageCharset(candidates.front())).value_or(std::string()), candidates.front(), false};
}

namespace {

// Turns the texts of one file into UTF-8 and counts those that are valid in none of the code
// pages they may be in.
class TextDecoder {
public:
    // `fallbacks`: the code pages tried after an item's own labels (DecodeEightBitText).
    TextDecoder(int32_t overridePage, std::vector<int32_t> fallbacks)
        : override_(overridePage), fallbacks_(std::move(fallbacks)) {}

    // `codePages`: the item's own labels, best first; the override replaces them and the
    // fallbacks.
    std::string Decode(const RawProp& p, std::span<const int32_t> codePages) {
        if (p.type == PT_UNICODE) {
            size_t n = p.data.size() & ~size_t(1);
            while (n >= 2 && p.data[n - 1] == 0 && p.data[n - 2] == 0) n -= 2;
            if (n == 0) return {};
            std::string_view bytes(reinterpret_cast<const char*>(p.data.data()), n);
            if (auto text = ToUtf8Strict(bytes, "UTF-16LE")) return *text;
            NoteUndecodable();
            return ToUtf8(bytes, "UTF-16LE").value_or("");
        }
        size_t n = p.data.size();
        while (n > 0 && p.data[n - 1] == 0) --n;
        std::string_view bytes(reinterpret_cast<const char*>(p.data.data()), n);
        if (PlainAscii(bytes)) return std::string(bytes);
        const int32_t only[] = {override_};
        EightBitText text = override_ ? DecodeEightBitText(bytes, {}, only) : DecodeEightBitText(bytes, codePages, fallbacks_);
        if (!text.valid) NoteUndecodable();
        return std::move(text.text);
    }

    std::string where;  // the folder or item being read, for the first undecodable text
    size_t undecodable = 0;
    std::string firstUndecodable;

private:
    void NoteUndecodable() {
        if (undecodable++ == 0) firstUndecodable = where;
    }

    int32_t override_;
    std::vector<int32_t> fallbacks_;
};

std::optional<int64_t> IntProp(const std::vector<RawProp>& props, uint16_t id) {
    for (const auto& p : props)
        if (p.id == id && (p.type == PT_LONG || p.type == PT_BOOLEAN) && !p.data.empty())
            return p.type == PT_LONG ? static_cast<int32_t>(LittleEndian(p.data, 4)) : LittleEndian(p.data, 1);
    return std::nullopt;
}

const RawProp* TextProp(const std::vector<RawProp>& props, uint16_t id) {
    for (const auto& p : props)
        if (p.id == id && (p.type == PT_STRING8 || p.type == PT_UNICODE)) return &p;
    return nullptr;
}

// The code pages an item names for its 8-bit texts, best first: its own, then the one its
// internet form was written in.
std::vector<int32_t> ItemCodePages(const std::vector<RawProp>& props) {
    std::vector<int32_t> pages;
    for (uint16_t id : {kIdMessageCodepage, kIdInternetCpid})
        if (auto cp = IntProp(props, id); cp && *cp > 0) pages.push_back(static_cast<int32_t>(*cp));
    return pages;
}

// A raw property in the store's vocabulary; none for what has no value to keep.
std::optional<std::pair<uint16_t, PropValue>> Convert(const RawProp& p, TextDecoder& texts,
                                                      std::span<const int32_t> codePages) {
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
            v.text = texts.Decode(p, codePages);
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

// What libpff gives of a message: its properties, one property list per recipient, and its
// attachments, each with its bytes or the message it embeds.
struct RawAttachment;
struct RawItem {
    std::vector<RawProp> props;
    std::vector<std::vector<RawProp>> recipients;
    std::vector<RawAttachment> attachments;
    std::vector<std::pair<std::string, std::string>> problems;  // what, reason: parts libpff could not read
};
struct RawAttachment {
    std::vector<RawProp> props;
    std::string data;
    std::unique_ptr<RawItem> item;  // an embedded message
};

// The properties of an item in the store's vocabulary: the named fields, everything else the
// store may keep in extraTagged and extraNamed; not what goes into the item's source.
ItemData PropsToItem(const std::vector<RawProp>& props, TextDecoder& texts) {
    const std::vector<int32_t> codePages = ItemCodePages(props);
    ItemData item;
    std::string messageClass;
    std::optional<std::string> html;
    for (const auto& p : props) {
        auto converted = Convert(p, texts, codePages);
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
                continue;  // kept in the source, as are the next two
            case kIdRtfCompressed:
            case kIdTransportHeaders: continue;
            case kIdMessageFlags:
                // Only the read state and whether it is a draft: the rest is the store's own
                // bookkeeping.
                if (type == PT_LONG && (value.integer & (store::MSGFLAG_READ | MSGFLAG_UNSENT)))
                    item.extraTagged[store::PR_MESSAGE_FLAGS] =
                        PropValue{PT_LONG, value.integer & (store::MSGFLAG_READ | MSGFLAG_UNSENT), {}, {}};
                continue;
            default: break;
        }
        if (IsStoreOwned(p.id)) continue;
        item.extraTagged[(static_cast<uint32_t>(p.id) << 16) | type] = std::move(value);
    }
    item.Class = ClassFor(messageClass, item.MessageClass);
    // A contact saved with only a display name still needs names of its own: the duplicate
    // search compares contacts by them.
    if (item.Class == 40) FillNamesFromFullName(item.FirstName, item.LastName, item.FullName);
    // Only contacts and distribution lists carry their display name as FullName.
    if (item.Class != 40 && item.Class != 69) {
        if (item.FullName) item.extraTagged[(static_cast<uint32_t>(kIdDisplayName) << 16) | PT_STRING8] =
            PropValue{PT_STRING8, 0, *item.FullName, {}};
        item.FullName.reset();
    }
    if (!item.Body && html) item.Body = HtmlToText(*html);
    return item;
}

std::string DecodedText(const std::vector<RawProp>& props, uint16_t id, TextDecoder& texts,
                        std::span<const int32_t> codePages) {
    const RawProp* p = TextProp(props, id);
    return p ? texts.Decode(*p, codePages) : std::string();
}

const RawProp* BinaryProp(const std::vector<RawProp>& props, uint16_t id) {
    for (const auto& p : props)
        if (p.id == id && p.type == PT_BINARY) return &p;
    return nullptr;
}

// What the item holds beyond its properties, embedded messages whole.
PstMessage RichOf(const RawItem& raw, TextDecoder& texts) {
    const std::vector<int32_t> codePages = ItemCodePages(raw.props);
    PstMessage m;
    if (const RawProp* html = BinaryProp(raw.props, kIdHtml)) {
        // Bytes in the code page the message was written in, kept as they are.
        m.html.assign(html->data.begin(), html->data.end());
        const std::string* charset = nullptr;
        for (int32_t cp : codePages)
            if ((charset = CodePageCharset(cp))) break;
        m.htmlCharset = charset ? *charset : "utf-8";
    } else if (TextProp(raw.props, kIdHtml)) {
        m.html = DecodedText(raw.props, kIdHtml, texts, codePages);
        m.htmlCharset = "utf-8";
    }
    if (const RawProp* rtf = BinaryProp(raw.props, kIdRtfCompressed)) m.rtfCompressed.assign(rtf->data.begin(), rtf->data.end());
    m.transportHeaders = DecodedText(raw.props, kIdTransportHeaders, texts, codePages);
    for (const auto& r : raw.recipients) {
        PstRecipient recipient;
        recipient.type = static_cast<int32_t>(IntProp(r, kIdRecipientType).value_or(1));
        recipient.name = DecodedText(r, kIdDisplayName, texts, codePages);
        recipient.addressType = DecodedText(r, kIdAddressType, texts, codePages);
        recipient.address = DecodedText(r, kIdSmtpAddress, texts, codePages);
        if (recipient.address.empty()) recipient.address = DecodedText(r, kIdEmailAddress, texts, codePages);
        m.recipients.push_back(std::move(recipient));
    }
    for (const auto& a : raw.attachments) {
        PstAttachment attachment;
        for (uint16_t id : {kIdAttachLongFilename, kIdAttachFilename, kIdDisplayName})
            if (attachment.name.empty()) attachment.name = DecodedText(a.props, id, texts, codePages);
        attachment.mimeType = DecodedText(a.props, kIdAttachMimeTag, texts, codePages);
        attachment.contentId = DecodedText(a.props, kIdAttachContentId, texts, codePages);
        if (attachment.contentId.size() >= 2 && attachment.contentId.front() == '<' && attachment.contentId.back() == '>')
            attachment.contentId = attachment.contentId.substr(1, attachment.contentId.size() - 2);
        attachment.method = static_cast<int32_t>(IntProp(a.props, kIdAttachMethod).value_or(0));
        attachment.isInline = (IntProp(a.props, kIdAttachFlags).value_or(0) & kAttachMhtmlRef) != 0 ||
                              IntProp(a.props, kIdAttachmentHidden).value_or(0) != 0;
        if (a.item) {
            attachment.message = std::make_shared<PstMessage>(RichOf(*a.item, texts));
            attachment.message->item = PropsToItem(a.item->props, texts);
        } else {
            attachment.data = a.data;
        }
        m.attachments.push_back(std::move(attachment));
    }
    return m;
}

ItemData MessageToItem(const RawItem& raw, TextDecoder& texts) {
    ItemData item = PropsToItem(raw.props, texts);
    PstMessage rich = RichOf(raw, texts);
    if (!rich.attachments.empty()) {
        auto& flags = item.extraTagged[store::PR_MESSAGE_FLAGS];
        flags.type = PT_LONG;
        flags.integer |= store::MSGFLAG_HASATTACH;
    }
    if (!rich.html.empty() || !rich.rtfCompressed.empty() || !rich.transportHeaders.empty() ||
        !rich.recipients.empty() || !rich.attachments.empty())
        item.Source = store::ItemSource::Pack(store::ItemSource::Kind::PstMessage, EncodePstMessage(rich));
    return item;
}

// Reading happens in two passes. The first takes every folder's and item's raw properties
// from libpff, noting what it cannot read; the second decodes them, once the file's most
// common item code page (the one for texts without a label of their own, folder names
// included) is known.
struct RawFolder {
    uint32_t id = 0;  // libpff's identifier (the node id entry IDs name)
    std::vector<RawProp> props;
    std::vector<RawItem> items;
    std::vector<RawFolder> subfolders;
    std::vector<PstLoss> losses;  // `folder` is filled in by the second pass
};

struct FirstPass {
    size_t unreadableValues = 0;
    size_t items = 0;  // of the folders read so far
    const std::function<void(size_t)>* progress = nullptr;
};

constexpr int kMaxDepth = 64;

RawItem ReadRawItem(libpff_item_t* message, FirstPass& pass, int depth);

RawAttachment ReadRawAttachment(libpff_item_t* attachment, FirstPass& pass, int depth, RawItem& owner,
                                const std::string& what) {
    ErrorHolder err;
    RawAttachment raw;
    raw.props = ReadProps(attachment, pass.unreadableValues);
    // The bytes themselves are read as libpff reads an attachment, not kept twice.
    std::erase_if(raw.props, [](const RawProp& p) { return p.id == kIdAttachData; });
    int type = 0;
    if (libpff_attachment_get_type(attachment, &type, &err.error) != 1) throw Unreadable{err.Text()};
    if (type == LIBPFF_ATTACHMENT_TYPE_ITEM) {
        ItemHandle item;
        if (libpff_attachment_get_item(attachment, &item.item, &err.error) != 1 || !item.item) throw Unreadable{err.Text()};
        if (depth >= kMaxEmbedding) {
            owner.problems.emplace_back(what, "messages embedded deeper than " + std::to_string(kMaxEmbedding) + " levels");
        } else {
            raw.item = std::make_unique<RawItem>(ReadRawItem(item.item, pass, depth + 1));
        }
        return raw;
    }
    size64_t size = 0;
    const int has = libpff_attachment_get_data_size(attachment, &size, &err.error);
    if (has < 0) throw Unreadable{err.Text()};
    if (has == 1 && size > 0) {
        if (size > kMaxMessageBytes) throw Unreadable{"larger than " + ByteSizeText(kMaxMessageBytes)};
        raw.data.resize(static_cast<size_t>(size));
        size_t done = 0;
        while (done < raw.data.size()) {
            const ssize_t n = libpff_attachment_data_read_buffer(
                attachment, reinterpret_cast<uint8_t*>(raw.data.data()) + done, raw.data.size() - done, &err.error);
            if (n <= 0) throw Unreadable{n < 0 ? err.Text() : "its data ends early"};
            done += static_cast<size_t>(n);
        }
    }
    return raw;
}

RawItem ReadRawItem(libpff_item_t* message, FirstPass& pass, int depth) {
    ErrorHolder err;
    RawItem raw;
    raw.props = ReadProps(message, pass.unreadableValues);
    ItemHandle recipients;
    const int hasRecipients = libpff_message_get_recipients(message, &recipients.item, &err.error);
    if (hasRecipients == 1 && recipients.item) {
        try {
            const int sets = RecordSets(recipients.item);
            for (int i = 0; i < sets; ++i) raw.recipients.push_back(ReadProps(recipients.item, pass.unreadableValues, i));
        } catch (const Unreadable& u) {
            raw.problems.emplace_back("its recipients", u.reason);
        }
    } else if (hasRecipients < 0) {
        raw.problems.emplace_back("its recipients", err.Text());
    }
    int attachments = 0;
    if (libpff_message_get_number_of_attachments(message, &attachments, &err.error) != 1) {
        err.Text();  // items without an attachment table
        attachments = 0;
    }
    for (int i = 0; i < attachments; ++i) {
        const std::string what = "attachment " + std::to_string(i + 1) + " of " + std::to_string(attachments);
        ItemHandle attachment;
        try {
            if (libpff_message_get_attachment(message, i, &attachment.item, &err.error) != 1) throw Unreadable{err.Text()};
            raw.attachments.push_back(ReadRawAttachment(attachment.item, pass, depth, raw, what));
        } catch (const Unreadable& u) {
            raw.problems.emplace_back(what, u.reason);
        }
    }
    return raw;
}

RawFolder ReadRawFolder(libpff_item_t* folder, int depth, FirstPass& pass) {
    ErrorHolder err;
    RawFolder raw;
    if (libpff_item_get_identifier(folder, &raw.id, &err.error) != 1) err.Text();
    auto lose = [&](std::string what, std::string reason, size_t items, size_t folders) {
        raw.losses.push_back({{}, std::move(what), std::move(reason), items, folders});
    };
    try {
        raw.props = ReadProps(folder, pass.unreadableValues);
    } catch (const Unreadable& u) {
        lose("the folder's name and properties", u.reason, 0, 0);
    }
    // The number of items the folder's contents table lists: libpff finds its items through
    // the file's index instead, and a damaged index drops some without a word.
    std::optional<int64_t> listed = IntProp(raw.props, kIdContentCount);
    int messages = 0;
    if (libpff_folder_get_number_of_sub_messages(folder, &messages, &err.error) != 1) {
        lose("its items", err.Text(), static_cast<size_t>(std::max<int64_t>(listed.value_or(0), 0)), 0);
        messages = 0;
    } else if (listed && *listed > messages) {
        lose(std::to_string(*listed - messages) + " of the " + std::to_string(*listed) + " items it lists",
             "libpff found no data for them", static_cast<size_t>(*listed - messages), 0);
    }
    for (int i = 0; i < messages; ++i) {
        std::string what = "item " + std::to_string(i + 1) + " of " + std::to_string(messages);
        ItemHandle message;
        if (libpff_folder_get_sub_message(folder, i, &message.item, &err.error) != 1) {
            lose(what, err.Text(), 1, 0);
            continue;
        }
        try {
            raw.items.push_back(ReadRawItem(message.item, pass, 0));
        } catch (const Unreadable& u) {
            lose(what, u.reason, 1, 0);
            continue;
        }
        // The item comes in; what libpff could not read of it is listed.
        for (auto& [part, reason] : raw.items.back().problems) lose(what + ", " + part, reason, 0, 0);
        if (*pass.progress) (*pass.progress)(++pass.items);
    }
    int subfolders = 0;
    if (libpff_folder_get_number_of_sub_folders(folder, &subfolders, &err.error) != 1) {
        lose("its subfolders", err.Text(), 0, 1);
        subfolders = 0;
    } else if (subfolders == 0 && IntProp(raw.props, kIdSubfolders).value_or(0) != 0) {
        lose("its subfolders", "the folder has subfolders but libpff found none", 0, 1);
    } else if (subfolders > 0 && depth >= kMaxDepth) {
        lose("its subfolders", "folders nested deeper than " + std::to_string(kMaxDepth) + " levels", 0,
             static_cast<size_t>(subfolders));
        subfolders = 0;
    }
    for (int i = 0; i < subfolders; ++i) {
        ItemHandle sub;
        if (libpff_folder_get_sub_folder(folder, i, &sub.item, &err.error) != 1) {
            lose("subfolder " + std::to_string(i + 1) + " of " + std::to_string(subfolders), err.Text(), 0, 1);
            continue;
        }
        raw.subfolders.push_back(ReadRawFolder(sub.item, depth + 1, pass));
    }
    return raw;
}

// Counts the code page an item names first, as the Windows code page of its script
// (AnsiCodePageOf). Plain ASCII (20127) says nothing about which 8-bit code page the file's
// other texts are in.
void CountCodePage(const std::vector<RawProp>& item, std::map<int32_t, size_t>& counts) {
    auto pages = ItemCodePages(item);
    if (!pages.empty() && pages.front() != 20127 && !IsWideCodePage(pages.front())) ++counts[AnsiCodePageOf(pages.front())];
}

void CountCodePages(const RawFolder& folder, std::map<int32_t, size_t>& counts) {
    for (const auto& item : folder.items) CountCodePage(item.props, counts);
    for (const auto& sub : folder.subfolders) CountCodePages(sub, counts);
}

// The code page most of a folder's own items name first (as CountCodePage counts them): its
// name was most likely written in it. Empty when its items name none.
std::vector<int32_t> FolderCodePage(const RawFolder& folder) {
    std::map<int32_t, size_t> counts;
    for (const auto& item : folder.items) CountCodePage(item.props, counts);
    auto best = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return best == counts.end() ? std::vector<int32_t>{} : std::vector<int32_t>{best->first};
}

std::string FolderNameOf(const RawFolder& raw, TextDecoder& texts) {
    const RawProp* name = TextProp(raw.props, kIdDisplayName);
    return name ? texts.Decode(*name, FolderCodePage(raw)) : std::string();
}

std::string SubPath(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "\\" + name;
}

struct SecondPass {
    TextDecoder& texts;
    PstFile& out;
    std::optional<uint32_t> wastebasket;
    std::vector<size_t> at;  // subfolder indexes from the top to the folder being converted
};

// `name` is decoded already (by the parent, which needs it for the path); `path`: the folder's
// path below the top (empty for the top). Frees the raw items as it goes.
FolderData ConvertFolder(RawFolder& raw, std::string name, const std::string& path, SecondPass& pass) {
    const std::string label = path.empty() ? "the top folder" : "folder \"" + path + "\"";
    FolderData data;
    data.name = std::move(name);
    pass.texts.where = label;
    if (const RawProp* cls = TextProp(raw.props, kIdContainerClass))
        data.containerClass = pass.texts.Decode(*cls, FolderCodePage(raw));
    data.defaultItemType = DefaultItemTypeForContainerClass(data.containerClass);
    if (!pass.at.empty() && pass.wastebasket && raw.id == *pass.wastebasket) pass.out.wastebasket = pass.at;
    for (auto& loss : raw.losses) {
        loss.folder = path;
        pass.out.losses.push_back(std::move(loss));
    }
    data.items.reserve(raw.items.size());
    for (size_t i = 0; i < raw.items.size(); ++i) {
        pass.texts.where = label + ", item " + std::to_string(i + 1);
        data.items.push_back(MessageToItem(raw.items[i], pass.texts));
        raw.items[i] = RawItem();
    }
    for (size_t i = 0; i < raw.subfolders.size(); ++i) {
        pass.texts.where = "the name of subfolder " + std::to_string(i + 1) + " of " + label;
        std::string sub = FolderNameOf(raw.subfolders[i], pass.texts);
        if (sub.empty()) sub = "Folder";  // the store needs a name for every folder
        pass.at.push_back(i);
        data.subfolders.push_back(ConvertFolder(raw.subfolders[i], sub, SubPath(path, sub), pass));
        pass.at.pop_back();
    }
    return data;
}

// The node id an entry ID of this file names: flags, the provider's UID, then the id.
std::optional<uint32_t> EntryIdNode(const std::vector<RawProp>& props, uint16_t id) {
    for (const auto& p : props)
        if (p.id == id && p.type == PT_BINARY && p.data.size() == 24)
            return static_cast<uint32_t>(LittleEndian(std::vector<uint8_t>(p.data.begin() + 20, p.data.end()), 4));
    return std::nullopt;
}

}  // namespace

PstFile ReadPst(const std::string& path, const PstReadOptions& options,
                const std::function<void(size_t itemsRead)>& reading) {
    if (options.codePage != 0 && (IsWideCodePage(options.codePage) || !CharsetForCodePage(options.codePage)))
        FailFile(path, "code page " + std::to_string(options.codePage) + " is not a code page of 8-bit texts that is known here");
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
    FirstPass first;
    first.progress = &reading;
    int fileCodePage = 1252;
    if (libpff_file_get_ascii_codepage(raw, &fileCodePage, &err.error) != 1) fileCodePage = 1252, err.Text();

    // The message store: its name, the top of the visible tree and the wastebasket.
    std::vector<RawProp> storeProps;
    {
        ItemHandle store;
        try {
            if (libpff_file_get_message_store(raw, &store.item, &err.error) != 1 || !store.item)
                throw Unreadable{err.Text()};
            storeProps = ReadProps(store.item, first.unreadableValues);
        } catch (const Unreadable& u) {
            result.losses.push_back({{}, "the file's name and where its special folders are", u.reason, 0, 0});
        }
    }
    RawFolder top;
    bool fromRoot = true;
    if (auto subtree = EntryIdNode(storeProps, kIdIpmSubtree)) {
        ItemHandle item;
        if (libpff_file_get_item_by_identifier(raw, *subtree, &item.item, &err.error) == 1 && item.item) {
            top = ReadRawFolder(item.item, 0, first);
            fromRoot = false;
        } else {
            err.Text();
        }
    }
    if (fromRoot) {
        ItemHandle root;
        if (libpff_file_get_root_folder(raw, &root.item, &err.error) != 1 || !root.item)
            FailFile(path, "the file is damaged or truncated: no root folder (" + err.Text() + ")");
        top = ReadRawFolder(root.item, 0, first);
    }
    // Items of the file's index whose folder libpff cannot find.
    std::vector<std::vector<RawProp>> orphans;
    size_t unreadableOrphans = 0;
    int orphanCount = 0;
    if (libpff_file_get_number_of_orphan_items(raw, &orphanCount, &err.error) != 1) orphanCount = 0, err.Text();
    for (int i = 0; i < orphanCount; ++i) {
        ItemHandle orphan;
        try {
            if (libpff_file_get_orphan_item_by_index(raw, i, &orphan.item, &err.error) != 1) throw Unreadable{err.Text()};
            orphans.push_back(ReadProps(orphan.item, first.unreadableValues));
        } catch (const Unreadable&) {
            ++unreadableOrphans;
        }
    }

    std::map<int32_t, size_t> counts;
    CountCodePages(top, counts);
    for (const auto& item : orphans) CountCodePage(item, counts);
    int32_t storePage = CharsetForCodePage(fileCodePage) ? fileCodePage : 1252;
    size_t best = 0;
    for (const auto& [cp, n] : counts)
        if (n > best && CharsetForCodePage(cp)) best = n, storePage = cp;
    result.codePage = options.codePage ? options.codePage : storePage;
    // A text its labels do not decode (or one without labels, such as a folder's name) tries
    // the file's most used code page, the others it uses by how much, the file's own, this
    // system's and then Western European.
    std::vector<int32_t> fallbacks = {storePage};
    std::vector<std::pair<size_t, int32_t>> byUse;
    for (const auto& [cp, n] : counts) byUse.emplace_back(n, cp);
    std::stable_sort(byUse.begin(), byUse.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [n, cp] : byUse) fallbacks.push_back(cp);
    fallbacks.push_back(fileCodePage);
    fallbacks.push_back(SystemAnsiCodePage());
    fallbacks.push_back(1252);
    TextDecoder texts(options.codePage, std::move(fallbacks));

    texts.where = "the file's name";
    if (const RawProp* name = TextProp(storeProps, kIdDisplayName)) result.displayName = texts.Decode(*name, {});
    texts.where = "the top folder";
    std::string topName = FolderNameOf(top, texts);
    if (fromRoot) {
        // The root holds the visible tree ("Top of Personal Folders") beside search folders.
        std::vector<std::string> names;
        for (size_t i = 0; i < top.subfolders.size(); ++i) {
            texts.where = "the name of subfolder " + std::to_string(i + 1) + " of the file's root folder";
            names.push_back(FolderNameOf(top.subfolders[i], texts));
        }
        std::optional<size_t> pick;
        for (size_t i = 0; i < names.size() && !pick; ++i)
            if (names[i].rfind("Top of", 0) == 0 || names[i].rfind("Stamm", 0) == 0) pick = i;
        for (size_t i = 0; i < names.size() && !pick; ++i)
            if (!top.subfolders[i].subfolders.empty() && names[i].find("Search") == std::string::npos) pick = i;
        if (pick) {
            for (auto& loss : top.losses) {
                loss.what += " (of the file's root folder)";
                result.losses.push_back(std::move(loss));
            }
            RawFolder chosen = std::move(top.subfolders[*pick]);
            top = std::move(chosen);
            topName = std::move(names[*pick]);
        }
    }
    SecondPass second{texts, result, EntryIdNode(storeProps, kIdWastebasket), {}};
    result.top = ConvertFolder(top, topName, "", second);

    if (!orphans.empty() || unreadableOrphans) {
        std::string what = std::to_string(orphans.size() + unreadableOrphans) + " items in no folder";
        std::string names;
        texts.where = "an item in no folder";
        for (const auto& item : orphans) {
            std::string subject = PropsToItem(item, texts).Subject.value_or("");
            if (!subject.empty()) names += (names.empty() ? ": \"" : ", \"") + subject + "\"";
        }
        result.losses.push_back({{}, what + names, "the file's index lists them but no folder holds them",
                                 orphans.size() + unreadableOrphans, 0});
    }
    result.undecodableTexts = texts.undecodable;
    result.firstUndecodable = texts.firstUndecodable;
    result.unreadableValues = first.unreadableValues;
    return result;
}

PstReport ReportOf(const PstFile& pst, const std::string& topPath) {
    PstReport report;
    for (const auto& loss : pst.losses) {
        std::string where = loss.folder.empty() ? topPath : topPath + "\\" + loss.folder;
        report.skipped.push_back(where + ": " + loss.what + ": " + loss.reason);
        report.skippedFolders += loss.folders;
        report.skippedItems += loss.items;
    }
    if (pst.undecodableTexts)
        report.warnings.push_back(
            std::to_string(pst.undecodableTexts) + " text" + (pst.undecodableTexts == 1 ? " is" : "s are") +
            " not valid in the code page " + (pst.undecodableTexts == 1 ? "it" : "they") + " should be in (" +
            std::to_string(pst.codePage) + " for texts without their own) and kept U+FFFD for the bad bytes; the first is in " +
            pst.firstUndecodable + ". The right code page can be given.");
    if (pst.unreadableValues)
        report.warnings.push_back(std::to_string(pst.unreadableValues) + " property value" +
                                  (pst.unreadableValues == 1 ? "" : "s") +
                                  " could not be read and were left out of their items");
    return report;
}

const FolderData* Wastebasket(const PstFile& pst) {
    if (!pst.wastebasket) return nullptr;
    const FolderData* f = &pst.top;
    for (size_t i : *pst.wastebasket) {
        if (i >= f->subfolders.size()) return nullptr;
        f = &f->subfolders[i];
    }
    return f;
}

}  // namespace nubra::formats
