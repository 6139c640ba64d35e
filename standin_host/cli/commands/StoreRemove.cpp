// store remove: a store taken out of the profile; its data stays where it is.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const auto profile = in.Profile();
    const auto removed = profile->RemoveStore(FindStore(*profile, in.args.Value("NAME")).storeId);
    std::cout << "Store " << Printable(removed.displayName) << " is no longer in the profile; ";
    if (removed.source.empty())
        std::cout << "its file " << Printable(removed.file.string()) << " stays (add it again with 'nubrasweep store add')\n";
    else
        std::cout << "its cache is removed, " << Printable(removed.source) << " stays as it is\n";
    return kExitOk;
}

}  // namespace

CommandSpec StoreRemoveCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "store remove",
            .summary = "Take a store out of the profile; its file stays (for a connected store: its source stays, its "
                       "cache goes)",
            .options = {{.kind = Kind::Positional,
                         .name = "NAME",
                         .help = "The store's name, or its file (as 'stores' shows them)",
                         .required = true,
                         .names = OptionSpec::Names::Store}},
            .run = Run};
}

}  // namespace nubra::cli
