// nubrasweep clean as a user runs it, over a mixed folder of 10,000 items: killed at random
// instants, watched by a second process while it runs. Every item stays in exactly one
// folder, and a second run finishes the job.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "standin_host/store/Profile.h"
#include "tests/proof/MixedFolder.h"
#include "tests/proof/RunClean.h"
#include "tests/support/TestEnv.h"

namespace nubra::proof {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int64_t kItems = 10000;
const std::string kFolder = "Personal Folders\\Mixed";

class CleanUnderStress : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* s = std::getenv("NUBRA_PROOF_SEED");
        seed = s && *s ? static_cast<uint32_t>(std::stoul(s)) : static_cast<uint32_t>(std::random_device{}());
        std::cout << "[ proof    ] seed " << seed << " (NUBRA_PROOF_SEED=" << seed << " repeats this run)\n";
        tmpl = new testing::TempDir;
        expectedRemoved = FillMixedProfile(tmpl->path() / "profile", "Mixed", kItems, seed);
    }
    static void TearDownTestSuite() {
        delete tmpl;
        tmpl = nullptr;
    }

    // A copy of the filled profile for one run.
    fs::path FreshProfile(const std::string& name) {
        const auto dir = work.path() / name;
        fs::copy(tmpl->path() / "profile", dir, fs::copy_options::recursive);
        return dir;
    }

    pid_t Start(const fs::path& profile, std::vector<std::string> args) {
        return proof::StartNubrasweep(
            {NUBRASWEEP_BINARY, profile, work.path() / "appdata", work.path() / "config", std::move(args)});
    }
    pid_t StartClean(const fs::path& profile) { return Start(profile, {"clean", kFolder}); }
    static int Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    struct Places {
        std::vector<std::string> folder, duplicates, deleted;
        size_t total() const { return folder.size() + duplicates.size() + deleted.size(); }
    };
    static outlook::FolderRef FindDuplicatesFolder(store::Profile& p) {
        try {
            return p.FindFolder(kFolder + "\\Nubra_Duplicate_Items");
        } catch (const AutomationError&) {
            return {};
        }
    }
    static Places Read(store::Profile& p) {
        auto fld = p.FindFolder(kFolder);
        auto del = p.FindFolder("Personal Folders\\Deleted Items");
        for (;;) {
            auto dup = FindDuplicatesFolder(p);
            std::vector<outlook::MAPIFolder*> folders{fld.get(), del.get()};
            if (dup) folders.push_back(dup.get());
            auto ids = p.ItemIdsSnapshot(folders);
            // The running clean may create the duplicates folder (and move items into it)
            // between the look-up and the snapshot; the snapshot is whole only if the folder
            // still does not exist afterwards.
            if (!dup && FindDuplicatesFolder(p)) continue;
            Places r;
            r.folder = std::move(ids[0]);
            r.deleted = std::move(ids[1]);
            if (dup) r.duplicates = std::move(ids[2]);
            return r;
        }
    }
    // Each item once, in one of the three folders.
    static void ExpectEachOnce(const Places& p, size_t total) {
        std::set<std::string> all;
        for (const auto* v : {&p.folder, &p.duplicates, &p.deleted}) all.insert(v->begin(), v->end());
        EXPECT_EQ(all.size(), p.total()) << "an item is in two places";
        EXPECT_EQ(p.total(), total);
    }

    static inline uint32_t seed = 0;
    static inline testing::TempDir* tmpl = nullptr;
    static inline int64_t expectedRemoved = 0;
    testing::TempDir work;
};

TEST_F(CleanUnderStress, KilledAtRandomInstantsThenRunAgainEndsAsOneRun) {
    // One undisturbed run: its time bounds the kill instants, its result is the goal.
    const auto reference = FreshProfile("reference");
    const auto t0 = Clock::now();
    const int status = Wait(StartClean(reference));
    const auto runTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    Places goal = Read(*store::Profile::Open(reference));
    ASSERT_EQ(goal.total(), static_cast<size_t>(kItems));
    EXPECT_EQ(static_cast<int64_t>(goal.duplicates.size() + goal.deleted.size()), expectedRemoved);
    std::cout << "[ proof    ] clean of " << kItems << " items: " << runTime.count() << " ms, "
              << expectedRemoved << " removed\n";

    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> when(0, runTime.count());
    int survived = 0, midway = 0;
    for (int run = 0; run < 20; ++run) {
        const auto delay = std::chrono::milliseconds(when(rng));
        SCOPED_TRACE("run " + std::to_string(run) + ", killed after " + std::to_string(delay.count()) + " ms");
        const auto dir = FreshProfile("run" + std::to_string(run));
        const pid_t pid = StartClean(dir);
        std::this_thread::sleep_for(delay);
        ::kill(pid, SIGKILL);
        Wait(pid);
        {
            auto p = store::Profile::Open(dir);
            const auto report = p->CheckIntegrity();
            EXPECT_TRUE(report.ok()) << ::testing::PrintToString(report.problems);
            const auto afterKill = Read(*p);
            ExpectEachOnce(afterKill, kItems);
            if (afterKill.folder.size() != kItems && afterKill.folder.size() != goal.folder.size()) ++midway;
        }
        ASSERT_EQ(Wait(StartClean(dir)), 0);
        auto p = store::Profile::Open(dir);
        EXPECT_TRUE(p->CheckIntegrity().ok());
        const auto end = Read(*p);
        ExpectEachOnce(end, kItems);
        EXPECT_EQ(end.folder.size(), goal.folder.size());
        if (!::testing::Test::HasFailure()) ++survived;
    }
    std::cout << "[ proof    ] " << survived << " of 20 kills survived, " << midway << " of them in the middle of a scan\n";
}

