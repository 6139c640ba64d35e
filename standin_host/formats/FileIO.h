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
//   // A message of an mbox that was cut short is such a failure too, while the file's other
//   // messages are stored.
//   // Every r.warnings[i] is one line naming a path (a link not followed, contacts put into a
//   // mail folder); print each, they do not fail the import.
//
//   // import-pst FILE [--name NAME] [--codepage CP] : a new store holding the file's folders
//   // and items, named NAME or else as the file names itself.
//   formats::PstImportOptions po;  po.name = "Archive";  po.codePage = 932;  po.importClock = &clock;
//   formats::PstImportResult p = formats::ImportPst(*profile, "old.pst", po);
//   // p.skipped: one line per folder or item the file did not give up (exit non-zero when
//   // any); p.warnings: texts that could not be decoded and the like (exit code unchanged).
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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Automation.h"
#include "host/Outlook.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Formats.h"
#include "standin_host/formats/Pst.h"

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

// ReadItemsFile handing the items over batch by batch (an mbox a few hundred messages at a
// time; other formats all at once): memory holds one batch whatever the size of the file.
// With `refused` given, the messages of an mbox that were cut short are left out and named
// there (ReadMboxInBatches) instead of failing the file.
void ReadItemsInBatches(const std::filesystem::path& path, unsigned threads, FileKind* kind,
                        const std::function<void(std::vector<ItemData>&)>& take,
                        std::vector<FormatError>* refused = nullptr);

// Told how far long work has come: the items done so far, and their total where it is known
// beforehand (0 where it is not).
using Progress = std::function<void(size_t done, size_t total)>;

struct ImportOptions {
    // When set, items without a CreationTime get *importClock, which then advances by one
    // millisecond per item, so that an import's items keep their order in time.
    Date* importClock = nullptr;
    // Parsing threads for mail files and mbox messages (the store is written from the calling
    // thread only).
    unsigned threads = 2;
    // Messages of a Maildir stored per transaction.
    size_t batchSize = 1000;
    // Called as items are read and stored: the items (messages of a Maildir, items of a file)
    // read so far, stored or refused; their total where every path is a Maildir tree or a
    // single message (a Maildir's messages counted when it is reached), else 0. A file whose
    // transaction is retried counts its items once.
    Progress progress;
};

struct ImportResult {
    size_t files = 0;  // files read (stored or failed)
    size_t items = 0;  // items stored
    std::vector<AutomationError> failures;  // one per bad file, in walk order
    std::vector<std::string> warnings;      // one line each, naming the path; in walk order
};

ImportResult ImportFiles(store::Profile& profile, outlook::MAPIFolder& folder,
                         const std::vector<std::filesystem::path>& paths, const ImportOptions& options = {});

struct PstImportOptions {
    // The new store's name; empty: the name the file gives itself (its message store's
    // display name), else the file's name without its extension.
    std::string name;
    // The Windows code page of every 8-bit text of an ANSI file, for files labelled wrongly or
    // not at all; 0 takes the file's own labels (ReadPst).
    int32_t codePage = 0;
    // As ImportOptions::importClock.
    Date* importClock = nullptr;
};

// How far an import of a data file has come.
struct PstProgress {
    // Reading the file: the items read so far (the total is not known before).
    std::function<void(size_t itemsRead)> reading = {};
    // Storing what was read: the items stored so far, of the items read.
    Progress storing = {};
};

// PstReport: `skipped` (one line per folder or item left out, with the store's name in its
// path; how many folders and items that is as far as known) and `warnings`.
struct PstImportResult : PstReport {
    std::string storeDisplayName;
    size_t folders = 0;  // folders created below the store's top
    size_t items = 0;    // items stored
};

// Reads the whole file first (so a file that cannot be read at all changes nothing), then adds
// a store (file "<name>.nbst" in the profile folder) and fills it with the file's folders and
// items, one transaction per folder. The folder the file names as its wastebasket becomes the
// store's Deleted Items; only a file without one gets a new "Deleted Items". Folders and items
// libpff cannot read are left out and listed in `skipped`. Raises FormatError naming the file
// for a file that cannot be read at all or a name that a store of the profile has already.
PstImportResult ImportPst(store::Profile& profile, const std::filesystem::path& file,
                          const PstImportOptions& options = {}, const PstProgress& progress = {});

