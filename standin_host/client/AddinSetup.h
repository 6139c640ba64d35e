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
// ../lib/nubrasweep/libNubra.so from the program's folder (where it is installed), else, for a
// program inside the build tree, the one this build made; else that installed place, which
// loading then names as missing.
std::filesystem::path DefaultModuleFile();

// Runs the module's DllRegisterServer (or DllUnregisterServer) and remembers in the registry
// that the add-in's registration was decided; a registration also records the program's
// version (the value Version of the add-in's key). Raises with a clear text when the registry
// file is damaged, the module cannot be loaded or its registration fails.
void RegisterAddin(const std::filesystem::path& module, bool unregister);
// Registers the add-in the first time this user runs the client, as an installer would, and
// again when the registration names another module or version than `module` and this
// program's (a program moved or upgraded); after an explicit unregister it stays
// unregistered. True when it registered now.
bool EnsureAddinRegistered(const std::filesystem::path& module);

// One folder's run.
struct HeadlessFolderRun {
    host::FolderNode node;
    host::RemovalResult result;
    bool failed = false;  // it ended in the error handler (reported there)
    std::string error;    // then: the failure's description
};

// What a headless host asks of the add-in's dialog: which folders to run on, in order, and what
// to be told along the way. Every member may be empty.
struct HeadlessPlan {
    // The keys of the nodes to run on, chosen from the dialog's tree; none: only the tree is
    // wanted. May raise: what it raises reaches RunAddinCommand's caller once the client has
    // ended.
    std::function<std::vector<std::string>(const std::vector<host::FolderNode>&)> pick;
    // Asked before each folder; true stops the runs there (the folders done so far stay done).
    std::function<bool()> stop;
    // Told before each folder's run (with its position among the picked ones, from 1).
    std::function<void(const host::FolderNode&, size_t position, size_t count)> beforeFolder;
    // Asked once the add-in let go of each folder: sends what the folder's store put off
    // during the run (store::RunSession::Finish); what it raises fails the folder.
    std::function<void()> finishRun;
    // Told after each folder's run.
    std::function<void(const HeadlessFolderRun&)> afterFolder;
};

// The outcome of a headless run of "Remove duplicate items...".
struct HeadlessRun {
    std::vector<host::FolderNode> tree;     // the dialog's folder tree
    std::vector<HeadlessFolderRun> folders; // the folders run on, in order
    bool failed = false;                    // the tree could not be filled, or a folder failed
    bool stopped = false;                   // `stop` ended the runs early
    std::string logFile;
};

// Starts the client over `profile` without a window, loads the registered add-ins and clicks
// the add-in's command; where the dialog would open, the add-in fills the dialog's tree, the
// plan picks the folders and the add-in runs the removal on each as the dialog's button does
// (a folder that fails is reported through the add-in's error handler and the next one runs).
// The client then ends as it always does. `started` is told the log file once folders were
// picked, before the first run. Raises (with a text for the user) when the add-in is not
// registered, does not start or puts no command on the menu.
HeadlessRun RunAddinCommand(const std::shared_ptr<store::Profile>& profile, const HeadlessPlan& plan, ProgressBar& bar,
                            const std::function<void(const std::string& logFile)>& started = {});

}  // namespace nubra::client
