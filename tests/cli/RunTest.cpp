// Runs before and after: a dry run reports exactly what the real run then removes and changes
// nothing, every run is recorded, and a restore puts every kind of item back once, leaving
// alone what the user moved since.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/Outlook.h"
#include "standin_host/history/History.h"
#include "standin_host/store/Profile.h"
#include "tests/cli/CliFixture.h"

namespace nubra {
namespace {

using clitest::Cli;
using clitest::Lines;
using clitest::Result;
using Json = nlohmann::json;

// Two copies (and a third for mail) of one item of every kind, and one item of each without a
// copy.
std::string Mixed() {
    std::string s;
    auto add = [&](const std::string& line, int copies) {
        for (int i = 0; i < copies; ++i) s += line + "\n";
    };
    add(R"({"Class":43,"Subject":"Report","InternetMessageID":"<r@x>","SentOn":"2024-05-01T10:00:00Z"})", 3);
    add(R"({"Class":43,"Subject":"Other","InternetMessageID":"<o@x>"})", 1);
    add(R"({"Class":40,"FirstName":"Ann","LastName":"Lee","Email1Address":"ann@x"})", 2);
    add(R"({"Class":26,"Subject":"Meet","Location":"Room","Start":"2024-06-01T09:00:00Z","End":"2024-06-01T10:00:00Z"})", 2);
    add(R"({"Class":48,"Subject":"Do it","Status":1,"StartDate":"2024-06-01T00:00:00Z","DueDate":"2024-06-02T00:00:00Z"})", 2);
    add(R"({"Class":44,"Body":"remember the milk","Color":3})", 2);
    return s;
}

class Runs : public Cli {
protected:
    // The folder's items (properties and entry IDs), in no particular order.
    std::multiset<std::string> Items(const std::string& path) {
        auto lines = Lines(MustRun({"list", path, "--json"}).out);
        return {lines.begin(), lines.end()};
    }
    std::vector<Json> JsonLines(const std::string& text) {
        std::vector<Json> out;
        for (const auto& l : Lines(text)) out.push_back(Json::parse(l));
        return out;
    }
    std::string LastRun() {
        auto runs = JsonLines(MustRun({"history", "--json"}).out);
        return runs.empty() ? std::string() : runs.back()["run"].get<std::string>();
    }
};

TEST_F(Runs, ADryRunReportsWhatTheRunRemovesAndARestorePutsItAllBack) {
    const std::string folder = "Personal Folders\\Inbox";
    MustRun({"import", folder, WriteFile("mixed.jsonl", Mixed())});
    const auto before = Items(folder);
    const std::string deletedItems = "Personal Folders\\Deleted Items";

    // The dry run changes nothing and says what would go, and why.
    Result dry = MustRun({"clean", folder, "--dry-run", "--json"});
    EXPECT_EQ(Items(folder), before);
    EXPECT_TRUE(Items(deletedItems).empty());
    EXPECT_EQ(MustRun({"history"}).out, "Run  Started (UTC)  Status  Folders  Removed  Restored  Command\nNo runs yet\n");
    std::multiset<std::string> wouldGo;
    std::string dryOutcome;
    for (const auto& j : JsonLines(dry.out)) {
        if (j.contains("outcome")) {
            dryOutcome = j["outcome"];
            continue;
        }
        wouldGo.insert(j["entryId"].get<std::string>() + " " + j["action"].get<std::string>());
        EXPECT_FALSE(j["duplicateOf"]["entryId"].get<std::string>().empty()) << j.dump();
        EXPECT_FALSE(j["kind"].get<std::string>().empty()) << j.dump();
    }
    EXPECT_EQ(wouldGo.size(), 6u) << dry.out;  // 2 mail, 1 each of the other kinds
    // The dry run speaks for itself; the run says what the dialog says.
    EXPECT_EQ(dryOutcome, "would move 5 duplicate items to subfolder 'Nubra_Duplicate_Items' and delete 1 duplicate note");

    // The real run takes out exactly those.
    Result real = MustRun({"clean", folder});
    EXPECT_EQ(real.out, "Nubra moved 6 duplicate items to subfolder 'Nubra_Duplicate_Items'\n");
    const std::string run = LastRun();
    ASSERT_FALSE(run.empty());
    std::multiset<std::string> went;
    for (const auto& j : JsonLines(MustRun({"history", run, "--json"}).out))
        went.insert(j["entryId"].get<std::string>() + " " + j["action"].get<std::string>());
    EXPECT_EQ(went, wouldGo);
    EXPECT_EQ(Items(folder).size(), before.size() - 6);
    EXPECT_EQ(Items(deletedItems).size(), 1u);  // the note

    // The user moves one of the set-aside items elsewhere: the restore leaves it there.
    {
        auto profile = store::Profile::Open(Profile());
        auto aside = profile->FindFolder(folder + "\\Nubra_Duplicate_Items");
        auto item = aside->Items()->Item(1);
        item->Move(*profile->FindFolder("Personal Folders\\Drafts"));
    }
    Result restored = MustRun({"restore", run});
    EXPECT_EQ(restored.out.rfind("Restored 5 items of run " + run, 0), 0u) << restored.out;
    EXPECT_NE(restored.err.find("moved elsewhere since, left where it is"), std::string::npos) << restored.err;
    EXPECT_EQ(Items("Personal Folders\\Drafts").size(), 1u);
    EXPECT_TRUE(Items(deletedItems).empty());

    // Everything else is back as it was (the moved item aside), and the duplicates folder,
    // empty now, is gone. A second restore moves nothing.
    auto now = Items(folder);
    EXPECT_EQ(now.size(), before.size() - 1);
    for (const auto& line : now) EXPECT_EQ(before.count(line), 1u) << line;
    EXPECT_EQ(MustRun({"tree"}).out.find("Nubra_Duplicate_Items"), std::string::npos);
    EXPECT_EQ(MustRun({"restore", "--last"}).out.rfind("Restored 0 items", 0), 0u);
    EXPECT_EQ(Items(folder), now);
}

TEST_F(Runs, EveryFolderOfEveryStoreAndTheSubfoldersOfOne) {
    MustRun({"store", "add", "second.nbst", "--name", "Second", "--standard-folders"});
    MustRun({"mkdir", "Personal Folders\\Inbox\\Sub"});
    for (const std::string folder : {"Personal Folders\\Inbox", "Personal Folders\\Inbox\\Sub", "Second\\Notes"})
        MustRun({"import", folder, WriteFile("m.jsonl", Mixed())});

    // Below one folder: the folder, its subfolder, never a duplicates folder.
    Result sub = MustRun({"clean", "Personal Folders\\Inbox", "--recursive", "--dry-run"});
    EXPECT_NE(sub.out.find("Personal Folders\\Inbox: would move 5"), std::string::npos) << sub.out;
    EXPECT_NE(sub.out.find("Personal Folders\\Inbox\\Sub: would move 5"), std::string::npos) << sub.out;
    EXPECT_NE(sub.out.find("2 folders, 12 duplicate items would be removed"), std::string::npos) << sub.out;

    // Every folder the tree shows but the Deleted Items (a duplicate there would be deleted for
    // good); the dry run and the run agree on the total.
    Result dry = MustRun({"clean", "--all", "--dry-run"});
    const std::string total = "19 folders, 18 duplicate items";
    EXPECT_EQ(dry.out.find("Deleted Items:"), std::string::npos) << dry.out;
    // What would happen, whatever the dialog would say of it afterwards.
    EXPECT_NE(dry.out.find("Second\\Notes: would move 5 duplicate items to subfolder 'Nubra_Duplicate_Items' and delete "
                           "1 duplicate note\n"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find(total + " would be removed"), std::string::npos) << dry.out;
    Result all = MustRun({"clean", "--all"});
    EXPECT_NE(all.out.find(total + " removed"), std::string::npos) << all.out;
    // Done once, the folders hold no more duplicates, and the duplicates folders are not
    // cleaned themselves.
    Result again = MustRun({"clean", "--all"});
    EXPECT_NE(again.out.find("0 duplicate items removed"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("Nubra_Duplicate_Items:"), std::string::npos) << again.out;
}

TEST_F(Runs, ADryRunCopiesOnlyTheStoresItTouchesAndTakesItsSnapshotAlongWhenEnded) {
    MustRun({"store", "add", "big.nbst", "--name", "Big", "--standard-folders"});
    std::string lines;  // a store whose copy takes a while
    for (int i = 0; i < 1500; ++i)
        lines += "{\"Class\":43,\"Subject\":\"s\",\"Body\":\"" + std::string(20000, 'b') + "\",\"InternetMessageID\":\"<m" +
                 std::to_string(i / 2) + "@x>\"}\n";
    MustRun({"import", "Big\\Inbox", WriteFile("big.jsonl", lines)});
    MustRun({"import", "Personal Folders\\Inbox", WriteFile("mixed.jsonl", Mixed())});
    const auto cache = dir.path() / "cache" / "nubrasweep";
    auto snapshots = [&] {
        std::vector<std::filesystem::path> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(cache, ec))
            if (e.path().filename().string().rfind("dry-run-", 0) == 0 && e.is_directory()) found.push_back(e.path());
        return found;
    };
    // Starts a dry run and sends it `sig` once `ready`; false when it ended before.
    auto interrupt = [&](const std::string& folder, int sig, const std::function<bool()>& ready) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/bin/sh", "sh", "-c", ("exec " + Command({"clean", folder, "--dry-run"})).c_str(), nullptr);
            ::_exit(127);
        }
        int status = 0;
        for (int wait = 0; wait < 60000; ++wait) {
            if (ready()) {
                ::kill(pid, sig);
                ::waitpid(pid, &status, 0);
                return true;
            }
            if (::waitpid(pid, &status, WNOHANG) == pid) return false;
            ::usleep(200);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
    };

    // Ended by Ctrl-C, SIGTERM or SIGHUP at any moment, the copy's included, a dry run leaves
    // no snapshot behind.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(::strsignal(sig));
        EXPECT_TRUE(interrupt("Big\\Inbox", sig, [&] { return !snapshots().empty(); }));
        EXPECT_TRUE(snapshots().empty());
    }

