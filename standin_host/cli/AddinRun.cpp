#include "standin_host/cli/AddinCommands.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include <CLI/CLI.hpp>

#include "host/Platform.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/client/AddinSetup.h"
#include "standin_host/client/Registry.h"
#ifdef NUBRA_WITH_GUI
#include "standin_host/client/ExplorerWindow.h"
#endif

namespace nubra::cli {

AddinCommands AddAddinCommands(CLI::App& app) {
    AddinCommands c;
    c.registerCmd = app.add_subcommand("register", "Register the Nubrasweep add-in for this user (the client loads it at start-up)");
    c.unregisterCmd = app.add_subcommand("unregister", "Remove the add-in's registration; gui then starts without it and clean refuses");
    c.guiCmd = app.add_subcommand("gui", "Open the explorer window over the profile, with the add-in's menu");
    return c;
}

int RunAddinCommands(const AddinCommands& c, const std::function<std::shared_ptr<store::Profile>()>& profile, int argc,
                     char** argv) {
    const auto module = client::DefaultModuleFile();
    if (c.registerCmd->parsed()) {
        client::RegisterAddin(module, false);
        std::cout << "The Nubrasweep add-in is registered (" << module.string() << ") in "
                  << client::Registry::DefaultFile().string() << "\n";
        return kExitOk;
    }
    if (c.unregisterCmd->parsed()) {
        client::RegisterAddin(module, true);
        std::cout << "The Nubrasweep add-in is no longer registered\n";
        return kExitOk;
    }
    if (c.guiCmd->parsed()) {
#ifdef NUBRA_WITH_GUI
        // Without a window system Qt would abort the program; say what is missing instead.
        auto set = [](const char* name) {
            const char* v = std::getenv(name);
            return v && *v;
        };
        if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
            std::cerr << "nubrasweep: error: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY "
                         "is set)\n";
            return kExitFailure;
        }
        client::EnsureAddinRegistered(module);
        return client::RunExplorerApplication(profile(), argc, argv);
#else
        (void)profile;
        (void)argc;
        (void)argv;
        std::cerr << "nubrasweep: error: this build has no windows (built without NUBRA_BUILD_GUI)\n";
        return kExitFailure;
#endif
    }
    return -1;
}

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
