// One item as the outside world describes it: the object-model fields by name, plus any raw
// MAPI properties. Import formats produce it, the store creates items from it, and export
// and listing read it back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Automation.h"

namespace nubra::store {

// A named property: the property set GUID as braced upper-case text and its 16-bit id.
struct NamedPropertyKey {
    std::string guid;
    uint16_t id = 0;
    auto operator<=>(const NamedPropertyKey&) const = default;
};

// The folders every profile's first store has, as the client makes them, with their
// OlItemType.
struct StandardFolder {
    const char* name;
    int32_t type;
};
inline constexpr StandardFolder kStandardFolders[] = {
    {"Inbox", 0},    {"Sent Items", 0}, {"Drafts", 0}, {"Outbox", 0},  {"Deleted Items", 0},
    {"Calendar", 1}, {"Contacts", 2},   {"Tasks", 3},  {"Journal", 4}, {"Notes", 5},
};

// Property sets and ids of the named properties the system reads.
inline constexpr const char* PSETID_Address = "{00062004-0000-0000-C000-000000000046}";
inline constexpr const char* PSETID_Appointment = "{00062002-0000-0000-C000-000000000046}";
inline constexpr const char* PSETID_Task = "{00062003-0000-0000-C000-000000000046}";
inline constexpr const char* PSETID_Note = "{0006200E-0000-0000-C000-000000000046}";
inline constexpr uint16_t kLidEmail1Address = 0x8083;
inline constexpr uint16_t kLidLocation = 0x8208;
inline constexpr uint16_t kLidAppointmentStart = 0x820D;
inline constexpr uint16_t kLidAppointmentEnd = 0x820E;
inline constexpr uint16_t kLidTaskStatus = 0x8101;
inline constexpr uint16_t kLidTaskStartDate = 0x8104;
inline constexpr uint16_t kLidTaskDueDate = 0x8105;
inline constexpr uint16_t kLidNoteColor = 0x8B00;

struct ItemSource;  // ItemSource.h

// A raw property value with its MAPI type (the low 16 bits of a tag).
struct PropValue {
    uint16_t type = 0;  // PT_LONG, PT_BOOLEAN, PT_STRING8, PT_SYSTIME, PT_BINARY
    int64_t integer = 0;  // PT_LONG, PT_BOOLEAN, PT_SYSTIME (FILETIME: 100 ns since 1601, UTC)
    std::string text;     // PT_STRING8 (UTF-8)
    std::vector<uint8_t> bytes;  // PT_BINARY
    bool operator==(const PropValue&) const = default;
};

struct ItemData {
    // OlObjectClass; chooses the message class (43 IPM.Note, 45 IPM.Post, 40 IPM.Contact,
    // 26 IPM.Appointment, 48 IPM.Task, 44 IPM.StickyNote, 69 IPM.DistList, 42 IPM.Activity).
    int32_t Class = 43;
    // An explicit message class wins over Class (for example "IPM.Note.SMIME").
    std::optional<std::string> MessageClass;

    std::optional<std::string> Subject;
    std::optional<std::string> Body;
    // Times are automation dates in UTC.
    std::optional<Date> CreationTime;
    std::optional<Date> SentOn;  // PR_CLIENT_SUBMIT_TIME
    std::optional<std::string> InternetMessageID;
    std::optional<std::string> SenderName;
    std::optional<std::string> To;
    std::optional<std::string> Cc;

    std::optional<std::string> FirstName;
    std::optional<std::string> LastName;
    std::optional<std::string> CompanyName;
    std::optional<std::string> FullName;
    std::optional<std::string> Email1Address;

    std::optional<std::string> Location;
    std::optional<Date> Start;
    std::optional<Date> End;

    std::optional<int32_t> Status;
    std::optional<Date> StartDate;
    std::optional<Date> DueDate;

    std::optional<int32_t> Color;

    // Further properties by fixed tag (identifier < 0x8000) and by name.
    std::map<uint32_t, PropValue> extraTagged;
    std::map<NamedPropertyKey, PropValue> extraNamed;

    // What the item was made of, kept whole (ItemSource.h): set by the importers, stored
    // beside the properties, read back only on request (export, the item window). Null for
    // items made from properties alone.
    std::shared_ptr<const ItemSource> Source;

    bool operator==(const ItemData&) const = default;
};

// The message class for an OlObjectClass, and back (unknown classes give IPM.Note / 43 for
// "IPM.Note*", 0 for what the system does not know).
std::string MessageClassFor(int32_t olClass);
int32_t ClassForMessageClass(const std::string& messageClass);

// How listings name an item's kind ("mail", "contact", ...; the number for a class without a
// name).
std::string KindName(int32_t olClass);
// What a person recognises the item by: a contact's full name (else first and last), a note
// without subject by its body's first line, anything else by its subject; one line.
std::string TitleOf(const ItemData& data);
// A UTC date as "YYYY-MM-DD hh:mm:ss"; "-" for none.
std::string UtcText(const std::optional<Date>& date);

}  // namespace nubra::store
