// The commands that go through the add-in as the client loads it: register, unregister, gui,
// and the run behind clean.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/Outlook.h"

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

// clean: registers the add-in on first use, starts the client without a window, lets the
// add-in connect, clicks its command and runs the dialog's scan on the folder `findFolder`
// gives; prints the outcome. Exit 1 when the add-in is not registered or the run failed.
int CleanThroughAddin(const std::shared_ptr<store::Profile>& profile,
                      const std::function<outlook::FolderRef(outlook::NameSpace&)>& findFolder);

}  // namespace nubra::cli
