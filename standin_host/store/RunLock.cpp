#include "standin_host/store/RunLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/Upstream.h"

namespace nubra::store {

std::unique_ptr<RunSession> LockFolderForRun(outlook::MAPIFolder& folder) {
    auto& f = AsFolder(folder, "LockFolderForRun");
    // A scan of a damaged store would quietly find fewer duplicates than there are.
    f.Store()->RequireSound();
    std::string file = f.Store()->File().string() + "-runlock";
    off_t byte = static_cast<off_t>(f.Id());
    // Connected store: the lock belongs to the source (two profiles may attach one).
    if (auto* up = f.Store()->GetUpstream()) {
        const auto place = up->RunLockFor(*f.Store(), f.Id());
        file = place.file.string();
        byte = static_cast<off_t>(place.offset);
    }
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        RaiseError(errnum::kMapiNoAccess, "cannot make the lock file \"" + file + "\": " + std::strerror(errno),
                   "NubraStore");
    // An open-file-description lock on the byte at the folder's row id: it belongs to this
    // descriptor (not to the process, so no other descriptor's close drops it) and the
    // system lets go of it when the process ends.
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES)
            RaiseError(errnum::kMapiBusy,
                       "Another removal run is working on folder " + folder.Name() +
                           "; try again when it has finished",
                       "NubraStore");
        RaiseError(errnum::kMapiNoAccess, "cannot lock \"" + file + "\": " + std::strerror(error), "NubraStore");
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
    return std::unique_ptr<RunSession>(new RunSession(fd, std::move(connected)));
}

void RunSession::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_.reset();
}

void RunSession::Finish() {
    // The changes go while the folder is still held.
    auto connected = std::move(connected_);
    try {
        if (connected)
            if (auto* up = connected->GetUpstream()) up->EndRun(*connected);
    } catch (...) {
        Release();
        throw;
    }
    Release();
}

RunSession::~RunSession() {
    try {
        Finish();
    } catch (const AutomationError&) {
        // undone in the cache; Finish is how a caller hears of it
    }
}

}  // namespace nubra::store
