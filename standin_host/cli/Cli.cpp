#include "standin_host/cli/Cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/AutomationDates.h"
#include "host/DialogHost.h"
#include "standin_host/cli/AddinCommands.h"
#include "standin_host/cli/ConnectedCommands.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/RunCommands.h"
#include "standin_host/cli/Importers.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/JsonLines.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

std::string Getenv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// Splits "Store\Folder\Sub" into the parent path and the last name.
std::pair<std::string, std::string> SplitLast(const std::string& path) {
    auto pos = path.rfind('\\');
    if (pos == std::string::npos) return {std::string(), path};
    return {path.substr(0, pos), path.substr(pos + 1)};
}

const std::map<std::string, int32_t>& FolderTypes() {
    static const std::map<std::string, int32_t> types = {
        {"mail", outlook::olMailItem},   {"appointment", outlook::olAppointmentItem},
        {"contact", outlook::olContactItem}, {"task", outlook::olTaskItem},
        {"journal", outlook::olJournalItem}, {"note", outlook::olNoteItem},
        {"post", outlook::olPostItem},
    };
    return types;
}

// The fields each kind is matched on, so a listing shows why two items count as duplicates.
std::string Details(const store::ItemData& d) {
    std::ostringstream out;
    switch (d.Class) {
        case outlook::olMail:
        case outlook::olPost:
            if (d.InternetMessageID) out << "id " << *d.InternetMessageID;
            else if (d.SentOn) out << "sent " << store::UtcText(d.SentOn);
            else out << "unsent";
            break;
        case outlook::olContact:
            if (d.CompanyName) out << *d.CompanyName;
            if (d.Email1Address) out << (d.CompanyName ? ", " : "") << *d.Email1Address;
            break;
        case outlook::olAppointment:
            out << store::UtcText(d.Start) << " - " << store::UtcText(d.End);
            if (d.Location) out << " @ " << *d.Location;
            break;
        case outlook::olTask:
            out << "status " << (d.Status ? std::to_string(*d.Status) : "-") << ", start " << store::UtcText(d.StartDate)
                << ", due " << store::UtcText(d.DueDate);
            break;
        case outlook::olNote:
            out << "color " << (d.Color ? std::to_string(*d.Color) : "-");
            break;
        default: break;
    }
    return out.str();
}

