// What pressing "Remove duplicate items" does, without any window: the selected node's folder
// is opened again, the bar given the folder's range, the scan run and its outcome put into the
// words the dialog shows. The Qt dialog and every headless front end run removals through it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/Controls.h"
#include "host/DialogHost.h"
#include "host/Outlook.h"
#include "ui/FolderTree.h"

namespace nubra::ui {

// The folder a node of `tree` stands for, by the identity the fill recorded (two stores may
// carry one name, and a name may hold the path separator). Raises 91 without goOlNameSpace,
// MAPI_E_NOT_FOUND ("The folder X cannot be found again") when the fill recorded no identity
// or the namespace gives nothing, and what GetFolderFromID raises.
outlook::FolderRef FolderOfNode(const FolderTree& tree, const TreeNode& node);

// The status text after a run that removed `removed` items from `folder`.
std::string OutcomeText(int32_t removed, outlook::MAPIFolder& folder);

class RemovalRun {
public:
    // `status` is given each status text the dialog shows ("Processing items in folder X",
    // then the outcome); `scanning` is told true just before the scan starts and false when it
    // has ended, however it ended. Both may be empty.
    RemovalRun(std::function<void(const std::string&)> status, std::function<void(bool)> scanning)
        : status_(std::move(status)), scanning_(std::move(scanning)) {}

    // Runs the removal on `folder`: an empty folder is only reported; otherwise the bar's
    // range becomes 0..item count, the host is asked to keep other runs off the folder
    // (Platform::LockFolderForRun) and goFldMon's scan runs. The bar is set back to 0
    // afterwards. Raises 91 without goFldMon and what the host raises when another run holds
    // the folder (nothing was changed then); failures inside the scan are the scan's own.
    host::RemovalResult Run(const outlook::FolderRef& folder, ProgressBar& bar);

private:
    std::function<void(const std::string&)> status_;
    std::function<void(bool)> scanning_;
};

}  // namespace nubra::ui
