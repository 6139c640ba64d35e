#include "standin_host/store/Profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "standin_host/store/Application.h"
#include "standin_host/store/NameHash.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/PrivateFolder.h"
#include "standin_host/store/RunLock.h"
#include "standin_host/store/StoreDb.h"
#include "standin_host/store/Upstream.h"

namespace nubra::store {

namespace {
constexpr const char* kSource = "NubraStore";
constexpr const char* kProfileFormat = "nubrasweep-profile";

[[noreturn]] void BadProfile(const std::filesystem::path& file, const std::string& what, size_t line = 0) {
    std::string where = "profile file \"" + file.string() + "\"";
    if (line) where += ", line " + std::to_string(line);
    RaiseError(errnum::kMapiCorruptData, where + ": " + what, kSource);
}

std::filesystem::path Absolute(const std::filesystem::path& p) {
    std::error_code ec;
    auto a = std::filesystem::weakly_canonical(std::filesystem::absolute(p), ec);
    return ec ? std::filesystem::absolute(p).lexically_normal() : a;
}

// Writes `text` to `file` through a temporary file and a rename, so that readers see the old
// or the new contents, never a part.
void WriteAtomically(const std::filesystem::path& file, const std::string& text) {
    auto tmp = file;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        RaiseError(errnum::kMapiNoAccess, "cannot write the profile file \"" + file.string() + "\"", kSource);
    size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), file.c_str()) != 0) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        RaiseError(errnum::kMapiDiskError, "cannot write the profile file \"" + file.string() + "\"", kSource);
    }
}
// An exclusive flock on the profile folder, held while a new profile is made so that two
// processes opening the same new profile at once make it once. Where the file system has no
// locks (some network shares) creation goes on unguarded, as it must to work at all.
class FolderLock {
public:
    explicit FolderLock(const std::filesystem::path& dir) {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};
}  // namespace

Profile::Profile(std::filesystem::path dir) : dir_(std::move(dir)) {}
Profile::~Profile() = default;

const std::filesystem::path& Profile::Directory() const { return dir_; }

