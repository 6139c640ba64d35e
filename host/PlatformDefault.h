// What the default platform (Platform.cpp) takes from each operating system's half
// (PlatformPosix.cpp, PlatformWin.cpp). For host/ only.
#pragma once

#include <string>

namespace nubra::detail {

// Shows `prompt` with `title` (never empty) in the system's own way and returns the button
// pressed (vbOK). Never raises.
int DefaultMsgBox(const std::string& prompt, int style, const std::string& title);
// Processes the calling thread's pending window messages once. Never raises.
void DefaultDoEvents();

}  // namespace nubra::detail
