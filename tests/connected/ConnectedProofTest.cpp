// nubrasweep clean on connected stores killed at random instants (SIGKILL), and ended at the
// points of a change between the source and the cache: a second clean must leave the source
// exactly as one undisturbed run does, every message in exactly one place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra::connected_tests {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 20;

uint32_t Seed() {
    const char* s = std::getenv("NUBRA_PROOF_SEED");
    const uint32_t seed = s && *s ? static_cast<uint32_t>(std::stoul(s)) : std::random_device{}();
    std::cout << "[ proof    ] seed " << seed << " (NUBRA_PROOF_SEED=" << seed << " repeats this run)\n";
    return seed;
}

// Starts `clean`, kills it after `delay`, and says whether it was still running then.
bool KillAfter(pid_t pid, std::chrono::milliseconds delay) {
    std::this_thread::sleep_for(delay);
    const bool running = ::waitpid(pid, nullptr, WNOHANG) == 0;
    ::kill(pid, SIGKILL);
    WaitFor(pid);
    return running;
}

// ---------------------------------------------------------------------------------- Maildir

// Where every file of a tree is: kept where it was, or set aside by a run.
struct Tree {
    std::vector<std::string> kept, aside;
    bool operator==(const Tree&) const = default;
};

// A tree cleaned in place: how it is made, attached and cleaned, the point between the source's
// change and the cache's, and where its files are.
struct InPlace {
    const char* name;
    std::function<void(const fs::path&)> generate;
    std::vector<std::string> add;  // the command that attaches it ("{dir}": the tree)
    std::vector<std::string> clean;
    const char* fault;
    std::function<Tree(const fs::path&)> read;
};

// The files of each collection of a vdir and of its Nubra_Duplicate_Items folder, named with
// their collection.
Tree ReadVdir(const fs::path& top) {
    Tree t;
    for (const auto& c : fs::directory_iterator(top)) {
        if (!c.is_directory()) continue;
        for (const auto& [dir, into] : {std::pair{c.path(), &t.kept}, {c.path() / "Nubra_Duplicate_Items", &t.aside}}) {
            std::error_code none;
            for (const auto& f : fs::directory_iterator(dir, none))
                if (f.is_regular_file() && f.path().extension() != "")
                    into->push_back(c.path().filename().string() + "/" + f.path().filename().string());
        }
    }
    std::sort(t.kept.begin(), t.kept.end());
    std::sort(t.aside.begin(), t.aside.end());
    return t;
}

const std::vector<InPlace>& Trees() {
    static const std::vector<InPlace> trees = {
        {"Maildir", [](const fs::path& dir) { ASSERT_GT(GenerateCorpus(dir, 2000, 5), 0); },
         {"store", "add-maildir", "{dir}", "--name", "Box"}, {"clean", "Box\\Inbox"}, "maildir:renamed",
         [](const fs::path& md) { return Tree{MessageFiles(md), MessageFiles(md / ".INBOX.Nubra_Duplicate_Items")}; }},
        {"Vdir",
         [](const fs::path& dir) {
             const auto r = RunProgram({"python3", NUBRA_GENPIM, "--contacts", "800", "--events", "800", "--todos", "400",
                                        dir.string()});
             ASSERT_EQ(r.exit, 0) << r.err;
         },
         {"store", "add-vdir", "{dir}", "--name", "Box"}, {"clean", "--all"}, "vdir:renamed", ReadVdir},
    };
    return trees;
}

class TreeKilled : public ::testing::TestWithParam<size_t> {};

