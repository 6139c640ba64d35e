#include "standin_host/connected/Maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/AutomationDates.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/Driver.h"
#include "standin_host/connected/Synchroniser.h"
#include "standin_host/formats/MaildirName.h"

namespace fs = std::filesystem;

namespace nubra::connected {
namespace {

constexpr const char* kDuplicatesName = "Nubra_Duplicate_Items";
constexpr size_t kMaxHeaderBytes = size_t{1} << 20;
constexpr size_t kMaxMessageBytes = size_t{256} << 20;  // no mail is this large
constexpr size_t kMaxDepth = 64;                         // folders below the top

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

std::string Join(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

std::string UniqueOf(const std::string& name) { return formats::ParseMaildirName(name).unique; }

// Puts `items` in the order of the texts `text` gives of them. The texts are sorted as views and
// the items then moved once each: sorting items of several strings moves them all at every step,
// which cost a tenth of a clean that lists a folder of 25,000 files.
template <typename T, typename Text>
void SortByText(std::vector<T>& items, Text text) {
    std::vector<std::pair<std::string_view, size_t>> order;
    order.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) order.emplace_back(text(items[i]), i);
    std::sort(order.begin(), order.end());
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const auto& o : order) sorted.push_back(std::move(items[o.second]));
    items = std::move(sorted);
}

using formats::WithoutSyncUid;

// mbsync keeps the server's UID of a message in its file name (",U=<uid>" after the unique
// part). It belongs to the folder the file is in: a file moved elsewhere goes without it
// (mbsync would take it for another message of its new folder) and gets it back when it
// returns there.
std::string SyncUidOf(const std::string& name) {
    const auto uid = formats::ParseMaildirName(name).syncUid;
    return uid ? ",U=" + std::to_string(*uid) : std::string();
}
std::string WithSyncUid(const std::string& name, const std::string& token) {
    const size_t end = formats::ParseMaildirName(name).unique.size();
    return name.substr(0, end) + token + name.substr(end);
}

// Files a mail program keeps in a maildir besides the messages: markers, UID lists, index and
// sync state. A duplicates folder emptied by a restore may go with them.
bool ProgramFile(const std::string& name) {
    return name == "maildirfolder" || name.rfind("dovecot", 0) == 0 || name.rfind("courier", 0) == 0 ||
           name == ".uidvalidity" || name.rfind(".mbsyncstate", 0) == 0;
}

// An item's stamp is where its file is: "cur/<name>" or "new/<name>".
std::pair<std::string, std::string> SubAndName(const std::string& stamp) {
    const size_t slash = stamp.find('/');
    return {stamp.substr(0, slash), slash == std::string::npos ? std::string() : stamp.substr(slash + 1)};
}

// A Maildir tree in place: folders are maildirs in the tree's layout, items are message files
// known by the unique part of their names.
class MaildirDriver : public Driver {
public:
    MaildirDriver(fs::path root, MaildirLayoutKind layout) : root_(std::move(root)), layout_(layout) {}

    std::string KindText() const override { return std::string("maildir (") + LayoutName(layout_) + ")"; }
    std::string Source() const override { return root_.string(); }
    std::string Name() const override { return "the Maildir \"" + root_.string() + "\""; }
    bool KeysSurviveMoves() const override { return true; }
    // A rename costs less than the commit of its intent before it: a run's moves are sent
    // together, their intents committed at once.
    bool MovesSets() const override { return true; }
    bool VerifyMoves() const override { return false; }
    std::string Describe(const std::string& folder, const SourceItem& item) const override {
        return "the message file \"" + (root_ / folder / item.stamp).string() + "\"";
    }

