#include "standin_host/connected/Maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <utility>
#include <unordered_map>
#include <vector>

#include "host/AutomationDates.h"
#include "standin_host/connected/CacheSql.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/TreeDir.h"
#include "standin_host/store/StoreDb.h"

namespace fs = std::filesystem;

namespace nubra::connected {
namespace {

constexpr const char* kDuplicatesName = "Nubra_Duplicate_Items";
constexpr size_t kMaxHeaderBytes = size_t{1} << 20;
constexpr size_t kMaxMessageBytes = size_t{256} << 20;  // no mail is this large
constexpr size_t kMaxDepth = 64;                         // folders below the top

// A message is known by the unique part of its file name within its folder: Dovecot's COPY
// and `cp -a` keep the name, so two folders may hold files of one name.
const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS conn_settings(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS md_folders(folder_id INTEGER PRIMARY KEY, dir TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS md_items(item_id INTEGER PRIMARY KEY, uniq TEXT NOT NULL,
  folder_id INTEGER NOT NULL, sub TEXT NOT NULL, name TEXT NOT NULL, sync_uid TEXT, sync_folder INTEGER,
  UNIQUE(folder_id, uniq));
CREATE TABLE IF NOT EXISTS md_intents(item_id INTEGER PRIMARY KEY, src TEXT NOT NULL, dest TEXT NOT NULL);
)sql";
// Caches written when a unique part named a message across the whole tree.
const char* kUpgradeItems = R"sql(
CREATE TABLE md_items_v2(item_id INTEGER PRIMARY KEY, uniq TEXT NOT NULL,
  folder_id INTEGER NOT NULL, sub TEXT NOT NULL, name TEXT NOT NULL, sync_uid TEXT, sync_folder INTEGER,
  UNIQUE(folder_id, uniq));
INSERT INTO md_items_v2(item_id, uniq, folder_id, sub, name) SELECT item_id, uniq, folder_id, sub, name FROM md_items;
DROP TABLE md_items;
ALTER TABLE md_items_v2 RENAME TO md_items;
)sql";

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

std::string Join(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

// Where the info part of a name begins (":2," or, where ':' cannot be in a file name, "!2,"),
// npos for a name without one.
size_t InfoAt(const std::string& name) {
    for (size_t at = name.find("2,"); at != std::string::npos; at = name.find("2,", at + 1))
        if (at > 0 && (name[at - 1] == ':' || name[at - 1] == '!')) return at - 1;
    return std::string::npos;
}

// mbsync keeps the server's UID of a message in its file name (",U=<uid>" before the info
// part). It belongs to the folder the file is in: a file moved elsewhere goes without it
// (mbsync would take it for another message of its new folder) and gets it back when it
// returns there, and the unique part that finds a file again leaves it out.
std::pair<size_t, size_t> SyncUidAt(const std::string& name) {
    const size_t info = std::min(InfoAt(name), name.size());
    const size_t u = name.rfind(",U=", info);
    if (u == std::string::npos) return {std::string::npos, 0};
    size_t end = u + 3;
    while (end < info && name[end] >= '0' && name[end] <= '9') ++end;
    if (end == u + 3 || (end < info && name[end] != ',')) return {std::string::npos, 0};
    return {u, end - u};
}
std::string SyncUidOf(const std::string& name) {
    const auto [at, length] = SyncUidAt(name);
    return at == std::string::npos ? std::string() : name.substr(at, length);
}
std::string WithoutSyncUid(const std::string& name) {
    const auto [at, length] = SyncUidAt(name);
    return at == std::string::npos ? name : name.substr(0, at) + name.substr(at + length);
}
std::string WithSyncUid(const std::string& name, const std::string& token) {
    const size_t info = std::min(InfoAt(name), name.size());
    return name.substr(0, info) + token + name.substr(info);
}

std::string UniqueOf(const std::string& name) {
    const std::string plain = WithoutSyncUid(name);
    return plain.substr(0, InfoAt(plain));
}

// The delivery time in a unique name "seconds.Mmicros...P...host" (or "seconds.anything"),
// else nullopt.
std::optional<Date> DeliveryTime(const std::string& uniq) {
    size_t i = 0;
    int64_t seconds = 0;
    while (i < uniq.size() && i < 12 && uniq[i] >= '0' && uniq[i] <= '9') seconds = seconds * 10 + (uniq[i++] - '0');
    if (i == 0 || i >= uniq.size() || uniq[i] != '.') return std::nullopt;
    int64_t micros = 0;
    // Dovecot and others write "M<microseconds>" in the second part.
    for (size_t m = i + 1; m < uniq.size() && uniq[m] != '.'; ++m) {
        if (uniq[m] != 'M') continue;
        size_t k = m + 1;
        int64_t v = 0;
        while (k < uniq.size() && k < m + 8 && uniq[k] >= '0' && uniq[k] <= '9') v = v * 10 + (uniq[k++] - '0');
        if (k > m + 1 && v < 1000000) micros = v;
        break;
    }
    return dates::FromUnixMillis(seconds * 1000 + micros / 1000);
}

// Files a mail program keeps in a maildir besides the messages: markers, UID lists, index and
// sync state. A duplicates folder emptied by a restore may go with them.
bool ProgramFile(const std::string& name) {
    return name == "maildirfolder" || name.rfind("dovecot", 0) == 0 || name.rfind("courier", 0) == 0 ||
           name == ".uidvalidity" || name.rfind(".mbsyncstate", 0) == 0;
}

// A folder of the tree: its directory relative to the top ("" for the top maildir) and the
// names of the cache folders leading to it.
struct FolderDir {
    std::string dir;
    std::vector<std::string> names;
    bool holdsMail = true;
};

class MaildirUpstream : public store::Upstream {
public:
    MaildirUpstream(fs::path root, MaildirLayoutKind layout, store::StoreDb& cache)
        : root_(std::move(root)), layout_(layout), sql_(cache), changes_(SourceLockFile("maildir", root_.string())) {}

    std::string KindText() const override { return std::string("maildir (") + LayoutName(layout_) + ")"; }

    LockPlace RunLockFor(store::StoreDb& cache, int64_t folder) override {
        // No check of the last synchronisation here: the run synchronises once it holds the lock.
        const auto dir = DirOf(cache, folder);
        return {SourceLockFile("maildir", root_.string()), static_cast<int64_t>(Fnv1a(dir.value_or("")) & 0x3FFFFFFF)};
    }

    void Synchronise(store::StoreDb& cache) override {
        try {
            SynchroniseNow(cache);
            lastError_.clear();
        } catch (const AutomationError& e) {
            lastError_ = e.Description();
            throw;
        } catch (const std::exception& e) {
            lastError_ = e.what();
            Raise(errnum::kMapiCallFailed, "the Maildir \"" + root_.string() + "\" could not be synchronised: " + lastError_);
        }
    }

    void MoveItem(store::StoreDb& cache, int64_t item, int64_t dest, const std::function<void()>& apply) override {
        RequireSynced();
        const auto held = changes_.Hold();
        auto file = FileOf(item);
        if (!file) Raise(errnum::kMapiNotFound, "the message is not in the Maildir \"" + root_.string() + "\" any more");
        const auto destDir = DirOf(cache, dest);
        if (!destDir) Raise(errnum::kMapiNotFound, "the target folder has no maildir in \"" + root_.string() + "\"");
        const auto srcDir = DirOf(cache, file->folder);
        if (!srcDir) Raise(errnum::kMapiNotFound, "the message's folder has no maildir in \"" + root_.string() + "\"");
        // mbsync's UID stays with the folder it belongs to: off on the way out, on again when
        // the message comes back (a restore), so that mbsync sees the message it knows.
        const std::string token = file->syncUid.empty() ? SyncUidOf(file->name) : file->syncUid;
        const int64_t tokenFolder = file->syncUid.empty() ? file->folder : file->syncFolder;
        const bool home = !token.empty() && dest == tokenFolder;
        auto nameThere = [&](const std::string& name) {
            return home ? WithSyncUid(WithoutSyncUid(name), token) : WithoutSyncUid(name);
        };
        std::string sub = file->sub, name = file->name;
        // The intent first: a process ended after the rename leaves it for the next sync.
        cache.InTransaction([&] {
            sql_.Run("INSERT OR REPLACE INTO md_intents(item_id, src, dest) VALUES (?, ?, ?)", item,
                     Join(Join(*srcDir, sub), name), Join(Join(*destDir, sub), nameThere(name)));
        });
        int error = RenameInTree(*srcDir, sub, name, *destDir, nameThere(name));
        if (error == ENOENT) {
            // Another client changed its flags (the part after ":2,") or moved it from new/ to
            // cur/: the unique part finds it again.
            if (auto again = Relocate(*srcDir, file->uniq)) {
                std::tie(sub, name) = *again;
                error = RenameInTree(*srcDir, sub, name, *destDir, nameThere(name));
            }
        }
        if (error != 0) {
            ClearIntent(cache, item);
            const std::string from = root_.string() + "/" + Join(Join(*srcDir, sub), name);
            if (error == ENOENT) {
                Forget(cache, item);
                Raise(errnum::kMapiNotFound,
                      "the message file \"" + from + "\" vanished (moved or deleted by another program); skipped");
            }
            Raise(error == EEXIST ? errnum::kMapiCollision : errnum::kMapiNoAccess,
                  "cannot move \"" + from + "\" to \"" + (root_ / *destDir / sub).string() + "\": " +
                      (error == ELOOP ? "a folder on the way is a link; not followed" : std::strerror(error)));
        }
        FaultPoint("maildir:renamed");
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                apply();
                auto& u = sql_.Prep(
                    "UPDATE md_items SET folder_id = ?, sub = ?, name = ?, sync_uid = ?, sync_folder = ? WHERE item_id = ?");
                CacheSql::Use use(u);
                use->Bind(1, dest).Bind(2, sub).Bind(3, nameThere(name));
                if (home || token.empty()) use->BindNull(4).BindNull(5);
                else use->Bind(4, token).Bind(5, tokenFolder);
                use->Bind(6, item).Run();
                ClearIntentRow(item);
            });
        });
    }

    void RemoveItem(store::StoreDb& cache, int64_t item, const std::function<void()>& apply) override {
        RequireSynced();
        if (auto file = FileOf(item)) {
            const std::string dir = DirOf(cache, file->folder).value_or("");
            std::string sub = file->sub, name = file->name;
            int error = UnlinkInTree(dir, sub, name);
            if (error == ENOENT) {
                // Gone already, or its flags changed meanwhile.
                if (auto again = Relocate(dir, file->uniq)) {
                    std::tie(sub, name) = *again;
                    error = UnlinkInTree(dir, sub, name);
                }
            }
            if (error != 0 && error != ENOENT)
                Raise(errnum::kMapiNoAccess, "cannot delete \"" + (root_ / dir / sub / name).string() + "\": " +
                                                 std::strerror(error));
        }
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                apply();
                DeleteRow(item);
            });
        });
    }

    int64_t CreateFolder(store::StoreDb& cache, int64_t parent, const std::string& name,
                         const std::function<int64_t()>& apply) override {
        RequireSynced();
        const auto [at, dirName] = ChildDir(cache, parent, name);
        MakeFolder(at, dirName);
        int64_t id = 0;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                id = apply();
                MapFolder(id, Join(at, dirName));
            });
        });
        return id;
    }

    void RemoveFolder(store::StoreDb& cache, int64_t folder, const std::function<void()>& apply) override {
        RequireSynced();
        const auto held = changes_.Hold();
        if (const auto dir = DirOf(cache, folder); dir && !dir->empty()) {
            Tree().RemoveMaildir(*dir, ProgramFile);
            Subscribe(*dir, false);
        }
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                apply();
                sql_.Run("DELETE FROM md_folders WHERE folder_id = ?", folder);
            });
        });
    }

    int64_t DeletedItemsFolder(store::StoreDb& cache) override {
        if (auto trash = cache.FindDeletedItems()) return *trash;
        // Made when first needed, in the tree's own layout.
        RequireSynced();
        const std::string dir = layout_ == MaildirLayoutKind::MaildirPlusPlus ? ".Trash" : "Trash";
        MakeFolder("", dir);
        int64_t trash = 0;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                auto existing = cache.SubfolderByName(cache.RootFolder(), "Trash");
                trash = existing ? *existing : cache.CreateFolder(cache.RootFolder(), "Trash", 0);
                MapFolder(trash, dir);
                cache.SetDeletedItemsFolder(trash);
            });
        });
        return trash;
    }

    void CompleteItem(store::StoreDb& cache, int64_t item, store::ItemData& data) override {
        if (data.Body) return;
        auto file = FileOf(item);
        if (!file) return;
        const auto dir = DirOf(cache, file->folder).value_or("");
        std::string bytes;
        int error = 0;
        bool read = false;
        if (const UniqueFd at = Tree().Open(Join(dir, file->sub), error))
            read = TreeDir::ReadWhole(at.Get(), file->name, kMaxMessageBytes, bytes);
        if (!read)
            if (auto again = Relocate(dir, file->uniq))
                if (const UniqueFd at = Tree().Open(Join(dir, again->first), error))
                    read = TreeDir::ReadWhole(at.Get(), again->second, kMaxMessageBytes, bytes);
        const std::string path = (root_ / dir / file->sub / file->name).string();
        if (!read) Raise(errnum::kMapiNotFound, "the message file \"" + path + "\" can no longer be read");
        CompleteFromMessage(data, bytes, path);
    }

    std::vector<std::string> TakeWarnings() override { return std::exchange(warnings_, {}); }

