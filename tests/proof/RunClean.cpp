#include "tests/proof/RunClean.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace nubra::proof {

pid_t StartClean(const CleanRun& run) {
    // Everything the child needs is made before fork: it only sets, redirects and execs.
    const std::string profile = run.profile.string(), appdata = run.appdata.string(), config = run.config.string();
    std::fflush(nullptr);  // the child must not repeat what the parent has not flushed yet
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("NUBRA_COMMON_APPDATA", appdata.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        if (std::FILE* f = std::freopen("/dev/null", "w", stdout)) (void)f;
        if (std::FILE* f = std::freopen("/dev/null", "w", stderr)) (void)f;
        ::execl(run.binary.c_str(), run.binary.c_str(), "--profile", profile.c_str(), "clean", run.folder.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

}  // namespace nubra::proof
