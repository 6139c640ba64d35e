// import: item files into a folder, one transaction per file.
#include <iostream>

#include "host/AutomationDates.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Importers.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/cli/WorkProgress.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/JsonLines.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

// The readers of the formats layer (mail messages, mbox, vCard, iCalendar) beside the built-in
// JSON Lines reader; an Outlook data file is named so that the user is sent to import-pst.
void RegisterFormatReaders() {
    static const bool done = [] {
        RegisterImporter(Importer{
            "mail, vCard or iCalendar",
            {".eml", ".mbox", ".mbx", ".vcf", ".vcard", ".ics", ".ical", ".ifb", ".pst", ".ost"},
            [](const std::filesystem::path& file, std::string_view) {
                switch (formats::DetectKind(file)) {
                    case formats::FileKind::Eml:
                    case formats::FileKind::Mbox:
                    case formats::FileKind::VCard:
                    case formats::FileKind::ICalendar:
                    case formats::FileKind::Pst: return true;
                    default: return false;
                }
            },
            [](const std::filesystem::path& file) { return formats::ReadItemsFile(file); }});
        return true;
    }();
    (void)done;
}

int Run(Invocation& in) {
    const std::string path = in.args.Value("PATH");
    RegisterFormatReaders();
    const auto profile = in.Profile();
    auto folder = FindFolder(*profile, path);
    // Items without a creation time of their own get the import time, one millisecond apart.
    Date clock = ImportClock();
    bool failed = false;
    auto fail = [&](const std::string& f, const AutomationError& e) {
        // One transaction per file: this file added nothing, the others go on.
        PrintError(e.Description().find(f) == std::string::npos ? f + ": " + e.Description() : e.Description());
        failed = true;
    };
    for (const auto& f : in.args.Values("FILE")) {
        try {
            if (formats::DetectKind(f) != formats::FileKind::JsonLines) {
                // The formats layer checks the file (only regular files, within the size
                // limits) and stores a Maildir in batches.
                formats::ImportOptions options;
                options.importClock = &clock;
                WorkProgress progress("Importing " + Printable(std::filesystem::path(f).filename().string()));
                options.progress = progress.Callback();
                auto result = formats::ImportFiles(*profile, *folder, {f}, options);
                progress.Finish();
                for (const auto& w : result.warnings) PrintWarning(w);
                for (const auto& e : result.failures) fail(f, e);
                if (result.items > 0 || result.failures.empty())
                    std::cout << Printable(f) << ": imported " << result.items << " item"
                              << (result.items == 1 ? "" : "s") << " into " << Printable(path) << "\n";
                continue;
            }
            const auto& importer = ImporterFor(f);
            auto items = importer.read(f);
            AssignImportTimes(items, clock);
            const auto n = profile->AddItems(*folder, items);
            std::cout << Printable(f) << ": imported " << n << " item" << (n == 1 ? "" : "s") << " into "
                      << Printable(path) << "\n";
        } catch (const AutomationError& e) {
            fail(f, e);
        }
    }
    return failed ? kExitFailure : kExitOk;
}

}  // namespace

CommandSpec ImportCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "import",
            .summary = "Import item files into a folder (one transaction per file)",
            .options = {{.kind = Kind::Positional,
                         .name = "PATH",
                         .help = "Folder path",
                         .required = true,
                         .names = OptionSpec::Names::Folder},
                        {.kind = Kind::Positional,
                         .name = "FILE",
                         .help = "Files to import: JSON Lines (one item object per line), .eml, mbox, Maildir "
                                 "folders, .vcf, .ics",
                         .required = true,
                         .many = true,
                         .names = OptionSpec::Names::File}},
            .run = Run};
}

}  // namespace nubra::cli
