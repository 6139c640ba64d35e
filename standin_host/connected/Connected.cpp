#include "standin_host/connected/Connected.h"

#include "standin_host/connected/Common.h"
#include "standin_host/connected/Dav.h"
#include "standin_host/connected/Imap.h"
#include "standin_host/connected/Maildir.h"
#include "standin_host/connected/Secrets.h"
#include "standin_host/connected/Vdir.h"

namespace nubra::connected {

void RegisterConnectedStores() {
    static const bool done = [] {
        store::RegisterUpstreamFactory("maildir", MakeMaildirUpstream);
        store::RegisterUpstreamFactory("imap", MakeImapUpstream);
        store::RegisterUpstreamFactory("vdir", MakeVdirUpstream);
        store::RegisterUpstreamFactory("dav", MakeDavUpstream);
        return true;
    }();
    (void)done;
}

store::StoreInfo AddMaildirStore(store::Profile& profile, const std::filesystem::path& dirIn, const std::string& name) {
    RegisterConnectedStores();
    std::error_code ec;
    auto dir = std::filesystem::canonical(std::filesystem::absolute(dirIn), ec);
    if (ec) RaiseError(errnum::kMapiNotFound, "the Maildir \"" + dirIn.string() + "\" does not exist", kSource);
    const auto layout = DetectMaildirLayout(dir);
    store::ConnectedEntry entry{"maildir", dir.string(), {{"layout", layout == MaildirLayoutKind::Nested ? "nested" : "maildir++"}}};
    std::string display = name.empty() ? dir.filename().string() : name;
    return profile.AddConnectedStore(entry, display);
}

store::StoreInfo AddVdirStore(store::Profile& profile, const std::filesystem::path& dirIn, const std::string& name) {
    RegisterConnectedStores();
    std::error_code ec;
    auto dir = std::filesystem::canonical(std::filesystem::absolute(dirIn), ec);
    if (ec) RaiseError(errnum::kMapiNotFound, "the vdir \"" + dirIn.string() + "\" does not exist", kSource);
    RequireVdir(dir);
    return profile.AddConnectedStore({"vdir", dir.string(), {}}, name.empty() ? dir.filename().string() : name);
}

store::StoreInfo AddImapStore(store::Profile& profile, const ImapAccount& account, const std::string& name,
                              const std::string& password) {
    RegisterConnectedStores();
    const ImapUrl url = ParseImapUrl(account.url);
    store::ConnectedEntry entry{"imap", url.Canonical(), {}};
    if (!account.caFile.empty()) {
        std::error_code ec;
        entry.options["ca-file"] = std::filesystem::absolute(account.caFile, ec).string();
    }
    if (!account.passwordFile.empty()) {
        std::error_code ec;
        entry.options["password-file"] = std::filesystem::absolute(account.passwordFile, ec).string();
    }
    if (account.allowPlain) entry.options["allow-plain"] = "yes";
    if (account.timeoutSeconds != 0) {
        if (account.timeoutSeconds < 1 || account.timeoutSeconds > 3600)
            RaiseError(errnum::kMapiInvalidParameter,
                       "the time limit of " + std::to_string(account.timeoutSeconds) +
                           " s is not a number of seconds from 1 to 3600",
                       kSource);
        entry.options["timeout"] = std::to_string(account.timeoutSeconds);
    }
    const std::string display = name.empty() ? url.user + "@" + url.host : name;
    if (password.empty()) return profile.AddConnectedStore(entry, display);
    RememberImapPassword(url.user, url.host, password);
    try {
        return profile.AddConnectedStore(entry, display);
    } catch (...) {
        RememberImapPassword(url.user, url.host, {});  // a refused password is not tried again
        throw;
    }
}

store::StoreInfo AddDavStore(store::Profile& profile, const DavAccount& account, const std::string& name,
                             const std::string& password) {
    RegisterConnectedStores();
    const DavUrl url = ParseDavUrl(account.url);
    if (!url.tls && !account.allowPlain)
        RaiseError(errnum::kMapiInvalidParameter,
                   "\"" + account.url + "\" would reach the server without TLS; use https:// (http:// is for a test "
                   "server on this machine, with allow-plain)",
                   kSource);
    store::ConnectedEntry entry{"dav", url.Canonical(), {}};
    std::error_code ec;
    if (!account.caFile.empty()) entry.options["ca-file"] = std::filesystem::absolute(account.caFile, ec).string();
    if (!account.passwordFile.empty())
        entry.options["password-file"] = std::filesystem::absolute(account.passwordFile, ec).string();
    if (account.allowPlain) entry.options["allow-plain"] = "yes";
    if (account.timeoutSeconds != 0) {
        entry.options["timeout"] = std::to_string(account.timeoutSeconds);
        DavTimeoutSeconds(entry.options["timeout"]);  // refused before anything is written
    }
    const std::string display = name.empty() ? url.user + "@" + url.host : name;
    if (password.empty()) return profile.AddConnectedStore(entry, display);
    RememberPassword(kDavPasswords, url.user, url.host, password);
    try {
        return profile.AddConnectedStore(entry, display);
    } catch (...) {
        RememberPassword(kDavPasswords, url.user, url.host, {});  // a refused password is not tried again
        throw;
    }
}

}  // namespace nubra::connected
