// The folder scan over the real store: which items stay, which move or go, what is logged, and
// how failures are contained.

#include <algorithm>

#include "host/AutomationDates.h"
#include "tests/engine/EngineFixture.h"

namespace nubra::enginetest {
namespace {

using outlook::FolderRef;
using store::ItemData;

TEST_F(EngineTest, EmptyFolderLogsOpeningAndClosingOnly) {
    auto fld = NewFolder("Empty");
    EXPECT_EQ(Scan(fld), 0);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "clsFldMon.RemDuplicatesInFld: removing duplicate items from folder Empty",
                              "clsFldMon.RemDuplicatesInFld: READY removing duplicates from folder Empty"}));
    EXPECT_EQ(utils->cleanups, 0);
}

TEST_F(EngineTest, ThreeIdenticalMailsKeepTheOldest) {
    auto fld = NewFolder("Three");
    AddAll(fld, {ReceivedMail("<m1@x>", "Hello", At(10, 0)), ReceivedMail("<m1@x>", "Hello", At(9, 0)),
                 ReceivedMail("<m1@x>", "Hello", At(11, 0))});
    ASSERT_EQ(DuplicatesFolder(fld), nullptr);

    EXPECT_EQ(Scan(fld), 2);
    auto kept = Contents(fld);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_DOUBLE_EQ(*kept[0].CreationTime, At(9, 0));
    auto dups = DuplicatesFolder(fld);
    ASSERT_NE(dups, nullptr);
    EXPECT_EQ(Count(dups), 2);
    EXPECT_TRUE(Logged("clsFldMon.RemDuplicatesInFld: 2 duplicate items found for item with logID's: <m1@x>; "));
    EXPECT_TRUE(Logged("clsFldMon.RemDuplicatesInFld: 2 duplicates for item Hello will be moved"));
    EXPECT_TRUE(Logged("clsFldMon.RemDuplicatesInFld: READY removing duplicates from folder Three"));
    EXPECT_EQ(platform.doEventsCount, 2);
    EXPECT_EQ(bar.rejected, 0);
}

TEST_F(EngineTest, EqualCreationTimesKeepTheFirstInTableOrder) {
    auto fld = NewFolder("Ties");
    ItemData first = ReceivedMail("<t@x>", "Tie", At(8, 0));
    first.SenderName = "first";
    ItemData second = ReceivedMail("<t@x>", "Tie", At(8, 0));
    second.SenderName = "second";
    AddAll(fld, {first, second});
    EXPECT_EQ(Scan(fld), 1);
    auto kept = Contents(fld);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].SenderName, "first");
}

struct MailCase {
    const char* name;
    std::vector<ItemData> items;
    int32_t removed;
};

void PrintTo(const MailCase& c, std::ostream* os) { *os << c.name; }

class MailRules : public EngineTest, public ::testing::WithParamInterface<MailCase> {};

TEST_P(MailRules, RemovesExactlyTheDuplicates) {
    auto fld = NewFolder("Mail");
    AddAll(fld, GetParam().items);
    EXPECT_EQ(Scan(fld), GetParam().removed);
    EXPECT_EQ(Count(fld), static_cast<int32_t>(GetParam().items.size()) - GetParam().removed);
}

ItemData WithMessageId(ItemData d, const std::string& id) {
    d.InternetMessageID = id;
    return d;
}

