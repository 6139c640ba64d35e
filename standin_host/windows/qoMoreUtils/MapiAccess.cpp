#include "standin_host/windows/qoMoreUtils/MapiAccess.h"

#include <mapidefs.h>

#include <mapi.h>
#include <mapicode.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <utility>

#include "host/AutomationDates.h"
#include "host/win/Dispatch.h"

namespace qomoreutils {

using nubra::AutomationError;
using nubra::win::Dispatch;
namespace errnum = nubra::errnum;

namespace {

constexpr const char* kSchemaBase = "http://schemas.microsoft.com/mapi/";

// A buffer the store allocated with MAPIAllocateBuffer, freed with MAPIFreeBuffer.
template <typename T>
class MapiBuffer {
public:
    MapiBuffer() = default;
    MapiBuffer(const MapiBuffer&) = delete;
    MapiBuffer& operator=(const MapiBuffer&) = delete;
    ~MapiBuffer() {
        if (p_) MAPIFreeBuffer(p_);
    }
    T** put() noexcept { return &p_; }
    T* get() const noexcept { return p_; }

private:
    T* p_ = nullptr;
};

// A property tag array of our own, laid out as SPropTagArray.
class TagArray {
public:
    explicit TagArray(const std::vector<uint32_t>& tags) : cells_(tags.size() + 1) {
        cells_[0] = static_cast<ULONG>(tags.size());
        for (std::size_t i = 0; i < tags.size(); ++i) cells_[i + 1] = tags[i];
    }
    SPropTagArray* get() noexcept { return reinterpret_cast<SPropTagArray*>(cells_.data()); }

private:
    std::vector<ULONG> cells_;
};

bool IsText(uint32_t type) { return type == kPtString8 || type == kPtUnicode; }

// Text and binary values are asked for in Unicode, whatever 8-bit type the caller named, so
// that no character is lost to the code page.
uint32_t AskedTag(uint32_t tag) {
    return PropType(tag) == kPtString8 ? (tag & 0xFFFF0000u) | kPtUnicode : tag;
}

std::string FromCodePage(const char* text, std::size_t length) {
    if (length == 0) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(), n);
    return nubra::win::Utf8(wide.data(), wide.size());
}

// One value the store returned for `tag`, as the library hands it out.
Variant Convert(const SPropValue& value, uint32_t tag, const std::string& role) {
    auto corrupt = [&](const char* why) -> Variant {
        Fail(errnum::kMapiCorruptData, "property " + HexTag(tag) + " of " + role + ": " + why);
    };
    switch (PropType(value.ulPropTag)) {
        case kPtI2: return Variant(static_cast<int16_t>(value.Value.i));
        case kPtLong: return Variant(static_cast<int32_t>(value.Value.l));
        case kPtBoolean: return Variant(value.Value.b != 0);
        case kPtFloat: return Variant(static_cast<double>(value.Value.flt));
        case kPtDouble: return Variant(value.Value.dbl);
        case kPtSysTime: {
            const uint64_t ticks = (uint64_t{value.Value.ft.dwHighDateTime} << 32) | value.Value.ft.dwLowDateTime;
            if (ticks > static_cast<uint64_t>(INT64_MAX)) return corrupt("the time is out of range");
            return Variant::FromDate(nubra::dates::FileTimeToDate(static_cast<int64_t>(ticks)));
        }
        case kPtString8: {
            if (!value.Value.lpszA) return corrupt("the text is missing");
            const std::size_t n = strnlen(value.Value.lpszA, kMaxValueBytes);
            if (n == kMaxValueBytes) return corrupt("the text is too long");
            return Variant(FromCodePage(value.Value.lpszA, n));
        }
        case kPtUnicode: {
            if (!value.Value.lpszW) return corrupt("the text is missing");
            const std::size_t n = wcsnlen(value.Value.lpszW, kMaxValueBytes / sizeof(wchar_t));
            if (n == kMaxValueBytes / sizeof(wchar_t)) return corrupt("the text is too long");
            return Variant(nubra::win::Utf8(value.Value.lpszW, n));
        }
        case kPtBinary: {
            const SBinary& bin = value.Value.bin;
            if (bin.cb > kMaxValueBytes) return corrupt("the value is too long");
            if (bin.cb > 0 && !bin.lpb) return corrupt("the value is missing");
            return Variant(std::vector<uint8_t>(bin.lpb, bin.lpb + bin.cb));
        }
        default: {
            char type[8];
            std::snprintf(type, sizeof type, "0x%04X", static_cast<unsigned>(PropType(value.ulPropTag)));
            return corrupt((std::string("values of type ") + type + " cannot be read").c_str());
        }
    }
}

struct OwnNames {
    std::mutex lock;
    std::map<std::pair<std::string, uint16_t>, uint16_t> ids;
    std::map<uint16_t, PropertyName> names;
    uint16_t next = 0x8000;
};

OwnNames& Own() {
    static OwnNames own;
    return own;
}

}  // namespace

