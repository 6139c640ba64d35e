// A tree control without a window: the nodes in creation order with their keys, texts,
// parents, pictures and expanded state. The command line prints it; tests inspect it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/Controls.h"

namespace nubra::ui {

class TreeNodeList : public TreeNodes {
public:
    class Node : public TreeNode {
    public:
        Node(std::string key, std::string text, const Node* parent, int index)
            : key_(std::move(key)), text_(std::move(text)), parent_(parent), index_(index) {}
        std::string Key() const override { return key_; }
        std::string Text() const override { return text_; }
        int Index() const override { return index_; }
        std::string FullPath() const override {
            return parent_ ? parent_->FullPath() + "\\" + text_ : text_;
        }
        void SetExpanded(bool expanded) override { expanded_ = expanded; }
        void SetImage(int image) override { image_ = image; }

        bool Expanded() const { return expanded_; }
        int Image() const { return image_; }
        const Node* Parent() const { return parent_; }

    private:
        std::string key_;
        std::string text_;
        const Node* parent_;
        int index_;
        bool expanded_ = false;
        int image_ = 0;
    };

    TreeNode& Add(const std::string& relative, int relationship, const std::string& key,
                  const std::string& text) override;
    int Count() const override { return static_cast<int>(nodes_.size()); }

    // By 1-based index, in creation order.
    const Node& At(int index) const { return *nodes_.at(static_cast<std::size_t>(index - 1)); }
    // Null for an unknown key.
    const Node* Find(const std::string& key) const;

private:
    std::vector<std::unique_ptr<Node>> nodes_;
    std::map<std::string, Node*> byKey_;
};

}  // namespace nubra::ui
