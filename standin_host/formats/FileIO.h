// Import and export of real files into and out of the message store.
//
// How the command line calls it:
//
//   auto profile = store::Profile::Open(dir);
//   outlook::FolderRef folder = profile->FindFolder("Personal Folders\\Inbox");
//
//   // import FILE... : files and folders (walked; Maildirs recognised), one transaction per
//   // file (a Maildir's messages are stored in batches, each message all or nothing). Only
//   // regular files are read (a link given here is followed; FIFOs and devices are refused);
//   // links to folders met while walking a folder are skipped.
//   formats::ImportOptions options;
//   Date clock = ...;  options.importClock = &clock;  // creation times for items without one
//   formats::ImportResult r = formats::ImportFiles(*profile, *folder, {"a.eml", "box.mbox", "Maildir"}, options);
//   // r.items stored, r.files read; every r.failures[i] is a FormatError (file and line in
//   // its Description()) or a store AutomationError; print one line each, exit non-zero when any.
//   // Every r.warnings[i] is one line naming a path (a link not followed, contacts put into a
//   // mail folder); print each, they do not fail the import.
//
//   // import-pst FILE NAME : a new store NAME holding the file's folders and items.
//   formats::PstImportResult p = formats::ImportPst(*profile, "old.pst", "Archive");
//
//   // export FOLDER DIR : .eml per mail/post, contacts.vcf (vCard 4.0), calendar.ics
//   // (appointments and tasks), items.jsonl (notes and everything else).
//   formats::ExportResult e = formats::Export(*profile, *folder, "out", formats::ExportFormat::Natural);
//
// Every function raises nubra::AutomationError only for failures that stop it as a whole
// (a target that cannot be written, a .pst that cannot be read); per-file failures of
// ImportFiles are collected in the result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/Outlook.h"
#include "standin_host/formats/Formats.h"

namespace nubra::store {
class Profile;
}

namespace nubra::formats {

enum class FileKind { Unknown, Eml, Mbox, Maildir, VCard, ICalendar, Pst, JsonLines };

// The format of a file or folder: by extension, else by its first bytes (a folder with cur/
// or new/ is a Maildir). Unknown when neither tells, and for anything that is neither a
// folder nor a regular file (a FIFO or device is not opened).
FileKind DetectKind(const std::filesystem::path& path);
const char* KindName(FileKind kind);

// Every item of one file of a single-file format (not .pst, not a folder). Raises FormatError
// naming the file, also for one that is not a regular file or is too large to read (a message
// or a contact or calendar file over 256 MiB; an mbox or JSON Lines file is read piece by
// piece, so there the limit is per message or item). An mbox's messages are parsed on
// `threads` threads. `kind`, when given, receives the format the file was read as.
std::vector<ItemData> ReadItemsFile(const std::filesystem::path& path, unsigned threads = 1,
                                    FileKind* kind = nullptr);

struct ImportOptions {
    // When set, items without a CreationTime get *importClock, which then advances by one
    // millisecond per item, so that an import's items keep their order in time.
    Date* importClock = nullptr;
    // Parsing threads for mail files and mbox messages (the store is written from the calling
    // thread only).
    unsigned threads = 2;
    // Messages of a Maildir stored per transaction.
    size_t batchSize = 1000;
    // Called after each stored file or batch with the files done so far.
    std::function<void(size_t filesDone)> progress;
};

struct ImportResult {
    size_t files = 0;  // files read (stored or failed)
    size_t items = 0;  // items stored
    std::vector<AutomationError> failures;  // one per bad file, in walk order
};

ImportResult ImportFiles(store::Profile& profile, outlook::MAPIFolder& folder,
                         const std::vector<std::filesystem::path>& paths, const ImportOptions& options = {});

    std::vector<std::string> warnings;      // one line each, naming the path; in walk order
struct PstImportResult {
    std::string storeDisplayName;
    size_t folders = 0;
    size_t items = 0;
};

// Reads the whole file first (so a bad file changes nothing), then adds a store `name` (file
// "<name>.nbst" in the profile folder) and fills it with the file's folders and items, one
// transaction per folder. Raises FormatError for a file that cannot be read.
PstImportResult ImportPst(store::Profile& profile, const std::filesystem::path& file, const std::string& name,
                          Date* importClock = nullptr);

enum class ExportFormat { Natural, JsonLines };

struct ExportResult {
    std::vector<std::filesystem::path> files;
    size_t items = 0;
};

// Writes the items of `folder` (not its subfolders) into `dir` (created when missing). Each
// file is written under a fresh temporary name (created exclusively, never through a link)
// and then given its name only if that name is still free, so no half-written file remains
// and nothing already there is overwritten or written through. A folder that already holds
// an export's files (NNNNNN.eml, contacts.vcf, calendar.ics, items.jsonl) is refused with an
// error naming the first such file, before anything is written: two exports are never mixed.
// When writing fails, the files this export put there are removed again.
ExportResult Export(store::Profile& profile, outlook::MAPIFolder& folder, const std::filesystem::path& dir,
                    ExportFormat format = ExportFormat::Natural);

// The file contents Export writes, without the store (for tests and other callers).
struct ExportFiles {
    std::vector<std::pair<std::string, std::string>> files;  // name, contents
};
ExportFiles RenderExport(const std::vector<ItemData>& items, ExportFormat format);

}  // namespace nubra::formats
