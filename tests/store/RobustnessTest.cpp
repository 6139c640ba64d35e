// What the store does with files that are not its own or are damaged, with a second process
// on the same profile, and with a process killed in the middle of its changes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "StoreTestSupport.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/StoreDb.h"
#include "tests/support/TestEnv.h"
#include "host/ClassRegistry.h"

namespace nubra::store::test {
namespace {

using RobustnessTest = StoreTest;

void RawSql(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

void WriteFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
}

TEST_F(RobustnessTest, FilesThatAreNotStoresGiveAnErrorNamingTheFile) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> make;
    };
    const std::vector<Case> cases = {
        {"foreign database", [](const auto& f) { RawSql(f, "CREATE TABLE t(x); INSERT INTO t VALUES (1);"); }},
        {"not a database", [](const auto& f) { WriteFile(f, std::string(5000, 'x')); }},
        {"store of a newer format",
         [this](const auto& f) {
             profile->AddStore(f, "New");
             Reopen();
             RawSql(f, "PRAGMA user_version = 99;");
         }},
        {"store without its tables",
         [this](const auto& f) {
             profile->AddStore(f, "Gone");
             Reopen();
             RawSql(f, "DROP TABLE props;");
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        const auto file = dir.path() / ("bad" + std::to_string(++n) + ".nbst");
        const size_t storesBefore = profile->Stores().size();
        c.make(file);
        if (profile->Stores().size() != storesBefore) {
            // The case added the file to the profile: opening the profile must fail.
            try {
                Reopen();
                ADD_FAILURE() << "opened";
            } catch (const AutomationError& e) {
                EXPECT_NE(e.Description().find(file.string()), std::string::npos) << e.Description();
                EXPECT_TRUE(e.Number() == errnum::kMapiCorruptData || e.Number() == errnum::kMapiNoSupport);
            }
            // Take the store out of the profile again for the next case.
            WriteFile(dir.path() / "profile" / "profile.json",
                      R"({"format":"nubrasweep-profile","version":1,"stores":[{"file":"Personal Folders.nbst"}]})");
            continue;
        }
        auto d = ExpectError(errnum::kMapiCorruptData, [&] { profile->AddStore(file, "X"); });
        EXPECT_NE(d.find(file.string()), std::string::npos) << d;
        EXPECT_EQ(profile->Stores().size(), storesBefore);
        EXPECT_TRUE(std::filesystem::exists(file));  // someone else's file is left alone
    }
}

TEST_F(RobustnessTest, DamagedStoreIsReportedNotCrashedOn) {
    std::vector<ItemData> batch;
    for (int i = 0; i < 2000; ++i) batch.push_back(Mail("message number " + std::to_string(i)));
    profile->AddItems(*Folder("Personal Folders\\Inbox"), batch);
    const auto file = profile->Stores()[0].file;
    profile.reset();
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096 * 3);
        std::string garbage(4096 * 4, '\x5A');
        f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    try {
        profile = Profile::Open(dir.path() / "profile");
        auto report = profile->CheckIntegrity();
        ASSERT_FALSE(report.ok());
        EXPECT_NE(report.problems[0].find(file.string()), std::string::npos);
        // Reading the damaged part raises instead of crashing.
        try {
            auto items = profile->FindFolder("Personal Folders\\Inbox")->Items();
            for (int i = 1; i <= items->Count(); ++i) items->Item(i)->Subject();
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), errnum::kMapiCorruptData);
            EXPECT_NE(e.Description().find(file.string()), std::string::npos);
        }
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), errnum::kMapiCorruptData) << e.Description();
        EXPECT_NE(e.Description().find(file.string()), std::string::npos);
    }
}

