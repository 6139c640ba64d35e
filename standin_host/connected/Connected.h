// Connected stores: mail cleaned where it lives, a Maildir tree in place or an IMAP account, and
// address books and calendars, a vdir in place or a CardDAV/CalDAV account,
// each a store of the profile over a local cache (standin_host/store/Upstream.h). These are
// the plain functions the command line and the explorer call.
#pragma once

#include <filesystem>
#include <string>

#include "standin_host/store/Profile.h"

namespace nubra::connected {

// Registers the providers ("maildir", "imap", "vdir", "dav") with the profile; call once before
// Profile::Open (the command line and the explorer do).
void RegisterConnectedStores();

// Attaches the Maildir tree `dir` (Maildir++ or nested maildirs, detected) as a new store at
// the end of `profile`, named `name` (default: the folder's name), and synchronises its cache.
// Raises kMapiNotFound / kMapiInvalidParameter for a folder that is no Maildir, kMapiCollision
// when it is in the profile already; after a failure the profile is unchanged.
store::StoreInfo AddMaildirStore(store::Profile& profile, const std::filesystem::path& dir,
                                 const std::string& name = {});

// Attaches the vdir `dir` (a folder of address books and calendars, each a folder of .vcf or
// .ics files) as a new store named `name` (default: the folder's name) and synchronises its
// cache. Raises kMapiNotFound for a folder that does not exist, kMapiInvalidParameter for one
// that is no vdir, kMapiCollision when it is in the profile already; after a failure the
// profile is unchanged.
store::StoreInfo AddVdirStore(store::Profile& profile, const std::filesystem::path& dir, const std::string& name = {});

// An IMAP account: imaps://USER@HOST[:PORT]/ (TLS from the start) or imap://USER@HOST[:PORT]/
// (STARTTLS, which must succeed unless allowPlain, meant for tests on the loopback).
// Certificates are verified against the system's trust store, plus caFile when given. The
// password comes from NUBRA_IMAP_PASSWORD, else passwordFile (refused unless private to the
// user), else the desktop's secret service; it is never stored in the profile.
// timeoutSeconds (1 to 3600; 0: the default, 60) is how long a command's answer may go
// without progress (ImapSession.h), kept as the store's "timeout" option;
// NUBRA_IMAP_TIMEOUT overrides it for one process.
struct ImapAccount {
    std::string url;
    std::string caFile;
    std::string passwordFile;
    bool allowPlain = false;
    int timeoutSeconds = 0;
};

// Attaches the account as a new store (default name: USER@HOST) and synchronises its cache.
// Raises kMapiInvalidParameter for a time limit out of range, and what connecting, logging in
// and the first synchronisation raise (kMapiNoAccess for a refused password or certificate,
// kMapiCallFailed for a server that cannot be reached, stalls, floods or lacks what a clean
// needs); after a failure the profile is unchanged.
// `password`, when given (typed into a window), is kept in this process's memory for the
// account and tried before any other source (RememberImapPassword); forgotten again when the
// account is refused.
store::StoreInfo AddImapStore(store::Profile& profile, const ImapAccount& account, const std::string& name = {},
                              const std::string& password = {});

// A CardDAV/CalDAV account (its address books and calendars, found as clients find them):
// https://USER@HOST[:PORT][/PATH] (PATH where discovery starts: the server's context path, a
// principal or a home; default "/", with /.well-known/carddav and /.well-known/caldav first).
// http:// only with allowPlain, and then only to a server on this machine (tests).
// Certificates are verified against the system's trust store, plus caFile when given, with
// the host name. The password comes from passwordFile (refused unless private to the user),
// NUBRA_DAV_PASSWORD (only for a profile's only CardDAV/CalDAV account), else the desktop's
// secret service (protocol "dav"); it is never stored in the profile. `timeoutSeconds` (0: the
// default, 60) is how long a request may go without progress (NUBRA_DAV_TIMEOUT overrides it).
struct DavAccount {
    std::string url;
    std::string caFile;
    std::string passwordFile;
    bool allowPlain = false;
    int timeoutSeconds = 0;
};

// Attaches the account as a new store (default name: USER@HOST) and synchronises its cache.
// Raises kMapiInvalidParameter for an address that is no such account (or http:// without
// allowPlain), kMapiCollision when it is in the profile already, and what discovery and the
// first synchronisation raise (kMapiNoAccess for a refused password or certificate,
// kMapiNotFound for an account without address books or calendars, kMapiCallFailed for a
// server that cannot be reached or answers what cannot be read); after a failure the profile
// is unchanged. `password`, when given (typed into a window), is kept in this process's memory
// for the account and tried before any other source; forgotten again when the account is
// refused.
store::StoreInfo AddDavStore(store::Profile& profile, const DavAccount& account, const std::string& name = {},
                             const std::string& password = {});

}  // namespace nubra::connected
