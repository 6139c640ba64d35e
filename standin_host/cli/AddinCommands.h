// The commands that go through the add-in as the client loads it: register, unregister, gui,
// and the headless dialog behind tree and clean.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "standin_host/client/AddinSetup.h"

namespace CLI {
class App;
}
namespace nubra::store {
class Profile;
}

namespace nubra::cli {

struct AddinCommands {
    CLI::App* registerCmd = nullptr;
    CLI::App* unregisterCmd = nullptr;
    CLI::App* guiCmd = nullptr;
};

// Adds "register", "unregister" and "gui" to the command line.
AddinCommands AddAddinCommands(CLI::App& app);

// Runs whichever of the commands was given; -1 when none was.
int RunAddinCommands(const AddinCommands& commands, const std::function<std::shared_ptr<store::Profile>()>& profile,
                     int argc, char** argv);

// tree and clean: registers the add-in on first use, starts the client without a window, lets
// the add-in connect and clicks its command; where the dialog would open, the add-in fills its
// tree and `pick` chooses the node to clean ("" for none: only the tree is wanted). A progress
// bar is drawn on standard error when it is a terminal, and with `announceLog` the log file is
// named there before anything runs. Failed removals (an item that could be
// neither moved nor deleted) are counted in `failedRemovals`, with the last reason. Raises what
// RunAddinCommand raises.
struct AddinRun {
    client::HeadlessRun run;
    int failedRemovals = 0;   // duplicates left in the folder: move and delete both failed
    int deletedInstead = 0;   // duplicates that went to Deleted Items because the move failed
    std::string lastFailure;  // the reason of the last failed move or delete
};
AddinRun RunThroughAddin(const std::shared_ptr<store::Profile>& profile, const client::PickNode& pick,
                         bool announceLog);

}  // namespace nubra::cli
