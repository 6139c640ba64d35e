#include "standin_host/cli/StoreNames.h"

#include <algorithm>

#include "standin_host/cli/Output.h"

namespace nubra::cli {

std::optional<std::string> WithBackslashes(const std::string& path) {
    if (path.find('/') == std::string::npos) return std::nullopt;
    std::string with = path;
    std::replace(with.begin(), with.end(), '/', '\\');
    return with;
}

std::string BackslashHint(const std::string& meant) {
    return "; folder paths are joined by \"\\\": did you mean \"" + meant + "\"?";
}

outlook::FolderRef FindFolder(store::Profile& profile, const std::string& path) {
    try {
        return profile.FindFolder(path);
    } catch (const AutomationError& e) {
        const auto other = WithBackslashes(path);
        if (e.Number() != errnum::kMapiNotFound || !other) throw;
        try {
            profile.FindFolder(*other);
        } catch (const AutomationError&) {
            throw e;
        }
        throw CommandError{e.Description() + BackslashHint(*other)};
    }
}

store::StoreInfo FindStore(store::Profile& profile, const std::string& name) {
    const auto stores = profile.Stores();
    std::vector<store::StoreInfo> named;
    for (const auto& s : stores)
        if (s.displayName == name) named.push_back(s);
    if (named.empty())
        for (const auto& s : stores)
            if (s.file.filename() == name || s.file == name || (!s.source.empty() && s.source == name)) named.push_back(s);
    if (named.size() == 1) return named.front();
    if (named.empty()) throw CommandError{"no store is named \"" + name + "\" (see 'nubrasweep stores')"};
    std::string files;
    for (const auto& s : named) files += (files.empty() ? "" : ", ") + s.file.string();
    throw CommandError{std::to_string(named.size()) + " stores are named \"" + name + "\" (files " + files +
                       "); name the store by its file instead"};
}

void RequireStoreName(const std::string& name, const std::string& advice) {
    if (name.find('\\') != std::string::npos)
        throw CommandError{"a store's name cannot contain \"\\\", which separates the folders of a path: \"" + name +
                           "\"" + (advice.empty() ? "" : " (" + advice + ")")};
}

void WarnOfUnreachableStore(const std::string& name) {
    if (name.find('\\') != std::string::npos)
        PrintWarning("no folder path can reach the store \"" + name +
                     "\": give it a name without \"\\\" with 'nubrasweep store rename'");
}

std::filesystem::path StoreFileArgument(const std::string& argument, const std::filesystem::path& profileDir) {
    const std::filesystem::path path = argument;
    std::error_code ec;
    if (path.is_relative() && !path.has_parent_path() && !std::filesystem::exists(path, ec))
        return profileDir / path;
    return std::filesystem::absolute(path, ec);
}

}  // namespace nubra::cli
