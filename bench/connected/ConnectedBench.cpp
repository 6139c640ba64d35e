// Clean where the mail lives, timed as a user runs it: a generated Maildir cleaned in place,
// and the same mail on a Dovecot started on 127.0.0.1. Prints one line per step: seconds
// (wall clock) and the peak memory of the nubrasweep process.
//
//   nubra_connected_bench [MAILS]          (default 30000; NUBRA_BENCH_SKIP_IMAP=1 for Maildir and
//                                           the SQLite store only, NUBRA_BENCH_ONLY_IMAP=1 for IMAP only)
//   nubra_connected_bench vdir [CONTACTS EVENTS TODOS]
//                                          (default 20000 20000 10000: genpim's address book,
//                                           calendar and tasks as a vdir, cleaned in place)
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

using namespace nubra::connected_tests;

namespace {

// Runs nubrasweep for `user` and prints what it took.
void Step(const User& user, const char* what, const std::vector<std::string>& args,
          std::map<std::string, std::string> env = {}) {
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = user.Start(args, std::move(env));
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-44s %8.2f s  %7.1f MiB peak%s\n", what, seconds, usage.ru_maxrss / 1024.0,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (FAILED)");
    std::fflush(stdout);
}

// genpim's collections as a vdir: attached (the first synchronisation), cleaned, cleaned again.
int VdirBench(const std::string& contacts, const std::string& events, const std::string& todos) {
    nubra::testing::TempDir tmp;
    const fs::path vdir = tmp.path() / "vdir";
    const auto made = RunProgram({"python3", NUBRA_GENPIM, "--contacts", contacts, "--events", events, "--todos", todos,
                                  "--seed", "42", vdir.string()});
    if (made.exit != 0) {
        std::printf("genpim failed: %s\n", made.err.c_str());
        return 1;
    }
    std::printf("%s contacts, %s events, %s to-dos (genpim.py --seed 42)\n", contacts.c_str(), events.c_str(),
                todos.c_str());
    const User user{tmp.path() / "vdir-user"};
    user.Run({"stores"});
    Step(user, "vdir: add-vdir (first synchronisation)", {"store", "add-vdir", vdir.string(), "--name", "Pim"});
    Step(user, "vdir: first clean --all", {"clean", "--all"});
    Step(user, "vdir: second clean --all, nothing new", {"clean", "--all"});
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "vdir")
        return VdirBench(argc > 2 ? argv[2] : "20000", argc > 3 ? argv[3] : "20000", argc > 4 ? argv[4] : "10000");
    const int mails = argc > 1 ? std::atoi(argv[1]) : 30000;
    nubra::testing::TempDir tmp;
    const fs::path corpus = tmp.path() / "corpus";
    const int duplicates = GenerateCorpus(corpus, mails, 42);
    std::printf("%d mails, %d duplicates (gencorpus.py --seed 42)\n", mails, duplicates);

    // Maildir in place: the first clean includes the first synchronisation (add-maildir).
    if (const char* only = std::getenv("NUBRA_BENCH_ONLY_IMAP"); !only || *only != '1') {
        const fs::path md = tmp.path() / "md";
        RunProgram({"cp", "-a", corpus.string(), md.string()});
        const User user{tmp.path() / "maildir-user"};
        user.Run({"stores"});
        Step(user, "maildir: add-maildir (first synchronisation)", {"store", "add-maildir", md.string(), "--name", "Box"});
        Step(user, "maildir: first clean", {"clean", "Box\\Inbox"});
        Step(user, "maildir: second clean, nothing new", {"clean", "Box\\Inbox"});
    }
    // The same mails on the SQLite store, for comparison: what the engine itself costs.
    if (const char* only = std::getenv("NUBRA_BENCH_ONLY_IMAP"); !only || *only != '1') {
        const User user{tmp.path() / "store-user"};
        user.Run({"stores"});
        Step(user, "sqlite store: import", {"import", "Personal Folders\\Inbox", corpus.string()});
        Step(user, "sqlite store: first clean", {"clean", "Personal Folders\\Inbox"});
        Step(user, "sqlite store: second clean, nothing new", {"clean", "Personal Folders\\Inbox"});
    }
    if (const char* skip = std::getenv("NUBRA_BENCH_SKIP_IMAP"); skip && *skip == '1') return 0;

    // NUBRA_BENCH_DOVECOT_SETTINGS: lines added to the server's configuration, to compare how
    // its storage settings weigh (e.g. "maildir_very_dirty_syncs = yes").
    Dovecot::Options options;
    if (const char* settings = std::getenv("NUBRA_BENCH_DOVECOT_SETTINGS")) options.settings = std::string(settings) + "\n";
    Dovecot server(tmp.path() / "dovecot", options);
    if (!server.Started()) {
        std::printf("imap: skipped: %s\n", server.Why().c_str());
        return 0;
    }
    server.AddUser("bench");
    if (server.Tool("bench", {"append", "INBOX", corpus.string()}).exit != 0) {
        std::printf("imap: APPEND failed\n");
        return 1;
    }
    const User user{tmp.path() / "imap-user"};
    const std::map<std::string, std::string> password{{"NUBRA_IMAP_PASSWORD", Dovecot::Password("bench")}};
    user.Run({"stores"});
    Step(user, "imap: add-imap (first synchronisation)",
         {"store", "add-imap", server.Url("bench"), "--ca-file", server.CaFile().string()}, password);
    Step(user, "imap: first clean", {"clean", "bench@127.0.0.1\\INBOX"}, password);
    // What the server holds now, through a connection of its own: every duplicate moved, no
    // mail lost or doubled.
    const auto dump = server.Tool("bench", {"dump"});
    std::map<std::string, int> perBox;
    for (size_t at = 0, end; (end = dump.out.find('\n', at)) != std::string::npos; at = end + 1)
        ++perBox[dump.out.substr(at, dump.out.find('\t', at) - at)];
    int total = 0, moved = 0;
    for (const auto& [box, n] : perBox) {
        total += n;
        if (box.find("Nubra_Duplicate_Items") != std::string::npos) moved += n;
    }
    const bool right = dump.exit == 0 && total == mails && moved == duplicates;
    std::printf("imap: on the server: %d mails, %d in Nubra_Duplicate_Items%s\n", total, moved,
                right ? "" : "  (WRONG)");
    Step(user, "imap: second clean, nothing new", {"clean", "bench@127.0.0.1\\INBOX"}, password);
    return right ? 0 : 1;
}
