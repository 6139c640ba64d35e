// The store's caches against changes: a change made through one reference is seen through
// every other and through the MAPI library at once; another process's change is seen once
// SQLite reports it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "StoreTestSupport.h"
#include "host/ClassRegistry.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::store::test {
namespace {

using ConsistencyTest = StoreTest;

Variant SubjectViaMapi(const outlook::ItemRef& item) {
    auto utils = CreateObjectAs<mapi::MAPIUtils>(mapi::kProgIdMAPIUtils);
    return utils->GetOneProperty(item->MAPIOBJECT(), mapi::PR_SUBJECT);
}

// The subjects a contents table of `folder` lists, in order.
std::vector<std::string> TableSubjects(const outlook::FolderRef& folder) {
    auto table = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
    table->SetItem(folder->Items());
    table->SetColumns({mapi::PR_SUBJECT});
    table->GoToFirst();
    std::vector<std::string> r;
    for (Variant row = table->GetRow(); !row.IsEmpty(); row = table->GetRow()) r.push_back(row.AsArray()[0].AsString());
    return r;
}

TEST_F(ConsistencyTest, ChangeThroughOneReferenceIsSeenThroughEveryOther) {
    profile->AddStore("other.nbst", "Other", true);
    auto inbox = Folder("Personal Folders\\Inbox");
    auto deleted = Folder("Personal Folders\\Deleted Items");
    auto elsewhere = Folder("Other\\Inbox");
    auto ns = profile->NameSpace();
    auto a = profile->AddItem(*inbox, Mail("watched"));
    const std::string id = a->EntryID();
    auto b = ns->GetItemFromID(id, "");
    ASSERT_EQ(b->Subject(), "watched");  // b's properties are cached now
    ASSERT_EQ(inbox->Items()->Count(), 1);

    struct Step {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> inbox, deleted, elsewhere;
        bool bGone;
    };
    const std::vector<Step> steps = {
        {"moved within the store", [&] { a->Move(*deleted); }, {}, {"watched"}, {}, false},
        {"moved back", [&] { a->Move(*inbox); }, {"watched"}, {}, {}, false},
        {"deleted into Deleted Items", [&] { a->Delete(); }, {}, {"watched"}, {}, false},
        {"deleted for good", [&] { a->Delete(); }, {}, {}, {}, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        EXPECT_EQ(TableSubjects(inbox), s.inbox);
        EXPECT_EQ(TableSubjects(deleted), s.deleted);
        EXPECT_EQ(inbox->Items()->Count(), static_cast<int32_t>(s.inbox.size()));
        EXPECT_EQ(deleted->Items()->Count(), static_cast<int32_t>(s.deleted.size()));
        if (s.bGone) {
            ExpectError(errnum::kMapiNotFound, [&] { b->Subject(); });
            ExpectError(errnum::kMapiNotFound, [&] { SubjectViaMapi(b); });
            ExpectError(errnum::kMapiNotFound, [&] { b->EntryID(); });
            ExpectError(errnum::kMapiNotFound, [&] { ns->GetItemFromID(id, ""); });
        } else {
            EXPECT_EQ(b->Subject(), "watched");
            EXPECT_EQ(SubjectViaMapi(b).AsString(), "watched");
            EXPECT_EQ(b->EntryID(), id);
        }
    }

    // Into another store: the old references stand for nothing, the moved one for the copy.
    auto c = profile->AddItem(*inbox, Mail("travels"));
    auto d = ns->GetItemFromID(c->EntryID(), "");
    ASSERT_EQ(d->Subject(), "travels");
    c->Move(*elsewhere);
    ExpectError(errnum::kMapiNotFound, [&] { d->Subject(); });
    EXPECT_EQ(SubjectViaMapi(c).AsString(), "travels");
    EXPECT_EQ(TableSubjects(inbox), std::vector<std::string>{});
    EXPECT_EQ(TableSubjects(elsewhere), std::vector<std::string>{"travels"});
}

TEST_F(ConsistencyTest, SecondProfileObjectInThisProcessSeesChangesAtOnce) {
    auto other = Profile::Open(dir.path() / "profile");
    auto mine = profile->AddItem(*Folder("Personal Folders\\Deleted Items"), Mail("soon gone"));
    auto items = Folder("Personal Folders\\Inbox")->Items();
    ASSERT_EQ(mine->Subject(), "soon gone");
    ASSERT_EQ(items->Count(), 0);
    auto theirs = other->NameSpace()->GetItemFromID(mine->EntryID(), "");
    theirs->Delete();  // for good: it is in Deleted Items
    other->AddItem(*other->FindFolder("Personal Folders\\Inbox"), Mail("new"));
    // No waiting: this process's own changes reach every connection at once.
    ExpectError(errnum::kMapiNotFound, [&] { mine->Subject(); });
    ASSERT_EQ(items->Count(), 1);
    EXPECT_EQ(items->Item(1)->Subject(), "new");
}

TEST_F(ConsistencyTest, AnotherProcessesChangeIsSeenAfterTheCheckInterval) {
    profile->AddItem(*Folder("Personal Folders\\Deleted Items"), Mail("doomed"));
    profile.reset();
    // The child starts before this process opens the store again (no SQLite connection
    // crosses the fork) and changes it when told to.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        char c = 0;
        int rc = 1;
        if (read(go[0], &c, 1) == 1) {
            try {
                auto p = Profile::Open(dir.path() / "profile");
                p->FindFolder("Personal Folders\\Deleted Items")->Items()->Item(1)->Delete();
                p->AddItem(*p->FindFolder("Personal Folders\\Inbox"), Mail("from the child"));
                rc = 0;
            } catch (...) {
            }
        }
        _exit(rc);
    }
    close(go[0]);
    profile = Profile::Open(dir.path() / "profile");
    auto inbox = Folder("Personal Folders\\Inbox")->Items();
    auto doomed = Folder("Personal Folders\\Deleted Items")->Items()->Item(1);
    ASSERT_EQ(doomed->Subject(), "doomed");
    ASSERT_EQ(inbox->Count(), 0);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    close(go[1]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::this_thread::sleep_for(kForeignCheckInterval + std::chrono::milliseconds(20));
    ASSERT_EQ(inbox->Count(), 1);
    EXPECT_EQ(inbox->Item(1)->Subject(), "from the child");
    ExpectError(errnum::kMapiNotFound, [&] { doomed->Subject(); });
    EXPECT_EQ(Folder("Personal Folders\\Deleted Items")->Items()->Count(), 0);
    // A change of ours after theirs builds on theirs.
    profile->AddItem(*Folder("Personal Folders\\Inbox"), Mail("ours"));
    EXPECT_EQ(inbox->Count(), 2);
    EXPECT_TRUE(profile->CheckIntegrity().ok());
}

TEST_F(ConsistencyTest, OrderSurvivesFailedChangesWithoutReopening) {
    auto inbox = Folder("Personal Folders\\Inbox");
    auto drafts = Folder("Personal Folders\\Drafts");
    profile->AddItems(*inbox, std::vector<ItemData>{Mail("a"), Mail("b")});
    std::vector<ItemData> bad = {Mail("x"), Mail("y")};
    bad[1].extraTagged[0x0037001E] = PropValue{mapi::PT_LONG, 1, {}, {}};  // type does not fit the tag
    ExpectError(errnum::kMapiInvalidParameter, [&] { profile->AddItems(*inbox, bad); });
    ExpectError(errnum::kMapiNotFound, [&] {
        profile->NameSpace()->GetItemFromID(inbox->Items()->Item(1)->EntryID(), "")->Move(*drafts);
        auto gone = profile->AddItem(*Folder("Personal Folders\\Deleted Items"), Mail("gone"));
        gone->Delete();
        gone->Move(*inbox);  // deleted for good: fails
    });
    profile->AddItem(*inbox, Mail("c"));
    drafts->Items()->Item(1)->Move(*inbox);
    EXPECT_EQ(TableSubjects(inbox), (std::vector<std::string>{"b", "c", "a"}));
    auto report = profile->CheckIntegrity();
    EXPECT_TRUE(report.ok()) << report.problems.front();
    Reopen();
    EXPECT_EQ(TableSubjects(Folder("Personal Folders\\Inbox")), (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(ConsistencyTest, LongTextsAreReadWhenAskedFor) {
    ItemData d = Mail("with a long body");
    d.Body = std::string(20000, 'b') + "end";
    auto item = profile->AddItem(*Folder("Personal Folders\\Inbox"), d);
    auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeMailItem);
    safe->SetItem(item);
    EXPECT_EQ(item->Subject(), "with a long body");
    EXPECT_EQ(safe->Body(), *d.Body);
    auto utils = CreateObjectAs<mapi::MAPIUtils>(mapi::kProgIdMAPIUtils);
    EXPECT_EQ(utils->GetOneProperty(item, static_cast<int32_t>(tags::PR_BODY)).AsString(), *d.Body);
    EXPECT_EQ(profile->ReadItem(*item), [&] {
        ItemData e = d;
        e.CreationTime = profile->ReadItem(*item).CreationTime;
        return e;
    }());
}

}  // namespace
}  // namespace nubra::store::test
