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
#include "standin_host/store/StoreDb.h"

namespace fs = std::filesystem;

namespace nubra::connected {
namespace {

constexpr const char* kDuplicatesName = "Nubra_Duplicate_Items";
constexpr size_t kMaxHeaderBytes = size_t{1} << 20;

const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS conn_settings(key TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS md_folders(folder_id INTEGER PRIMARY KEY, dir TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS md_items(item_id INTEGER PRIMARY KEY, uniq TEXT NOT NULL UNIQUE,
  folder_id INTEGER NOT NULL, sub TEXT NOT NULL, name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS md_intents(item_id INTEGER PRIMARY KEY, src TEXT NOT NULL, dest TEXT NOT NULL);
)sql";

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

bool IsDir(const fs::path& p) {
    struct stat st{};
    return ::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool IsMaildir(const fs::path& p) { return IsDir(p / "cur") || IsDir(p / "new"); }

// The entries of a directory with their types (d_type, lstat where the file system gives
// none); symbolic links are reported as such and never followed.
struct Entry {
    std::string name;
    unsigned char type;  // DT_DIR, DT_REG, DT_LNK, other
};
bool ListDir(const fs::path& dir, std::vector<Entry>& out, int& error) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        error = errno;
        return false;
    }
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st{};
            if (::fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : 0;
        }
        out.push_back({e->d_name, type});
    }
    ::closedir(d);
    return true;
}

// mbsync keeps the server's UID of a message in its file name (",U=<uid>" before ":2,"). It
// belongs to the folder the file is in: a file moved elsewhere goes without it (mbsync would
// take it for another message of its new folder), and the unique part that finds a file again
// leaves it out.
std::string WithoutSyncUid(const std::string& name) {
    const size_t colon = name.find(':');
    const size_t u = name.rfind(",U=", colon);
    if (u == std::string::npos) return name;
    size_t end = u + 3;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    if (end == u + 3 || (end < name.size() && name[end] != ':' && name[end] != ',')) return name;
    return name.substr(0, u) + name.substr(end);
}

std::string UniqueOf(const std::string& name) {
    const std::string plain = WithoutSyncUid(name);
    return plain.substr(0, plain.find(':'));
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

// A message file read up to the end of its header. Returns false (with `why`) when it cannot.
bool ReadHeader(const fs::path& file, std::string& out, std::string& why) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        return false;
    }
    out.clear();
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        const size_t before = out.size();
        out.append(buf, static_cast<size_t>(n));
        const size_t from = before > 2 ? before - 2 : 0;
        if (size_t end = HeaderEnd(std::string_view(out).substr(from)); end != std::string_view::npos) {
            out.resize(from + end);
            break;
        }
        if (out.size() > kMaxHeaderBytes) {
            why = "the header is larger than 1 MiB";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

// The whole file (not through a link) into `out`; false when it cannot be read to its end.
bool ReadWhole(const fs::path& file, std::string& out) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[65536];
    bool whole = false;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            whole = n == 0;  // a read error is no whole message
            break;
        }
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > (size_t{256} << 20)) break;  // nor is a cut one: no mail is this large
    }
    ::close(fd);
    return whole;
}

