#include "standin_host/store/RunLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/Upstream.h"

namespace nubra::store {

namespace {

// Where a folder's run lock lives: a byte of the lock file beside the store, or the source's
// for a connected store (two profiles may attach one).
Upstream::LockPlace LockPlaceOf(StoreDb& store, int64_t folder) {
    if (auto* up = store.GetUpstream()) return up->RunLockFor(store, folder);
    return {store.File().string() + "-runlock", folder};
}

int OpenLockFile(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        RaiseError(errnum::kMapiNoAccess, "cannot make the lock file \"" + file + "\": " + std::strerror(errno),
                   "NubraStore");
    return fd;
}

// Locks the byte at `offset` of the lock file open as `fd` (`file`); raises as LockFolderForRun
// says, leaving `fd` open.
void LockByte(int fd, const std::string& file, int64_t offset, const std::string& folderName) {
    // An open-file-description lock on the byte at the folder's row id: it belongs to this
    // descriptor (not to the process, so no other descriptor's close drops it) and the
    // system lets go of it when the process ends.
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return;
    const int error = errno;
    if (error == EAGAIN || error == EACCES)
        RaiseError(errnum::kMapiBusy,
                   "Another removal run is working on folder " + folderName + "; try again when it has finished",
                   "NubraStore");
    RaiseError(errnum::kMapiNoAccess, "cannot lock \"" + file + "\": " + std::strerror(error), "NubraStore");
}
}  // namespace

std::unique_ptr<RunSession> LockFolderForRun(outlook::MAPIFolder& folder) {
    auto& f = AsFolder(folder, "LockFolderForRun");
    // A scan of a damaged store would quietly find fewer duplicates than there are.
    f.Store()->RequireSound();
    const auto place = LockPlaceOf(*f.Store(), f.Id());
    const int fd = OpenLockFile(place.file.string());
    try {
        LockByte(fd, place.file.string(), place.offset, folder.Name());
    } catch (...) {
        ::close(fd);
        throw;
    }
    // Connected store: the run starts from what the source holds now (Upstream.h); a source
    // that cannot be reached stops the run before anything is looked at.
    std::shared_ptr<StoreDb> connected;
    if (auto* up = f.Store()->GetUpstream()) {
        up->BeginRun(*f.Store());
        try {
            up->Synchronise(*f.Store());
        } catch (...) {
            try {
                up->EndRun(*f.Store());
            } catch (const AutomationError&) {
                // nothing was put off yet
            }
            ::close(fd);
            throw;
        }
        connected = f.Store();
    }
    std::unique_ptr<RunSession> session(new RunSession(fd, std::move(connected)));
    f.Store()->BeginGroupedChanges();
    session->grouped_ = f.Store();
    return session;
}

void RunSession::Release() {
    if (auto grouped = std::move(grouped_)) {
        try {
            grouped->EndGroupedChanges();
        } catch (const AutomationError&) {
            // undone in the store; Finish is how a caller hears of it
        }
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_.reset();
}

void RunSession::Finish() {
    // The changes go while the folder is still held; the group ends whatever sending did.
    auto connected = std::move(connected_);
    auto grouped = std::move(grouped_);
    std::exception_ptr failure;
    try {
        if (connected)
            if (auto* up = connected->GetUpstream()) up->EndRun(*connected);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        if (grouped) grouped->EndGroupedChanges();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    Release();
    if (failure) std::rethrow_exception(failure);
}

RunSession::~RunSession() {
    try {
        Finish();
    } catch (const AutomationError&) {
        // undone in the cache; Finish is how a caller hears of it
    }
}

std::shared_ptr<void> HoldStoreAgainstRuns(StoreDb& store) {
    // One descriptor per lock file (folders may share a place, as a Maildir's top and its
    // Inbox do), closed again, letting go of the locks, when one is refused.
    auto held = std::shared_ptr<std::map<std::string, int>>(new std::map<std::string, int>, [](auto* fds) {
        for (const auto& [file, fd] : *fds) ::close(fd);
        delete fds;
    });
    std::set<std::pair<std::string, int64_t>> locked;
    std::vector<int64_t> folders{store.RootFolder()};
    for (size_t i = 0; i < folders.size(); ++i)
        for (int64_t sub : store.Subfolders(folders[i])) folders.push_back(sub);
    for (int64_t folder : folders) {
        const auto place = LockPlaceOf(store, folder);
        const std::string file = place.file.string();
        if (!locked.insert({file, place.offset}).second) continue;
        auto fd = held->find(file);
        if (fd == held->end()) fd = held->emplace(file, OpenLockFile(file)).first;
        LockByte(fd->second, file, place.offset, store.Folder(folder).name);
    }
    return held;
}

}  // namespace nubra::store
