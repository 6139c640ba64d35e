// The dialog's common controls on Qt widgets: the progress bar and the tree's node
// collection, so that the engine and the folder tree drive real widgets through the same
// interfaces the command line renders on a terminal.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QIcon>
#include <QPointer>
#include <QProgressBar>
#include <QTreeWidget>

#include "host/Controls.h"
#include "ui/ScaledProgressBar.h"

namespace nubra::ui {

// The bar's numbers are ScaledProgressBar's; the widget shows their position. The numbers stay
// valid when the widget is gone (the widget is only observed), so a scan can never write into
// a destroyed control.
class QtProgressBar : public ScaledProgressBar {
public:
    explicit QtProgressBar(QProgressBar* widget);

private:
    void Show() override;

    QPointer<QProgressBar> widget_;
};

// The node collection of a QTreeWidget: one top-level or child item per node, in creation
// order, each knowing its key, index and picture. Pictures come from an image list of icons
// indexed from 1.
class QtTreeNodes : public TreeNodes {
public:
    // Item data roles under which each item carries its node's facts.
    static constexpr int kKeyRole = Qt::UserRole + 1;
    static constexpr int kIndexRole = Qt::UserRole + 2;
    static constexpr int kImageRole = Qt::UserRole + 3;

    class Node : public TreeNode {
    public:
        Node(QTreeWidgetItem* item, const QtTreeNodes& owner) : item_(item), owner_(owner) {}
        std::string Key() const override;
        std::string Text() const override;
        int Index() const override;
        std::string FullPath() const override;
        void SetExpanded(bool expanded) override;
        void SetImage(int image) override;

        QTreeWidgetItem* Item() const { return item_; }
        int Image() const;

    private:
        QTreeWidgetItem* item_;
        const QtTreeNodes& owner_;
    };

    // `tree` is observed; `imageList` holds the pictures for indexes 1..n.
    QtTreeNodes(QTreeWidget* tree, std::vector<QIcon> imageList);

    TreeNode& Add(const std::string& relative, int relationship, const std::string& key,
                  const std::string& text) override;
    int Count() const override { return static_cast<int>(nodes_.size()); }

    // By 1-based index, in creation order.
    Node& At(int index) const { return *nodes_.at(static_cast<std::size_t>(index - 1)); }
    // Null for an unknown key.
    Node* Find(const std::string& key) const;
    // The node an item of the tree stands for; null for none.
    Node* NodeOf(const QTreeWidgetItem* item) const;
    // The node of the tree's selected item (SelectedItem); null when nothing is selected.
    Node* SelectedItem() const;

    const std::vector<QIcon>& ImageList() const { return images_; }
    QTreeWidget* Tree() const { return tree_; }

private:
    QTreeWidget* tree_;
    std::vector<QIcon> images_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::map<std::string, Node*> byKey_;
};

}  // namespace nubra::ui
