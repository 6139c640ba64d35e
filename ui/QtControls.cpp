#include "ui/QtControls.h"

#include "host/Automation.h"

namespace nubra::ui {

namespace {
constexpr int32_t kInvalidPropertyValue = 380;
constexpr int32_t kElementNotFound = 35601;
constexpr int32_t kKeyNotUnique = 35602;

QString Q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

QtProgressBar::QtProgressBar(QProgressBar* widget) : widget_(widget) {
    if (widget_) {
        widget_->setRange(0, kSteps);
        widget_->setTextVisible(false);
    }
    Show();
}

void QtProgressBar::Show() {
    if (widget_) widget_->setValue(Position());
}

std::string QtTreeNodes::Node::Key() const { return item_->data(0, kKeyRole).toString().toStdString(); }
std::string QtTreeNodes::Node::Text() const { return item_->text(0).toStdString(); }
int QtTreeNodes::Node::Index() const { return item_->data(0, kIndexRole).toInt(); }

std::string QtTreeNodes::Node::FullPath() const {
    QStringList parts;
    for (const QTreeWidgetItem* i = item_; i; i = i->parent()) parts.prepend(i->text(0));
    return parts.join(QLatin1Char('\\')).toStdString();
}

void QtTreeNodes::Node::SetExpanded(bool expanded) { item_->setExpanded(expanded); }

void QtTreeNodes::Node::SetImage(int image) {
    const auto& images = owner_.ImageList();
    if (image < 0 || image > static_cast<int>(images.size())) RaiseError(kInvalidPropertyValue);
    item_->setData(0, kImageRole, image);
    item_->setIcon(0, image == 0 ? QIcon() : images[static_cast<std::size_t>(image - 1)]);
}

int QtTreeNodes::Node::Image() const { return item_->data(0, kImageRole).toInt(); }

QtTreeNodes::QtTreeNodes(QTreeWidget* tree, std::vector<QIcon> imageList)
    : tree_(tree), images_(std::move(imageList)) {}

TreeNode& QtTreeNodes::Add(const std::string& relative, int relationship, const std::string& key,
                           const std::string& text) {
    if (byKey_.count(key)) RaiseError(kKeyNotUnique, "Key is not unique in collection");
    Node* parent = nullptr;
    if (!relative.empty()) {
        parent = Find(relative);
        if (!parent || relationship != tvwChild) RaiseError(kElementNotFound, "Element not found");
    }
    auto* item = parent ? new QTreeWidgetItem(parent->Item()) : new QTreeWidgetItem(tree_);
    item->setText(0, Q(text));
    item->setData(0, kKeyRole, Q(key));
    item->setData(0, kIndexRole, Count() + 1);
    item->setData(0, kImageRole, 0);
    nodes_.push_back(std::make_unique<Node>(item, *this));
    byKey_[key] = nodes_.back().get();
    return *nodes_.back();
}

QtTreeNodes::Node* QtTreeNodes::Find(const std::string& key) const {
    auto it = byKey_.find(key);
    return it == byKey_.end() ? nullptr : it->second;
}

QtTreeNodes::Node* QtTreeNodes::NodeOf(const QTreeWidgetItem* item) const {
    if (!item) return nullptr;
    const int index = item->data(0, kIndexRole).toInt();
    if (index < 1 || index > Count()) return nullptr;
    Node* node = nodes_[static_cast<std::size_t>(index - 1)].get();
    return node->Item() == item ? node : nullptr;
}

QtTreeNodes::Node* QtTreeNodes::SelectedItem() const {
    const auto selected = tree_->selectedItems();
    return selected.isEmpty() ? nullptr : NodeOf(selected.front());
}

}  // namespace nubra::ui
