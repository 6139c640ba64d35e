// qoMoreUtils.dll driven through its exports, over a tiny client of our own (items whose
// MAPIOBJECT offers IMAPIProp, Items that record the filters they are given): what the
// end-to-end runs cannot show. The filter text of every restriction kind, values converted to
// their property's type, failures that leave the table as it was, backward finds, values the
// store hands out as streams or lies about, the PropertyAccessor path, and registration that
// removes exactly what it wrote.

#include <mapidefs.h>
#include <mapicode.h>
#include <mapix.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/AutomationDates.h"
#include "host/win/Dispatch.h"
#include "standin_host/windows/qoMoreUtils/qoMoreUtilsIds.h"

using nubra::AutomationError;
using nubra::Variant;
using nubra::win::Args;
using nubra::win::ComRef;
using nubra::win::Dispatch;
using nubra::win::DispatchServer;
namespace errnum = nubra::errnum;

namespace {

int gFailures = 0;

void Expect(bool ok, const std::string& what) {
    if (ok) return;
    ++gFailures;
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

constexpr IID kIidIMAPIProp = {0x00020303, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kPsetidTask = {0x00062003, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kPsetidAddress = {0x00062004, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kPsPublicStrings = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr const char* kTaskSet = "{00062003-0000-0000-C000-000000000046}";
constexpr const char* kAddressSet = "{00062004-0000-0000-C000-000000000046}";

constexpr int32_t kResAnd = 0, kResNot = 2, kResProperty = 4, kResExist = 8;
constexpr int32_t kRelopLt = 0, kRelopLe = 1, kRelopGe = 3, kRelopEq = 4, kRelopNe = 5;
constexpr uint32_t kPrEntryId = 0x0FFF0102, kPrSubject = 0x0037001E, kPrSubmitTime = 0x00390040;
constexpr uint32_t kPrBody = 0x1000001E, kPrGivenName = 0x3A06001E, kPrImportance = 0x00170003;

// ---- The client's side ---------------------------------------------------------------------

// A named property of the store: set and number or text.
struct Name {
    GUID guid;
    LONG id;
    std::wstring text;
};

// One property value as the store keeps it.
struct Value {
    uint32_t type = PT_LONG;
    LONG l = 0;
    FILETIME ft{};
    std::wstring text;
    std::string text8;
    std::vector<uint8_t> bytes;
};

// The named properties of one store (shared by its folder and items), from 0x8000 on.
struct Names {
    std::vector<Name> names;
};

// A MAPI object: IMAPIProp over a table of values. `streamBody` hands the body out as a
// stream only, as a store does for large values; `extraValue` answers with one value too many.
class Prop : public IMAPIProp {
public:
    explicit Prop(Names& names) : names_(names) {}
    std::map<uint32_t, Value> values;  // by property identifier
    bool streamBody = false;
    bool extraValue = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kIidIMAPIProp)) return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* out) override {
        const ULONG n = tags->cValues + (extraValue ? 1 : 0);
        SPropValue* v = nullptr;
        MAPIAllocateBuffer(sizeof(SPropValue) * n, reinterpret_cast<void**>(&v));
        bool errors = false;
        for (ULONG i = 0; i < n; ++i) {
            const ULONG tag = tags->aulPropTag[i < tags->cValues ? i : 0];
            v[i] = SPropValue{};
            auto it = values.find(PROP_ID(tag));
            if (it == values.end() || (streamBody && PROP_ID(tag) == 0x1000)) {
                v[i].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
                v[i].Value.err = it == values.end() ? MAPI_E_NOT_FOUND : MAPI_E_NOT_ENOUGH_MEMORY;
                errors = true;
                continue;
            }
            const Value& x = it->second;
            v[i].ulPropTag = PROP_TAG(x.type, PROP_ID(tag));
            switch (x.type) {
                case PT_UNICODE: {
                    // Asked for 8-bit text, a store gives it in the code page.
                    if (PROP_TYPE(tag) == PT_STRING8) {
                        v[i].ulPropTag = tag;
                        std::string a(x.text.begin(), x.text.end());
                        MAPIAllocateMore(a.size() + 1, v, reinterpret_cast<void**>(&v[i].Value.lpszA));
                        memcpy(v[i].Value.lpszA, a.c_str(), a.size() + 1);
                        break;
                    }
                    const size_t bytes = (x.text.size() + 1) * sizeof(wchar_t);
                    MAPIAllocateMore(bytes, v, reinterpret_cast<void**>(&v[i].Value.lpszW));
                    memcpy(v[i].Value.lpszW, x.text.c_str(), bytes);
                    break;
                }
                case PT_STRING8:
                    MAPIAllocateMore(x.text8.size() + 1, v, reinterpret_cast<void**>(&v[i].Value.lpszA));
                    memcpy(v[i].Value.lpszA, x.text8.c_str(), x.text8.size() + 1);
                    break;
                case PT_BINARY:
                    v[i].Value.bin.cb = static_cast<ULONG>(x.bytes.size());
                    MAPIAllocateMore(x.bytes.size() + 1, v, reinterpret_cast<void**>(&v[i].Value.bin.lpb));
                    memcpy(v[i].Value.bin.lpb, x.bytes.data(), x.bytes.size());
                    break;
                case PT_SYSTIME: v[i].Value.ft = x.ft; break;
                case PT_BOOLEAN: v[i].Value.b = static_cast<unsigned short>(x.l); break;
                default: v[i].Value.l = x.l; break;
            }
        }
        *count = n;
        *out = v;
        return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG, LPUNKNOWN* out) override {
        auto it = values.find(PROP_ID(tag));
        if (it == values.end() || !IsEqualIID(*iid, IID_IStream)) return MAPI_E_NOT_FOUND;
        const std::wstring& text = it->second.text;
        IStream* stream = nullptr;
        CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        ULONG written = 0;
        stream->Write(text.c_str(), static_cast<ULONG>(text.size() * sizeof(wchar_t)), &written);
        LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        *out = stream;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                     LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                        LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE GetNamesFromIDs(LPSPropTagArray* tags, LPGUID, ULONG, ULONG* count,
                                              LPMAPINAMEID** out) override {
        const ULONG n = (*tags)->cValues;
        MAPINAMEID** names = nullptr;
        MAPIAllocateBuffer(sizeof(MAPINAMEID*) * n, reinterpret_cast<void**>(&names));
        for (ULONG i = 0; i < n; ++i) {
            names[i] = nullptr;
            const ULONG index = PROP_ID((*tags)->aulPropTag[i]) - 0x8000;
            if (index >= names_.names.size()) continue;
            const Name& name = names_.names[index];
            MAPIAllocateMore(sizeof(MAPINAMEID), names, reinterpret_cast<void**>(&names[i]));
            names[i]->lpguid = const_cast<GUID*>(&name.guid);
            names[i]->ulKind = name.text.empty() ? MNID_ID : MNID_STRING;
            if (name.text.empty()) names[i]->Kind.lID = name.id;
            else names[i]->Kind.lpwstrName = const_cast<wchar_t*>(name.text.c_str());
        }
        *count = n;
        *out = names;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsFromNames(ULONG n, LPMAPINAMEID* asked, ULONG flags, LPSPropTagArray* out) override {
        SPropTagArray* tags = nullptr;
        MAPIAllocateBuffer(CbNewSPropTagArray(n), reinterpret_cast<void**>(&tags));
        tags->cValues = n;
        bool errors = false;
        for (ULONG i = 0; i < n; ++i) {
            ULONG found = 0;
            for (size_t k = 0; k < names_.names.size(); ++k) {
                if (IsEqualGUID(names_.names[k].guid, *asked[i]->lpguid) && names_.names[k].id == asked[i]->Kind.lID)
                    found = PROP_TAG(PT_UNSPECIFIED, 0x8000 + k);
            }
            if (!found && (flags & MAPI_CREATE)) {
                names_.names.push_back({*asked[i]->lpguid, asked[i]->Kind.lID, {}});
                found = PROP_TAG(PT_UNSPECIFIED, 0x8000 + names_.names.size() - 1);
            }
            if (!found) {
                found = PROP_TAG(PT_ERROR, 0);
                errors = true;
            }
            tags->aulPropTag[i] = found;
        }
        *out = tags;
        return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    }

private:
    virtual ~Prop() = default;
    Names& names_;
    ULONG refs_ = 1;
};

ComRef<Prop> NewProp(Names& names) { return ComRef<Prop>::Adopt(new Prop(names)); }

// An item of the client: its MAPIOBJECT, or with none only a PropertyAccessor over `accessor`
// (schema name -> value).
class Item : public DispatchServer {
public:
    Item(ComRef<Prop> prop, std::map<std::string, Variant> accessor = {}) : prop_(std::move(prop)), accessor_(std::move(accessor)) {
        if (prop_) Property(L"MAPIOBJECT", [this](const Args&) { return Variant(nubra::win::WrapObject(prop_.get())); });
        Property(L"PropertyAccessor", [this](const Args&) { return Variant(Accessor::New(this)->AsObject()); });
    }
    std::vector<std::string> asked;  // schema names the accessor was asked for

private:
    class Accessor : public DispatchServer {
    public:
        static ComRef<Accessor> New(Item* item) { return ComRef<Accessor>::Adopt(new Accessor(item)); }
        explicit Accessor(Item* item) : item_(item) {
            item_->AddRef();
            Function(L"GetProperty", [this](const Args& a) {
                const std::string schema = a[0].AsString();
                item_->asked.push_back(schema);
                auto it = item_->accessor_.find(schema);
                if (it == item_->accessor_.end()) nubra::RaiseError(errnum::kMapiNotFound, "no such property");
                return it->second;
            });
        }
        ~Accessor() override { item_->Release(); }
        Item* item_;
    };
    ComRef<Prop> prop_;
    std::map<std::string, Variant> accessor_;
};

// A folder's items (or the ones a filter left): Count, Item, Restrict, Parent. `decide` tells
// which items a filter keeps; every filter given is recorded in `filters`.
struct FolderData {
    Names names;
    ComRef<Prop> folderProp;
    std::vector<ComRef<IDispatch>> items;
    std::vector<std::string> filters;
    std::function<bool(std::size_t index, const std::string& filter)> decide = [](std::size_t, const std::string&) { return true; };
    bool refuse = false;  // Restrict fails
};

class Folder : public DispatchServer {
public:
    explicit Folder(FolderData& data) : data_(data) {
        Property(L"MAPIOBJECT", [this](const Args&) { return Variant(nubra::win::WrapObject(data_.folderProp.get())); });
    }

private:
    FolderData& data_;
};

class Items : public DispatchServer {
public:
    Items(FolderData& data, std::vector<std::size_t> members) : data_(data), members_(std::move(members)) {
        Property(L"Count", [this](const Args&) { return Variant(static_cast<int32_t>(members_.size())); });
        Function(L"Item", [this](const Args& a) {
            const int32_t i = a[0].AsLong();
            if (i < 1 || i > static_cast<int32_t>(members_.size())) nubra::RaiseError(errnum::kSubscriptOutOfRange);
            return Variant(nubra::win::WrapObject(data_.items[members_[static_cast<std::size_t>(i - 1)]].get()));
        });
        Function(L"Restrict", [this](const Args& a) {
            const std::string filter = a[0].AsString();
            data_.filters.push_back(filter);
            if (data_.refuse) nubra::RaiseError(errnum::kMapiCallFailed, "the filter is refused");
            std::vector<std::size_t> kept;
            for (std::size_t m : members_)
                if (data_.decide(m, filter)) kept.push_back(m);
            return Variant(ComRef<Items>::Adopt(new Items(data_, kept))->AsObject());
        });
        Property(L"Parent", [this](const Args&) { return Variant(ComRef<Folder>::Adopt(new Folder(data_))->AsObject()); });
    }

private:
    FolderData& data_;
    std::vector<std::size_t> members_;
};

// ---- The library's side --------------------------------------------------------------------

HMODULE gDll = nullptr;

Dispatch Create(qomoreutils::ClassKind kind) {
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(gDll, "DllGetClassObject")));
    ComRef<IClassFactory> factory;
    nubra::win::Check(get(qomoreutils::kClasses[static_cast<int>(kind)].clsid, IID_IClassFactory,
                          reinterpret_cast<void**>(factory.put())),
                      "DllGetClassObject");
    ComRef<IDispatch> object;
    nubra::win::Check(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(object.put())),
                      "CreateInstance");
    return Dispatch(object);
}

// The error number a step raises, 0 when it raises none.
int32_t Raised(const std::function<void()>& step, std::string* description = nullptr) {
    try {
        step();
        return 0;
    } catch (const AutomationError& e) {
        if (description) *description = e.Description();
        return e.Number();
    }
}

FILETIME FileTime(nubra::Date utc) {
    const int64_t ft = nubra::dates::DateToFileTime(utc);
    return FILETIME{static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
}

std::string DateText(nubra::Date d) {
    BSTR text = nullptr;
    VarBstrFromDate(d, LOCALE_USER_DEFAULT, 0, &text);
    std::string out = nubra::win::Utf8(text, SysStringLen(text));
    SysFreeString(text);
    return out;
}

const std::string kTag = "http://schemas.microsoft.com/mapi/proptag/";
const std::string kId = "http://schemas.microsoft.com/mapi/id/";

// A table over a folder of `n` items, with a filter made.
struct Search {
    FolderData data;
    Dispatch table, filter, top;

    explicit Search(int n) {
        data.folderProp = NewProp(data.names);
        for (int i = 0; i < n; ++i) {
            auto prop = NewProp(data.names);
            prop->values[PROP_ID(kPrEntryId)] = Value{PT_BINARY, 0, {}, {}, {}, {static_cast<uint8_t>(0xA0 + i), 0x0F}};
            prop->values[PROP_ID(kPrSubject)] = Value{PT_UNICODE, 0, {}, L"S" + std::to_wstring(i), {}, {}};
            data.items.push_back(ComRef<IDispatch>::Adopt(new Item(prop)));
        }
        std::vector<std::size_t> all;
        for (int i = 0; i < n; ++i) all.push_back(static_cast<std::size_t>(i));
        table = Create(qomoreutils::ClassKind::Table);
        table.Put("Item", Variant(ComRef<Items>::Adopt(new Items(data, all))->AsObject()));
        table.Put("Columns", Variant(std::vector<Variant>{Variant(static_cast<int32_t>(kPrEntryId)),
                                                          Variant(static_cast<int32_t>(kPrSubject))}));
        filter = Dispatch(table.Get("Filter"));
        filter.Call("Clear");
        top = Dispatch(filter.Call("SetKind", {Variant(kResAnd)}));
    }
    void Property(int32_t relop, uint32_t tag, const Variant& value) {
        Dispatch c(top.Call("Add", {Variant(kResProperty)}));
        c.Put("Relop", Variant(relop));
        c.Put("PropTag", Variant(static_cast<int32_t>(tag)));
        c.Put("Value", value);
    }
    void NotExist(uint32_t tag) {
        Dispatch n(top.Call("Add", {Variant(kResNot)}));
        Dispatch(n.Call("SetKind", {Variant(kResExist)})).Put("PropTag", Variant(static_cast<int32_t>(tag)));
    }
    // The subjects of the rows the walk gives from here on.
    std::string Rows() {
        std::string out;
        for (;;) {
            const Variant row = table.Call("GetRow");
            if (row.IsEmpty()) return out;
            out += row.AsArray().at(1).AsString() + " ";
        }
    }
    uint32_t Named(const GUID& set, LONG id) {
        data.names.names.push_back({set, id, {}});
        return static_cast<uint32_t>(0x8000 + data.names.names.size() - 1) << 16;
    }
};

// The filter text of every kind of condition, with each value written as its property's
// type wants it.
void FilterTexts() {
    const nubra::Date when = nubra::dates::MakeDate(2024, 3, 5, 14, 7, 9);
    struct Case {
        const char* what;
        std::function<void(Search&)> build;
        std::function<std::string(Search&)> expected;
    };
    const Case cases[] = {
        {"text, quotes doubled", [](Search& s) { s.Property(kRelopEq, kPrSubject, Variant("It's 'quoted'")); },
         [](Search&) { return "@SQL=\"" + kTag + "0x0037001E\" = 'It''s ''quoted'''"; }},
        {"number on a named PT_LONG tag, given as text",
         [](Search& s) { s.Property(kRelopEq, s.Named(kPsetidTask, 0x8101) | PT_LONG, Variant("2")); },
         [](Search&) { return "@SQL=\"" + kId + kTaskSet + "/81010003\" = 2"; }},
        {"dates either side, UTC unchanged",
         [when](Search& s) {
             s.Property(kRelopGe, kPrSubmitTime, Variant::FromDate(when));
             s.Property(kRelopLe, kPrSubmitTime, Variant::FromDate(when + 1));
         },
         [when](Search&) {
             return "@SQL=\"" + kTag + "0x00390040\" >= '" + DateText(when) + "' AND \"" + kTag + "0x00390040\" <= '" +
                    DateText(when + 1) + "'";
         }},
        {"a named date property that must be absent",
         [](Search& s) { s.NotExist(s.Named(kPsetidTask, 0x8104) | PT_SYSTIME); },
         [](Search&) { return "@SQL=\"" + kId + kTaskSet + "/81040040\" IS NULL"; }},
        {"a property that must be present, other operators",
         [](Search& s) {
             Dispatch(s.top.Call("Add", {Variant(kResExist)})).Put("PropTag", Variant(static_cast<int32_t>(kPrGivenName)));
             s.Property(kRelopNe, kPrImportance, Variant(int16_t{1}));
             s.Property(kRelopLt, kPrImportance, Variant(int32_t{-3}));
         },
         [](Search&) {
             return "@SQL=\"" + kTag + "0x3A06001E\" IS NOT NULL AND \"" + kTag + "0x00170003\" <> 1 AND \"" + kTag +
                    "0x00170003\" < -3";
         }},
        {"a property named by text", [](Search& s) {
             s.data.names.names.push_back({kPsPublicStrings, 0, L"Keywords"});
             s.Property(kRelopEq, (0x8000u + static_cast<uint32_t>(s.data.names.names.size()) - 1) << 16 | PT_UNICODE,
                        Variant("x"));
         },
         [](Search&) { return "@SQL=\"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/Keywords\" = 'x'"; }},
    };
    for (const Case& c : cases) {
        Search s(1);
        c.build(s);
        std::string error;
        Expect(Raised([&] { s.filter.Call("Restrict"); }, &error) == 0, std::string(c.what) + ": " + error);
        const std::string expected = c.expected(s);
        Expect(s.data.filters.size() == 1 && s.data.filters[0] == expected,
               std::string(c.what) + ": got " + (s.data.filters.empty() ? "nothing" : s.data.filters[0]) + ", want " + expected);
    }
}

// Every failure has its number, and a refused filter leaves the table restricted as before.
void Failures() {
    struct Case {
        const char* what;
        std::function<void(Search&)> step;
        int32_t number;
    };
    const Case cases[] = {
        {"a property condition without its value",
         [](Search& s) {
             Dispatch c(s.top.Call("Add", {Variant(kResProperty)}));
             c.Put("Relop", Variant(kRelopEq));
             c.Put("PropTag", Variant(static_cast<int32_t>(kPrSubject)));
             s.filter.Call("Restrict");
         },
         errnum::kMapiInvalidParameter},
        {"a not without what it negates",
         [](Search& s) {
             s.top.Call("Add", {Variant(kResNot)});
             s.filter.Call("FindFirst", {Variant(true)});
         },
         errnum::kMapiInvalidParameter},
        {"Add on a property condition", [](Search& s) { Dispatch(s.top.Call("Add", {Variant(kResProperty)})).Call("Add", {Variant(kResExist)}); },
         errnum::kMemberNotSupported},
        {"Value on a not", [](Search& s) { Dispatch(s.top.Call("Add", {Variant(kResNot)})).Put("Value", Variant("x")); },
         errnum::kMemberNotSupported},
        {"an unknown kind", [](Search& s) { s.top.Call("Add", {Variant(int32_t{77})}); }, errnum::kInvalidProcedureCall},
        {"a top restriction other than AND", [](Search& s) { s.filter.Call("SetKind", {Variant(kResNot)}); },
         errnum::kInvalidProcedureCall},
        {"text that is no number for a PT_LONG tag",
         [](Search& s) {
             s.Property(kRelopEq, kPrImportance, Variant("high"));
             s.filter.Call("Restrict");
         },
         errnum::kTypeMismatch},
        {"a named tag the folder's store has no name for",
         [](Search& s) {
             s.Property(kRelopEq, 0x81230003, Variant(int32_t{1}));
             s.filter.Call("Restrict");
         },
         errnum::kMapiNotFound},
        {"the client refuses the filter",
         [](Search& s) {
             s.Property(kRelopEq, kPrSubject, Variant("x"));
             s.data.refuse = true;
             s.filter.Call("Restrict");
         },
         errnum::kMapiCallFailed},
    };
    for (const Case& c : cases) {
        Search s(3);
        // Restricted to the last two items before the failing step.
        s.Property(kRelopEq, kPrSubject, Variant("first"));
        s.data.decide = [](std::size_t i, const std::string&) { return i > 0; };
        s.filter.Call("Restrict");
        s.data.decide = [](std::size_t, const std::string&) { return false; };
        std::string description;
        const int32_t number = Raised([&] { c.step(s); }, &description);
        Expect(number == c.number, std::string(c.what) + ": raised " + std::to_string(number) + " " + description);
        Expect(!description.empty(), std::string(c.what) + ": no description");
        s.table.Call("GoToFirst");
        const std::string rows = s.Rows();
        Expect(rows == "S1 S2 ", std::string(c.what) + ": the table now gives " + rows);
    }
}

// Finds walk the matching rows forwards and backwards, GetRow going on from the row found.
void Finds() {
    Search s(5);
    s.Property(kRelopEq, kPrSubject, Variant("odd"));
    s.data.decide = [](std::size_t i, const std::string&) { return i % 2 == 1; };
    struct Step {
        const char* call;
        bool forward;
        bool found;
        const char* row;  // subject of the next GetRow, "" for Empty
    };
    const Step steps[] = {
        {"FindFirst", false, true, "S3"}, {"FindNext", false, true, "S1"}, {"FindNext", false, false, ""},
        {"FindFirst", true, true, "S1"},  {"FindNext", true, true, "S3"},  {"FindNext", true, false, ""},
    };
    for (const Step& step : steps) {
        const bool found = s.filter.Call(step.call, {Variant(step.forward)}).AsBool();
        const Variant row = s.table.Call("GetRow");
        const std::string subject = row.IsEmpty() ? "" : row.AsArray().at(1).AsString();
        Expect(found == step.found && subject == step.row,
               std::string(step.call) + (step.forward ? " forward" : " backward") + ": " + (found ? "found " : "none ") + subject);
    }
    // Clear lifts the restriction a Restrict made.
    s.filter.Call("Restrict");
    s.filter.Call("Clear");
    s.table.Call("GoToFirst");
    Expect(s.Rows() == "S0 S1 S2 S3 S4 ", "Clear: every row again");
}

// Values as the store hands them out: converted, streamed, absent, or lied about.
void Values() {
    Names names;
    auto prop = NewProp(names);
    const nubra::Date sent = nubra::dates::MakeDate(2023, 12, 31, 23, 59, 58);
    prop->values[0x0039] = Value{PT_SYSTIME, 0, FileTime(sent), {}, {}, {}};
    prop->values[0x0037] = Value{PT_UNICODE, 0, {}, L"Gr\u00FC\u00DFe \u263A", {}, {}};
    prop->values[0x0070] = Value{PT_STRING8, 0, {}, {}, "plain", {}};
    prop->values[0x1000] = Value{PT_UNICODE, 0, {}, std::wstring(40000, L'\u00E9'), {}, {}};
    prop->values[0x0017] = Value{PT_LONG, 2, {}, {}, {}, {}};
    prop->values[0x3A06] = Value{PT_UNICODE, 0, {}, L"Ann", {}, {}};
    prop->streamBody = true;
    auto item = ComRef<IDispatch>::Adopt(new Item(prop));
    Dispatch utils = Create(qomoreutils::ClassKind::Utils);
    const Variant itemRef(nubra::win::WrapObject(item.get()));
    const Variant mapiRef(nubra::win::WrapObject(prop.get()));
    auto get = [&](const Variant& object, uint32_t tag) {
        return utils.Call("GetOneProperty", {object, Variant(static_cast<int32_t>(tag))});
    };
    const std::string body = get(itemRef, kPrBody).AsString();
    struct Case {
        const char* what;
        Variant got;
        Variant want;
    };
    const Case cases[] = {
        {"submit time as a UTC date", get(mapiRef, kPrSubmitTime), Variant::FromDate(sent)},
        {"8-bit text asked, Unicode kept", get(itemRef, kPrSubject), Variant("Gr\u00FC\u00DFe \u263A")},
        {"8-bit text stored", get(mapiRef, 0x0070001E), Variant("plain")},
        {"a long", get(mapiRef, kPrImportance), Variant(int32_t{2})},
        {"absent", get(mapiRef, 0x1035001E), Variant()},
        {"a body too large for GetProps", Variant(body.size() == 80000 && body.substr(0, 2) == "\u00E9"), Variant(true)},
        {"hex of bytes", utils.Call("BinaryToHex", {Variant(std::vector<uint8_t>{0x00, 0xAB, 0x7F})}), Variant("00AB7F")},
    };
    for (const Case& c : cases) Expect(c.got == c.want, std::string(c.what) + ": got " + c.got.AsString());

    Expect(Raised([&] { utils.Call("BinaryToHex", {Variant("00")}); }) == errnum::kTypeMismatch, "BinaryToHex of text");
    Expect(Raised([&] { get(Variant(int32_t{5}), kPrSubject); }) == errnum::kMapiInvalidParameter, "GetOneProperty of a number");
    prop->extraValue = true;
    Expect(Raised([&] { get(mapiRef, kPrSubject); }) == errnum::kMapiCorruptData, "a store that answers with more values");
    prop->extraValue = false;

    // Named tags: 0 for a name the store does not know unless created; the wrappers create.
    auto tag = [&](const Variant& object, int16_t id, bool create) {
        return utils.Call("GetNamedPropertyTag", {object, Variant(kAddressSet), Variant(id), Variant(create)}).AsLong();
    };
    Expect(tag(itemRef, static_cast<int16_t>(0x8083), false) == 0, "unknown name without Create");
    Dispatch contact = Create(qomoreutils::ClassKind::SafeContact);
    contact.Put("Item", itemRef);
    Expect(contact.Get("Email1Address").AsString().empty(), "Email1Address of a contact without one");
    const int32_t created = contact.Call("GetNamedPropertyTag", {Variant(kAddressSet), Variant(static_cast<int16_t>(0x8083))}).AsLong();
    Expect(created == static_cast<int32_t>(0x80000000) && tag(itemRef, static_cast<int16_t>(0x8083), false) == created,
           "the created name is the store's: " + std::to_string(created));
    prop->values[0x8000] = Value{PT_UNICODE, 0, {}, L"ann@example.org", {}, {}};
    Expect(contact.Get("Email1Address").AsString() == "ann@example.org", "Email1Address");
    Expect(contact.Get("FirstName").AsString() == "Ann" && contact.Get("LastName").AsString().empty(), "contact names");
    Dispatch mail = Create(qomoreutils::ClassKind::SafeMail);
    mail.Put("Item", itemRef);
    Expect(mail.Get("Body").AsString() == body, "Body of the mail wrapper");
    Expect(Raised([&] { mail.Get("FirstName"); }) == errnum::kMemberNotSupported, "FirstName of a mail wrapper");

    // An item without a MAPI object is read through its PropertyAccessor.
    auto bare = ComRef<Item>::Adopt(new Item({}, {{kTag + "0x0037001E", Variant("by accessor")},
                                                   {kId + kAddressSet + "/8083001F", Variant("bob@example.org")}}));
    const Variant bareRef(nubra::win::WrapObject(static_cast<IDispatch*>(bare.get())));
    Expect(get(bareRef, kPrSubject) == Variant("by accessor"), "accessor: subject");
    Expect(get(bareRef, kPrGivenName).IsEmpty(), "accessor: absent");
    contact.Put("Item", bareRef);
    Expect(contact.Get("Email1Address").AsString() == "bob@example.org", "accessor: Email1Address by its schema name");
}

// Registration writes ProgID -> CLSID -> InprocServer32 and removes exactly that.
void Registration() {
    using Export = HRESULT(WINAPI*)();
    auto reg = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(gDll, "DllRegisterServer")));
    auto unreg = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(gDll, "DllUnregisterServer")));
    Expect(reg() == S_OK, "DllRegisterServer");
    for (const auto& c : qomoreutils::kClasses) {
        std::wstring lower(c.progId);
        for (auto& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
        CLSID clsid{};
        Expect(SUCCEEDED(CLSIDFromProgID(lower.c_str(), &clsid)) && IsEqualCLSID(clsid, c.clsid),
               "ProgID " + nubra::win::Utf8(c.progId));
        ComRef<IDispatch> object;
        Expect(SUCCEEDED(CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                          reinterpret_cast<void**>(object.put()))),
               "CoCreateInstance " + nubra::win::Utf8(c.progId));
    }
    // A value someone else keeps in one of our keys stays, and so does its key.
    wchar_t clsid[40];
    StringFromGUID2(qomoreutils::kClasses[0].clsid, clsid, 40);
    const std::wstring classKey = std::wstring(L"Software\\Classes\\CLSID\\") + clsid;
    RegSetKeyValueW(HKEY_CURRENT_USER, classKey.c_str(), L"Theirs", REG_SZ, L"x", 4);
    Expect(unreg() == S_OK, "DllUnregisterServer");
    auto exists = [](HKEY root, const std::wstring& key) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return true;
    };
    Expect(exists(HKEY_CURRENT_USER, classKey) && !exists(HKEY_CURRENT_USER, classKey + L"\\InprocServer32"),
           "the class key keeps what is not ours");
    for (const auto& c : qomoreutils::kClasses) {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            Expect(!exists(root, std::wstring(L"Software\\Classes\\") + c.progId), "ProgID removed: " + nubra::win::Utf8(c.progId));
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, classKey.c_str());
}

}  // namespace

int main() {
    nubra::win::ComApartment apartment;
    gDll = LoadLibraryW(L"qoMoreUtils.dll");
    if (!gDll) {
        std::fprintf(stderr, "qoMoreUtils.dll does not load\n");
        return 2;
    }
    const std::pair<const char*, void (*)()> groups[] = {
        {"filter texts", FilterTexts}, {"failures", Failures}, {"finds", Finds},
        {"values", Values},            {"registration", Registration},
    };
    for (const auto& [name, run] : groups) {
        try {
            run();
        } catch (const AutomationError& e) {
            Expect(false, std::string(name) + ": " + std::to_string(e.Number()) + " " + e.Description());
        }
    }
    std::printf("%s\n", gFailures == 0 ? "qomoreutils_test: all passed" : "qomoreutils_test: FAILED");
    return gFailures == 0 ? 0 : 1;
}
