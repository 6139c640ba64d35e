// store add-maildir: a Maildir tree attached to be cleaned in place.
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const std::string dir = in.args.Value("DIR");
    const std::string name = in.args.Value("--name");
    std::error_code ec;
    RequireStoreName(name.empty() ? std::filesystem::weakly_canonical(std::filesystem::absolute(dir), ec).filename().string() : name,
                     name.empty() ? "give another with --name" : "");
    const auto profile = in.Profile();
    const size_t warned = profile->Warnings().size();  // those of opening are shown already
    ReportConnectedStore(*profile, connected::AddMaildirStore(*profile, dir, name), warned);
    return kExitOk;
}

}  // namespace

CommandSpec StoreAddMaildirCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "store add-maildir",
            .summary = "Attach a Maildir tree to clean in place (Maildir++ or nested maildirs, detected)",
            .options = {{.kind = Kind::Positional, .name = "DIR", .help = "The Maildir's top folder", .required = true},
                        {.kind = Kind::Value,
                         .name = "--name",
                         .help = "Display name of the store (default: the folder's name)"}},
            .run = Run};
}

}  // namespace nubra::cli
