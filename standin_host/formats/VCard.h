// vCard contacts in and out. The reader takes vCard 2.1, 3.0 and 4.0 (several cards per file,
// line folding, backslash escapes, 2.1 QUOTED-PRINTABLE with soft line breaks and CHARSET,
// 2.1 base64 continuation lines); the writer produces vCard 4.0.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

// Each item's Source is its card as written (BEGIN:VCARD to END:VCARD).
// N -> LastName / FirstName (from FN by SplitFullName when N is missing or empty), ORG (first component) -> CompanyName, the preferred EMAIL (PREF
// parameter, TYPE=pref, bare PREF; the lowest PREF number wins) else the first ->
// Email1Address, FN -> FullName and Subject, NOTE -> Body; Class 40. Raises FormatError with
// the line for anything that is not a sequence of well-formed cards.
std::vector<ItemData> ParseVCards(std::string_view data, const std::string& file);
std::vector<ItemData> ReadVCardFile(const std::string& path);

// One card: the card the item was imported from, as it was, while the item is unchanged since
// (SourceIsCurrent); else vCard 4.0 from its fields, CRLF line ends, folded at 75 bytes, with
// a UID: the UID line of the card it was read from when it had one, else ContactUid of
// `uidName` (the item's entry ID, so that the same item gets the same UID each time), else
// (no name given) ContactUid of the card's other lines.
std::string WriteVCard(const ItemData& item, std::string_view uidName = {});

// "urn:uuid:" and the name-based UUID (RFC 4122 version 5) of `name` in this program's own
// namespace: the same name gives the same UID, on every machine.
std::string ContactUid(std::string_view name);

}  // namespace nubra::formats
