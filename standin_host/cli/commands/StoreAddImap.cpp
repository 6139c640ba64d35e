// store add-imap: an IMAP account attached to be cleaned on the server.
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"
#include "standin_host/connected/ImapSession.h"

namespace nubra::cli {

CommandSpec StoreAddImapCommand() {
    return AccountStoreCommand(
        {.name = "store add-imap",
         .summary = "Attach an IMAP account: imaps://USER@HOST[:PORT]/ or imap://... with STARTTLS. The password "
                    "comes from $NUBRA_IMAP_PASSWORD, --password-file or the desktop's keyring, never from the "
                    "command line",
         .urlHelp = "imaps://USER@HOST[:PORT]/",
         .timeoutHelp = "Seconds a command's answer may go without progress before the connection is given up "
                        "(default 60; NUBRA_IMAP_TIMEOUT overrides it for one run)",
         .plainHelp = "With imap://, go on without encryption when the server offers no STARTTLS (test servers on "
                      "this machine only)"},
        [](const std::string& url) {
            const auto parsed = connected::ParseImapUrl(url);
            return parsed.user + "@" + parsed.host;
        },
        [](store::Profile& profile, const AccountArgs& a, const std::string& name) {
            return connected::AddImapStore(profile, {a.url, a.caFile, a.passwordFile, a.allowPlain, a.timeoutSeconds},
                                           name);
        });
}

}  // namespace nubra::cli
