#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "globals/NubraGlobals.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"
#include "ui/FolderTree.h"
#include "ui/TreeNodeList.h"

namespace nubra {
namespace {

using outlook::FolderRef;

// A folder of an in-memory profile. Any member can be made to fail, the way a damaged or
// unreachable store fails under the real client.
class FakeFolder;
class FakeFolders : public outlook::Folders {
public:
    explicit FakeFolders(std::vector<std::shared_ptr<FakeFolder>>& list) : list_(list) {}
    int32_t Count() override;
    FolderRef Item(int32_t index) override;
    FolderRef Item(const std::string& name) override;
    FolderRef Add(const std::string&) override { RaiseError(errnum::kMapiNoSupport); }

private:
    std::vector<std::shared_ptr<FakeFolder>>& list_;
};

class FakeFolder : public outlook::MAPIFolder, public std::enable_shared_from_this<FakeFolder> {
public:
    FakeFolder(std::string name, int32_t type, std::string storeId)
        : name_(std::move(name)), type_(type), storeId_(std::move(storeId)) {
        static int next = 0;
        entryId_ = "E" + std::to_string(++next);
    }
    std::shared_ptr<FakeFolder> Sub(const std::string& name, int32_t type) {
        children.push_back(std::make_shared<FakeFolder>(name, type, storeId_));
        return children.back();
    }

    std::string Name() override {
        if (failName) RaiseError(errnum::kMapiCallFailed, "name unreadable");
        return name_;
    }
    std::string StoreID() override { return storeId_; }
    std::string EntryID() override { return entryId_; }
    int32_t DefaultItemType() override {
        if (failType) RaiseError(errnum::kMapiCorruptData, "type unreadable");
        return type_;
    }
    std::shared_ptr<outlook::Folders> Folders() override {
        if (failFolders) RaiseError(errnum::kMapiNoAccess, "Store cannot be opened");
        return std::make_shared<FakeFolders>(children);
    }
    std::shared_ptr<outlook::Items> Items() override { RaiseError(errnum::kMemberNotSupported); }
    Variant DefaultValue() override { return Variant(entryId_); }

    std::vector<std::shared_ptr<FakeFolder>> children;
    bool failName = false;
    bool failType = false;
    bool failFolders = false;

private:
    std::string name_;
    int32_t type_;
    std::string storeId_;
    std::string entryId_;
};

int32_t FakeFolders::Count() { return static_cast<int32_t>(list_.size()); }
FolderRef FakeFolders::Item(int32_t index) {
    if (index < 1 || index > Count()) RaiseError(errnum::kSubscriptOutOfRange);
    return list_[static_cast<size_t>(index - 1)];
}
FolderRef FakeFolders::Item(const std::string& name) {
    for (auto& f : list_)
        if (f->Name() == name) return f;
    RaiseError(errnum::kMapiNotFound);
}

class FakeNameSpace : public outlook::NameSpace {
public:
    std::shared_ptr<FakeFolder> Store(const std::string& name) {
        stores.push_back(std::make_shared<FakeFolder>(name, outlook::olMailItem, "S" + std::to_string(stores.size())));
        return stores.back();
    }
    std::shared_ptr<outlook::Application> Application() override { return nullptr; }
    std::shared_ptr<outlook::Folders> Folders() override {
        if (failFolders) RaiseError(errnum::kMapiCallFailed, "no stores");
        return std::make_shared<FakeFolders>(stores);
    }
    outlook::ItemRef GetItemFromID(const std::string&, const std::string&) override {
        RaiseError(errnum::kMapiNotFound);
    }
    FolderRef GetFolderFromID(const std::string& entryId, const std::string& storeId) override {
        std::function<FolderRef(std::vector<std::shared_ptr<FakeFolder>>&)> find =
            [&](std::vector<std::shared_ptr<FakeFolder>>& list) -> FolderRef {
            for (auto& f : list) {
                if (f->EntryID() == entryId && f->StoreID() == storeId) return f;
                if (auto hit = find(f->children)) return hit;
            }
            return nullptr;
        };
        if (auto hit = find(stores)) return hit;
        RaiseError(errnum::kMapiNotFound);
    }

    std::vector<std::shared_ptr<FakeFolder>> stores;
    bool failFolders = false;
};

// The log texts written during a test (the date part cut off).
class TreeFixture : public ::testing::Test {
public:
    struct Row {
        std::string key, path;
        int image;
        bool expanded;
    };

protected:
    void SetUp() override {
        goLog = std::make_unique<clsLogging>();
        goLog->LogFile(dir.str(), "Nubra.log", "", false);
    }
    void TearDown() override { goLog.reset(); }

    std::vector<std::string> LogTexts() const {
        std::vector<std::string> texts;
        std::ifstream in(dir.path() / "Nubra.log");
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            auto pos = line.find("  ");
            if (pos != std::string::npos) texts.push_back(line.substr(pos + 2));
        }
        return texts;
    }

