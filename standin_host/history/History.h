// The record of every removal run of a profile: which folders were cleaned, and for every item
// taken out, where it was before and after and which item it duplicated; and putting a run's
// items back. Kept in one SQLite file per profile under $XDG_STATE_HOME/nubrasweep/, written
// with synchronous FULL: a run is recorded at its start, and each folder's removals in one
// transaction when the folder is done (a process killed in the middle of a folder leaves that
// folder unrecorded; the items it moved are then in the duplicates folder, not in the history).
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
    std::string status;   // "running", "done", "stopped", "failed"
    int32_t folders = 0, removed = 0, restored = 0;
};

class History {
public:
    // The history of the profile in `profileDir`: $XDG_STATE_HOME/nubrasweep/ (else
    // ~/.local/state/nubrasweep/) + "history-" + a hash of the profile's path + ".sqlite".
    static std::filesystem::path FileFor(const std::filesystem::path& profileDir);

    // Opens (creating when missing, private to the user) the history file. Raises
    // kMapiCorruptData naming the file for one that is not a history, kMapiNoAccess when it
    // cannot be opened.
    explicit History(const std::filesystem::path& file);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Records a new run as running and returns its id. Raises when the file cannot be written
    // (nothing recorded then).
    std::string BeginRun(const std::string& command);
    // Adds one folder with its removals to the run, in one transaction.
    void AddFolder(const std::string& runId, const FolderRecord& folder);
    // Marks the run ended with `status`.
    void EndRun(const std::string& runId, const std::string& status);
    // Marks one removal restored (now).
    void MarkRestored(const std::string& runId, int32_t folderSeq, int32_t seq);

    // The runs, oldest first.
    std::vector<RunRecord> Runs();
    // One run, nullopt when there is none of that id.
    std::optional<RunRecord> Run(const std::string& runId);
    // The folders of a run in the order they were cleaned, with their removals; MarkRestored
    // takes the 1-based positions in these lists.
    std::vector<FolderRecord> Folders(const std::string& runId);

    const std::filesystem::path& File() const { return file_; }

private:
    void Exec(const char* sql);
    [[noreturn]] void Fail(const std::string& what);
    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
};

// What a restore did.
struct RestoreResult {
    int32_t restored = 0;                // items moved back now
    int32_t alreadyBack = 0;             // items found back in their folder already
    std::vector<std::string> skipped;    // items left where they are, one line each with why
    std::vector<std::string> removedFolders;  // empty duplicates folders removed
};

// Moves every item of the run back to the folder it came from, through the object model, and
// marks each in the history as it goes. An item that is no longer where the run put it (the
// user moved or deleted it since) is left alone and listed, never copied; an item found back in
// its folder already (an earlier restore that was interrupted) is only marked. Duplicates
// folders left empty are removed. The folders the items go back to are held against removal
// runs meanwhile (store::LockFolderForRun). Raises kMapiNotFound for an unknown run, and what
// the lock raises (another run holds a folder, a damaged store) before anything moves.
RestoreResult Restore(store::Profile& profile, History& history, const std::string& runId);

}  // namespace nubra::history
