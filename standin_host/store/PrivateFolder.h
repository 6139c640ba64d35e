// The user's own folders of this program outside the profile (the run history, the connected
// stores' caches and lock files, dry-run snapshots). Another local user must never choose what
// they hold: a folder another user made or may write to, or a planted link, would let them
// read what was removed from whose mail, or feed a restore their own record.
#pragma once

#include <filesystem>

namespace nubra::store {

// Makes `dir` when missing (its missing parents too, each private to the user) and returns it
// when it is safe to keep private files in: a real directory, not a link, owned by this user
// and writable by no one else, in a parent that others cannot rename it out of (not writable
// by others, or sticky). Raises kMapiNoAccess naming the folder and why it is refused; nothing
// in it is touched then.
std::filesystem::path RequirePrivateFolder(const std::filesystem::path& dir);

// Opens `file` in a private folder (RequirePrivateFolder) without following a link, creating it
// private to the user (0600) when `create`, and checks that it is a regular file of this user;
// a file of the user's readable by others is made private. Returns the open descriptor (the
// caller closes it), -1 when it does not exist and `create` is false. Raises kMapiNoAccess
// naming the file when it is a link, not a regular file, or another user's.
int OpenPrivateFile(const std::filesystem::path& file, bool create);

}  // namespace nubra::store
