// The commands that attach connected stores: a Maildir tree in place and an IMAP account
// (standin_host/connected). They also register the providers, so that every command opens
// profiles holding such stores.
#pragma once

#include <functional>
#include <memory>

namespace CLI {
class App;
}
namespace nubra::store {
class Profile;
}

namespace nubra::cli {

struct ConnectedCommands {
    CLI::App* addMaildir = nullptr;
    CLI::App* addImap = nullptr;
    struct Values;
    std::shared_ptr<Values> values;
};

// Adds "add-maildir" and "add-imap" to the `store` command, and registers the providers.
ConnectedCommands AddConnectedCommands(CLI::App& storeCommand);

// Runs whichever of the commands was given; -1 when none was.
int RunConnectedCommands(const ConnectedCommands& commands, const std::function<std::shared_ptr<store::Profile>()>& profile);

}  // namespace nubra::cli