void MakeMaildir(const fs::path& dir, bool plusPlus) {
    for (const auto& p : {dir, dir / "cur", dir / "new", dir / "tmp"}) {
        if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST)
            Raise(errno == ENOSPC ? errnum::kMapiDiskError : errnum::kMapiNoAccess,
                  "cannot create the maildir folder \"" + p.string() + "\": " + std::strerror(errno));
    }
    // Courier and Dovecot mark a Maildir++ subfolder so.
    if (plusPlus) {
        const int fd = ::open((dir / "maildirfolder").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) ::close(fd);
    }
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
        fs::path from = root_ / *srcDir / file->sub / file->name;
        const fs::path to = root_ / *destDir / file->sub / WithoutSyncUid(file->name);
        // The intent first: a process ended after the rename leaves it for the next sync.
        cache.InTransaction([&] {
            sql_.Run("INSERT OR REPLACE INTO md_intents(item_id, src, dest) VALUES (?, ?, ?)", item, from.string(),
                     to.string());
        });
        std::string sub = file->sub, name = WithoutSyncUid(file->name);
        if (!Rename(from, to)) {
            int error = errno;
            if (error == ENOENT) {
                // Another client changed its flags (the part after ":2,") or moved it from new/
                // to cur/: the unique part finds it again.
                if (auto again = Relocate(*srcDir, file->uniq)) {
                    sub = again->first;
                    from = root_ / *srcDir / sub / again->second;
                    name = WithoutSyncUid(again->second);
                    if (Rename(from, root_ / *destDir / sub / name)) error = 0;
                    else error = errno;
                }
            }
            if (error != 0) {
                ClearIntent(cache, item);
                if (error == ENOENT) {
                    Forget(cache, item);
                    Raise(errnum::kMapiNotFound, "the message file \"" + from.string() +
                                                     "\" vanished (moved or deleted by another program); skipped");
                }
                Raise(error == EEXIST ? errnum::kMapiCollision : errnum::kMapiNoAccess,
                      "cannot move \"" + from.string() + "\" to \"" + (root_ / *destDir / sub).string() +
                          "\": " + std::strerror(error));
            }
        }
        FaultPoint("maildir:renamed");
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                apply();
                sql_.Run("UPDATE md_items SET folder_id = ?, sub = ?, name = ? WHERE item_id = ?", dest, sub, name, item);
                ClearIntentRow(item);
            });
        });
    }

    void RemoveItem(store::StoreDb& cache, int64_t item, const std::function<void()>& apply) override {
        RequireSynced();
        auto file = FileOf(item);
        if (file) {
            const auto dir = DirOf(cache, file->folder);
            fs::path path = root_ / dir.value_or("") / file->sub / file->name;
            if (::unlink(path.c_str()) != 0) {
                int error = errno;
                if (error == ENOENT) {
                    // Gone already, or its flags changed meanwhile.
                    auto again = Relocate(dir.value_or(""), file->uniq);
                    path = again ? root_ / dir.value_or("") / again->first / again->second : path;
                    error = again && ::unlink(path.c_str()) != 0 ? errno : 0;
                }
                if (error != 0 && error != ENOENT)
                    Raise(errnum::kMapiNoAccess, "cannot delete \"" + path.string() + "\": " + std::strerror(error));
            }
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
        const auto dir = ChildDir(cache, parent, name);
        MakeMaildir(root_ / dir, layout_ == MaildirLayoutKind::MaildirPlusPlus);
        int64_t id = 0;
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                id = apply();
                MapFolder(id, dir);
            });
        });
        return id;
    }

    void RemoveFolder(store::StoreDb& cache, int64_t folder, const std::function<void()>& apply) override {
        RequireSynced();
        const auto held = changes_.Hold();
        if (const auto dir = DirOf(cache, folder); dir && !dir->empty()) {
            const fs::path path = root_ / *dir;
            for (const char* sub : {"cur", "new", "tmp"}) ::rmdir((path / sub).c_str());
            ::unlink((path / "maildirfolder").c_str());
            if (::rmdir(path.c_str()) != 0 && errno != ENOENT)
                Raise(errnum::kMapiNoAccess, "cannot remove the folder \"" + path.string() + "\": " + std::strerror(errno));
        }
        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                apply();
                sql_.Run("DELETE FROM md_folders WHERE folder_id = ?", folder);
            });
        });
    }

    void CompleteItem(store::StoreDb& cache, int64_t item, store::ItemData& data) override {
        if (data.Body) return;
        auto file = FileOf(item);
        if (!file) return;
        const auto dir = DirOf(cache, file->folder).value_or("");
        fs::path path = root_ / dir / file->sub / file->name;
        std::string bytes;
        if (!ReadWhole(path, bytes)) {
            auto again = Relocate(dir, file->uniq);
            if (!again || !ReadWhole(root_ / dir / again->first / again->second, bytes))
                Raise(errnum::kMapiNotFound, "the message file \"" + path.string() + "\" can no longer be read");
        }
        CompleteFromMessage(data, bytes, path.string());
    }

    std::vector<std::string> TakeWarnings() override { return std::exchange(warnings_, {}); }

