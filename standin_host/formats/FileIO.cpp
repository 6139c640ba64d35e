#include "standin_host/formats/FileIO.h"

#include <algorithm>
#include <utility>
#include <set>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/MaildirName.h"
#include "standin_host/formats/Pst.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/Profile.h"

namespace fs = std::filesystem;

namespace nubra::formats {
namespace {

void StampCreation(std::vector<ItemData>& items, Date* clock) {
    if (!clock) return;
    constexpr Date kMillisecond = 1.0 / 86400000.0;
    for (auto& item : items) {
        if (item.CreationTime) continue;
        item.CreationTime = *clock;
        *clock += kMillisecond;
    }
}

// One thing to import: a single file, or the messages of one Maildir level; or a folder the
// walk could not read, reported in walk order.
struct Unit {
    fs::path path;
    FileKind kind = FileKind::Unknown;
    std::optional<AutomationError> error;
};

Unit FileUnit(const fs::path& path, FileKind kind = FileKind::Unknown) { return Unit{path, kind, std::nullopt}; }
Unit FailedUnit(const fs::path& path, const AutomationError& error) { return Unit{path, FileKind::Unknown, error}; }

bool Hidden(const fs::path& p) {
    std::string name = p.filename().string();
    return !name.empty() && name[0] == '.';
}

// Adds what there is to import at `path`. A path the caller gave is followed when it is a
// link; inside a folder, links are followed to files only (see LinkNotFollowedWarning).
void Walk(const fs::path& path, bool given, std::vector<Unit>& out, std::vector<std::string>& warnings) {
    std::error_code ec;
    const fs::file_status status = given ? fs::status(path, ec) : fs::symlink_status(path, ec);
    if (fs::is_symlink(status)) {
        if (fs::is_directory(path, ec))
            warnings.push_back(LinkNotFollowedWarning(path));
        else
            out.push_back(FileUnit(path));  // a link to a FIFO or device is refused when read
        return;
    }
    if (!fs::is_directory(status)) {
        out.push_back(FileUnit(path));
        return;
    }
    if (IsMaildir(path.string())) {
        out.push_back(FileUnit(path, FileKind::Maildir));
        return;
    }
    std::vector<FolderEntry> entries;
    try {
        entries = ListFolder(path);
    } catch (const AutomationError& e) {
        out.push_back(FailedUnit(path, e));
        return;
    }
    const size_t before = out.size();
    for (const auto& entry : entries)
        if (!Hidden(entry.path)) Walk(entry.path, false, out, warnings);
    if (given && out.size() == before)
        out.push_back(FailedUnit(path, FormatError(path.string(), std::nullopt, std::nullopt,
                                                   "a folder with nothing to import: no files in it, and no "
                                                   "Maildir (that has cur/ or new/)")));
}

// The OlItemType of the folder where items of this class belong.
int32_t HomeFolderType(int32_t itemClass) {
    switch (itemClass) {
        case 26: return 1;           // appointment
        case 40: case 69: return 2;  // contact, distribution list
        case 48: return 3;           // task
        case 42: return 4;           // journal entry
        case 44: return 5;           // note
        default: return 0;           // mail, post
    }
}

// A warning when items of `file` went into a folder meant for another kind (a .vcf imported
// into a mail folder is most likely a mistake, but it is the user's to judge). `classes`: how
// many items of each class the file held.
std::optional<std::string> MisplacedWarning(const fs::path& file, const std::map<int32_t, size_t>& classes,
                                            int32_t folderType, const std::function<std::string()>& folderPath) {
    static const char* const kFolderKinds[] = {"mail", "calendar", "contacts", "tasks", "journal", "notes"};
    static const char* const kOne[] = {"mail message", "appointment", "contact", "task", "journal entry", "note"};
    static const char* const kMany[] = {"mail messages", "appointments", "contacts", "tasks", "journal entries", "notes"};
    int32_t home = folderType == 6 ? 0 : folderType == 7 ? 2 : folderType;  // posts, distribution lists
    if (home < 0 || home > 5) home = 0;
    std::map<int32_t, size_t> misplaced;
    for (const auto& [cls, n] : classes)
        if (int32_t type = HomeFolderType(cls); type != home) misplaced[type] += n;
    if (misplaced.empty()) return std::nullopt;
    std::string what;
    for (const auto& [type, n] : misplaced)
        what += (what.empty() ? "" : " and ") + std::to_string(n) + " " + (n == 1 ? kOne[type] : kMany[type]);
    return file.string() + ": " + what + " imported into " + folderPath() + ", a " + kFolderKinds[home] + " folder";
}

outlook::FolderRef Subfolder(store::Profile& profile, outlook::MAPIFolder& parent, const std::string& name,
                             int32_t type) {
    auto folders = parent.Folders();
    for (int32_t i = 1; i <= folders->Count(); ++i) {
        auto f = folders->Item(i);
        if (f->Name() == name) return f;
    }
    return profile.CreateFolder(parent, name, type);
}

// The outcome of reading one mail file.
struct Parsed {
    std::optional<ItemData> item;
    std::optional<AutomationError> error;
};

Parsed ParseMailFile(const std::string& file) {
    Parsed out;
    try {
        out.item = ReadMaildirMessage(file);
    } catch (const AutomationError& e) {
        out.error = e;
    } catch (const std::exception& e) {
        out.error = FormatError(file, std::nullopt, std::nullopt, e.what());
    }
    return out;
}

// Reads the mail files of one Maildir level on worker threads, batch after batch, while the
// calling thread (the one that owns the store) takes finished batches in file order and
// writes them. Workers stay at most kBatchesAhead batches ahead of the writer, so memory holds
// a few batches whatever the size of the folder.
class BatchReader {
public:
    static constexpr size_t kBatchesAhead = 2;

