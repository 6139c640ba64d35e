// What the commands that attach a connected store share: what they say once the store is in the
// profile, the commands for a tree of the user's (store add-maildir, store add-vdir) and those for
// an account on a server (store add-imap, store add-dav).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "standin_host/cli/CommandTable.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {

// Prints the store's line and the warnings its first synchronisation gave (those after the
// first `warningsBefore`, which opening the profile printed already).
void ReportConnectedStore(const store::Profile& profile, const store::StoreInfo& info, std::size_t warningsBefore);

// A command attaching the folder tree DIR (with --name) through `attach`.
using TreeAttacher = store::StoreInfo (*)(store::Profile&, const std::filesystem::path&, const std::string&);
CommandSpec TreeStoreCommand(std::string name, std::string summary, std::string dirHelp, TreeAttacher attach);

// What an account on a server is given: its address, the certificates to trust besides the
// system's, a password file, whether plain connections to this machine are allowed, and how long
// an answer may go without progress (0: the default).
struct AccountArgs {
    std::string url, caFile, passwordFile;
    bool allowPlain = false;
    int timeoutSeconds = 0;
};
struct AccountCommandText {
    std::string name, summary, urlHelp, timeoutHelp, plainHelp;
};
// A command attaching the account URL (with --name, --ca-file, --password-file, --timeout,
// --allow-plain) through `attach`; `defaultName` gives the store's name when --name is not
// given (and raises for an address that is no such account).
using AccountAttacher = store::StoreInfo (*)(store::Profile&, const AccountArgs&, const std::string&);
CommandSpec AccountStoreCommand(AccountCommandText text, std::string (*defaultName)(const std::string& url),
                                AccountAttacher attach);

}  // namespace nubra::cli
