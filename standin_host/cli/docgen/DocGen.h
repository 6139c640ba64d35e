// Manual pages and shell completions made from the command table (CommandTable.h) when the
// program is built, so that they say what the parser takes and cannot drift from it. Hidden
// commands are left out of all of them.
#pragma once

#include <string>
#include <vector>

#include "standin_host/cli/CommandTable.h"

namespace nubra::cli::docgen {

// A file to install, by its path under the installation's share/ folder.
struct GeneratedFile {
    std::string path;
    std::string text;
};

// nubrasweep(1) and a page per command and group (nubrasweep-clean(1),
// nubrasweep-store-add-maildir(1), ...), under man/man1/.
std::vector<GeneratedFile> ManPages(const ProgramSpec& program, const std::vector<CommandSpec>& table);
// The page's name of a command: "nubrasweep-store-add-maildir".
std::string PageName(const ProgramSpec& program, const CommandSpec& command);

// The completion scripts of bash, zsh and fish, at the paths each shell looks in. Folder paths
// and store names come from the program's hidden folder-paths command, over the profile the
// command line names (--profile, else $NUBRA_PROFILE).
std::vector<GeneratedFile> Completions(const ProgramSpec& program, const std::vector<CommandSpec>& table);

// What stands for an option's value in a synopsis: "DIR", "FILE", "PATH", "N", "eml|mbox|maildir".
std::string ValueName(const OptionSpec& option);
// The commands a user sees: every one but the hidden ones, in the table's order.
std::vector<const CommandSpec*> VisibleCommands(const std::vector<CommandSpec>& table);

}  // namespace nubra::cli::docgen
