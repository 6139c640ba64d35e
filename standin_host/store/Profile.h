// The embedded message store: a profile (a folder) holding one SQLite file per information
// store, with folders, items, MAPI properties, named properties, entry IDs and contents-table
// searches. The objects it hands out implement the mail client's object model (host/Outlook.h)
// and, through MAPILibrary.h, the MAPI utility library (host/MAPIUtils.h).
//
// This header is the store's own API for the command line, the importers and the tests.
//
// Failures: every member raises nubra::AutomationError with a MAPI-style status code
// (errnum::kMapiNotFound, kMapiCorruptData, kMapiNoAccess, kMapiCollision, kMapiBusy,
// kMapiDiskError, kMapiInvalidParameter, kMapiCallFailed) and a description that names the
// file concerned. Every change is one SQLite transaction: after a failure the store is
// exactly as it was before the call (nothing half-written), and a process killed at any
// instant leaves every item in exactly one folder.
//
// Durability: the stores run SQLite's WAL with synchronous NORMAL. A change is atomic, and
// what a killed process committed is kept; only a power cut or an operating-system crash can
// undo the last committed changes, each as a whole (a moved item is then back in its source
// folder, still in exactly one folder). A move between two stores is flushed to disk at each
// of its steps, and one that a process ended in the middle of is completed by the next Open.
//
// Other processes' changes: a reference sees them on its next read once SQLite reports them,
// which the store asks for at most every kForeignCheckInterval (50 ms) outside a change and
// always at the start of a change; changes made through this process are seen at once by every
// reference of every profile object in it.
//
// Threads: a Profile and the objects it hands out belong to one thread (the UI thread).
// Several processes may open the same profile at once; each change waits up to the busy
// timeout for the other's transaction and then raises kMapiBusy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/Outlook.h"
#include "standin_host/store/ItemData.h"