private:
    struct File {
        int64_t folder;
        std::string uniq, sub, name;
    };

    static bool Rename(const fs::path& from, const fs::path& to) {
        // Never over another file: a name taken in the target means something is wrong.
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno != EINVAL && errno != ENOSYS) return false;
        if (::access(to.c_str(), F_OK) == 0) {
            errno = EEXIST;
            return false;
        }
        return ::rename(from.c_str(), to.c_str()) == 0;
    }

    void RequireSynced() const {
        if (!lastError_.empty())
            Raise(errnum::kMapiCallFailed, "the Maildir \"" + root_.string() +
                                               "\" could not be synchronised, so it is not changed: " + lastError_);
    }

    std::optional<File> FileOf(int64_t item) {
        auto& s = sql_.Prep("SELECT folder_id, uniq, sub, name FROM md_items WHERE item_id = ?");
        CacheSql::Use u(s);
        u->Bind(1, item);
        if (!u->Step()) return std::nullopt;
        return File{u->Int(0), u->Text(1), u->Text(2), u->Text(3)};
    }

    std::optional<std::string> DirOf(store::StoreDb&, int64_t folder) {
        return sql_.TextOf("SELECT dir FROM md_folders WHERE folder_id = ?", folder);
    }

    // The (sub, name) of the file whose unique part is `uniq` in folder `dir`, now.
    std::optional<std::pair<std::string, std::string>> Relocate(const std::string& dir, const std::string& uniq) {
        for (const char* sub : {"cur", "new"}) {
            std::vector<Entry> entries;
            int error = 0;
            if (!ListDir(root_ / dir / sub, entries, error)) continue;
            for (const auto& e : entries)
                if (e.type == DT_REG && UniqueOf(e.name) == uniq) return std::make_pair(std::string(sub), e.name);
        }
        return std::nullopt;
    }

    void ClearIntentRow(int64_t item) {
        sql_.Run("DELETE FROM md_intents WHERE item_id = ?", item);
    }
    void ClearIntent(store::StoreDb& cache, int64_t item) {
        cache.InTransaction([&] { ClearIntentRow(item); });
    }
    void DeleteRow(int64_t item) {
        sql_.Run("DELETE FROM md_items WHERE item_id = ?", item);
    }
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

    // The directory of a new folder `name` under cache folder `parent`, in the tree's layout.
    std::string ChildDir(store::StoreDb& cache, int64_t parent, const std::string& name) {
        if (name.find('/') != std::string::npos || name == "." || name == ".." ||
            (layout_ == MaildirLayoutKind::MaildirPlusPlus && name.find('.') != std::string::npos) ||
            name.find(':') != std::string::npos)
            Raise(errnum::kMapiInvalidParameter,
                  "the folder name \"" + name + "\" cannot be a folder of the Maildir \"" + root_.string() + "\"");
        const auto dir = DirOf(cache, parent);
        if (layout_ == MaildirLayoutKind::MaildirPlusPlus) {
            if (parent == cache.RootFolder()) return "." + name;
            if (!dir) Raise(errnum::kMapiNotFound, "the parent folder has no maildir");
            return (dir->empty() ? std::string(".INBOX") : *dir) + "." + name;
        }
        if (parent == cache.RootFolder() || !dir || dir->empty()) return name;
        return *dir + "/" + name;
    }

    // ------------------------------------------------------------------ discovery
    std::vector<FolderDir> ListFolders() {
        std::vector<FolderDir> out;
        std::vector<Entry> entries;
        int error = 0;
        if (!ListDir(root_, entries, error))
            Raise(error == ENOENT ? errnum::kMapiNotFound : errnum::kMapiNoAccess,
                  "cannot read the Maildir \"" + root_.string() + "\": " + std::strerror(error));
        const bool rootMail = IsMaildir(root_);
        if (rootMail) out.push_back({"", {"Inbox"}, true});
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        if (layout_ == MaildirLayoutKind::MaildirPlusPlus) {
            for (const auto& e : entries) {
                if (e.name.size() < 2 || e.name[0] != '.') continue;
                if (e.type == DT_LNK) {
                    warnings_.push_back("\"" + (root_ / e.name).string() + "\" is a link; not followed");
                    continue;
                }
                if (e.type != DT_DIR || !IsMaildir(root_ / e.name)) continue;
                FolderDir f{e.name, {}, true};
                size_t start = 1;
                while (start <= e.name.size()) {
                    size_t dot = e.name.find('.', start);
                    if (dot == std::string::npos) dot = e.name.size();
                    if (dot > start) f.names.push_back(e.name.substr(start, dot - start));
                    start = dot + 1;
                }
                if (f.names.empty()) continue;
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

    void Walk(const std::string& dir, const std::vector<std::string>& names, const std::vector<Entry>& entries,
              bool rootMail, std::vector<FolderDir>& out, int depth) {
        for (const auto& e : entries) {
            if (e.name == "cur" || e.name == "new" || e.name == "tmp" || e.name[0] == '.') continue;
            const std::string rel = dir.empty() ? e.name : dir + "/" + e.name;
            if (e.type == DT_LNK) {
                std::error_code ec;  // a loop or a link to nowhere is simply no folder
                if (IsDir(root_ / rel) || fs::is_directory(root_ / rel, ec))
                    warnings_.push_back("\"" + (root_ / rel).string() + "\" is a link to a folder; not followed");
                continue;
            }
            if (e.type != DT_DIR) continue;
            if (depth > 64) {
                warnings_.push_back("\"" + (root_ / rel).string() + "\" is nested too deeply; not read");
                continue;
            }
            std::vector<Entry> sub;
            int error = 0;
            if (!ListDir(root_ / rel, sub, error)) {
                warnings_.push_back("cannot read \"" + (root_ / rel).string() + "\": " + std::strerror(error));
                continue;
            }
            std::sort(sub.begin(), sub.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
            auto childNames = names;
            // The duplicates folder of a top maildir sits beside the other folders.
            if (dir.empty() && rootMail && e.name == kDuplicatesName) childNames.push_back("Inbox");
            childNames.push_back(e.name);
            const size_t before = out.size();
            out.push_back({rel, childNames, IsMaildir(root_ / rel)});
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
        cache.InTransaction([&] { sql_.Exec(kTables); });
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
            });
        });
        EnsureTrash(cache, byNames, folderDir);
        SyncMessages(cache, folderDir);
    }

    void EnsureTrash(store::StoreDb& cache, std::map<std::vector<std::string>, int64_t>& byNames,
                     std::map<int64_t, std::string>& folderDir) {
        std::optional<int64_t> trash;
        for (const char* name : {"Trash", "Deleted Items", "Deleted Messages"})
            if (auto t = byNames.find({name}); t != byNames.end()) {
                trash = t->second;
                break;
            }
        if (!trash) {
            const std::string dir = layout_ == MaildirLayoutKind::MaildirPlusPlus ? ".Trash" : "Trash";
            MakeMaildir(root_ / dir, layout_ == MaildirLayoutKind::MaildirPlusPlus);
            cache.ApplyLocally([&] {
                cache.InTransaction([&] {
                    auto existing = cache.SubfolderByName(cache.RootFolder(), "Trash");
                    trash = existing ? *existing : cache.CreateFolder(cache.RootFolder(), "Trash", 0);
                    MapFolder(*trash, dir);
                });
            });
            byNames[{"Trash"}] = *trash;
            folderDir[*trash] = dir;
        }
        cache.SetDeletedItemsFolder(*trash);
    }

    struct Listed {
        int64_t folder;
        std::string sub, name;
    };
    struct Known {
        int64_t item, folder;
        std::string sub, name;
    };

    void SyncMessages(store::StoreDb& cache, const std::map<int64_t, std::string>& folderDir) {
        // What the tree holds now, by unique part.
        std::unordered_map<std::string, Listed> listed;
        listed.reserve(4096);
        for (const auto& [folder, dir] : folderDir) {
            // new/ first: another client only ever moves a file from new/ to cur/, so one moved
            // between the two listings is seen twice (once kept), never missed.
            for (const char* sub : {"new", "cur"}) {
                std::vector<Entry> entries;
                int error = 0;
                const fs::path path = root_ / dir / sub;
                if (!ListDir(path, entries, error)) {
                    if (error != ENOENT)
                        Raise(errnum::kMapiNoAccess, "cannot read \"" + path.string() + "\": " + std::strerror(error));
                    continue;
                }
                std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
                for (auto& e : entries) {
                    if (e.name[0] == '.') continue;
                    if (e.type == DT_LNK) {
                        warnings_.push_back("\"" + (path / e.name).string() + "\" is a link; not read");
                        continue;
                    }
                    if (e.type != DT_REG) continue;
                    auto [it, fresh] = listed.try_emplace(UniqueOf(e.name), Listed{folder, sub, e.name});
                    if (!fresh && it->second.folder == folder && it->second.sub == "new" && std::string(sub) == "cur") {
                        it->second = Listed{folder, sub, e.name};  // moved to cur/ while we listed
                        continue;
                    }
                    if (!fresh) warnings_.push_back("\"" + (path / e.name).string() + "\" has the unique name of \"" +
                                                    (root_ / folderDir.at(it->second.folder) / it->second.sub /
                                                     it->second.name).string() + "\"; not read");
                }
            }
        }
        std::unordered_map<std::string, Known> known;
        {
            auto& s = sql_.Prep("SELECT uniq, item_id, folder_id, sub, name FROM md_items");
            CacheSql::Use u(s);
            while (u->Step()) known.emplace(u->Text(0), Known{u->Int(1), u->Int(2), u->Text(3), u->Text(4)});
        }
        // New files, in folder order (listing order), read and parsed on two threads.
        std::vector<const std::pair<const std::string, Listed>*> fresh;
        for (const auto& entry : listed)
            if (!known.count(entry.first)) fresh.push_back(&entry);
        std::sort(fresh.begin(), fresh.end(), [](auto* a, auto* b) {
            return std::tie(a->second.folder, a->second.sub, a->second.name) <
                   std::tie(b->second.folder, b->second.sub, b->second.name);
        });
        std::vector<std::optional<store::ItemData>> parsed(fresh.size());
        std::vector<std::string> problems(fresh.size());
        std::atomic<size_t> next{0};
        auto work = [&] {
            std::string header, why;
            for (size_t i; (i = next.fetch_add(1)) < fresh.size();) {
                const auto& [uniq, l] = *fresh[i];
                const fs::path path = root_ / folderDir.at(l.folder) / l.sub / l.name;
                if (!ReadHeader(path, header, why)) {
                    problems[i] = "cannot read \"" + path.string() + "\": " + why + "; skipped";
                    continue;
                }
                std::optional<Date> created = DeliveryTime(uniq);
                if (!created) {
                    struct stat st{};
                    created = ::stat(path.c_str(), &st) == 0 ? dates::FromUnixMillis(int64_t{st.st_mtime} * 1000)
                                                             : dates::FromUnixMillis(0);
                }
                try {
                    parsed[i] = ItemFromHeader(header, path.string(), *created);
                } catch (const AutomationError& e) {
                    problems[i] = e.Description() + "; skipped";
                } catch (const std::exception& e) {  // nothing may escape a thread
                    problems[i] = "\"" + path.string() + "\": " + e.what() + "; skipped";
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

        cache.ApplyLocally([&] {
            cache.InTransaction([&] {
                // Gone, moved by another client, flags changed.
                for (const auto& [uniq, k] : known) {
                    auto l = listed.find(uniq);
                    if (l == listed.end()) {
                        cache.RemoveItem(k.item);
                        DeleteRow(k.item);
                        continue;
                    }
                    if (l->second.folder != k.folder) cache.MoveItem(k.item, l->second.folder);
                    if (l->second.folder != k.folder || l->second.sub != k.sub || l->second.name != k.name) {
                        sql_.Run("UPDATE md_items SET folder_id = ?, sub = ?, name = ? WHERE item_id = ?", l->second.folder,
                                 l->second.sub, l->second.name, k.item);
                    }
                }
                auto& ins = sql_.Prep("INSERT INTO md_items(item_id, uniq, folder_id, sub, name) VALUES (?, ?, ?, ?, ?)");
                for (size_t i = 0; i < fresh.size(); ++i) {
                    if (!parsed[i]) continue;
                    const auto& [uniq, l] = *fresh[i];
                    const int64_t id = cache.AddItem(l.folder, *parsed[i]);
                    CacheSql::Use u(ins);
                    u->Bind(1, id).Bind(2, uniq).Bind(3, l.folder).Bind(4, l.sub).Bind(5, l.name);
                    u->Run();
                }
                // Every rename is atomic: the listing above saw each file where it is, so the
                // intents of changes a process did not finish are settled.
                sql_.Exec("DELETE FROM md_intents");
            });
        });
    }

    fs::path root_;
    MaildirLayoutKind layout_;
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
    std::vector<Entry> entries;
    int error = 0;
    if (!ListDir(dir, entries, error))
        Raise(error == ENOENT ? errnum::kMapiNotFound : errnum::kMapiNoAccess,
              "cannot read the Maildir \"" + dir.string() + "\": " + std::strerror(error));
    bool nested = false;
    for (const auto& e : entries) {
        if (e.type != DT_DIR) continue;
        if (e.name[0] == '.' && IsMaildir(dir / e.name)) return MaildirLayoutKind::MaildirPlusPlus;
        if (e.name != "cur" && e.name != "new" && e.name != "tmp" && e.name[0] != '.') {
            // A maildir anywhere below (two levels are enough to tell).
            if (IsMaildir(dir / e.name)) nested = true;
            std::vector<Entry> sub;
            int ignored = 0;
            if (!nested && ListDir(dir / e.name, sub, ignored))
                for (const auto& s : sub)
                    if (s.type == DT_DIR && IsMaildir(dir / e.name / s.name)) nested = true;
        }
    }
    if (nested) return MaildirLayoutKind::Nested;
    if (IsMaildir(dir)) return MaildirLayoutKind::MaildirPlusPlus;
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