[[noreturn]] void Fail(int32_t number, const std::string& description) {
    nubra::RaiseError(number, description, kSource);
}

[[noreturn]] void FailHr(HRESULT hr, const std::string& what) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    Fail(static_cast<int32_t>(hr), what + " failed (" + code + ")");
}

ComRef<IUnknown> UnknownOf(const Variant& value, const std::string& role) {
    if (value.IsNothing()) return {};
    if (value.type() == Variant::Type::Object) {
        if (auto com = std::dynamic_pointer_cast<nubra::win::ComObject>(value.AsObject()))
            return ComRef<IUnknown>(com->Unknown());
    }
    Fail(errnum::kMapiInvalidParameter, role + " is not an object");
}

std::string HexTag(uint32_t tag) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(tag));
    return text;
}

GUID ParseGuid(const std::string& text) {
    GUID guid{};
    // IIDFromString takes the braced form only, never a ProgID.
    std::wstring wide = nubra::win::Wide(text);
    if (text.size() != 38 || FAILED(IIDFromString(wide.c_str(), &guid)))
        Fail(errnum::kMapiInvalidParameter, "\"" + text + "\" is not a property set GUID");
    return guid;
}

std::string GuidText(const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return nubra::win::Utf8(text);
}

uint16_t NameNumber(const Variant& value) {
    const int32_t id = value.AsLong();
    if (id < -32768 || id > 0xFFFF)
        Fail(errnum::kMapiInvalidParameter, "named property number " + std::to_string(id) + " is out of range");
    return static_cast<uint16_t>(id);
}

std::string ProptagSchema(uint32_t tag) { return std::string(kSchemaBase) + "proptag/" + HexTag(tag); }

std::string NamedSchema(const PropertyName& name, uint32_t type) {
    if (name.isText) return std::string(kSchemaBase) + "string/" + GuidText(name.guid) + "/" + name.text;
    char tail[16];
    std::snprintf(tail, sizeof tail, "/%04X%04X", static_cast<unsigned>(name.id), static_cast<unsigned>(type));
    return std::string(kSchemaBase) + "id/" + GuidText(name.guid) + tail;
}

uint32_t OwnNamedId(const GUID& guid, uint16_t id, bool create) {
    OwnNames& own = Own();
    std::lock_guard<std::mutex> hold(own.lock);
    const auto key = std::make_pair(GuidText(guid), id);
    if (auto it = own.ids.find(key); it != own.ids.end()) return it->second;
    if (!create) return 0;
    if (own.next == 0xFFFF) Fail(errnum::kMapiCallFailed, "no named property identifiers are left");
    const uint16_t assigned = own.next++;
    own.ids.emplace(key, assigned);
    own.names.emplace(assigned, PropertyName{guid, false, id, {}});
    return assigned;
}

bool OwnName(uint32_t propId, PropertyName& name) {
    OwnNames& own = Own();
    std::lock_guard<std::mutex> hold(own.lock);
    auto it = own.names.find(static_cast<uint16_t>(propId));
    if (it == own.names.end()) return false;
    name = it->second;
    return true;
}

// ---- PropertySource ---------------------------------------------------------------------------

IMAPIProp* PropertySource::Mapi() const { return static_cast<IMAPIProp*>(mapi_.get()); }

PropertySource PropertySource::Of(IUnknown* object, const std::string& role) {
    PropertySource source;
    source.role_ = role;
    if (!object) Fail(errnum::kMapiInvalidParameter, role + " is Nothing");
    if (SUCCEEDED(object->QueryInterface(kIidIMAPIProp, reinterpret_cast<void**>(source.mapi_.put()))) &&
        source.mapi_)
        return source;
    object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(source.item_.put()));
    if (!source.item_)
        Fail(errnum::kMapiInvalidParameter, role + " is neither an item, a folder nor a MAPI object");
    // An item or folder: its MAPI object, when the client offers one.
    try {
        Dispatch item(source.item_);
        const Variant mapiObject = item.Get("MAPIOBJECT");
        if (mapiObject.type() == Variant::Type::Object) {
            if (auto com = std::dynamic_pointer_cast<nubra::win::ComObject>(mapiObject.AsObject()))
                com->Unknown()->QueryInterface(kIidIMAPIProp, reinterpret_cast<void**>(source.mapi_.put()));
        }
    } catch (const AutomationError&) {
        // No MAPI object: the PropertyAccessor is read instead.
    }
    return source;
}