std::string Pad(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

// The readers of the formats layer (mail messages, mbox, vCard, iCalendar) beside the built-in
// JSON Lines reader; an Outlook data file is named so that the user is sent to import-pst.
void RegisterFormatReaders() {
    static const bool done = [] {
        RegisterImporter(Importer{
            "mail, vCard or iCalendar",
            {".eml", ".mbox", ".mbx", ".vcf", ".vcard", ".ics", ".ical", ".ifb", ".pst", ".ost"},
            [](const std::filesystem::path& file, std::string_view) {
                switch (formats::DetectKind(file)) {
                    case formats::FileKind::Eml:
                    case formats::FileKind::Mbox:
                    case formats::FileKind::VCard:
                    case formats::FileKind::ICalendar:
                    case formats::FileKind::Pst: return true;
                    default: return false;
                }
            },
            [](const std::filesystem::path& file) { return formats::ReadItemsFile(file); }});
        return true;
    }();
    (void)done;
}

// Items without a creation time of their own get the import time, one millisecond apart.
Date ImportClock() { return dates::LocalToUtc(dates::Now()); }

class Commands {
public:
    explicit Commands(std::filesystem::path profileDir) : dir_(std::move(profileDir)) {}
    const std::filesystem::path& Directory() const { return dir_; }

    // Commands that only read open the profile read-only, so that they work on a profile
    // this user may read but not write; call before the first Profile().
    void ReadOnly() { access_ = store::Profile::Access::ReadOnly; }

    std::shared_ptr<store::Profile> Profile() {
        if (!profile_) {
            // A first run makes the profile, whatever the command.
            std::error_code ec;
            if (!std::filesystem::exists(dir_ / store::kProfileFileName, ec))
                access_ = store::Profile::Access::ReadWrite;
            profile_ = store::Profile::Open(dir_, access_);
            for (const auto& w : profile_->Warnings()) PrintWarning(w);
        }
        return profile_;
    }

    int Stores() {
        for (const auto& s : Profile()->Stores())
            std::cout << Printable(s.displayName) << "\t" << Printable(s.file.string()) << "\t" << Printable(s.kindText)
                      << (s.source.empty() ? "" : "\t" + Printable(s.source)) << "\n";
        return kExitOk;
    }

    int StoreAdd(const std::filesystem::path& file, std::string name, bool standardFolders) {
        if (name.empty()) name = file.stem().string();
        auto info = Profile()->AddStore(file, name, standardFolders);
        std::cout << "Store " << info.displayName << " (" << info.file.string() << ") is in the profile\n";
        return kExitOk;
    }

    int Mkdir(const std::string& path, const std::string& type) {
        auto [parentPath, name] = SplitLast(path);
        if (parentPath.empty())
            throw CommandError{"'" + path + "' is a store; add stores with 'nubrasweep store add'"};
        auto parent = Profile()->FindFolder(parentPath);
        const int32_t itemType = type.empty() ? parent->DefaultItemType() : FolderTypes().at(type);
        Profile()->CreateFolder(*parent, name, itemType);
        std::cout << "Created folder " << path << "\n";
        return kExitOk;
    }

    int Import(const std::string& path, const std::vector<std::string>& files) {
        RegisterFormatReaders();
        auto folder = Profile()->FindFolder(path);
        Date clock = ImportClock();
        bool failed = false;
        auto fail = [&](const std::string& f, const AutomationError& e) {
            // One transaction per file: this file added nothing, the others go on.
            PrintError(e.Description().find(f) == std::string::npos ? f + ": " + e.Description() : e.Description());
            failed = true;
        };
        for (const auto& f : files) {
            try {
                if (formats::DetectKind(f) != formats::FileKind::JsonLines) {
                    // The formats layer checks the file (only regular files, within the size
                    // limits) and stores a Maildir in batches.
                    formats::ImportOptions options;
                    options.importClock = &clock;
                    auto result = formats::ImportFiles(*Profile(), *folder, {f}, options);
                    for (const auto& w : result.warnings) PrintWarning(w);
                    for (const auto& e : result.failures) fail(f, e);
                    if (result.items > 0 || result.failures.empty())
                        std::cout << Printable(f) << ": imported " << result.items << " item"
                                  << (result.items == 1 ? "" : "s") << " into " << Printable(path) << "\n";
                    continue;
                }
                const auto& importer = ImporterFor(f);
                auto items = importer.read(f);
                AssignImportTimes(items, clock);
                const auto n = Profile()->AddItems(*folder, items);
                std::cout << Printable(f) << ": imported " << n << " item" << (n == 1 ? "" : "s") << " into "
                          << Printable(path) << "\n";
            } catch (const AutomationError& e) {
                fail(f, e);
            }
        }
        return failed ? kExitFailure : kExitOk;
    }

    int ImportPst(const std::string& file, const std::string& name, int32_t codePage) {
        Date clock = ImportClock();
        formats::PstImportOptions options;
        options.name = name;
        options.codePage = codePage;
        options.importClock = &clock;
        auto result = formats::ImportPst(*Profile(), file, options);
        std::cout << "Store " << Printable(result.storeDisplayName) << ": " << result.folders << " folders, "
                  << result.items << " items from " << Printable(file) << "\n";
        for (const auto& w : result.warnings) PrintWarning(file + ": " + w);
        if (result.skipped.empty()) return kExitOk;
        // What was read stays in the store; what could not be read is named, and the command
        // fails so that no script takes the import for complete.
        for (const auto& s : result.skipped) std::cerr << Printable(file) << ": skipped: " << Printable(s) << "\n";
        throw CommandError{file + ": " + std::to_string(result.skippedFolders) + " folders and " +
                           std::to_string(result.skippedItems) +
                           " items (as far as known) could not be read; the store holds the rest"};
    }

    int Export(const std::string& path, const std::string& dir, bool jsonl, const std::string& format, bool recursive) {
        auto folder = Profile()->FindFolder(path);
        formats::ExportOptions options;
        options.format = jsonl ? formats::ExportFormat::JsonLines
                         : format == "mbox"    ? formats::ExportFormat::Mbox
                         : format == "maildir" ? formats::ExportFormat::Maildir
                                               : formats::ExportFormat::Natural;
        options.recursive = recursive;
        auto result = formats::Export(*Profile(), *folder, dir, options);
        for (const auto& f : result.files) std::cout << f.string() << "\n";
        std::cout << result.items << " item" << (result.items == 1 ? "" : "s") << " of " << path
                  << (result.folders > 1 ? " and its subfolders" : "") << " exported\n";
        return kExitOk;
    }

    int List(const std::string& path, bool json) {
        auto folder = Profile()->FindFolder(path);
        if (json) {
            Profile()->ForEachItem(*folder, [](const store::ItemRecord& r) {
                std::cout << formats::ItemToJsonLine(r.data, r.entryIdHex) << "\n";
                if (!std::cout) CheckOutput();  // stop at once, not after the last item
            });
            return kExitOk;
        }
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"#", "Class", "Created (UTC)", "Subject / name", "Details"});
        int n = 0;
        // The table shows what the cache holds: a connected store's messages are not fetched.
        Profile()->ForEachItem(
            *folder,
            [&](const store::ItemRecord& r) {
                rows.push_back({std::to_string(++n), store::KindName(r.data.Class), store::UtcText(r.data.CreationTime),
                                Printable(store::TitleOf(r.data)), Printable(Details(r.data))});
            },
            store::Profile::Reading::CachedProperties);
        std::vector<std::size_t> widths(rows.front().size(), 0);
        for (const auto& row : rows)
            for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
        for (const auto& row : rows) {
            std::string line;
            for (std::size_t c = 0; c < row.size(); ++c)
                line += c + 1 == row.size() ? row[c] : Pad(row[c], widths[c]) + "  ";
            while (!line.empty() && line.back() == ' ') line.pop_back();
            std::cout << line << "\n";
        }
        std::cout << n << " item" << (n == 1 ? "" : "s") << " in " << Printable(path) << "\n";
        return kExitOk;
    }

    int Tree() {
        // The tree as the add-in's dialog fills it, through the add-in itself.
        const auto run = RunThroughAddin(Profile(), client::HeadlessPlan{}, false);
        if (run.failed) return kExitFailure;
        for (const auto& node : run.tree)
            std::cout << Printable(node.key) << "\t" << (node.image ? std::to_string(node.image) : "-") << "\t"
                      << Printable(node.fullPath) << "\n";
        return kExitOk;
    }

