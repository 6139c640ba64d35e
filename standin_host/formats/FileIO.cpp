#include "standin_host/formats/FileIO.h"

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/Pst.h"
#include "standin_host/formats/TextUtil.h"
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

// One thing to import: a single file, or the messages of one Maildir level.
struct Unit {
    fs::path path;
    FileKind kind = FileKind::Unknown;
};

bool Hidden(const fs::path& p) {
    std::string name = p.filename().string();
    return !name.empty() && name[0] == '.';
}

void Walk(const fs::path& path, std::vector<Unit>& out) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        if (IsMaildir(path.string())) {
            out.push_back({path, FileKind::Maildir});
            return;
        }
        std::vector<fs::path> children;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            if (!Hidden(it->path())) children.push_back(it->path());
        std::sort(children.begin(), children.end());
        for (const auto& child : children) Walk(child, out);
        return;
    }
    out.push_back({path, FileKind::Unknown});
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
        auto items = ReadEmlFile(file);
        out.item = std::move(items.front());
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

void ImportMaildirLevel(store::Profile& profile, outlook::MAPIFolder& folder, const MaildirLayout& layout,
                        const ImportOptions& options, ImportResult& result) {
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
            if (options.progress) options.progress(result.files);
        }
    }  // the readers are done before the subfolders start
    for (const auto& sub : layout.subfolders) {
        try {
            auto child = Subfolder(profile, folder, sub.name, 0);
            ImportMaildirLevel(profile, *child, sub, options, result);
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

void WriteAtomically(const fs::path& target, const std::string& contents) {
    fs::path temp = target;
    temp += ".part" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) FailFile(target.string(), "cannot be written");
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            FailFile(target.string(), "cannot be written (disk full?)");
        }
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        FailFile(target.string(), "cannot be written: " + ec.message());
    }
}

}  // namespace

ImportResult ImportFiles(store::Profile& profile, outlook::MAPIFolder& folder, const std::vector<fs::path>& paths,
                         const ImportOptions& options) {
    ImportResult result;
    std::vector<Unit> units;
    for (const auto& p : paths) {
        std::error_code ec;
        if (!fs::exists(p, ec)) {
            result.failures.push_back(FormatError(p.string(), std::nullopt, std::nullopt, "no such file or folder"));
            continue;
        }
        Walk(p, units);
    }
    for (const auto& unit : units) {
        if (unit.kind == FileKind::Maildir) {
            try {
                ImportMaildirLevel(profile, folder, ScanMaildir(unit.path.string()), options, result);
            } catch (const AutomationError& e) {
                result.failures.push_back(e);
            }
            continue;
        }
        ++result.files;
        try {
            std::vector<ItemData> items = ReadItemsFile(unit.path);
            StampCreation(items, options.importClock);
            result.items += profile.AddItems(folder, items);
        } catch (const AutomationError& e) {
            result.failures.push_back(e);
        } catch (const std::exception& e) {
            result.failures.push_back(FormatError(unit.path.string(), std::nullopt, std::nullopt, e.what()));
        }
        if (options.progress) options.progress(result.files);
    }
    return result;
}

namespace {

void FillFolder(store::Profile& profile, outlook::MAPIFolder& target, FolderData& source, Date* clock,
                PstImportResult& result) {
    StampCreation(source.items, clock);
    if (!source.items.empty()) result.items += profile.AddItems(target, source.items);
    for (auto& sub : source.subfolders) {
        std::string name = sub.name.empty() ? std::string("Folder") : sub.name;
        auto child = Subfolder(profile, target, name, sub.defaultItemType);
        ++result.folders;
        FillFolder(profile, *child, sub, clock, result);
    }
}

}  // namespace

PstImportResult ImportPst(store::Profile& profile, const fs::path& file, const std::string& name, Date* importClock) {
    if (name.empty()) FailFile(file.string(), "the new store needs a name");
    PstFile pst = ReadPst(file.string());  // all of it first: a bad file changes nothing
    fs::path storeFile = profile.Directory() / (SafeFileName(name) + ".nbst");
    for (int n = 2; fs::exists(storeFile); ++n)
        storeFile = profile.Directory() / (SafeFileName(name) + " (" + std::to_string(n) + ").nbst");
    store::StoreInfo info = profile.AddStore(storeFile, name, false);
    PstImportResult result;
    result.storeDisplayName = info.displayName;
    // The new store's top folder, found by store rather than by a name another store may share.
    outlook::FolderRef top;
    auto tops = profile.NameSpace()->Folders();
    for (int32_t i = 1; i <= tops->Count() && !top; ++i) {
        auto f = tops->Item(i);
        if (f->StoreID() == info.storeId) top = f;
    }
    if (!top) top = profile.FindFolder(info.displayName);
    FillFolder(profile, *top, pst.top, importClock, result);
    return result;
}

ExportResult Export(store::Profile& profile, outlook::MAPIFolder& folder, const fs::path& dir, ExportFormat format) {
    std::vector<ItemData> items;
    profile.ForEachItem(folder, [&](const store::ItemRecord& record) { items.push_back(record.data); });
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) FailFile(dir.string(), "cannot create the folder: " + ec.message());
    ExportResult result;
    result.items = items.size();
    for (auto& [name, contents] : RenderExport(items, format).files) {
        fs::path target = dir / name;
        WriteAtomically(target, contents);
        result.files.push_back(target);
    }
    return result;
}

}  // namespace nubra::formats
