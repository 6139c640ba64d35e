#include "tests/proof/RunClean.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace nubra::proof {

pid_t StartNubrasweep(const CleanRun& run) {
    // Everything the child needs is made before fork: it only sets, redirects and execs.
    const std::string appdata = run.appdata.string(), config = run.config.string();
    const std::string state = (run.config / "state").string(), cache = (run.config / "cache").string();
    std::vector<std::string> args{run.binary, "--profile", run.profile.string()};
    args.insert(args.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);  // the child must not repeat what the parent has not flushed yet
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("NUBRA_COMMON_APPDATA", appdata.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        if (std::FILE* f = std::freopen("/dev/null", "w", stdout)) (void)f;
        if (std::FILE* f = std::freopen("/dev/null", "w", stderr)) (void)f;
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace nubra::proof