namespace nubra::store {

class StoreDb;  // one open store file (internal)

// Name of the profile file inside a profile folder.
inline constexpr const char* kProfileFileName = "profile.json";
// Display name of the store a new profile is given.
inline constexpr const char* kDefaultStoreName = "Personal Folders";
// The folder Delete moves items into, unless the store names another (SetDeletedItemsFolder).
inline constexpr const char* kDeletedItemsName = "Deleted Items";

// One information store of a profile.
struct StoreInfo {
    std::string storeId;            // hex text, as MAPIFolder::StoreID gives it
    std::string displayName;        // the name of the store's top-level folder
    std::filesystem::path file;     // absolute path of the SQLite file
    // Connected stores (Upstream.h): the file is the cache of mail kept elsewhere. "store" for
    // a store of our own, else the source's kind ("maildir", "imap") and where it is;
    // kindText as `stores` shows it ("maildir (Maildir++)").
    std::string kind = "store";
    std::string source;
    std::string kindText = "store";
};

// A connected store as the profile file lists it: kind, source and the provider's options
// (never a password). A provider registers a factory for its kind; Profile::Open asks it for
// the upstream of each such store.
struct ConnectedEntry {
    std::string kind;
    std::string source;
    std::map<std::string, std::string> options;
    // How many connected stores of this kind the profile holds, this one included (set by the
    // profile, not written to its file): one password from the environment may only be meant
    // for an account that is the only one.
    int ofKind = 1;
};
class Upstream;
using UpstreamFactory = std::function<std::shared_ptr<Upstream>(const ConnectedEntry&, StoreDb& cache)>;
void RegisterUpstreamFactory(const std::string& kind, UpstreamFactory factory);
// Where caches of connected stores live: $XDG_CACHE_HOME/nubrasweep (else ~/.cache/nubrasweep).
std::filesystem::path ConnectedCacheDir();
// Makes every store of this process ask SQLite for other processes' changes on its next read,
// instead of up to kForeignCheckInterval later: for a view the user asked to refresh.
void SeeChangesElsewhereNow();

// One item as ForEachItem hands it out.
struct ItemRecord {
    std::string entryIdHex;  // as OutlookItem::EntryID gives it
    ItemData data;           // as ReadItem gives it
};

// The result of CheckIntegrity.
struct IntegrityReport {
    // One line per problem, each naming the store file; empty when every store is sound.
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
};

class Profile : public std::enable_shared_from_this<Profile> {
public:
    // Opens the profile in folder `dir`. When the folder or its profile file does not exist,
    // creates them with one store "Personal Folders" (file "Personal Folders.nbst") holding the
    // standard folders Inbox, Sent Items, Drafts, Outbox, Deleted Items (mail), Calendar,
    // Contacts, Tasks, Journal and Notes. Every listed store file is opened and checked.
    // Raises kMapiCorruptData (naming the file, and the line for a bad profile file) when the
    // profile file or a store file is not ours or is damaged, kMapiNoAccess when a file cannot
    // be read or written, kMapiNotFound when a listed store file is missing. After a failure no
    // file was created or changed except that a new profile folder may remain empty.
    // Two processes creating the same new profile at once make it once (a lock on the folder).
    // Completes every move between two of its stores that a process ended in the middle of
    // (OutlookItem::Move into another store), so that the item is in exactly one of them.
    //
    // Store files left in the folder without a profile file (it was deleted) are taken into
    // the new profile file, with a warning. A new profile folder is made private to the user
    // (0700) and store files 0600, whatever the umask.
    //
    // Access::ReadOnly, for commands that only read: nothing is created or written (no new
    // profile, no recovery of interrupted moves, no upgrade of an older store format, which
    // is refused); works on a profile this user may read but not write. Raises kMapiNotFound
    // when there is no profile yet.
    enum class Access { ReadWrite, ReadOnly };
    // Connected stores: Attach (the default) synchronises each cache with its source (ReadWrite
    // only) and attaches its upstream, so that changes reach the source first; a connected
    // store whose source cannot be reached is left as last synchronised, with a warning, and
    // refuses changes and removal runs. Detach opens every cache as a plain store file (for a
    // copy of the profile, as a dry run makes). AttachForRuns attaches without synchronising
    // (a cache made anew excepted): a removal run brings the store it works on up to date when
    // it takes its lock, so a clean pays for one synchronisation, not two; the folder tree shows
    // each store as last synchronised. A kind without a registered factory raises
    // kMapiNoSupport unless detached.
    enum class Upstreams { Attach, AttachForRuns, Detach };
    static std::shared_ptr<Profile> Open(const std::filesystem::path& dir, Access access = Access::ReadWrite,
                                         Upstreams upstreams = Upstreams::Attach);

    // What Open noticed and the user should hear of (stores rediscovered, files left out).
    const std::vector<std::string>& Warnings() const;
    // What the connected stores' synchronisations since the last call passed over (a removal
    // run's, for one), one line each; cleared by the call.
    std::vector<std::string> TakeSourceWarnings();

    ~Profile();
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;

    const std::filesystem::path& Directory() const;

    // The stores in profile order (the order of NameSpace.Folders).
    std::vector<StoreInfo> Stores() const;

    // Attaches the store file `file` (relative paths are taken inside the profile folder) at
    // the end of the profile. A missing file is created as a new store whose top-level folder
    // is `displayName`, holding "Deleted Items" (unless not `deletedItems`: for a store that
    // will name its own with SetDeletedItemsFolder) and, when `standardFolders`, the other
    // standard folders too; an existing store file keeps its own name and folders (`displayName` is not
    // used). Returns the store's information. Raises kMapiCollision when the file or its store
    // is already in the profile, kMapiCorruptData for a file that is not a store of ours,
    // kMapiInvalidParameter for an empty display name of a new store. After a failure the
    // profile is unchanged and no new file remains.
    StoreInfo AddStore(const std::filesystem::path& file, const std::string& displayName,
                       bool standardFolders = false, bool deletedItems = true);

    // Makes `folder` its store's Deleted Items, the folder Delete moves items into, whatever
    // its name (the store remembers it), in one transaction. Raises kMapiInvalidParameter for
    // a top-level folder or a folder not of this profile, kMapiNotFound for a folder that no
    // longer exists.
    void SetDeletedItemsFolder(outlook::MAPIFolder& folder);

