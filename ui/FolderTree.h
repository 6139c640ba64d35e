// The dialog's folder tree: every folder of every open store, one node per folder, keyed so
// that keys never collide whatever the folder names. The dialog, the explorer and the command
// line fill their own tree controls through this one set of rules.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "host/Controls.h"
#include "host/Outlook.h"

namespace nubra::ui {

// Picture indexes of the tree's image list (1-based; 0 for none).
enum TreeImage : int {
    kImageNone = 0,
    kImageMail = 1,
    kImageStore = 2,
    kImageContacts = 3,
    kImageCalendar = 4,
    kImageTasks = 5,
    kImageNotes = 6,
};

// The picture a subfolder of the given DefaultItemType gets.
int ImageForItemType(int32_t defaultItemType);

// True for the top-level folder names that never get a node (exact, case-sensitive).
bool IsSkippedStoreName(const std::string& name);

// Which folder a node stands for. Two stores may carry the same name, so the path of names
// alone cannot tell their folders apart; the entry and store IDs can.
struct FolderIdentity {
    std::string entryId;
    std::string storeId;
    bool operator==(const FolderIdentity&) const = default;
};

class FolderTree {
public:
    // Fills `nodes` (observed, not owned; it must outlive this object).
    explicit FolderTree(TreeNodes& nodes) : nodes_(nodes) {}

    // Adds a node for every folder of every store of goOlNameSpace, logging through goLog.
    // A failure before the first store is examined (no namespace, no folder list) is raised
    // to the caller; everything after that is contained. When no node was added the user is
    // warned with a message box.
    void FillTreeView();
    // The same over a given namespace.
    void FillTreeView(outlook::NameSpace& ns);

    // Adds the subfolders of `poFld` below the node keyed `psParentNode`, depth first,
    // counting each node added in `piCnt`. Raises whatever fails; nodes added stay.
    void AddSubNodes(const std::string& psParentNode, outlook::MAPIFolder& poFld, int32_t& piCnt);

    // The folder a node stands for; nullopt for a key the fill did not add or whose folder's
    // IDs could not be read.
    std::optional<FolderIdentity> IdentityOf(const std::string& key) const;

private:
    void Remember(const std::string& key, outlook::MAPIFolder& folder);

    TreeNodes& nodes_;
    std::map<std::string, FolderIdentity> identities_;
};

// The folder a node stands for, opened again: by its identity when the fill recorded one,
// else by walking the node's full path ("Store\Folder\Sub") down by names. Raises what the
// lookup raises (MAPI_E_NOT_FOUND for a name that is not there).
outlook::FolderRef OpenNodeFolder(outlook::NameSpace& ns, const FolderTree& tree, const TreeNode& node);

// Walks a full path of folder names separated by "\" from the namespace's top-level folders
// down, taking the first folder of each name. Raises MAPI_E_NOT_FOUND for a missing name and
// 5 for an empty path.
outlook::FolderRef FindFolderByPath(outlook::NameSpace& ns, const std::string& fullPath);

}  // namespace nubra::ui