TEST_P(TreeKilled, AtRandomInstantsEndsAsOneUndisturbedRun) {
    const InPlace& t = Trees()[GetParam()];
    const uint32_t seed = Seed();
    testing::TempDir tmp;
    const fs::path corpus = tmp.path() / "corpus";
    t.generate(corpus);
    const Tree all = t.read(corpus);
    auto prepare = [&](const std::string& name) {
        const fs::path tree = tmp.path() / name / "tree";
        fs::create_directories(tree.parent_path());
        fs::copy(corpus, tree, fs::copy_options::recursive);
        User user{tmp.path() / name / "user"};
        auto add = t.add;
        for (auto& a : add)
            if (a == "{dir}") a = tree.string();
        const auto r = user.Run(add);
        EXPECT_EQ(r.exit, 0) << r.err;
        return std::make_pair(tree, user);
    };

    auto [refDir, ref] = prepare("reference");
    const auto t0 = Clock::now();
    ASSERT_EQ(ref.Run(t.clean).exit, 0);
    const auto runTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    const Tree goal = t.read(refDir);
    std::cout << "[ proof    ] clean in place (" << t.name << "): " << runTime.count() << " ms, " << goal.aside.size()
              << " moved\n";

    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> when(0, runTime.count());
    int midway = 0;
    for (int run = 0; run < kRuns + 1; ++run) {
        // The last run ends at the point between the rename and the cache's commit.
        const bool atFault = run == kRuns;
        const auto delay = std::chrono::milliseconds(when(rng));
        SCOPED_TRACE(atFault ? std::string("ended after a rename")
                             : "run " + std::to_string(run) + ", killed after " + std::to_string(delay.count()) + " ms");
        auto [tree, user] = prepare("run" + std::to_string(run));
        if (atFault) {
            EXPECT_EQ(user.Run(t.clean, {{"NUBRA_CONNECTED_FAULT", t.fault}}).exit, 86);
        } else {
            KillAfter(user.Start(t.clean), delay);
        }
        // Every file is in exactly one place.
        const Tree between = t.read(tree);
        std::vector<std::string> both = between.kept, none = all.kept;
        for (const auto& f : between.aside) both.push_back(f.substr(0, f.find('/') + 1) + f.substr(f.rfind('/') + 1));
        std::sort(both.begin(), both.end());
        EXPECT_EQ(both, none);
        if (!between.aside.empty() && between.aside.size() != goal.aside.size()) ++midway;

        const auto again = user.Run(t.clean);
        EXPECT_EQ(again.exit, 0) << again.err;
        EXPECT_TRUE(t.read(tree) == goal);
    }
    std::cout << "[ proof    ] " << kRuns << " kills and one stop after a rename; " << midway
              << " of them in the middle of the moves\n";
}

INSTANTIATE_TEST_SUITE_P(InPlace, TreeKilled, ::testing::Values(0, 1),
                         [](const auto& info) { return std::string(Trees()[info.param].name); });

// ---------------------------------------------------------------------------------- IMAP

TEST(ConnectedProof, ImapKilledAtRandomInstantsEndsAsOneUndisturbedRun) {
    const uint32_t seed = Seed();
    testing::TempDir tmp;
    Dovecot server(tmp.path() / "dovecot");
    if (!server.Started()) GTEST_SKIP() << server.Why();
    Dovecot copyOnly(tmp.path() / "dovecot-copy", Dovecot::Options{false, true, {}});
    ASSERT_TRUE(copyOnly.Started()) << copyOnly.Why();
    const fs::path corpus = tmp.path() / "corpus";
    ASSERT_GT(GenerateCorpus(corpus, 600, 9), 0);
    for (Dovecot* d : {&server, &copyOnly}) {
        d->AddUser("template");
        const auto r = d->Tool("template", {"append", "INBOX", corpus.string()});
        ASSERT_EQ(r.exit, 0) << r.err;
    }
    const auto start = server.Contents("template");
    const size_t total = start.at("INBOX").size();

    auto prepare = [&](Dovecot& d, const std::string& account) {
        d.CopyUser("template", account);
        User user{tmp.path() / ("user-" + account)};
        const auto r = user.Run({"store", "add-imap", d.Url(account), "--ca-file", d.CaFile().string()},
                                {{"NUBRA_IMAP_PASSWORD", Dovecot::Password(account)}});
        EXPECT_EQ(r.exit, 0) << r.err;
        return user;
    };
    auto clean = [&](const User& user, const std::string& account, std::map<std::string, std::string> env = {}) {
        env["NUBRA_IMAP_PASSWORD"] = Dovecot::Password(account);
        return user.Run({"clean", account + "@127.0.0.1\\INBOX"}, env);
    };

    const User ref = prepare(server, "reference");
    const auto t0 = Clock::now();
    ASSERT_EQ(clean(ref, "reference").exit, 0);
    const auto runTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    const auto goal = server.Contents("reference");
    ASSERT_EQ(goal.at("INBOX").size() + goal.at("INBOX/Nubra_Duplicate_Items").size(), total);
    std::cout << "[ proof    ] clean of " << total << " mails on IMAP: " << runTime.count() << " ms, "
              << goal.at("INBOX/Nubra_Duplicate_Items").size() << " moved\n";

    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> when(0, runTime.count());
    int running = 0;
    for (int run = 0; run < kRuns; ++run) {
        const auto delay = std::chrono::milliseconds(when(rng));
        SCOPED_TRACE("run " + std::to_string(run) + ", killed after " + std::to_string(delay.count()) + " ms");
        const std::string account = "run" + std::to_string(run);
        const User user = prepare(server, account);
        if (KillAfter(user.Start({"clean", account + "@127.0.0.1\\INBOX"},
                                 {{"NUBRA_IMAP_PASSWORD", Dovecot::Password(account)}}),
                      delay))
            ++running;
        const auto again = clean(user, account);
        EXPECT_EQ(again.exit, 0) << again.err;
        EXPECT_EQ(server.Contents(account), goal);
    }
    // Ended between the server's change and the cache's: by MOVE, and by COPY before the
    // original was expunged (the next run finds the copy and completes the move).
    struct Stop {
        Dovecot* server;
        const char* point;
    };
    for (const auto& stop : {Stop{&server, "imap:moved"}, Stop{&copyOnly, "imap:copied"}, Stop{&copyOnly, "imap:moved"}}) {
        SCOPED_TRACE(stop.point);
        const std::string account = std::string("stop-") + (stop.server == &server ? "m-" : "c-") + (stop.point + 5);
        const User user = prepare(*stop.server, account);
        EXPECT_EQ(clean(user, account, {{"NUBRA_CONNECTED_FAULT", stop.point}}).exit, 86);
        EXPECT_EQ(clean(user, account).exit, 0);
        EXPECT_EQ(stop.server->Contents(account), goal);
    }
    std::cout << "[ proof    ] " << kRuns << " kills (" << running << " while clean ran) and 3 stops between server and cache\n";
}


