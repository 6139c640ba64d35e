// Starts `nubrasweep` (clean, restore, ...) as a user would, in a child process, with the
// add-in's common folder and the configuration (with the run history and the cache below it)
// in folders of the caller's choosing and the output discarded. Shared by the proof tests that
// kill or watch it and the benchmarks that time it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nubra::proof {

struct CleanRun {
    std::string binary;               // the nubrasweep executable
    std::filesystem::path profile;    // --profile
    std::filesystem::path appdata;    // NUBRA_COMMON_APPDATA (the log goes there)
    std::filesystem::path config;     // XDG_CONFIG_HOME (the add-in registry); history and cache below it
    std::vector<std::string> args;    // the command and its arguments, e.g. {"clean", PATH}
};

// Returns the child's process id; the caller waits for it.
pid_t StartNubrasweep(const CleanRun& run);

}  // namespace nubra::proof
