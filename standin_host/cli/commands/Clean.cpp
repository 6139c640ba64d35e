// clean: the duplicates of one folder, a folder with its subfolders, or every folder removed as
// the dialog removes them; for real (recorded in the history) or as a dry run on a private
// snapshot.
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/DialogHost.h"
#include "standin_host/cli/AddinRun.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/FolderPick.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/Snapshot.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/cli/commands/RunReport.h"
#include "standin_host/history/RunRecorder.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

namespace {

using history::FolderRecord;
using history::Removal;

constexpr const char* kDuplicatesFolder = "Nubra_Duplicate_Items";

struct CleanOptions {
    std::string path, key;
    bool recursive = false, all = false, dryRun = false, json = false;
};

// Ctrl-C during a run stops it after the current folder; a second one ends the program. A dry
// run's snapshot goes with the program, whatever ends it (Ctrl-C while it is being copied or a
// second time, SIGTERM, SIGHUP).
std::atomic<bool> gStopRequested{false};
std::atomic<bool> gStoppable{false};  // Ctrl-C asks for a stop (else it ends the program)
extern "C" void OnSignal(int sig) {
    if (sig == SIGINT && gStoppable && !gStopRequested) {
        gStopRequested = true;
        return;
    }
    RemoveSnapshotNow();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

class RunSignals {
public:
    explicit RunSignals(bool dryRun) {
        gStopRequested = false;
        gStoppable = !dryRun;
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            if (sig == SIGINT || dryRun) previous_[sig] = ::signal(sig, OnSignal);
    }
    ~RunSignals() {
        for (const auto& [sig, handler] : previous_) ::signal(sig, handler);
        gStoppable = false;
    }
    RunSignals(const RunSignals&) = delete;
    RunSignals& operator=(const RunSignals&) = delete;
    // From now on Ctrl-C stops the run after the current folder.
    void Stoppable() { gStoppable = true; }

private:
    std::map<int, void (*)(int)> previous_;
};

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
std::vector<std::string> SelectFolders(const std::vector<host::FolderNode>& tree, const CleanOptions& o,
                                       store::Profile& profile) {
    const auto deletedItems = profile.DeletedItemsPaths();
    auto passOver = [&](const std::string& path) {
        if (InDuplicatesFolder(path)) return true;
        for (const auto& d : deletedItems)
            if (Below(path, d)) return true;
        return false;
    };
    std::vector<std::string> keys;
    if (o.all) {
        // The tree's rules stay the dialog's; the user hears which stores they leave out.
        for (const auto& left : LeftOutStores(tree, profile)) PrintNote(left.Text());
        for (const auto& n : tree)
            if (!passOver(n.fullPath)) keys.push_back(n.key);
        return keys;
    }
    const auto& node = PickNode(tree, o.path, o.key, profile);
    keys.push_back(node.key);
    if (!o.recursive) return keys;
    size_t i = 0;
    while (tree[i].key != node.key) ++i;
    const std::string prefix = node.fullPath + "\\";
    for (++i; i < tree.size() && tree[i].fullPath.rfind(prefix, 0) == 0; ++i)
        if (!passOver(tree[i].fullPath)) keys.push_back(tree[i].key);
    return keys;
}

// The store of the folder whose StableKey is `key`, "" when there is none.
std::string StoreOfKey(store::Profile& profile, const std::string& key) {
    auto stores = profile.NameSpace()->Folders();
    for (int32_t i = 1; stores && i <= stores->Count(); ++i) {
        std::vector<outlook::FolderRef> folders{stores->Item(i)};
        while (!folders.empty()) {
            const auto folder = folders.back();
            folders.pop_back();
            if (!folder) continue;
            if (StableKey(folder->StoreID(), folder->EntryID()) == key) return folder->StoreID();
            auto below = folder->Folders();
            for (int32_t j = 1; below && j <= below->Count(); ++j) folders.push_back(below->Item(j));
        }
    }
    return {};
}

// The stores a clean can change: all a dry run needs to copy. The others stay out of the
// snapshot's copies (it lists them read-only), so a dry run of one folder copies its store
// alone; a run over every folder copies every store.
std::function<bool(const store::StoreInfo&)> StoresTouched(store::Profile& profile, const CleanOptions& o) {
    std::set<std::string> touched;
    const std::string keyStore = o.key.empty() ? std::string() : StoreOfKey(profile, o.key);
    for (const auto& s : profile.Stores()) {
        const bool touches = o.all ? true : !o.key.empty() ? s.storeId == keyStore : Below(o.path, s.displayName);
        if (touches) touched.insert(s.storeId);
    }
    return [touched](const store::StoreInfo& s) { return touched.count(s.storeId) > 0; };
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

std::string Count(int n, const std::string& what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

std::string CommandText(const CleanOptions& o) {
    std::string command = "clean";
    if (o.all) command += " --all";
    if (!o.path.empty()) command += " " + o.path;
    if (!o.key.empty()) command += " --key " + o.key;
    if (o.recursive) command += " --recursive";
    return command;
}

std::string Items(int n) { return Count(n, "duplicate item"); }

// What a dry run says of a folder it would change. The dialog's outcome says what it did, on
// the snapshot; the user's folder is unchanged.
std::string WouldText(const std::vector<Removal>& removals) {
    int moved = 0, deleted = 0;
    bool notes = true;
    for (const auto& r : removals) {
        if (r.action == "moved") {
            ++moved;
        } else {
            ++deleted;
            notes = notes && r.kind == "note";
        }
    }
    std::string text;
    if (moved > 0) text = "would move " + Items(moved) + " to subfolder '" + kDuplicatesFolder + "'";
    if (deleted > 0)
        text += (text.empty() ? "would delete " : " and delete ") + (notes ? Count(deleted, "duplicate note") : Items(deleted));
    return text;
}

// What one clean says as it goes: a line per folder, a total, and where the run is recorded.
class Report {
public:
    Report(const CleanOptions& o, history::RunRecorder& recorder) : o_(o), recorder_(recorder) {}

    void BeginFolder(const host::FolderNode& node) {
        failedBefore_ = recorder_.failedRemovals;
        recorder_.BeginFolder(node);
    }

    // One account per folder: what failed there, or the dialog's outcome.
    void EndFolder(const client::HeadlessFolderRun& run, store::Profile& profile) {
        // What the run's synchronisation passed over in the source.
        for (const auto& w : profile.TakeSourceWarnings()) PrintWarning(w);
        const int leftHere = recorder_.failedRemovals - failedBefore_;
        const FolderRecord folder = recorder_.EndFolder(run.result, run.failed || leftHere > 0);
        ++folders;
        removed += run.result.removed;
        std::string failure;
        if (run.failed) failure = run.error;
        else if (leftHere > 0)
            failure = Items(leftHere) + " could be neither moved nor deleted and are still in the folder: " +
                      recorder_.lastFailure;
        const std::string outcome =
            o_.dryRun && !folder.removals.empty() ? WouldText(folder.removals) : run.result.outcome;
        if (!failure.empty()) {
            ++failedFolders;
            if (o_.json) std::cout << nlohmann::json{{"folder", folder.path}, {"error", failure}}.dump() << "\n";
            std::cerr << "nubrasweep: " << Printable(folder.path) << ": " << Printable(failure) << "\n";
        }
        if (o_.json) {
            for (const auto& r : folder.removals) std::cout << RemovalJson(folder.path, r).dump() << "\n";
            if (failure.empty()) std::cout << nlohmann::json{{"folder", folder.path}, {"outcome", outcome}}.dump() << "\n";
        } else {
            if (o_.dryRun && !folder.removals.empty()) {
                std::vector<std::vector<std::string>> rows{
                    {"Would be", "Kind", "Created (UTC)", "Subject / name", "Duplicate of"}};
                for (const auto& r : folder.removals)
                    rows.push_back({r.action, r.kind, r.created, Printable(r.title), Printable(r.duplicateOfTitle)});
                std::cout << Printable(folder.path) << ":\n";
                PrintTable(rows, "  ");
            }
            if (failure.empty())
                std::cout << (several ? Printable(folder.path) + ": " : std::string()) << Printable(outcome) << "\n";
        }
        if (!std::cout) CheckOutput();
    }

    void Total(bool stopped) const {
        if (folders <= 1 && !stopped) return;
        const std::string total = std::to_string(folders) + " folder" + (folders == 1 ? "" : "s") + ", " +
                                  Items(removed) + (o_.dryRun ? " would be removed" : " removed") +
                                  (failedFolders > 0 ? ", " + std::to_string(failedFolders) + " failed" : "") +
                                  (stopped ? " (stopped)" : "");
        if (o_.json) std::cout << nlohmann::json{{"total", total}, {"folders", folders}, {"removed", removed}}.dump() << "\n";
        else std::cout << total << "\n";
    }

    // Where the run is recorded (or why not all of it), and what went to Deleted Items.
    void Recorded(const std::string& id) const {
        if (!recorder_.RecordFailure().empty())
            PrintError("the history could not record all of run " + id + " (" + recorder_.RecordFailure() +
                       "), so the run stopped; what it removed before that can be put back with 'nubrasweep "
                       "restore " + id + "'");
        else
            std::cerr << "Recorded as run " << id << " ('nubrasweep history " << id << "'; undo with 'nubrasweep restore "
                      << id << "')\n";
    }
    void DeletedInstead() const {
        if (recorder_.deletedInstead > 0)
            PrintWarning(Items(recorder_.deletedInstead) +
                         " could not be moved into Nubra_Duplicate_Items and went to Deleted Items instead (" +
                         (recorder_.lastFailure.empty() ? "see the log" : recorder_.lastFailure) + ")");
    }

    int folders = 0, removed = 0, failedFolders = 0;
    bool several = false;  // outcome lines name their folder when a run takes several

private:
    const CleanOptions& o_;
    history::RunRecorder& recorder_;
    int failedBefore_ = 0;
};

int Run(Invocation& in) {
    CleanOptions o;
    o.path = in.args.Value("PATH");
    o.key = in.args.Value("--key");
    o.recursive = in.args.Flag("--recursive");
    o.all = in.args.Flag("--all");
    o.dryRun = in.args.Flag("--dry-run");
    o.json = in.args.Flag("--json");

    RunSignals signals(o.dryRun);
    auto real = in.Profile(o.dryRun ? Opening::ReadOnly : Opening::ForRuns);
    std::optional<Snapshot> snapshot;
    std::optional<EnvFor> logSide;
    if (o.dryRun) {
        snapshot.emplace(*real, StoresTouched(*real, o));
        logSide.emplace("NUBRA_COMMON_APPDATA", snapshot->Dir().string());
    }
    signals.Stoppable();
    const auto& target = snapshot ? snapshot->Profile() : real;

    // A real run is recorded before anything moves, and each removal before it happens: a run
    // that cannot be recorded does not run, and one whose record fails on the way stops.
    std::optional<history::RecordedRun> recorded;
    std::optional<history::RunRecorder> unrecorded;
    if (o.dryRun) unrecorded.emplace(*target);
    else recorded.emplace(*target, CommandText(o));
    history::RunRecorder& recorder = recorded ? recorded->Recorder() : *unrecorded;
    Report report(o, recorder);
    client::HeadlessPlan plan;
    plan.pick = [&](const std::vector<host::FolderNode>& tree) {
        auto keys = SelectFolders(tree, o, *target);
        report.several = keys.size() > 1;
        return keys;
    };
    plan.stop = [&] { return gStopRequested.load() || !recorder.RecordFailure().empty(); };
    plan.beforeFolder = [&](const host::FolderNode& node, size_t, size_t) { report.BeginFolder(node); };
    plan.afterFolder = [&](const client::HeadlessFolderRun& run) { report.EndFolder(run, *target); };

    client::HeadlessRun run = RunThroughAddin(target, plan, !o.dryRun);
    const bool failed = run.failed || report.failedFolders > 0;
    const bool stoppedByUser = run.stopped && recorder.RecordFailure().empty();
    // The run's end not recorded still leaves what it moved to be told, and how to undo it.
    std::string endFailure;
    try {
        if (recorded) recorded->End(stoppedByUser ? "stopped" : failed ? "failed" : "done");
    } catch (const AutomationError& e) {
        endFailure = e.Description();
    }
    report.Total(run.stopped);
    if (snapshot) {
        if (const auto log = snapshot->KeepLog(); !log.empty()) std::cerr << "Log file (dry run): " << Printable(log) << "\n";
    } else if (recorded && report.folders > 0) {
        report.Recorded(recorded->Id());
    }
    report.DeletedInstead();
    if (!endFailure.empty()) PrintError(endFailure);
    if (stoppedByUser && endFailure.empty()) return 130;  // as a program ended by Ctrl-C
    return failed || !recorder.RecordFailure().empty() || !endFailure.empty() ? kExitFailure : kExitOk;
}

std::string Check(const Args& args) {
    const int given = !args.Value("PATH").empty() + !args.Value("--key").empty() + args.Flag("--all");
    if (given != 1) return "give one of PATH, --key and --all";
    if (args.Flag("--all") && args.Flag("--recursive")) return "--all takes every folder already";
    return {};
}

}  // namespace

CommandSpec CleanCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "clean",
            .summary = "Remove the duplicate items of a folder, as the dialog does",
            .options = {{.kind = Kind::Positional,
                         .name = "PATH",
                         .help = "Folder path as shown by 'tree'",
                         .names = OptionSpec::Names::Folder},
                        {.kind = Kind::Value,
                         .name = "--key",
                         .help = "The folder's key from 'tree' (for paths that name several folders)"},
                        {.kind = Kind::Flag, .name = "--recursive", .help = "Clean the folder's subfolders too"},
                        {.kind = Kind::Flag, .name = "--all", .help = "Clean every folder the tree shows, store by store"},
                        {.kind = Kind::Flag,
                         .name = "--dry-run",
                         .help = "Run on a private snapshot of the stores and report what would be removed; nothing "
                                 "changes"},
                        {.kind = Kind::Flag,
                         .name = "--json",
                         .help = "Report as JSON Lines: one object per removed item, then the outcome"}},
            .run = Run,
            .check = Check};
}

}  // namespace nubra::cli