    std::vector<Row> Rows() const {
        std::vector<Row> rows;
        for (int i = 1; i <= nodes.Count(); ++i) {
            const auto& n = nodes.At(i);
            EXPECT_EQ(n.Index(), i);
            rows.push_back({n.Key(), n.FullPath(), n.Image(), n.Expanded()});
        }
        return rows;
    }

    testing::TempDir dir;
    testing::RecordingPlatform platform;
    FakeNameSpace ns;
    ui::TreeNodeList nodes;
    ui::FolderTree tree{nodes};
};

void ExpectRows(const std::vector<TreeFixture::Row>& actual, const std::vector<TreeFixture::Row>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("node " + std::to_string(i + 1));
        EXPECT_EQ(actual[i].key, expected[i].key);
        EXPECT_EQ(actual[i].path, expected[i].path);
        EXPECT_EQ(actual[i].image, expected[i].image);
        EXPECT_EQ(actual[i].expanded, expected[i].expanded);
    }
}

TEST_F(TreeFixture, KeysPicturesOrderAndSkippedStoreAndJournal) {
    auto pf = ns.Store("Personal Folders");
    auto inbox = pf->Sub("Inbox", outlook::olMailItem);
    inbox->Sub("Meetings", outlook::olAppointmentItem);  // calendar inside a mail folder
    inbox->Sub("Boards", outlook::olPostItem);
    auto journal = pf->Sub("Journal", outlook::olJournalItem);
    journal->Sub("Below journal", outlook::olMailItem);
    pf->Sub("Contacts", outlook::olContactItem);
    pf->Sub("Tasks", outlook::olTaskItem);
    pf->Sub("Notes", outlook::olNoteItem);
    pf->Sub("Lists", outlook::olDistributionListItem);
    auto hot = ns.Store("Hotmail");
    hot->Sub("Inbox", outlook::olMailItem);
    ns.Store("Archive Folders")->Sub("Inbox", outlook::olMailItem);

    tree.FillTreeView(ns);

    // Personal Folders has 7 subfolder nodes; Hotmail takes number 9; Archive is r10.
    ExpectRows(Rows(), {
                           {"r1", "Personal Folders", 2, true},
                           {"Inbox_2", "Personal Folders\\Inbox", 1, false},
                           {"Meetings_3", "Personal Folders\\Inbox\\Meetings", 4, false},
                           {"Boards_4", "Personal Folders\\Inbox\\Boards", 0, false},
                           {"Contacts_5", "Personal Folders\\Contacts", 3, false},
                           {"Tasks_6", "Personal Folders\\Tasks", 5, false},
                           {"Notes_7", "Personal Folders\\Notes", 6, false},
                           {"Lists_8", "Personal Folders\\Lists", 0, false},
                           {"r10", "Archive Folders", 2, true},
                           {"Inbox_11", "Archive Folders\\Inbox", 1, false},
                       });
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                              "FillTreeView: top level folder Personal Folders added.",
                              "FillTreeView: top level folder Hotmail is skipped",
                              "FillTreeView: top level folder Archive Folders added.",
                              "FillTreeView: 10 nodes added to the treeview",
                          }));
    EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(TreeFixture, OnlyTheFourExactStoreNamesAreSkipped) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Hotmail", true},   {"MSN", true},      {"WinFax", true},  {"Business Contact Manager", true},
        {"hotmail", false},  {"MSN ", false},    {"winfax", false}, {"Business contact manager", false},
        {"Hotmail2", false},
    };
    for (const auto& [name, skipped] : cases) {
        EXPECT_EQ(ui::IsSkippedStoreName(name), skipped) << name;
        ns.Store(name);
    }
    tree.FillTreeView(ns);
    std::vector<std::string> shown;
    for (const auto& r : Rows()) shown.push_back(r.key + "=" + r.path);
    EXPECT_EQ(shown, (std::vector<std::string>{"r5=hotmail", "r6=MSN ", "r7=winfax", "r8=Business contact manager",
                                               "r9=Hotmail2"}));
}

TEST_F(TreeFixture, AStoreThatCannotBeOpenedOrNamedIsLoggedOnceAndTheNextIsShown) {
    auto broken = ns.Store("Broken");
    broken->Sub("Inbox", outlook::olMailItem);
    broken->failFolders = true;
    ns.Store("Nameless")->failName = true;
    ns.Store("Good")->Sub("Inbox", outlook::olMailItem);

    tree.FillTreeView(ns);

    ExpectRows(Rows(), {{"r3", "Good", 2, true}, {"Inbox_4", "Good\\Inbox", 1, false}});
    const auto num = [](int32_t n) { return std::to_string(n); };
    EXPECT_EQ(LogTexts(),
              (std::vector<std::string>{
                  "FillTreeView: Error while trying to open toplevel folder. Folder skipped. Error: " +
                      num(errnum::kMapiNoAccess) + " Store cannot be opened",
                  "FillTreeView: Error while trying to read top level folder name. Folder skipped. Error: " +
                      num(errnum::kMapiCallFailed) + " name unreadable",
                  "FillTreeView: top level folder Good added.",
                  "FillTreeView: 2 nodes added to the treeview",
              }));
}

