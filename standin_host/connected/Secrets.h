// Where an IMAP account's password comes from: one a window asked the user for (kept in this
// process's memory only), NUBRA_IMAP_PASSWORD, a password file private to the user, or the
// desktop's secret service (libsecret, the network-password schema with protocol "imap",
// server and user). Never from the command line, never written anywhere by us.
#pragma once

#include <string>

namespace nubra::connected {

// Raises kMapiNoAccess naming the file when the password file is readable or writable by
// others, not the user's own, or a link; raises kMapiNoAccess saying where a password may
// come from when there is none.
std::string LookupImapPassword(const std::string& user, const std::string& host, const std::string& passwordFile);

// Keeps `password` for user@host in memory until the process ends, ahead of every other
// source; an empty one forgets it.
void RememberImapPassword(const std::string& user, const std::string& host, const std::string& password);

}  // namespace nubra::connected