ItemData Post(ItemData d) {
    d.Class = outlook::olPost;
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MailRules,
    ::testing::Values(
        MailCase{"SameMessageIdDifferentSubjects",
                 {ReceivedMail("<a@x>", "One", At(9, 0)), ReceivedMail("<a@x>", "Other", At(9, 5))}, 1},
        MailCase{"DifferentMessageIdsSameSubject",
                 {ReceivedMail("<a@x>", "Same", At(9, 0)), ReceivedMail("<b@x>", "Same", At(9, 5))}, 0},
        MailCase{"SentOneSecondApart",
                 {SentMail("Report", At(12, 0, 0), At(12, 0)), SentMail("Report", At(12, 0, 1), At(12, 1))}, 1},
        MailCase{"SentTwoSecondsApart",
                 {SentMail("Report", At(12, 0, 0), At(12, 0)), SentMail("Report", At(12, 0, 2), At(12, 1))}, 0},
        MailCase{"SentSameTimeDifferentSubject",
                 {SentMail("Report", At(12, 0, 0), At(12, 0)), SentMail("Other", At(12, 0, 0), At(12, 1))}, 0},
        MailCase{"UnsentSameSubject", {UnsentMail("Draft", At(9, 0)), UnsentMail("Draft", At(9, 1))}, 1},
        MailCase{"UnsentSubjectCaseIsTheStoresComparison",
                 {UnsentMail("Draft", At(9, 0)), UnsentMail("DRAFT", At(9, 1))}, 1},
        MailCase{"UnsentDoesNotSwallowSentOrReceived",
                 {UnsentMail("Status", At(9, 0)), SentMail("Status", At(8, 0), At(8, 0)),
                  ReceivedMail("<s@x>", "Status", At(7, 0))},
                 0},
        MailCase{"UnsentDoesNotSwallowOtherKinds",
                 {UnsentMail("Plan", At(9, 0)), Appointment("Plan", "", At(10, 0), At(11, 0), At(8, 0)),
                  Task("Plan", 0, std::nullopt, std::nullopt, At(8, 30))},
                 0},
        MailCase{"UnsentWithEmptyMessageIdProperty",
                 {WithMessageId(UnsentMail("Draft", At(9, 0)), ""), UnsentMail("Draft", At(9, 1)),
                  WithMessageId(UnsentMail("Draft", At(9, 2)), "")},
                 2},
        MailCase{"UnsentWithoutSubjectNeverMatches", {UnsentMail("", At(9, 0)), UnsentMail("", At(9, 1))}, 0},
        MailCase{"PostsByMessageId", {Post(ReceivedMail("<p@x>", "P", At(9, 0))), Post(ReceivedMail("<p@x>", "P", At(9, 1)))}, 1},
        MailCase{"UnsentPostAndUnsentMail", {Post(UnsentMail("Memo", At(9, 0))), UnsentMail("Memo", At(9, 1))}, 1},
        MailCase{"DistributionListsAreNeverMatched",
                 {DistributionList("Team", At(9, 0)), DistributionList("Team", At(9, 1))}, 0},
        MailCase{"DistributionListBetweenDuplicates",
                 {ReceivedMail("<d@x>", "D", At(9, 0)), DistributionList("D", At(9, 1)),
                  ReceivedMail("<d@x>", "D", At(9, 2))},
                 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, UnsentMailLogsWhyItIsSearchedBySubjectAlone) {
    auto fld = NewFolder("Drafts2");
    AddAll(fld, {UnsentMail("", At(9, 0)), UnsentMail("With subject", At(9, 1))});
    EXPECT_EQ(Scan(fld), 0);
    EXPECT_EQ(CountLogLines("clsMailProc.FindMailOnLogicalID: item has no client_submittime so is not sent"), 2);
    EXPECT_EQ(CountLogLines("clsMailProc.FindMailOnLogicalID: item also has no subject so looking for "
                            "duplicates is not possible"),
              1);
}

TEST_F(EngineTest, ExistingDuplicatesFolderIsReused) {
    auto fld = NewFolder("Reuse");
    auto existing = AddFolderTo(fld, kDuplicatesFolderName, outlook::olMailItem);
    AddAll(fld, {ReceivedMail("<r@x>", "R", At(9, 0)), ReceivedMail("<r@x>", "R", At(9, 1))});
    EXPECT_EQ(Scan(fld), 1);
    EXPECT_EQ(fld->Folders()->Count(), 1);
    EXPECT_EQ(Count(existing), 1);
}

TEST_F(EngineTest, FolderNamedInAnotherCaseIsNotTheDuplicatesFolder) {
    auto fld = NewFolder("Case");
    auto lookalike = AddFolderTo(fld, "nubra_duplicate_items", outlook::olMailItem);
    AddAll(fld, {ReceivedMail("<c@x>", "C", At(9, 0)), ReceivedMail("<c@x>", "C", At(9, 1))});
    EXPECT_EQ(Scan(fld), 1);
    EXPECT_EQ(Count(lookalike), 0);
    auto dups = DuplicatesFolder(fld);
    ASSERT_NE(dups, nullptr);
    EXPECT_EQ(Count(dups), 1);
}

TEST_F(EngineTest, FailedMoveFallsBackToDeleteAndIsCounted) {
    auto fld = NewFolder("NoMove");
    AddAll(fld, {ReceivedMail("<f@x>", "F", At(9, 0)), ReceivedMail("<f@x>", "F", At(9, 1)),
                 ReceivedMail("<g@x>", "G", At(9, 2)), ReceivedMail("<g@x>", "G", At(9, 3))});
    auto ns = std::make_shared<FaultyNameSpace>(goOlNameSpace, plan);
    goOlNameSpace = ns;
    plan.failing = {"Move"};
    plan.number = errnum::kMapiNoAccess;
    plan.description = "Access denied";

    EXPECT_EQ(Scan(fld), 2);
    EXPECT_EQ(Count(fld), 2);
    EXPECT_EQ(ns->moveAttempts, 2);
    EXPECT_EQ(CountLogLines("clsFldMon.RemDuplicatesInFld: error# -2147024891 ignored while moving item. Item is "
                            "deleted, Error = Access denied"),
              2);
    auto deleted = profile->FindFolder(std::string(store::kDefaultStoreName) + "\\" + store::kDeletedItemsName);
    EXPECT_EQ(Count(deleted), 2);
}

TEST_F(EngineTest, FailedMoveAndDeleteAreNotCountedAndLeaveTheItem) {
    auto fld = NewFolder("Stuck");
    AddAll(fld, {ReceivedMail("<s@x>", "S", At(9, 0)), ReceivedMail("<s@x>", "S", At(9, 1)),
                 ReceivedMail("<u@x>", "U", At(9, 2))});
    goOlNameSpace = std::make_shared<FaultyNameSpace>(goOlNameSpace, plan);
    plan.failing = {"Move", "Delete"};

    // Nothing left the folder, so nothing is reported removed; the bar never leaves its range.
    EXPECT_EQ(Scan(fld), 0);
    EXPECT_EQ(Count(fld), 3);
    EXPECT_EQ(bar.rejected, 0);
    EXPECT_LE(*std::max_element(bar.values.begin(), bar.values.end()), 3.0f);
}

TEST_F(EngineTest, FirstItemWithoutLogicalIdEndsTheScanWithItsStepMarker) {
    auto fld = NewFolder("Broken");
    AddAll(fld, {ReceivedMail("<b@x>", "B", At(9, 0)), ReceivedMail("<b@x>", "B", At(9, 1))});
    plan.failing = {"GetOneProperty"};
    plan.number = errnum::kMapiCorruptData;
    plan.description = "Property unreadable";

    EXPECT_EQ(Scan(fld), 0);
    EXPECT_EQ(Count(fld), 2);
    EXPECT_TRUE(Logged("ItemGeneral.GetItemLogicalIDs: (MAPI) error# ingnored -2147221221. Raising err 920. Err = "
                       "Property unreadable"));
    EXPECT_TRUE(Logged("Error# 920 in proc: clsFldMon.RemDuplicatesInFld. Property unreadable  LineNumber: 2"));
    EXPECT_FALSE(Logged("READY"));
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_NE(platform.boxes[0].prompt.find("Procedure: clsFldMon.RemDuplicatesInFld"), std::string::npos);
}

TEST_F(EngineTest, LaterItemWithoutLogicalIdIsSkipped) {
    auto fld = NewFolder("Skip");
    AddAll(fld, {DistributionList("first", At(8, 0)), ReceivedMail("<k@x>", "K", At(9, 0)),
                 ReceivedMail("<k@x>", "K", At(9, 1))});
    plan.failing = {"GetOneProperty"};
    EXPECT_EQ(Scan(fld), 0);
    EXPECT_EQ(CountLogLines("Raising err 920"), 2);
    EXPECT_TRUE(Logged("READY removing duplicates from folder Skip"));
    EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(EngineTest, FirstSearchRaisingEndsTheScanWithMarker3) {
    auto fld = NewFolder("Cal", outlook::olAppointmentItem);
    AddAll(fld, {Appointment("A", "", At(10, 0), At(11, 0), At(9, 0)),
                 Appointment("A", "", At(10, 0), At(11, 0), At(9, 1))});
    gsOlVersion = "";
    EXPECT_EQ(Scan(fld), 0);
    EXPECT_TRUE(Logged("Error# 13 in proc: clsFldMon.RemDuplicatesInFld. FindAppOnLogicalID: Type mismatch  "
                       "LineNumber: 3"));
    EXPECT_FALSE(Logged("READY"));
}

// Every item still in the folder is visited once, even when removals move later items up
// past the current position.
TEST_F(EngineTest, RemovalsBeforeThePositionDoNotSkipItems) {
    auto fld = NewFolder("Order");
    AddAll(fld, {ReceivedMail("<A@x>", "A'", At(10, 0)), ReceivedMail("<B@x>", "B1", At(9, 0)),
                 ReceivedMail("<C@x>", "C'", At(10, 0)), ReceivedMail("<B@x>", "B2", At(10, 0)),
                 ReceivedMail("<A@x>", "A", At(9, 0)), ReceivedMail("<C@x>", "C", At(9, 0))});
    EXPECT_EQ(Scan(fld), 3);
    EXPECT_EQ(Subjects(fld), (std::vector<std::string>{"B1", "A", "C"}));
    auto dups = DuplicatesFolder(fld);
    ASSERT_NE(dups, nullptr);
    auto moved = Subjects(dups);
    std::sort(moved.begin(), moved.end());
    EXPECT_EQ(moved, (std::vector<std::string>{"A'", "B2", "C'"}));
    EXPECT_EQ(bar.rejected, 0);
    for (float v : bar.values) EXPECT_LE(v, 6.0f);
}

TEST_F(EngineTest, NotesAreDeletedNotMoved) {
    auto fld = NewFolder("Sticky", outlook::olNoteItem);
    AddAll(fld, {Note("Buy milk", 3, At(9, 0)), Note("Buy milk", 3, At(10, 0))});
    EXPECT_EQ(Scan(fld), 1);
    EXPECT_EQ(Count(fld), 1);
    EXPECT_DOUBLE_EQ(*Contents(fld)[0].CreationTime, At(9, 0));
    EXPECT_EQ(DuplicatesFolder(fld), nullptr);
    EXPECT_FALSE(Logged("will be moved"));
    EXPECT_TRUE(Logged("1 duplicate items found"));
    auto deleted = profile->FindFolder(std::string(store::kDefaultStoreName) + "\\" + store::kDeletedItemsName);
    EXPECT_EQ(Count(deleted), 1);
}

TEST_F(EngineTest, MixedFolderCleansEveryKind) {
    auto fld = NewFolder("Mixed");
    std::vector<ItemData> items = {
        Note("Call Bob", 1, At(8, 0)),
        ReceivedMail("<mx@x>", "Mail", At(8, 1)),
        Contact("Ann", "Lee", "ACME", "ann@acme.example", At(8, 2)),
        Appointment("Review", "Room 1", At(14, 0), At(15, 0), At(8, 3)),
        Task("Write", 1, At(0, 0), At(23, 0), At(8, 4)),
        Post(ReceivedMail("<px@x>", "Post", At(8, 5))),
        DistributionList("Team", At(8, 6)),
    };
    std::vector<ItemData> all = items;
    for (auto d : items) {
        *d.CreationTime += 1.0 / 24;
        all.push_back(d);
    }
    AddAll(fld, all);
    EXPECT_EQ(Scan(fld), 6);
    EXPECT_EQ(Count(fld), 8);  // one of each kind, and both distribution lists
    auto dups = DuplicatesFolder(fld);
    ASSERT_NE(dups, nullptr);
    EXPECT_EQ(Count(dups), 5);
    for (const auto& d : Contents(fld)) {
        if (d.Class == outlook::olDistributionList) continue;
        EXPECT_LT(*d.CreationTime, At(9, 0)) << d.Subject.value_or("");
    }
}

// Every search of a whole scan releases its table and filter, and every search of the
// collecting matchers lets the library clean up.
TEST_F(EngineTest, EverySearchReleasesItsObjects) {
    auto fld = NewFolder("Released");
    AddAll(fld, {ReceivedMail("<r1@x>", "R", At(8, 0)), ReceivedMail("<r1@x>", "R", At(8, 1)),
                 Note("N", 2, At(8, 2)), Contact("C", "D", "", "", At(8, 3)),
                 Appointment("A", "", At(10, 0), At(11, 0), At(8, 4)),
                 Task("T", 0, std::nullopt, std::nullopt, At(8, 5))});
    SearchObjectCounter counter;
    WatchedTables watch(plan, counter);
    EXPECT_EQ(Scan(fld), 1);
    EXPECT_GE(counter.made.size(), 10u);  // a table and a filter per search
    EXPECT_EQ(counter.Alive(), 0);
    // One clean-up per search, and one per GMT conversion of an appointment and a task.
    EXPECT_EQ(utils->cleanups, 5 + 2);
}

TEST_F(EngineTest, ScanningAFolderTwiceResolvesTheColourTagOnce) {
    auto fld = NewFolder("Notes2", outlook::olNoteItem);
    AddAll(fld, {Note("one", 1, At(9, 0)), Note("two", 1, At(9, 1))});
    Scan(fld);
    Scan(fld);
    EXPECT_EQ(CountLogLines("clsAppProc.FindNoteOnLogicalID: hex Color tag: "), 1);
}

}  // namespace
}  // namespace nubra::enginetest
