// The commands around removal runs: clean (one folder, a folder with its subfolders, or every
// folder; for real or as a dry run on a private snapshot), history (what earlier runs removed)
// and restore (putting a run's items back).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
}
namespace nubra::store {
class Profile;
}

namespace nubra::cli {

struct RunOptions {
    CLI::App* clean = nullptr;
    CLI::App* history = nullptr;
    CLI::App* restore = nullptr;
    std::string path, key, runId;
    bool recursive = false, all = false, dryRun = false, json = false, last = false;
};

// Adds "clean", "history" and "restore" to the command line; the options are filled in `options`
// (which must outlive parsing).
void AddRunCommands(CLI::App& app, RunOptions& options);
// Checks what the parser cannot (which of PATH, --key and --all); raises CLI::ValidationError.
void ValidateRunCommands(const RunOptions& options);

// Runs whichever of the commands was given; -1 when none was. `profile` opens the profile
// (read-only when asked to); `profileDir` names it (the history is kept per profile).
int RunRunCommands(const RunOptions& options, const std::function<std::shared_ptr<store::Profile>(bool readOnly)>& profile,
                   const std::filesystem::path& profileDir);

}  // namespace nubra::cli
