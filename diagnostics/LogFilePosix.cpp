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

// Never through a link: one planted in a shared folder would send mail subjects into any file
// this user may write. The log holds mail subjects, so it is the user's own.
int OpenLog(const std::string& path, int modeFlag) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | modeFlag, 0600);
    if (fd < 0) RaiseFileError(errno, path);
    return fd;
}

// Writes all of `bytes`; returns 0, or the errno of the failed write.
int WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

// O_APPEND keeps each entry whole even when another process appends at the same time.
void WriteLogFile(const std::string& path, const std::string& bytes, LogWrite mode) {
    int fd = OpenLog(path, mode == LogWrite::Append ? O_APPEND : O_TRUNC);
    if (int error = WriteAll(fd, bytes)) {
        ::close(fd);
        RaiseFileError(error, path);
    }
    if (::close(fd) != 0 && errno != EINTR) RaiseFileError(errno, path);
}

LogAppender::~LogAppender() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void LogAppender::Append(const std::string& bytes) {
    struct stat st{};
    // The name may have come to stand for another file (or none) since the last entry.
    if (handle_ >= 0 && (::lstat(path_.c_str(), &st) != 0 || st.st_dev != device_ || st.st_ino != inode_)) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
    if (handle_ < 0) {
        const int fd = OpenLog(path_, O_APPEND);
        if (::fstat(fd, &st) != 0) {
            const int error = errno;
            ::close(fd);
            RaiseFileError(error, path_);
        }
        handle_ = fd;
        device_ = static_cast<std::uint64_t>(st.st_dev);
        inode_ = static_cast<std::uint64_t>(st.st_ino);
    }
    if (int error = WriteAll(static_cast<int>(handle_), bytes)) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
        RaiseFileError(error, path_);
    }
}

void MakeLogFolder(const std::string& path) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) RaiseFileError(errno, path);
    }
}

}  // namespace nubra::detail
