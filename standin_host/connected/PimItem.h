// What the drivers of address books and calendars share (a vdir in place, a CardDAV/CalDAV
// account): an item made of its vCard or iCalendar text as import makes it, with the creation
// time that decides the copy kept and a group vCard as a distribution list; the name of the
// folder duplicates go to; how a collection's name is shown in the folder tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/AutomationDates.h"
#include "standin_host/store/ItemData.h"

namespace nubra::connected {

inline constexpr const char* kDuplicatesName = "Nubra_Duplicate_Items";

// The item of one vCard (`vcard`) or iCalendar object `text`, as import makes it. Its creation
// time is its CREATED (iCalendar), else its DTSTAMP (iCalendar) or REV (vCard), else `fallback`
// (when the source last wrote it). A vCard of KIND group (or Apple's X-ADDRESSBOOKSERVER-KIND)
// is a distribution list. Raises kMapiCorruptData naming `label` when the text holds no
// contact, event or to-do, and what the readers raise for text they cannot read.
store::ItemData PimItemOf(std::string_view text, bool vcard, const std::string& label, std::optional<Date> fallback);

// A date-time of iCalendar, vCard or HTTP ("20240102T030405Z", "2024-01-02T03:04:05Z",
// "20240102", "Tue, 02 Jan 2024 03:04:05 GMT"), taken as UTC; nullopt for anything else.
std::optional<Date> PimDateOf(const std::string& value);

// A name the folder tree can carry: a backslash inside a name is written as U+29F5 (paths join
// folder names with a backslash).
std::string ShownFolderName(std::string name);

}  // namespace nubra::connected
