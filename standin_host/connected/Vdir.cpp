#include "standin_host/connected/Vdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "host/AutomationDates.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/PimItem.h"
#include "standin_host/connected/Synchroniser.h"

namespace fs = std::filesystem;

namespace nubra::connected {
namespace {

constexpr size_t kMaxItemBytes = size_t{16} << 20;  // no contact or event is this large
constexpr size_t kKindProbes = 50;                  // .ics files looked into for a collection's kind

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() > n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}
bool IsItemFile(const std::string& name) { return name[0] != '.' && (EndsWith(name, ".vcf") || EndsWith(name, ".ics")); }

// What a file is now: its modification time, size and inode. Another program's edit changes
// it (vdirsyncer and the clients write a new file and rename it over the old one).
std::optional<std::string> StampOf(int dir, const std::string& name, int64_t* size = nullptr) {
    struct stat st{};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (size) *size = st.st_size;
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_size) + ":" + std::to_string(st.st_ino);
}

// The item of file `name` (its whole text), as import makes it; when the text has no date to
// tell its creation, the file's modification time.
store::ItemData ItemOf(const std::string& text, const std::string& name, const std::string& path, int dir) {
    std::optional<Date> modified;
    struct stat st{};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) modified = dates::FromUnixMillis(int64_t{st.st_mtime} * 1000);
    return PimItemOf(text, EndsWith(name, ".vcf"), path, modified);
}

class VdirDriver : public Driver {
public:
    explicit VdirDriver(fs::path root) : root_(std::move(root)) {}

    std::string KindText() const override { return "vdir"; }
    std::string Source() const override { return root_.string(); }
    std::string Name() const override { return "the vdir \"" + root_.string() + "\""; }
    bool KeysSurviveMoves() const override { return true; }
    bool MovesSets() const override { return false; }
    bool StampMeansContent() const override { return true; }
    bool VerifyMoves() const override { return false; }
    std::string Describe(const std::string& folder, const SourceItem& item) const override {
        return "the file \"" + (root_ / folder / item.key).string() + "\"";
    }

    std::vector<SourceFolder> ListFolders(std::vector<std::string>& warnings) override;
    Glance GlanceAt(const std::string& folder) override {
        // A file written or renamed in a collection changes the collection's time.
        return {"", DirectoryState(Tree().Require(folder).Get())};
    }
    std::vector<SourceItem> ListItems(const std::string& folder, Glance& glance, std::vector<std::string>& warnings) override;
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& folder, std::vector<SourceItem>& items,
                                                          std::vector<std::string>& warnings) override;
    std::vector<std::optional<std::string>> ReadWhole(const std::string& folder,
                                                      const std::vector<SourceItem>& items) override {
        const UniqueFd dir = Tree().Require(folder);
        std::vector<std::optional<std::string>> out;
        for (const auto& item : items) {
            std::string text;
            if (TreeDir::ReadWhole(dir.Get(), item.key, kMaxItemBytes, text)) out.emplace_back(std::move(text));
            else out.emplace_back();
        }
        return out;
    }
    std::string CreateFolder(const std::optional<std::string>& parent, const std::string& name) override;
    void RemoveFolder(const std::string& folder) override;
    std::string Mark(const std::string&) override { return {}; }
    std::vector<std::optional<SourceItem>> MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                     const std::string& to) override;
    std::vector<std::optional<SourceItem>> Locate(const std::string& folder, const std::vector<SourceItem>& items) override {
        int error = 0;
        const UniqueFd dir = Tree().Open(folder, error);
        std::vector<std::optional<SourceItem>> out;
        for (const auto& item : items) {
            int64_t size = 0;
            const auto stamp = dir ? StampOf(dir.Get(), item.key, &size) : std::nullopt;
            if (stamp) out.push_back(SourceItem{item.key, *stamp, size, item.arrivalMs, "", item.note});
            else out.emplace_back();
        }
        return out;
    }
    std::vector<SourceItem> ArrivedSince(const std::string&, const std::string&) override { return {}; }
    void RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) override {
        const UniqueFd dir = Tree().Require(folder);
        for (const auto& item : items)
            if (::unlinkat(dir.Get(), item.key.c_str(), 0) != 0 && errno != ENOENT)
                Raise(errnum::kMapiNoAccess, "cannot delete \"" + (root_ / folder / item.key).string() + "\": " +
                                                 std::strerror(errno));
    }

