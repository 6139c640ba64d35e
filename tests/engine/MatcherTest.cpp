// The matchers over the real store: each kind's rule, the tag caches, the difference between
// an empty collection and nothing, and what each reports when the library fails.

#include "host/AutomationDates.h"
#include "standin_host/store/MAPILibrary.h"
#include "tests/engine/EngineFixture.h"

namespace nubra::enginetest {
namespace {

using outlook::FolderRef;
using store::ItemData;

// ---- contacts ------------------------------------------------------------------------

struct PairCase {
    const char* name;
    ItemData a;
    ItemData b;
    int32_t removed;
};

void PrintTo(const PairCase& c, std::ostream* os) { *os << c.name; }

class ContactPairs : public EngineTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(ContactPairs, ScanRemovesOnlyTrueDuplicates) {
    auto fld = NewFolder("Contacts2", outlook::olContactItem);
    AddAll(fld, {GetParam().a, GetParam().b});
    EXPECT_EQ(Scan(fld), GetParam().removed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContactPairs,
    ::testing::Values(
        PairCase{"Identical", Contact("Ann", "Lee", "ACME", "ann@x", At(9, 0)),
                 Contact("Ann", "Lee", "ACME", "ann@x", At(9, 1)), 1},
        PairCase{"LastNameCaseDiffers", Contact("Ann", "Lee", "ACME", "ann@x", At(9, 0)),
                 Contact("Ann", "LEE", "ACME", "ann@x", At(9, 1)), 0},
        PairCase{"BothWithoutEmail", Contact("Ann", "Lee", "ACME", "", At(9, 0)),
                 Contact("Ann", "Lee", "ACME", "", At(9, 1)), 1},
        PairCase{"EmailOnlyInOne", Contact("Ann", "Lee", "ACME", "", At(9, 0)),
                 Contact("Ann", "Lee", "ACME", "ann@x", At(9, 1)), 0},
        PairCase{"BlankCompanyAgreesWithEmpty", Contact("Ann", "Lee", "", "", At(9, 0)),
                 Contact("Ann", "Lee", "   ", "", At(9, 1)), 1},
        // Nothing to tell them apart by: never taken for copies of each other.
        PairCase{"AllFourEmpty", Contact("", "", "", "", At(9, 0)), Contact("", " ", "", "", At(9, 1)), 0},
        PairCase{"DifferentCompany", Contact("Ann", "Lee", "ACME", "", At(9, 0)),
                 Contact("Ann", "Lee", "Initech", "", At(9, 1)), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ContactSearchModes) {
    auto fld = NewFolder("People", outlook::olContactItem);
    AddAll(fld, {Contact("Ann", "Lee", "ACME", "a@x", At(9, 0)), Contact("Ann", "Lee", "ACME", "a@x", At(9, 1)),
                 Contact("Bob", "Roe", "", "", At(9, 2))});
    std::string first = "Ann", last = "Lee", company = "ACME", email = "a@x";
    bool dup = false;
    auto all = mon.FindCntOnLogicalID(fld, first, last, company, email, dup, false, true);
    ASSERT_TRUE(all.IsCollection());
    EXPECT_EQ(all.items->size(), 2u);
    EXPECT_FALSE(dup);

    auto one = mon.FindCntOnLogicalID(fld, first, last, company, email, dup, false, false);
    EXPECT_TRUE(one.item);
    EXPECT_TRUE(dup);

    std::string nobody = "Zed";
    auto none = mon.FindCntOnLogicalID(fld, nobody, last, company, email, dup, false, true);
    ASSERT_TRUE(none.IsCollection());
    EXPECT_TRUE(none.items->empty());

    auto empty = NewFolder("NoPeople", outlook::olContactItem);
    const int before = utils->cleanups;
    EXPECT_TRUE(mon.FindCntOnLogicalID(empty, first, last, company, email, dup, false, true).IsNothing());
    EXPECT_EQ(utils->cleanups, before);
}

TEST_F(EngineTest, ContactTagNotResolvableIsLoggedOnEveryCall) {
    auto fld = NewFolder("OnlyMail");
    AddAll(fld, {ReceivedMail("<o@x>", "O", At(9, 0)),
                 Appointment("X", "", At(10, 0), At(11, 0), At(9, 1))});
    std::string a = "Ann", b, c, d;
    bool dup = false;
    EXPECT_TRUE(mon.FindCntOnLogicalID(fld, a, b, c, d, dup, false, true).IsNothing());
    EXPECT_TRUE(mon.FindCntOnLogicalID(fld, a, b, c, d, dup, false, true).IsNothing());
    EXPECT_EQ(CountLogLines("FindCntOnLogicalID: hex lPrEmailTag tag in OnlyMail not set: no contactitem in this "
                            "folder found while #items = 2"),
              2);
}

TEST_F(EngineTest, NamedTagsAreResolvedOncePerFolderAndAgainForAnotherStore) {
    auto other = profile->AddStore(tmp.path() / "other.nbst", "Other Store", true);
    auto here = NewFolder("Here", outlook::olContactItem);
    auto there = AddFolderTo(profile->FindFolder("Other Store"), "There", outlook::olContactItem);
    AddAll(here, {Contact("Ann", "Lee", "", "a@x", At(9, 0))});
    AddAll(there, {Contact("Ann", "Lee", "", "a@x", At(9, 0))});
    std::string a = "Ann", b = "Lee", c, d = "a@x";
    bool dup = false;
    auto count = [&] { return CountLogLines("FindCntOnLogicalID: hex email tag: "); };

    EXPECT_EQ(mon.FindCntOnLogicalID(here, a, b, c, d, dup, false, true).Count(), 1u);
    EXPECT_EQ(mon.FindCntOnLogicalID(here, a, b, c, d, dup, false, true).Count(), 1u);
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(mon.FindCntOnLogicalID(there, a, b, c, d, dup, false, true).Count(), 1u);
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(mon.FindCntOnLogicalID(here, a, b, c, d, dup, false, true).Count(), 1u);
    EXPECT_EQ(count(), 3);
}

// A clsFldMon keeps named-property tags per folder. Two stores number the same named
// properties differently: a scan of a folder of the second store must not search it with the
// first store's numbers.
struct KindCase {
    const char* name;
    int32_t folderType;
    ItemData item;
};
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class TagsAcrossStores : public EngineTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(TagsAcrossStores, AreResolvedAgainForTheOtherStoresNumbering) {
    profile->AddStore(tmp.path() / "other.nbst", "Other Store", true);
    auto copy = [](ItemData d, int minutes) {
        d.CreationTime = At(9, minutes);
        return d;
    };
    auto here = NewFolder("Here", GetParam().folderType);
    AddAll(here, {copy(GetParam().item, 0), copy(GetParam().item, 1)});
    // The other store learns every other kind's names first, so this kind's come later there.
    auto other = profile->FindFolder("Other Store");
    AddAll(AddFolderTo(other, "First", outlook::olMailItem),
           {Contact("F", "L", "", "f@x", At(8, 0)), Task("T", 1, At(8, 0), At(8, 1), At(8, 0)),
            Appointment("A", "R", At(8, 0), At(8, 1), At(8, 0)), Note("N", 4, At(8, 0))});
    auto there = AddFolderTo(other, "There", GetParam().folderType);
    AddAll(there, {copy(GetParam().item, 0), copy(GetParam().item, 1)});
    EXPECT_EQ(Scan(here), 1);
    EXPECT_EQ(Scan(there), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TagsAcrossStores,
    ::testing::Values(
        KindCase{"Appointment", outlook::olAppointmentItem, Appointment("Meet", "Room", At(10, 0), At(11, 0), At(9, 0))},
        KindCase{"Task", outlook::olTaskItem, Task("Do", 1, At(10, 0), At(11, 0), At(9, 0))},
        KindCase{"Note", outlook::olNoteItem, Note("Milk", 3, At(9, 0))}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- appointments --------------------------------------------------------------------

class AppointmentPairs : public EngineTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(AppointmentPairs, ScanRemovesOnlyTrueDuplicates) {
    for (const char* version : {"2010", "2000"}) {
        SCOPED_TRACE(version);
        mon = clsFldMon();
        gsOlVersion = version;
        auto fld = NewFolder(std::string("Cal") + version, outlook::olAppointmentItem);
        AddAll(fld, {GetParam().a, GetParam().b});
        EXPECT_EQ(Scan(fld), GetParam().removed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppointmentPairs,
    ::testing::Values(
        PairCase{"SubjectCaseIgnored", Appointment("Team Meeting", "", At(10, 0), At(11, 0), At(9, 0)),
                 Appointment("TEAM meeting", "", At(10, 0), At(11, 0), At(9, 1)), 1},
        PairCase{"LocationTrimmedAndCaseIgnored", Appointment("M", " Room 1 ", At(10, 0), At(11, 0), At(9, 0)),
                 Appointment("M", "room 1", At(10, 0), At(11, 0), At(9, 1)), 1},
        PairCase{"DifferentLocation", Appointment("M", "Room 1", At(10, 0), At(11, 0), At(9, 0)),
                 Appointment("M", "Room 2", At(10, 0), At(11, 0), At(9, 1)), 0},
        PairCase{"StartsOneSecondApart", Appointment("M", "", At(10, 0, 0), At(11, 0), At(9, 0)),
                 Appointment("M", "", At(10, 0, 1), At(11, 0), At(9, 1)), 0},
        PairCase{"EndsDiffer", Appointment("M", "", At(10, 0), At(11, 0), At(9, 0)),
                 Appointment("M", "", At(10, 0), At(11, 30), At(9, 1)), 0},
        // The newer entry's subject holds the word; the older one is examined first and
        // finds it, then the newer one goes.
        PairCase{"BirthdayComparesTheNameOnly", Appointment("ann party", "", At(0, 0), At(23, 0), At(9, 0)),
                 Appointment("Ann's Birthday", "", At(0, 0), At(23, 0), At(9, 1)), 1},
        PairCase{"BirthdayOfAnotherName", Appointment("Bob's Birthday", "", At(0, 0), At(23, 0), At(9, 0)),
                 Appointment("Ann's Birthday", "", At(0, 0), At(23, 0), At(9, 1)), 0},
        PairCase{"AnniversaryComparesTheNameOnly", Appointment("BOB dinner", "", At(0, 0), At(23, 0), At(9, 0)),
                 Appointment("Bob's Anniversary", "", At(0, 0), At(23, 0), At(9, 1)), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, AppointmentSubjectRules) {
    auto fld = NewFolder("Rules", outlook::olAppointmentItem);
    AddAll(fld, {Appointment("Ann's Birthday", "", At(0, 0), At(23, 0), At(9, 0)),
                 Appointment("Birthday party", "", At(0, 0), At(23, 0), At(9, 1)),
                 Appointment("Line1\r\nLine2", "", At(0, 0), At(23, 0), At(9, 2)),
                 Appointment("ann's birthday", "", At(0, 0), At(23, 0), At(9, 3))});
    std::string start = dates::FormatGeneralDate(At(0, 0)), end = dates::FormatGeneralDate(At(23, 0));
    std::string location;
    bool dup = false;
    auto find = [&](std::string subject) {
        std::vector<std::string> found;
        auto r = mon.FindAppOnLogicalID(fld, start, end, location, subject, dup, false, false);
        EXPECT_TRUE(r.IsCollection());
        if (r.items)
            for (auto& i : *r.items) found.push_back(i->Subject());
        return found;
    };
    // The rule looks at the candidate's subject only, case-sensitively.
    EXPECT_EQ(find("ANN and more"), (std::vector<std::string>{"Ann's Birthday"}));
    EXPECT_EQ(find("Birthday cake"), (std::vector<std::string>{}));
    EXPECT_EQ(find("ANN'S BIRTHDAY"), (std::vector<std::string>{"Ann's Birthday", "ann's birthday"}));

    std::string withMarker = "Line1 CrLf Line2";
    auto r = mon.FindAppOnLogicalID(fld, start, end, location, withMarker, dup, false, false);
    EXPECT_EQ(withMarker, "Line1\r\nLine2");
    ASSERT_EQ(r.Count(), 1u);
    EXPECT_FALSE(dup);
}

TEST_F(EngineTest, AppointmentWhoseSubjectEndsInABlankDoesNotFindItself) {
    auto fld = NewFolder("Blank", outlook::olAppointmentItem);
    auto item = Add(fld, Appointment("Lunch ", "", At(12, 0), At(13, 0), At(9, 0)));
    std::string ids[4];
    mon.GetItemLogicalIDs(item, ids[0], ids[1], ids[2], ids[3]);
    EXPECT_EQ(ids[3], "Lunch");
    bool dup = false;
    auto r = mon.FindAppOnLogicalID(fld, ids[0], ids[1], ids[2], ids[3], dup, false, false);
    ASSERT_TRUE(r.IsCollection());
    EXPECT_TRUE(r.items->empty());
}

TEST_F(EngineTest, AppointmentTagsOnOutlook2000NeedAnAppointmentInTheFolder) {
    gsOlVersion = "2000";
    auto fld = NewFolder("NoCal");
    AddAll(fld, {ReceivedMail("<n@x>", "N", At(9, 0))});
    std::string s = "3/15/2010", e = "3/15/2010", l, subj = "X";
    bool dup = false;
    EXPECT_TRUE(mon.FindAppOnLogicalID(fld, s, e, l, subj, dup, false, false).IsNothing());
    EXPECT_TRUE(Logged("clsAppProc.FindAppOnLogicalID: hex tags in NoCal not set: no appointmentitem in this "
                       "folder found while #items = 1"));

    // Later releases ask the store through the folder and always get a tag.
    gsOlVersion = "2010";
    ClearLog();
    auto r = mon.FindAppOnLogicalID(fld, s, e, l, subj, dup, false, false);
    ASSERT_TRUE(r.IsCollection());
    EXPECT_TRUE(r.items->empty());
    EXPECT_FALSE(Logged("not set"));
}

TEST_F(EngineTest, AppointmentFailuresAreLoggedAndRaised) {
    auto fld = NewFolder("CalErr", outlook::olAppointmentItem);
    AddAll(fld, {Appointment("M", "Here", At(10, 0), At(11, 0), At(9, 0))});
    std::string s = dates::FormatGeneralDate(At(10, 0)), e = dates::FormatGeneralDate(At(11, 0));
    std::string l = "Here", subj = "M";
    bool dup = false;

    gsOlVersion = "";
    try {
        mon.FindAppOnLogicalID(fld, s, e, l, subj, dup, false, false);
        FAIL() << "no error raised";
    } catch (const AutomationError& err) {
        EXPECT_EQ(err.Number(), errnum::kTypeMismatch);
        EXPECT_EQ(err.Source(), "FindAppOnLogicalID");
        EXPECT_EQ(err.Description(), "FindAppOnLogicalID: Type mismatch");
    }
    EXPECT_TRUE(Logged("clsAppProc.FindAppOnLogicalID: error# (NS) 13 Type mismatch linenumber: 3 Parameters: "
                       "starttime(gmt) " + s + " 12/30/1899; endtime(gmt) " + e +
                       "; subject: M; location: Here locationTag: 0"));

    // A failing table read names the step it got to; the library's clean-up is left alone.
    gsOlVersion = "2010";
    SearchObjectCounter counter;
    WatchedTables watch(plan, counter);
    plan.failing = {"GetItemFromID"};
    goOlNameSpace = std::make_shared<FaultyNameSpace>(goOlNameSpace, plan);
    const int cleanups = utils->cleanups;
    EXPECT_THROW(mon.FindAppOnLogicalID(fld, s, e, l, subj, dup, false, false), AutomationError);
    EXPECT_TRUE(Logged("linenumber: 15 Parameters: "));
    EXPECT_EQ(utils->cleanups, cleanups);
    EXPECT_EQ(counter.Alive(), 0);

    std::string bad = "no date";
    plan.failing.clear();
    auto r = mon.FindAppOnLogicalID(fld, bad, e, l, subj, dup, false, false);
    EXPECT_TRUE(r.IsCollection());
    EXPECT_TRUE(Logged("clsAppProc.FindAppOnLogicalID: error# 13 while trying to convert no date to a valid date"));
}

// ---- tasks -----------------------------------------------------------------------------

class TaskPairs : public EngineTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(TaskPairs, ScanRemovesOnlyTrueDuplicates) {
    auto fld = NewFolder("Tasks2", outlook::olTaskItem);
    AddAll(fld, {GetParam().a, GetParam().b});
    EXPECT_EQ(Scan(fld), GetParam().removed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TaskPairs,
    ::testing::Values(PairCase{"Identical", Task("Write", 1, At(0, 0), At(23, 0), At(9, 0)),
                               Task("Write", 1, At(0, 0), At(23, 0), At(9, 1)), 1},
                      PairCase{"SubjectCaseDiffers", Task("Write", 1, At(0, 0), At(23, 0), At(9, 0)),
                               Task("WRITE", 1, At(0, 0), At(23, 0), At(9, 1)), 0},
                      PairCase{"StatusDiffers", Task("Write", 1, At(0, 0), At(23, 0), At(9, 0)),
                               Task("Write", 2, At(0, 0), At(23, 0), At(9, 1)), 0},
                      PairCase{"BothWithoutStart", Task("Write", 0, std::nullopt, At(23, 0), At(9, 0)),
                               Task("Write", 0, std::nullopt, At(23, 0), At(9, 1)), 1},
                      PairCase{"StartOnlyInOne", Task("Write", 0, std::nullopt, At(23, 0), At(9, 0)),
                               Task("Write", 0, At(0, 0), At(23, 0), At(9, 1)), 0},
                      PairCase{"NeitherDate", Task("Write", 0, std::nullopt, std::nullopt, At(9, 0)),
                               Task("Write", 0, std::nullopt, std::nullopt, At(9, 1)), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, TaskSearchModesAndSubjectRewrite) {
    auto fld = NewFolder("Todo", outlook::olTaskItem);
    AddAll(fld, {Task("A\r\nB", 0, std::nullopt, std::nullopt, At(9, 0)),
                 Task("A\r\nB", 0, std::nullopt, std::nullopt, At(9, 1)),
                 Task("Other", 0, std::nullopt, std::nullopt, At(9, 2))});
    std::string s, d, status = "0", subject = "A CrLf B";
    bool dup = false;
    auto one = mon.FindTaskOnLogicalID(fld, s, d, status, subject, dup, false, false);
    EXPECT_EQ(subject, "A\r\nB");
    EXPECT_TRUE(one.item);
    EXPECT_TRUE(dup);

    std::string missing = "Nothing like it";
    auto none = mon.FindTaskOnLogicalID(fld, s, d, status, missing, dup, false, true);
    EXPECT_TRUE(none.IsNothing());
    EXPECT_EQ(CountLogLines("clsAppProc.FindTaskOnLogicalID: hex Start tag: "), 1);
}

TEST_F(EngineTest, TaskFailuresAreLoggedWithTheirStepAndRaised) {
    auto fld = NewFolder("TodoErr", outlook::olTaskItem);
    AddAll(fld, {Task("W", 0, std::nullopt, std::nullopt, At(9, 0))});
    SearchObjectCounter counter;
    WatchedTables watch(plan, counter);
    plan.failing = {"FindFirst"};
    plan.number = errnum::kMapiBusy;
    plan.description = "Store busy";
    std::string s, d, status = "0", subject = "W";
    bool dup = false;
    try {
        mon.FindTaskOnLogicalID(fld, s, d, status, subject, dup, false, true);
        FAIL() << "no error raised";
    } catch (const AutomationError& err) {
        EXPECT_EQ(err.Number(), errnum::kMapiBusy);
        EXPECT_EQ(err.Source(), "FindTaskOnLogicalID");
        EXPECT_EQ(err.Description(), "FindTaskOnLogicalID: Store busy");
    }
    EXPECT_TRUE(Logged("clsAppProc.FindTaskOnLogicalID: error# -2147221238 Store busy line#: 17"));
    EXPECT_EQ(counter.Alive(), 0);

    auto noTasks = NewFolder("NoTasks");
    AddAll(noTasks, {ReceivedMail("<t@x>", "T", At(9, 0))});
    plan.failing.clear();
    EXPECT_TRUE(mon.FindTaskOnLogicalID(noTasks, s, d, status, subject, dup, false, true).IsNothing());
    EXPECT_TRUE(Logged("clsAppProc.FindTaskOnLogicalID: hex tags in NoTasks not set: no taskitem in this folder "
                       "found while #items = 1"));
}

// ---- notes -----------------------------------------------------------------------------

class NotePairs : public EngineTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(NotePairs, ScanDeletesOnlyTrueDuplicates) {
    auto fld = NewFolder("Notes3", outlook::olNoteItem);
    AddAll(fld, {GetParam().a, GetParam().b});
    EXPECT_EQ(Scan(fld), GetParam().removed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotePairs,
    ::testing::Values(PairCase{"Identical", Note("Milk\r\nEggs", 3, At(9, 0)), Note("Milk\r\nEggs", 3, At(9, 1)), 1},
                      PairCase{"ColourDiffers", Note("Milk", 3, At(9, 0)), Note("Milk", 4, At(9, 1)), 0},
                      PairCase{"LineBreaksIgnored", Note("Milk and\r\nEggs\r\n", 3, At(9, 0)),
                               Note("Milk and\r\nEggs", 3, At(9, 1)), 1},
                      PairCase{"LetterCaseCounts", Note("Milk\r\nEggs", 3, At(9, 0)), Note("Milk\r\nEGGS", 3, At(9, 1)), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, NoteTagNeedsANoteInTheFolder) {
    auto fld = NewFolder("NoNotes");
    AddAll(fld, {ReceivedMail("<q@x>", "Q", At(9, 0))});
    std::string subject = "Q", body = "Q";
    int32_t colour = 3;
    EXPECT_TRUE(mon.FindNoteOnLogicalID(fld, subject, body, colour, false, true).IsNothing());
    EXPECT_TRUE(Logged("clsAppProc.FindNoteOnLogicalID: hex tag in NoNotes not set: no noteitem in this folder found"));
}

// ---- failures of collecting matchers: reported, cleaned up, nothing returned -----------

struct FailureCase {
    const char* name;
    const char* op;
    const char* proc;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class CollectFailures : public EngineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CollectFailures, AreHandledAndCleanedUp) {
    auto mail = NewFolder("FMail");
    AddAll(mail, {ReceivedMail("<e@x>", "E", At(9, 0))});
    auto notes = NewFolder("FNotes", outlook::olNoteItem);
    AddAll(notes, {Note("E", 1, At(9, 0))});
    auto people = NewFolder("FPeople", outlook::olContactItem);
    AddAll(people, {Contact("E", "", "", "", At(9, 0))});

    SearchObjectCounter counter;
    WatchedTables watch(plan, counter);
    plan.failing = {GetParam().op};
    const std::string proc = GetParam().proc;
    const int cleanups = utils->cleanups;
    std::string a = "<e@x>", b = "E", c, d;
    Date submit = 0;
    int32_t colour = 1;
    bool dup = false;
    SearchResult r;
    if (proc == "clsMailProc.FindMailOnLogicalID") r = mon.FindMailOnLogicalID(mail, a, submit, b, dup, false, true);
    if (proc == "clsMailProc.FindNoteOnLogicalID") r = mon.FindNoteOnLogicalID(notes, b, b, colour, false, true);
    if (proc == "clsCntProc.FindCntOnLogicalID") r = mon.FindCntOnLogicalID(people, b, c, d, c, dup, false, true);
    EXPECT_TRUE(r.IsNothing());
    EXPECT_TRUE(Logged("Error# " + std::to_string(errnum::kMapiCallFailed + 2147221504) + " in proc: " + proc +
                       ". injected failure  object errorcode: " + std::to_string(errnum::kMapiCallFailed)));
    EXPECT_EQ(utils->cleanups, cleanups + 1);
    EXPECT_EQ(counter.Alive(), 0);
    ASSERT_EQ(platform.boxes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CollectFailures,
    ::testing::Values(FailureCase{"MailRestrict", "Restrict", "clsMailProc.FindMailOnLogicalID"},
                      FailureCase{"MailTable", "CreateTable", "clsMailProc.FindMailOnLogicalID"},
                      FailureCase{"NoteRow", "GetRow", "clsMailProc.FindNoteOnLogicalID"},
                      FailureCase{"NoteColumns", "SetColumns", "clsMailProc.FindNoteOnLogicalID"},
                      FailureCase{"ContactRestrict", "Restrict", "clsCntProc.FindCntOnLogicalID"},
                      FailureCase{"ContactFilter", "SetKind", "clsCntProc.FindCntOnLogicalID"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, MailSingleModeFindFirstFailureIsLoggedOnly) {
    auto fld = NewFolder("Single");
    AddAll(fld, {ReceivedMail("<z@x>", "Z", At(9, 0)), ReceivedMail("<z@x>", "Z", At(9, 1))});
    std::string id = "<z@x>", subject = "Z";
    Date submit = 0;
    bool dup = false;
    auto r = mon.FindMailOnLogicalID(fld, id, submit, subject, dup, false, false);
    EXPECT_TRUE(r.item);
    EXPECT_TRUE(dup);

    SearchObjectCounter counter;
    WatchedTables watch(plan, counter);
    plan.failing = {"FindFirst"};
    dup = false;
    EXPECT_TRUE(mon.FindMailOnLogicalID(fld, id, submit, subject, dup, false, false).IsNothing());
    EXPECT_TRUE(Logged("clsMailProc.FindMailOnLogicalID: FindFirst error# -2147467259 injected failure"));
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(counter.Alive(), 0);
}

TEST_F(EngineTest, MailSubjectMarkerBecomesALineBreakForTheCaller) {
    auto fld = NewFolder("Marker");
    AddAll(fld, {UnsentMail("Top\r\nBottom", At(9, 0))});
    std::string id, subject = "Top CrLf Bottom";
    Date submit = 0;
    bool dup = false;
    auto r = mon.FindMailOnLogicalID(fld, id, submit, subject, dup, false, true);
    EXPECT_EQ(subject, "Top\r\nBottom");
    EXPECT_EQ(r.Count(), 1u);
}

// ---- logical IDs -------------------------------------------------------------------------

TEST_F(EngineTest, LogicalIdsPerKind) {
    auto fld = NewFolder("Ids");
    ItemData received = ReceivedMail("<id@x>", "  Subject ", At(9, 0));
    received.SentOn = At(8, 30, 15);
    ItemData contact = Contact("  Ann ", "\tLee", "ACME", "ann@x", At(9, 0));
    ItemData note = Note("Body text  ", 3, At(9, 0));
    ItemData task = Task(" Write ", 2, std::nullopt, At(23, 0), At(9, 0));
    struct Row {
        ItemData data;
        std::vector<std::string> ids;
    };
    const std::vector<Row> rows = {
        {received, {"<id@x>", dates::FormatGeneralDate(At(8, 30, 15)), "Subject", ""}},
        {UnsentMail("Draft", At(9, 0)), {"", "", "Draft", ""}},
        {contact, {"Ann", "\tLee", "ACME", "ann@x"}},
        {Contact("Bo", "", "", "", At(9, 0)), {"Bo", "", "", ""}},
        {note, {"Body text", "Body text", "3", ""}},
        {task, {"", dates::FormatGeneralDate(At(23, 0)), "2", "Write"}},
        {Appointment(" M ", " Room ", At(10, 0), At(11, 0), At(9, 0)),
         {dates::FormatGeneralDate(At(10, 0)), dates::FormatGeneralDate(At(11, 0)), "Room", "M"}},
        {DistributionList("Team", At(9, 0)), {"", "", "", ""}},
    };
    for (const auto& row : rows) {
        auto item = Add(fld, row.data);
        std::vector<std::string> ids(4, "stale");
        mon.GetItemLogicalIDs(item, ids[0], ids[1], ids[2], ids[3]);
        EXPECT_EQ(ids, row.ids) << "class " << row.data.Class;
    }
}

}  // namespace
}  // namespace nubra::enginetest
