// Stores and folders as the user names them on the command line: folder paths joined by "\",
// stores by name or by file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "host/Outlook.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

// `path` with its "/" written as "\", when it has any: what a user who wrote the path the way
// files are named most likely meant.
std::optional<std::string> WithBackslashes(const std::string& path);
// What a refusal of a path written with "/" adds when `meant` (WithBackslashes) names a folder.
std::string BackslashHint(const std::string& meant);

// Profile::FindFolder; a path written with "/" that names no folder, but would with "\", is
// refused with that hint (CommandError). Raises what FindFolder raises otherwise.
outlook::FolderRef FindFolder(store::Profile& profile, const std::string& path);

// The store `name` names: its name, else its file's name or full path (as 'stores' shows
// them), else a connected store's source. Raises CommandError when none does, or when the name
// is shared by several stores (the file then tells them apart).
store::StoreInfo FindStore(store::Profile& profile, const std::string& name);

// Raises CommandError when `name` cannot be a store's name: "\" separates the parts of a
// folder path, so no path could reach the store's folders. `advice` ends the refusal in
// brackets when given.
void RequireStoreName(const std::string& name, const std::string& advice = {});

// Warns when a store that came in with a name of its own (an existing store file, an Outlook
// data file) has one RequireStoreName refuses, naming the way out ('store rename').
void WarnOfUnreachableStore(const std::string& name);

// The store file a user means by `argument`: a relative path from the current folder; a bare
// file name that is not there names a file of the profile folder `profileDir` (where new
// stores are made, as they always were).
std::filesystem::path StoreFileArgument(const std::string& argument, const std::filesystem::path& profileDir);

}  // namespace nubra::cli
