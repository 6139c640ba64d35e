// stores: the profile's stores, one line each.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    for (const auto& s : in.Profile(Opening::ReadOnly)->Stores())
        std::cout << Printable(s.displayName) << "\t" << Printable(s.file.string()) << "\t" << Printable(s.kindText)
                  << (s.source.empty() ? "" : "\t" + Printable(s.source)) << "\n";
    return kExitOk;
}

}  // namespace

CommandSpec StoresCommand() {
    return {.name = "stores",
            .summary = "List the profile's stores: name TAB file TAB kind (TAB source, for a connected store)",
            .run = Run};
}

}  // namespace nubra::cli
