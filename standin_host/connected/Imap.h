// An IMAP account as a store of the profile, a driver of the synchroniser (Synchroniser.h).
// The folder tree is the server's LIST (with its delimiter), mailbox names decoded from
// modified UTF-7 (MailboxName.h; what cannot be a folder is passed over with a warning);
// an item is a message known by its UID. Duplicates move into
// "<folder><delim>Nubra_Duplicate_Items" (created and subscribed) with UID MOVE when offered,
// else UID COPY + UID STORE \Deleted + UID EXPUNGE of exactly the UIDs copied (UIDPLUS),
// never a plain EXPUNGE; a server offering neither is refused before anything changes. A run's
// moves go to the server together, one command per 1,000 messages, and what the server says
// is checked: a message still in its source after a move stays there, and the run fails.
// Deleted Items is the \Trash folder (special use), else "Trash" (made when first needed).
//
// A folder's glance is its UIDVALIDITY and its UIDNEXT and message count (STATUS): a folder
// whose glance is unchanged is left alone; otherwise it is selected, UID SEARCH ALL tells which
// messages went, and the new ones are fetched with only the header fields the items need plus
// INTERNALDATE, size and flags. Whole messages are fetched only for export and the inspector.
// A move cut short is found again by UID in the source, or in the target as a message that
// arrived after the target's UIDNEXT of before the batch, with the same INTERNALDATE and size.
#pragma once

#include <memory>

#include "standin_host/connected/Driver.h"
#include "standin_host/connected/ImapSession.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/Upstream.h"

namespace nubra::connected {

// The provider for profile entries of kind "imap" (source: ImapUrl::Canonical(); options
// "ca-file", "password-file", "allow-plain", "timeout").
std::shared_ptr<store::Upstream> MakeImapUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache);
// The driver alone (for the synchroniser, and for tests).
std::unique_ptr<Driver> MakeImapDriver(const store::ConnectedEntry& entry);

}  // namespace nubra::connected