    BatchReader(const std::vector<std::string>& files, size_t batchSize, unsigned threads)
        : files_(files), batchSize_(std::max<size_t>(1, batchSize)) {
        unsigned n = std::max(1u, threads);
        n = static_cast<unsigned>(std::min<size_t>(n, files_.size()));
        for (unsigned t = 0; t < n; ++t) workers_.emplace_back([this] { Work(); });
    }
    ~BatchReader() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        space_.notify_all();
        for (auto& t : workers_) t.join();
    }
    BatchReader(const BatchReader&) = delete;
    BatchReader& operator=(const BatchReader&) = delete;

    size_t Batches() const { return (files_.size() + batchSize_ - 1) / batchSize_; }
    size_t BatchBegin(size_t k) const { return k * batchSize_; }

    // The results of batch k (k counting up from 0, each taken once), in file order.
    std::vector<Parsed> Take(size_t k) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] {
            auto it = slots_.find(k);
            return it != slots_.end() && it->second.remaining == 0;
        });
        auto node = slots_.extract(k);
        taken_ = k + 1;
        lock.unlock();
        space_.notify_all();
        return std::move(node.mapped().results);
    }

private:
    struct Slot {
        std::vector<Parsed> results;
        size_t remaining = 0;
    };

    void Work() {
        for (;;) {
            size_t i = 0;
            Slot* slot = nullptr;
            {
                std::unique_lock lock(mutex_);
                space_.wait(lock, [&] { return stop_ || next_ >= files_.size() || next_ / batchSize_ < taken_ + kBatchesAhead; });
                if (stop_ || next_ >= files_.size()) return;
                i = next_++;
                size_t k = i / batchSize_;
                auto [it, fresh] = slots_.try_emplace(k);
                if (fresh) {
                    size_t size = std::min(files_.size(), (k + 1) * batchSize_) - k * batchSize_;
                    it->second.results.resize(size);
                    it->second.remaining = size;
                }
                slot = &it->second;  // map nodes stay put until the writer takes the batch
            }
            Parsed parsed = ParseMailFile(files_[i]);
            std::lock_guard lock(mutex_);
            slot->results[i % batchSize_] = std::move(parsed);
            if (--slot->remaining == 0) ready_.notify_all();
        }
    }

    const std::vector<std::string>& files_;
    const size_t batchSize_;
    std::mutex mutex_;
    std::condition_variable ready_;  // a batch is complete
    std::condition_variable space_;  // the writer took a batch (or stop)
    std::map<size_t, Slot> slots_;
    size_t next_ = 0;   // next file to read
    size_t taken_ = 0;  // batches the writer has taken
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

// The messages of a Maildir and its subfolders.
size_t MessagesIn(const MaildirLayout& layout) {
    size_t n = layout.files.size();
    for (const auto& sub : layout.subfolders) n += MessagesIn(sub);
    return n;
}

