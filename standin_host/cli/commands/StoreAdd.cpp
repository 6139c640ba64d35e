// store add: a new store file, or an existing one attached.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const auto profile = in.Profile();
    const auto file = StoreFileArgument(in.args.Value("FILE"), profile->Directory());
    std::string name = in.args.Value("--name");
    std::error_code ec;
    if (!name.empty()) RequireStoreName(name);
    else if (name = file.stem().string(); !std::filesystem::exists(file, ec)) RequireStoreName(name, "give another with --name");
    const auto info = profile->AddStore(file, name, in.args.Flag("--standard-folders"));
    std::cout << "Store " << Printable(info.displayName) << " (" << Printable(info.file.string()) << ") is in the profile\n";
    WarnOfUnreachableStore(info.displayName);  // an existing file keeps its own name
    return kExitOk;
}

}  // namespace

CommandSpec StoreAddCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "store add",
            .summary = "Create a store file, or attach an existing one",
            .options = {{.kind = Kind::Positional,
                         .name = "FILE",
                         .help = "Store file (relative to the current folder; a bare file name that is not there is "
                                 "a file of the profile folder, where a new store is made)",
                         .required = true,
                         .names = OptionSpec::Names::File},
                        {.kind = Kind::Value,
                         .name = "--name",
                         .help = "Display name of a new store (default: the file name)"},
                        {.kind = Kind::Flag,
                         .name = "--standard-folders",
                         .help = "Give a new store Inbox, Calendar, Contacts, ... (otherwise only Deleted Items)"}},
            .run = Run};
}

}  // namespace nubra::cli
