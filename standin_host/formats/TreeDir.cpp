#include "standin_host/formats/TreeDir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "host/Automation.h"
#include "standin_host/formats/Mail.h"

namespace nubra::formats {

namespace {

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, "NubraFiles"); }

// The directory `rel` below `top`: one openat2 that refuses any link and any way out of the
// tree; on a kernel without it, one component at a time with O_NOFOLLOW.
int OpenBeneath(int top, const std::string& rel, int flags) {
    if (rel.empty()) return ::fcntl(top, F_DUPFD_CLOEXEC, 0);
#ifdef SYS_openat2
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, top, rel.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
#endif
    int at = ::fcntl(top, F_DUPFD_CLOEXEC, 0);
    size_t start = 0;
    while (at >= 0 && start <= rel.size()) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) slash = rel.size();
        const std::string part = rel.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            ::close(at);
            errno = EXDEV;
            return -1;
        }
        const bool last = start > rel.size();
        const int next = ::openat(at, part.c_str(), (last ? flags : O_RDONLY | O_DIRECTORY) | O_CLOEXEC | O_NOFOLLOW);
        const int saved = errno;
        ::close(at);
        errno = saved;
        at = next;
    }
    return at;
}

std::string Why(int error) { return error == ELOOP ? "is a link; not followed" : std::strerror(error); }

}  // namespace

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

TreeDir::TreeDir(std::filesystem::path top) : top_(std::move(top)) {
    fd_ = UniqueFd(::open(top_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_)
        Raise(errno == ENOENT ? errnum::kMapiNotFound : errnum::kMapiNoAccess,
              "cannot read \"" + top_.string() + "\": " + std::strerror(errno));
}

UniqueFd TreeDir::Open(const std::string& rel, int& error) const {
    UniqueFd fd(OpenBeneath(fd_.Get(), rel, O_RDONLY | O_DIRECTORY));
    error = fd ? 0 : errno;
    if (error == ENOTDIR) {
        // A link as the last step fails as "not a folder": said as the link it is.
        const UniqueFd path(OpenBeneath(fd_.Get(), rel, O_PATH));
        struct stat st{};
        if (path && ::fstat(path.Get(), &st) == 0 && S_ISLNK(st.st_mode)) error = ELOOP;
    }
    return fd;
}

UniqueFd TreeDir::Require(const std::string& rel) const {
    int error = 0;
    UniqueFd fd = Open(rel, error);
    if (!fd)
        Raise(error == ENOENT ? errnum::kMapiNotFound : errnum::kMapiNoAccess,
              "\"" + Shown(rel).string() + "\" " + (error == ELOOP ? Why(error) : "cannot be opened: " + Why(error)));
    return fd;
}

bool TreeDir::List(int dir, std::vector<Entry>& out, int& error) {
    const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!d) {
        error = errno;
        if (copy >= 0) ::close(copy);
        return false;
    }
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st{};
            if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : 0;
        }
        out.push_back({e->d_name, type});
    }
    ::closedir(d);
    return true;
}

bool TreeDir::IsDir(int dir, const std::string& name) {
    struct stat st{};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool TreeDir::IsMaildir(const std::string& rel) const {
    int error = 0;
    const UniqueFd dir = Open(rel, error);
    return dir && (IsDir(dir.Get(), "cur") || IsDir(dir.Get(), "new"));
}

namespace {
// The regular file `name` of `dir`, opened for reading without following a link and without
// blocking on a FIFO; -1 with `why` otherwise.
int OpenFile(int dir, const std::string& name, std::string& why) {
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = Why(errno);
        return -1;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = "not a regular file";
        return -1;
    }
    return fd;
}
}  // namespace