    std::vector<SourceFolder> ListFolders(std::vector<std::string>& warnings) override;
    Glance GlanceAt(const std::string& folder) override;
    std::string ValidityOf(const std::string&) override { return {}; }  // a maildir keeps none
    std::vector<SourceItem> ListItems(const std::string& folder, Glance& glance, std::vector<std::string>& warnings) override;
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& folder, std::vector<SourceItem>& items,
                                                          std::vector<std::string>& warnings) override;
    std::vector<std::optional<std::string>> ReadWhole(const std::string& folder,
                                                      const std::vector<SourceItem>& items) override;
    std::string CreateFolder(const std::optional<std::string>& parent, const std::string& name) override;
    void RemoveFolder(const std::string& folder) override {
        if (folder.empty()) Raise(errnum::kMapiInvalidParameter, "the top maildir of " + Name() + " is not removed");
        Tree().RemoveMaildir(folder, ProgramFile);
        Subscribe(folder, false);
    }
    std::string Mark(const std::string&) override { return {}; }
    std::vector<std::optional<SourceItem>> MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                     const std::string& to) override;
    std::vector<std::optional<SourceItem>> Locate(const std::string& folder, const std::vector<SourceItem>& items) override;
    std::vector<SourceItem> ArrivedSince(const std::string&, const std::string&) override { return {}; }
    void RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) override;

private:
    TreeDir& Tree() {
        if (!tree_) tree_.emplace(root_);
        return *tree_;
    }
    // The files of `folder` now, by unique part: (sub, name), new/ listed first.
    using FileMap = std::unordered_map<std::string, std::pair<std::string, std::string>>;
    FileMap Files(const std::string& folder, std::vector<std::string>* warnings);
    // Directory handles by path, opened once for a batch of moves (which go between two folders).
    using Dirs = std::unordered_map<std::string, UniqueFd>;
    int Rename(Dirs& dirs, const std::string& from, const std::string& sub, const std::string& name,
               const std::string& to, const std::string& target);
    void Subscribe(const std::string& dir, bool add);

    fs::path root_;
    MaildirLayoutKind layout_;
    std::optional<TreeDir> tree_;
};

// ------------------------------------------------------------------ folders

std::vector<SourceFolder> MaildirDriver::ListFolders(std::vector<std::string>& warnings) {
    std::vector<SourceFolder> out;
    bool trash = false;
    for (auto& f : formats::ListMaildirFolders(Tree(), layout_, {true, kDuplicatesName, kMaxDepth, false, {}}, warnings)) {
        out.push_back({f.dir, std::move(f.names), f.holdsMail, false});
        // The tree's Trash, by the names mail programs give it.
        const auto& path = out.back().path;
        out.back().trash = !trash && path.size() == 1 && (path[0] == "Trash" || path[0] == "Deleted Items" ||
                                                           path[0] == "Deleted Messages");
        trash = trash || out.back().trash;
    }
    return out;
}

std::string MaildirDriver::CreateFolder(const std::optional<std::string>& parent, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." ||
        (layout_ == MaildirLayoutKind::MaildirPlusPlus && name.find('.') != std::string::npos) ||
        name.find(':') != std::string::npos || name.find('\0') != std::string::npos)
        Raise(errnum::kMapiInvalidParameter, "the folder name \"" + name + "\" cannot be a folder of " + Name());
    // Maildir++: every folder a directory of the top, its levels joined by dots (the top maildir
    // is the Inbox: ".INBOX.X" is X under it); nested: a directory in its parent's.
    std::string at, dir;
    if (layout_ == MaildirLayoutKind::MaildirPlusPlus) dir = !parent ? "." + name : (parent->empty() ? ".INBOX" : *parent) + "." + name;
    else at = parent.value_or(""), dir = name;
    Tree().MakeMaildir(at, dir);
    const std::string key = Join(at, dir);
    if (layout_ == MaildirLayoutKind::MaildirPlusPlus) {
        // Courier and Dovecot mark a Maildir++ folder so, and IMAP clients of the tree show
        // only subscribed ones.
        if (const UniqueFd made = Tree().Require(key)) {
            const int fd = ::openat(made.Get(), "maildirfolder", O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) ::close(fd);
        }
        Subscribe(key, true);
    }
    return key;
}