// `advance` is told how many more messages were read.
void ImportMaildirLevel(store::Profile& profile, outlook::MAPIFolder& folder, const MaildirLayout& layout,
                        const ImportOptions& options, ImportResult& result, const std::function<void(size_t)>& advance) {
    {
        const auto& files = layout.files;
        BatchReader reader(files, options.batchSize, options.threads);
        for (size_t k = 0; k < reader.Batches(); ++k) {
            const size_t begin = reader.BatchBegin(k);
            std::vector<Parsed> parsed = reader.Take(k);
            const size_t end = begin + parsed.size();
            std::vector<ItemData> good;
            std::vector<size_t> goodIndex;
            for (size_t i = 0; i < parsed.size(); ++i) {
                if (parsed[i].error) {
                    result.failures.push_back(*parsed[i].error);
                } else {
                    good.push_back(std::move(*parsed[i].item));
                    goodIndex.push_back(begin + i);
                }
            }
            StampCreation(good, options.importClock);
            try {
                result.items += profile.AddItems(folder, good);
            } catch (const AutomationError&) {
                // Find the message the store refuses; the others still go in, each on its own.
                for (size_t i = 0; i < good.size(); ++i) {
                    try {
                        result.items += profile.AddItems(folder, std::span<const ItemData>(&good[i], 1));
                    } catch (const AutomationError& e) {
                        result.failures.emplace_back(e.Number(), files[goodIndex[i]] + ": " + e.Description(), e.Source());
                    }
                }
            }
            result.files += end - begin;
            advance(end - begin);
        }
    }  // the readers are done before the subfolders start
    for (const auto& sub : layout.subfolders) {
        try {
            auto child = Subfolder(profile, folder, sub.name, 0);
            ImportMaildirLevel(profile, *child, sub, options, result, advance);
        } catch (const AutomationError& e) {
            result.failures.push_back(e);
        }
    }
}

std::string SafeFileName(const std::string& name) {
    std::string out;
    for (char c : name) out += (c == '/' || c == '\\' || c == '\0' || c == ':') ? '_' : c;
    if (out.empty() || out == "." || out == "..") out = "store";
    return out;
}

// True for the names an export gives what it writes into a folder: NNNNNN.eml, contacts.vcf,
// calendar.ics, items.jsonl, *.mbox, a Maildir's cur/, new/ and tmp/.
bool IsExportFileName(std::string_view name) {
    if (name == "contacts.vcf" || name == "calendar.ics" || name == "items.jsonl" || name == "cur" || name == "new" ||
        name == "tmp")
        return true;
    if (name.ends_with(".mbox") && name.size() > 5) return true;
    if (!name.ends_with(".eml")) return false;
    std::string_view digits = name.substr(0, name.size() - 4);
    return digits.size() >= 6 && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string RandomHex() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

// A file being written under a fresh hidden temporary name (created exclusively, so never an
// existing file or a link planted there), given its final name by Place. Removed unless placed.
class NewFile {
public:
    NewFile(int dirFd, const std::string& name, std::string target) : dirFd_(dirFd), target_(std::move(target)) {
        for (int attempt = 0; fd_ < 0; ++attempt) {
            temp_ = "." + name + "." + RandomHex() + ".part";
            fd_ = ::openat(dirFd_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd_ < 0 && (errno != EEXIST || attempt >= 100))
                FailFile(target_, std::string("cannot be written: ") + std::strerror(errno));
        }
    }
    ~NewFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!temp_.empty()) ::unlinkat(dirFd_, temp_.c_str(), 0);
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    void Append(std::string_view bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) FailFile(target_, std::string("cannot be written: ") + std::strerror(errno));
            done += static_cast<size_t>(n);
        }
    }
    // Gives the file the name `name` in the folder `toFd` unless something has that name.
    void Place(int toFd, const std::string& name) {
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) FailFile(target_, std::string("cannot be written: ") + std::strerror(errno));
        if (!PlaceWithoutReplacing(toFd, name)) {
            if (errno == EEXIST) FailFile(target_, "appeared while the export was running; it was not overwritten");
            FailFile(target_, std::string("cannot be written: ") + std::strerror(errno));
        }
        temp_.clear();
    }

private:
    bool PlaceWithoutReplacing(int toFd, const std::string& name) {
        if (::renameat2(dirFd_, temp_.c_str(), toFd, name.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS) return false;
        // A file system without that flag: a hard link never replaces anything either.
        if (::linkat(dirFd_, temp_.c_str(), toFd, name.c_str(), 0) != 0) return false;
        ::unlinkat(dirFd_, temp_.c_str(), 0);
        return true;
    }

    int dirFd_;
    std::string target_;
    std::string temp_;
    int fd_ = -1;
};