std::shared_ptr<Profile> Profile::Open(const std::filesystem::path& dirIn, Access access, Upstreams upstreams) {
    const auto dir = Absolute(dirIn);
    const bool readOnly = access == Access::ReadOnly;
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) && !std::filesystem::is_directory(dir, ec))
        RaiseError(errnum::kMapiInvalidParameter, "\"" + dir.string() + "\" is a file, not a profile folder",
                   kSource);
    const auto file = dir / kProfileFileName;
    if (readOnly && !std::filesystem::exists(file, ec))
        RaiseError(errnum::kMapiNotFound,
                   "there is no profile in \"" + dir.string() + "\" (run a command that writes, e.g. 'nubrasweep tree', "
                   "to make one)",
                   kSource);
    if (!std::filesystem::exists(dir, ec)) {
        std::filesystem::create_directories(dir, ec);
        if (ec)
            RaiseError(errnum::kMapiNoAccess,
                       "cannot create the profile folder \"" + dir.string() + "\": " + ec.message(), kSource);
        // Mail is private, whatever the umask.
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace,
                                     ec);
    }
    auto profile = std::shared_ptr<Profile>(new Profile(dir));
    profile->readOnly_ = readOnly;
    if (!std::filesystem::exists(file, ec)) {
        FolderLock lock(dir);
        // Another process may have made it while we waited for the lock.
        if (!std::filesystem::exists(file, ec)) {
            // A new profile: the store first, then the profile file that lists it. Store files
            // already in the folder (an earlier attempt that ended before the profile file was
            // written, or a profile file deleted by hand) are taken over, not forgotten.
            const auto storeFile = dir / (std::string(kDefaultStoreName) + ".nbst");
            std::vector<std::filesystem::path> found;
            for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
                if (entry.path().extension() == ".nbst" && entry.is_regular_file(ec) && entry.path() != storeFile)
                    found.push_back(entry.path());
            std::sort(found.begin(), found.end());
            const bool hadDefault = std::filesystem::exists(storeFile, ec);
            profile->stores_.push_back(hadDefault ? StoreDb::Open(storeFile)
                                                  : StoreDb::Create(storeFile, kDefaultStoreName, true));
            for (const auto& f : found) {
                try {
                    profile->stores_.push_back(StoreDb::Open(f));
                } catch (const AutomationError& e) {
                    profile->warnings_.push_back("not taken into the profile: " + e.Description());
                }
            }
            if (!found.empty())
                profile->warnings_.push_back(
                    "the profile file \"" + file.string() + "\" was missing; it was made again from the " +
                    std::to_string(profile->stores_.size()) +
                    " store files in the profile folder (stores kept elsewhere must be added again with "
                    "'nubrasweep store add')");
            profile->WriteProfileFile();
            return profile;
        }
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) RaiseError(errnum::kMapiNoAccess, "cannot read the profile file \"" + file.string() + "\"", kSource);
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        size_t line = 1 + static_cast<size_t>(std::count(text.begin(),
                                                         text.begin() + static_cast<std::ptrdiff_t>(std::min(e.byte, text.size())), '\n'));
        BadProfile(file, "not a valid profile (JSON syntax error)", line);
    }
    if (!j.is_object() || j.value("format", std::string()) != kProfileFormat)
        BadProfile(file, "not a Nubrasweep profile");
    if (!j.contains("version") || !j["version"].is_number_integer() || j["version"].get<int>() != 1)
        BadProfile(file, "unknown profile version");
    if (!j.contains("stores") || !j["stores"].is_array()) BadProfile(file, "no list of stores");
    std::map<std::string, int> ofKind;
    for (const auto& s : j["stores"])
        if (s.is_object() && s.contains("kind") && s["kind"].is_string()) ++ofKind[s["kind"].get<std::string>()];
    for (const auto& s : j["stores"]) {
        if (!s.is_object() || !s.contains("file") || !s["file"].is_string() || s["file"].get<std::string>().empty())
            BadProfile(file, "a store entry has no file name");
        std::filesystem::path p = s["file"].get<std::string>();
        if (p.is_relative()) p = dir / p;
        // Connected store: the file is its cache, made again when it was cleared away.
        std::optional<ConnectedEntry> conn;
        if (s.contains("kind") && s["kind"].is_string() && s["kind"].get<std::string>() != "store") {
            if (!s.contains("source") || !s["source"].is_string())
                BadProfile(file, "the connected store \"" + p.string() + "\" has no source");
            conn = ConnectedEntry{s["kind"].get<std::string>(), s["source"].get<std::string>(), {}};
            if (s.contains("options") && s["options"].is_object())
                for (const auto& [k, v] : s["options"].items())
                    if (v.is_string()) conn->options[k] = v.get<std::string>();
            conn->ofKind = ofKind[conn->kind];
        }
        std::error_code missing;
        if (conn) {
            // A cache is kept in the user's private cache folder: never one another user could
            // have put there.
            RequirePrivateFolder(p.parent_path());
            if (const int fd = OpenPrivateFile(p, false); fd >= 0) ::close(fd);
        }
        // A snapshot lists the stores it did not copy as their real files, never to be changed.
        const bool entryReadOnly = s.contains("readOnly") && s["readOnly"].is_boolean() && s["readOnly"].get<bool>();
        const bool made = conn && !readOnly && !std::filesystem::exists(p, missing);
        auto store = made ? StoreDb::Create(p, s.value("name", conn->source), false, false)
                          : StoreDb::Open(p, readOnly || entryReadOnly);
        if (entryReadOnly) profile->readOnlyStores_.push_back(store.get());
        for (const auto& other : profile->stores_)
            if (other->StoreIdHex() == store->StoreIdHex())
                BadProfile(file, "the store \"" + p.string() + "\" is listed twice");
        profile->stores_.push_back(store);
        // A cache made anew is filled now, whatever a run would do.
        if (conn) profile->AttachConnected(store, *conn, made ? Upstreams::Attach : upstreams);
    }
    if (readOnly) return profile;
    try {
        profile->CompleteInterruptedMoves(nullptr);
    } catch (const AutomationError& e) {
        // Another process holding a store busy only delays the recovery to the next opening
        // (or integrity check); the copies stay as they are meanwhile.
        if (e.Number() != errnum::kMapiBusy) throw;
    }
    return profile;
}

