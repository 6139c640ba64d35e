// A CardDAV/CalDAV account cleaned on the server, timed as a user runs it: genpim's address
// book, calendar and tasks on a Radicale started on 127.0.0.1. Prints one line per step: seconds
// (wall clock), the peak memory of nubrasweep, and the CPU seconds the server spent meanwhile
// (Radicale answers one request at a time, so that is what of the wall clock is the server's).
//
//   nubra_dav_bench [CONTACTS [EVENTS]]      (default 2000 and 2000; genpim's 300 to-dos)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "standin_host/connected/Connected.h"
#include "standin_host/store/Profile.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

using namespace nubra;
using namespace nubra::connected_tests;

namespace {

// CPU seconds process `pid` has used (user and system).
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void Report(const char* what, double seconds, double peakMiB, double server, bool ok) {
    std::printf("%-46s %8.2f s  %7.1f MiB peak  server %6.2f s CPU%s\n", what, seconds, peakMiB, server,
                ok ? "" : "  (FAILED)");
    std::fflush(stdout);
}

void Step(const User& user, const Radicale& server, const char* what, const std::vector<std::string>& args,
          std::map<std::string, std::string> env) {
    const double cpu0 = CpuSeconds(server.Pid());
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = user.Start(args, std::move(env));
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Report(what, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), usage.ru_maxrss / 1024.0,
           CpuSeconds(server.Pid()) - cpu0, WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string contacts = argc > 1 ? argv[1] : "2000", events = argc > 2 ? argv[2] : "2000";
    testing::TempDir tmp;
    const auto made = RunProgram({"python3", NUBRA_GENPIM, "--contacts", contacts, "--events", events, "--single",
                                  (tmp.path() / "single").string(), (tmp.path() / "pim").string()});
    std::printf("genpim.py --contacts %s --events %s:\n%s", contacts.c_str(), events.c_str(), made.out.c_str());
    int duplicates = 0;
    for (size_t at = 0; (at = made.out.find(".duplicates=", at)) != std::string::npos; at += 12)
        duplicates += std::atoi(made.out.c_str() + at + 12);
    Radicale server(tmp.path() / "radicale");
    if (!server.Started()) {
        std::printf("skipped: %s\n", server.Why().c_str());
        return 0;
    }
    server.AddUser("bench");
    auto t0 = std::chrono::steady_clock::now();
    const auto uploaded = server.Tool("bench", {"upload-whole", (tmp.path() / "single").string(), (tmp.path() / "pim").string()});
    std::printf("(setup: the collections PUT whole to Radicale in %.1f s%s)\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                uploaded.exit == 0 ? "" : ", FAILED");
    if (uploaded.exit != 0) return 1;

    // The first synchronisation: the account attached in-process, as the command line will.
    const User user{tmp.path() / "user"};
    user.Run({"stores"});
    {
        testing::ScopedEnv cache("XDG_CACHE_HOME", (user.dir / "cache").string());
        testing::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "");
        connected::RegisterConnectedStores();
        auto profile = store::Profile::Open(user.dir / "profile");
        const double cpu0 = CpuSeconds(server.Pid());
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        t0 = std::chrono::steady_clock::now();
        bool ok = true;
        try {
            connected::AddDavStore(*profile, {server.Url("bench"), server.CaFile().string(), "", false, 0}, {},
                                   Radicale::Password("bench"));
        } catch (const std::exception& e) {
            std::printf("%s\n", e.what());
            ok = false;
        }
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        Report("dav: AddDavStore (first synchronisation)",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), after.ru_maxrss / 1024.0,
               CpuSeconds(server.Pid()) - cpu0, ok);
        if (!ok) return 1;
    }
    std::map<std::string, std::string> password{{"NUBRA_DAV_PASSWORD", Radicale::Password("bench")}};
    if (const char* t = std::getenv("NUBRA_DAV_TRACE")) password["NUBRA_DAV_TRACE"] = t;
    Step(user, server, "dav: first clean (every collection)", {"clean", "--recursive", "bench@127.0.0.1"}, password);
    // What the server holds now, through a client of its own.
    const auto dump = server.Tool("bench", {"dump"});
    int total = 0, moved = 0;
    for (size_t at = 0, end; (end = dump.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = dump.out.substr(at, end - at);
        if (std::count(line.begin(), line.end(), '\t') != 3) continue;  // a collection's line
        ++total;
        if (line.find("-nubra-duplicates\t") != std::string::npos) ++moved;
    }
    const bool right = dump.exit == 0 && moved == duplicates;
    std::printf("dav: on the server: %d items, %d in the duplicates collections (genpim: %d duplicates)%s\n", total,
                moved, duplicates, right ? "" : "  (WRONG)");
    Step(user, server, "dav: second clean, nothing new", {"clean", "--recursive", "bench@127.0.0.1"}, password);
    return right ? 0 : 1;
}