// Adds (or takes out) the Maildir++ folder `dir` in the tree's "subscriptions" file, when the
// tree has one (Dovecot's: "V\t2" and a blank line, then a name a line with a tab between
// levels; an older file: a name a line with dots). Written whole and renamed into place.
void MaildirDriver::Subscribe(const std::string& dir, bool add) {
    if (layout_ != MaildirLayoutKind::MaildirPlusPlus || dir.size() < 2 || dir[0] != '.') return;
    const UniqueFd top = Tree().Require("");
    std::string text;
    if (!TreeDir::ReadWhole(top.Get(), "subscriptions", 16 << 20, text)) return;
    const bool v2 = text.rfind("V\t2\n", 0) == 0;
    std::string mailbox = dir.substr(1);
    if (v2) std::replace(mailbox.begin(), mailbox.end(), '.', '\t');
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    const bool there = std::find(lines.begin() + std::min<size_t>(v2 ? 2 : 0, lines.size()), lines.end(), mailbox) != lines.end();
    if (there == add) return;
    if (add) lines.push_back(mailbox);
    else lines.erase(std::remove(lines.begin() + (v2 ? 2 : 0), lines.end(), mailbox), lines.end());
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    const std::string temp = ".subscriptions.nubra-" + std::to_string(::getpid());
    const int fd = ::openat(top.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool written = fd >= 0 && ::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size()) && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    written = written && ::renameat(top.Get(), temp.c_str(), top.Get(), "subscriptions") == 0;
    if (!written) {
        ::unlinkat(top.Get(), temp.c_str(), 0);
        Raise(errnum::kMapiNoAccess, "the subscriptions file of " + Name() + " could not be updated for " + dir);
    }
}

// ------------------------------------------------------------------ items

MaildirDriver::FileMap MaildirDriver::Files(const std::string& folder, std::vector<std::string>* warnings) {
    FileMap files;
    // new/ first: another client only ever moves a file from new/ to cur/, so one moved between
    // the two listings is seen twice (once kept), never missed.
    for (const char* sub : {"new", "cur"}) {
        const std::string rel = Join(folder, sub);
        int error = 0;
        UniqueFd at = Tree().Open(rel, error);
        std::vector<TreeDir::Entry> entries;
        if (at && !TreeDir::List(at.Get(), entries, error)) at = UniqueFd();
        if (!at) {
            if (error == ELOOP && warnings) warnings->push_back("\"" + (root_ / rel).string() + "\" is a link; not followed");
            else if (error != ENOENT && error != ELOOP)
                Raise(errnum::kMapiNoAccess, "cannot read \"" + (root_ / rel).string() + "\": " + std::strerror(error));
            continue;
        }
        SortByText(entries, [](const TreeDir::Entry& e) -> std::string_view { return e.name; });
        files.reserve(files.size() + entries.size());
        for (auto& e : entries) {
            if (e.name[0] == '.') continue;
            if (e.type == DT_LNK) {
                if (warnings) warnings->push_back("\"" + (root_ / rel / e.name).string() + "\" is a link; not read");
                continue;
            }
            if (e.type != DT_REG) continue;
            // The name is moved only into a new entry (try_emplace leaves it otherwise).
            auto [it, fresh] = files.try_emplace(UniqueOf(e.name), sub, std::move(e.name));
            if (fresh) continue;
            if (it->second.first == "new" && std::string(sub) == "cur") {
                it->second = {sub, e.name};  // moved to cur/ while we listed
                continue;
            }
            if (warnings)
                warnings->push_back("\"" + (root_ / rel / e.name).string() + "\" has the unique name of \"" +
                                    (root_ / folder / it->second.first / it->second.second).string() + "\"; not read");
        }
    }
    return files;
}

Glance MaildirDriver::GlanceAt(const std::string& folder) {
    // A message delivered, moved, flagged or removed changes the time of new/ or cur/; a maildir
    // without both cannot tell.
    std::string state;
    for (const char* sub : {"new", "cur"}) {
        int error = 0;
        const UniqueFd at = Tree().Open(Join(folder, sub), error);
        const std::string part = at ? DirectoryState(at.Get()) : std::string();
        if (part.empty()) return {};
        state += (state.empty() ? "" : " ") + part;
    }
    return {"", state};
}