void Profile::CompleteInterruptedMoves(std::vector<std::string>* unresolved) {
    auto isReadOnly = [&](const StoreDb* store) {
        return std::find(readOnlyStores_.begin(), readOnlyStores_.end(), store) != readOnlyStores_.end();
    };
    for (const auto& dest : stores_) {
        if (isReadOnly(dest.get())) continue;  // left to a profile that may change it
        for (const auto& move : dest->PendingMoves()) {
            auto source = StoreById(move.srcStoreHex);
            if (source && isReadOnly(source.get())) continue;
            if (!source) {
                // Without the original's store nothing can be decided; both may hold the item.
                if (unresolved)
                    unresolved->push_back("store file \"" + dest->File().string() + "\": item " +
                                          std::to_string(move.destItem) + " was moved in from store " +
                                          move.srcStoreHex +
                                          ", which is not in this profile, and the move did not finish");
                continue;
            }
            dest->CompleteMove(move, *source);
        }
    }
}

void Profile::WriteProfileFile() const {
    nlohmann::json j;
    j["format"] = kProfileFormat;
    j["version"] = 1;
    j["stores"] = nlohmann::json::array();
    for (const auto& s : stores_) {
        auto rel = s->File().lexically_relative(dir_);
        bool inside = !rel.empty() && rel.begin()->string() != "..";
        nlohmann::json entry = {{"file", inside ? rel.string() : s->File().string()}};
        if (auto c = connected_.find(s.get()); c != connected_.end()) {
            entry["kind"] = c->second.kind;
            entry["source"] = c->second.source;
            entry["name"] = s->Folder(s->RootFolder()).name;
            if (!c->second.options.empty()) entry["options"] = c->second.options;
        }
        j["stores"].push_back(entry);
    }
    WriteAtomically(dir_ / kProfileFileName, j.dump(2) + "\n");
}

std::vector<StoreInfo> Profile::Stores() const {
    std::vector<StoreInfo> r;
    for (const auto& s : stores_) {
        StoreInfo info;
        info.storeId = s->StoreIdHex();
        info.displayName = s->Folder(s->RootFolder()).name;
        info.file = s->File();
        if (auto c = connected_.find(s.get()); c != connected_.end()) {
            info.kind = info.kindText = c->second.kind;
            info.source = c->second.source;
            if (auto u = upstreams_.find(s.get()); u != upstreams_.end()) info.kindText = u->second->KindText();
        }
        r.push_back(std::move(info));
    }
    return r;
}

StoreInfo Profile::AddStore(const std::filesystem::path& fileIn, const std::string& displayName,
                            bool standardFolders, bool deletedItems) {
    auto file = Absolute(fileIn.is_relative() ? dir_ / fileIn : fileIn);
    for (const auto& s : stores_)
        if (Absolute(s->File()) == file)
            RaiseError(errnum::kMapiCollision, "the store file \"" + file.string() + "\" is in the profile already",
                       kSource);
    std::error_code ec;
    bool created = !std::filesystem::exists(file, ec);
    auto store = created ? StoreDb::Create(file, displayName, standardFolders, deletedItems) : StoreDb::Open(file);
    auto drop = [&] {
        if (!created) return;
        store.reset();
        for (const char* suffix : {"", "-wal", "-shm", "-sound"}) std::filesystem::remove(file.string() + suffix, ec);
    };
    for (const auto& s : stores_) {
        if (s->StoreIdHex() == store->StoreIdHex()) {
            drop();
            RaiseError(errnum::kMapiCollision,
                       "the store in \"" + file.string() + "\" is in the profile already (a copy of \"" +
                           s->File().string() + "\")",
                       kSource);
        }
    }
    stores_.push_back(store);
    try {
        WriteProfileFile();
    } catch (...) {
        stores_.pop_back();
        drop();
        throw;
    }
    return Stores().back();  // the store just added
}