private:
    struct File {
        int64_t folder;
        std::string uniq, sub, name;
        std::string syncUid;  // mbsync's UID taken off on the way out, with the folder it names
        int64_t syncFolder = 0;
    };

    TreeDir& Tree() {
        if (!tree_) tree_.emplace(root_);
        return *tree_;
    }

    // Renames `name` in `dir`/`sub` to `to` in `destDir`/`sub`, through handles of the two
    // directories opened without following a link. Returns 0 or the error.
    int RenameInTree(const std::string& dir, const std::string& sub, const std::string& name,
                     const std::string& destDir, const std::string& to) {
        int error = 0;
        const UniqueFd from = Tree().Open(Join(dir, sub), error);
        if (!from) return error;
        const UniqueFd into = Tree().Open(Join(destDir, sub), error);
        if (!into) return error;
        return TreeDir::Rename(from.Get(), name, into.Get(), to) ? 0 : errno;
    }
    int UnlinkInTree(const std::string& dir, const std::string& sub, const std::string& name) {
        int error = 0;
        const UniqueFd at = Tree().Open(Join(dir, sub), error);
        if (!at) return error;
        return ::unlinkat(at.Get(), name.c_str(), 0) == 0 ? 0 : errno;
    }

    void RequireSynced() const {
        if (!lastError_.empty())
            Raise(errnum::kMapiCallFailed, "the Maildir \"" + root_.string() +
                                               "\" could not be synchronised, so it is not changed: " + lastError_);
    }

    std::optional<File> FileOf(int64_t item) {
        auto& s = sql_.Prep("SELECT folder_id, uniq, sub, name, coalesce(sync_uid, ''), coalesce(sync_folder, 0) "
                            "FROM md_items WHERE item_id = ?");
        CacheSql::Use u(s);
        u->Bind(1, item);
        if (!u->Step()) return std::nullopt;
        return File{u->Int(0), u->Text(1), u->Text(2), u->Text(3), u->Text(4), u->Int(5)};
    }

    std::optional<std::string> DirOf(store::StoreDb&, int64_t folder) {
        return sql_.TextOf("SELECT dir FROM md_folders WHERE folder_id = ?", folder);
    }

    // The (sub, name) of the file whose unique part is `uniq` in folder `dir`, now.
    std::optional<std::pair<std::string, std::string>> Relocate(const std::string& dir, const std::string& uniq) {
        for (const char* sub : {"cur", "new"}) {
            int error = 0;
            const UniqueFd at = Tree().Open(Join(dir, sub), error);
            std::vector<TreeDir::Entry> entries;
            if (!at || !TreeDir::List(at.Get(), entries, error)) continue;
            for (const auto& e : entries)
                if (e.type == DT_REG && UniqueOf(e.name) == uniq) return std::make_pair(std::string(sub), e.name);
        }
        return std::nullopt;
    }

    void ClearIntentRow(int64_t item) { sql_.Run("DELETE FROM md_intents WHERE item_id = ?", item); }
    void ClearIntent(store::StoreDb& cache, int64_t item) {
        cache.InTransaction([&] { ClearIntentRow(item); });
    }
    void DeleteRow(int64_t item) { sql_.Run("DELETE FROM md_items WHERE item_id = ?", item); }
    // The message is gone from the source: gone from the cache too.
    void Forget(store::StoreDb& cache, int64_t item) {
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                cache.RemoveItem(item);
                DeleteRow(item);
            });
        });
    }
    void MapFolder(int64_t id, const std::string& dir) {
        sql_.Run("INSERT OR REPLACE INTO md_folders(folder_id, dir) VALUES (?, ?)", id, dir);
    }

    // Makes the maildir `name` in directory `at` of the tree; a Maildir++ folder is marked as
    // one (Courier and Dovecot write a "maildirfolder" file) and subscribed where the tree
    // keeps subscriptions, so that IMAP clients of the tree show it.
    void MakeFolder(const std::string& at, const std::string& name) {
        Tree().MakeMaildir(at, name);
        if (layout_ != MaildirLayoutKind::MaildirPlusPlus) return;
        if (const UniqueFd dir = Tree().Require(Join(at, name))) {
            const int fd = ::openat(dir.Get(), "maildirfolder", O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) ::close(fd);
        }
        Subscribe(Join(at, name), true);
    }

    // Adds (or takes out) the Maildir++ folder `dir` in the tree's "subscriptions" file, when
    // the tree has one (Dovecot's: "V\t2" and a blank line, then one name a line with a tab
    // between levels; an older file: one name a line with dots). Written whole and renamed
    // into place.
    void Subscribe(const std::string& dir, bool add) {
        if (layout_ != MaildirLayoutKind::MaildirPlusPlus || dir.size() < 2 || dir[0] != '.') return;
        const UniqueFd top = Tree().Require("");
        std::string text;
        if (!TreeDir::ReadWhole(top.Get(), "subscriptions", 16 << 20, text)) return;
        const bool v2 = text.rfind("V\t2\n", 0) == 0;
        std::string mailbox = dir.substr(1);
        if (v2) std::replace(mailbox.begin(), mailbox.end(), '.', '\t');
        std::vector<std::string> lines;
        bool there = false;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
            there = there || lines.back() == mailbox;
            start = end + 1;
        }
        if (there == add) return;
        if (add) lines.push_back(mailbox);
        else lines.erase(std::remove(lines.begin() + (v2 ? 2 : 0), lines.end(), mailbox), lines.end());
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        const std::string temp = ".subscriptions.nubra-" + std::to_string(::getpid());
        const int fd = ::openat(top.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return;
        const bool written = ::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size()) && ::fsync(fd) == 0;
        ::close(fd);
        if (!written || ::renameat(top.Get(), temp.c_str(), top.Get(), "subscriptions") != 0) {
            ::unlinkat(top.Get(), temp.c_str(), 0);
            warnings_.push_back("the subscriptions file of \"" + root_.string() + "\" could not be updated for " + dir);
        }
    }

    // Where a new folder `name` under cache folder `parent` goes in the tree's layout: the
    // directory it is made in and its name there.
    std::pair<std::string, std::string> ChildDir(store::StoreDb& cache, int64_t parent, const std::string& name) {
        if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." ||
            (layout_ == MaildirLayoutKind::MaildirPlusPlus && name.find('.') != std::string::npos) ||
            name.find(':') != std::string::npos || name.find('\0') != std::string::npos)
            Raise(errnum::kMapiInvalidParameter,
                  "the folder name \"" + name + "\" cannot be a folder of the Maildir \"" + root_.string() + "\"");
        const auto dir = DirOf(cache, parent);
        if (layout_ == MaildirLayoutKind::MaildirPlusPlus) {
            if (parent == cache.RootFolder()) return {"", "." + name};
            if (!dir) Raise(errnum::kMapiNotFound, "the parent folder has no maildir");
            return {"", (dir->empty() ? std::string(".INBOX") : *dir) + "." + name};
        }
        if (parent == cache.RootFolder() || !dir) return {"", name};
        return {*dir, name};
    }

    // ------------------------------------------------------------------ discovery
    std::vector<FolderDir> ListFolders() {
        std::vector<FolderDir> out;
        const UniqueFd top = Tree().Require("");
        std::vector<TreeDir::Entry> entries;
        int error = 0;
        if (!TreeDir::List(top.Get(), entries, error))
            Raise(errnum::kMapiNoAccess, "cannot read the Maildir \"" + root_.string() + "\": " + std::strerror(error));
        const bool rootMail = TreeDir::IsDir(top.Get(), "cur") || TreeDir::IsDir(top.Get(), "new");
        if (rootMail) out.push_back({"", {"Inbox"}, true});
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        if (layout_ == MaildirLayoutKind::MaildirPlusPlus) {
            for (const auto& e : entries) {
                if (e.name.size() < 2 || e.name[0] != '.') continue;
                if (e.type == DT_LNK) {
                    warnings_.push_back("\"" + (root_ / e.name).string() + "\" is a link; not followed");
                    continue;
                }
                if (e.type != DT_DIR || !Tree().IsMaildir(e.name)) continue;
                FolderDir f{e.name, {}, true};
                size_t start = 1;
                while (start <= e.name.size()) {
                    size_t dot = e.name.find('.', start);
                    if (dot == std::string::npos) dot = e.name.size();
                    if (dot > start) f.names.push_back(e.name.substr(start, dot - start));
                    start = dot + 1;
                }
                if (f.names.empty()) continue;
                if (f.names.size() > kMaxDepth) {
                    warnings_.push_back("\"" + (root_ / e.name).string() + "\" is nested too deeply; not read");
                    continue;
                }
                // ".INBOX.X" is X under the Inbox.
                if (f.names.size() > 1 && f.names[0] == "INBOX") f.names[0] = "Inbox";
                out.push_back(std::move(f));
            }
        } else {
            Walk("", {}, entries, rootMail, out, 0);
        }
        // Parents before children, so that each folder's parent exists when it is made.
        std::stable_sort(out.begin(), out.end(),
                         [](const FolderDir& a, const FolderDir& b) { return a.names.size() < b.names.size(); });
        return out;
    }

    void Walk(const std::string& dir, const std::vector<std::string>& names, const std::vector<TreeDir::Entry>& entries,
              bool rootMail, std::vector<FolderDir>& out, size_t depth) {
        for (const auto& e : entries) {
            if (e.name == "cur" || e.name == "new" || e.name == "tmp" || e.name[0] == '.') continue;
            const std::string rel = Join(dir, e.name);
            if (e.type == DT_LNK) {
                warnings_.push_back("\"" + (root_ / rel).string() + "\" is a link; not followed");
                continue;
            }
            if (e.type != DT_DIR) continue;
            if (depth >= kMaxDepth) {
                warnings_.push_back("\"" + (root_ / rel).string() + "\" is nested too deeply; not read");
                continue;
            }
            std::vector<TreeDir::Entry> sub;
            int error = 0;
            const UniqueFd at = Tree().Open(rel, error);
            if (!at || !TreeDir::List(at.Get(), sub, error)) {
                warnings_.push_back("cannot read \"" + (root_ / rel).string() + "\": " +
                                    (error == ELOOP ? "it is a link; not followed" : std::strerror(error)));
                continue;
            }
            std::sort(sub.begin(), sub.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
            auto childNames = names;
            // The duplicates folder of a top maildir sits beside the other folders.
            if (dir.empty() && rootMail && e.name == kDuplicatesName) childNames.push_back("Inbox");
            childNames.push_back(e.name);
            const size_t before = out.size();
            out.push_back({rel, childNames, TreeDir::IsDir(at.Get(), "cur") || TreeDir::IsDir(at.Get(), "new")});
            Walk(rel, childNames, sub, rootMail, out, depth + 1);
            // A folder that is neither a maildir nor holds one is no folder of mail.
            if (!out[before].holdsMail && out.size() == before + 1) out.pop_back();
        }
    }

    // ------------------------------------------------------------------ synchronisation
    void SynchroniseNow(store::StoreDb& cache) {
        // Its listing settles the intents: none may be of a move another process has under way.
        const auto held = changes_.Hold();
        warnings_.clear();
        cache.InTransaction([&] {
            sql_.Exec(kTables);
            if (!sql_.IntOf("SELECT 1 FROM pragma_table_info('md_items') WHERE name = 'sync_uid'")) sql_.Exec(kUpgradeItems);
        });
        const auto dirs = ListFolders();
        if (dirs.empty()) Raise(errnum::kMapiNotFound, "\"" + root_.string() + "\" holds no maildir any more");
        std::map<std::string, int64_t> known;  // dir -> cache folder
        {
            auto& s = sql_.Prep("SELECT dir, folder_id FROM md_folders");
            CacheSql::Use u(s);
            while (u->Step()) known[u->Text(0)] = u->Int(1);
        }
        std::map<std::vector<std::string>, int64_t> byNames;
        std::map<int64_t, std::string> folderDir;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                std::set<std::string> present;
                for (const auto& f : dirs) {
                    present.insert(f.dir);
                    auto k = known.find(f.dir);
                    if (k != known.end() && cache.FolderExists(k->second)) {
                        byNames[f.names] = k->second;
                        folderDir[k->second] = f.dir;
                        continue;
                    }
                    // Its parent (by names), made as a folder without mail when the tree has
                    // none of its own (a nested container).
                    int64_t parent = cache.RootFolder();
                    std::vector<std::string> path;
                    for (size_t i = 0; i + 1 < f.names.size(); ++i) {
                        path.push_back(f.names[i]);
                        auto p = byNames.find(path);
                        if (p == byNames.end()) {
                            auto existing = cache.SubfolderByName(parent, f.names[i]);
                            int64_t id = existing ? *existing : cache.CreateFolder(parent, f.names[i], 0);
                            p = byNames.emplace(path, id).first;
                        }
                        parent = p->second;
                    }
                    auto existing = cache.SubfolderByName(parent, f.names.back());
                    const int64_t id = existing ? *existing : cache.CreateFolder(parent, f.names.back(), 0);
                    byNames[f.names] = id;
                    folderDir[id] = f.dir;
                    MapFolder(id, f.dir);
                }
                for (const auto& [dir, id] : known) {
                    if (present.count(dir)) continue;
                    // Deleted by another client: gone from the cache with its messages.
                    if (cache.FolderExists(id)) cache.RemoveFolder(id);
                    sql_.Run("DELETE FROM md_folders WHERE dir = ?", dir);
                }
                sql_.Run("DELETE FROM md_items WHERE folder_id NOT IN (SELECT folder_id FROM md_folders)");
                // The tree's Trash is the store's Deleted Items; a tree without one gets it when
                // something is first deleted.
                for (const char* name : {"Trash", "Deleted Items", "Deleted Messages"})
                    if (auto t = byNames.find({name}); t != byNames.end()) {
                        cache.SetDeletedItemsFolder(t->second);
                        break;
                    }
            });
        });
        SyncMessages(cache, folderDir);
        warnings_ = sql_.NewWarnings(warnings_);
    }

    struct Listed {
        int64_t folder;
        std::string sub, name;
    };
    struct Known {
        int64_t item;
        std::string sub, name;
    };
    using Key = std::pair<int64_t, std::string>;  // (folder, unique part)

    // What the tree holds now, by folder and unique part, with a handle of each folder's cur/
    // and new/ for reading the new files.
    std::map<Key, Listed> ListMessages(const std::map<int64_t, std::string>& folderDir, std::map<Key, UniqueFd>& dirs) {
        std::map<Key, Listed> listed;
        for (const auto& [folder, dir] : folderDir) {
            // new/ first: another client only ever moves a file from new/ to cur/, so one moved
            // between the two listings is seen twice (once kept), never missed.
            for (const char* sub : {"new", "cur"}) {
                const std::string rel = Join(dir, sub);
                int error = 0;
                UniqueFd at = Tree().Open(rel, error);
                std::vector<TreeDir::Entry> entries;
                if (at && !TreeDir::List(at.Get(), entries, error)) at = UniqueFd();
                if (!at) {
                    if (error == ELOOP) warnings_.push_back("\"" + (root_ / rel).string() + "\" is a link; not followed");
                    else if (error != ENOENT)
                        Raise(errnum::kMapiNoAccess, "cannot read \"" + (root_ / rel).string() + "\": " + std::strerror(error));
                    continue;
                }
                std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
                for (auto& e : entries) {
                    if (e.name[0] == '.') continue;
                    if (e.type == DT_LNK) {
                        warnings_.push_back("\"" + (root_ / rel / e.name).string() + "\" is a link; not read");
                        continue;
                    }
                    if (e.type != DT_REG) continue;
                    auto [it, fresh] = listed.try_emplace(Key{folder, UniqueOf(e.name)}, Listed{folder, sub, e.name});
                    if (fresh) continue;
                    if (it->second.sub == "new" && std::string(sub) == "cur") {
                        it->second = Listed{folder, sub, e.name};  // moved to cur/ while we listed
                        continue;
                    }
                    warnings_.push_back("\"" + (root_ / rel / e.name).string() + "\" has the unique name of \"" +
                                        (root_ / Join(dir, it->second.sub) / it->second.name).string() + "\"; not read");
                }
                dirs.emplace(Key{folder, sub}, std::move(at));
            }
        }
        return listed;
    }

    void SyncMessages(store::StoreDb& cache, const std::map<int64_t, std::string>& folderDir) {
        std::map<Key, UniqueFd> dirs;
        auto listed = ListMessages(folderDir, dirs);
        std::map<Key, Known> known;
        {
            auto& s = sql_.Prep("SELECT folder_id, uniq, item_id, sub, name FROM md_items");
            CacheSql::Use u(s);
            while (u->Step()) known.emplace(Key{u->Int(0), u->Text(1)}, Known{u->Int(2), u->Text(3), u->Text(4)});
        }
        // A file another client moved to another folder: gone from one, new in another under
        // the same unique part. It stays the same item.
        std::vector<std::pair<const Key*, const Listed*>> movedAway;
        std::unordered_multimap<std::string, const Key*> arrived;
        for (const auto& entry : listed)
            if (!known.count(entry.first)) arrived.emplace(entry.first.second, &entry.first);
        for (const auto& [key, k] : known) {
            if (listed.count(key)) continue;
            auto a = arrived.find(key.second);
            if (a == arrived.end()) continue;
            movedAway.emplace_back(&key, &listed.at(*a->second));
            arrived.erase(a);
        }
        // New files, in folder order (listing order), read and parsed on two threads.
        std::vector<const std::pair<const Key, Listed>*> fresh;
        for (const auto& [uniq, key] : arrived) fresh.push_back(&*listed.find(*key));
        std::sort(fresh.begin(), fresh.end(), [](auto* a, auto* b) {
            return std::tie(a->second.folder, a->second.sub, a->second.name) <
                   std::tie(b->second.folder, b->second.sub, b->second.name);
        });
        auto parsed = ReadNew(fresh, folderDir, dirs);

        std::map<int64_t, const Listed*> moves;  // item -> where another client put it
        for (const auto& [key, l] : movedAway) moves[known.at(*key).item] = l;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                // Gone, moved by another client, flags changed.
                for (const auto& [key, k] : known) {
                    const Listed* l = nullptr;
                    if (auto it = listed.find(key); it != listed.end()) l = &it->second;
                    else if (auto m = moves.find(k.item); m != moves.end()) l = m->second;
                    if (!l) {
                        cache.RemoveItem(k.item);
                        DeleteRow(k.item);
                        continue;
                    }
                    if (l->folder != key.first) cache.MoveItem(k.item, l->folder);
                    if (l->folder != key.first || l->sub != k.sub || l->name != k.name)
                        sql_.Run("UPDATE md_items SET folder_id = ?, sub = ?, name = ? WHERE item_id = ?", l->folder,
                                 l->sub, l->name, k.item);
                }
                auto& ins = sql_.Prep("INSERT INTO md_items(item_id, uniq, folder_id, sub, name) VALUES (?, ?, ?, ?, ?)");
                for (size_t i = 0; i < fresh.size(); ++i) {
                    if (!parsed[i]) continue;
                    const auto& [key, l] = *fresh[i];
                    const int64_t id = cache.AddItem(l.folder, *parsed[i]);
                    CacheSql::Use u(ins);
                    u->Bind(1, id).Bind(2, key.second).Bind(3, l.folder).Bind(4, l.sub).Bind(5, l.name);
                    u->Run();
                }
                // Every rename is atomic: the listing above saw each file where it is, so the
                // intents of changes a process did not finish are settled.
                sql_.Exec("DELETE FROM md_intents");
            });
        });
    }

    // The items of the new files, read up to the end of their header on two threads (nullopt
    // for a file that could not be read or parsed, with a warning naming it).
    std::vector<std::optional<store::ItemData>> ReadNew(const std::vector<const std::pair<const Key, Listed>*>& fresh,
                                                        const std::map<int64_t, std::string>& folderDir,
                                                        const std::map<Key, UniqueFd>& dirs) {
        std::vector<std::optional<store::ItemData>> parsed(fresh.size());
        std::vector<std::string> problems(fresh.size());
        std::atomic<size_t> next{0};
        auto work = [&] {
            std::string header, why;
            for (size_t i; (i = next.fetch_add(1)) < fresh.size();) {
                const auto& [key, l] = *fresh[i];
                const int at = dirs.at(Key{l.folder, l.sub}).Get();
                const std::string path = (root_ / folderDir.at(l.folder) / l.sub / l.name).string();
                if (!TreeDir::ReadHeader(at, l.name, kMaxHeaderBytes, header, why)) {
                    problems[i] = "cannot read \"" + path + "\": " + why + "; skipped";
                    continue;
                }
                std::optional<Date> created = DeliveryTime(key.second);
                if (!created) created = dates::FromUnixMillis(TreeDir::ModifiedAt(at, l.name).value_or(0) * 1000);
                try {
                    parsed[i] = ItemFromHeader(header, path, *created);
                } catch (const AutomationError& e) {
                    problems[i] = e.Description() + "; skipped";
                } catch (const std::exception& e) {  // nothing may escape a thread
                    problems[i] = "\"" + path + "\": " + e.what() + "; skipped";
                }
            }
        };
        if (fresh.size() > 64) {
            std::thread helper(work);
            work();
            helper.join();
        } else {
            work();
        }
        for (const auto& p : problems)
            if (!p.empty()) warnings_.push_back(p);
        return parsed;
    }

    fs::path root_;
    MaildirLayoutKind layout_;
    std::optional<TreeDir> tree_;
    CacheSql sql_;
    ChangeLock changes_;
    std::string lastError_ = "not synchronised yet";
    std::vector<std::string> warnings_;
};

}  // namespace

