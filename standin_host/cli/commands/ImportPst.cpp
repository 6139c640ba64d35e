// import-pst: an Outlook data file read into a new store.
#include <filesystem>
#include <iostream>
#include <optional>
#include <utility>

#include "host/AutomationDates.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Importers.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/cli/WorkProgress.h"
#include "standin_host/formats/FileIO.h"

namespace nubra::cli {
namespace {

int Run(Invocation& in) {
    const std::string file = in.args.Value("FILE");
    Date clock = ImportClock();
    formats::PstImportOptions options;
    options.name = in.args.Value("--name");
    RequireStoreName(options.name);
    options.codePage = in.args.Given("--codepage") ? std::stoi(in.args.Value("--codepage")) : 0;
    options.importClock = &clock;
    // Reading the whole file, then storing what was read: a line for each.
    std::optional<WorkProgress> progress;
    progress.emplace("Reading " + Printable(std::filesystem::path(file).filename().string()));
    formats::PstProgress told;
    told.reading = [&](size_t read) { progress->Update(read, 0); };
    bool storing = false;
    told.storing = [&](size_t stored, size_t total) {
        if (!std::exchange(storing, true)) progress.emplace("Storing");
        progress->Update(stored, total);
    };
    auto result = formats::ImportPst(*in.Profile(), file, options, told);
    progress.reset();
    std::cout << "Store " << Printable(result.storeDisplayName) << ": " << result.folders << " folders, "
              << result.items << " items from " << Printable(file) << "\n";
    for (const auto& w : result.warnings) PrintWarning(file + ": " + w);
    WarnOfUnreachableStore(result.storeDisplayName);
    if (result.skipped.empty()) return kExitOk;
    // What was read stays in the store; what could not be read is named, and the command
    // fails so that no script takes the import for complete.
    for (const auto& s : result.skipped) std::cerr << Printable(file) << ": skipped: " << Printable(s) << "\n";
    throw CommandError{file + ": " + std::to_string(result.skippedFolders) + " folders and " +
                       std::to_string(result.skippedItems) +
                       " items (as far as known) could not be read; the store holds the rest"};
}

}  // namespace

CommandSpec ImportPstCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "import-pst",
            .summary = "Import an Outlook data file (.pst/.ost) as a new store",
            .options = {{.kind = Kind::Positional,
                         .name = "FILE",
                         .help = "The .pst or .ost file",
                         .required = true,
                         .names = OptionSpec::Names::File},
                        {.kind = Kind::Value,
                         .name = "--name",
                         .help = "Display name of the new store (default: the name the file gives itself, else its "
                                 "file name)"},
                        {.kind = Kind::Value,
                         .name = "--codepage",
                         .help = "Windows code page of the 8-bit texts of an old (ANSI) file, when its own labels are "
                                 "wrong or missing (e.g. 932 for Japanese)",
                         .integer = true}},
            .run = Run};
}

}  // namespace nubra::cli