// ---------------------------------------------------------------------------------- CardDAV/CalDAV

TEST(ConnectedProof, DavKilledAtRandomInstantsEndsAsOneUndisturbedRun) {
    const uint32_t seed = Seed();
    testing::TempDir tmp;
    Radicale server(tmp.path() / "radicale");
    if (!server.Started()) GTEST_SKIP() << server.Why();
    const fs::path corpus = tmp.path() / "pim";
    const auto made = RunProgram({"python3", NUBRA_GENPIM, "--contacts", "150", "--events", "150", "--todos", "60",
                                  "--seed", "3", corpus.string()});
    ASSERT_EQ(made.exit, 0) << made.err;
    server.AddUser("template");
    ASSERT_EQ(server.Tool("template", {"upload", corpus.string()}).exit, 0);

    // Every collection of the account and what it holds (names and bytes), the account's own
    // name taken out of the links between collections.
    auto contents = [&](const std::string& account) {
        const auto r = server.Tool(account, {"dump"});
        EXPECT_EQ(r.exit, 0) << r.err;
        return std::regex_replace(r.out, std::regex("/" + account + "/"), "/ACCOUNT/");
    };
    auto env = [](const std::string& account, std::map<std::string, std::string> more = {}) {
        more["NUBRA_DAV_PASSWORD"] = Radicale::Password(account);
        return more;
    };

    auto prepare = [&](const std::string& account) {
        fs::copy(server.Storage("template"), server.Storage(account), fs::copy_options::recursive);
        server.AddUser(account);
        User user{tmp.path() / ("user-" + account)};
        const auto r =
            user.Run({"store", "add-dav", server.Url(account), "--ca-file", server.CaFile().string()}, env(account));
        EXPECT_EQ(r.exit, 0) << r.err;
        return user;
    };
    const User ref = prepare("reference");
    const auto t0 = Clock::now();
    ASSERT_EQ(ref.Run({"clean", "--all"}, env("reference")).exit, 0);
    const auto runTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    const std::string goal = contents("reference");
    ASSERT_NE(goal, contents("template"));
    std::cout << "[ proof    ] clean --all on CardDAV/CalDAV: " << runTime.count() << " ms\n";

    std::mt19937 rng(seed);
    std::uniform_int_distribution<int64_t> when(0, runTime.count());
    int running = 0;
    for (int run = 0; run < kRuns + 1; ++run) {
        // The last run ends between the server's move and the cache's.
        const bool atFault = run == kRuns;
        const auto delay = std::chrono::milliseconds(when(rng));
        SCOPED_TRACE(atFault ? std::string("ended after a move")
                             : "run " + std::to_string(run) + ", killed after " + std::to_string(delay.count()) + " ms");
        const std::string account = "run" + std::to_string(run);
        const User user = prepare(account);
        if (atFault) {
            EXPECT_EQ(user.Run({"clean", "--all"}, env(account, {{"NUBRA_CONNECTED_FAULT", "dav:moved"}})).exit, 86);
        } else if (KillAfter(user.Start({"clean", "--all"}, env(account)), delay)) {
            ++running;
        }
        const auto again = user.Run({"clean", "--all"}, env(account));
        EXPECT_EQ(again.exit, 0) << again.err;
        EXPECT_EQ(contents(account), goal);
    }
    std::cout << "[ proof    ] " << kRuns << " kills (" << running << " while clean ran) and one stop after a move\n";
}

}  // namespace
}  // namespace nubra::connected_tests
