#include "tests/ui_qt/DialogFixture.h"

#include <QApplication>
#include <QTest>

#include "globals/NubraGlobals.h"
#include "host/AutomationDates.h"
#include "tests/support/Items.h"

namespace nubra::uitest {

namespace {
// 15 March 2010, 09:mm UTC.
Date At(int minute) { return 40252.0 + (9 * 60 + minute) / 1440.0; }
}  // namespace

store::ItemData Contact(const std::string& first, const std::string& last, const std::string& email, int minute) {
    return testing::Contact(first, last, "ACME", email, At(minute));
}

store::ItemData Note(const std::string& body, int minute) { return testing::Note(body, 3, At(minute)); }

void DialogTest::SetUp() {
    dates::SetRegionalLocale("en_US");
    appData.emplace("NUBRA_COMMON_APPDATA", (tmp.path() / "appdata").string());
    std::filesystem::create_directories(tmp.path() / "appdata");
    runtimeDir.emplace("XDG_RUNTIME_DIR", std::nullopt);
    profile = store::Profile::Open(tmp.path() / "profile");
}

void DialogTest::TearDown() {
    if (auto* d = ui::frmRemDuplicates::Instance()) delete d;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    dialog = nullptr;
    session.reset();
    profile.reset();
}

ui::frmRemDuplicates& DialogTest::Open() {
    if (!session) session = std::make_unique<session::SystemSession>(profile, platform);
    dialog = ui::frmRemDuplicates::Show();
    EXPECT_NE(dialog, nullptr);
    return *dialog;
}

bool DialogTest::CloseDialog() {
    const bool closed = dialog->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (closed) dialog = nullptr;
    return closed;
}

void DialogTest::AddItems(const std::string& path, const std::vector<store::ItemData>& items) {
    profile->AddItems(*Folder(path), items);
}

outlook::FolderRef DialogTest::DuplicatesOf(const outlook::FolderRef& folder) {
    auto subs = folder->Folders();
    for (int32_t i = 1; i <= subs->Count(); ++i)
        if (subs->Item(i)->Name() == "Nubra_Duplicate_Items") return subs->Item(i);
    return nullptr;
}

ui::QtTreeNodes::Node* DialogTest::NodeAt(const std::string& fullPath) {
    ui::QtTreeNodes::Node* found = nullptr;
    int hits = 0;
    auto& nodes = dialog->Nodes();
    for (int i = 1; i <= nodes.Count(); ++i)
        if (nodes.At(i).FullPath() == fullPath) {
            found = &nodes.At(i);
            ++hits;
        }
    EXPECT_EQ(hits, 1) << fullPath;
    return found;
}

void DialogTest::ClickNode(ui::QtTreeNodes::Node* node) {
    ASSERT_NE(node, nullptr);
    auto* tree = Tree();
    tree->scrollToItem(node->Item());
    const QRect rect = tree->visualItemRect(node->Item());
    ASSERT_TRUE(rect.isValid()) << node->FullPath();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

void DialogTest::RunOn(const std::string& fullPath) {
    ClickNode(NodeAt(fullPath));
    ASSERT_TRUE(RunButton()->isEnabled());
    QTest::mouseClick(RunButton(), Qt::LeftButton);
}

std::vector<std::string> DialogTest::LogLines() {
    std::vector<std::string> lines;
    if (!goLog) return lines;
    const std::string text = testing::ReadFile(goLog->FullPath());
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Drop the date and time in front of the two blanks.
        auto sep = line.find("  ");
        lines.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
        start = end + 1;
    }
    return lines;
}

}  // namespace nubra::uitest
