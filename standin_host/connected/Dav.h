// A CardDAV/CalDAV account as a store of the profile: its address books and calendars cleaned
// on the server, through the one synchroniser (Synchroniser.h).
//
// Discovery as clients do it (RFC 6764): /.well-known/carddav and /.well-known/caldav (their
// redirects followed on the same server only), else the account's own path, else "/", for the
// current-user-principal; the principal's addressbook-home-set and calendar-home-set; every
// address book and calendar in those homes is a folder named by its display name. A calendar's
// supported-calendar-component-set decides its kind: events (or events and to-dos: one calendar
// folder whose to-dos are tasks, as the engine tells each item by its own kind) a calendar,
// to-dos alone tasks; one of neither is passed over.
//
// Keys: a folder is its collection's path on the server, an item the name of its resource
// (the last segment of its href), its stamp the resource's ETag, which changes with its content
// (an item whose ETag changed is read again, and is never moved on what it held before).
//
// Reading: a collection's sync-token (else its CalendarServer getctag) is its glance, taken for
// every collection at once with the listing of a home; a collection whose token changed is
// listed with sync-collection (RFC 6578) from the token the cache was listed under, else whole
// (sync-collection from nothing, or PROPFIND getetag where the server offers no sync). New and
// changed items are fetched with addressbook-multiget / calendar-multiget, 100 at a time.
//
// Duplicates: a calendar collection cannot hold collections (RFC 4791), so a collection's
// duplicates go to a SIBLING collection in the same home, made with extended MKCOL (address
// books) or MKCALENDAR (calendars, with the same supported components), displayed as
// "<name> – Nubra_Duplicate_Items" and carrying a dead property {urn:x-nubrasweep:dav}
// duplicates-of that names the original's path: so any client, on any machine, finds the pair
// again from the server alone, and the store shows it as the collection's
// "Nubra_Duplicate_Items" subfolder. An item moves with MOVE (If-Match: its ETag, Overwrite: F);
// where the server refuses MOVE between the two collections, with GET, PUT (If-None-Match: *)
// and DELETE (If-Match). Since not every server honours If-Match on MOVE, the item's ETag is
// also looked at (HEAD) right before. An item another client changed since it was read is left
// where it is (kMapiCollision). A restore's emptied duplicates collection is deleted (If-Match
// on the collection's ETag, so nothing that arrived meanwhile goes with it).
//
// Creation time (which decides the copy kept): CREATED, else DTSTAMP (iCalendar) or REV (vCard),
// else the resource's getlastmodified.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "standin_host/connected/DavHttp.h"
#include "standin_host/connected/Driver.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/Upstream.h"

namespace nubra::connected {

// The driver of the account at `url` (for the synchroniser, and for tests). `password` is asked
// when the first request is sent, and again after Reset.
std::unique_ptr<Driver> MakeDavDriver(const DavUrl& url, const DavOptions& options,
                                      std::function<std::string()> password);

// The provider for profile entries of kind "dav" (source: DavUrl::Canonical(); options
// "ca-file", "password-file", "allow-plain", "timeout").
std::shared_ptr<store::Upstream> MakeDavUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache);

}  // namespace nubra::connected