TEST_F(TreeFixture, AFailureDeepInAStoreCutsOffThatStoreSilently) {
    auto first = ns.Store("First");
    auto a = first->Sub("A", outlook::olMailItem);
    auto a1 = a->Sub("A1", outlook::olMailItem);
    a1->Sub("A1x", outlook::olMailItem)->failType = true;  // fails while walking A1's children
    a->Sub("A2", outlook::olMailItem);                       // never reached
    first->Sub("B", outlook::olMailItem);                    // never reached
    ns.Store("Second")->Sub("C", outlook::olContactItem);

    tree.FillTreeView(ns);

    ExpectRows(Rows(), {
                           {"r1", "First", 2, true},
                           {"A_2", "First\\A", 1, false},
                           {"A1_3", "First\\A\\A1", 1, false},
                           {"r4", "Second", 2, true},
                           {"C_5", "Second\\C", 3, false},
                       });
    EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                              "FillTreeView: top level folder First added.",
                              "FillTreeView: top level folder Second added.",
                              "FillTreeView: 5 nodes added to the treeview",
                          }));
}

TEST_F(TreeFixture, NothingShownWarnsTheUser) {
    ns.Store("MSN")->Sub("Inbox", outlook::olMailItem);
    ns.Store("Dead")->failFolders = true;

    tree.FillTreeView(ns);

    EXPECT_EQ(nodes.Count(), 0);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].prompt,
              "Nubra was unable to read your pst or ost file. Removing duplicate items is not possible");
    EXPECT_EQ(platform.boxes[0].style, vbExclamation);
    EXPECT_EQ(platform.boxes[0].title, "Nubra");
    ASSERT_FALSE(LogTexts().empty());
    EXPECT_EQ(LogTexts().back(), "FillTreeView: no nodes added to treeview!");
}

TEST_F(TreeFixture, NoStoreListIsRaisedToTheCaller) {
    ns.failFolders = true;
    EXPECT_THROW(tree.FillTreeView(ns), AutomationError);
    goOlNameSpace.reset();
    try {
        tree.FillTreeView();
        FAIL() << "no namespace must raise";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), errnum::kObjectVariableNotSet);
    }
}

TEST_F(TreeFixture, EachNodeOpensItsOwnFolderEvenWhenStoresShareAName) {
    auto one = ns.Store("Personal Folders");
    auto inbox1 = one->Sub("Inbox", outlook::olMailItem);
    auto two = ns.Store("Personal Folders");
    auto inbox2 = two->Sub("Inbox", outlook::olMailItem);

    tree.FillTreeView(ns);

    ASSERT_NE(nodes.Find("Inbox_4"), nullptr);
    EXPECT_EQ(nodes.Find("Inbox_4")->FullPath(), nodes.Find("Inbox_2")->FullPath());
    // The path walk can only find the first; the identity finds the one chosen.
    EXPECT_EQ(ui::FindFolderByPath(ns, "Personal Folders\\Inbox"), inbox1);
    EXPECT_EQ(ui::OpenNodeFolder(ns, tree, *nodes.Find("Inbox_2")), inbox1);
    EXPECT_EQ(ui::OpenNodeFolder(ns, tree, *nodes.Find("Inbox_4")), inbox2);
    EXPECT_EQ(ui::OpenNodeFolder(ns, tree, *nodes.Find("r3")), two);
    EXPECT_EQ(tree.IdentityOf("Inbox_4"), (ui::FolderIdentity{inbox2->EntryID(), inbox2->StoreID()}));
    EXPECT_FALSE(tree.IdentityOf("nope").has_value());
}

TEST_F(TreeFixture, PathWalkRejectsMissingNames) {
    ns.Store("Personal Folders")->Sub("Inbox", outlook::olMailItem);
    for (const std::string path : {"Personal Folders\\Outbox", "Other", "Personal Folders\\Inbox\\", ""}) {
        EXPECT_THROW(ui::FindFolderByPath(ns, path), AutomationError) << path;
    }
}

TEST(TreeNodeList, RefusesDuplicateKeysAndUnknownParents) {
    ui::TreeNodeList list;
    list.Add("", 0, "r1", "Store");
    const std::vector<std::tuple<std::string, std::string, int32_t>> bad = {
        {"", "r1", 35602}, {"r9", "x_2", 35601}, {"r1", "r1", 35602}};
    for (const auto& [relative, key, number] : bad) {
        try {
            list.Add(relative, TreeNodes::tvwChild, key, "x");
            ADD_FAILURE() << key;
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), number) << key;
        }
    }
    EXPECT_EQ(list.Count(), 1);
}

}  // namespace
}  // namespace nubra
