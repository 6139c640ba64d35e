// store rename: a store's name (its top-level folder) changed.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const std::string name = in.args.Value("NEW");
    if (name.empty()) throw CommandError{"a store needs a name"};
    RequireStoreName(name);
    const auto profile = in.Profile();
    const auto old = FindStore(*profile, in.args.Value("OLD"));
    const auto renamed = profile->RenameStore(old.storeId, name);
    std::cout << "Store " << Printable(old.displayName) << " (" << Printable(renamed.file.string()) << ") is now named "
              << Printable(renamed.displayName) << "\n";
    return kExitOk;
}

}  // namespace

CommandSpec StoreRenameCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "store rename",
            .summary = "Give a store another name (the name its folder paths begin with)",
            .options = {{.kind = Kind::Positional,
                         .name = "OLD",
                         .help = "The store's name, or its file (as 'stores' shows them)",
                         .required = true,
                         .names = OptionSpec::Names::Store},
                        {.kind = Kind::Positional, .name = "NEW", .help = "Its new name", .required = true}},
            .run = Run};
}

}  // namespace nubra::cli
