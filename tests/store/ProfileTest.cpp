// Profiles, stores and folders: what a new profile holds, and that every kind of change
// survives closing and opening the profile again.
#include <gtest/gtest.h>

#include "StoreTestSupport.h"
#include "standin_host/store/Application.h"

namespace nubra::store::test {
namespace {

using ProfileTest = StoreTest;

TEST_F(ProfileTest, NewProfileHasOneStoreWithTheStandardFolders) {
    auto top = profile->NameSpace()->Folders();
    ASSERT_EQ(top->Count(), 1);
    auto root = top->Item(1);
    EXPECT_EQ(root->Name(), "Personal Folders");
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"Inbox", 0},    {"Sent Items", 0}, {"Drafts", 0}, {"Outbox", 0},  {"Deleted Items", 0},
        {"Calendar", 1}, {"Contacts", 2},   {"Tasks", 3},  {"Journal", 4}, {"Notes", 5}};
    auto subs = root->Folders();
    ASSERT_EQ(subs->Count(), static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        auto f = subs->Item(static_cast<int32_t>(i + 1));
        EXPECT_EQ(f->Name(), expected[i].first);
        EXPECT_EQ(f->DefaultItemType(), expected[i].second) << expected[i].first;
        EXPECT_EQ(f->StoreID(), root->StoreID());
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "profile" / "profile.json"));
}

TEST_F(ProfileTest, StoresAppearInProfileOrderAndNamesMatchExactly) {
    profile->AddStore("second.nbst", "Archive");
    profile->AddStore(dir.path() / "third.nbst", "Old Mail", true);
    auto top = profile->NameSpace()->Folders();
    ASSERT_EQ(top->Count(), 3);
    EXPECT_EQ(top->Item(2)->Name(), "Archive");
    EXPECT_EQ(top->Item(3)->Name(), "Old Mail");
    EXPECT_EQ(top->Item("Archive")->StoreID(), top->Item(2)->StoreID());
    EXPECT_NE(top->Item(1)->StoreID(), top->Item(2)->StoreID());
    // A new store without standard folders still has somewhere to delete to.
    EXPECT_EQ(top->Item(2)->Folders()->Count(), 1);
    EXPECT_EQ(top->Item(3)->Folders()->Count(), 10);
    ExpectError(errnum::kMapiNotFound, [&] { top->Item("archive"); });
    ExpectError(errnum::kMapiNoSupport, [&] { top->Add("x"); });
    ExpectError(errnum::kSubscriptOutOfRange, [&] { top->Item(4); });
    ExpectError(errnum::kMapiCollision, [&] { profile->AddStore("second.nbst", "Again"); });
}

TEST_F(ProfileTest, FolderAddKeepsParentKindAndRefusesExactDuplicates) {
    auto contacts = Folder("Personal Folders\\Contacts");
    auto sub = contacts->Folders()->Add("Nubra_Duplicate_Items");
    EXPECT_EQ(sub->DefaultItemType(), 2);
    ExpectError(errnum::kMapiCollision, [&] { contacts->Folders()->Add("Nubra_Duplicate_Items"); });
    // A name differing only in letter case is another folder.
    auto other = contacts->Folders()->Add("nubra_duplicate_items");
    EXPECT_NE(other->EntryID(), sub->EntryID());
    EXPECT_EQ(contacts->Folders()->Item("Nubra_Duplicate_Items")->EntryID(), sub->EntryID());
    ExpectError(errnum::kMapiNotFound, [&] { contacts->Folders()->Item("Nubra_Duplicate_Item"); });
    ExpectError(errnum::kMapiInvalidParameter, [&] { contacts->Folders()->Add(""); });
    EXPECT_EQ(profile->FolderPath(*sub), "Personal Folders\\Contacts\\Nubra_Duplicate_Items");
}

TEST_F(ProfileTest, DefaultValueTellsFoldersApartAcrossStores) {
    profile->AddStore("b.nbst", "B", true);
    auto a1 = Folder("Personal Folders\\Inbox");
    auto a2 = profile->NameSpace()->Folders()->Item(1)->Folders()->Item("Inbox");
    auto b = Folder("B\\Inbox");
    EXPECT_EQ(a1->DefaultValue(), a2->DefaultValue());
    EXPECT_FALSE(a1->DefaultValue() == b->DefaultValue());  // same name, other store
    EXPECT_FALSE(a1->DefaultValue() == Folder("Personal Folders\\Drafts")->DefaultValue());
}

