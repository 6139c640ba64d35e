// What the commands that attach a connected store share: what they say once the store is in the
// profile, and the commands for a tree of the user's (store add-maildir, store add-vdir).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "standin_host/cli/CommandTable.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

// Prints the store's line and the warnings its first synchronisation gave (those after the
// first `warningsBefore`, which opening the profile printed already).
void ReportConnectedStore(const store::Profile& profile, const store::StoreInfo& info, std::size_t warningsBefore);

// A command attaching the folder tree DIR (with --name) through `attach`.
using TreeAttacher = store::StoreInfo (*)(store::Profile&, const std::filesystem::path&, const std::string&);
CommandSpec TreeStoreCommand(std::string name, std::string summary, std::string dirHelp, TreeAttacher attach);

}  // namespace nubra::cli