TEST_F(RobustnessTest, ADamagedStoreTakesNoChange) {
    std::vector<ItemData> batch;
    for (int i = 0; i < 400; ++i) {
        batch.push_back(Mail("message number " + std::to_string(i)));
        batch.back().Body = std::string(3000, static_cast<char>('a' + i % 26));
    }
    profile->AddItems(*Folder("Personal Folders\\Inbox"), batch);
    const auto file = profile->Stores()[0].file;
    profile.reset();
    // Found sound and changed through SQLite alone: the next opening would not check it again,
    // unless the file changes otherwise, as it does here.
    EXPECT_TRUE(std::filesystem::exists(file.string() + "-sound"));
    {
        // Damage far from the pages a new item is written to: SQLite itself would not notice.
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(file) / 2 / 4096 * 4096));
        const std::string zeros(4096, '\0');
        f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    profile = Profile::Open(dir.path() / "profile");
    const std::string bytesBefore = nubra::testing::ReadFile(file);
    try {
        profile->AddItem(*profile->FindFolder("Personal Folders\\Drafts"), Mail("one more"));
        ADD_FAILURE() << "a damaged store took a change";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), errnum::kMapiCorruptData);
        EXPECT_NE(e.Description().find(file.string() + "\" is damaged"), std::string::npos) << e.Description();
    }
    EXPECT_EQ(nubra::testing::ReadFile(file), bytesBefore);
}

// Walks over the folder tree (the dialog's tree, the explorer, paths) take a stack frame or a
// step per level: a store takes no folder deeper than they can go.
TEST_F(RobustnessTest, NoFolderGoesDeeperThanTheLimit) {
    auto folder = Folder("Personal Folders\\Inbox");
    for (int depth = 2; depth <= StoreDb::kMaxFolderDepth; ++depth) folder = folder->Folders()->Add("d");
    const auto d = ExpectError(errnum::kMapiInvalidParameter, [&] { folder->Folders()->Add("deeper"); });
    EXPECT_NE(d.find("\"deeper\" would be more than 128 levels deep"), std::string::npos) << d;
    EXPECT_NE(d.find(profile->Stores()[0].file.string()), std::string::npos) << d;
    EXPECT_EQ(folder->Folders()->Count(), 0);
}

TEST_F(RobustnessTest, BadProfileFileNamesFileAndLine) {
    profile.reset();
    const auto file = dir.path() / "profile" / "profile.json";
    WriteFile(file, "{\n  \"format\": \"nubrasweep-profile\",\n  oops\n}\n");
    auto d = ExpectError(errnum::kMapiCorruptData, [&] { Profile::Open(dir.path() / "profile"); });
    EXPECT_NE(d.find(file.string()), std::string::npos) << d;
    EXPECT_NE(d.find("line 3"), std::string::npos) << d;
    WriteFile(file, R"({"format":"nubrasweep-profile","version":1,"stores":[{"file":"missing.nbst"}]})");
    d = ExpectError(errnum::kMapiNotFound, [&] { Profile::Open(dir.path() / "profile"); });
    EXPECT_NE(d.find("missing.nbst"), std::string::npos) << d;
}

TEST_F(RobustnessTest, IntegrityCheckFindsBrokenInvariants) {
    profile->AddItem(*Folder("Personal Folders\\Inbox"), Mail("x"));
    ASSERT_TRUE(profile->CheckIntegrity().ok());
    const auto file = profile->Stores()[0].file;
    RawSql(file, "INSERT INTO props(item_id, tag, ival) VALUES (424242, 3, 1);");
    RawSql(file, "INSERT INTO items(folder_id, seq) VALUES (9999, 1);");
    auto report = profile->CheckIntegrity();
    ASSERT_GE(report.problems.size(), 2u);
    std::string all;
    for (const auto& p : report.problems) all += p + "\n";
    EXPECT_NE(all.find("properties of a missing item"), std::string::npos) << all;
    EXPECT_NE(all.find("no existing folder"), std::string::npos) << all;
    EXPECT_NE(all.find(file.string()), std::string::npos) << all;
}

