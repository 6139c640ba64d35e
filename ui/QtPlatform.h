// The platform on Qt: modal message boxes, DoEvents as one pass of the event loop, programs
// started without a shell.
#pragma once

#include "host/Platform.h"

namespace nubra::ui {

class QtPlatform : public Platform {
public:
    // Shows a modal QMessageBox over the active window with the style's icon and an OK
    // button; an empty title becomes "Nubra". Returns vbOK.
    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    // Processes the pending events once (QCoreApplication::processEvents).
    void DoEvents() override;
    // Starts `program` detached with `arguments`; false when it cannot be started.
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override;
};

}  // namespace nubra::ui
