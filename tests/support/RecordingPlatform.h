// A platform for tests: records every message box, DoEvents call and program start instead of
// showing or starting anything. Installing it is scoped: the previous platform (the default)
// comes back when the recorder goes away.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/Platform.h"

namespace nubra::testing {

struct MsgBoxCall {
    std::string prompt;
    int style = 0;
    std::string title;
};

struct ShellCall {
    std::string program;
    std::vector<std::string> arguments;
};

class RecordingPlatform : public Platform {
public:
    // Installs itself as ThePlatform() when `install` is true.
    explicit RecordingPlatform(bool install = true);
    ~RecordingPlatform() override;
    RecordingPlatform(const RecordingPlatform&) = delete;
    RecordingPlatform& operator=(const RecordingPlatform&) = delete;

    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    void DoEvents() override;
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override;

    std::vector<MsgBoxCall> boxes;
    std::vector<ShellCall> started;
    int doEventsCount = 0;
    // What ShellExecute reports; true by default.
    bool shellResult = true;
    // Runs inside MsgBox (after recording), e.g. to check what the system did while a box is open.
    std::function<void(const MsgBoxCall&)> onMsgBox;
    // Runs inside DoEvents, e.g. to simulate the user clicking during a yield.
    std::function<void()> onDoEvents;

    void Clear();

private:
    bool installed_;
};

}  // namespace nubra::testing
