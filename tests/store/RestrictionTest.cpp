// Contents-table searches: the comparison rules of restrictions, both walks, row contents.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>

#include "StoreTestSupport.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::store::test {
namespace {

struct Cond {
    int32_t kind;  // RES_PROPERTY, or RES_NOT for NOT EXIST
    int32_t relop;
    int32_t tag;
    Variant value;
};

class RestrictionTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        folder = Folder("Personal Folders\\Inbox");
        t0 = dates::MakeDate(2022, 2, 3, 4, 5, 6);
        auto mail = [&](const std::string& subject, std::optional<Date> sent) {
            ItemData d = Mail(subject);
            d.SentOn = sent;
            return d;
        };
        std::vector<ItemData> items = {
            mail("Hello World", t0 + 0.3 / 86400),  // sub-second submit time
            mail("hello world", t0 + 1.0 / 86400),
            mail("Hello World ", t0 + 2.0 / 86400),
            mail("HELLO WORLD", std::nullopt),
            Task("task", 2),
            Task("task", 2),
            Note("\xC3\x84rger\r\nmore", 3),  // "Ärger"
            Contact("Ann", "Lee", "ACME", "ann@x.org"),
        };
        items[4].StartDate = t0;
        items[4].DueDate = t0 + 1;
        items[5].DueDate = t0 + 1;
        profile->AddItems(*folder, items);
        // The same items in another folder of the store, which no search of this one may find.
        profile->AddItems(*Folder("Personal Folders\\Drafts"), items);
        utils = CreateObjectAs<mapi::MAPIUtils>(mapi::kProgIdMAPIUtils);
        auto named = [&](const char* guid, uint16_t id, int32_t type) {
            return utils->GetNamedPropertyTag(folder, guid, static_cast<int16_t>(id), false) | type;
        };
        statusTag = named(PSETID_Task, kLidTaskStatus, 3);
        startTag = named(PSETID_Task, kLidTaskStartDate, 0x40);
        dueTag = named(PSETID_Task, kLidTaskDueDate, 0x40);
    }

    std::shared_ptr<mapi::MAPITable> Table(const std::vector<Cond>& conds) {
        auto table = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
        table->SetItem(folder->Items());
        auto filter = table->Filter();
        filter->Clear();
        auto top = filter->SetKind(mapi::RES_AND);
        for (const auto& c : conds) {
            if (c.kind == mapi::RES_NOT) {
                top->Add(mapi::RES_NOT)->SetKind(mapi::RES_EXIST)->SetPropTag(c.tag);
                continue;
            }
            auto r = top->Add(mapi::RES_PROPERTY);
            r->SetRelop(c.relop);
            r->SetPropTag(c.tag);
            r->SetValue(c.value);
        }
        table->SetColumns({mapi::PR_ENTRYID, mapi::PR_SUBJECT});
        return table;
    }

    std::string Label(const Variant& row) {
        const auto& cols = row.AsArray();
        EXPECT_EQ(cols.size(), 2u);
        auto item = profile->NameSpace()->GetItemFromID(utils->BinaryToHex(cols[0]), folder->StoreID());
        EXPECT_EQ(cols[1].AsString(), item->Subject());
        return item->Subject();
    }

    std::vector<std::string> RestrictedWalk(const std::vector<Cond>& conds) {
        auto table = Table(conds);
        table->Filter()->Restrict();
        table->GoToFirst();
        std::vector<std::string> out;
        for (Variant row = table->GetRow(); !row.IsEmpty(); row = table->GetRow()) out.push_back(Label(row));
        return out;
    }

    std::vector<std::string> FindWalk(const std::vector<Cond>& conds, bool forward = true) {
        auto table = Table(conds);
        auto filter = table->Filter();
        std::vector<std::string> out;
        for (bool found = filter->FindFirst(forward); found; found = filter->FindNext(forward)) {
            Variant row = table->GetRow();
            if (row.IsEmpty()) break;
            out.push_back(Label(row));
        }
        return out;
    }

    outlook::FolderRef folder;
    std::shared_ptr<mapi::MAPIUtils> utils;
    Date t0 = 0;
    int32_t statusTag = 0, startTag = 0, dueTag = 0;
};