// A target folder of an export, opened once: every file and subfolder is created and named
// relative to it, so that whatever happens to the folder's path meanwhile, nothing is written
// elsewhere. Nothing in it is ever overwritten or written through a link: another user who may
// write to the folder can plant links at any name without making the export write where they
// point.
class ExportFolder {
public:
    explicit ExportFolder(const fs::path& dir) : dir_(dir) {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) FailFile(dir.string(), std::string("cannot open the folder: ") + std::strerror(errno));
    }
    ~ExportFolder() { ::close(fd_); }
    ExportFolder(const ExportFolder&) = delete;
    ExportFolder& operator=(const ExportFolder&) = delete;

    const fs::path& Path() const { return dir_; }
    int Fd() const { return fd_; }

    // The first entry (by name) that an earlier export may have written or that is among
    // `taken` (names this export will give subfolders), if any.
    std::optional<std::string> EarlierExportFile(const std::set<std::string>& taken) const {
        int fd = ::dup(fd_);
        DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
        if (!d) {
            if (fd >= 0) ::close(fd);
            FailFile(dir_.string(), std::string("cannot list the folder: ") + std::strerror(errno));
        }
        ::rewinddir(d);
        std::optional<std::string> first;
        while (const dirent* entry = ::readdir(d))
            if ((IsExportFileName(entry->d_name) || taken.count(entry->d_name)) && (!first || *first > entry->d_name))
                first = entry->d_name;
        ::closedir(d);
        return first;
    }

    void WriteNew(const std::string& name, std::string_view contents) { PlaceNew(*this, name, name, contents); }
    // A file written under a temporary name in `from` (this folder or another, such as a
    // Maildir's tmp/) and named `name` here; removed with this folder's files after a failure.
    void PlaceNew(ExportFolder& from, const std::string& tempName, const std::string& name, std::string_view contents) {
        NewFile file(from.fd_, tempName, (dir_ / name).string());
        file.Append(contents);
        file.Place(fd_, name);
        placed_.push_back(name);
    }
    // A file written piece by piece (an mbox); placed by Close.
    NewFile& Open(const std::string& name) {
        auto& slot = open_[name];
        if (!slot) slot = std::make_unique<NewFile>(fd_, name, (dir_ / name).string());
        return *slot;
    }
    void CloseAll() {
        for (auto& [name, file] : open_) {
            file->Place(fd_, name);
            placed_.push_back(name);
        }
        open_.clear();
    }
    // A new subfolder (never one that exists, never through a link).
    ExportFolder& Subfolder(const std::string& name) {
        if (::mkdirat(fd_, name.c_str(), 0777) != 0) {
            if (errno == EEXIST) FailFile((dir_ / name).string(), "already exists; it was not written into");
            FailFile((dir_ / name).string(), std::string("cannot create the folder: ") + std::strerror(errno));
        }
        made_.push_back(name);
        const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) FailFile((dir_ / name).string(), std::string("cannot open the folder: ") + std::strerror(errno));
        subfolders_.push_back(std::unique_ptr<ExportFolder>(new ExportFolder(dir_ / name, fd)));
        return *subfolders_.back();
    }

    // Removes what this export has put here (after a failure: nothing half done).
    void RemovePlaced() {
        open_.clear();
        for (auto& sub : subfolders_) sub->RemovePlaced();
        subfolders_.clear();
        for (const auto& name : placed_) ::unlinkat(fd_, name.c_str(), 0);
        placed_.clear();
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::unlinkat(fd_, it->c_str(), AT_REMOVEDIR);
        made_.clear();
    }

private:
    ExportFolder(fs::path dir, int fd) : dir_(std::move(dir)), fd_(fd) {}

    fs::path dir_;
    int fd_ = -1;
    std::vector<std::string> placed_;
    std::vector<std::string> made_;
    std::map<std::string, std::unique_ptr<NewFile>> open_;
    std::vector<std::unique_ptr<ExportFolder>> subfolders_;
};

