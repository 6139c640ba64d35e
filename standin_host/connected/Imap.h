// An IMAP account as a store of the profile. The folder tree is the server's LIST (with its
// delimiter), mailbox names decoded from modified UTF-7 (MailboxName.h; what cannot be a
// folder is passed over with a warning); duplicates move into
// "<folder><delim>Nubra_Duplicate_Items" (created and subscribed) with UID MOVE when offered,
// else UID COPY + UID STORE \Deleted + UID EXPUNGE (UIDPLUS), never a plain EXPUNGE; a server
// offering neither is refused before anything changes. Deleted Items is the \Trash folder
// (special use), else "Trash" (made when missing).
//
// Cache tables: im_folders(folder_id, mailbox as the server spells it, uidvalidity, uidnext,
// messages, modseq), im_items(item_id, folder_id, uid, size, internal, flags; one row per UID
// of a folder, UID 0 for a message moved in whose UID is not known yet), im_intents (a move
// about to be made: source mailbox, UID and UIDVALIDITY, target mailbox and its UIDNEXT
// before, the message's INTERNALDATE and size, and the method).
//
// Synchronisation: STATUS of each folder; a folder whose UIDVALIDITY, UIDNEXT and message
// count match the cache is left alone. Otherwise it is selected (with CONDSTORE when offered),
// a changed UIDVALIDITY discards its cache, UID SEARCH ALL tells which messages went, and the
// new ones are fetched with only the header fields the items need plus INTERNALDATE, size and
// flags. Whole messages are fetched only for export and the inspector (CompleteItem).
//
// Recovery: a UID MOVE is atomic on the server, so its intent is settled by the folder sync
// (the message is where the server has it). A copy-based move killed half-way is completed
// when the copy is found in the target (a message that arrived after the recorded UIDNEXT with
// the same INTERNALDATE and size): the original is then marked \Deleted and expunged by UID;
// otherwise the intent is dropped and the original stays.
#pragma once

#include <memory>

#include "standin_host/connected/ImapSession.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/Upstream.h"

namespace nubra::connected {

// The provider for profile entries of kind "imap" (source: ImapUrl::Canonical(); options
// "ca-file", "password-file", "allow-plain", "timeout").
std::shared_ptr<store::Upstream> MakeImapUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache);

}  // namespace nubra::connected