    // Killed outright, it cannot; its snapshot holds a copy of the store it cleans only, the
    // other store listed as it is. The next start clears it away.
    bool killed = false;
    for (int attempt = 0; attempt < 20 && !killed; ++attempt)
        killed = interrupt("Personal Folders\\Inbox", SIGKILL, [&] {
            const auto found = snapshots();
            return !found.empty() && std::filesystem::exists(found.front() / "profile" / "profile.json");
        });
    ASSERT_TRUE(killed) << "the dry run always ended before it could be killed";
    const auto left = snapshots();
    ASSERT_EQ(left.size(), 1u);
    std::vector<std::string> copies;
    for (const auto& e : std::filesystem::directory_iterator(left.front() / "profile"))
        if (e.path().extension() == ".nbst") copies.push_back(e.path().filename().string());
    EXPECT_EQ(copies, std::vector<std::string>{"1-Personal Folders.nbst"});
    const auto listed = Json::parse(testing::ReadFile(left.front() / "profile" / "profile.json"));
    EXPECT_EQ(listed["stores"][1]["file"], (std::filesystem::path(Profile()) / "big.nbst").string());
    EXPECT_EQ(listed["stores"][1]["readOnly"], true);
    MustRun({"stores"});
    EXPECT_TRUE(snapshots().empty());