const char* LayoutName(MaildirLayoutKind kind) {
    return kind == MaildirLayoutKind::MaildirPlusPlus ? "Maildir++" : "nested";
}

MaildirLayoutKind DetectMaildirLayout(const fs::path& dir) {
    const TreeDir tree(dir);
    const UniqueFd top = tree.Require("");
    std::vector<TreeDir::Entry> entries;
    int error = 0;
    if (!TreeDir::List(top.Get(), entries, error))
        Raise(errnum::kMapiNoAccess, "cannot read the Maildir \"" + dir.string() + "\": " + std::strerror(error));
    bool nested = false;
    for (const auto& e : entries) {
        if (e.type != DT_DIR) continue;
        if (e.name[0] == '.' && tree.IsMaildir(e.name)) return MaildirLayoutKind::MaildirPlusPlus;
        if (e.name != "cur" && e.name != "new" && e.name != "tmp" && e.name[0] != '.') {
            // A maildir anywhere below (two levels are enough to tell).
            if (tree.IsMaildir(e.name)) nested = true;
            std::vector<TreeDir::Entry> sub;
            int ignored = 0;
            if (!nested)
                if (const UniqueFd at = tree.Open(e.name, ignored); at && TreeDir::List(at.Get(), sub, ignored))
                    for (const auto& s : sub)
                        if (s.type == DT_DIR && tree.IsMaildir(Join(e.name, s.name))) nested = true;
        }
    }
    if (nested) return MaildirLayoutKind::Nested;
    if (TreeDir::IsDir(top.Get(), "cur") || TreeDir::IsDir(top.Get(), "new")) return MaildirLayoutKind::MaildirPlusPlus;
    Raise(errnum::kMapiInvalidParameter,
          "\"" + dir.string() + "\" is no Maildir (no cur/ and new/, and no maildir folders in it)");
}

std::shared_ptr<store::Upstream> MakeMaildirUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache) {
    auto layoutOption = entry.options.find("layout");
    MaildirLayoutKind layout = layoutOption != entry.options.end() && layoutOption->second == "nested"
                                   ? MaildirLayoutKind::Nested
                                   : MaildirLayoutKind::MaildirPlusPlus;
    return std::make_shared<MaildirUpstream>(entry.source, layout, cache);
}

}  // namespace nubra::connected
