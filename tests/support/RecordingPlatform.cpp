#include "tests/support/RecordingPlatform.h"

namespace nubra::testing {

RecordingPlatform::RecordingPlatform(bool install) : installed_(install) {
    if (install) SetPlatform(this);
}

RecordingPlatform::~RecordingPlatform() {
    if (installed_ && &ThePlatform() == this) SetPlatform(nullptr);
}

int RecordingPlatform::MsgBox(const std::string& prompt, int style, const std::string& title) {
    boxes.push_back({prompt, style, title});
    if (onMsgBox) onMsgBox(boxes.back());
    return vbOK;
}

void RecordingPlatform::DoEvents() {
    ++doEventsCount;
    if (onDoEvents) onDoEvents();
}

bool RecordingPlatform::ShellExecute(const std::string& program, const std::vector<std::string>& arguments) {
    started.push_back({program, arguments});
    return shellResult;
}

void RecordingPlatform::Clear() {
    boxes.clear();
    started.clear();
    doEventsCount = 0;
}

}  // namespace nubra::testing
