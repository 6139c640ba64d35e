// tree: the folder tree as the dialog fills it, each folder with the key clean --key takes.
#include <iostream>

#include "standin_host/cli/AddinRun.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/FolderPick.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    // Only read, but the owner's tree is the sources' as they are now (a write opening
    // synchronises connected stores).
    const auto profile = in.Profile(Opening::ReadWriteElseReadOnly);
    // The tree as the add-in's dialog fills it, through the add-in itself.
    const auto run = RunThroughAddin(profile, client::HeadlessPlan{}, false);
    if (run.failed) return kExitFailure;
    for (const auto& node : run.tree) {
        const std::string key = StableKey(node);
        std::cout << (key.empty() ? "-" : key) << "\t" << (node.image ? std::to_string(node.image) : "-") << "\t"
                  << Printable(node.fullPath) << "\n";
    }
    for (const auto& left : LeftOutStores(run.tree, *profile)) PrintNote(left.Text());
    return kExitOk;
}

}  // namespace

CommandSpec TreeCommand() {
    return {.name = "tree",
            .summary = "Show the folder tree as the dialog fills it: key TAB picture (or -) TAB path. The key names "
                       "the folder for clean --key and stays the same as folders come and go",
            .run = Run};
}

}  // namespace nubra::cli
