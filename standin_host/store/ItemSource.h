// What an item was made of, kept whole beside its properties: a mail's message as it came in,
// a vCard, a VEVENT or VTODO with its time zones, what an Outlook data file held of a message.
// The properties are what the duplicate search and the listings read; the source is what
// export writes back, so that nothing inside an item is lost on its way through the store.
//
// Kept compressed (zstd) in a table of its own keyed by item id (StoreDb.h), never read by a
// scan: only export and the item window ask for it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/Outlook.h"
#include "standin_host/store/ItemData.h"

namespace nubra::store {

struct ItemSource {
    enum class Kind : int32_t {
        Mime = 1,        // an Internet message (RFC 5322), as read
        VCard = 2,       // BEGIN:VCARD ... END:VCARD
        ICalendar = 3,   // the VTIMEZONEs used, then the VEVENT or VTODO (and its overrides)
        PstMessage = 4,  // a message of an Outlook data file: see formats/PstSource.h
    };
    Kind kind = Kind::Mime;
    // The mbox "From " line the message came with (without its line end); empty otherwise.
    std::string envelope;
    std::string packed;  // one zstd frame
    uint64_t size = 0;   // bytes once unpacked
    // Fingerprint() of the item's properties as they were stored, set by the store for vCard
    // and iCalendar sources: an item whose properties differ from it now has been changed
    // since, and its source no longer tells the whole truth.
    std::optional<uint64_t> fingerprint;
    // In memory only: BodyDigest() of the Body its item was given when the reader took that
    // Body from these very bytes (PackMessage). The store then keeps a mail's body in its
    // message alone and reads it from there when asked (StoreDb.h); never written to a file.
    std::optional<uint64_t> bodyDigest;

    // Compresses `bytes` (thread-safe; the readers call it on their worker threads).
    static std::shared_ptr<const ItemSource> Pack(Kind kind, std::string_view bytes, std::string envelope = {});
    // A mail's message (Kind::Mime) whose item's `body` was read from `bytes` with
    // `afterEnvelope` as formats::MessageBody reads it back (after an envelope line exactly when
    // `envelope` is not empty); otherwise the same as Pack.
    static std::shared_ptr<const ItemSource> PackMessage(std::string_view bytes, std::string envelope,
                                                         const std::optional<std::string>& body, bool afterEnvelope);
    // A digest of a body text, for the comparison above (the same within one process).
    static uint64_t BodyDigest(std::string_view body);
    // The bytes again. Raises kMapiCorruptData for a damaged frame.
    std::string Unpack() const;
};

// A 64-bit digest of every property of `data` (not its Source), the same in every store.
uint64_t Fingerprint(const ItemData& data);

// True when `data` carries a source that still describes it (a vCard or iCalendar source whose
// fingerprint matches the properties; mail and Outlook sources always do).
bool SourceIsCurrent(const ItemData& data);

// The source of an item of a profile's store, nullopt when it has none (made from properties
// alone, or imported before sources were kept). Raises kMapiNotFound for an item deleted for
// good, kMapiInvalidParameter for an object that is not the store's.
std::optional<ItemSource> SourceOf(outlook::OutlookItem& item);

// Message flags (PR_MESSAGE_FLAGS) the importers set and export and the explorer read.
inline constexpr uint32_t PR_MESSAGE_FLAGS = 0x0E070003;
inline constexpr int64_t MSGFLAG_READ = 0x01;
inline constexpr int64_t MSGFLAG_HASATTACH = 0x10;
// The item's PR_MESSAGE_FLAGS, 0 when it has none (read from the cached properties).
int64_t MessageFlags(outlook::OutlookItem& item);

// For a listing of `folder` (of a profile's store), by entry ID (hex, as EntryID gives it): the
// size in bytes of each item that has one to tell: the length of its source once unpacked, or
// for an item of a store of our own without a source the total length of its property values
// (a connected store's item whose message is not kept in the cache is left out). One query,
// nothing unpacked, no source reached. Raises kMapiInvalidParameter for a folder that is not
// the store's.
std::map<std::string, uint64_t> ItemSizes(outlook::MAPIFolder& folder);
// By folder entry ID (hex): the number of unread mail and posts (PR_MESSAGE_FLAGS without
// MSGFLAG_READ) in each folder of `folder`'s store that holds any; one query. Only a store
// that keeps its items' read state gives meaningful counts (a connected store's cache does
// not). Raises kMapiInvalidParameter for a folder that is not the store's.
std::map<std::string, int32_t> UnreadCounts(outlook::MAPIFolder& folder);

}  // namespace nubra::store
