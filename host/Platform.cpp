#include "host/Platform.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <thread>

extern char** environ;

namespace nubra {

std::shared_ptr<void> Platform::LockFolderForRun(outlook::MAPIFolder&) { return nullptr; }

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

namespace {
// Until a host installs its own: boxes go to standard error and return at once; programs are
// started by StartProgram.
class QuietPlatform : public Platform {
public:
    int MsgBox(const std::string& prompt, int, const std::string& title) override {
        std::fprintf(stderr, "%s: %s\n", title.empty() ? "Nubra" : title.c_str(), prompt.c_str());
        return vbOK;
    }
    void DoEvents() override {}
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override {
        return StartProgram(program, arguments);
    }
};
QuietPlatform gQuiet;
Platform* gPlatform = &gQuiet;
}  // namespace

Platform& ThePlatform() { return *gPlatform; }
void SetPlatform(Platform* platform) { gPlatform = platform ? platform : &gQuiet; }

}  // namespace nubra
