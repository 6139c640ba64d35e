#include "standin_host/store/PrivateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "host/Automation.h"

namespace nubra::store {

namespace {
constexpr const char* kSource = "NubraStore";

[[noreturn]] void Refuse(const std::filesystem::path& path, const std::string& why) {
    RaiseError(errnum::kMapiNoAccess, "\"" + path.string() + "\" " + why + "; it is not used", kSource);
}

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Why the existing directory entry `dir` is no safe private folder, "" when it is one.
std::string Unsafe(const std::filesystem::path& dir) {
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0) return std::string("cannot be read: ") + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return "is a link";
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
    if (st.st_uid != ::geteuid()) return "belongs to another user";
    if (WritableByOthers(st)) return "is writable by other users";
    const auto parent = dir.parent_path();
    if (parent != dir && ::stat(parent.c_str(), &st) == 0 && WritableByOthers(st) && (st.st_mode & S_ISVTX) == 0)
        return "is in a folder other users may write to (" + parent.string() + ")";
    return {};
}
}  // namespace

std::filesystem::path RequirePrivateFolder(const std::filesystem::path& dir) {
    const auto absolute = std::filesystem::absolute(dir).lexically_normal();
    std::filesystem::path path = absolute;
    if (!path.has_filename()) path = path.parent_path();
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) Refuse(path, std::string("cannot be read: ") + std::strerror(errno));
        // The parents as any program makes them; the folder itself private from the start.
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            Refuse(path, std::string("cannot be made: ") + std::strerror(errno));
    }
    if (const auto why = Unsafe(path); !why.empty()) Refuse(path, why);
    return path;
}

int OpenPrivateFile(const std::filesystem::path& file, bool create) {
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    if (create) flags |= O_CREAT;
    const int fd = ::open(file.c_str(), flags, 0600);
    if (fd < 0) {
        if (errno == ENOENT && !create) return -1;
        if (errno == ELOOP) Refuse(file, "is a link");
        RaiseError(errnum::kMapiNoAccess, "cannot open \"" + file.string() + "\": " + std::strerror(errno), kSource);
    }
    struct stat st{};
    std::string why;
    if (::fstat(fd, &st) != 0) why = std::string("cannot be read: ") + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) why = "is not a regular file";
    else if (st.st_uid != ::geteuid()) why = "belongs to another user";
    else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) why = "cannot be made private";
    if (!why.empty()) {
        ::close(fd);
        Refuse(file, why);
    }
    // Back to blocking: the descriptor is a regular file of ours.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace nubra::store
