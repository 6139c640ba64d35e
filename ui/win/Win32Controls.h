// The dialog's common controls on Win32: the progress bar (PROGRESS_CLASS) and the tree's node
// collection (WC_TREEVIEW), so that the engine and the folder tree drive real controls through
// the same interfaces the Qt widgets and the command line give.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "host/Controls.h"
#include "ui/ScaledProgressBar.h"
#include "ui/TreeNodeList.h"

namespace nubra::ui::win {

// UTF-8 <-> UTF-16 for the W functions; invalid sequences become U+FFFD.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The bar's numbers are ScaledProgressBar's; the control shows their position until Detach.
class Win32ProgressBar : public ScaledProgressBar {
public:
    // `control` is observed; its range becomes 0..kSteps.
    explicit Win32ProgressBar(HWND control);
    // The control is being destroyed: the numbers go on without it.
    void Detach() { control_ = nullptr; }

private:
    void Show() override;

    HWND control_;
};

// The node collection of a tree-view control. Keys, indexes, parents and full paths are a
// TreeNodeList's (the same rules and errors as the tree without a window); each node is
// mirrored as an item whose lParam is the node's index. Pictures come from an image list whose
// entry 0 is blank, so that a node's picture index is its image list index.
class Win32TreeNodes : public TreeNodes {
public:
    class Node : public TreeNode {
    public:
        Node(TreeNodeList::Node& data, HTREEITEM item, Win32TreeNodes& owner)
            : data_(data), item_(item), owner_(owner) {}
        std::string Key() const override { return data_.Key(); }
        std::string Text() const override { return data_.Text(); }
        int Index() const override { return data_.Index(); }
        std::string FullPath() const override { return data_.FullPath(); }
        // Expanded now, and again whenever a child is added (a node without children cannot
        // be expanded yet).
        void SetExpanded(bool expanded) override;
        // Raises 380 (Invalid property value) for an index outside the image list.
        void SetImage(int image) override;

        HTREEITEM Item() const { return item_; }
        int Image() const { return data_.Image(); }
        bool Expanded() const { return data_.Expanded(); }

    private:
        TreeNodeList::Node& data_;
        HTREEITEM item_;
        Win32TreeNodes& owner_;
    };

    // `tree` is observed; `images` holds the pictures for indexes 1..n (`pictureCount`) after a
    // blank entry 0, and is owned from now on (destroyed with this object).
    Win32TreeNodes(HWND tree, HIMAGELIST images, int pictureCount);
    ~Win32TreeNodes() override;
    Win32TreeNodes(const Win32TreeNodes&) = delete;
    Win32TreeNodes& operator=(const Win32TreeNodes&) = delete;

    // Raises what TreeNodeList::Add raises (35602 for a used key, 35601 for an unknown
    // relative); nothing is added then.
    TreeNode& Add(const std::string& relative, int relationship, const std::string& key,
                  const std::string& text) override;
    int Count() const override { return list_.Count(); }

    // By 1-based index, in creation order.
    Node& At(int index) const { return *nodes_.at(static_cast<std::size_t>(index - 1)); }
    // The node of the tree's selected item; null when nothing is selected.
    Node* SelectedItem() const;
    // The node of an item; null for none.
    Node* NodeOf(HTREEITEM item) const;

private:
    HWND tree_;
    HIMAGELIST images_;
    int pictureCount_;
    TreeNodeList list_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

}  // namespace nubra::ui::win