std::vector<Variant> PropertySource::Read(const std::vector<uint32_t>& tags) {
    if (!mapi_) return ReadByAccessor(tags);
    std::vector<uint32_t> asked(tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) asked[i] = AskedTag(tags[i]);
    TagArray array(asked);
    ULONG count = 0;
    MapiBuffer<SPropValue> values;
    const HRESULT hr = Mapi()->GetProps(array.get(), MAPI_UNICODE, &count, values.put());
    const std::string what = "GetProps of " + role_;
    if (FAILED(hr)) FailHr(hr, what);
    if (!values.get() || count != tags.size())
        Fail(errnum::kMapiCorruptData, what + " returned " + std::to_string(count) + " values for " +
                                           std::to_string(tags.size()) + " tags");
    std::vector<Variant> out;
    out.reserve(tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const SPropValue& value = values.get()[i];
        if (PropId(value.ulPropTag) != PropId(tags[i]))
            Fail(errnum::kMapiCorruptData, what + " returned " + HexTag(value.ulPropTag) + " for " + HexTag(tags[i]));
        if (PropType(value.ulPropTag) == kPtError) {
            const HRESULT error = value.Value.err;
            if (error == MAPI_E_NOT_FOUND) {
                out.emplace_back();
            } else if (error == E_OUTOFMEMORY && (IsText(PropType(asked[i])) || PropType(asked[i]) == kPtBinary)) {
                // Too large for GetProps: the store hands it out as a stream.
                out.push_back(ReadStream(asked[i]));
            } else {
                FailHr(error, "reading property " + HexTag(tags[i]) + " of " + role_);
            }
            continue;
        }
        const uint32_t askedType = PropType(asked[i]);
        const uint32_t gotType = PropType(value.ulPropTag);
        if (askedType != kPtUnspecified && askedType != gotType && !(IsText(askedType) && IsText(gotType)))
            Fail(errnum::kMapiCorruptData, what + " returned " + HexTag(value.ulPropTag) + " for " + HexTag(tags[i]));
        out.push_back(Convert(value, tags[i], role_));
    }
    return out;
}

Variant PropertySource::ReadStream(uint32_t tag) {
    const std::string what = "reading property " + HexTag(tag) + " of " + role_ + " as a stream";
    ComRef<IUnknown> unknown;
    HRESULT hr = Mapi()->OpenProperty(tag, &IID_IStream, STGM_READ, 0, unknown.put());
    if (FAILED(hr)) FailHr(hr, what);
    auto stream = unknown.As<IStream>(IID_IStream);
    if (!stream) Fail(errnum::kMapiCorruptData, what + ": the store gave no stream");
    std::vector<uint8_t> bytes;
    uint8_t chunk[16384];
    for (;;) {
        ULONG got = 0;
        hr = stream->Read(chunk, sizeof chunk, &got);
        if (FAILED(hr)) FailHr(hr, what);
        if (got > sizeof chunk) Fail(errnum::kMapiCorruptData, what + ": the stream overran its buffer");
        if (bytes.size() + got > kMaxValueBytes) Fail(errnum::kMapiCorruptData, what + ": the value is too long");
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got == 0 || hr == S_FALSE) break;
    }
    if (PropType(tag) == kPtBinary) return Variant(std::move(bytes));
    if (PropType(tag) == kPtUnicode) {
        std::size_t n = bytes.size() / sizeof(wchar_t);
        const auto* text = reinterpret_cast<const wchar_t*>(bytes.data());
        while (n > 0 && text[n - 1] == L'\0') --n;
        return Variant(nubra::win::Utf8(text, n));
    }
    std::size_t n = bytes.size();
    while (n > 0 && bytes[n - 1] == 0) --n;
    return Variant(FromCodePage(reinterpret_cast<const char*>(bytes.data()), n));
}