std::vector<SourceItem> MaildirDriver::ListItems(const std::string& folder, Glance& glance,
                                                 std::vector<std::string>& warnings) {
    glance = GlanceAt(folder);  // before the listing, so that what changes meanwhile is listed again
    std::vector<SourceItem> items;
    auto files = Files(folder, &warnings);
    items.reserve(files.size());
    for (auto& [uniq, place] : files) {
        const auto delivered = formats::MaildirDeliveryTime(uniq);
        items.push_back({uniq, place.first + "/" + place.second, 0, delivered ? dates::ToUnixMillis(*delivered) : 0, "", ""});
    }
    // In the order they are added to the cache: by where they are, then by name.
    SortByText(items, [](const SourceItem& i) -> std::string_view { return i.stamp; });
    return items;
}

std::vector<std::optional<store::ItemData>> MaildirDriver::ReadItems(const std::string& folder,
                                                                     std::vector<SourceItem>& items,
                                                                     std::vector<std::string>& warnings) {
    std::map<std::string, UniqueFd> subs;
    for (const char* sub : {"cur", "new"}) {
        int error = 0;
        subs[sub] = Tree().Open(Join(folder, sub), error);
    }
    auto path = [&](size_t i) { return (root_ / folder / items[i].stamp).string(); };
    // Read up to the end of the header.
    return MakeItems(
        items.size(),
        [&](size_t i) -> std::optional<store::ItemData> {
            const auto [sub, name] = SubAndName(items[i].stamp);
            const auto at = subs.find(sub);
            std::string header, why = "it is gone";
            if (at == subs.end() || !at->second ||
                !TreeDir::ReadHeader(at->second.Get(), name, kMaxHeaderBytes, header, why))
                Raise(errnum::kMapiNotFound, "cannot read \"" + path(i) + "\": " + why);
            std::optional<Date> created = formats::MaildirDeliveryTime(items[i].key);
            if (!created) created = dates::FromUnixMillis(TreeDir::ModifiedAt(at->second.Get(), name).value_or(0) * 1000);
            return ItemFromHeader(header, path(i), *created);
        },
        path, warnings);
}

std::vector<std::optional<std::string>> MaildirDriver::ReadWhole(const std::string& folder,
                                                                 const std::vector<SourceItem>& items) {
    std::vector<std::optional<std::string>> out;
    for (const auto& item : Locate(folder, items)) {
        std::string bytes;
        int error = 0;
        const auto [sub, name] = SubAndName(item ? item->stamp : std::string());
        const UniqueFd at = item ? Tree().Open(Join(folder, sub), error) : UniqueFd();
        if (at && TreeDir::ReadWhole(at.Get(), name, kMaxMessageBytes, bytes)) out.emplace_back(std::move(bytes));
        else out.emplace_back();
    }
    return out;
}