    // The folder of a key is found in its store, which the dry run copies.
    std::string key;
    for (const auto& line : Lines(MustRun({"tree"}).out))
        if (line.size() > 10 && line.substr(line.size() - 10) == "\tBig\\Inbox") key = line.substr(0, line.find('\t'));
    EXPECT_NE(MustRun({"clean", "--key", key, "--dry-run"}).out.find("would move 750 duplicate items"), std::string::npos);
}

// The history file of the test's profile, as the program names it.
std::filesystem::path HistoryFile(const std::filesystem::path& stateDir) {
    for (const auto& e : std::filesystem::directory_iterator(stateDir / "nubrasweep"))
        if (e.path().extension() == ".sqlite") return e.path();
    return {};
}

void Sql(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// The removals a run groups in its store are committed only after their notes in the history;
// when the history fails, the removals whose notes it lost are undone, and a restore brings back
// what was kept. A full disk fails the notes' commit (the run's first groups fit or none does); a
// history refusing the 1,051st note fails mid-run, after the first group of 1,000 was committed.
TEST_F(Runs, AHistoryThatCannotBeWrittenStopsTheRunAndWhatItMovedComesBack) {
    struct Case {
        const char* name;
        int items;
        bool diskFull;  // else the history refuses notes past the 1,050th
    };
    for (const Case& c : {Case{"full disk", 400, true}, Case{"refused note", 2400, false}}) {
        SCOPED_TRACE(c.name);
        const size_t items = static_cast<size_t>(c.items);
        if (!c.diskFull) MustRun({"store", "add", "refusing.nbst", "--name", "Refusing", "--standard-folders"});
        const std::string inbox = std::string(c.diskFull ? "Personal Folders" : "Refusing") + "\\Inbox";
        std::string lines;
        for (int i = 0; i < c.items; ++i)
            lines += "{\"Class\":43,\"Subject\":\"s" + std::to_string(i / 2) + "\",\"InternetMessageID\":\"<m" +
                     std::to_string(i / 2) + "@x>\"}\n";
        MustRun({"import", inbox, WriteFile("pairs.jsonl", lines)});
        const auto state = dir.path() / "state";
        std::filesystem::create_directories(state);
        struct Unmount {
            std::filesystem::path dir;
            bool mounted = false;
            ~Unmount() {
                if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
            }
        } unmount{state};
        if (c.diskFull) {
            if (::mount("tmpfs", state.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
                GTEST_SKIP() << "cannot mount a tmpfs here";
            unmount.mounted = true;
        }
        MustRun({"history"});  // the history file, made while there is room
        if (c.diskFull) {
            std::ofstream ballast(state / "ballast", std::ios::binary);
            const std::string block(4096, 'x');
            while (ballast.write(block.data(), block.size())) {
            }
            ballast.close();
            std::filesystem::resize_file(state / "ballast", std::filesystem::file_size(state / "ballast") - 96 * 1024);
        } else {
            // Nor does it take the folder's record, so the notes are all a restore has to go by.
            Sql(HistoryFile(state),
                "CREATE TRIGGER refuse AFTER INSERT ON removals WHEN NEW.seq > 1050 BEGIN SELECT RAISE(FAIL, 'refused'); END;"
                "CREATE TRIGGER keep BEFORE DELETE ON removals BEGIN SELECT RAISE(FAIL, 'refused'); END");
        }

        Result failed = Run({"clean", inbox});
        EXPECT_EQ(failed.exit, 1) << failed.out;
        EXPECT_NE(failed.err.find("the history could not record all of run"), std::string::npos) << failed.err;
        EXPECT_EQ(failed.err.find("Recorded as run"), std::string::npos) << failed.err;
        const size_t left = Items(inbox).size();
        EXPECT_GE(left, items / 2);
        if (!c.diskFull) {
            EXPECT_GT(left, items / 2) << "the removals whose notes were refused stayed removed";
            EXPECT_LT(left, items) << "the run's first group was undone too";
        }

        // With room again, the run is shown failed and every item it moved comes back.
        if (c.diskFull) std::filesystem::remove(state / "ballast");
        else Sql(HistoryFile(state), "DROP TRIGGER refuse; DROP TRIGGER keep");
        const std::string run = LastRun();
        EXPECT_NE(MustRun({"history"}).out.find(run + "  "), std::string::npos);
        EXPECT_EQ(JsonLines(MustRun({"history", "--json"}).out).back()["status"], "failed");
        MustRun({"restore", run});
        EXPECT_EQ(Items(inbox).size(), items);
    }
}

TEST_F(Runs, ARestoreMovesOnlyWhatARunPutAsideAndSaysWhatItCouldNot) {
    const std::string inbox = "Personal Folders\\Inbox";
    MustRun({"store", "add", "second.nbst", "--name", "Second", "--standard-folders"});
    MustRun({"import", inbox, WriteFile("mixed.jsonl", Mixed())});
    MustRun({"import", "Second\\Inbox", WriteFile("mixed.jsonl", Mixed())});
    MustRun({"import", "Personal Folders\\Sent Items",
             WriteFile("sent.jsonl", R"({"Class":43,"Subject":"Sent mail","InternetMessageID":"<sent@x>"})" "\n")});
    MustRun({"clean", "--all"});
    const std::string run = LastRun();

    // A record changed by hand: a mail of Sent Items, said to have come from Deleted Items.
    std::string sentEntry, sentFolder, deletedFolder;
    {
        auto profile = store::Profile::Open(Profile());
        auto sent = profile->FindFolder("Personal Folders\\Sent Items");
        sentFolder = sent->EntryID();
        sentEntry = sent->Items()->Item(1)->EntryID();
        deletedFolder = profile->FindFolder("Personal Folders\\Deleted Items")->EntryID();
    }
    Sql(HistoryFile(dir.path() / "state"),
        "UPDATE removals SET entry_before = '" + sentEntry + "', entry_after = '" + sentEntry + "', folder_after = '" +
            sentFolder + "', folder_before = '" + deletedFolder + "', action = 'moved' WHERE run_id = '" + run +
            "' AND rowid = (SELECT min(rowid) FROM removals WHERE run_id = '" + run + "' AND action = 'moved')");
    // A store of the run taken out of the profile.
    {
        const auto file = std::filesystem::path(Profile()) / "profile.json";
        std::string text = testing::ReadFile(file);
        auto j = Json::parse(text);
        auto& stores = j["stores"];
        stores.erase(std::remove_if(stores.begin(), stores.end(),
                                    [](const Json& s) { return s["file"].get<std::string>().find("second") != std::string::npos; }),
                     stores.end());
        std::ofstream(file) << j.dump();
    }
    Result r = Run({"restore", run});
    EXPECT_EQ(r.exit, 1) << r.out;
    EXPECT_NE(r.err.find("not where a run puts what it removes"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("run's items in Second were not restored"), std::string::npos) << r.err;
    EXPECT_EQ(Items("Personal Folders\\Sent Items").size(), 1u);
    EXPECT_TRUE(Items("Personal Folders\\Deleted Items").empty());
    EXPECT_EQ(Items(inbox).size(), Lines(Mixed()).size() - 1);  // all but the tampered one back
}

TEST_F(Runs, HistoryAndCacheFoldersOtherUsersCouldReachAreRefused) {
    const std::string inbox = "Personal Folders\\Inbox";
    MustRun({"import", inbox, WriteFile("mixed.jsonl", Mixed())});
    const auto mine = dir.path() / "state" / "nubrasweep";
    const auto cache = dir.path() / "cache" / "nubrasweep";
    std::filesystem::create_directories(mine);
    std::filesystem::create_directories(dir.path() / "cache");
    std::filesystem::create_directories(dir.path() / "elsewhere");
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::vector<std::string> command;
        const char* refusal;
    };
    const std::vector<Case> cases = {
        {"a state folder others may write to", [&] { std::filesystem::permissions(mine, std::filesystem::perms::all); },
         {"clean", inbox}, "is writable by other users"},
        {"a state folder of another user",
         [&] {
             std::filesystem::permissions(mine, std::filesystem::perms::owner_all);
             if (::chown(mine.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "not root: cannot give a folder away";
         },
         {"clean", inbox}, "belongs to another user"},
        {"a cache folder that is a link",
         [&] {
             ASSERT_EQ(::chown(mine.c_str(), ::geteuid(), ::getegid()), 0);
             std::filesystem::create_directory_symlink(dir.path() / "elsewhere", cache);
         },
         {"clean", inbox, "--dry-run"}, "is a link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        Result r = Run(c.command);
        EXPECT_EQ(r.exit, 1) << r.out;
        EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
        EXPECT_EQ(Items(inbox).size(), Lines(Mixed()).size());
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "elsewhere"));
    }
}

// Runs begun within one second are told apart by a short suffix alone; however many there are,
// none may take another's id (a run that cannot be recorded does not run at all).
TEST_F(Runs, RunsBegunInTheSameSecondGetIdsOfTheirOwn) {
    std::filesystem::create_directories(dir.path() / "state");
    std::filesystem::permissions(dir.path() / "state", std::filesystem::perms::owner_all);
    history::History h(dir.path() / "state" / "history.sqlite");
    std::set<std::string> ids;
    for (int i = 0; i < 500; ++i) ids.insert(h.BeginRun("clean"));
    EXPECT_EQ(ids.size(), 500u);
    EXPECT_EQ(h.Runs().size(), 500u);
}

}  // namespace
}  // namespace nubra