std::vector<Variant> PropertySource::ReadByAccessor(const std::vector<uint32_t>& tags) {
    Dispatch item(item_);
    Variant accessor;
    try {
        accessor = item.Get("PropertyAccessor");
    } catch (const AutomationError& e) {
        Fail(errnum::kMapiInvalidParameter,
             role_ + " offers neither a MAPI object nor a property accessor (" + e.Description() + ")");
    }
    Dispatch reader(accessor);
    std::vector<Variant> out;
    out.reserve(tags.size());
    for (uint32_t tag : tags) {
        std::string schema;
        if (IsNamedTag(tag)) {
            PropertyName name;
            if (!OwnName(PropId(tag), name)) {
                // A tag no name was handed out for: no property of the item can carry it.
                out.emplace_back();
                continue;
            }
            schema = NamedSchema(name, PropType(tag));
        } else {
            schema = ProptagSchema(tag);
        }
        try {
            out.push_back(reader.Call("GetProperty", {Variant(schema)}));
        } catch (const AutomationError& e) {
            if (e.Number() != errnum::kMapiNotFound) throw;
            out.emplace_back();
        }
    }
    return out;
}

uint16_t PropertySource::NamedId(const GUID& guid, uint16_t id, bool create) {
    if (!mapi_) return static_cast<uint16_t>(OwnNamedId(guid, id, create));
    GUID set = guid;
    MAPINAMEID name{};
    name.lpguid = &set;
    name.ulKind = MNID_ID;
    name.Kind.lID = id;
    MAPINAMEID* names[] = {&name};
    MapiBuffer<SPropTagArray> result;
    char number[8];
    std::snprintf(number, sizeof number, "0x%04X", static_cast<unsigned>(id));
    const std::string what = "GetIDsFromNames of " + GuidText(guid) + " " + number + " in the store of " + role_;
    const HRESULT hr = Mapi()->GetIDsFromNames(1, names, create ? MAPI_CREATE : 0, result.put());
    if (FAILED(hr)) {
        if (hr == MAPI_E_NOT_FOUND && !create) return 0;
        FailHr(hr, what);
    }
    if (!result.get() || result.get()->cValues != 1) Fail(errnum::kMapiCorruptData, what + " returned no tag");
    const ULONG tag = result.get()->aulPropTag[0];
    if (PropType(tag) == kPtError) {
        if (!create) return 0;
        Fail(errnum::kMapiCallFailed, what + " created no identifier");
    }
    if (PropId(tag) < 0x8000 || PropId(tag) == 0xFFFF)
        Fail(errnum::kMapiCorruptData, what + " returned " + HexTag(tag) + ", not a named property's tag");
    return static_cast<uint16_t>(PropId(tag));
}

std::string PropertySource::SchemaName(uint32_t tag) {
    if (!IsNamedTag(tag)) return ProptagSchema(tag);
    PropertyName name;
    if (!mapi_) {
        if (!OwnName(PropId(tag), name))
            Fail(errnum::kMapiNotFound, "property " + HexTag(tag) + " has no name in the store of " + role_);
        return NamedSchema(name, PropType(tag));
    }
    ULONG cells[2] = {1, tag};
    SPropTagArray* asked = reinterpret_cast<SPropTagArray*>(cells);
    SPropTagArray* tags = asked;
    ULONG count = 0;
    MapiBuffer<MAPINAMEID*> names;
    const std::string what = "GetNamesFromIDs of " + HexTag(tag) + " in the store of " + role_;
    const HRESULT hr = Mapi()->GetNamesFromIDs(&tags, nullptr, 0, &count, names.put());
    // A store may hand back an array of its own in place of ours.
    if (tags != asked && tags) MAPIFreeBuffer(tags);
    if (FAILED(hr)) FailHr(hr, what);
    const MAPINAMEID* found = names.get() && count == 1 ? names.get()[0] : nullptr;
    if (!found || !found->lpguid)
        Fail(errnum::kMapiNotFound, "property " + HexTag(tag) + " has no name in the store of " + role_);
    name.guid = *found->lpguid;
    if (found->ulKind == MNID_ID) {
        name.id = static_cast<uint16_t>(found->Kind.lID);
    } else if (found->ulKind == MNID_STRING && found->Kind.lpwstrName) {
        name.isText = true;
        name.text = nubra::win::Utf8(found->Kind.lpwstrName, wcsnlen(found->Kind.lpwstrName, 1024));
    } else {
        Fail(errnum::kMapiCorruptData, what + " returned a name of an unknown kind");
    }
    return NamedSchema(name, PropType(tag));
}

}  // namespace qomoreutils
