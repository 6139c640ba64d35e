#include "host/Platform.h"

#include <cstdio>

namespace nubra {
namespace {
// Until a host installs its own: boxes go to standard error and return at once.
class QuietPlatform : public Platform {
public:
    int MsgBox(const std::string& prompt, int, const std::string& title) override {
        std::fprintf(stderr, "%s: %s\n", title.empty() ? "Nubra" : title.c_str(), prompt.c_str());
        return vbOK;
    }
    void DoEvents() override {}
    bool ShellExecute(const std::string&, const std::vector<std::string>&) override { return false; }
};
QuietPlatform gQuiet;
Platform* gPlatform = &gQuiet;
}  // namespace

Platform& ThePlatform() { return *gPlatform; }
void SetPlatform(Platform* platform) { gPlatform = platform ? platform : &gQuiet; }

}  // namespace nubra