    // The mail client's application object over this profile: the same object as long as
    // anyone holds it (the application keeps the profile open, not the other way round). Its
    // namespace sees every store of the profile.
    std::shared_ptr<outlook::Application> Application();
    // Application()->GetNamespace("MAPI").
    std::shared_ptr<outlook::NameSpace> NameSpace();

    // The folder at `path`: the top-level folder name, then subfolder names, separated by "\"
    // (a leading "\" is allowed; names match exactly). The first part may also be the store's
    // file name (or full path) as Stores() gives it, which tells two stores of one name apart.
    // Raises kMapiNotFound naming the first missing part, kMapiCollision when the first part
    // names several stores.
    outlook::FolderRef FindFolder(const std::string& path);
    // The path FindFolder takes for `folder` (top-level name first, "\" separators).
    std::string FolderPath(outlook::MAPIFolder& folder);

    // Creates subfolder `name` of `parent` for items of `defaultItemType` (OlItemType 0..7) in
    // one transaction. Raises kMapiCollision when `parent` has a subfolder of exactly that name,
    // kMapiInvalidParameter for an empty name or a type outside 0..7 or a folder not of this
    // profile. After a failure no folder was created.
    outlook::FolderRef CreateFolder(outlook::MAPIFolder& parent, const std::string& name,
                                    int32_t defaultItemType);

    // Creates one item in `folder` (at the end of its order) from `data`, in one transaction,
    // and returns it. Properties: see ItemData; a missing CreationTime becomes the current
    // time; a note's Subject (and PR_CONVERSATION_TOPIC) is the first line of its body; a task
    // without Status gets 0 and a note without Color 3, the client's defaults. Raises kMapiInvalidParameter for a
    // folder not of this profile or a property value whose type does not fit its tag. After a
    // failure no item was created.
    outlook::ItemRef AddItem(outlook::MAPIFolder& folder, const ItemData& data);

    // Creates all `items` in `folder`, in the given order, in one transaction: all or nothing.
    // Returns the number created (items.size()). Raises like AddItem; after a failure none of
    // the items exists.
    size_t AddItems(outlook::MAPIFolder& folder, std::span<const ItemData> items);

    // The item's properties as ItemData: the object-model fields it has, dates in UTC,
    // Class from its message class (MessageClass set only when it differs from
    // MessageClassFor(Class)), other properties in extraTagged / extraNamed. Raises
    // kMapiNotFound for an item deleted for good, kMapiInvalidParameter for an item not of
    // this profile. Reading::Whole: for a connected store, the body and the whole message
    // (Source) are fetched from the source; CachedProperties: only what the cache holds (the
    // properties a scan reads, from the headers) is given, and the source is not reached.
    enum class Reading { Whole, CachedProperties };
    ItemData ReadItem(outlook::OutlookItem& item, Reading reading = Reading::Whole);

    // Calls `visit` for every item of `folder` in folder order, reading the folder with one
    // query (for listing and export), each item as ReadItem with `reading` gives it (a table of
    // a connected store's folder reads CachedProperties and fetches nothing). Raises like
    // ReadItem; what `visit` raises ends the walk and passes on. The folder must not be changed
    // from inside `visit`.
    void ForEachItem(outlook::MAPIFolder& folder, const std::function<void(const ItemRecord&)>& visit,
                     Reading reading = Reading::Whole);

    // The entry IDs (hex) of the items of each of `folders`, in folder order, all read in one
    // read transaction: a move between two of them that another process commits meanwhile
    // shows the item in exactly one of the lists. For watching a store that a scan is
    // changing. The folders must belong to one store of this profile (kMapiInvalidParameter
    // otherwise). Changes nothing.
    std::vector<std::vector<std::string>> ItemIdsSnapshot(std::span<outlook::MAPIFolder* const> folders);

    // Completes interrupted moves between stores as Open does, then checks every store:
    // SQLite's integrity check plus the store's own rules (every item in exactly one existing
    // folder, unique order numbers and entry IDs, no properties without their item, named
    // tags consistent, every item with a message class, one top-level folder). A move whose source store is not in the
    // profile cannot be completed and is reported. Never raises for a damaged store; reports it.
    IntegrityReport CheckIntegrity();

