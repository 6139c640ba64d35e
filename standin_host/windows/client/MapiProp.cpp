#include "standin_host/windows/client/MapiProp.h"


#include <mapidefs.h>
#include <mapicode.h>
#include <mapix.h>

#include <cstring>

namespace nubra::winclient {

namespace {

// IID_IMAPIProp, {00020303-0000-0000-C000-000000000046}.
constexpr GUID kIidMapiProp = {0x00020303, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::string GuidText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

GUID GuidOf(const std::string& text) {
    GUID g{};
    const std::wstring w = win::Wide(text);
    CLSIDFromString(w.c_str(), &g);
    return g;
}

std::vector<uint8_t> HexBytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// What one object offers: its properties by tag and the store its named ids belong to.
struct Source {
    virtual ~Source() = default;
    // Null when the object is gone.
    virtual Store* StoreOf() = 0;
    virtual std::map<uint32_t, Value> Props() = 0;
};

class ItemSource : public Source {
public:
    explicit ItemSource(std::shared_ptr<Item> item) : item_(std::move(item)) {}
    Store* StoreOf() override { return item_->folder ? &item_->folder->store : nullptr; }
    std::map<uint32_t, Value> Props() override {
        auto props = item_->props;
        Value id;
        id.type = kPtBinary;
        id.bytes = HexBytes(item_->folder->store.session.ItemEntryId(*item_));
        props[kPrEntryId] = std::move(id);
        Value storeId;
        storeId.type = kPtBinary;
        storeId.bytes = HexBytes(item_->folder->store.StoreIdHex());
        props[kPrStoreEntryId] = std::move(storeId);
        return props;
    }

private:
    std::shared_ptr<Item> item_;
};

class FolderSource : public Source {
public:
    explicit FolderSource(Folder& folder) : folder_(folder) {}
    Store* StoreOf() override { return &folder_.store; }
    std::map<uint32_t, Value> Props() override {
        std::map<uint32_t, Value> props;
        props[kPrDisplayName].type = kPtString8;
        props[kPrDisplayName].text = folder_.name;
        props[kPrEntryId].type = kPtBinary;
        props[kPrEntryId].bytes = HexBytes(folder_.store.session.FolderEntryId(folder_));
        props[kPrStoreEntryId].type = kPtBinary;
        props[kPrStoreEntryId].bytes = HexBytes(folder_.store.StoreIdHex());
        return props;
    }

private:
    Folder& folder_;
};

class MapiProp : public win::Counted<IMAPIProp> {
public:
    explicit MapiProp(std::unique_ptr<Source> source) : Counted(kIidMapiProp), source_(std::move(source)) {}

    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }

    STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* out) override {
        if (!count || !out) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *out = nullptr;
        if (!source_->StoreOf()) return MAPI_E_OBJECT_DELETED;
        const auto props = source_->Props();
        std::vector<ULONG> wanted;
        if (tags) {
            wanted.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
        } else {
            for (const auto& [tag, v] : props) wanted.push_back(tag);
        }
        LPSPropValue values = nullptr;
        if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (wanted.size() ? wanted.size() : 1)),
                               reinterpret_cast<void**>(&values)) != S_OK)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        bool missing = false;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            SPropValue& pv = values[i];
            std::memset(&pv, 0, sizeof pv);
            const ULONG tag = wanted[i];
            const uint16_t type = static_cast<uint16_t>(PROP_TYPE(tag));
            // The stored value under this id: its exact type, or text stored 8-bit and
            // asked for as Unicode, or any type when none was named.
            const Value* v = nullptr;
            for (const auto& [stored, value] : props) {
                if (PROP_ID(stored) != PROP_ID(tag)) continue;
                if (stored == tag || type == PT_UNSPECIFIED || (type == PT_UNICODE && value.type == kPtString8)) v = &value;
            }
            if (!v) {
                pv.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
                pv.Value.err = MAPI_E_NOT_FOUND;
                missing = true;
                continue;
            }
            const uint16_t outType = type == PT_UNSPECIFIED ? v->type : type;
            pv.ulPropTag = PROP_TAG(outType, PROP_ID(tag));
            switch (outType) {
                case PT_LONG: pv.Value.l = static_cast<LONG>(v->integer); break;
                case PT_BOOLEAN: pv.Value.b = v->integer ? 1 : 0; break;
                case PT_SYSTIME:
                    pv.Value.ft.dwLowDateTime = static_cast<DWORD>(v->integer & 0xFFFFFFFF);
                    pv.Value.ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v->integer) >> 32);
                    break;
                case PT_STRING8: {
                    char* s = nullptr;
                    MAPIAllocateMore(static_cast<ULONG>(v->text.size() + 1), values, reinterpret_cast<void**>(&s));
                    std::memcpy(s, v->text.c_str(), v->text.size() + 1);
                    pv.Value.lpszA = s;
                    break;
                }
                case PT_UNICODE: {
                    const std::wstring w = win::Wide(v->text);
                    wchar_t* s = nullptr;
                    MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * sizeof(wchar_t)), values,
                                     reinterpret_cast<void**>(&s));
                    std::memcpy(s, w.c_str(), (w.size() + 1) * sizeof(wchar_t));
                    pv.Value.lpszW = s;
                    break;
                }
                case PT_BINARY: {
                    BYTE* b = nullptr;
                    MAPIAllocateMore(static_cast<ULONG>(v->bytes.size() ? v->bytes.size() : 1), values,
                                     reinterpret_cast<void**>(&b));
                    if (!v->bytes.empty()) std::memcpy(b, v->bytes.data(), v->bytes.size());
                    pv.Value.bin.cb = static_cast<ULONG>(v->bytes.size());
                    pv.Value.bin.lpb = b;
                    break;
                }
                default:
                    pv.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
                    pv.Value.err = MAPI_E_NOT_FOUND;
                    missing = true;
            }
        }
        *count = static_cast<ULONG>(wanted.size());
        *out = values;
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    }

    STDMETHODIMP GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                        LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                           LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }

    STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count,
                                 LPMAPINAMEID** names) override {
        if (!tags || !count || !names) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *names = nullptr;
        Store* store = source_->StoreOf();
        if (!store) return MAPI_E_OBJECT_DELETED;
        if (!*tags) return MAPI_E_NO_SUPPORT;  // every name of the store: not needed by anyone
        const ULONG n = (*tags)->cValues;
        LPMAPINAMEID* list = nullptr;
        if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * (n ? n : 1)), reinterpret_cast<void**>(&list)) !=
            S_OK)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        bool missing = false;
        for (ULONG i = 0; i < n; ++i) {
            list[i] = nullptr;
            const NamedKey* key = store->NameOf(static_cast<uint16_t>(PROP_ID((*tags)->aulPropTag[i])));
            if (!key || (guid && GuidText(*guid) != key->guid)) {
                missing = true;
                continue;
            }
            MAPINAMEID* name = nullptr;
            MAPIAllocateMore(sizeof(MAPINAMEID), list, reinterpret_cast<void**>(&name));
            GUID* g = nullptr;
            MAPIAllocateMore(sizeof(GUID), list, reinterpret_cast<void**>(&g));
            *g = GuidOf(key->guid);
            name->lpguid = g;
            name->ulKind = MNID_ID;
            name->Kind.lID = key->lid;
            list[i] = name;
        }
        *count = n;
        *names = list;
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    }

    STDMETHODIMP GetIDsFromNames(ULONG n, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags) override {
        if (!tags) return MAPI_E_INVALID_PARAMETER;
        *tags = nullptr;
        Store* store = source_->StoreOf();
        if (!store) return MAPI_E_OBJECT_DELETED;
        if (!names || n == 0) return MAPI_E_NO_SUPPORT;
        LPSPropTagArray out = nullptr;
        if (MAPIAllocateBuffer(CbNewSPropTagArray(n), reinterpret_cast<void**>(&out)) != S_OK)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        out->cValues = n;
        bool missing = false;
        for (ULONG i = 0; i < n; ++i) {
            const MAPINAMEID* name = names[i];
            uint16_t id = 0;
            if (name && name->lpguid && name->ulKind == MNID_ID && name->Kind.lID >= 0 && name->Kind.lID <= 0xFFFF)
                id = store->NamedId(NamedKey{GuidText(*name->lpguid), static_cast<uint16_t>(name->Kind.lID)},
                                    (flags & MAPI_CREATE) != 0);
            if (id == 0) {
                out->aulPropTag[i] = PROP_TAG(PT_ERROR, PROP_ID_NULL);
                missing = true;
            } else {
                out->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, id);
            }
        }
        *tags = out;
        return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
    }

private:
    std::unique_ptr<Source> source_;
};

}  // namespace

win::ComRef<IUnknown> MakeItemProp(std::shared_ptr<Item> item) {
    return win::ComRef<IUnknown>::Adopt(static_cast<IMAPIProp*>(new MapiProp(std::make_unique<ItemSource>(std::move(item)))));
}

win::ComRef<IUnknown> MakeFolderProp(Folder& folder) {
    return win::ComRef<IUnknown>::Adopt(static_cast<IMAPIProp*>(new MapiProp(std::make_unique<FolderSource>(folder))));
}

}  // namespace nubra::winclient
