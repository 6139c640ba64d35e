// A dry run's private snapshot of the profile: copies of the stores the run touches, the others
// opened read-only from their real files, in a folder of the user's cache named after the
// process, so that the folders of processes that were killed can be cleared away later.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "standin_host/store/Profile.h"

namespace nubra::cli {

class Snapshot {
public:
    // Copies the stores of `real` that `copy` chooses into a new folder of the cache
    // ($XDG_CACHE_HOME/nubrasweep, private to the user) and opens the copy. Raises
    // CommandError when the folder cannot be made, and what copying and opening raise (the
    // folder is removed again).
    Snapshot(const store::Profile& real, const std::function<bool(const store::StoreInfo&)>& copy);
    // Removes the folder.
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    const std::shared_ptr<store::Profile>& Profile() const { return profile_; }
    const std::filesystem::path& Dir() const { return dir_; }
    // Keeps the run's log beside the cache; its path, "" when there was none.
    std::string KeepLog() const;

private:
    std::filesystem::path dir_;
    std::shared_ptr<store::Profile> profile_;
};

// Removes the snapshot folder of this process at once: for a signal handler that ends the
// program (async-signal-safe). Nothing when there is none.
void RemoveSnapshotNow();

// Removes the snapshot folders of processes that no longer run (killed before they could
// remove their own), when the cache folder exists and is private. Never raises.
void ClearDeadSnapshots();

}  // namespace nubra::cli
