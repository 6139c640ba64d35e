// What a connected store needs of the source its cache follows, and nothing more. The one
// synchroniser (Synchroniser.h) keeps the cache, the intents journal, the locks and the
// warnings' bookkeeping, and reaches the source only through a driver: a driver keeps no cache,
// writes no SQL and takes no lock.
//
// Every member raises an AutomationError naming the source when the source fails:
// kMapiNotFound for what is not there, kMapiNoAccess for what is refused (a link in a tree, a
// refused login), kMapiCallFailed for a source that cannot be reached or dropped the
// connection. After a failure of a change the source may have done part of it: the
// synchroniser finds out (Locate, ArrivedSince) before it believes anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin_host/store/ItemData.h"

namespace nubra::connected {

// A folder of the source.
struct SourceFolder {
    std::string key;                // the source's own name (a maildir's directory, an IMAP mailbox)
    std::vector<std::string> path;  // the folder names from the top, as people read them
    bool holdsItems = true;         // false: only a container of other folders
    bool trash = false;             // the source's Deleted Items
    int32_t itemType = 0;           // what it holds, as a folder's DefaultItemType (0 mail, 2 contacts, ...)
};

// What a folder's items are at a glance: `validity` changes when every key of the folder comes
// to mean another item (IMAP's UIDVALIDITY); `state` is equal between two glances only when
// nothing arrived or left (IMAP's UIDNEXT and count). Empty `state`: the driver cannot tell,
// and the folder is listed every time.
struct Glance {
    std::string validity, state;
};

// An item of a folder.
struct SourceItem {
    std::string key;        // stable in its folder while the item lives (a file's unique part, a UID)
    std::string stamp;      // changes when another client renames or flags it (a file's name)
    int64_t size = 0;       // in bytes; 0 when unknown
    int64_t arrivalMs = 0;  // when it arrived (UTC, ms): its creation time
    std::string flags;      // as the source writes them ("\\Seen \\Flagged", "FS")
    // What the driver wants back with the item the next time it is moved (kept by the
    // synchroniser, never read by it): mbsync's UID a file had in the folder it left.
    std::string note;
};

// What changed in a folder since an earlier glance (Driver::ListChangesSince).
struct SourceChanges {
    std::vector<SourceItem> changed;  // arrived or changed since, as ListItems gives them
    std::vector<std::string> gone;    // the keys of items that left
};

class Driver {
public:
    virtual ~Driver() = default;

    // What `stores` shows ("maildir (Maildir++)", "imap"); the source as the profile names it
    // (a tree's path, an account's address), which names its lock file; and the source as
    // messages name it ("the Maildir \"/home/me/Mail\"", "the account imaps://...").
    virtual std::string KindText() const = 0;
    virtual std::string Source() const = 0;
    virtual std::string Name() const = 0;
    // Whether an item keeps its key when it moves to another folder (a file keeps its unique
    // part; a message gets a new UID): then an item another client moved is found again by
    // its key, and stays the same item.
    virtual bool KeysSurviveMoves() const = 0;
    // Whether a run's moves are worth putting off and sending together: MoveItems moves many
    // items in one command, or a move costs less than the commit of its intent before it.
    virtual bool MovesSets() const = 0;
    // Whether an item whose stamp changed may hold something else now (an edited contact), so
    // that it is read again; a renamed or flagged message is the same message.
    virtual bool StampMeansContent() const { return false; }
    // Whether what MoveItems says is to be checked at the source (a server may say it moved
    // what it did not); a rename in a tree is its own proof.
    virtual bool VerifyMoves() const = 0;
    // How messages name item `item` of `folder` (a file's path; the account, mailbox and UID).
    virtual std::string Describe(const std::string& folder, const SourceItem& item) const = 0;
    // Raises kMapiNoSupport (naming the source) when the source cannot move an item without
    // harm (an IMAP server with neither MOVE nor UIDPLUS); nothing is changed before.
    virtual void RequireMoves() {}
    // Drops what a failure may have left half-used (a connection in an unknown state); the
    // next call starts afresh.
    virtual void Reset() {}

