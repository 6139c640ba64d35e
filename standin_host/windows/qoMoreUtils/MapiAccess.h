// How the library reaches the properties of the client's objects: through the MAPI object an
// item or folder offers (IMAPIProp: GetProps, GetIDsFromNames, GetNamesFromIDs), or, where
// the client offers none, through the item's PropertyAccessor and schema names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/win/Com.h"

struct IMAPIProp;

namespace qomoreutils {

using nubra::Variant;
using nubra::win::ComRef;

// IMAPIProp's interface identifier (the platform's import libraries do not carry it).
inline constexpr IID kIidIMAPIProp = {0x00020303, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The source every failure of the library names.
inline constexpr const char* kSource = "qoMoreUtils";

// The most bytes one property value may have: a store that claims more is refused.
inline constexpr std::size_t kMaxValueBytes = 64u << 20;

inline constexpr uint32_t kPtUnspecified = 0x0000;
inline constexpr uint32_t kPtI2 = 0x0002;
inline constexpr uint32_t kPtLong = 0x0003;
inline constexpr uint32_t kPtFloat = 0x0004;
inline constexpr uint32_t kPtDouble = 0x0005;
inline constexpr uint32_t kPtError = 0x000A;
inline constexpr uint32_t kPtBoolean = 0x000B;
inline constexpr uint32_t kPtString8 = 0x001E;
inline constexpr uint32_t kPtUnicode = 0x001F;
inline constexpr uint32_t kPtSysTime = 0x0040;
inline constexpr uint32_t kPtBinary = 0x0102;

inline constexpr uint32_t PropType(uint32_t tag) { return tag & 0xFFFF; }
inline constexpr uint32_t PropId(uint32_t tag) { return tag >> 16; }
inline constexpr bool IsNamedTag(uint32_t tag) { return PropId(tag) >= 0x8000 && PropId(tag) != 0xFFFF; }

// Raises `number` (an error number of host/Automation.h or a MAPI status code) with a
// description naming what failed.
[[noreturn]] void Fail(int32_t number, const std::string& description);
// Raises the failure `hr` a MAPI call returned; `what` names the call and what it was about.
[[noreturn]] void FailHr(HRESULT hr, const std::string& what);

// The interface pointer an argument carries; raises MAPI_E_INVALID_PARAMETER naming `role`
// for a value that is no object (Nothing gives an empty reference).
ComRef<IUnknown> UnknownOf(const Variant& value, const std::string& role);

// "0x0037001E": a tag as upper-case hex with eight digits.
std::string HexTag(uint32_t tag);

// A GUID from its braced text form; raises MAPI_E_INVALID_PARAMETER for anything else.
GUID ParseGuid(const std::string& text);
// The braced upper-case text form of a GUID.
std::string GuidText(const GUID& guid);

// A named property's number as the caller gives it: an Integer (0x8083 arrives as -32637) or
// a Long. Raises MAPI_E_INVALID_PARAMETER for one out of range.
uint16_t NameNumber(const Variant& value);

// The name of a named property: a property set and a number or a text.
struct PropertyName {
    GUID guid{};
    bool isText = false;
    uint16_t id = 0;
    std::string text;  // UTF-8, when isText
};

// The schema name the client's PropertyAccessor and filters know a property by:
// ".../mapi/proptag/0xTTTTTTTT" for a tag, ".../mapi/id/{GUID}/IIIITTTT" for a numbered
// name, ".../mapi/string/{GUID}/name" for a text name.
std::string ProptagSchema(uint32_t tag);
std::string NamedSchema(const PropertyName& name, uint32_t type);

// The library's own tags for named properties of objects that offer no MAPI object: handed
// out from 0x8000 per (property set, number), stable for the life of the process.
uint32_t OwnNamedId(const GUID& guid, uint16_t id, bool create);
// The name behind one of those tags; false when the library never handed it out.
bool OwnName(uint32_t propId, PropertyName& name);

// What the library reads the properties of one client object through. (The MAPI headers stay
// out of this header: their macros take the names host/MAPIUtils.h gives its constants.)
class PropertySource {
public:
    // `object` is an item or folder of the client (an automation object whose MAPIOBJECT
    // offers IMAPIProp) or such a MAPI object itself. `role` names it in failures ("the
    // item"). Raises MAPI_E_INVALID_PARAMETER for null or an object that is neither.
    static PropertySource Of(IUnknown* object, const std::string& role);

    // The values of `tags` read at once: text (PT_STRING8 / PT_UNICODE) as UTF-8, Long,
    // Integer, Boolean, Date (UTC) for PT_SYSTIME, bytes for PT_BINARY, Double; Empty for a
    // property the object lacks. Raises the store's failure, MAPI_E_CORRUPT_DATA for a value
    // that cannot be read (wrong answer, unknown type, larger than kMaxValueBytes).
    std::vector<Variant> Read(const std::vector<uint32_t>& tags);
    Variant ReadOne(uint32_t tag) { return Read({tag}).front(); }

    // The identifier (0x8000..0xFFFE) of a named property in the object's store; 0 when the
    // store does not know the name and `create` is False. Raises the store's failure.
    uint16_t NamedId(const GUID& guid, uint16_t id, bool create);

    // The schema name of `tag` for filters and the PropertyAccessor: the name of a named tag
    // is asked of the store (GetNamesFromIDs). Raises MAPI_E_NOT_FOUND for a named tag the
    // store has no name for.
    std::string SchemaName(uint32_t tag);

    bool HasMapiObject() const noexcept { return static_cast<bool>(mapi_); }

private:
    std::vector<Variant> ReadByAccessor(const std::vector<uint32_t>& tags);
    Variant ReadStream(uint32_t tag);
    ::IMAPIProp* Mapi() const;

    ComRef<IUnknown> mapi_;  // the object's IMAPIProp
    ComRef<IDispatch> item_;
    std::string role_;
};

}  // namespace qomoreutils