// Export's sink: the files of one folder of the store in one folder of the file system.
class FolderSink : public ExportSink {
public:
    FolderSink(ExportFolder& target, ExportResult& result) : target_(target), result_(result) {}
    void File(const std::string& name, const std::string& contents) override {
        target_.WriteNew(name, contents);
        result_.files.push_back(target_.Path() / name);
    }
    void MboxEntry(const std::string& name, const std::string& entry) override {
        if (!mboxes_.count(name)) {
            mboxes_.insert(name);
            result_.files.push_back(target_.Path() / name);
        }
        target_.Open(name).Append(entry);
    }
    void MaildirMessage(const std::string& flags, std::optional<Date> delivered, const std::string& message) override {
        MaildirFolder();
        // Maildir delivery: written in tmp/, then named into cur/ (with its flags) or new/;
        // the name keeps the time the message arrived, which an import reads back.
        const std::string unique = NewMaildirUnique(delivered);
        const std::string name = flags.empty() ? unique : MaildirFileName(unique, flags);
        ExportFolder& into = flags.empty() ? *new_ : *cur_;
        into.PlaceNew(*tmp_, unique, name, message);
        result_.files.push_back(into.Path() / name);
    }
    void MaildirFolder() override {
        if (tmp_) return;
        tmp_ = &target_.Subfolder("tmp");
        cur_ = &target_.Subfolder("cur");
        new_ = &target_.Subfolder("new");
    }
    void Close() { target_.CloseAll(); }

private:
    ExportFolder& target_;
    ExportResult& result_;
    std::set<std::string> mboxes_;
    ExportFolder* tmp_ = nullptr;
    ExportFolder* cur_ = nullptr;
    ExportFolder* new_ = nullptr;
};

// A folder name as the name of a file or folder of the export: nothing that leads elsewhere.
std::string ExportName(const std::string& name, bool maildirPlusPlus) {
    std::string out;
    for (char c : name) out += (c == '/' || c == '\\' || c == '\0' || c == ':' || (maildirPlusPlus && c == '.')) ? '_' : c;
    if (out.empty() || out == "." || out == "..") out = "Folder";
    return out;
}

// One folder of the store to export and where its files go.
struct ExportPlan {
    outlook::FolderRef folder;
    std::string name;     // its name as a file name
    std::string maildir;  // Maildir++: ".A.B" below the top; empty for the top
    std::vector<ExportPlan> subfolders;
};

ExportPlan PlanExport(const outlook::FolderRef& folder, const std::string& maildir, bool recursive, bool plusPlus) {
    ExportPlan plan{folder, ExportName(folder->Name(), plusPlus), maildir, {}};
    if (!recursive) return plan;
    std::set<std::string> used;
    auto subs = folder->Folders();
    for (int32_t i = 1; i <= subs->Count(); ++i) {
        auto sub = subs->Item(i);
        // Names that come out alike get a number ("a/b" and "a_b").
        std::string base = ExportName(sub->Name(), plusPlus), name = base;
        for (int n = 2; !used.insert(name).second; ++n) name = base + " (" + std::to_string(n) + ")";
        ExportPlan child = PlanExport(sub, maildir + "." + name, recursive, plusPlus);
        child.name = name;
        child.maildir = maildir + "." + name;
        plan.subfolders.push_back(std::move(child));
    }
    return plan;
}

// The names `plan`'s subfolders take in the export's top folder.
void TopNames(const ExportPlan& plan, bool plusPlus, std::set<std::string>& names) {
    for (const auto& sub : plan.subfolders) {
        names.insert(plusPlus ? sub.maildir : sub.name);
        if (plusPlus) TopNames(sub, plusPlus, names);
    }
}

// The items of the folders `plan` exports.
size_t ItemsIn(const ExportPlan& plan) {
    size_t n = static_cast<size_t>(std::max(plan.folder->Items()->Count(), 0));
    for (const auto& sub : plan.subfolders) n += ItemsIn(sub);
    return n;
}

// `progress` is told the items written of `total`, those of the whole export.
void ExportOne(store::Profile& profile, const ExportPlan& plan, ExportFolder& target, ExportFormat format,
               const Progress& progress, size_t total, ExportResult& result) {
    auto& f = store::AsFolder(*plan.folder, "Export");
    const auto& db = f.Store();
    FolderSink sink(target, result);
    FolderWriter writer(sink, format, plan.name + ".mbox");
    // One item at a time, with its source: memory holds one message whatever the folder's size.
    profile.ForEachItem(*plan.folder, [&](const store::ItemRecord& record) {
        ItemData item = record.data;
        if (auto bytes = store::FromHex(record.entryIdHex))
            if (auto id = db->ParseEntryId(*bytes, store::StoreDb::kItemKind))
                if (auto source = db->ReadSource(*id)) item.Source = std::make_shared<store::ItemSource>(std::move(*source));
        writer.Add(item, record.entryIdHex);
        ++result.items;
        if (progress) progress(result.items, total);
    });
    writer.Finish();
    sink.Close();
    ++result.folders;
}

