#include "standin_host/cli/ConnectedCommands.h"

#include <iostream>

#include <CLI/CLI.hpp>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/connected/Connected.h"

namespace nubra::cli {

struct ConnectedCommands::Values {
    std::string dir, url, name, caFile, passwordFile;
    bool allowPlain = false;
    int timeoutSeconds = 0;
};

ConnectedCommands AddConnectedCommands(CLI::App& store) {
    connected::RegisterConnectedStores();
    ConnectedCommands c;
    c.values = std::make_shared<ConnectedCommands::Values>();
    auto& v = *c.values;
    c.addMaildir = store.add_subcommand(
        "add-maildir", "Attach a Maildir tree to clean in place (Maildir++ or nested maildirs, detected)");
    c.addMaildir->add_option("DIR", v.dir, "The Maildir's top folder")->required();
    c.addMaildir->add_option("--name", v.name, "Display name of the store (default: the folder's name)");

    c.addImap = store.add_subcommand(
        "add-imap",
        "Attach an IMAP account: imaps://USER@HOST[:PORT]/ or imap://... with STARTTLS. The password comes from "
        "$NUBRA_IMAP_PASSWORD, --password-file or the desktop's keyring, never from the command line");
    c.addImap->add_option("URL", v.url, "imaps://USER@HOST[:PORT]/")->required();
    c.addImap->add_option("--name", v.name, "Display name of the store (default: USER@HOST)");
    c.addImap->add_option("--ca-file", v.caFile, "A PEM file of certificates to trust besides the system's");
    c.addImap->add_option("--password-file", v.passwordFile, "A file holding the password (must be private to you)");
    c.addImap
        ->add_option("--timeout", v.timeoutSeconds,
                     "Seconds a command's answer may go without progress before the connection is given up "
                     "(default 60; NUBRA_IMAP_TIMEOUT overrides it for one run)")
        ->check(CLI::Range(1, 3600));
    c.addImap->add_flag("--allow-plain", v.allowPlain,
                        "With imap://, go on without encryption when the server offers no STARTTLS (test servers "
                        "on this machine only)");
    return c;
}

int RunConnectedCommands(const ConnectedCommands& c, const std::function<std::shared_ptr<store::Profile>()>& profile) {
    const auto& v = *c.values;
    if (!c.addMaildir->parsed() && !c.addImap->parsed()) return -1;
    const size_t warned = profile()->Warnings().size();  // those of opening are shown already
    store::StoreInfo info;
    if (c.addMaildir->parsed()) {
        info = connected::AddMaildirStore(*profile(), v.dir, v.name);
    } else {
        connected::ImapAccount account{v.url, v.caFile, v.passwordFile, v.allowPlain, v.timeoutSeconds};
        info = connected::AddImapStore(*profile(), account, v.name);
    }
    std::cout << "Store " << Printable(info.displayName) << " (" << Printable(info.kindText) << ", "
              << Printable(info.source) << ") is in the profile; its cache is " << Printable(info.file.string())
              << "\n";
    const auto& warnings = profile()->Warnings();
    for (size_t i = warned; i < warnings.size(); ++i)
        std::cerr << "nubrasweep: warning: " << Printable(warnings[i]) << "\n";
    return kExitOk;
}

}  // namespace nubra::cli
