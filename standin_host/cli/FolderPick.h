// Folders of the dialog's tree as the command line names them: by path, or by a key of its own
// that stays the same however folders come and go.
#pragma once

#include <string>
#include <vector>

#include "host/DialogHost.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

// The command line's key of a folder: 12 hex digits of a hash of its store's and its own entry
// ID. The dialog numbers its keys as it fills the tree, so a folder added before a node gives
// the node another key; this one stays. "" for a node the dialog could not identify.
std::string StableKey(const std::string& storeId, const std::string& entryId);
std::string StableKey(const host::FolderNode& node);

// A store of the profile the tree shows no folder of, and why.
struct LeftOutStore {
    std::string name;
    std::string why;
    std::string Text() const { return "store \"" + name + "\" is left out: " + why; }
};
// The stores of `profile` the dialog's tree `tree` leaves out, in profile order: by the tree's
// rule for store names when this program can read the store itself, else because the dialog
// could not.
std::vector<LeftOutStore> LeftOutStores(const std::vector<host::FolderNode>& tree, store::Profile& profile);

// The node the user means: by `key` (StableKey), else by full `path` when exactly one node has
// it. Raises CommandError saying what is wrong: no node has the key (an old key of the dialog's
// included: it may name another folder now), no node has the path (with a hint for a path
// written with "/" and for a store the tree leaves out), several nodes have it (with their
// keys).
const host::FolderNode& PickNode(const std::vector<host::FolderNode>& nodes, const std::string& path,
                                 const std::string& key, store::Profile& profile);

}  // namespace nubra::cli