std::shared_ptr<outlook::Application> Profile::Application() {
    if (auto a = app_.lock()) return a;
    std::shared_ptr<outlook::Application> a = std::make_shared<store::Application>(shared_from_this());
    app_ = a;
    return a;
}

std::shared_ptr<outlook::NameSpace> Profile::NameSpace() { return Application()->GetNamespace("MAPI"); }

std::shared_ptr<StoreDb> Profile::StoreById(const std::string& storeIdHex) const {
    for (const auto& s : stores_)
        if (s->StoreIdHex() == storeIdHex) return s;
    return nullptr;
}

const std::vector<std::shared_ptr<StoreDb>>& Profile::StoreDbs() const { return stores_; }

namespace {
FolderImpl& OwnFolder(const Profile& p, outlook::MAPIFolder& folder, const char* what) {
    auto& f = AsFolder(folder, what);
    if (p.StoreById(f.Store()->StoreIdHex()) != f.Store())
        RaiseError(errnum::kMapiInvalidParameter, std::string(what) + ": the folder is not in this profile",
                   kSource);
    return f;
}
}  // namespace

outlook::FolderRef Profile::FindFolder(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    if (parts.empty()) RaiseError(errnum::kMapiNotFound, "the folder path is empty", kSource);
    std::shared_ptr<StoreDb> store = StoreByName(parts[0], path);
    int64_t id = store->RootFolder();
    for (size_t i = 1; i < parts.size(); ++i) {
        auto next = store->SubfolderByName(id, parts[i]);
        if (!next)
            RaiseError(errnum::kMapiNotFound, "no folder \"" + parts[i] + "\" (folder path " + path + ")", kSource);
        id = *next;
    }
    return std::make_shared<FolderImpl>(store, id);
}

std::shared_ptr<StoreDb> Profile::StoreByName(const std::string& name, const std::string& path) const {
    std::vector<std::shared_ptr<StoreDb>> named, byFile;
    for (const auto& s : stores_) {
        if (s->Folder(s->RootFolder()).name == name) named.push_back(s);
        if (s->File().filename() == name || s->File() == name) byFile.push_back(s);
    }
    // Two stores may carry one name; the path must not silently pick one of them. The store's
    // file (as 'stores' shows it) names it without doubt.
    if (named.size() > 1) {
        std::string files;
        for (const auto& s : named) files += (files.empty() ? "" : ", ") + s->File().filename().string();
        RaiseError(errnum::kMapiCollision,
                   std::to_string(named.size()) + " stores are named \"" + name + "\" (files " + files +
                       "); begin the folder path with the store's file name instead (folder path " + path + ")",
                   kSource);
    }
    if (named.empty() && byFile.size() == 1) return byFile.front();
    if (named.empty())
        RaiseError(errnum::kMapiNotFound, "no store is named \"" + name + "\" (folder path " + path + ")", kSource);
    return named.front();
}

const std::vector<std::string>& Profile::Warnings() const { return warnings_; }

// ---------------------------------------------------------------------------------------
// Connected stores (Upstream.h)

namespace {
std::map<std::string, UpstreamFactory>& Factories() {
    static std::map<std::string, UpstreamFactory> factories;
    return factories;
}
}  // namespace

void RegisterUpstreamFactory(const std::string& kind, UpstreamFactory factory) {
    Factories()[kind] = std::move(factory);
}

std::filesystem::path ConnectedCacheDir() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = xdg && *xdg ? std::filesystem::path(xdg)
                                 : home && *home ? std::filesystem::path(home) / ".cache"
                                                 : std::filesystem::temp_directory_path();
    return base / "nubrasweep";
}

std::shared_ptr<Upstream> Profile::UpstreamOf(const StoreDb& store) const {
    auto u = upstreams_.find(&store);
    return u == upstreams_.end() ? nullptr : u->second;
}