std::vector<std::optional<SourceItem>> MaildirDriver::Locate(const std::string& folder,
                                                             const std::vector<SourceItem>& items) {
    std::vector<std::optional<SourceItem>> out;
    // One listing serves many; a single item whose file is where it was needs none.
    std::optional<FileMap> files;
    for (const auto& item : items) {
        const auto [sub, name] = SubAndName(item.stamp);
        int error = 0;
        if (items.size() == 1)
            if (const UniqueFd at = Tree().Open(Join(folder, sub), error); at && ::faccessat(at.Get(), name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
                out.push_back(item);
                continue;
            }
        if (!files) files = Files(folder, nullptr);
        auto f = files->find(item.key);
        if (f == files->end()) out.emplace_back();
        else out.push_back(SourceItem{item.key, f->second.first + "/" + f->second.second, item.size, item.arrivalMs,
                                      item.flags, item.note});
    }
    return out;
}

// Renames file `name` of `from`/`sub` to `target` in `to`/`sub`, through handles of the two
// directories opened without following a link. Returns 0 or the error.
int MaildirDriver::Rename(Dirs& dirs, const std::string& from, const std::string& sub, const std::string& name,
                          const std::string& to, const std::string& target) {
    int error = 0;
    auto open = [&](const std::string& dir) {
        auto it = dirs.find(dir);
        if (it == dirs.end()) {
            UniqueFd fd = Tree().Open(dir, error);
            if (!fd) return -1;  // not kept: a later move looks again
            it = dirs.emplace(dir, std::move(fd)).first;
        }
        return it->second.Get();
    };
    const int src = open(Join(from, sub));
    if (src < 0) return error;
    const int dest = open(Join(to, sub));
    if (dest < 0) return error;
    return TreeDir::Rename(src, name, dest, target) ? 0 : errno;
}

std::vector<std::optional<SourceItem>> MaildirDriver::MoveItems(const std::string& from,
                                                                const std::vector<SourceItem>& items,
                                                                const std::string& to) {
    std::vector<std::optional<SourceItem>> out;
    Dirs dirs;
    for (const auto& item : items) {
        // mbsync's UID stays with the folder it belongs to: off on the way out, on again when the
        // file comes back (a restore), so that mbsync sees the message it knows.
        const size_t cut = item.note.find('\n');
        auto [sub, name] = SubAndName(item.stamp);
        const std::string token = cut != std::string::npos ? item.note.substr(0, cut) : SyncUidOf(name);
        const std::string home = cut != std::string::npos ? item.note.substr(cut + 1) : from;
        const bool back = !token.empty() && to == home;
        auto there = [&](const std::string& n) { return back ? WithSyncUid(WithoutSyncUid(n), token) : WithoutSyncUid(n); };
        int error = Rename(dirs, from, sub, name, to, there(name));
        if (error == ENOENT) {
            // Another client changed its flags (the part after ":2,") or moved it from new/ to
            // cur/: the unique part finds it again.
            const auto again = Locate(from, {SourceItem{item.key, "-/-", 0, 0, "", ""}});
            if (!again[0]) {
                out.emplace_back();  // vanished: the synchroniser looks for it and says so
                continue;
            }
            std::tie(sub, name) = SubAndName(again[0]->stamp);
            error = Rename(dirs, from, sub, name, to, there(name));
        }
        if (error != 0)
            Raise(error == EEXIST ? errnum::kMapiCollision : errnum::kMapiNoAccess,
                  "cannot move \"" + (root_ / from / sub / name).string() + "\" to \"" + (root_ / to / sub).string() +
                      "\": " + (error == ELOOP ? "a folder on the way is a link; not followed" : std::strerror(error)));
        FaultPoint("maildir:renamed");
        out.push_back(SourceItem{item.key, sub + "/" + there(name), item.size, item.arrivalMs, item.flags,
                                 back || token.empty() ? std::string() : token + "\n" + home});
    }
    return out;
}

void MaildirDriver::RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) {
    for (const auto& found : Locate(folder, items)) {
        if (!found) continue;  // gone already
        const auto [sub, name] = SubAndName(found->stamp);
        int error = 0;
        const UniqueFd at = Tree().Open(Join(folder, sub), error);
        if (at && ::unlinkat(at.Get(), name.c_str(), 0) == 0) continue;
        if (at) error = errno;
        if (error != ENOENT)
            Raise(errnum::kMapiNoAccess,
                  "cannot delete \"" + (root_ / folder / found->stamp).string() + "\": " + std::strerror(error));
    }
}

}  // namespace

MaildirLayoutKind DetectMaildirLayout(const fs::path& dir) { return formats::DetectMaildirLayout(TreeDir(dir)); }

std::unique_ptr<Driver> MakeMaildirDriver(const fs::path& root, MaildirLayoutKind layout) {
    return std::make_unique<MaildirDriver>(root, layout);
}

std::shared_ptr<store::Upstream> MakeMaildirUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache) {
    auto layoutOption = entry.options.find("layout");
    MaildirLayoutKind layout = layoutOption != entry.options.end() && layoutOption->second == "nested"
                                   ? MaildirLayoutKind::Nested
                                   : MaildirLayoutKind::MaildirPlusPlus;
    return std::make_shared<Synchroniser>(MakeMaildirDriver(entry.source, layout), "maildir", cache);
}

}  // namespace nubra::connected
