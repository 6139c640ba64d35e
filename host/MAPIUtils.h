// What the system requires of the MAPI utility library: raw property reads, named property
// tags, contents-table searches and wrappers that read item fields without prompting.
//
// Its objects are created by ProgID (see ClassRegistry.h). Every member may fail: it then
// raises AutomationError (MAPI status codes are negative) and leaves the object as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/Outlook.h"

namespace nubra::mapi {

// Property types and the fixed tags the engine uses.
inline constexpr uint32_t PT_LONG = 0x0003;
inline constexpr uint32_t PT_BOOLEAN = 0x000B;
inline constexpr uint32_t PT_STRING8 = 0x001E;
inline constexpr uint32_t PT_SYSTIME = 0x0040;
inline constexpr uint32_t PT_BINARY = 0x0102;

inline constexpr int32_t PR_ENTRYID = 0x0FFF0102;
inline constexpr int32_t PR_SUBJECT = 0x0037001E;
inline constexpr int32_t PR_CONVERSATION_TOPIC = 0x0070001E;
inline constexpr int32_t PR_CLIENT_SUBMIT_TIME = 0x00390040;
inline constexpr int32_t PR_INTERNET_MESSAGE_ID = 0x1035001E;
inline constexpr int32_t PR_GIVEN_NAME = 0x3A06001E;
inline constexpr int32_t PR_SURNAME = 0x3A11001E;
inline constexpr int32_t PR_COMPANY_NAME = 0x3A16001E;

// Restriction kinds and relational operators.
inline constexpr int32_t RES_AND = 0;
inline constexpr int32_t RES_NOT = 2;
inline constexpr int32_t RES_PROPERTY = 4;
inline constexpr int32_t RES_EXIST = 8;
inline constexpr int32_t RELOP_LE = 1;
inline constexpr int32_t RELOP_GE = 3;
inline constexpr int32_t RELOP_EQ = 4;

// ProgIDs of the library's creatable classes.
inline constexpr const char* kProgIdMAPIUtils = "qoMoreUtils.qoMAPIUtils";
inline constexpr const char* kProgIdMAPITable = "qoMoreUtils.qoMAPITable";
inline constexpr const char* kProgIdSafeMailItem = "qoMoreUtils.qoSafeMailItem";
inline constexpr const char* kProgIdSafePostItem = "qoMoreUtils.qoSafePostItem";
inline constexpr const char* kProgIdSafeContactItem = "qoMoreUtils.qoSafeContactItem";
inline constexpr const char* kProgIdSafeAppointmentItem = "qoMoreUtils.qoSafeAppointmentItem";
inline constexpr const char* kProgIdSafeTaskItem = "qoMoreUtils.qoSafeTaskItem";

class MAPIUtils : public Object {
public:
    // The value of one property of an item's MAPIOBJECT or of the item itself: text for
    // PT_STRING8, Long for PT_LONG, Date (UTC) for PT_SYSTIME, bytes for PT_BINARY, Boolean
    // for PT_BOOLEAN. Empty when the item lacks the property. Raises MAPI_E_INVALID_PARAMETER
    // for an object that is neither, MAPI_E_CORRUPT_DATA when the value cannot be read.
    virtual Variant GetOneProperty(const ObjectRef& object, int32_t propTag) = 0;
    // The tag (identifier in the high 16 bits, type bits 0) of a named property in the store
    // of a folder or item. With `create` False a name the store has never seen gives 0.
    virtual int32_t GetNamedPropertyTag(const ObjectRef& object, const std::string& guid, int16_t id,
                                        bool create) = 0;
    // Upper-case hex text of binary value (an entry ID); raises 13 for a non-binary value.
    virtual std::string BinaryToHex(const Variant& value) = 0;
    // Releases what the library cached during a search. Never fails.
    virtual void Cleanup() = 0;
};

// One node of a table filter: the top RES_AND, a RES_PROPERTY, a RES_NOT or a RES_EXIST.
// A member that does not fit the node's kind raises 438.
class Restriction : public Object {
public:
    virtual int32_t Kind() = 0;
    // RES_AND: appends a new sub-restriction of the given kind and returns it.
    // Raises 5 for a kind the library does not support.
    virtual std::shared_ptr<Restriction> Add(int32_t kind) = 0;
    // RES_NOT: makes the negated sub-restriction (RES_EXIST) and returns it.
    virtual std::shared_ptr<Restriction> SetKind(int32_t kind) = 0;
    // RES_PROPERTY and RES_EXIST.
    virtual void SetRelop(int32_t relop) = 0;
    virtual void SetPropTag(int32_t tag) = 0;
    // RES_PROPERTY: text, a 32-bit integer or a date.
    virtual void SetValue(const Variant& value) = 0;
};

class TableFilter : public Object {
public:
    // Empties the filter.
    virtual void Clear() = 0;
    // Gives the filter a top restriction of the given kind (only RES_AND) and returns it.
    virtual std::shared_ptr<Restriction> SetKind(int32_t kind) = 0;
    // Applies the filter to the table: GoToFirst/GetRow then give only matching rows.
    // Raises MAPI_E_INVALID_PARAMETER for an incomplete restriction.
    virtual void Restrict() = 0;
    // Moves to the first (FindNext: the next) row that satisfies the filter; true when there
    // is one, which GetRow of the table then returns. `forward` False searches backwards.
    virtual bool FindFirst(bool forward) = 0;
    virtual bool FindNext(bool forward) = 0;
};

class MAPITable : public Object {
public:
    // The folder items whose contents table is searched.
    virtual void SetItem(const std::shared_ptr<outlook::Items>& items) = 0;
    // The table's filter (one per table).
    virtual std::shared_ptr<TableFilter> Filter() = 0;
    // The tags of the row columns; PR_ENTRYID first.
    virtual void SetColumns(const std::vector<int32_t>& tags) = 0;
    // Positions the table before its first row.
    virtual void GoToFirst() = 0;
    // The next row as an Array of the column values (Empty for a value the item lacks), or
    // Empty after the last row. After FindFirst/FindNext, the row found.
    virtual Variant GetRow() = 0;
};

// Wraps one item and reads its fields without prompting the user.
// Fields the wrapper kind does not have raise 438.
class SafeItem : public Object {
public:
    virtual void SetItem(const outlook::ItemRef& item) = 0;
    // Tag of a named property in the wrapped item's store, creating the name if needed.
    virtual int32_t GetNamedPropertyTag(const std::string& guid, int16_t id) = 0;
    virtual std::string Body() = 0;
    virtual std::string FirstName() = 0;
    virtual std::string LastName() = 0;
    virtual std::string CompanyName() = 0;
    virtual std::string Email1Address() = 0;
};

}  // namespace nubra::mapi
