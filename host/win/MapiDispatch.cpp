#include "host/win/MapiDispatch.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "host/MAPIUtils.h"

namespace nubra::win {

namespace {

using namespace mapi;

// Named property ids go as the Integer (VT_I2) the contracts give: ids from 0x8000 on arrive
// negative, and the library takes their low 16 bits.
class UtilsAdapter final : public MAPIUtils, public LateBound {
public:
    using LateBound::LateBound;
    Variant GetOneProperty(const ObjectRef& object, int32_t propTag) override {
        return object_.Call("GetOneProperty", {Variant(object), propTag});
    }
    int32_t GetNamedPropertyTag(const ObjectRef& object, const std::string& guid, int16_t id, bool create) override {
        return object_.Call("GetNamedPropertyTag", {Variant(object), guid, id, create}).AsLong();
    }
    std::string BinaryToHex(const Variant& value) override { return object_.Call("BinaryToHex", {value}).AsString(); }
    // Never fails: what the library reports is dropped.
    void Cleanup() override {
        try {
            object_.Call("Cleanup");
        } catch (const AutomationError&) {
        }
    }
};

class RestrictionAdapter final : public Restriction, public LateBound {
public:
    using LateBound::LateBound;
    int32_t Kind() override { return object_.Get("Kind").AsLong(); }
    std::shared_ptr<Restriction> Add(int32_t kind) override {
        return WrapValue<RestrictionAdapter>(object_.Call("Add", {kind}));
    }
    std::shared_ptr<Restriction> SetKind(int32_t kind) override {
        return WrapValue<RestrictionAdapter>(object_.Call("SetKind", {kind}));
    }
    void SetRelop(int32_t relop) override { object_.Put("Relop", relop); }
    void SetPropTag(int32_t tag) override { object_.Put("PropTag", tag); }
    void SetValue(const Variant& value) override { object_.Put("Value", value); }
};

class FilterAdapter final : public TableFilter, public LateBound {
public:
    using LateBound::LateBound;
    void Clear() override { object_.Call("Clear"); }
    std::shared_ptr<Restriction> SetKind(int32_t kind) override {
        return WrapValue<RestrictionAdapter>(object_.Call("SetKind", {kind}));
    }
    void Restrict() override { object_.Call("Restrict"); }
    bool FindFirst(bool forward) override { return object_.Call("FindFirst", {forward}).AsBool(); }
    bool FindNext(bool forward) override { return object_.Call("FindNext", {forward}).AsBool(); }
};

class TableAdapter final : public MAPITable, public LateBound {
public:
    using LateBound::LateBound;
    // The folder's items go as the client's own object (raises 13 for items of no client).
    void SetItem(const std::shared_ptr<outlook::Items>& items) override { object_.Put("Item", Variant(ObjectRef(items))); }
    std::shared_ptr<TableFilter> Filter() override { return WrapValue<FilterAdapter>(object_.Get("Filter")); }
    // An array of Longs (as Variants).
    void SetColumns(const std::vector<int32_t>& tags) override {
        std::vector<Variant> columns(tags.begin(), tags.end());
        object_.Put("Columns", Variant(std::move(columns)));
    }
    void GoToFirst() override { object_.Call("GoToFirst"); }
    Variant GetRow() override { return object_.Call("GetRow"); }
};

class SafeItemAdapter final : public SafeItem, public LateBound {
public:
    using LateBound::LateBound;
    void SetItem(const outlook::ItemRef& item) override { object_.Put("Item", Variant(ObjectRef(item))); }
    int32_t GetNamedPropertyTag(const std::string& guid, int16_t id) override {
        return object_.Call("GetNamedPropertyTag", {guid, id}).AsLong();
    }
    std::string Body() override { return object_.Get("Body").AsString(); }
    std::string FirstName() override { return object_.Get("FirstName").AsString(); }
    std::string LastName() override { return object_.Get("LastName").AsString(); }
    std::string CompanyName() override { return object_.Get("CompanyName").AsString(); }
    std::string Email1Address() override { return object_.Get("Email1Address").AsString(); }
};

std::string Folded(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

[[noreturn]] void CannotCreate(const std::string& progId, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    RaiseError(errnum::kCannotCreateObject,
               DefaultErrorDescription(errnum::kCannotCreateObject) + " (" + progId + ": " + code + ")");
}

}  // namespace

ObjectRef WrapLibraryObject(const std::string& progId, ComRef<IDispatch> object) {
    const std::string id = Folded(progId);
    if (id == Folded(kProgIdMAPIUtils)) return std::make_shared<UtilsAdapter>(std::move(object));
    if (id == Folded(kProgIdMAPITable)) return std::make_shared<TableAdapter>(std::move(object));
    for (const char* safe : {kProgIdSafeMailItem, kProgIdSafePostItem, kProgIdSafeContactItem,
                             kProgIdSafeAppointmentItem, kProgIdSafeTaskItem}) {
        if (id == Folded(safe)) return std::make_shared<SafeItemAdapter>(std::move(object));
    }
    return nullptr;
}

ObjectRef CreateComObject(const std::string& progId) {
    CLSID clsid{};
    const std::wstring wide = Wide(progId);
    if (HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid); FAILED(hr)) CannotCreate(progId, hr);
    ComRef<IDispatch> object;
    if (HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(object.put()));
        FAILED(hr))
        CannotCreate(progId, hr);
    if (!object) CannotCreate(progId, E_POINTER);
    if (auto library = WrapLibraryObject(progId, object)) return library;
    return std::make_shared<ComObject>(ComRef<IUnknown>(object.get()));
}

}  // namespace nubra::win