void ExportTree(store::Profile& profile, const ExportPlan& plan, ExportFolder& top, ExportFolder& here,
                ExportFormat format, const Progress& progress, size_t total, ExportResult& result) {
    ExportOne(profile, plan, here, format, progress, total, result);
    for (const auto& sub : plan.subfolders) {
        // Maildir++ keeps every folder beside the top's cur/, new/ and tmp/.
        ExportFolder& into = format == ExportFormat::Maildir ? top.Subfolder(sub.maildir) : here.Subfolder(sub.name);
        ExportTree(profile, sub, top, into, format, progress, total, result);
    }
}

}  // namespace

ImportResult ImportFiles(store::Profile& profile, outlook::MAPIFolder& folder, const std::vector<fs::path>& paths,
                         const ImportOptions& options) {
    ImportResult result;
    // 16 MiB of page cache: a 30,000-mail import took as long as with 32 MiB and peaked 18 MiB
    // lower; the pages it writes go to the WAL and are not read again.
    const auto bulk = store::AsFolder(folder, "ImportFiles").Store()->BulkWrite(16 * 1024);
    std::vector<Unit> units;
    for (const auto& p : paths) {
        std::error_code ec;
        if (!fs::exists(p, ec)) {
            units.push_back(FailedUnit(p, FormatError(p.string(), std::nullopt, std::nullopt, "no such file or folder")));
            continue;
        }
        Walk(p, true, units, result.warnings);
    }
    std::optional<int32_t> folderType;
    auto folderPath = [&] { return profile.FolderPath(folder); };
    // How far the import has come: what was read, of what the walk holds where that is known.
    const bool counted = std::all_of(units.begin(), units.end(), [](const auto& u) {
        return u.error || u.kind == FileKind::Maildir || u.kind == FileKind::Eml;
    });
    size_t read = 0, total = 0;
    if (counted)
        total = static_cast<size_t>(std::count_if(units.begin(), units.end(),
                                                  [](const auto& u) { return !u.error && u.kind == FileKind::Eml; }));
    const auto advance = [&](size_t more) {
        read += more;
        if (options.progress) options.progress(read, counted ? total : 0);
    };
    for (const auto& unit : units) {
        if (unit.error) {
            result.failures.push_back(*unit.error);
            continue;
        }
        if (unit.kind == FileKind::Maildir) {
            try {
                MaildirLayout layout = ScanMaildir(unit.path.string());
                result.warnings.insert(result.warnings.end(), layout.warnings.begin(), layout.warnings.end());
                if (counted) total += MessagesIn(layout);
                ImportMaildirLevel(profile, folder, layout, options, result, advance);
            } catch (const AutomationError& e) {
                result.failures.push_back(e);
            }
            continue;
        }
        ++result.files;
        try {
            FileKind kind = FileKind::Unknown;
            std::map<int32_t, size_t> classes;
            // One transaction per file, fed batch by batch: an mbox of any size is stored whole
            // or not at all while memory holds one batch of its messages.
            auto& f = store::AsFolder(folder, "ImportFiles");
            std::vector<FormatError> refused;
            const size_t readBefore = read;
            result.items += f.Store()->AddItemsInBatches(f.Id(), [&](const auto& store) {
                refused.clear();  // a retried transaction reads the file again
                read = readBefore;
                ReadItemsInBatches(
                    unit.path, options.threads, &kind,
                    [&](std::vector<ItemData>& items) {
                        StampCreation(items, options.importClock);
                        for (const auto& item : items) ++classes[item.Class];
                        store(items);
                        advance(items.size());
                    },
                    &refused);
            });
            result.failures.insert(result.failures.end(), refused.begin(), refused.end());
            // JSON Lines hold whatever a folder held; the other formats have a kind of folder.
            if (kind != FileKind::JsonLines) {
                if (!folderType) folderType = folder.DefaultItemType();
                if (auto warning = MisplacedWarning(unit.path, classes, *folderType, folderPath))
                    result.warnings.push_back(*warning);
            }
        } catch (const AutomationError& e) {
            result.failures.push_back(e);
        } catch (const std::exception& e) {
            result.failures.push_back(FormatError(unit.path.string(), std::nullopt, std::nullopt, e.what()));
        }
    }
    return result;
}

