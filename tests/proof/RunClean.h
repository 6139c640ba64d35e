// Starts `nubrasweep clean` as a user would, in a child process, with the add-in's common
// folder and the configuration in folders of the caller's choosing and the output discarded.
// Shared by the proof tests that kill or watch it and the benchmark that times it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace nubra::proof {

struct CleanRun {
    std::string binary;               // the nubrasweep executable
    std::filesystem::path profile;    // --profile
    std::filesystem::path appdata;    // NUBRA_COMMON_APPDATA (the log goes there)
    std::filesystem::path config;     // XDG_CONFIG_HOME (the add-in registry)
    std::string folder;               // the folder path to clean
};

// Returns the child's process id; the caller waits for it.
pid_t StartClean(const CleanRun& run);

}  // namespace nubra::proof