// Format 1 kept each item's folder in its property rows. Such a file opens as before, in the
// current format from then on, with every item, property and search as it was.
TEST_F(RobustnessTest, AStoreOfTheFirstFormatIsUpgradedWhenOpened) {
    profile->AddItem(*Folder("Personal Folders\\Inbox"), Mail("kept in the inbox"));
    profile->AddItem(*Folder("Personal Folders\\Drafts"), Mail("kept in the inbox"));
    profile->AddItem(*Folder("Personal Folders\\Drafts"), Task("a task", 2));
    const auto file = profile->Stores()[0].file;
    profile.reset();
    RawSql(file, R"sql(
        CREATE TABLE props_v1(item_id INTEGER NOT NULL, tag INTEGER NOT NULL, folder_id INTEGER NOT NULL,
          ival INTEGER, tval TEXT, tfold TEXT, bval BLOB, PRIMARY KEY(item_id, tag)) WITHOUT ROWID;
        INSERT INTO props_v1 SELECT p.item_id, p.tag, i.folder_id, p.ival, p.tval, p.tfold, p.bval
          FROM props p JOIN items i ON i.id = p.item_id;
        DROP TABLE props;
        ALTER TABLE props_v1 RENAME TO props;
        CREATE INDEX props_int ON props(folder_id, tag, ival) WHERE ival IS NOT NULL;
        CREATE INDEX props_str ON props(folder_id, tag, tfold) WHERE tfold IS NOT NULL;
        PRAGMA user_version = 1;)sql");

    Reopen();
    auto inbox = Folder("Personal Folders\\Inbox");
    auto drafts = Folder("Personal Folders\\Drafts");
    ASSERT_EQ(inbox->Items()->Count(), 1);
    ASSERT_EQ(drafts->Items()->Count(), 2);
    EXPECT_EQ(drafts->Items()->Item(2)->Subject(), "a task");
    auto withSubject = [](const outlook::FolderRef& folder, const char* subject) {
        auto table = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
        table->SetItem(folder->Items());
        auto r = table->Filter()->SetKind(mapi::RES_AND)->Add(mapi::RES_PROPERTY);
        r->SetRelop(mapi::RELOP_EQ);
        r->SetPropTag(mapi::PR_SUBJECT);
        r->SetValue(subject);
        table->Filter()->Restrict();
        table->GoToFirst();
        int rows = 0;
        while (!table->GetRow().IsEmpty()) ++rows;
        return rows;
    };
    EXPECT_EQ(withSubject(inbox, "KEPT IN THE INBOX"), 1);
    drafts->Items()->Item(1)->Move(*inbox);
    EXPECT_EQ(withSubject(inbox, "kept in the inbox"), 2);
    EXPECT_EQ(withSubject(drafts, "kept in the inbox"), 0);
    EXPECT_TRUE(profile->CheckIntegrity().ok());

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 4);
    sqlite3_finalize(s);
    sqlite3_close(db);
}

