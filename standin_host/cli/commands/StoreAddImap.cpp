// store add-imap: an IMAP account attached to be cleaned on the server.
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"
#include "standin_host/connected/ImapSession.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const connected::ImapAccount account{
        in.args.Value("URL"), in.args.Value("--ca-file"), in.args.Value("--password-file"), in.args.Flag("--allow-plain"),
        in.args.Given("--timeout") ? std::stoi(in.args.Value("--timeout")) : 0};
    const std::string name = in.args.Value("--name");
    if (name.empty()) {
        const auto url = connected::ParseImapUrl(account.url);
        RequireStoreName(url.user + "@" + url.host, "give another with --name");
    } else {
        RequireStoreName(name);
    }
    const auto profile = in.Profile();
    const size_t warned = profile->Warnings().size();  // those of opening are shown already
    ReportConnectedStore(*profile, connected::AddImapStore(*profile, account, name), warned);
    return kExitOk;
}

}  // namespace

CommandSpec StoreAddImapCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "store add-imap",
            .summary = "Attach an IMAP account: imaps://USER@HOST[:PORT]/ or imap://... with STARTTLS. The password "
                       "comes from $NUBRA_IMAP_PASSWORD, --password-file or the desktop's keyring, never from the "
                       "command line",
            .options = {{.kind = Kind::Positional, .name = "URL", .help = "imaps://USER@HOST[:PORT]/", .required = true},
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
                         .help = "Seconds a command's answer may go without progress before the connection is given "
                                 "up (default 60; NUBRA_IMAP_TIMEOUT overrides it for one run)",
                         .integer = true,
                         .minimum = 1,
                         .maximum = 3600},
                        {.kind = Kind::Flag,
                         .name = "--allow-plain",
                         .help = "With imap://, go on without encryption when the server offers no STARTTLS (test "
                                 "servers on this machine only)"}},
            .run = Run};
}

}  // namespace nubra::cli
