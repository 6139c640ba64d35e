// restore: what a run removed, moved back to where it came from.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/history/History.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    history::History h(history::History::FileFor(in.ProfileDir()));
    std::string runId = in.args.Value("RUN");
    if (in.args.Flag("--last")) {
        const auto runs = h.Runs();
        for (auto it = runs.rbegin(); it != runs.rend() && runId.empty(); ++it)
            if (it->removed > 0 && it->status != "running") runId = it->id;
        if (runId.empty()) throw CommandError{"the history holds no run that removed anything"};
    }
    auto profile = in.Profile();
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

std::string Check(const Args& args) {
    return args.Value("RUN").empty() == !args.Flag("--last") ? "give either RUN or --last" : "";
}

}  // namespace

CommandSpec RestoreCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "restore",
            .summary = "Move every item a run removed back to the folder it came from",
            .options = {{.kind = Kind::Positional, .name = "RUN", .help = "The run's id (see 'nubrasweep history')"},
                        {.kind = Kind::Flag, .name = "--last", .help = "The latest run that removed anything"}},
            .run = Run,
            .check = Check};
}

}  // namespace nubra::cli
