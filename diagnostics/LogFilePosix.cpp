// The log's file calls on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "diagnostics/LogFile.h"
#include "host/Automation.h"

namespace nubra::detail {
namespace {

// The run-time error a failed file call stands for.
[[noreturn]] void RaiseFileError(int error, const std::string& path) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: RaiseError(errnum::kPathNotFound, {}, path);
        case ENOSPC:
        case EDQUOT: RaiseError(errnum::kDiskFull, {}, path);
        default: RaiseError(errnum::kPathFileAccess, {}, path);
    }
}

}  // namespace

// O_APPEND keeps each entry whole even when another process appends at the same time.
void WriteLogFile(const std::string& path, const std::string& bytes, LogWrite mode) {
    const int openFlags = mode == LogWrite::Append ? O_APPEND : O_TRUNC;
    // Never through a link: one planted in a shared folder would send mail subjects into any
    // file this user may write. The log holds mail subjects, so it is the user's own.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | openFlags, 0600);
    if (fd < 0) RaiseFileError(errno, path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            RaiseFileError(error, path);
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && errno != EINTR) RaiseFileError(errno, path);
}


void MakeLogFolder(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) RaiseFileError(errno, path);
    }
}

}  // namespace nubra::detail
