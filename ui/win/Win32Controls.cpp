#include "ui/win/Win32Controls.h"

#include "host/Automation.h"

namespace nubra::ui::win {

namespace {
constexpr int32_t kInvalidPropertyValue = 380;
}  // namespace

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

Win32ProgressBar::Win32ProgressBar(HWND control) : control_(control) {
    if (control_) SendMessageW(control_, PBM_SETRANGE32, 0, kSteps);
    Show();
}

void Win32ProgressBar::Show() {
    if (control_) SendMessageW(control_, PBM_SETPOS, static_cast<WPARAM>(Position()), 0);
}

void Win32TreeNodes::Node::SetExpanded(bool expanded) {
    data_.SetExpanded(expanded);
    TreeView_Expand(owner_.tree_, item_, expanded ? TVE_EXPAND : TVE_COLLAPSE);
}

void Win32TreeNodes::Node::SetImage(int image) {
    if (image < 0 || image > owner_.pictureCount_) RaiseError(kInvalidPropertyValue);
    data_.SetImage(image);
    TVITEMW item{};
    item.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    item.hItem = item_;
    item.iImage = item.iSelectedImage = image;
    SendMessageW(owner_.tree_, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

Win32TreeNodes::Win32TreeNodes(HWND tree, HIMAGELIST images, int pictureCount)
    : tree_(tree), images_(images), pictureCount_(images ? pictureCount : 0) {
    if (images_) TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);
}

Win32TreeNodes::~Win32TreeNodes() {
    if (images_) ImageList_Destroy(images_);
}

TreeNode& Win32TreeNodes::Add(const std::string& relative, int relationship, const std::string& key,
                              const std::string& text) {
    auto& data = static_cast<TreeNodeList::Node&>(list_.Add(relative, relationship, key, text));
    const Node* parent = data.Parent() ? nodes_[static_cast<std::size_t>(data.Parent()->Index() - 1)].get() : nullptr;
    std::wstring wide = Widen(text);
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent ? parent->Item() : TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    insert.item.pszText = wide.data();
    insert.item.lParam = data.Index();
    insert.item.iImage = insert.item.iSelectedImage = 0;
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree_, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
    nodes_.push_back(std::make_unique<Node>(data, item, *this));
    if (parent && parent->Expanded()) TreeView_Expand(tree_, parent->Item(), TVE_EXPAND);
    return *nodes_.back();
}

Win32TreeNodes::Node* Win32TreeNodes::NodeOf(HTREEITEM item) const {
    if (!item) return nullptr;
    TVITEMW data{};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    if (!SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data))) return nullptr;
    const LPARAM index = data.lParam;
    if (index < 1 || index > Count()) return nullptr;
    Node* node = nodes_[static_cast<std::size_t>(index - 1)].get();
    return node->Item() == item ? node : nullptr;
}

Win32TreeNodes::Node* Win32TreeNodes::SelectedItem() const { return NodeOf(TreeView_GetSelection(tree_)); }

}  // namespace nubra::ui::win
