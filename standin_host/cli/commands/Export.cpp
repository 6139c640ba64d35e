// export: a folder's items written as files.
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/cli/WorkProgress.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const std::string path = in.args.Value("PATH");
    const std::string format = in.args.Value("--format");
    const auto profile = in.Profile(Opening::ReadOnly);
    auto folder = FindFolder(*profile, path);
    formats::ExportOptions options;
    options.format = in.args.Flag("--jsonl") ? formats::ExportFormat::JsonLines
                     : format == "mbox"      ? formats::ExportFormat::Mbox
                     : format == "maildir"   ? formats::ExportFormat::Maildir
                                             : formats::ExportFormat::Natural;
    options.recursive = in.args.Flag("--recursive");
    WorkProgress progress("Exporting");
    auto result = formats::Export(*profile, *folder, in.args.Value("DIR"), options, progress.Callback());
    progress.Finish();
    for (const auto& f : result.files) std::cout << Printable(f.string()) << "\n";
    std::cout << result.items << " item" << (result.items == 1 ? "" : "s") << " of " << Printable(path)
              << (result.folders > 1 ? " and its subfolders" : "") << " exported\n";
    return kExitOk;
}

}  // namespace

CommandSpec ExportCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "export",
            .summary = "Export a folder's items: .eml per mail/post (or mbox, Maildir), contacts.vcf, calendar.ics, "
                       "items.jsonl",
            .options = {{.kind = Kind::Positional,
                         .name = "PATH",
                         .help = "Folder path",
                         .required = true,
                         .names = OptionSpec::Names::Folder},
                        {.kind = Kind::Positional,
                         .name = "DIR",
                         .help = "Target folder (created when missing)",
                         .required = true,
                         .names = OptionSpec::Names::Directory},
                        {.kind = Kind::Value,
                         .name = "--format",
                         .help = "How mail and posts are written: eml (a file each, the default), mbox (mboxrd, "
                                 "<folder>.mbox), maildir (cur/ and new/ by read state); each as it came in",
                         .choices = {"eml", "mbox", "maildir"},
                         .defaultValue = "eml"},
                        {.kind = Kind::Flag,
                         .name = "--recursive",
                         .help = "The subfolders too: a folder each (a Maildir++ tree with --format maildir)"},
                        {.kind = Kind::Flag,
                         .name = "--jsonl",
                         .help = "Write every item to items.jsonl instead",
                         .excludes = {"--format"}}},
            .run = Run};
}

}  // namespace nubra::cli