void Profile::AttachConnected(const std::shared_ptr<StoreDb>& cache, const ConnectedEntry& entry, Upstreams mode) {
    connected_[cache.get()] = entry;
    cache->MapForReading();
    if (mode == Upstreams::Detach) return;
    auto factory = Factories().find(entry.kind);
    if (factory == Factories().end())
        RaiseError(errnum::kMapiNoSupport,
                   "the store file \"" + cache->File().string() + "\" is the cache of a " + entry.kind + " source (" +
                       entry.source + "), which this program cannot reach",
                   kSource);
    auto up = factory->second(entry, *cache);
    upstreams_[cache.get()] = up;
    if (readOnly_) return;  // nothing may change: shown as last synchronised
    if (mode == Upstreams::AttachForRuns) {
        cache->SetUpstream(up);
        return;
    }
    try {
        up->Synchronise(*cache);
        for (auto& w : up->TakeWarnings()) warnings_.push_back(std::move(w));
    } catch (const AutomationError& e) {
        // The other stores stay usable; this one refuses changes and runs until it syncs.
        warnings_.push_back("the store \"" + cache->Folder(cache->RootFolder()).name + "\" (" + entry.source +
                            ") is shown as last synchronised: " + e.Description());
    }
    cache->SetUpstream(up);
}

std::vector<std::string> Profile::TakeSourceWarnings() {
    std::vector<std::string> taken;
    for (const auto& [store, up] : upstreams_)
        for (auto& w : up->TakeWarnings()) taken.push_back(std::move(w));
    return taken;
}

StoreInfo Profile::AddConnectedStore(const ConnectedEntry& added, const std::string& displayName) {
    if (readOnly_) RaiseError(errnum::kMapiNoAccess, "the profile is open read-only", kSource);
    ConnectedEntry entry = added;
    entry.ofKind = 1;
    for (const auto& [db, c] : connected_) {
        if (c.kind == entry.kind && c.source == entry.source)
            RaiseError(errnum::kMapiCollision, "\"" + entry.source + "\" is in the profile already", kSource);
        entry.ofKind += c.kind == entry.kind;
    }
    auto factory = Factories().find(entry.kind);
    if (factory == Factories().end())
        RaiseError(errnum::kMapiNoSupport, "no provider for connected stores of kind " + entry.kind, kSource);
    const auto dir = RequirePrivateFolder(ConnectedCacheDir());
    std::error_code ec;
    // One cache per profile and source: both name it.
    const auto file = dir / (entry.kind + "-" + NameHash(dir_.string() + "\n" + entry.kind + "\n" + entry.source) + ".nbst");
    auto removeFiles = [&] {
        for (const char* suffix : {"", "-wal", "-shm", "-journal", "-sound"}) std::filesystem::remove(file.string() + suffix, ec);
    };
    removeFiles();  // a cache left from an earlier attachment of the same source
    auto cache = StoreDb::Create(file, displayName, false, false);
    try {
        auto up = factory->second(entry, *cache);
        up->Synchronise(*cache);
        for (auto& w : up->TakeWarnings()) warnings_.push_back(std::move(w));
        cache->SetUpstream(up);
        stores_.push_back(cache);
        connected_[cache.get()] = entry;
        upstreams_[cache.get()] = up;
        WriteProfileFile();
    } catch (...) {
        if (!stores_.empty() && stores_.back() == cache) stores_.pop_back();
        connected_.erase(cache.get());
        upstreams_.erase(cache.get());
        cache.reset();
        removeFiles();
        throw;
    }
    return Stores().back();
}

std::string Profile::FolderPath(outlook::MAPIFolder& folder) {
    auto& f = OwnFolder(*this, folder, "FolderPath");
    std::string path;
    std::optional<int64_t> id = f.Id();
    while (id) {
        auto row = f.Store()->Folder(*id);
        path = path.empty() ? row.name : row.name + "\\" + path;
        id = row.parent;
    }
    return path;
}

outlook::FolderRef Profile::CreateFolder(outlook::MAPIFolder& parent, const std::string& name,
                                         int32_t defaultItemType) {
    auto& f = OwnFolder(*this, parent, "CreateFolder");
    return std::make_shared<FolderImpl>(f.Store(), f.Store()->CreateFolder(f.Id(), name, defaultItemType));
}

