// folder-paths (hidden): the profile's folder paths that begin with a prefix, a level at a time,
// one a line, for the shell completions to offer.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

// A name a user can type into a path: no control characters (a line of the output each) and no
// "\" (which would split the path).
bool Typable(const std::string& name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\') return false;
    return !name.empty();
}

int Run(Invocation& in) {
    // A completion never makes a profile, and opens it read-only: no connected store's source
    // is reached (a read-only opening does not synchronise).
    std::error_code ec;
    if (!std::filesystem::exists(in.ProfileDir() / store::kProfileFileName, ec)) return kExitOk;
    const auto profile = in.Profile(Opening::ReadOnly);
    const std::string prefix = in.args.Value("PREFIX");
    const bool storesOnly = in.args.Flag("--stores");

    // A store is named by its name, or by its file where several share the name (as FindFolder
    // takes them).
    const auto stores = profile->Stores();
    std::map<std::string, int> named;
    for (const auto& s : stores) ++named[s.displayName];
    // A level at a time, as a shell offers file names: the paths as deep as the prefix (its
    // folders below the last backslash it has), reached through the folders it names.
    const auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '\\'); };
    const auto wanted = depth(prefix);
    std::function<void(outlook::MAPIFolder&, const std::string&)> walk = [&](outlook::MAPIFolder& folder,
                                                                              const std::string& path) {
        if (depth(path) == wanted) {
            if (path.starts_with(prefix)) std::cout << path << "\n";
            return;
        }
        if (storesOnly || !prefix.starts_with(path + "\\")) return;
        auto subfolders = folder.Folders();
        for (int32_t i = 1; i <= subfolders->Count(); ++i) {
            auto sub = subfolders->Item(i);
            if (const std::string name = sub->Name(); Typable(name)) walk(*sub, path + "\\" + name);
        }
    };
    auto tops = profile->NameSpace()->Folders();
    for (int32_t i = 1; i <= tops->Count(); ++i) {
        auto top = tops->Item(i);
        for (const auto& s : stores) {
            if (s.storeId != top->StoreID()) continue;
            const std::string name = named[s.displayName] > 1 ? s.file.filename().string() : s.displayName;
            if (Typable(name)) walk(*top, name);
        }
    }
    return kExitOk;
}

}  // namespace

CommandSpec FolderPathsCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "folder-paths",
            .summary = "The profile's folder paths that begin with PREFIX, one a line (for the shell completions)",
            .options = {{.kind = Kind::Positional, .name = "PREFIX", .help = "What the paths begin with"},
                        {.kind = Kind::Flag, .name = "--stores", .help = "Only the stores' top-level folders"}},
            .run = Run,
            .hidden = true};
}

}  // namespace nubra::cli
