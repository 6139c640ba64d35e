#include "standin_host/cli/RunCommands.h"

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "host/DialogHost.h"
#include "standin_host/cli/AddinCommands.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/history/History.h"
#include "standin_host/history/RunRecorder.h"
#include "standin_host/store/PrivateFolder.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

namespace {

namespace fs = std::filesystem;
using history::FolderRecord;
using history::Removal;

constexpr const char* kDuplicatesFolder = "Nubra_Duplicate_Items";

// Ctrl-C during a run stops it after the current folder; a second one ends the program.
std::atomic<bool> gStopRequested{false};
extern "C" void OnInterrupt(int) {
    gStopRequested = true;
    ::signal(SIGINT, SIG_DFL);
}

class StopOnInterrupt {
public:
    StopOnInterrupt() {
        gStopRequested = false;
        previous_ = ::signal(SIGINT, OnInterrupt);
    }
    ~StopOnInterrupt() { ::signal(SIGINT, previous_); }
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

private:
    void (*previous_)(int) = SIG_DFL;
};

// The node of the tree the user means: by key, or by full path when exactly one node has it.
const host::FolderNode& PickNode(const std::vector<host::FolderNode>& nodes, const std::string& path,
                                 const std::string& key) {
    if (!key.empty()) {
        for (const auto& n : nodes)
            if (n.key == key) return n;
        throw CommandError{"no folder with key '" + key + "' in the tree (see 'nubrasweep tree')"};
    }
    std::vector<const host::FolderNode*> hits;
    for (const auto& n : nodes)
        if (n.fullPath == path) hits.push_back(&n);
    if (hits.empty()) throw CommandError{"no folder '" + path + "' in the tree (see 'nubrasweep tree')"};
    if (hits.size() > 1) {
        std::string keys;
        for (const auto* n : hits) keys += (keys.empty() ? "" : ", ") + n->key;
        throw CommandError{"'" + path + "' names " + std::to_string(hits.size()) + " folders (keys " + keys +
                           "); choose one with --key"};
    }
    return *hits.front();
}

// A duplicates folder, or a folder below one: what a run put aside is never cleaned itself.
bool InDuplicatesFolder(const std::string& fullPath) {
    const std::string name = kDuplicatesFolder;
    size_t start = 0;
    while (true) {
        const size_t end = fullPath.find('\\', start);
        if (fullPath.compare(start, (end == std::string::npos ? fullPath.size() : end) - start, name) == 0 &&
            (end == std::string::npos ? fullPath.size() : end) - start == name.size())
            return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

bool Below(const std::string& path, const std::string& folder) {
    return path == folder || path.rfind(folder + "\\", 0) == 0;
}

// The keys to run on, in tree order. The tree is filled depth first, so a folder's subfolders
// are the nodes right after it whose path continues its own. A run over many folders passes
// over the duplicates folders (what a run put aside is never cleaned itself) and each store's
// Deleted Items: a duplicate there is deleted for good, and the notes the run itself deleted
// would be among them, beyond any restore.
std::vector<std::string> SelectFolders(const std::vector<host::FolderNode>& tree, const RunOptions& o,
                                       const std::vector<std::string>& deletedItems) {
    auto passOver = [&](const std::string& path) {
        if (InDuplicatesFolder(path)) return true;
        for (const auto& d : deletedItems)
            if (Below(path, d)) return true;
        return false;
    };
    std::vector<std::string> keys;
    if (o.all) {
        for (const auto& n : tree)
            if (!passOver(n.fullPath)) keys.push_back(n.key);
        return keys;
    }
    const auto& node = PickNode(tree, o.path, o.key);
    keys.push_back(node.key);
    if (!o.recursive) return keys;
    size_t i = 0;
    while (tree[i].key != node.key) ++i;
    const std::string prefix = node.fullPath + "\\";
    for (++i; i < tree.size() && tree[i].fullPath.rfind(prefix, 0) == 0; ++i)
        if (!passOver(tree[i].fullPath)) keys.push_back(tree[i].key);
    return keys;
}

// A dry run's snapshot holds a copy of every store: in the user's private cache folder only.
fs::path CacheDir() {
    if (const char* x = std::getenv("XDG_CACHE_HOME"); x && *x == '/') return store::RequirePrivateFolder(fs::path(x) / "nubrasweep");
    if (const char* h = std::getenv("HOME"); h && *h) return store::RequirePrivateFolder(fs::path(h) / ".cache" / "nubrasweep");
    throw CommandError{"no folder for a dry run's snapshot: set XDG_CACHE_HOME or HOME"};
}

// Sets an environment variable for as long as it lives.
class EnvFor {
public:
    EnvFor(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvFor() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    EnvFor(const EnvFor&) = delete;
    EnvFor& operator=(const EnvFor&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A private copy of the profile for a dry run, removed again at the end; the run's log is
// written on its side and kept as the cache's dry-run.log.
class Snapshot {
public:
    explicit Snapshot(const store::Profile& real) {
        const fs::path base = CacheDir();
        std::error_code ec;
        std::string pattern = (base / "dry-run-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw CommandError{"cannot make a folder for the dry run in " + base.string()};
        dir_ = pattern;
        try {
            real.SnapshotTo(dir_ / "profile");
            profile_ = store::Profile::Open(dir_ / "profile");
        } catch (...) {
            fs::remove_all(dir_, ec);
            throw;
        }
    }
    ~Snapshot() {
        std::error_code ec;
        profile_.reset();
        fs::remove_all(dir_, ec);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    const std::shared_ptr<store::Profile>& Profile() const { return profile_; }
    const fs::path& Dir() const { return dir_; }
    // Keeps the run's log beside the cache; its path, "" when there was none.
    std::string KeepLog() const {
        const fs::path log = dir_ / "Nubra" / "Nubra.log";
        const fs::path kept = dir_.parent_path() / "dry-run.log";
        std::error_code ec;
        if (!fs::exists(log, ec)) return {};
        fs::rename(log, kept, ec);
        return ec ? std::string() : kept.string();
    }

private:
    fs::path dir_;
    std::shared_ptr<store::Profile> profile_;
};

nlohmann::json RemovalJson(const std::string& folder, const Removal& r) {
    return {{"folder", folder},
            {"kind", r.kind},
            {"title", r.title},
            {"created", r.created},
            {"action", r.action},
            {"entryId", r.entryBefore},
            {"from", r.pathBefore},
            {"to", r.pathAfter},
            {"duplicateOf", {{"entryId", r.duplicateOf}, {"title", r.duplicateOfTitle}}}};
}

// Rows with columns padded to their widest cell (the last column is not padded).
void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent = "") {
    if (rows.empty()) return;
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    }
}

std::string CommandText(const RunOptions& o) {
    std::string command = "clean";
    if (o.all) command += " --all";
    if (!o.path.empty()) command += " " + o.path;
    if (!o.key.empty()) command += " --key " + o.key;
    if (o.recursive) command += " --recursive";
    return command;
}

std::string Items(int n) { return std::to_string(n) + " duplicate item" + (n == 1 ? "" : "s"); }

int Clean(const RunOptions& o, const std::function<std::shared_ptr<store::Profile>(bool)>& openProfile) {
    auto real = openProfile(o.dryRun);
    std::optional<Snapshot> snapshot;
    std::optional<EnvFor> logSide;
    if (o.dryRun) {
        snapshot.emplace(*real);
        logSide.emplace("NUBRA_COMMON_APPDATA", snapshot->Dir().string());
    }
    const auto& target = snapshot ? snapshot->Profile() : real;

    // A real run is recorded before anything moves, and each removal before it happens: a run
    // that cannot be recorded does not run, and one whose record fails on the way stops.
    std::optional<history::RecordedRun> recorded;
    std::optional<history::RunRecorder> unrecorded;
    if (o.dryRun) unrecorded.emplace(*target);
    else recorded.emplace(*target, CommandText(o));
    history::RunRecorder& recorder = recorded ? recorded->Recorder() : *unrecorded;

    StopOnInterrupt interrupts;
    int folders = 0, removed = 0, failedFolders = 0, failedBefore = 0;
    bool several = false;  // outcome lines name their folder when a run takes several
    client::HeadlessPlan plan;
    plan.pick = [&](const std::vector<host::FolderNode>& tree) {
        auto keys = SelectFolders(tree, o, target->DeletedItemsPaths());
        several = keys.size() > 1;
        return keys;
    };
    plan.stop = [&] { return gStopRequested.load() || !recorder.RecordFailure().empty(); };
    plan.beforeFolder = [&](const host::FolderNode& node, size_t, size_t) {
        failedBefore = recorder.failedRemovals;
        recorder.BeginFolder(node);
    };
    plan.afterFolder = [&](const client::HeadlessFolderRun& run) {
        const int leftHere = recorder.failedRemovals - failedBefore;
        const FolderRecord folder = recorder.EndFolder(run.result, run.failed || leftHere > 0);
        ++folders;
        removed += run.result.removed;
        // One account per folder: what failed there, or the dialog's outcome.
        std::string failure;
        if (run.failed) failure = run.error;
        else if (leftHere > 0)
            failure = Items(leftHere) + " could be neither moved nor deleted and are still in the folder: " +
                      recorder.lastFailure;
        if (!failure.empty()) {
            ++failedFolders;
            if (o.json) std::cout << nlohmann::json{{"folder", folder.path}, {"error", failure}}.dump() << "\n";
            std::cerr << "nubrasweep: " << Printable(folder.path) << ": " << Printable(failure) << "\n";
        }
        if (o.json) {
            for (const auto& r : folder.removals) std::cout << RemovalJson(folder.path, r).dump() << "\n";
            if (failure.empty())
                std::cout << nlohmann::json{{"folder", folder.path}, {"outcome", run.result.outcome}}.dump() << "\n";
        } else {
            if (o.dryRun && !folder.removals.empty()) {
                std::vector<std::vector<std::string>> rows{
                    {"Would be", "Kind", "Created (UTC)", "Subject / name", "Duplicate of"}};
                for (const auto& r : folder.removals)
                    rows.push_back({r.action, r.kind, r.created, Printable(r.title), Printable(r.duplicateOfTitle)});
                std::cout << Printable(folder.path) << ":\n";
                PrintTable(rows, "  ");
            }
            if (failure.empty())
                std::cout << (several ? Printable(folder.path) + ": " : std::string()) << Printable(run.result.outcome)
                          << "\n";
        }
        if (!std::cout) CheckOutput();
    };

    client::HeadlessRun run = RunThroughAddin(target, plan, !o.dryRun);
    const bool failed = run.failed || failedFolders > 0;
    if (recorded) recorded->End(run.stopped && recorder.RecordFailure().empty() ? "stopped" : failed ? "failed" : "done");

    if (folders > 1 || run.stopped) {
        const std::string total = std::to_string(folders) + " folder" + (folders == 1 ? "" : "s") + ", " +
                                  Items(removed) + (o.dryRun ? " would be removed" : " removed") +
                                  (failedFolders > 0 ? ", " + std::to_string(failedFolders) + " failed" : "") +
                                  (run.stopped ? " (stopped)" : "");
        if (o.json) std::cout << nlohmann::json{{"total", total}, {"folders", folders}, {"removed", removed}}.dump() << "\n";
        else std::cout << total << "\n";
    }
    if (snapshot) {
        if (const auto log = snapshot->KeepLog(); !log.empty()) std::cerr << "Log file (dry run): " << Printable(log) << "\n";
    } else if (recorded && folders > 0) {
        const std::string& id = recorded->Id();
        if (!recorder.RecordFailure().empty())
            PrintError("the history could not record all of run " + id + " (" + recorder.RecordFailure() +
                       "), so the run stopped; what it removed before that can be put back with 'nubrasweep "
                       "restore " + id + "'");
        else
            std::cerr << "Recorded as run " << id << " ('nubrasweep history " << id << "'; undo with 'nubrasweep restore "
                      << id << "')\n";
    }
    if (recorder.deletedInstead > 0)
        PrintWarning(Items(recorder.deletedInstead) + " could not be moved into Nubra_Duplicate_Items and went to Deleted "
                     "Items instead (" + (recorder.lastFailure.empty() ? "see the log" : recorder.lastFailure) + ")");
    if (run.stopped && recorder.RecordFailure().empty()) return 130;  // as a program ended by Ctrl-C
    return failed || !recorder.RecordFailure().empty() ? kExitFailure : kExitOk;
}

int History(const RunOptions& o, const fs::path& profileDir) {
    history::History h(history::History::FileFor(profileDir));
    if (o.runId.empty()) {
        const auto runs = h.Runs();
        if (o.json) {
            for (const auto& r : runs)
                std::cout << nlohmann::json{{"run", r.id},        {"started", r.started}, {"ended", r.ended},
                                            {"status", r.status}, {"folders", r.folders}, {"removed", r.removed},
                                            {"restored", r.restored}, {"command", r.command}}
                                 .dump()
                          << "\n";
            return kExitOk;
        }
        std::vector<std::vector<std::string>> rows{{"Run", "Started (UTC)", "Status", "Folders", "Removed", "Restored", "Command"}};
        for (const auto& r : runs)
            rows.push_back({r.id, r.started, r.status, std::to_string(r.folders), std::to_string(r.removed),
                            std::to_string(r.restored), Printable(r.command)});
        PrintTable(rows);
        if (runs.empty()) std::cout << "No runs yet\n";
        return kExitOk;
    }
    if (!h.Run(o.runId)) throw CommandError{"there is no run " + o.runId + " in the history (see 'nubrasweep history')"};
    for (const auto& f : h.Folders(o.runId)) {
        if (o.json) {
            for (const auto& r : f.removals) {
                auto j = RemovalJson(f.path, r);
                j["run"] = o.runId;
                j["entryAfter"] = r.entryAfter;
                j["restored"] = r.restored;
                std::cout << j.dump() << "\n";
            }
            continue;
        }
        std::cout << Printable(f.path) << ": " << Printable(f.failed ? "failed" : f.outcome) << "\n";
        if (f.removals.empty()) continue;
        std::vector<std::vector<std::string>> rows{{"Action", "Kind", "Created (UTC)", "Subject / name", "Now in",
                                                    "Duplicate of", "Restored"}};
        for (const auto& r : f.removals)
            rows.push_back({r.action, r.kind, r.created, Printable(r.title), Printable(r.pathAfter),
                            Printable(r.duplicateOfTitle), r.restored.empty() ? "-" : r.restored});
        PrintTable(rows, "  ");
    }
    return kExitOk;
}

int Restore(const RunOptions& o, const std::function<std::shared_ptr<store::Profile>(bool)>& openProfile,
            const fs::path& profileDir) {
    history::History h(history::History::FileFor(profileDir));
    std::string runId = o.runId;
    if (o.last) {
        const auto runs = h.Runs();
        for (auto it = runs.rbegin(); it != runs.rend() && runId.empty(); ++it)
            if (it->removed > 0 && it->status != "running") runId = it->id;
        if (runId.empty()) throw CommandError{"the history holds no run that removed anything"};
    }
    auto profile = openProfile(false);
    const auto result = history::Restore(*profile, h, runId);
    std::cout << "Restored " << result.restored << " item" << (result.restored == 1 ? "" : "s") << " of run " << runId;
    if (result.alreadyBack > 0) std::cout << " (" << result.alreadyBack << " were back already)";
    std::cout << "\n";
    for (const auto& s : result.skipped) PrintWarning("not restored: " + s);
    for (const auto& f : result.removedFolders) std::cout << "Removed the empty folder " << Printable(f) << "\n";
    for (const auto& f : result.keptFolders) PrintWarning("the empty folder " + f);
    if (!result.missingStores.empty()) {
        std::string names;
        for (const auto& n : result.missingStores) names += (names.empty() ? "" : ", ") + n;
        throw CommandError{"the run's items in " + names + " were not restored: " +
                           (result.missingStores.size() == 1 ? "that store is" : "those stores are") +
                           " no longer in the profile (add it again with 'nubrasweep store add')"};
    }
    return kExitOk;
}

}  // namespace

void AddRunCommands(CLI::App& app, RunOptions& o) {
    o.clean = app.add_subcommand("clean", "Remove the duplicate items of a folder, as the dialog does");
    o.clean->add_option("PATH", o.path, "Folder path as shown by 'tree'");
    o.clean->add_option("--key", o.key, "The folder's node key from 'tree' (for paths that name several folders)");
    o.clean->add_flag("--recursive", o.recursive, "Clean the folder's subfolders too");
    o.clean->add_flag("--all", o.all, "Clean every folder the tree shows, store by store");
    o.clean->add_flag("--dry-run", o.dryRun,
                      "Run on a private snapshot of the stores and report what would be removed; nothing changes");
    o.clean->add_flag("--json", o.json, "Report as JSON Lines: one object per removed item, then the outcome");

    o.history = app.add_subcommand("history", "List the removal runs, or the items one run removed");
    o.history->add_option("RUN", o.runId, "A run's id (see the list)");
    o.history->add_flag("--json", o.json, "JSON Lines");

    o.restore = app.add_subcommand("restore", "Move every item a run removed back to the folder it came from");
    o.restore->add_option("RUN", o.runId, "The run's id (see 'nubrasweep history')");
    o.restore->add_flag("--last", o.last, "The latest run that removed anything");
}

void ValidateRunCommands(const RunOptions& o) {
    if (o.clean->parsed()) {
        const int given = !o.path.empty() + !o.key.empty() + o.all;
        if (given != 1) throw CLI::ValidationError("clean", "give one of PATH, --key and --all");
        if (o.all && o.recursive) throw CLI::ValidationError("clean", "--all takes every folder already");
    }
    if (o.restore->parsed() && o.runId.empty() == !o.last)
        throw CLI::ValidationError("restore", "give either RUN or --last");
}

int RunRunCommands(const RunOptions& o, const std::function<std::shared_ptr<store::Profile>(bool)>& profile,
                   const fs::path& profileDir) {
    if (o.clean->parsed()) return Clean(o, profile);
    if (o.history->parsed()) return History(o, profileDir);
    if (o.restore->parsed()) return Restore(o, profile, profileDir);
    return -1;
}

}  // namespace nubra::cli