void Profile::SetDeletedItemsFolder(outlook::MAPIFolder& folder) {
    auto& f = OwnFolder(*this, folder, "SetDeletedItemsFolder");
    f.Store()->SetDeletedItemsFolder(f.Id());
}

outlook::ItemRef Profile::AddItem(outlook::MAPIFolder& folder, const ItemData& data) {
    auto& f = OwnFolder(*this, folder, "AddItem");
    return std::make_shared<ItemImpl>(f.Store(), f.Store()->AddItem(f.Id(), data));
}

size_t Profile::AddItems(outlook::MAPIFolder& folder, std::span<const ItemData> items) {
    auto& f = OwnFolder(*this, folder, "AddItems");
    return f.Store()->AddItems(f.Id(), items);
}

ItemData Profile::ReadItem(outlook::OutlookItem& item, Reading reading) {
    auto& i = AsItem(item, "ReadItem");
    if (StoreById(i.Store()->StoreIdHex()) != i.Store())
        RaiseError(errnum::kMapiInvalidParameter, "ReadItem: the item is not in this profile", kSource);
    // Cached properties: a mail's body kept in its message is not unpacked either.
    ItemData data = i.Store()->ReadItem(i.Id(), reading == Reading::Whole);
    // Connected store: the cache holds headers; the whole message comes from the source.
    if (reading == Reading::CachedProperties) return data;
    if (auto up = UpstreamOf(*i.Store())) up->CompleteItem(*i.Store(), i.Id(), data);
    return data;
}

void Profile::ForEachItem(outlook::MAPIFolder& folder, const std::function<void(const ItemRecord&)>& visit,
                          Reading reading) {
    auto& f = OwnFolder(*this, folder, "ForEachItem");
    auto store = f.Store();
    // Connected store: bodies come from the source, unless only the cache is read.
    auto up = reading == Reading::Whole ? UpstreamOf(*store) : nullptr;
    store->ForEachItem(f.Id(), [&](int64_t id, const ItemData& data) {
        if (!up) return visit(ItemRecord{ToHex(store->EntryId(StoreDb::kItemKind, id)), data});
        ItemRecord record{ToHex(store->EntryId(StoreDb::kItemKind, id)), data};
        up->CompleteItem(*store, id, record.data);
        visit(record);
    });
}

std::vector<std::vector<std::string>> Profile::ItemIdsSnapshot(std::span<outlook::MAPIFolder* const> folders) {
    std::shared_ptr<StoreDb> store;
    std::vector<int64_t> ids;
    for (auto* folder : folders) {
        auto& f = OwnFolder(*this, *folder, "ItemIdsSnapshot");
        if (store && f.Store() != store)
            RaiseError(errnum::kMapiInvalidParameter, "ItemIdsSnapshot: the folders are in different stores", kSource);
        store = f.Store();
        ids.push_back(f.Id());
    }
    std::vector<std::vector<std::string>> out(ids.size());
    if (!store) return out;
    auto rows = store->ItemIdsSnapshot(ids);
    for (size_t i = 0; i < rows.size(); ++i)
        for (int64_t id : rows[i]) out[i].push_back(ToHex(store->EntryId(StoreDb::kItemKind, id)));
    return out;
}

std::vector<std::string> Profile::DeletedItemsPaths() {
    std::vector<std::string> paths;
    for (const auto& s : stores_)
        if (auto id = s->FindDeletedItems()) {
            FolderImpl folder(s, *id);
            paths.push_back(FolderPath(folder));
        }
    return paths;
}

outlook::FolderRef Profile::ParentFolder(outlook::OutlookItem& item) {
    auto& i = AsItem(item, "ParentFolder");
    if (StoreById(i.Store()->StoreIdHex()) != i.Store())
        RaiseError(errnum::kMapiInvalidParameter, "ParentFolder: the item is not in this profile", kSource);
    return std::make_shared<FolderImpl>(i.Store(), i.Store()->PlaceOf(i.Id()).folder);
}

