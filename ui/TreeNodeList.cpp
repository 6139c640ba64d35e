#include "ui/TreeNodeList.h"

namespace nubra::ui {

TreeNode& TreeNodeList::Add(const std::string& relative, int relationship, const std::string& key,
                            const std::string& text) {
    if (byKey_.count(key)) RaiseError(35602);
    const Node* parent = nullptr;
    if (!relative.empty()) {
        auto it = byKey_.find(relative);
        if (it == byKey_.end()) RaiseError(35601);
        // Only the child relationship is needed by the system; others are refused rather
        // than quietly placed somewhere unexpected.
        if (relationship != tvwChild) RaiseError(errnum::kInvalidProcedureCall);
        parent = it->second;
    }
    auto node = std::make_unique<Node>(key, text, parent, Count() + 1);
    Node& ref = *node;
    nodes_.push_back(std::move(node));
    byKey_[key] = &ref;
    return ref;
}

const TreeNodeList::Node* TreeNodeList::Find(const std::string& key) const {
    auto it = byKey_.find(key);
    return it == byKey_.end() ? nullptr : it->second;
}

}  // namespace nubra::ui
