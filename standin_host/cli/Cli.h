// The nubrasweep command line: stores and folders of a profile, import and listing of items,
// the dialog's folder tree, and a headless run of the duplicate removal.
#pragma once

#include <filesystem>
#include <string>

namespace nubra::cli {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs one command line; returns the process exit code. Results go to standard output,
// errors (one line each), message boxes and the progress bar to standard error.
int Main(int argc, char** argv);

// The profile folder used without --profile: $NUBRA_PROFILE, else
// $XDG_DATA_HOME/nubrasweep/profile, else ~/.local/share/nubrasweep/profile.
std::filesystem::path DefaultProfileDir();

}  // namespace nubra::cli