namespace {
// Reads the regular file `name` of `dir` into `out` until `enough` says the bytes read so far
// (from the offset it is given) hold what is wanted (it then cuts `out` and returns true) or the
// file ends; at most `limit` bytes. False with `why` otherwise.
bool ReadUntil(int dir, const std::string& name, size_t limit, std::string& out, std::string& why,
               const std::function<bool(std::string&, size_t from)>& enough) {
    UniqueFd fd(OpenFile(dir, name, why));
    if (!fd) return false;
    out.clear();
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);  // a read error is no whole message
            return false;
        }
        if (n == 0) return true;
        const size_t before = out.size();
        out.append(buf, static_cast<size_t>(n));
        if (enough(out, before)) return true;
        if (out.size() > limit) {
            why = "larger than " + std::to_string(limit >> 20) + " MiB";  // nor is a cut one
            return false;
        }
    }
}
}  // namespace

bool TreeDir::ReadHeader(int dir, const std::string& name, size_t limit, std::string& out, std::string& why) {
    return ReadUntil(dir, name, limit, out, why, [](std::string& bytes, size_t before) {
        const size_t from = before > 2 ? before - 2 : 0;
        const size_t end = HeaderEnd(std::string_view(bytes).substr(from));
        if (end == std::string_view::npos) return false;
        bytes.resize(from + end);
        return true;
    });
}

bool TreeDir::ReadWhole(int dir, const std::string& name, size_t limit, std::string& out) {
    std::string why;
    return ReadUntil(dir, name, limit, out, why, [](std::string&, size_t) { return false; });
}

std::optional<int64_t> TreeDir::ModifiedAt(int dir, const std::string& name) {
    struct stat st{};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return static_cast<int64_t>(st.st_mtime);
}

bool TreeDir::Rename(int fromDir, const std::string& from, int toDir, const std::string& to) {
    // Never over another file: a name taken in the target means something is wrong.
    if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    struct stat st{};
    if (::fstatat(toDir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0;
}

void TreeDir::MakeMaildir(const std::string& parent, const std::string& name) const {
    const UniqueFd at = Require(parent);
    const std::string rel = parent.empty() ? name : parent + "/" + name;
    auto fail = [&](const std::string& what, int error) {
        Raise(error == ENOSPC ? errnum::kMapiDiskError : errnum::kMapiNoAccess,
              "cannot create the maildir folder \"" + Shown(rel).string() + "\"" + what + ": " + Why(error));
    };
    if (::mkdirat(at.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) fail("", errno);
    int error = 0;
    const UniqueFd dir = Open(rel, error);
    if (!dir) fail("", error);
    for (const char* sub : {"cur", "new", "tmp"}) {
        if (::mkdirat(dir.Get(), sub, 0700) != 0 && errno != EEXIST) fail(std::string(" (") + sub + ")", errno);
        if (!IsDir(dir.Get(), sub)) fail(std::string(" (") + sub + ")", ELOOP);
    }
}

void TreeDir::RemoveMaildir(const std::string& rel, const std::function<bool(const std::string&)>& removable) const {
    int error = 0;
    const UniqueFd dir = Open(rel, error);
    if (!dir) {
        if (error == ENOENT) return;
        Raise(errnum::kMapiNoAccess, "cannot remove the folder \"" + Shown(rel).string() + "\": " + Why(error));
    }
    auto fail = [&](const std::string& what, int e) {
        Raise(errnum::kMapiNoAccess,
              "cannot remove the folder \"" + Shown(rel).string() + "\": " + what + (e ? ": " + Why(e) : std::string()));
    };
    for (const char* sub : {"cur", "new", "tmp"})
        if (::unlinkat(dir.Get(), sub, AT_REMOVEDIR) != 0 && errno != ENOENT)
            fail(std::string(sub) + "/ is not empty or cannot be removed", errno);
    std::vector<Entry> left;
    if (!List(dir.Get(), left, error)) fail("it cannot be read", error);
    for (const auto& e : left) {
        if (e.type != DT_REG || !removable(e.name))
            fail("it holds \"" + e.name + "\"", 0);
        if (::unlinkat(dir.Get(), e.name.c_str(), 0) != 0 && errno != ENOENT) fail(e.name, errno);
    }
    const size_t slash = rel.rfind('/');
    const UniqueFd parent = Require(slash == std::string::npos ? std::string() : rel.substr(0, slash));
    const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    if (::unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) fail("", errno);
}

}  // namespace nubra::formats