    // Every folder of the source, parents before children; what is passed over (a link, a name
    // that cannot be a folder) is said in `warnings`, a line each naming it.
    virtual std::vector<SourceFolder> ListFolders(std::vector<std::string>& warnings) = 0;
    // The glance of folder `folder`. Raises kMapiNotFound for a folder gone.
    virtual Glance GlanceAt(const std::string& folder) = 0;
    // The validity of folder `folder` as its glance gives it, for a source that can tell it
    // without the whole glance. Raises as GlanceAt.
    virtual std::string ValidityOf(const std::string& folder) { return GlanceAt(folder).validity; }
    // The items of `folder` with the glance they were listed under (a folder that changes
    // meanwhile shows it at the next listing); what is passed over is said in `warnings`.
    virtual std::vector<SourceItem> ListItems(const std::string& folder, Glance& glance,
                                              std::vector<std::string>& warnings) = 0;
    // What changed in `folder` since it was listed under glance `since` (a state the source can
    // answer from, such as a sync token), with in `glance` the glance the changes bring it to;
    // what is passed over is said in `warnings`. nullopt when the source cannot tell (it keeps
    // no such history, or has forgotten that state): the folder is then listed whole. Raises
    // kMapiNotFound for a folder gone.
    virtual std::optional<SourceChanges> ListChangesSince(const std::string& folder, const Glance& since, Glance& glance,
                                                          std::vector<std::string>& warnings) {
        (void)folder, (void)since, (void)glance, (void)warnings;
        return std::nullopt;
    }
    // The store's item of each of `items` of `folder`, made from what the item holds as import
    // makes it (with the item's arrival as its creation time), in order; nullopt, with a
    // warning, for one that cannot be read. What reading learns of an item that its listing
    // did not tell (size, arrival, flags) is filled into `items`.
    virtual std::vector<std::optional<store::ItemData>> ReadItems(const std::string& folder,
                                                                  std::vector<SourceItem>& items,
                                                                  std::vector<std::string>& warnings) = 0;
    // The whole of each of `items` of `folder` (the message as it is kept), in order; nullopt for
    // one that cannot be read (gone, or larger than a message may be).
    virtual std::vector<std::optional<std::string>> ReadWhole(const std::string& folder,
                                                              const std::vector<SourceItem>& items) = 0;
    // How many items after the one asked for are worth reading with it (an IMAP answer holds
    // many; a file is read alone).
    virtual size_t ReadAhead() const { return 1; }

    // Makes folder `name` under folder `parent` (nullopt for the top) and returns its key; a
    // folder that is there already is taken. Raises kMapiInvalidParameter for a name the source
    // cannot have.
    virtual std::string CreateFolder(const std::optional<std::string>& parent, const std::string& name) = 0;
    // Removes the empty folder `folder`; one gone already is no failure. Raises when it holds
    // anything or cannot be removed; it stays then.
    virtual void RemoveFolder(const std::string& folder) = 0;

    // A mark of what `folder` holds now (IMAP's UIDNEXT), taken before moves into it so that
    // ArrivedSince finds the copies the source did not name. "" when keys survive moves.
    virtual std::string Mark(const std::string& folder) = 0;
    // Moves `items` (of `from`) into `to`, in as few commands as the source allows. Returns, for
    // each item in order, what it is in `to` when the source said so, nullopt when it did not
    // (the synchroniser looks for it). Raises when the source fails: part may be done then.
    virtual std::vector<std::optional<SourceItem>> MoveItems(const std::string& from,
                                                             const std::vector<SourceItem>& items,
                                                             const std::string& to) = 0;
    // Each of `items` of `folder` as it is there now (found by its key, also when renamed or
    // flagged since), nullopt for one that is not there.
    virtual std::vector<std::optional<SourceItem>> Locate(const std::string& folder,
                                                          const std::vector<SourceItem>& items) = 0;
    // The items that arrived in `folder` after `mark` (Mark), for finding a moved item by its
    // arrival and size.
    virtual std::vector<SourceItem> ArrivedSince(const std::string& folder, const std::string& mark) = 0;
    // Removes `items` of `folder` for good. Raises kMapiNoSupport when the source cannot remove
    // them alone (without what the user marked deleted); nothing is removed then.
    virtual void RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) = 0;
};

}  // namespace nubra::connected
