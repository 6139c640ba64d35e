// unregister: the add-in's registration removed; the client then starts without it.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/client/AddinSetup.h"

namespace nubra::cli {
namespace {

int Run(Invocation&) {
    client::RegisterAddin(client::DefaultModuleFile(), true);
    std::cout << "The Nubrasweep add-in is no longer registered\n";
    return kExitOk;
}

}  // namespace

CommandSpec UnregisterCommand() {
    return {.name = "unregister",
            .summary = "Remove the add-in's registration; gui then starts without it and clean refuses",
            .run = Run};
}

}  // namespace nubra::cli
