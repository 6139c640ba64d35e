#include "standin_host/cli/commands/ConnectedStoreAdded.h"

#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"

namespace nubra::cli {

void ReportConnectedStore(const store::Profile& profile, const store::StoreInfo& info, std::size_t warningsBefore) {
    std::cout << "Store " << Printable(info.displayName) << " (" << Printable(info.kindText) << ", "
              << Printable(info.source) << ") is in the profile; its cache is " << Printable(info.file.string())
              << "\n";
    const auto& warnings = profile.Warnings();
    for (size_t i = warningsBefore; i < warnings.size(); ++i) PrintWarning(warnings[i]);
}

CommandSpec TreeStoreCommand(std::string name, std::string summary, std::string dirHelp, TreeAttacher attach) {
    using Kind = OptionSpec::Kind;
    return {.name = std::move(name),
            .summary = std::move(summary),
            .options = {{.kind = Kind::Positional,
                         .name = "DIR",
                         .help = std::move(dirHelp),
                         .required = true,
                         .names = OptionSpec::Names::Directory},
                        {.kind = Kind::Value,
                         .name = "--name",
                         .help = "Display name of the store (default: the folder's name)"}},
            .run = [attach](Invocation& in) {
                const std::string dir = in.args.Value("DIR");
                const std::string name = in.args.Value("--name");
                std::error_code ec;
                RequireStoreName(
                    name.empty() ? std::filesystem::weakly_canonical(std::filesystem::absolute(dir), ec).filename().string()
                                 : name,
                    name.empty() ? "give another with --name" : "");
                const auto profile = in.Profile();
                const size_t warned = profile->Warnings().size();  // those of opening are shown already
                ReportConnectedStore(*profile, attach(*profile, dir, name), warned);
                return kExitOk;
            }};
}

CommandSpec AccountStoreCommand(AccountCommandText text, std::string (*defaultName)(const std::string& url),
                                AccountAttacher attach) {
    using Kind = OptionSpec::Kind;
    return {.name = std::move(text.name),
            .summary = std::move(text.summary),
            .options = {{.kind = Kind::Positional, .name = "URL", .help = std::move(text.urlHelp), .required = true},
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
                         .help = std::move(text.timeoutHelp),
                         .integer = true,
                         .minimum = 1,
                         .maximum = 3600},
                        {.kind = Kind::Flag, .name = "--allow-plain", .help = std::move(text.plainHelp)}},
            .run = [defaultName, attach](Invocation& in) {
                const AccountArgs account{in.args.Value("URL"), in.args.Value("--ca-file"),
                                          in.args.Value("--password-file"), in.args.Flag("--allow-plain"),
                                          in.args.Given("--timeout") ? std::stoi(in.args.Value("--timeout")) : 0};
                const std::string name = in.args.Value("--name");
                if (name.empty()) RequireStoreName(defaultName(account.url), "give another with --name");
                else RequireStoreName(name);
                const auto profile = in.Profile();
                const size_t warned = profile->Warnings().size();  // those of opening are shown already
                ReportConnectedStore(*profile, attach(*profile, account, name), warned);
                return kExitOk;
            }};
}

}  // namespace nubra::cli