TEST_F(RestrictionTest, ComparisonRules) {
    const int32_t EQ = mapi::RELOP_EQ, GE = mapi::RELOP_GE, LE = mapi::RELOP_LE, P = mapi::RES_PROPERTY;
    const int32_t sent = mapi::PR_CLIENT_SUBMIT_TIME;
    auto at = [&](double seconds) { return Variant::FromDate(t0 + seconds / 86400); };
    struct Case {
        const char* name;
        std::vector<Cond> conds;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"text ignores letter case", {{P, EQ, mapi::PR_SUBJECT, "hELLO wORLD"}},
         {"Hello World", "hello world", "HELLO WORLD"}},
        {"text keeps blanks", {{P, EQ, mapi::PR_SUBJECT, "hello world "}}, {"Hello World "}},
        {"text beyond ASCII ignores case", {{P, EQ, mapi::PR_CONVERSATION_TOPIC, "\xC3\xA4RGER"}},
         {"\xC3\x84rger"}},
        {"text matching nothing", {{P, EQ, mapi::PR_SUBJECT, "hello"}}, {}},
        {"text against integer property", {{P, EQ, statusTag, "2"}}, {"task", "task"}},
        {"text with blanks against integer", {{P, EQ, statusTag, " 2 "}}, {"task", "task"}},
        {"text that is no number", {{P, EQ, statusTag, "two"}}, {}},
        {"integer against integer", {{P, EQ, statusTag, int32_t{3}}}, {}},
        {"NOT EXIST", {{P, EQ, statusTag, "2"}, {mapi::RES_NOT, 0, startTag, {}}, {P, EQ, dueTag, at(86400)}},
         {"task"}},
        {"date equality", {{P, EQ, startTag, at(0)}}, {"task"}},
        {"window around a whole second", {{P, GE, sent, at(-1)}, {P, LE, sent, at(1)}},
         {"Hello World", "hello world"}},
        {"window two seconds on", {{P, GE, sent, at(1)}, {P, LE, sent, at(3)}}, {"hello world", "Hello World "}},
        {"whole second stands for its sub-seconds", {{P, EQ, sent, at(0)}}, {"Hello World"}},
        {"millisecond precision", {{P, EQ, sent, at(0.3)}}, {"Hello World"}},
        {"millisecond precision, other ms", {{P, EQ, sent, at(0.301)}}, {}},
        {"two text conditions", {{P, EQ, mapi::PR_GIVEN_NAME, "ann"}, {P, EQ, mapi::PR_SURNAME, "LEE"}}, {""}},
        {"empty AND matches every row", {},
         {"Hello World", "hello world", "Hello World ", "HELLO WORLD", "task", "task", "\xC3\x84rger", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RestrictedWalk(c.conds), c.expected);
        EXPECT_EQ(FindWalk(c.conds), c.expected);
    }
}

TEST_F(RestrictionTest, DateReadOutAsTextFindsItsItemAgain) {
    for (int i = 1; i <= 3; ++i) {
        auto item = folder->Items()->Item(i);
        Variant sent = utils->GetOneProperty(item->MAPIOBJECT(), mapi::PR_CLIENT_SUBMIT_TIME);
        Date back = dates::ParseDate(sent.AsString());
        auto found = RestrictedWalk({{mapi::RES_PROPERTY, mapi::RELOP_EQ, mapi::PR_CLIENT_SUBMIT_TIME, Variant::FromDate(back)}});
        EXPECT_EQ(found, std::vector<std::string>{item->Subject()});
    }
}

TEST_F(RestrictionTest, FindWalkBackwardsAndRowsWithMissingValues) {
    const std::vector<Cond> conds = {{mapi::RES_PROPERTY, mapi::RELOP_EQ, mapi::PR_SUBJECT, "hello world"}};
    EXPECT_EQ(FindWalk(conds, false), (std::vector<std::string>{"HELLO WORLD", "hello world", "Hello World"}));
    auto table = Table({});
    table->SetColumns({mapi::PR_ENTRYID, mapi::PR_CLIENT_SUBMIT_TIME, mapi::PR_GIVEN_NAME});
    table->GoToFirst();  // no Restrict: every row
    int rows = 0;
    for (Variant row = table->GetRow(); !row.IsEmpty(); row = table->GetRow(), ++rows) {
        const auto& cols = row.AsArray();
        ASSERT_EQ(cols.size(), 3u);
        EXPECT_EQ(cols[0].type(), Variant::Type::Bytes);
        EXPECT_EQ(cols[1].type() == Variant::Type::Date, rows < 3);
        EXPECT_EQ(cols[2].IsEmpty(), rows != 7);
    }
    EXPECT_EQ(rows, 8);
    EXPECT_TRUE(table->GetRow().IsEmpty());
}