    // The path (as FindFolder takes it) of each store's Deleted Items, for stores that have one.
    std::vector<std::string> DeletedItemsPaths();

    // The folder `item` is in now. Raises kMapiNotFound for an item deleted for good.
    outlook::FolderRef ParentFolder(outlook::OutlookItem& item);

    // Removes `folder` when it holds no items and no subfolders (never a store's top folder or
    // its Deleted Items), in one transaction; true when it was removed.
    bool RemoveFolderIfEmpty(outlook::MAPIFolder& folder);

    // Writes a private copy of the stores of the profile that `copy` chooses (every store when
    // it is empty), each as of one moment, with a profile file listing them, into the new
    // folder `dir` (created 0700; it must not exist), for running something on the copy
    // instead of the real stores (a dry run). The stores not copied are listed as their real
    // files, which a profile opened from `dir` opens read-only: the copy shows every store
    // and can change only the copies. The copies keep the stores' identities, so entry IDs
    // read there name the same items here. Raises kMapiCollision when `dir` exists, and what
    // copying raises (the folder is removed again).
    void SnapshotTo(const std::filesystem::path& dir,
                    const std::function<bool(const StoreInfo&)>& copy = {}) const;

    // Takes the store `storeId` out of the profile: its file stays as it is (a connected
    // store's cache is deleted; its source stays untouched). Raises kMapiNotFound for a store
    // not in the profile, kMapiBusy naming the folder when a removal run holds one of its
    // folders, kMapiNoAccess for a profile opened read-only, and what writing the profile file
    // raises; after a failure the profile is unchanged. Returns what the store was.
    StoreInfo RemoveStore(const std::string& storeId);
    // Gives the store `storeId` the name `name` (its top-level folder's name), in one
    // transaction. Raises kMapiNotFound for a store not in the profile, kMapiInvalidParameter
    // for an empty name, kMapiNoAccess for a profile opened read-only.
    StoreInfo RenameStore(const std::string& storeId, const std::string& name);

    // Connected stores: attaches `entry` (its factory must be registered) as a new store
    // named `displayName` at the end of the profile, its cache made in ConnectedCacheDir()
    // and synchronised once. Raises kMapiCollision when the source is in the profile already,
    // and what the first synchronisation raises (no cache and no profile entry remain then).
    StoreInfo AddConnectedStore(const ConnectedEntry& entry, const std::string& displayName);
    // The upstream of a connected store (nullptr for others), even when it is not attached
    // (a read-only profile), for fetching whole messages.
    std::shared_ptr<Upstream> UpstreamOf(const StoreDb& store) const;

    // Internal: the open store with this store id (hex), or nullptr.
    std::shared_ptr<StoreDb> StoreById(const std::string& storeIdHex) const;
    const std::vector<std::shared_ptr<StoreDb>>& StoreDbs() const;

private:
    explicit Profile(std::filesystem::path dir);
    void WriteProfileFile() const;
    // Adds a line to `unresolved` (when given) for each move it cannot complete.
    void CompleteInterruptedMoves(std::vector<std::string>* unresolved);

    std::shared_ptr<StoreDb> StoreByName(const std::string& name, const std::string& path) const;

    std::filesystem::path dir_;
    bool readOnly_ = false;
    std::vector<std::string> warnings_;
    std::vector<std::shared_ptr<StoreDb>> stores_;
    std::weak_ptr<outlook::Application> app_;
    // Connected stores, by their cache (Upstream.h).
    std::map<const StoreDb*, ConnectedEntry> connected_;
    std::map<const StoreDb*, std::shared_ptr<Upstream>> upstreams_;
    // Stores a snapshot's profile file lists as real files, opened read-only.
    std::vector<const StoreDb*> readOnlyStores_;
    void AttachConnected(const std::shared_ptr<StoreDb>& cache, const ConnectedEntry& entry, Upstreams mode);
};

}  // namespace nubra::store