bool Profile::RemoveFolderIfEmpty(outlook::MAPIFolder& folder) {
    auto& f = OwnFolder(*this, folder, "RemoveFolderIfEmpty");
    return f.Store()->RemoveFolderIfEmpty(f.Id());
}

void Profile::SnapshotTo(const std::filesystem::path& dirIn, const std::function<bool(const StoreInfo&)>& copy) const {
    const auto dir = Absolute(dirIn);
    std::error_code ec;
    if (!std::filesystem::create_directory(dir, ec) || ec)
        RaiseError(errnum::kMapiCollision, "cannot make the snapshot folder \"" + dir.string() + "\"", kSource);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace, ec);
    try {
        nlohmann::json j;
        j["format"] = kProfileFormat;
        j["version"] = 1;
        j["stores"] = nlohmann::json::array();
        const auto infos = Stores();
        for (size_t i = 0; i < stores_.size(); ++i) {
            if (copy && !copy(infos[i])) {
                j["stores"].push_back({{"file", Absolute(stores_[i]->File()).string()}, {"readOnly", true}});
                continue;
            }
            const std::string name = std::to_string(i + 1) + "-" + stores_[i]->File().filename().string();
            stores_[i]->BackupTo(dir / name);
            j["stores"].push_back({{"file", name}});
        }
        WriteAtomically(dir / kProfileFileName, j.dump(2) + "\n");
    } catch (...) {
        std::filesystem::remove_all(dir, ec);
        throw;
    }
}

StoreInfo Profile::RemoveStore(const std::string& storeId) {
    if (readOnly_) RaiseError(errnum::kMapiNoAccess, "the profile is open read-only", kSource);
    const auto it = std::find_if(stores_.begin(), stores_.end(), [&](const auto& s) { return s->StoreIdHex() == storeId; });
    if (it == stores_.end()) RaiseError(errnum::kMapiNotFound, "no store " + storeId + " in the profile", kSource);
    const size_t index = static_cast<size_t>(it - stores_.begin());
    const StoreInfo info = Stores()[index];
    auto store = *it;
    // No run may be working in it while it goes, nor start before it is gone.
    const auto held = HoldStoreAgainstRuns(*store);
    const auto entry = connected_.find(store.get());
    const std::optional<ConnectedEntry> connection =
        entry == connected_.end() ? std::nullopt : std::optional<ConnectedEntry>(entry->second);
    const auto upstream = UpstreamOf(*store);
    stores_.erase(stores_.begin() + static_cast<std::ptrdiff_t>(index));
    connected_.erase(store.get());
    upstreams_.erase(store.get());
    try {
        WriteProfileFile();
    } catch (...) {
        stores_.insert(stores_.begin() + static_cast<std::ptrdiff_t>(index), store);
        if (connection) connected_[store.get()] = *connection;
        if (upstream) upstreams_[store.get()] = upstream;
        throw;
    }
    // A connected store's cache is ours alone: made again from the source when it is added back.
    if (connection) {
        store.reset();
        std::error_code ec;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            std::filesystem::remove(info.file.string() + suffix, ec);
    }
    return info;
}

StoreInfo Profile::RenameStore(const std::string& storeId, const std::string& name) {
    if (readOnly_) RaiseError(errnum::kMapiNoAccess, "the profile is open read-only", kSource);
    auto store = StoreById(storeId);
    if (!store) RaiseError(errnum::kMapiNotFound, "no store " + storeId + " in the profile", kSource);
    store->SetStoreName(name);
    // A connected store's name is also in the profile file, for making its cache again.
    if (connected_.count(store.get())) WriteProfileFile();
    for (const auto& info : Stores())
        if (info.storeId == storeId) return info;
    RaiseError(errnum::kMapiNotFound, "no store " + storeId + " in the profile", kSource);
}

IntegrityReport Profile::CheckIntegrity() {
    IntegrityReport r;
    try {
        CompleteInterruptedMoves(&r.problems);
    } catch (const AutomationError& e) {
        r.problems.push_back("an interrupted move between stores could not be completed: " + e.Description());
    }
    for (const auto& s : stores_) s->CheckIntegrity(r.problems);
    return r;
}

}  // namespace nubra::store
