// mkdir: a new folder below an existing one.
#include <iostream>
#include <map>

#include "host/Outlook.h"
#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

const std::map<std::string, int32_t>& FolderTypes() {
    static const std::map<std::string, int32_t> types = {
        {"mail", outlook::olMailItem},   {"appointment", outlook::olAppointmentItem},
        {"contact", outlook::olContactItem}, {"task", outlook::olTaskItem},
        {"journal", outlook::olJournalItem}, {"note", outlook::olNoteItem},
        {"post", outlook::olPostItem},
    };
    return types;
}

// Splits "Store\Folder\Sub" into the parent path and the last name.
std::pair<std::string, std::string> SplitLast(const std::string& path) {
    auto pos = path.rfind('\\');
    if (pos == std::string::npos) return {std::string(), path};
    return {path.substr(0, pos), path.substr(pos + 1)};
}

int Run(Invocation& in) {
    const std::string path = in.args.Value("PATH");
    const std::string type = in.args.Value("--type");
    auto [parentPath, name] = SplitLast(path);
    if (parentPath.empty()) {
        std::string refusal = "'" + path + "' is a store; add stores with 'nubrasweep store add'";
        // "Store/Folder/New" is one name to the profile; the user meant a folder.
        if (const auto other = WithBackslashes(path); other && SplitLast(*other).first.size() > 0) {
            try {
                in.Profile()->FindFolder(SplitLast(*other).first);
                refusal += BackslashHint(*other);
            } catch (const AutomationError&) {
            }
        }
        throw CommandError{refusal};
    }
    const auto profile = in.Profile();
    auto parent = FindFolder(*profile, parentPath);
    const int32_t itemType = type.empty() ? parent->DefaultItemType() : FolderTypes().at(type);
    profile->CreateFolder(*parent, name, itemType);
    std::cout << "Created folder " << Printable(path) << "\n";
    return kExitOk;
}

}  // namespace

CommandSpec MkdirCommand() {
    using Kind = OptionSpec::Kind;
    std::vector<std::string> typeNames;
    for (const auto& [name, _] : FolderTypes()) typeNames.push_back(name);
    return {.name = "mkdir",
            .summary = "Create a folder",
            .options = {{.kind = Kind::Positional,
                         .name = "PATH",
                         .help = "Path of the new folder, e.g. \"Personal Folders\\Inbox\\Old\"",
                         .required = true,
                         .names = OptionSpec::Names::Folder},
                        {.kind = Kind::Value,
                         .name = "--type",
                         .help = "Kind of items the folder holds (default: as its parent)",
                         .choices = typeNames}},
            .run = Run};
}

}  // namespace nubra::cli
