#include "standin_host/cli/AddinRun.h"

#include <unistd.h>

#include <iostream>

#include "host/Platform.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/client/AddinSetup.h"

namespace nubra::cli {

client::HeadlessRun RunThroughAddin(const std::shared_ptr<store::Profile>& profile, client::HeadlessPlan plan,
                                    bool announceLog) {
    client::EnsureAddinRegistered(client::DefaultModuleFile());
    const bool terminal = isatty(STDERR_FILENO) != 0;
    TerminalPlatform platform;
    TerminalProgressBar bar(stderr, terminal);
    platform.SetProgressBar(&bar);
    SetPlatform(&platform);
    struct Restore {
        ~Restore() { SetPlatform(nullptr); }
    } restore;
    // The bar says which folder it counts when there are several.
    auto before = std::move(plan.beforeFolder);
    plan.beforeFolder = [&bar, &platform, before](const host::FolderNode& node, size_t position, size_t count) {
        bar.SetLabel(count > 1 ? "[" + std::to_string(position) + "/" + std::to_string(count) + "] " +
                                     Printable(node.fullPath)
                               : std::string());
        platform.HoldMessageBoxes(true);
        if (before) before(node, position, count);
    };
    plan.finishRun = [&platform] { platform.FinishRun(); };
    auto after = std::move(plan.afterFolder);
    plan.afterFolder = [&bar, &platform, after](const client::HeadlessFolderRun& folder) {
        bar.Finish();  // the folder's own lines start on a clean line
        platform.HoldMessageBoxes(false);
        // A line each, naming the folder; the error handler's full text (number, procedure) is
        // in the log, and a failed folder's reason is its own line.
        for (const auto& box : platform.TakeMessageBoxes()) {
            if (folder.failed && box.fromErrorHandler) continue;
            const std::string first = box.text.substr(0, box.text.find_first_of("\r\n"));
            PrintWarning(folder.node.fullPath + ": " + first);
        }
        if (after) after(folder);
    };
    auto run = client::RunAddinCommand(profile, plan, bar,
                                       [&](const std::string& log) {
                                           // Where a run's details go, for anyone who wants to
                                           // know what the scan did.
                                           if (!log.empty() && announceLog)
                                               std::cerr << "Log file: " << Printable(log) << "\n";
                                       });
    bar.Finish();
    return run;
}

}  // namespace nubra::cli