TEST_F(CleanUnderStress, RestoreKilledAtRandomInstantsThenRunAgainPutsEverythingBack) {
    // A smaller folder: each round cleans it once before the restore that is killed.
    testing::TempDir small;
    FillMixedProfile(small.path() / "profile", "Mixed", 3000, seed);
    auto fresh = [&](const std::string& name) {
        const auto dir = work.path() / name;
        fs::copy(small.path() / "profile", dir, fs::copy_options::recursive);
        EXPECT_EQ(Wait(StartClean(dir)), 0);
        return dir;
    };
    std::set<std::string> original;
    {
        auto p = store::Profile::Open(small.path() / "profile");
        p->ForEachItem(*p->FindFolder(kFolder), [&](const store::ItemRecord& r) { original.insert(r.entryIdHex); });
    }
    // One undisturbed restore bounds the kill instants.
    const auto reference = fresh("restore-reference");
    const auto t0 = Clock::now();
    ASSERT_EQ(Wait(Start(reference, {"restore", "--last"})), 0);
    const auto restoreTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);

    std::mt19937 rng(seed + 1);
    std::uniform_int_distribution<int64_t> when(0, restoreTime.count());
    int survived = 0;
    for (int run = 0; run < 10; ++run) {
        const auto delay = std::chrono::milliseconds(when(rng));
        SCOPED_TRACE("restore " + std::to_string(run) + ", killed after " + std::to_string(delay.count()) + " ms");
        const auto dir = fresh("restore" + std::to_string(run));
        const pid_t pid = Start(dir, {"restore", "--last"});
        std::this_thread::sleep_for(delay);
        ::kill(pid, SIGKILL);
        Wait(pid);
        {
            auto p = store::Profile::Open(dir);
            ExpectEachOnce(Read(*p), original.size());
        }
        ASSERT_EQ(Wait(Start(dir, {"restore", "--last"})), 0);
        auto p = store::Profile::Open(dir);
        EXPECT_TRUE(p->CheckIntegrity().ok());
        const auto end = Read(*p);
        ExpectEachOnce(end, original.size());
        EXPECT_EQ(std::set<std::string>(end.folder.begin(), end.folder.end()), original);
        EXPECT_FALSE(FindDuplicatesFolder(*p)) << "the emptied duplicates folder stays";
        if (!::testing::Test::HasFailure()) ++survived;
    }
    std::cout << "[ proof    ] restore of 3000 items: " << restoreTime.count() << " ms; " << survived
              << " of 10 kills survived\n";
}

TEST_F(CleanUnderStress, AReaderAlwaysSeesEachItemInExactlyOnePlace) {
    const auto dir = FreshProfile("watched");
    auto reader = store::Profile::Open(dir);
    const pid_t pid = StartClean(dir);
    int reads = 0, changing = 0;
    size_t lastFolder = kItems;
    for (;;) {
        int status = 0;
        const bool done = ::waitpid(pid, &status, WNOHANG) == pid;
        const auto seen = Read(*reader);
        ExpectEachOnce(seen, kItems);
        ++reads;
        if (seen.folder.size() != lastFolder) ++changing;
        lastFolder = seen.folder.size();
        if (::testing::Test::HasFailure()) {
            ::kill(pid, SIGKILL);
            Wait(pid);
            break;
        }
        if (done) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            break;
        }
    }
    std::cout << "[ proof    ] " << reads << " consistent reads, " << changing << " of them saw the scan move on\n";
    EXPECT_GT(changing, 1);
}

}  // namespace
}  // namespace nubra::proof
