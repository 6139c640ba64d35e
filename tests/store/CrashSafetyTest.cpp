// Moves between two stores with the process killed at each step, and two processes making
// the same new profile at once: afterwards every item is in exactly one place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "StoreTestSupport.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::store::test {
namespace {

using CrashSafetyTest = StoreTest;

int64_t RawCount(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    int64_t n = -1;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
}

void RawExec(const std::filesystem::path& file, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

int64_t ItemsIn(const std::filesystem::path& file) { return RawCount(file, "SELECT count(*) FROM items"); }

// Runs `work` in a child process that dies by SIGKILL when the store reaches `point`;
// returns whether it died there.
bool KilledAt(const char* point, const std::function<void()>& work) {
    pid_t child = fork();
    if (child == 0) {
        std::string target = point;
        SetFaultHookForTesting([target](const char* p) {
            if (target == p) raise(SIGKILL);
        });
        try {
            work();
        } catch (...) {
        }
        _exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST_F(CrashSafetyTest, MoveBetweenStoresKilledAtEachStepEndsInOneStore) {
    struct Case {
        const char* name;
        const char* point;            // where the move dies
        const char* recoveryPoint;    // where a first recovery dies too (nullptr: none)
        bool oldStoreWithoutTable;    // the destination predates the transit table
    };
    const std::vector<Case> cases = {
        {"after the copy", "move:copied", nullptr, false},
        {"after the removal", "move:removed", nullptr, false},
        {"after the copy, recovery killed too", "move:copied", "recover:removed", false},
        {"after the copy, older destination", "move:copied", nullptr, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto dirN = dir.path() / ("p" + std::to_string(++n));
        profile = Profile::Open(dirN);
        const auto other = profile->AddStore("other.nbst", "Other", true).file;
        const auto home = profile->Stores()[0].file;
        profile->AddItem(*Folder("Personal Folders\\Inbox"), Mail("keep me"));
        auto moving = profile->AddItem(*Folder("Personal Folders\\Inbox"), Task("on the move", 1));
        const std::string entryId = moving->EntryID();
        moving.reset();
        profile.reset();
        if (c.oldStoreWithoutTable) RawExec(other, "DROP TABLE transit");

        ASSERT_TRUE(KilledAt(c.point, [&] {
            auto p = Profile::Open(dirN);
            p->NameSpace()->GetItemFromID(entryId, "")->Move(*p->FindFolder("Other\\Tasks"));
        }));
        // The window is real: the copy exists, and after the copy step so does the original.
        EXPECT_EQ(ItemsIn(other), 1);
        EXPECT_EQ(ItemsIn(home), std::string(c.point) == "move:copied" ? 2 : 1);
        EXPECT_EQ(RawCount(other, "SELECT count(*) FROM transit"), 1);
        if (c.recoveryPoint) {
            ASSERT_TRUE(KilledAt(c.recoveryPoint, [&] { Profile::Open(dirN); }));
            EXPECT_EQ(ItemsIn(home), 1);
            EXPECT_EQ(RawCount(other, "SELECT count(*) FROM transit"), 1);
        }

        profile = Profile::Open(dirN);
        EXPECT_EQ(ItemsIn(home), 1);
        EXPECT_EQ(ItemsIn(other), 1);
        EXPECT_EQ(RawCount(other, "SELECT count(*) FROM transit"), 0);
        EXPECT_EQ(Folder("Personal Folders\\Inbox")->Items()->Item(1)->Subject(), "keep me");
        auto moved = Folder("Other\\Tasks")->Items();
        ASSERT_EQ(moved->Count(), 1);
        EXPECT_EQ(moved->Item(1)->Subject(), "on the move");
        EXPECT_EQ(moved->Item(1)->Status(), 1);
        ExpectError(errnum::kMapiNotFound, [&] { profile->NameSpace()->GetItemFromID(entryId, ""); });
        auto report = profile->CheckIntegrity();
        EXPECT_TRUE(report.ok()) << report.problems.front();
        profile.reset();
    }
}

TEST_F(CrashSafetyTest, MoveWhoseSourceStoreIsMissingIsReportedThenCompleted) {
    const auto dirP = dir.path() / "profile";
    profile->AddStore("other.nbst", "Other", true);
    auto item = profile->AddItem(*Folder("Personal Folders\\Inbox"), Mail("half way"));
    const std::string entryId = item->EntryID();
    item.reset();
    profile.reset();
    ASSERT_TRUE(KilledAt("move:copied", [&] {
        auto p = Profile::Open(dirP);
        p->NameSpace()->GetItemFromID(entryId, "")->Move(*p->FindFolder("Other\\Inbox"));
    }));
    const auto profileFile = dirP / "profile.json";
    std::string both;
    {
        std::ifstream in(profileFile);
        both.assign(std::istreambuf_iterator<char>(in), {});
    }
    {
        std::ofstream out(profileFile);
        out << R"({"format":"nubrasweep-profile","version":1,"stores":[{"file":"other.nbst"}]})";
    }
    profile = Profile::Open(dirP);  // the source is not here: nothing can be decided
    auto report = profile->CheckIntegrity();
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_NE(report.problems[0].find("did not finish"), std::string::npos) << report.problems[0];
    EXPECT_NE(report.problems[0].find("other.nbst"), std::string::npos) << report.problems[0];
    profile.reset();
    {
        std::ofstream out(profileFile);
        out << both;
    }
    profile = Profile::Open(dirP);
    EXPECT_EQ(Folder("Personal Folders\\Inbox")->Items()->Count(), 0);
    EXPECT_EQ(Folder("Other\\Inbox")->Items()->Count(), 1);
    EXPECT_TRUE(profile->CheckIntegrity().ok());
}

TEST_F(CrashSafetyTest, ProcessesCreatingTheSameNewProfileAtOnceMakeItOnce) {
    constexpr int kProcesses = 4;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const auto dirN = dir.path() / ("new" + std::to_string(round));
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kProcesses; ++i) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(go[1]);
                char c = 0;
                int rc = 1;
                if (read(go[0], &c, 1) == 1) {
                    try {
                        auto p = Profile::Open(dirN);
                        p->AddItem(*p->FindFolder("Personal Folders\\Inbox"), Mail("from " + std::to_string(i)));
                        rc = 0;
                    } catch (const AutomationError& e) {
                        std::fprintf(stderr, "child %d: %s\n", i, e.Description().c_str());
                    }
                }
                _exit(rc);
            }
            children.push_back(child);
        }
        close(go[0]);
        // All children start at once.
        ASSERT_EQ(write(go[1], std::string(kProcesses, 'x').data(), kProcesses), kProcesses);
        close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        profile = Profile::Open(dirN);
        EXPECT_EQ(profile->Stores().size(), 1u);
        EXPECT_EQ(Folder("Personal Folders\\Inbox")->Items()->Count(), kProcesses);
        EXPECT_TRUE(profile->CheckIntegrity().ok());
        profile.reset();
    }
}

}  // namespace
}  // namespace nubra::store::test