namespace {

// The items of a folder read from a data file and of its subfolders.
size_t ItemsIn(const FolderData& folder) {
    size_t n = folder.items.size();
    for (const auto& sub : folder.subfolders) n += ItemsIn(sub);
    return n;
}

// `wastebasket`: the source folder that becomes the store's Deleted Items.
void FillFolder(store::Profile& profile, outlook::MAPIFolder& target, FolderData& source, Date* clock,
                const Progress& storing, size_t total, PstImportResult& result, const FolderData* wastebasket) {
    StampCreation(source.items, clock);
    if (!source.items.empty()) result.items += profile.AddItems(target, source.items);
    if (storing) storing(result.items, total);
    for (auto& sub : source.subfolders) {
        std::string name = sub.name.empty() ? std::string("Folder") : sub.name;
        auto child = Subfolder(profile, target, name, sub.defaultItemType);
        ++result.folders;
        if (&sub == wastebasket) profile.SetDeletedItemsFolder(*child);
        FillFolder(profile, *child, sub, clock, storing, total, result, wastebasket);
    }
}

}  // namespace

PstImportResult ImportPst(store::Profile& profile, const fs::path& file, const PstImportOptions& options,
                          const PstProgress& progress) {
    PstFile pst = ReadPst(file.string(), {options.codePage}, progress.reading);  // all of it first: a bad file changes nothing
    const std::string name = !options.name.empty()       ? options.name
                             : !pst.displayName.empty() ? pst.displayName
                                                        : file.stem().string();
    // Two stores of one name would leave every later command to pick one of them unasked.
    for (const auto& existing : profile.Stores())
        if (existing.displayName == name)
            FailFile(file.string(), "the profile has a store named \"" + name + "\" already; choose another name");
    const FolderData* wastebasket = Wastebasket(pst);
    fs::path storeFile = profile.Directory() / (SafeFileName(name) + ".nbst");
    for (int n = 2; fs::exists(storeFile); ++n)
        storeFile = profile.Directory() / (SafeFileName(name) + " (" + std::to_string(n) + ").nbst");
    store::StoreInfo info = profile.AddStore(storeFile, name, false, /*deletedItems=*/!wastebasket);
    PstImportResult result;
    static_cast<PstReport&>(result) = ReportOf(pst, info.displayName);
    result.storeDisplayName = info.displayName;
    // The new store's top folder, found by store rather than by a name another store may share.
    outlook::FolderRef top;
    auto tops = profile.NameSpace()->Folders();
    for (int32_t i = 1; i <= tops->Count() && !top; ++i) {
        auto f = tops->Item(i);
        if (f->StoreID() == info.storeId) top = f;
    }
    if (!top) top = profile.FindFolder(info.displayName);
    FillFolder(profile, *top, pst.top, options.importClock, progress.storing, ItemsIn(pst.top), result, wastebasket);
    return result;
}

ExportResult Export(store::Profile& profile, outlook::MAPIFolder& folder, const fs::path& dir,
                    const ExportOptions& options, const Progress& progress) {
    const bool plusPlus = options.format == ExportFormat::Maildir;
    const ExportPlan plan = PlanExport(store::AsFolder(folder, "Export").shared_from_this(), "", options.recursive, plusPlus);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) FailFile(dir.string(), "cannot create the folder: " + ec.message());
    ExportFolder target(dir);
    // A second export into the same folder would overwrite the first's files or mix two
    // folders' items in one place.
    std::set<std::string> taken;
    TopNames(plan, plusPlus, taken);
    if (auto earlier = target.EarlierExportFile(taken))
        FailFile((dir / *earlier).string(),
                 "already exists: the folder holds an earlier export; export into a new or empty folder "
                 "(nothing was written)");
    ExportResult result;
    try {
        ExportTree(profile, plan, target, target, options.format, progress, progress ? ItemsIn(plan) : 0, result);
    } catch (...) {
        target.RemovePlaced();
        throw;
    }
    return result;
}

ExportResult Export(store::Profile& profile, outlook::MAPIFolder& folder, const fs::path& dir, ExportFormat format) {
    return Export(profile, folder, dir, ExportOptions{format, false});
}

}  // namespace nubra::formats
