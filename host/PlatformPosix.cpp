// The platform's POSIX half: programs started by posix_spawn; no window system, so message
// boxes go to standard error and there are no messages to process.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "host/Platform.h"
#include "host/PlatformDefault.h"

extern char** environ;

namespace nubra {

bool StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
    if (program.empty()) return false;
    std::vector<std::string> args;
    args.reserve(arguments.size() + 1);
    args.push_back(program);
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    // The started program runs on its own; reap it when it ends so no zombie stays behind.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

namespace detail {

int DefaultMsgBox(const std::string& prompt, int, const std::string& title) {
    std::fprintf(stderr, "%s: %s\n", title.c_str(), prompt.c_str());
    return vbOK;
}

void DefaultDoEvents() {}

}  // namespace detail
}  // namespace nubra
