// IMAP mailbox names as people write them. A server spells a name in modified UTF-7 (RFC 3501
// 5.1.3: "Donn&AOk-es" is "Données", "&-" is "&"); the cache's folders carry the decoded
// names, so that `tree`, paths and the dialog show them and a path typed with them finds the
// folder, while every command to the server names the mailbox as the server spells it (kept in
// im_folders). Paths join folder names with "\", so a "\" inside a mailbox name is shown as
// U+29F5 REVERSE SOLIDUS OPERATOR ("⧵"), which a path carries as part of the name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nubra::connected {

// The UTF-8 text of modified UTF-7 `raw`; nullopt when it is none (an unclosed or malformed
// "&…-" run, a lone surrogate, a byte outside printable ASCII, a NUL).
std::optional<std::string> DecodeModifiedUtf7(std::string_view raw);
// Modified UTF-7 of UTF-8 `text`. Raises kMapiInvalidParameter for text that is no UTF-8 or
// holds a NUL.
std::string EncodeModifiedUtf7(std::string_view text);

// The "\" inside a name as it is shown ("⧵"), and back.
inline constexpr std::string_view kShownBackslash = "\xE2\xA7\xB5";
std::string ShowBackslashes(std::string_view name);
std::string RealBackslashes(std::string_view shown);

// Where a mailbox goes in the cache's folder tree.
struct MailboxPlace {
    std::vector<std::string> levels;   // its name split at the delimiter, as the server spells it
    std::vector<std::string> folders;  // the cache's folder name of each level
    std::string refused;               // why it is passed over; empty when it has a place
    bool undecodable = false;          // a level is no modified UTF-7 and is shown as it stands
};
// The place of mailbox `name` (levels split at `delimiter`, none when 0). Refused: an empty
// level ("a//b", "trail/", "/abs"), a NUL, more levels or longer names than a connected store
// takes (Common.h: FolderPathProblem).
MailboxPlace PlaceMailbox(const std::string& name, char delimiter);

// The mailbox name of a new folder `folder` (a cache folder name) under mailbox `parent` (empty:
// at the top): encoded, "⧵" back to "\"; nullopt for a name that cannot be one level (empty,
// holding the delimiter, no UTF-8).
std::optional<std::string> MailboxOfNewFolder(const std::string& parent, const std::string& folder, char delimiter);

// A name for messages: cut to about 100 bytes when longer (a hostile server's names can be
// megabytes), saying how long it was.
std::string Excerpt(std::string_view name);

}  // namespace nubra::connected
