// nubrasweep clean on connected stores killed at random instants (SIGKILL), and ended at the
// points of a change between the source and the cache: a second clean must leave the source
// exactly as one undisturbed run does, every message in exactly one place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
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

struct Tree {
    std::vector<std::string> inbox, duplicates;
    bool operator==(const Tree&) const = default;
};

Tree Read(const fs::path& md) { return {MessageFiles(md), MessageFiles(md / ".INBOX.Nubra_Duplicate_Items")}; }

TEST(ConnectedProof, MaildirKilledAtRandomInstantsEndsAsOneUndisturbedRun) {
    const uint32_t seed = Seed();
    testing::TempDir tmp;
    const fs::path corpus = tmp.path() / "corpus";
    ASSERT_GT(GenerateCorpus(corpus, 2000, 5), 0);
    const auto all = MessageFiles(corpus);
    auto prepare = [&](const std::string& name) {
        const fs::path md = tmp.path() / name / "md";
        fs::create_directories(md.parent_path());
        fs::copy(corpus, md, fs::copy_options::recursive);
        User user{tmp.path() / name / "user"};
        const auto r = user.Run({"store", "add-maildir", md.string(), "--name", "Box"});
        EXPECT_EQ(r.exit, 0) << r.err;
        return std::make_pair(md, user);
    };

    auto [refDir, ref] = prepare("reference");
    const auto t0 = Clock::now();
    ASSERT_EQ(ref.Run({"clean", "Box\\Inbox"}).exit, 0);
    const auto runTime = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    const Tree goal = Read(refDir);
    std::cout << "[ proof    ] clean of 2000 mails in place: " << runTime.count() << " ms, " << goal.duplicates.size()
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
        auto [md, user] = prepare("run" + std::to_string(run));
        if (atFault) {
            EXPECT_EQ(user.Run({"clean", "Box\\Inbox"}, {{"NUBRA_CONNECTED_FAULT", "maildir:renamed"}}).exit, 86);
        } else {
            KillAfter(user.Start({"clean", "Box\\Inbox"}), delay);
        }
        // Every file is in exactly one of the two folders.
        const Tree between = Read(md);
        std::vector<std::string> both = between.inbox;
        both.insert(both.end(), between.duplicates.begin(), between.duplicates.end());
        std::sort(both.begin(), both.end());
        EXPECT_EQ(both, all);
        if (!between.duplicates.empty() && between.duplicates.size() != goal.duplicates.size()) ++midway;

        const auto again = user.Run({"clean", "Box\\Inbox"});
        EXPECT_EQ(again.exit, 0) << again.err;
        EXPECT_TRUE(Read(md) == goal);
    }
    std::cout << "[ proof    ] " << kRuns << " kills and one stop after a rename; " << midway
              << " of them in the middle of the moves\n";
}

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

}  // namespace
}  // namespace nubra::connected_tests
