// Where an account's password comes from (an IMAP account, a CardDAV/CalDAV account): one a
// window asked the user for (kept in this process's memory only), a password file private to
// the user, the kind's environment variable (NUBRA_IMAP_PASSWORD, NUBRA_DAV_PASSWORD), or the
// desktop's secret service (libsecret, the network-password schema with the kind as protocol
// ("imap", "dav"), server and user). Never from the command line, never written anywhere by us.
#pragma once

#include <string>

namespace nubra::connected {

// The accounts whose passwords are looked up: the kind as the keyring's protocol, the
// environment variable, and how people call such an account.
struct PasswordKind {
    const char* protocol;  // "imap", "dav"
    const char* envVar;    // "NUBRA_IMAP_PASSWORD"
    const char* label;     // "IMAP", "CardDAV/CalDAV"
};
inline constexpr PasswordKind kImapPasswords{"imap", "NUBRA_IMAP_PASSWORD", "IMAP"};
inline constexpr PasswordKind kDavPasswords{"dav", "NUBRA_DAV_PASSWORD", "CardDAV/CalDAV"};

// Raises kMapiNoAccess naming the file when the password file is readable or writable by
// others, not the user's own, or a link; raises kMapiNoAccess saying where a password may
// come from when there is none. In this order: a password remembered for user@host, the
// password file, the kind's environment variable when `onlyAccount` (the profile holds no
// other account of the kind the password could be sent to), the secret service.
std::string LookupPassword(const PasswordKind& kind, const std::string& user, const std::string& host,
                           const std::string& passwordFile, bool onlyAccount);

// Keeps `password` for an account of `kind` at user@host in memory until the process ends,
// ahead of every other source; an empty one forgets it.
void RememberPassword(const PasswordKind& kind, const std::string& user, const std::string& host,
                      const std::string& password);

inline std::string LookupImapPassword(const std::string& user, const std::string& host, const std::string& passwordFile,
                                      bool onlyAccount) {
    return LookupPassword(kImapPasswords, user, host, passwordFile, onlyAccount);
}
inline void RememberImapPassword(const std::string& user, const std::string& host, const std::string& password) {
    RememberPassword(kImapPasswords, user, host, password);
}

}  // namespace nubra::connected
