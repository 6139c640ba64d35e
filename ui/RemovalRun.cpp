#include "ui/RemovalRun.h"

#include "engine/clsFldMon.h"
#include "globals/NubraGlobals.h"
#include "host/Platform.h"

namespace nubra::ui {

outlook::FolderRef FolderOfNode(const FolderTree& tree, const TreeNode& node) {
    if (!goOlNameSpace) RaiseError(errnum::kObjectVariableNotSet);
    const auto id = tree.IdentityOf(node.Key());
    if (!id) RaiseError(errnum::kMapiNotFound, "The folder " + node.FullPath() + " cannot be found again");
    auto folder = goOlNameSpace->GetFolderFromID(id->entryId, id->storeId);
    if (!folder) RaiseError(errnum::kMapiNotFound, "The folder " + node.FullPath() + " cannot be found again");
    return folder;
}

std::string OutcomeText(int32_t removed, outlook::MAPIFolder& folder) {
    if (removed == 0) return "There are no duplicates found in folder " + folder.Name();
    if (folder.DefaultItemType() == outlook::olNoteItem)
        return "Nubra has deleted " + std::to_string(removed) + " duplicate notes. Notes cannot be moved to a subfolder";
    return "Nubra moved " + std::to_string(removed) + " duplicate items to subfolder '" + kDuplicatesFolderName + "'";
}

host::RemovalResult RemovalRun::Run(const outlook::FolderRef& folder, ProgressBar& bar) {
    auto say = [this](const std::string& text) {
        if (status_) status_(text);
    };
    host::RemovalResult result;
    if (folder->Items()->Count() == 0) {
        result.outcome = "Folder " + folder->Name() + " is empty";
        say(result.outcome);
        return result;
    }
    say("Processing items in folder " + folder->Name());
    bar.SetMin(0);
    bar.SetMax(static_cast<float>(folder->Items()->Count()));
    if (!goFldMon) RaiseError(errnum::kObjectVariableNotSet);
    {
        // Two runs on one folder at once would take each other's duplicates for failures and
        // delete what the other had moved.
        const auto lease = ThePlatform().LockFolderForRun(*folder);
        if (scanning_) scanning_(true);
        struct Ended {
            const std::function<void(bool)>& f;
            ~Ended() {
                if (f) f(false);
            }
        } ended{scanning_};
        result.removed = goFldMon->RemDuplicatesInFld(folder, bar);
    }
    result.outcome = OutcomeText(result.removed, *folder);
    say(result.outcome);
    bar.SetValue(0);
    return result;
}

}  // namespace nubra::ui
