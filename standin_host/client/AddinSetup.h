// What an installer does for the add-in module (register, unregister, remember that it did),
// and the headless run of the add-in's command: the client starts without a window, the
// add-in connects as it always does, and the dialog's run happens on the terminal.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "host/Controls.h"
#include "host/Outlook.h"

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
    std::string outcome;  // the dialog's status text
    bool failed = false;  // the run ended in the error handler
    std::string logFile;
};

// Starts the client over `profile` without a window, loads the registered add-ins, clicks the
// add-in's command and, where the dialog would open, finds the folder with `findFolder`
// (given the add-in's namespace) and runs the scan as the dialog does. The client then ends
// as it always does. `started` is told the log file before the scan runs. Raises (with a text
// for the user) when the add-in is not registered, does not start or puts no command on the
// menu.
HeadlessRun RunAddinCommand(const std::shared_ptr<store::Profile>& profile,
                            const std::function<outlook::FolderRef(outlook::NameSpace&)>& findFolder, ProgressBar& bar,
                            const std::function<void(const std::string& logFile)>& started = {});

// The dialog's folder look-up: the top-level folder named by the first part of `path`, then
// each further part as a subfolder name ("\" separates the parts).
outlook::FolderRef FindFolderByPath(outlook::NameSpace& ns, const std::string& path);

}  // namespace nubra::client