private:
    TreeDir& Tree() {
        if (!tree_) tree_.emplace(root_);
        return *tree_;
    }
    int32_t KindOf(int dir, const std::vector<TreeDir::Entry>& entries);

    fs::path root_;
    std::optional<TreeDir> tree_;
};

// What a collection holds, from its files: contacts (any .vcf), else a calendar when an .ics
// holds an event, else tasks when one holds a to-do.
int32_t VdirDriver::KindOf(int dir, const std::vector<TreeDir::Entry>& entries) {
    bool todo = false;
    size_t probed = 0;
    for (const auto& e : entries) {
        if (e.type != DT_REG || !IsItemFile(e.name)) continue;
        if (EndsWith(e.name, ".vcf")) return 2;  // olContactItem
        if (probed++ >= kKindProbes) break;
        std::string text, why;
        if (!TreeDir::ReadWhole(dir, e.name, kMaxItemBytes, text)) continue;
        if (text.find("BEGIN:VEVENT") != std::string::npos) return 1;  // olAppointmentItem
        todo = todo || text.find("BEGIN:VTODO") != std::string::npos;
    }
    return todo ? 3 : 1;  // olTaskItem
}

std::vector<SourceFolder> VdirDriver::ListFolders(std::vector<std::string>& warnings) {
    const UniqueFd top = Tree().Require("");
    std::vector<TreeDir::Entry> entries;
    int error = 0;
    if (!TreeDir::List(top.Get(), entries, error))
        Raise(errnum::kMapiNoAccess, "cannot read " + Name() + ": " + std::strerror(error));
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<SourceFolder> out;
    std::map<std::string, int> names;  // display names given so far
    for (const auto& e : entries) {
        if (e.name[0] == '.') continue;
        if (e.type == DT_LNK) {
            warnings.push_back("\"" + (root_ / e.name).string() + "\" is a link; not followed");
            continue;
        }
        if (e.type != DT_DIR) continue;
        const UniqueFd dir = Tree().Open(e.name, error);
        std::vector<TreeDir::Entry> files;
        if (!dir || !TreeDir::List(dir.Get(), files, error)) {
            warnings.push_back("cannot read \"" + (root_ / e.name).string() + "\": " + std::strerror(error));
            continue;
        }
        std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        std::string display;
        if (TreeDir::ReadWhole(dir.Get(), "displayname", 4096, display)) display = display.substr(0, display.find('\n'));
        const bool items = std::any_of(files.begin(), files.end(), [](const auto& f) { return IsItemFile(f.name); });
        if (!items && display.empty()) continue;  // no collection
        display = ShownFolderName(display.empty() ? e.name : display);
        // Two collections of one name: the second is told apart by its folder's.
        if (names[display]++) display += " (" + ShownFolderName(e.name) + ")";
        const int32_t kind = KindOf(dir.Get(), files);
        out.push_back({e.name, {display}, true, false, kind});
        if (TreeDir::IsDir(dir.Get(), kDuplicatesName))
            out.push_back({e.name + "/" + kDuplicatesName, {display, kDuplicatesName}, true, false, kind});
    }
    if (out.empty()) Raise(errnum::kMapiNotFound, Name() + " holds no collection any more");
    return out;
}

std::vector<SourceItem> VdirDriver::ListItems(const std::string& folder, Glance& glance,
                                              std::vector<std::string>& warnings) {
    glance = GlanceAt(folder);
    const UniqueFd dir = Tree().Require(folder);
    std::vector<TreeDir::Entry> entries;
    int error = 0;
    if (!TreeDir::List(dir.Get(), entries, error))
        Raise(errnum::kMapiNoAccess, "cannot read \"" + (root_ / folder).string() + "\": " + std::strerror(error));
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<SourceItem> items;
    for (const auto& e : entries) {
        if (!IsItemFile(e.name)) continue;
        if (e.type == DT_LNK) {
            warnings.push_back("\"" + (root_ / folder / e.name).string() + "\" is a link; not read");
            continue;
        }
        int64_t size = 0;
        if (const auto stamp = e.type == DT_REG ? StampOf(dir.Get(), e.name, &size) : std::nullopt)
            items.push_back({e.name, *stamp, size, 0, "", ""});
    }
    return items;
}