TEST_F(RestrictionTest, IncompleteOrUnfitRestrictionsRaise) {
    auto table = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
    ExpectError(errnum::kMapiInvalidParameter, [&] { table->GoToFirst(); });
    table->SetItem(folder->Items());
    auto top = table->Filter()->SetKind(mapi::RES_AND);
    auto r = top->Add(mapi::RES_PROPERTY);
    r->SetPropTag(mapi::PR_SUBJECT);
    ExpectError(errnum::kMapiInvalidParameter, [&] { table->Filter()->Restrict(); });
    r->SetRelop(mapi::RELOP_EQ);
    r->SetValue("x");
    EXPECT_NO_THROW(table->Filter()->Restrict());
    ExpectError(errnum::kMemberNotSupported, [&] { r->Add(mapi::RES_PROPERTY); });
    ExpectError(errnum::kMemberNotSupported, [&] { top->SetValue("x"); });
    ExpectError(errnum::kInvalidProcedureCall, [&] { top->Add(99); });
    ExpectError(errnum::kInvalidProcedureCall, [&] { table->Filter()->SetKind(mapi::RES_NOT); });
    auto d = top->Add(mapi::RES_PROPERTY);
    d->SetRelop(mapi::RELOP_EQ);
    d->SetPropTag(mapi::PR_CLIENT_SUBMIT_TIME);
    d->SetValue("no date at all");
    ExpectError(errnum::kMapiInvalidParameter, [&] { table->Filter()->Restrict(); });
}

}  // namespace
}  // namespace nubra::store::test

namespace nubra::store::test {
namespace {

// Texts too long for the index (folded form over 512 bytes) are still found by equality in any
// letter case, and inequality takes them into account; rows written under the older rule
// (folded copies of texts up to 4096 bytes) are found alike, each once.
TEST_F(RestrictionTest, LongTextsAreComparedExactlyUnderEitherStorageRule) {
    const std::string longSubject = "Long " + std::string(700, 'x') + " End";
    const std::string upper = "LONG " + std::string(700, 'X') + " END";
    // A text whose folding shrinks it (Kelvin sign, 3 bytes, folds to "k"): over 512 bytes as
    // written, under it once folded.
    std::string kelvins;
    for (int i = 0; i < 200; ++i) kelvins += "\xE2\x84\xAA";
    profile->AddItems(*folder, std::vector<ItemData>{Mail(longSubject), Mail(kelvins)});
    const int32_t EQ = mapi::RELOP_EQ, NE = 5 /* RELOP_NE */, P = mapi::RES_PROPERTY;
    const auto file = profile->Stores()[0].file;
    for (bool olderRule : {false, true}) {
        SCOPED_TRACE(olderRule ? "older rule" : "current rule");
        if (olderRule) {
            // What the older rule wrote: a folded copy of every text up to 4096 bytes.
            profile.reset();
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
            sqlite3_create_function(db, "lower_ascii", 1, SQLITE_UTF8, nullptr,
                                    [](sqlite3_context* ctx, int, sqlite3_value** v) {
                                        std::string t = reinterpret_cast<const char*>(sqlite3_value_text(v[0]));
                                        sqlite3_result_text(ctx, FoldCase(t).c_str(), -1, SQLITE_TRANSIENT);
                                    },
                                    nullptr, nullptr);
            ASSERT_EQ(sqlite3_exec(db, "UPDATE props SET tfold = lower_ascii(tval) WHERE tval IS NOT NULL AND tfold IS NULL AND length(CAST(tval AS BLOB)) <= 4096", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
            Reopen();
            folder = Folder("Personal Folders\\Inbox");
        }
        EXPECT_EQ(RestrictedWalk({{P, EQ, mapi::PR_SUBJECT, upper}}), std::vector<std::string>{longSubject});
        EXPECT_EQ(FindWalk({{P, EQ, mapi::PR_SUBJECT, upper}}), std::vector<std::string>{longSubject});
        EXPECT_EQ(RestrictedWalk({{P, EQ, mapi::PR_SUBJECT, std::string(200, 'k')}}), std::vector<std::string>{kelvins});
        auto others = RestrictedWalk({{P, NE, mapi::PR_SUBJECT, "hello world"}});
        EXPECT_EQ(std::count(others.begin(), others.end(), longSubject), 1);
        EXPECT_EQ(std::count(others.begin(), others.end(), "Hello World"), 0);
        EXPECT_EQ(RestrictedWalk({{P, NE, mapi::PR_SUBJECT, upper}, {P, EQ, mapi::PR_SUBJECT, upper}}),
                  std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace nubra::store::test
