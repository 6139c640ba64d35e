// store add-dav: a CardDAV/CalDAV account (its address books, calendars and task lists)
// attached to be cleaned on the server.
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"
#include "standin_host/connected/DavHttp.h"

namespace nubra::cli {

CommandSpec StoreAddDavCommand() {
    return AccountStoreCommand(
        {.name = "store add-dav",
         .summary = "Attach a CardDAV/CalDAV account: https://USER@HOST[:PORT][/PATH]; its address books, calendars "
                    "and task lists become folders. The password comes from $NUBRA_DAV_PASSWORD, --password-file or "
                    "the desktop's keyring, never from the command line",
         .urlHelp = "https://USER@HOST[:PORT][/PATH] (PATH: where discovery starts, default /)",
         .timeoutHelp = "Seconds a request's answer may go without progress before it is given up (default 60; "
                        "NUBRA_DAV_TIMEOUT overrides it for one run)",
         .plainHelp = "Allow http:// to a server on this machine (test servers only)"},
        [](const std::string& url) {
            const auto parsed = connected::ParseDavUrl(url);
            return parsed.user + "@" + parsed.host;
        },
        [](store::Profile& profile, const AccountArgs& a, const std::string& name) {
            return connected::AddDavStore(profile, {a.url, a.caFile, a.passwordFile, a.allowPlain, a.timeoutSeconds},
                                          name);
        });
}

}  // namespace nubra::cli
