// The platform contract's shared part: the default platform and the installed one. Starting a
// program and the default platform's message box and messages are the platform's
// (PlatformPosix.cpp, PlatformWin.cpp).
#include "host/Platform.h"

#include "host/PlatformDefault.h"

namespace nubra {

std::shared_ptr<void> Platform::LockFolderForRun(outlook::MAPIFolder&) { return nullptr; }

namespace {
// Until a host installs its own: the system's own message boxes and messages (a box on
// standard error that returns at once where there is no window system); programs are started
// by StartProgram.
class DefaultPlatform : public Platform {
public:
    int MsgBox(const std::string& prompt, int style, const std::string& title) override {
        return detail::DefaultMsgBox(prompt, style, title.empty() ? "Nubra" : title);
    }
    void DoEvents() override { detail::DefaultDoEvents(); }
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override {
        return StartProgram(program, arguments);
    }
};
DefaultPlatform gDefault;
Platform* gPlatform = &gDefault;
}  // namespace

Platform& ThePlatform() { return *gPlatform; }
void SetPlatform(Platform* platform) { gPlatform = platform ? platform : &gDefault; }

}  // namespace nubra
