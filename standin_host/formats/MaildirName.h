// The names of Maildir message files, for every reader and writer of Maildirs:
//
//   <unique>[,U=<uid>][:2,<flags>]
//
// <unique> is made by the delivering program ("<seconds>.M<micros>P<pid>Q<n>.<host>" and
// older forms such as "<seconds>.<pid>.<host>"); ",U=<uid>" is mbsync's record of the
// server's UID, which belongs to the folder the file lies in; ":2," starts the flags, written
// "!2," on file systems whose names cannot hold ':'. Flags are single letters in ASCII order:
// D draft, F flagged, P passed, R replied, S seen, T trashed (lower-case letters are
// keywords of some programs). Files in new/ have no ":2," part yet.
//
// Every function takes a file name, not a path ('/' is an ordinary character to them) and
// never raises: what they make of odd names is said with each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/Automation.h"

namespace nubra::formats {

struct MaildirName {
    std::string unique;               // without ",U=<uid>"; the whole name when nothing else is found
    std::string separator;            // ":2," or "!2,"; empty when the name has no flags part
    std::string flags;                // as written after the separator; empty without one
    std::optional<uint64_t> syncUid;  // the <uid> of ",U=<uid>"
};

// The parts of a file name.
// - The flags part starts at the first ':' when ":2," stands there. A ':' followed by anything
//   else (":1,..." of the experimental info of old programs, or a stray ':') ends the unique
//   part as well, and the rest is dropped: separator and flags stay empty.
// - Without ':', the last "!2," followed only by ASCII letters (or nothing) is the separator;
//   any other '!' is part of the unique name.
// - ",U=" followed by 1 to 20 digits (a value that fits in 64 bits) that end the unique part or
//   stand before a ',' is the sync UID, taken out of `unique`; ",U=" with anything else (no
//   digits, "12x", a value too large) stays in `unique` and syncUid stays empty. Of several,
//   the last counts.
// - An empty name gives an empty unique part and nothing else.
MaildirName ParseMaildirName(std::string_view fileName);

// The file name without its ",U=<uid>" (as ParseMaildirName finds it), everything else as
// written; the name unchanged when it has none. A file moved to another folder takes this
// name: the UID would name another message there.
std::string WithoutSyncUid(std::string_view fileName);

// The delivery time a unique part records: "<seconds>.<middle>.<host>" with 1 to 12 digits of
// seconds since 1970 (UTC) and a non-empty middle and host; the microseconds of an
// "M<1 to 6 digits>" in the middle are added (to the millisecond). nullopt for anything else
// ("123.eml", "abc.M1P2.host", "" and names without two dots): the caller falls back on
// another time (a file's modification time).
std::optional<Date> MaildirDeliveryTime(std::string_view unique);

// A file name for cur/: `unique` + ":2," + `flags` in ASCII order, each letter once; what is
// not an ASCII letter in `flags` is dropped. `separator` is ':' or '!'; anything else is
// taken as ':'. `unique` is used as given: the caller makes it (NewMaildirUnique).
std::string MaildirFileName(std::string_view unique, std::string_view flags, char separator = ':');

// A unique part for a new message delivered by this process: "<seconds>.M<micros>P<pid>Q<n>.
// <host>", n counting the names made by this process, so two calls never give the same name.
// The time is `delivered` when given (a message written out again keeps the time it first
// arrived, which MaildirDeliveryTime reads back to the millisecond; a time before 1970 is
// taken as 1970), else now. '/' and ':' in the host name are written "\057" and "\072";
// "localhost" when it has none.
std::string NewMaildirUnique(std::optional<Date> delivered = std::nullopt);

}  // namespace nubra::formats
