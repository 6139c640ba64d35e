#include "standin_host/cli/FolderPick.h"

#include <algorithm>
#include <regex>

#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/store/NameHash.h"

namespace nubra::cli {

std::string StableKey(const std::string& storeId, const std::string& entryId) {
    if (storeId.empty() || entryId.empty()) return {};
    // FNV-1a leaves the hashes of IDs that differ in their last digits a digit apart; mixed
    // (MurmurHash3's finaliser), a key mistyped in one place names no other folder.
    uint64_t h = store::Fnv1a(storeId + "\n" + entryId);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return store::Hex64(h).substr(0, 12);
}

std::string StableKey(const host::FolderNode& node) { return StableKey(node.storeId, node.entryId); }

std::vector<LeftOutStore> LeftOutStores(const std::vector<host::FolderNode>& tree, store::Profile& profile) {
    std::vector<LeftOutStore> out;
    // Without the dialog's identities nothing can be said.
    if (!tree.empty() && std::none_of(tree.begin(), tree.end(), [](const host::FolderNode& n) { return !n.storeId.empty(); }))
        return out;
    for (const auto& s : profile.Stores()) {
        if (std::any_of(tree.begin(), tree.end(), [&](const host::FolderNode& n) { return n.storeId == s.storeId; }))
            continue;
        // The dialog reads a store's top folder, its name and its subfolders before it decides;
        // when those can be read, the store was left out by its name.
        bool readable = false;
        try {
            const auto top = profile.FindFolder(s.file.string());
            const auto below = top->Folders();
            if (below) static_cast<void>(below->Count());
            readable = below && !top->Name().empty();
        } catch (const std::exception&) {
        }
        out.push_back({s.displayName, readable ? "the dialog's tree never shows a store of that name"
                                               : "the dialog could not read it (see its log file)"});
    }
    return out;
}

namespace {

// A key as the dialog makes them ("r1", "Inbox_2"), which earlier versions printed.
bool IsDialogKey(const std::string& key) {
    static const std::regex dialogKey("r[0-9]+|.*_[0-9]+");
    return std::regex_match(key, dialogKey);
}

}  // namespace

const host::FolderNode& PickNode(const std::vector<host::FolderNode>& nodes, const std::string& path,
                                 const std::string& key, store::Profile& profile) {
    if (!key.empty()) {
        std::vector<const host::FolderNode*> hits;
        for (const auto& n : nodes)
            if (StableKey(n) == key) hits.push_back(&n);
        if (hits.size() == 1) return *hits.front();
        if (hits.size() > 1)
            throw CommandError{"the key '" + key + "' names " + std::to_string(hits.size()) +
                               " folders; choose one by its path"};
        std::string refusal = "no folder with key '" + key + "' in the tree (see 'nubrasweep tree')";
        if (IsDialogKey(key))
            refusal += "; keys of that form were the dialog's, which change as folders are added, so they are no "
                       "longer taken";
        throw CommandError{refusal};
    }
    std::vector<const host::FolderNode*> hits;
    for (const auto& n : nodes)
        if (n.fullPath == path) hits.push_back(&n);
    if (hits.empty()) {
        std::string refusal = "no folder '" + path + "' in the tree (see 'nubrasweep tree')";
        const auto other = WithBackslashes(path);
        if (other && std::any_of(nodes.begin(), nodes.end(), [&](const host::FolderNode& n) { return n.fullPath == *other; }))
            refusal += BackslashHint(*other);
        for (const auto& left : LeftOutStores(nodes, profile))
            if (path == left.name || path.rfind(left.name + "\\", 0) == 0) refusal += "; " + left.Text();
        throw CommandError{refusal};
    }
    if (hits.size() > 1) {
        std::string keys;
        for (const auto* n : hits) keys += (keys.empty() ? "" : ", ") + StableKey(*n);
        throw CommandError{"'" + path + "' names " + std::to_string(hits.size()) + " folders (keys " + keys +
                           "); choose one with --key"};
    }
    return *hits.front();
}

}  // namespace nubra::cli
