// What an installer does for the add-in module (register, unregister, remember that it did),
// and the headless run of the add-in's command: the client starts without a window, the
// add-in connects as it always does, and the dialog's run happens on the terminal.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Controls.h"
#include "host/DialogHost.h"

namespace nubra::store {
class Profile;
}

namespace nubra::client {

// The add-in module: $NUBRA_MODULE, else libNubra.so beside the program, else
// ../lib/nubrasweep/libNubra.so from the program's folder, else the one this build made.
std::filesystem::path DefaultModuleFile();

// Runs the module's DllRegisterServer (or DllUnregisterServer) and remembers in the registry
// that the add-in's registration was decided. Raises with a clear text when the registry file
// is damaged, the module cannot be loaded or its registration fails.
void RegisterAddin(const std::filesystem::path& module, bool unregister);
// Registers the add-in the first time this user runs the client, as an installer would; after
// an explicit unregister it stays unregistered. True when it registered now.
bool EnsureAddinRegistered(const std::filesystem::path& module);

// The outcome of a headless run of "Remove duplicate items...".
struct HeadlessRun {
    std::vector<host::FolderNode> tree;  // the dialog's folder tree
    host::RemovalResult result;          // what the run did (nothing when no node was picked)
    bool ran = false;                    // a node was picked and its run ended normally
    bool failed = false;                 // the run ended in the error handler
    std::string logFile;
};

// Picks the node to run on from the dialog's tree and returns its key; "" to run nothing (only
// the tree is wanted). May raise: what it raises reaches RunAddinCommand's caller after the
// client has ended.
using PickNode = std::function<std::string(const std::vector<host::FolderNode>&)>;

// Starts the client over `profile` without a window, loads the registered add-ins and clicks
// the add-in's command; where the dialog would open, the add-in fills the dialog's tree, `pick`
// chooses a node and the add-in runs the removal on it as the dialog's button does. The client
// then ends as it always does. `started` is told the log file once a node was picked, before
// its run. Raises
// (with a text for the user) when the add-in is not registered, does not start or puts no
// command on the menu.
HeadlessRun RunAddinCommand(const std::shared_ptr<store::Profile>& profile, const PickNode& pick, ProgressBar& bar,
                            const std::function<void(const std::string& logFile)>& started = {});

}  // namespace nubra::client