std::vector<std::optional<store::ItemData>> VdirDriver::ReadItems(const std::string& folder,
                                                                  std::vector<SourceItem>& items,
                                                                  std::vector<std::string>& warnings) {
    const UniqueFd dir = Tree().Require(folder);
    auto path = [&](size_t i) { return (root_ / folder / items[i].key).string(); };
    // An item is its whole file.
    return MakeItems(
        items.size(),
        [&](size_t i) -> std::optional<store::ItemData> {
            std::string text;
            if (!TreeDir::ReadWhole(dir.Get(), items[i].key, kMaxItemBytes, text))
                Raise(errnum::kMapiNotFound, "cannot read \"" + path(i) + "\" (gone, or larger than 16 MiB)");
            return ItemOf(text, items[i].key, path(i), dir.Get());
        },
        path, warnings);
}

std::string VdirDriver::CreateFolder(const std::optional<std::string>& parent, const std::string& name) {
    // A clean makes no address book or calendar (a sync would make it on the server too), and
    // collections have no Deleted Items: only folders inside a collection, which no client reads.
    if (!parent || parent->find('/') != std::string::npos)
        Raise(errnum::kMapiNoSupport, "a folder \"" + name + "\" is not made in " + Name() +
                                          ": only a collection's own Nubra_Duplicate_Items folder is");
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
        Raise(errnum::kMapiInvalidParameter, "the folder name \"" + name + "\" cannot be a folder of " + Name());
    const UniqueFd at = Tree().Require(*parent);
    if (::mkdirat(at.Get(), name.c_str(), 0700) != 0 && errno != EEXIST)
        Raise(errno == ENOSPC ? errnum::kMapiDiskError : errnum::kMapiNoAccess,
              "cannot create \"" + (root_ / *parent / name).string() + "\": " + std::strerror(errno));
    if (!TreeDir::IsDir(at.Get(), name))
        Raise(errnum::kMapiNoAccess, "\"" + (root_ / *parent / name).string() + "\" is a link; not followed");
    return *parent + "/" + name;
}

void VdirDriver::RemoveFolder(const std::string& folder) {
    const size_t slash = folder.rfind('/');
    if (slash == std::string::npos)
        Raise(errnum::kMapiNoSupport, "the collection \"" + (root_ / folder).string() + "\" is not removed by a clean");
    const UniqueFd at = Tree().Require(folder.substr(0, slash));
    if (::unlinkat(at.Get(), folder.substr(slash + 1).c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        Raise(errnum::kMapiNoAccess, "cannot remove the folder \"" + (root_ / folder).string() + "\": " + std::strerror(errno));
}

std::vector<std::optional<SourceItem>> VdirDriver::MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                             const std::string& to) {
    const UniqueFd src = Tree().Require(from), dest = Tree().Require(to);
    std::vector<std::optional<SourceItem>> out;
    for (const auto& item : items) {
        int64_t size = 0;
        const auto now = StampOf(src.Get(), item.key, &size);
        if (!now) {
            out.emplace_back();  // gone: the synchroniser says so
            continue;
        }
        // Never moved on what it held when it was read: another program changed it since.
        if (*now != item.stamp)
            Raise(errnum::kMapiCollision, "\"" + (root_ / from / item.key).string() +
                                              "\" was changed by another program since it was read; left where it is");
        if (!TreeDir::Rename(src.Get(), item.key, dest.Get(), item.key))
            Raise(errno == EEXIST ? errnum::kMapiCollision : errnum::kMapiNoAccess,
                  "cannot move \"" + (root_ / from / item.key).string() + "\" to \"" + (root_ / to).string() + "\": " +
                      std::strerror(errno));
        FaultPoint("vdir:renamed");
        out.push_back(SourceItem{item.key, StampOf(dest.Get(), item.key).value_or(*now), size, item.arrivalMs, "", item.note});
    }
    return out;
}

}  // namespace

void RequireVdir(const fs::path& dir) {
    std::vector<std::string> ignored;
    try {
        VdirDriver(dir).ListFolders(ignored);
    } catch (const AutomationError& e) {
        if (e.Number() != errnum::kMapiNotFound || !fs::is_directory(dir)) throw;
        Raise(errnum::kMapiInvalidParameter,
              "\"" + dir.string() + "\" is no vdir (no folder of .vcf or .ics files, and no displayname)");
    }
}

std::unique_ptr<Driver> MakeVdirDriver(const fs::path& root) { return std::make_unique<VdirDriver>(root); }

std::shared_ptr<store::Upstream> MakeVdirUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache) {
    return std::make_shared<Synchroniser>(MakeVdirDriver(entry.source), "vdir", cache);
}

}  // namespace nubra::connected