private:
    std::filesystem::path dir_;
    store::Profile::Access access_ = store::Profile::Access::ReadWrite;
    std::shared_ptr<store::Profile> profile_;
};

}  // namespace

std::filesystem::path DefaultProfileDir() {
    if (auto p = Getenv("NUBRA_PROFILE"); !p.empty()) return p;
    std::filesystem::path base;
    if (auto x = Getenv("XDG_DATA_HOME"); !x.empty()) base = x;
    else if (auto h = Getenv("HOME"); !h.empty()) base = std::filesystem::path(h) / ".local" / "share";
    else throw CommandError{"no profile folder: set NUBRA_PROFILE or HOME, or give --profile"};
    return base / "nubrasweep" / "profile";
}

int Main(int argc, char** argv) {
    CLI::App app{"Clears duplicate items (mail, posts, contacts, appointments, tasks, notes) out of one folder "
                 "of a personal information store.\nFolders are named by path: the store's name, then "
                 "subfolder names, joined by \"\\\" (e.g. \"Personal Folders\\Inbox\").",
                 "nubrasweep"};
    app.require_subcommand(1);
    app.fallthrough();
    std::string profileDir;
    app.add_option("--profile", profileDir, "Profile folder (default: $NUBRA_PROFILE, else "
                                            "$XDG_DATA_HOME/nubrasweep/profile); created on first use");

    auto* stores = app.add_subcommand("stores", "List the profile's stores: name TAB file TAB kind (TAB source, for a connected store)");

    auto* store = app.add_subcommand("store", "Manage the profile's stores");
    store->require_subcommand(1);
    auto* storeAdd = store->add_subcommand("add", "Create a store file, or attach an existing one");
    std::string storeFile, storeName;
    bool standardFolders = false;
    storeAdd->add_option("FILE", storeFile, "Store file (relative paths are inside the profile folder)")->required();
    storeAdd->add_option("--name", storeName, "Display name of a new store (default: the file name)");
    storeAdd->add_flag("--standard-folders", standardFolders,
                       "Give a new store Inbox, Calendar, Contacts, ... (otherwise only Deleted Items)");

    const ConnectedCommands connectedCommands = AddConnectedCommands(*store);

    auto* mkdir = app.add_subcommand("mkdir", "Create a folder");
    std::string mkdirPath, mkdirType;
    mkdir->add_option("PATH", mkdirPath, "Path of the new folder, e.g. \"Personal Folders\\Inbox\\Old\"")
        ->required();
    std::vector<std::string> typeNames;
    for (const auto& [name, _] : FolderTypes()) typeNames.push_back(name);
    mkdir->add_option("--type", mkdirType, "Kind of items the folder holds (default: as its parent)")
        ->check(CLI::IsMember(typeNames));

    auto* treeCmd = app.add_subcommand(
        "tree", "Show the folder tree as the dialog fills it: key TAB picture (or -) TAB path");

    auto* import = app.add_subcommand("import", "Import item files into a folder (one transaction per file)");
    std::string importPath;
    std::vector<std::string> importFiles;
    import->add_option("PATH", importPath, "Folder path")->required();
    import->add_option("FILE", importFiles, "Files to import: JSON Lines (one item object per line), .eml, mbox, Maildir folders, .vcf, .ics")
        ->required();

    auto* importPst = app.add_subcommand("import-pst", "Import an Outlook data file (.pst/.ost) as a new store");
    std::string pstFile, pstName;
    int32_t pstCodePage = 0;
    importPst->add_option("FILE", pstFile, "The .pst or .ost file")->required();
    importPst->add_option("--name", pstName,
                          "Display name of the new store (default: the name the file gives itself, else its file name)");
    importPst->add_option("--codepage", pstCodePage,
                          "Windows code page of the 8-bit texts of an old (ANSI) file, when its own labels are "
                          "wrong or missing (e.g. 932 for Japanese)");

    auto* exportCmd = app.add_subcommand(
        "export", "Export a folder's items: .eml per mail/post (or mbox, Maildir), contacts.vcf, calendar.ics, items.jsonl");
    std::string exportPath, exportDir, exportFormat = "eml";
    bool exportJsonl = false, exportRecursive = false;
    exportCmd->add_option("PATH", exportPath, "Folder path")->required();
    exportCmd->add_option("DIR", exportDir, "Target folder (created when missing)")->required();
    exportCmd->add_option("--format", exportFormat,
                          "How mail and posts are written: eml (a file each, the default), mbox (mboxrd, "
                          "<folder>.mbox), maildir (cur/ and new/ by read state); each as it came in")
        ->check(CLI::IsMember({"eml", "mbox", "maildir"}));
    exportCmd->add_flag("--recursive", exportRecursive,
                        "The subfolders too: a folder each (a Maildir++ tree with --format maildir)");
    exportCmd->add_flag("--jsonl", exportJsonl, "Write every item to items.jsonl instead")->excludes("--format");

    auto* list = app.add_subcommand("list", "List the items of a folder in folder order");
    std::string listPath;
    bool listJson = false;
    list->add_option("PATH", listPath, "Folder path")->required();
    list->add_flag("--json", listJson, "Write JSON Lines (with EntryID), which 'import' reads back");

    RunOptions runOptions;
    AddRunCommands(app, runOptions);

    const AddinCommands addinCommands = AddAddinCommands(app);

    try {
        app.parse(argc, argv);
        ValidateRunCommands(runOptions);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        std::cerr << "nubrasweep: " << e.what() << "\n"
                  << "Run 'nubrasweep --help' (or 'nubrasweep COMMAND --help') for usage.\n";
        return kExitUsage;
    }

    try {
        Commands commands(profileDir.empty() ? DefaultProfileDir() : std::filesystem::path(profileDir));
        if (stores->parsed() || list->parsed() || exportCmd->parsed()) commands.ReadOnly();
        const int rc = [&] {
            if (stores->parsed()) return commands.Stores();
            if (storeAdd->parsed()) return commands.StoreAdd(storeFile, storeName, standardFolders);
            if (mkdir->parsed()) return commands.Mkdir(mkdirPath, mkdirType);
            if (treeCmd->parsed()) return commands.Tree();
            if (import->parsed()) return commands.Import(importPath, importFiles);
            if (importPst->parsed()) return commands.ImportPst(pstFile, pstName, pstCodePage);
            if (exportCmd->parsed())
                return commands.Export(exportPath, exportDir, exportJsonl, exportFormat, exportRecursive);
            if (list->parsed()) return commands.List(listPath, listJson);
            const auto openProfile = [&](bool readOnly) {
                if (readOnly) commands.ReadOnly();
                return commands.Profile();
            };
            if (int rc = RunRunCommands(runOptions, openProfile, commands.Directory()); rc >= 0) return rc;
            if (int rc = RunConnectedCommands(connectedCommands, [&] { return commands.Profile(); }); rc >= 0) return rc;
            if (int rc = RunAddinCommands(addinCommands, [&] { return commands.Profile(); }, argc, argv); rc >= 0) return rc;
            return kExitUsage;
        }();
        CheckOutput();
        return rc;
    } catch (const CommandError& e) {
        PrintError(e.message);
        return kExitFailure;
    } catch (const AutomationError& e) {
        PrintError(e.Description().empty() ? "error " + std::to_string(e.Number()) : e.Description());
        return kExitFailure;
    } catch (const std::exception& e) {
        PrintError(e.what());
        return kExitFailure;
    }
}

}  // namespace nubra::cli
