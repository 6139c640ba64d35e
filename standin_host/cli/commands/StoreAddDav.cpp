// store add-dav: a CardDAV/CalDAV account (its address books, calendars and task lists)
// attached to be cleaned on the server.
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"
#include "standin_host/connected/DavHttp.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const connected::DavAccount account{
        in.args.Value("URL"), in.args.Value("--ca-file"), in.args.Value("--password-file"), in.args.Flag("--allow-plain"),
        in.args.Given("--timeout") ? std::stoi(in.args.Value("--timeout")) : 0};
    const std::string name = in.args.Value("--name");
    if (name.empty()) {
        const auto url = connected::ParseDavUrl(account.url);
        RequireStoreName(url.user + "@" + url.host, "give another with --name");
    } else {
        RequireStoreName(name);
    }
    const auto profile = in.Profile();
    const size_t warned = profile->Warnings().size();  // those of opening are shown already
    ReportConnectedStore(*profile, connected::AddDavStore(*profile, account, name), warned);
    return kExitOk;
}

}  // namespace

CommandSpec StoreAddDavCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "store add-dav",
            .summary = "Attach a CardDAV/CalDAV account: https://USER@HOST[:PORT][/PATH]; its address books, "
                       "calendars and task lists become folders. The password comes from $NUBRA_DAV_PASSWORD, "
                       "--password-file or the desktop's keyring, never from the command line",
            .options = {{.kind = Kind::Positional,
                         .name = "URL",
                         .help = "https://USER@HOST[:PORT][/PATH] (PATH: where discovery starts, default /)",
                         .required = true},
                        {.kind = Kind::Value, .name = "--name", .help = "Display name of the store (default: USER@HOST)"},
                        {.kind = Kind::Value,
                         .name = "--ca-file",
                         .help = "A PEM file of certificates to trust besides the system's",
                         .names = OptionSpec::Names::File},
                        {.kind = Kind::Value,
                         .name = "--password-file",
                         .help = "A file holding the password (must be private to you)",
                         .names = OptionSpec::Names::File},
                        {.kind = Kind::Value,
                         .name = "--timeout",
                         .help = "Seconds a request's answer may go without progress before it is given up (default "
                                 "60; NUBRA_DAV_TIMEOUT overrides it for one run)",
                         .integer = true,
                         .minimum = 1,
                         .maximum = 3600},
                        {.kind = Kind::Flag,
                         .name = "--allow-plain",
                         .help = "Allow http:// to a server on this machine (test servers only)"}},
            .run = Run};
}

}  // namespace nubra::cli
