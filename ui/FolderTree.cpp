#include "ui/FolderTree.h"

#include <array>
#include <exception>

#include "globals/NubraGlobals.h"
#include "host/Platform.h"

namespace nubra::ui {
namespace {

void Log(const std::string& text) {
    if (goLog) goLog->WriteToLog(text);
}

// Continue-on-error for one step of the fill: a failure only becomes the pending error.
// Anything the contracts did not describe is treated as the generic failure it is, so that
// one odd store can never keep the dialog from opening.
template <typename F>
bool Step(F&& step) {
    try {
        step();
        return true;
    } catch (const AutomationError& e) {
        Err().Set(e);
    } catch (const std::exception& e) {
        Err().Set(AutomationError(errnum::kMapiCallFailed, e.what()));
    }
    return false;
}

std::string ErrText() { return std::to_string(Err().Number) + " " + Err().Description; }

}  // namespace

int ImageForItemType(int32_t defaultItemType) {
    switch (defaultItemType) {
        case outlook::olMailItem: return kImageMail;
        case outlook::olContactItem: return kImageContacts;
        case outlook::olAppointmentItem: return kImageCalendar;
        case outlook::olTaskItem: return kImageTasks;
        case outlook::olNoteItem: return kImageNotes;
        default: return kImageNone;
    }
}

bool IsSkippedStoreName(const std::string& name) {
    // Stores of services that carry no folders worth cleaning (or that break when walked).
    static const std::array<std::string, 4> skipped = {"Hotmail", "MSN", "WinFax", "Business Contact Manager"};
    for (const auto& s : skipped)
        if (name == s) return true;
    return false;
}

void FolderTree::FillTreeView() {
    if (!goOlNameSpace) RaiseError(errnum::kObjectVariableNotSet);
    FillTreeView(*goOlNameSpace);
}

void FolderTree::FillTreeView(outlook::NameSpace& ns) {
    // Not contained: without the list of stores there is nothing to show, and the dialog's
    // load reports it.
    auto stores = ns.Folders();
    if (!stores) RaiseError(errnum::kObjectVariableNotSet);
    const int32_t storeCount = stores->Count();

    int32_t cnt = 0;
    for (int32_t i = 1; i <= storeCount; ++i) {
        ++cnt;
        Err().Clear();

        outlook::FolderRef store;
        if (!Step([&] {
                store = stores->Item(i);
                if (!store) RaiseError(errnum::kObjectVariableNotSet);
                auto subfolders = store->Folders();
                if (!subfolders) RaiseError(errnum::kObjectVariableNotSet);
                (void)subfolders->Count();
            })) {
            Log("FillTreeView: Error while trying to open toplevel folder. Folder skipped. Error: " + ErrText());
            continue;
        }

        std::string name;
        if (!Step([&] { name = store->Name(); })) {
            Log("FillTreeView: Error while trying to read top level folder name. Folder skipped. Error: " +
                ErrText());
            continue;
        }

        if (IsSkippedStoreName(name)) {
            Log("FillTreeView: top level folder " + name + " is skipped");
            continue;
        }

        const std::string key = "r" + std::to_string(cnt);
        TreeNode* node = nullptr;
        Step([&] { node = &nodes_.Add("", 0, key, name); });
        Step([&] {
            if (!node) RaiseError(errnum::kObjectVariableNotSet);
            node->SetExpanded(true);
        });
        Step([&] {
            if (!node) RaiseError(errnum::kObjectVariableNotSet);
            node->SetImage(kImageStore);
        });
        Log("FillTreeView: top level folder " + name + " added.");
        if (node) Remember(key, *store);
        // A failure anywhere below the store abandons the rest of that store silently; the
        // nodes added so far stay.
        Step([&] { AddSubNodes(key, *store, cnt); });
    }

    Step([&] {
        const int count = nodes_.Count();
        if (count == 0) {
            Log("FillTreeView: no nodes added to treeview!");
            ThePlatform().MsgBox("Nubra was unable to read your pst or ost file. Removing duplicate items is not possible",
                                 vbExclamation, "Nubra");
        } else {
            Log("FillTreeView: " + std::to_string(count) + " nodes added to the treeview");
        }
    });
}

void FolderTree::AddSubNodes(const std::string& psParentNode, outlook::MAPIFolder& poFld, int32_t& piCnt) {
    auto subfolders = poFld.Folders();
    if (!subfolders) RaiseError(errnum::kObjectVariableNotSet);
    const int32_t count = subfolders->Count();
    for (int32_t i = 1; i <= count; ++i) {
        auto sub = subfolders->Item(i);
        if (!sub) RaiseError(errnum::kObjectVariableNotSet);
        const int32_t type = sub->DefaultItemType();
        // Journal folders hold nothing the engine can clean; they and everything below them
        // stay out of the tree and do not count.
        if (type == outlook::olJournalItem) continue;
        ++piCnt;
        const std::string name = sub->Name();
        const std::string key = name + "_" + std::to_string(piCnt);
        TreeNode& node = nodes_.Add(psParentNode, TreeNodes::tvwChild, key, name);
        const int image = ImageForItemType(type);
        if (image != kImageNone) node.SetImage(image);
        Remember(key, *sub);
        auto below = sub->Folders();
        if (!below) RaiseError(errnum::kObjectVariableNotSet);
        if (below->Count() > 0) AddSubNodes(key, *sub, piCnt);
    }
}

void FolderTree::Remember(const std::string& key, outlook::MAPIFolder& folder) {
    // The identity only sharpens the later lookup; without it the dialog falls back to the
    // path of names, so a failure here must not disturb the fill or its pending error.
    try {
        identities_[key] = FolderIdentity{folder.EntryID(), folder.StoreID()};
    } catch (const std::exception&) {
        identities_.erase(key);
    }
}

std::optional<FolderIdentity> FolderTree::IdentityOf(const std::string& key) const {
    auto it = identities_.find(key);
    if (it == identities_.end()) return std::nullopt;
    return it->second;
}

outlook::FolderRef OpenNodeFolder(outlook::NameSpace& ns, const FolderTree& tree, const TreeNode& node) {
    if (auto id = tree.IdentityOf(node.Key())) {
        auto folder = ns.GetFolderFromID(id->entryId, id->storeId);
        if (!folder) RaiseError(errnum::kMapiNotFound);
        return folder;
    }
    return FindFolderByPath(ns, node.FullPath());
}

outlook::FolderRef FindFolderByPath(outlook::NameSpace& ns, const std::string& fullPath) {
    if (fullPath.empty()) RaiseError(errnum::kInvalidProcedureCall);
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (true) {
        auto pos = fullPath.find('\\', start);
        parts.push_back(fullPath.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    auto folders = ns.Folders();
    if (!folders) RaiseError(errnum::kObjectVariableNotSet);
    outlook::FolderRef folder = folders->Item(parts.front());
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (!folder) RaiseError(errnum::kMapiNotFound);
        auto sub = folder->Folders();
        if (!sub) RaiseError(errnum::kObjectVariableNotSet);
        folder = sub->Item(parts[i]);
    }
    if (!folder) RaiseError(errnum::kMapiNotFound);
    return folder;
}

}  // namespace nubra::ui
