// qoMAPIUtils: raw property reads and named property tags of the client's items and folders.

#include <string>

#include "host/win/Dispatch.h"
#include "standin_host/windows/qoMoreUtils/MapiAccess.h"
#include "standin_host/windows/qoMoreUtils/Objects.h"

namespace qomoreutils {

using nubra::win::Args;
namespace errnum = nubra::errnum;

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

class Utils : public nubra::win::DispatchServer {
public:
    Utils() {
        // GetOneProperty(Object, PropTag): Empty when the object lacks the property.
        Function(L"GetOneProperty", [](const Args& a) {
            const ComRef<IUnknown> object = UnknownOf(a[0], "GetOneProperty: the object");
            const uint32_t tag = static_cast<uint32_t>(a[1].AsLong());
            return PropertySource::Of(object.get(), "the object").ReadOne(tag);
        });
        // GetNamedPropertyTag(Object, GUID, ID, Create): the tag with type bits 0, or 0.
        Function(L"GetNamedPropertyTag", [](const Args& a) {
            const ComRef<IUnknown> object = UnknownOf(a[0], "GetNamedPropertyTag: the object");
            const GUID guid = ParseGuid(a[1].AsString());
            const uint16_t id = NameNumber(a[2]);
            const bool create = a.Or(3, Variant(false)).AsBool();
            const uint16_t propId = PropertySource::Of(object.get(), "the object").NamedId(guid, id, create);
            return Variant(static_cast<int32_t>(uint32_t{propId} << 16));
        });
        Function(L"BinaryToHex", [](const Args& a) {
            const Variant value = a[0];
            if (value.type() != Variant::Type::Bytes) nubra::RaiseError(errnum::kTypeMismatch, {}, kSource);
            return Variant(Hex(value.AsBytes()));
        });
        // Nothing is cached between searches: every table keeps what it learnt to itself.
        Function(L"Cleanup", [](const Args&) { return Variant(); });
    }
};

}  // namespace

ComRef<IDispatch> NewUtils() { return ComRef<IDispatch>::Adopt(new Utils()); }

}  // namespace qomoreutils
