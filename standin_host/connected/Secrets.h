// Where an IMAP account's password comes from: one a window asked the user for (kept in this
// process's memory only), a password file private to the user, NUBRA_IMAP_PASSWORD, or the
// desktop's secret service (libsecret, the network-password schema with protocol "imap",
// server and user). Never from the command line, never written anywhere by us.
#pragma once

#include <string>

namespace nubra::connected {

// Raises kMapiNoAccess naming the file when the password file is readable or writable by
// others, not the user's own, or a link; raises kMapiNoAccess saying where a password may
// come from when there is none. In this order: a password remembered for user@host, the
// password file, NUBRA_IMAP_PASSWORD when `onlyAccount` (the profile holds no other IMAP
// account the password could be sent to), the secret service.
std::string LookupImapPassword(const std::string& user, const std::string& host, const std::string& passwordFile,
                               bool onlyAccount);

// Keeps `password` for user@host in memory until the process ends, ahead of every other
// source; an empty one forgets it.
void RememberImapPassword(const std::string& user, const std::string& host, const std::string& password);

}  // namespace nubra::connected