// Every kind of change is made, the profile closed and opened again, and the change checked.
struct ChangeCase {
    const char* name;
    std::function<void(Profile&)> change;
    std::function<void(Profile&)> check;
};

TEST_F(ProfileTest, EveryKindOfChangeSurvivesReopening) {
    const std::vector<ChangeCase> cases = {
        {"add store",
         [](Profile& p) { p.AddStore("extra.nbst", "Extra"); },
         [](Profile& p) { EXPECT_EQ(p.NameSpace()->Folders()->Item(2)->Name(), "Extra"); }},
        {"add folder",
         [](Profile& p) { p.FindFolder("Personal Folders\\Inbox")->Folders()->Add("Sub"); },
         [](Profile& p) { EXPECT_EQ(p.FindFolder("Personal Folders\\Inbox\\Sub")->DefaultItemType(), 0); }},
        {"add item",
         [](Profile& p) { p.AddItem(*p.FindFolder("Personal Folders\\Inbox"), Mail("kept")); },
         [](Profile& p) {
             auto items = p.FindFolder("Personal Folders\\Inbox")->Items();
             ASSERT_EQ(items->Count(), 1);
             EXPECT_EQ(items->Item(1)->Subject(), "kept");
         }},
        {"move item",
         [](Profile& p) {
             auto item = p.FindFolder("Personal Folders\\Inbox")->Items()->Item(1);
             item->Move(*p.FindFolder("Personal Folders\\Drafts"));
         },
         [](Profile& p) {
             EXPECT_EQ(p.FindFolder("Personal Folders\\Inbox")->Items()->Count(), 0);
             EXPECT_EQ(p.FindFolder("Personal Folders\\Drafts")->Items()->Item(1)->Subject(), "kept");
         }},
        {"delete item",
         [](Profile& p) { p.FindFolder("Personal Folders\\Drafts")->Items()->Item(1)->Delete(); },
         [](Profile& p) {
             EXPECT_EQ(p.FindFolder("Personal Folders\\Drafts")->Items()->Count(), 0);
             EXPECT_EQ(p.FindFolder("Personal Folders\\Deleted Items")->Items()->Item(1)->Subject(), "kept");
         }},
        {"delete for good",
         [](Profile& p) { p.FindFolder("Personal Folders\\Deleted Items")->Items()->Item(1)->Delete(); },
         [](Profile& p) { EXPECT_EQ(p.FindFolder("Personal Folders\\Deleted Items")->Items()->Count(), 0); }},
        {"add items",
         [](Profile& p) {
             std::vector<ItemData> batch = {Note("one", 1), Note("two", 2)};
             p.AddItems(*p.FindFolder("Personal Folders\\Notes"), batch);
         },
         [](Profile& p) {
             auto items = p.FindFolder("Personal Folders\\Notes")->Items();
             ASSERT_EQ(items->Count(), 2);
             EXPECT_EQ(items->Item(2)->Color(), 2);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.change(*profile);
        Reopen();
        c.check(*profile);
        EXPECT_TRUE(profile->CheckIntegrity().ok());
    }
}

TEST_F(ProfileTest, ApplicationGivesNamespaceVersionAndNoWindows) {
    auto app = profile->Application();
    EXPECT_EQ(app, profile->Application());
    auto ns = app->GetNamespace("MAPI");
    EXPECT_EQ(ns->Application(), app);
    ExpectError(errnum::kInvalidProcedureCall, [&] { app->GetNamespace("OTHER"); });
    EXPECT_EQ(app->ActiveExplorer(), nullptr);
    EXPECT_EQ(app->Explorers()->Count(), 0);
    EXPECT_EQ(app->Inspectors()->Count(), 0);
    ::setenv("NUBRA_HOST_VERSION", "12.0.0.1", 1);
    EXPECT_EQ(app->Version(), "12.0.0.1");
    ::unsetenv("NUBRA_HOST_VERSION");
    EXPECT_EQ(app->Version(), "14.0.0.4760");
}

}  // namespace
}  // namespace nubra::store::test
