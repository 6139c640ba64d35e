// register: the add-in's registration for this user, as an installer makes it.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/client/AddinSetup.h"
#include "standin_host/client/Registry.h"

namespace nubra::cli {
namespace {

int Run(Invocation&) {
    const auto module = client::DefaultModuleFile();
    client::RegisterAddin(module, false);
    std::cout << "The Nubrasweep add-in is registered (" << module.string() << ") in "
              << client::Registry::DefaultFile().string() << "\n";
    return kExitOk;
}

}  // namespace

CommandSpec RegisterCommand() {
    return {.name = "register",
            .summary = "Register the Nubrasweep add-in for this user (the client loads it at start-up)",
            .run = Run};
}

}  // namespace nubra::cli
