// history: the removal runs, or what one run removed.
#include <iostream>

#include <nlohmann/json.hpp>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/cli/commands/RunReport.h"
#include "standin_host/history/History.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const std::string runId = in.args.Value("RUN");
    const bool json = in.args.Flag("--json");
    history::History h(history::History::FileFor(in.ProfileDir()));
    if (runId.empty()) {
        const auto runs = h.Runs();
        if (json) {
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
    if (!h.Run(runId)) throw CommandError{"there is no run " + runId + " in the history (see 'nubrasweep history')"};
    for (const auto& f : h.Folders(runId)) {
        if (json) {
            for (const auto& r : f.removals) {
                auto j = RemovalJson(f.path, r);
                j["run"] = runId;
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

}  // namespace

CommandSpec HistoryCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "history",
            .summary = "List the removal runs, or the items one run removed",
            .options = {{.kind = Kind::Positional, .name = "RUN", .help = "A run's id (see the list)"},
                        {.kind = Kind::Flag, .name = "--json", .help = "JSON Lines"}},
            .run = Run};
}

}  // namespace nubra::cli
