// The record of every removal run of a profile: which folders were cleaned, and for every item
// taken out, where it was before and after and which item it duplicated; and putting a run's
// items back. Kept in one SQLite file per profile under $XDG_STATE_HOME/nubrasweep/ (a folder
// private to the user). A run is recorded at its start; each removal is noted before the item
// moves (a run whose record cannot be written moves nothing more, and a process killed in the
// middle of a folder leaves what a restore needs), and each folder's record is completed, with
// what the user recognises the items by, in one transaction flushed to disk when it is done.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace nubra::store {
class Profile;
class SqlStatement;
}

namespace nubra::history {

// One item taken out of a folder by a run.
struct Removal {
    std::string kind;         // "mail", "contact", ...
    std::string title;        // subject or name
    std::string created;      // creation time, UTC, "YYYY-MM-DD hh:mm:ss"
    std::string action;       // "moved" (to the duplicates subfolder) or "deleted" (to Deleted Items)
    std::string storeBefore, entryBefore, folderBefore, pathBefore;
    std::string storeAfter, entryAfter, folderAfter, pathAfter;
    std::string duplicateOf;       // entry ID of the item being examined when it was found
    std::string duplicateOfTitle;  // its subject or name
    std::string restored;          // when a restore put it back ("" for not yet)
};

// One folder a run cleaned.
struct FolderRecord {
    std::string path;
    std::string storeId, folderId;
    std::string outcome;  // the outcome text as printed
    int32_t removed = 0;
    bool failed = false;
    std::vector<Removal> removals;
};

struct RunRecord {
    std::string id;       // "YYYYMMDD-hhmmss-NNNN", sortable
    std::string started;  // UTC, ISO 8601
    std::string ended;    // "" while running or when the process was killed
    std::string command;  // what was asked ("clean Personal Folders\Inbox", "clean --all")
    // "running", "done", "stopped", "failed"; "interrupted" for a run whose process ended
    // without saying how the run ended (killed, a closed pipe)
    std::string status;
    int32_t folders = 0, removed = 0, restored = 0;
};

class History {
public:
    // The history of the profile in `profileDir`: $XDG_STATE_HOME/nubrasweep/ (else
    // ~/.local/state/nubrasweep/) + "history-" + a hash of the profile's path + ".sqlite".
    static std::filesystem::path FileFor(const std::filesystem::path& profileDir);

    // Opens (creating when missing, private to the user) the history file, in a folder that
    // must be private to the user (store::RequirePrivateFolder). Raises kMapiCorruptData naming
    // the file for one that is not a history, kMapiNoAccess when it cannot be opened or its
    // folder or file could be another user's.
    explicit History(const std::filesystem::path& file);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Records a new run of this process as running and returns its id, setting aside room on
    // the history's disk for EndRun. Raises when the file cannot be written, and
    // kMapiDiskError when the disk has no room for that (nothing recorded then).
    std::string BeginRun(const std::string& command);
    // Opens the record of a folder of the run (path, storeId, folderId of `folder`; nothing else
    // is read) and returns its position in the run, from 1. Raises when it cannot be written.
    int32_t BeginFolder(const std::string& runId, const FolderRecord& folder);
    // Notes removal `seq` (from 1) of the folder before it happens: its store, entry and folder
    // before, and the folder it is going to (for a move). Written without waiting for the disk
    // (a process ended later keeps it; a machine that stops may lose the last few). Raises when
    // it cannot be written: the removal must not happen then.
    // With `keepOpen`, the note joins a transaction left open for the next ones: the caller
    // commits it (CommitNotes) before the removal itself can be committed anywhere.
    void NoteRemoval(const std::string& runId, int32_t folderSeq, int32_t seq, const Removal& planned,
                     bool keepOpen = false);
    // Commits the notes kept open, if any. Raises when it cannot: those notes are lost then.
    void CommitNotes();
    // Takes back a noted removal that did not happen. Raises when it cannot be written.
    void DropRemoval(const std::string& runId, int32_t folderSeq, int32_t seq);
    // Completes the folder's record: its outcome and its removals as they happened, replacing
    // the notes, in one transaction flushed to disk. Raises when it cannot be written; the notes
    // stay then.
    void EndFolder(const std::string& runId, int32_t folderSeq, const FolderRecord& folder);
    // Marks the run ended with `status`. A disk that filled during the run gets back the room
    // BeginRun set aside, so a run the full disk failed is not left shown as interrupted. Raises
    // when it cannot be written even so (the run is shown interrupted once this process ends).
    void EndRun(const std::string& runId, const std::string& status);
    // Marks one removal restored (now).
    void MarkRestored(const std::string& runId, int32_t folderSeq, int32_t seq);

    // The runs, in the order they began (two begun in one second keep it).
    std::vector<RunRecord> Runs();
    // One run, nullopt when there is none of that id.
    std::optional<RunRecord> Run(const std::string& runId);
    // The folders of a run in the order they were cleaned, with their removals; MarkRestored
    // takes the 1-based positions in these lists. A removal noted but never completed (the
    // process ended in between) has the action "moving" or "deleting".
    std::vector<FolderRecord> Folders(const std::string& runId);

    const std::filesystem::path& File() const { return file_; }

private:
    void Exec(const char* sql);
    void Synchronous(bool full);  // FULL or NORMAL, set only when another is in force
    [[noreturn]] void Fail(const std::string& what);
    void KeepRoom();
    void GiveBackRoom();
    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
    std::optional<bool> synchronousFull_;
    std::unique_ptr<store::SqlStatement> insertRemoval_;  // a run notes each of its removals
    bool notesOpen_ = false;  // a transaction of notes is open (NoteRemoval's keepOpen)
    int room_ = -1;  // an unnamed file beside the history holding room for EndRun, or -1
};

// What a restore did.
struct RestoreResult {
    int32_t restored = 0;                // items moved back now
    int32_t alreadyBack = 0;             // items found back in their folder already
    std::vector<std::string> skipped;    // items left where they are, one line each with why
    std::vector<std::string> removedFolders;  // empty duplicates folders removed
    std::vector<std::string> keptFolders;     // empty duplicates folders that could not be, with why
    // The stores of the run no longer in the profile (by name), whose items could not be
    // restored: the restore is incomplete.
    std::vector<std::string> missingStores;
};

// Moves every item of the run back to the folder it came from, through the object model, and
// marks each in the history as it goes. Only what fits a removal is moved: an item in the
// store it was taken from, now in the Nubra_Duplicate_Items folder under the folder it came
// from, or in that store's Deleted Items; anything else the record names (the user moved or
// deleted it since, or the record was changed by hand) is left alone and listed, never copied.
// An item found back in its folder already (an earlier restore that was interrupted) is only
// marked. Duplicates folders left empty are removed where they live. The folders the items go
// back to are held against removal runs meanwhile (store::LockFolderForRun). The stores of the
// run no longer in the profile are named in the result. Raises kMapiNotFound for an unknown
// run, kMapiBusy for a run still running, and what the lock raises (another run holds a
// folder, a damaged store) before anything moves.
RestoreResult Restore(store::Profile& profile, History& history, const std::string& runId);

}  // namespace nubra::history