// An item's first read comes from its packed row. Whatever the row holds (none: an upgraded
// file fills them; one that does not read: the property rows serve), every item reads the same.
TEST_F(RobustnessTest, AnItemReadsTheSameFromItsPackedRowAsFromItsPropertyRows) {
    const auto folder = Folder("Personal Folders\\Inbox");
    std::string kelvins;  // 600 bytes written, 200 folded: indexed, so read with the item
    for (int i = 0; i < 200; ++i) kelvins += "\xE2\x84\xAA";
    ItemData odd = Mail(kelvins);
    odd.Body = std::string(5000, 'b');  // too long for the index: read when asked for
    odd.extraTagged[0x0E1B000B] = PropValue{mapi::PT_BOOLEAN, 7, {}, {}};
    odd.extraTagged[0x3FF90102] = PropValue{mapi::PT_BINARY, 0, {}, {0, 1, 2}};
    odd.extraTagged[0x3FF80102] = PropValue{mapi::PT_BINARY, 0, {}, {}};
    ItemData sourced = Mail("body in its message");
    sourced.Body = "hello\r\n";
    sourced.Source = ItemSource::PackMessage("Subject: body in its message\r\n\r\nhello\r\n", "", sourced.Body, false);
    ASSERT_TRUE(sourced.Source->bodyDigest);
    profile->AddItems(*folder, std::vector<ItemData>{odd, sourced, Task("t", 2), Contact("c", "d", "e", "f@g"),
                                                     Appointment("a", "b", 46000.5, 46000.75), Note("n", 3)});
    const auto file = profile->Stores()[0].file;
    profile.reset();

    using Read = std::vector<std::pair<std::vector<std::pair<uint32_t, PropValue>>, std::vector<uint32_t>>>;
    auto readAll = [&] {
        auto db = StoreDb::Open(file);
        Read out;
        for (int64_t id = 1; id < 100; ++id)
            if (auto p = db->Props(id)) out.emplace_back(p->props, p->deferred);
        return out;
    };
    const Read packed = readAll();
    ASSERT_EQ(packed.size(), 6u);
    EXPECT_EQ(packed[0].second.size(), 1u);  // the long body
    EXPECT_EQ(packed[1].second.size(), 1u);  // the body in the message
    for (const char* change : {"DELETE FROM packed",
                               "DROP TRIGGER packed_follow_items; DROP TABLE packed; PRAGMA user_version = 3",
                               "UPDATE packed SET data = substr(data, 1, length(data) - 1)",
                               "UPDATE packed SET data = x'02'"}) {
        SCOPED_TRACE(change);
        RawSql(file, change);
        EXPECT_EQ(readAll(), packed);
    }
}

TEST_F(RobustnessTest, SecondConnectionSeesChangesOfTheFirst) {
    auto other = Profile::Open(dir.path() / "profile");
    auto mine = Folder("Personal Folders\\Inbox")->Items();
    auto theirs = other->FindFolder("Personal Folders\\Inbox");
    EXPECT_EQ(mine->Count(), 0);  // now cached here
    other->AddItem(*theirs, Mail("from the other"));
    ASSERT_EQ(mine->Count(), 1);
    auto item = mine->Item(1);
    EXPECT_EQ(item->Subject(), "from the other");
    other->FindFolder("Personal Folders\\Inbox")->Items()->Item(1)->Move(*other->FindFolder("Personal Folders\\Drafts"));
    EXPECT_EQ(mine->Count(), 0);
    EXPECT_EQ(item->Subject(), "from the other");  // the reference follows the item
}

// A child process moves items back and forth between two folders, one transaction each, and
// is killed at an arbitrary moment: afterwards every item is in exactly one folder.
TEST_F(RobustnessTest, KilledWhileMovingLosesAndDoublesNothing) {
    constexpr int kItems = 300;
    std::vector<ItemData> batch;
    for (int i = 0; i < kItems; ++i) batch.push_back(Mail("item " + std::to_string(i)));
    profile->AddItems(*Folder("Personal Folders\\Inbox"), batch);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        profile.reset();
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                auto p = Profile::Open(dir.path() / "profile");
                auto a = p->FindFolder("Personal Folders\\Inbox");
                auto b = p->FindFolder("Personal Folders\\Drafts");
                for (;;) {
                    auto from = a->Items();
                    while (from->Count() > 0) from->Item(1)->Move(*b);
                    std::swap(a, b);
                }
            } catch (...) {
            }
            _exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 170 * round));
        ASSERT_EQ(kill(child, SIGKILL), 0);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "the child ended on its own";
        profile = Profile::Open(dir.path() / "profile");
        std::multiset<std::string> seen;
        for (const char* path : {"Personal Folders\\Inbox", "Personal Folders\\Drafts"}) {
            auto items = Folder(path)->Items();
            for (int i = 1; i <= items->Count(); ++i) seen.insert(items->Item(i)->Subject());
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(kItems));
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), static_cast<size_t>(kItems));
        auto report = profile->CheckIntegrity();
        EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
    }
}

}  // namespace
}  // namespace nubra::store::test
