// The safe item wrappers: an item's fields read through its MAPI object, so that the client
// never asks the user whether a program may read them.

#include <string>

#include "host/MAPIUtils.h"
#include "host/win/Dispatch.h"
#include "standin_host/windows/qoMoreUtils/MapiAccess.h"
#include "standin_host/windows/qoMoreUtils/Objects.h"

namespace qomoreutils {

using nubra::win::Args;
namespace errnum = nubra::errnum;
namespace mapi = nubra::mapi;

namespace {

constexpr uint32_t kPrBody = 0x1000001E;
// PSETID_Address, where a contact keeps its first e-mail address (number 0x8083).
constexpr const char* kPsetidAddress = "{00062004-0000-0000-C000-000000000046}";
constexpr uint16_t kLidEmail1Address = 0x8083;

class SafeItem : public nubra::win::DispatchServer {
public:
    explicit SafeItem(ClassKind kind) {
        Property(
            L"Item", [this](const Args&) { return item_ ? Variant(nubra::win::WrapObject(item_.get())) : Variant::Nothing(); },
            [this](const Variant& v) { item_ = UnknownOf(v, "the safe item's Item"); });
        // GetNamedPropertyTag(GUID, ID): the tag (type bits 0) in the item's store, the name
        // created when the store does not know it yet.
        Function(L"GetNamedPropertyTag", [this](const Args& a) {
            const GUID guid = ParseGuid(a[0].AsString());
            const uint16_t propId = Source().NamedId(guid, NameNumber(a[1]), true);
            return Variant(static_cast<int32_t>(uint32_t{propId} << 16));
        });
        Property(L"Body", [this](const Args&) { return Text(kPrBody); });
        if (kind != ClassKind::SafeContact) return;
        Property(L"FirstName", [this](const Args&) { return Text(static_cast<uint32_t>(mapi::PR_GIVEN_NAME)); });
        Property(L"LastName", [this](const Args&) { return Text(static_cast<uint32_t>(mapi::PR_SURNAME)); });
        Property(L"CompanyName", [this](const Args&) { return Text(static_cast<uint32_t>(mapi::PR_COMPANY_NAME)); });
        Property(L"Email1Address", [this](const Args&) {
            PropertySource source = Source();
            // Without a MAPI object the library's own name table stands in for the store's.
            const uint16_t propId = source.NamedId(ParseGuid(kPsetidAddress), kLidEmail1Address, !source.HasMapiObject());
            if (propId == 0) return Variant(std::string());
            return Variant(source.ReadOne((uint32_t{propId} << 16) | kPtUnicode).AsString());
        });
    }

private:
    PropertySource Source() const {
        if (!item_) nubra::RaiseError(errnum::kObjectVariableNotSet, "the safe item has no Item", kSource);
        return PropertySource::Of(item_.get(), "the item");
    }

    // A text field; empty when the item lacks it.
    Variant Text(uint32_t tag) const { return Variant(Source().ReadOne(tag).AsString()); }

    ComRef<IUnknown> item_;
};

}  // namespace

ComRef<IDispatch> NewSafeItem(ClassKind kind) { return ComRef<IDispatch>::Adopt(new SafeItem(kind)); }

}  // namespace qomoreutils
