// What the globals' shared part (NubraGlobals.cpp) takes from each operating system's half
// (NubraGlobalsPosix.cpp, NubraGlobalsWin.cpp). For globals/ only.
#pragma once

#include <string>

namespace nubra::detail {

// Writes `content` to a new file "ambtemphtm.HTM" in the user's temporary folder (on Linux one
// only this user can reach), replacing one an earlier run left, and returns its path. Raises
// 75 naming the file (or folder) when it cannot be written; nothing is left behind then.
std::string WriteBrowserProbe(const std::string& content);
// The program that opens `htmlFile` (the default browser); "" when there is none. Never raises.
std::string FindBrowser(const std::string& htmlFile);
// Removes `path`; false when it cannot be removed. Never raises.
bool RemoveFile(const std::string& path);

}  // namespace nubra::detail
