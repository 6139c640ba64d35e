#include "standin_host/cli/CommandTable.h"

#include "host/Automation.h"
#include "standin_host/NubraVersion.h"
#include "standin_host/cli/Output.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

// Each command's definition, in its file under commands/.
CommandSpec StoresCommand();
CommandSpec StoreAddCommand();
CommandSpec StoreAddMaildirCommand();
CommandSpec StoreAddImapCommand();
CommandSpec StoreAddVdirCommand();
CommandSpec StoreAddDavCommand();
CommandSpec StoreRemoveCommand();
CommandSpec StoreRenameCommand();
CommandSpec MkdirCommand();
CommandSpec TreeCommand();
CommandSpec ImportCommand();
CommandSpec ImportPstCommand();
CommandSpec ExportCommand();
CommandSpec ListCommand();
CommandSpec CleanCommand();
CommandSpec HistoryCommand();
CommandSpec RestoreCommand();
CommandSpec RegisterCommand();
CommandSpec UnregisterCommand();
CommandSpec GuiCommand();
CommandSpec FolderPathsCommand();

const ProgramSpec& Program() {
    static const ProgramSpec program{
        "nubrasweep",
        "Clears duplicate items (mail, posts, contacts, appointments, tasks, notes) out of one folder of a personal "
        "information store.\nFolders are named by path: the store's name, then subfolder names, joined by \"\\\" "
        "(e.g. \"Personal Folders\\Inbox\").",
        "nubrasweep " NUBRA_VERSION_TEXT,
        {{.kind = OptionSpec::Kind::Value,
          .name = "--profile",
          .help = "Profile folder (default: $NUBRA_PROFILE, else $XDG_DATA_HOME/nubrasweep/profile); created on first "
                  "use",
          .names = OptionSpec::Names::Directory}},
    };
    return program;
}

const std::vector<CommandSpec>& CommandTable() {
    static const std::vector<CommandSpec> table = {
        StoresCommand(),
        {.name = "store", .summary = "Manage the profile's stores"},
        StoreAddCommand(),
        StoreAddMaildirCommand(),
        StoreAddImapCommand(),
        StoreAddVdirCommand(),
        StoreAddDavCommand(),
        StoreRemoveCommand(),
        StoreRenameCommand(),
        MkdirCommand(),
        TreeCommand(),
        ImportCommand(),
        ImportPstCommand(),
        ExportCommand(),
        ListCommand(),
        CleanCommand(),
        HistoryCommand(),
        RestoreCommand(),
        RegisterCommand(),
        UnregisterCommand(),
        GuiCommand(),
        FolderPathsCommand(),
    };
    return table;
}

std::string Args::Value(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() || it->second.empty() ? std::string() : it->second.front();
}

const std::vector<std::string>& Args::Values(const std::string& name) const {
    static const std::vector<std::string> none;
    const auto it = values_.find(name);
    return it == values_.end() ? none : it->second;
}

bool Args::Given(const std::string& name) const {
    const auto it = given_.find(name);
    return it != given_.end() && it->second;
}

void Args::Set(const std::string& name, std::vector<std::string> values, bool given) {
    values_[name] = std::move(values);
    given_[name] = given;
}

Invocation::Invocation(const Args& a, std::filesystem::path profileDir, int c, char** v)
    : args(a), argc(c), argv(v), dir_(std::move(profileDir)) {}

Invocation::~Invocation() = default;

std::shared_ptr<store::Profile> Invocation::Profile(Opening opening) {
    if (profile_) return profile_;
    using Access = store::Profile::Access;
    std::error_code ec;
    // A first run makes the profile, whatever the command.
    if (!std::filesystem::exists(dir_ / store::kProfileFileName, ec)) opening = Opening::ReadWrite;
    if (opening == Opening::ReadWriteElseReadOnly) {
        try {
            profile_ = store::Profile::Open(dir_, Access::ReadWrite);
        } catch (const AutomationError& e) {
            if (e.Number() != errnum::kMapiNoAccess) throw;
        }
    }
    if (!profile_)
        profile_ = store::Profile::Open(dir_,
                                        opening == Opening::ReadWrite || opening == Opening::ForRuns ? Access::ReadWrite
                                                                                                      : Access::ReadOnly,
                                        opening == Opening::ForRuns ? store::Profile::Upstreams::AttachForRuns
                                                                    : store::Profile::Upstreams::Attach);
    for (const auto& w : profile_->Warnings()) PrintWarning(w);
    return profile_;
}

}  // namespace nubra::cli