// How export writes a folder. Mail and posts go out as they came in (their source) where the
// store kept it, composed from what an Outlook data file held, else made from their
// properties; contacts and calendar items unchanged since import as they were read.
//   Natural (also "eml"): NNNNNN.eml per mail or post, contacts.vcf (vCard), calendar.ics
//                 (appointments and tasks), items.jsonl (notes and everything else)
//   Mbox:         mail and posts into "<folder name>.mbox" (mboxrd: every ">*From " line quoted
//                 with one more ">"; the "From " line each came with, else one made from the
//                 sender and time); the other kinds as Natural
//   Maildir:      mail and posts into cur/ with their flags (D draft, F flagged, R replied,
//                 S read: MaildirFlagsOf) or, with none of them, into new/, with unique names
//                 that keep their creation time (MaildirDeliveryTime reads it back),
//                 written in tmp/ first; the other kinds as Natural beside them. Every folder
//                 written gets cur/, new/ and tmp/, also an empty one.
//   JsonLines:    every item into items.jsonl
enum class ExportFormat { Natural, JsonLines, Mbox, Maildir };

struct ExportOptions {
    ExportFormat format = ExportFormat::Natural;
    // The subfolders too, each below its parent's: a Maildir++ tree (".Sub.SubSub" beside
    // cur/, new/ and tmp/) for Maildir, otherwise a folder of the subfolder's name.
    bool recursive = false;
};

struct ExportResult {
    std::vector<std::filesystem::path> files;
    size_t items = 0;
    size_t folders = 0;  // folders exported
};

// Writes the items of `folder` into `dir` (created when missing), item by item (memory holds
// one message, and the folder's contacts and calendar items). Each file is written under a
// fresh temporary name (created exclusively, never through a link) and then given its name
// only if that name is still free, so no half-written file remains and nothing already there
// is overwritten or written through; subfolders are made new, never entered when they exist.
// Nothing is written outside `dir`: folder names become file names with "/", "\", ":" and
// NUL replaced ("." too in Maildir++ names). A folder that already holds an export's files
// (NNNNNN.eml, contacts.vcf, calendar.ics, items.jsonl, *.mbox, cur/, new/, tmp/, or a name a
// subfolder would take) is refused with an error naming the first such entry, before anything
// is written: two exports are never mixed. When writing fails, what this export put there is
// removed again.
// `progress`, when given, is told the items written so far, of the items of the folders
// exported.
ExportResult Export(store::Profile& profile, outlook::MAPIFolder& folder, const std::filesystem::path& dir,
                    const ExportOptions& options, const Progress& progress = {});
ExportResult Export(store::Profile& profile, outlook::MAPIFolder& folder, const std::filesystem::path& dir,
                    ExportFormat format = ExportFormat::Natural);

// Where the writer of one folder puts what it makes (Export: files in a folder; RenderExport:
// memory).
class ExportSink {
public:
    virtual ~ExportSink() = default;
    virtual void File(const std::string& name, const std::string& contents) = 0;
    // One more entry of the mbox file `name`.
    virtual void MboxEntry(const std::string& name, const std::string& entry) = 0;
    // One message delivered into the Maildir: cur/ with `flags` (MaildirFlagsOf) in its name,
    // or new/ when there are none; `delivered` (its creation time) goes into the name too.
    virtual void MaildirMessage(const std::string& flags, std::optional<Date> delivered, const std::string& message) = 0;
    // The folder is a Maildir even when no message goes into it (cur/, new/ and tmp/).
    virtual void MaildirFolder() {}
};

// The items of one folder, handed over one by one in folder order, turned into files.
class FolderWriter {
public:
    // `mboxName`: the name of the folder's mbox file.
    FolderWriter(ExportSink& sink, ExportFormat format, std::string mboxName);
    // `entryIdHex`: the item's entry ID (the store's uid and the item's number), from which
    // a contact made without a vCard gets its UID (WriteVCard); empty for items of no store.
    void Add(const ItemData& item, std::string_view entryIdHex = {});
    // Writes the files gathered over the folder (contacts, calendar, JSON Lines).
    void Finish();

private:
    ExportSink& sink_;
    ExportFormat format_;
    std::string mboxName_;
    size_t mails_ = 0;
    std::string contacts_, jsonl_;
    std::vector<ItemData> calendar_;
};

// The file contents Export writes, without the store (for tests and other callers); a Maildir
// as "cur/N:2,FLAGS" and "new/N".
struct ExportFiles {
    std::vector<std::pair<std::string, std::string>> files;  // name, contents
};
ExportFiles RenderExport(const std::vector<ItemData>& items, ExportFormat format);

}  // namespace nubra::formats
