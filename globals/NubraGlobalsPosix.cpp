// The globals' POSIX half: the special folders (with the checks that keep other local users
// from choosing what the log is written into), the module's own folder, the browser look-up.
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "globals/GlobalsPlatform.h"
#include "globals/NubraGlobals.h"

namespace nubra {
namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    struct passwd pw{};
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) return found->pw_dir;
    return {};
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The special folder `path`, made when missing ("with the create flag"). A folder that cannot be
// made or written counts as unavailable, so that a user who cannot write the common folder
// keeps a log of their own.
bool UsableFolder(const std::string& path, std::filesystem::perms mode) {
    if (path.empty() || path.front() != '/') return false;
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        std::filesystem::create_directories(path, ec);
        if (ec) return false;
        std::filesystem::permissions(path, mode, std::filesystem::perm_options::replace, ec);
    }
    return std::filesystem::is_directory(path, ec) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

// The add-in's own folder inside a shared one: fine when it is still to be made, or when it is
// a folder this user can write. Another user's log folder in a writable common folder would
// otherwise make every start-up of this user fail.
bool OwnFolderUsable(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISDIR(st.st_mode) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

// Why the common folder was last passed over as unsafe ("" when it was not).
std::string gCommonFolderRefusal;

// Another local user must not be able to choose what the log is written into: a common folder
// that anyone may write to (without the sticky bit), or a Nubra folder or log file that is a
// link or belongs to someone else, would let them plant a link to any file this user can
// write. Returns why the common folder is unsafe, "" when it is safe.
std::string UnsafeCommonFolder(const std::string& common) {
    const uid_t uid = ::geteuid();
    auto writableByOthers = [](const struct stat& st) {
        return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
    };
    auto ours = [uid](const struct stat& st) { return st.st_uid == uid || st.st_uid == 0; };
    struct stat st{};
    if (::stat(common.c_str(), &st) == 0 && writableByOthers(st))
        return common + " is writable by other users";
    const std::string nubra = common + "/Nubra";
    if (::lstat(nubra.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) return nubra + " is a link";
    if (!S_ISDIR(st.st_mode)) return {};  // not a folder at all: unusable, not unsafe
    if (!ours(st)) return nubra + " belongs to another user";
    if (writableByOthers(st)) return nubra + " is writable by other users";
    const std::string log = nubra + "/Nubra.log";
    if (::lstat(log.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) return log + " is a link";
    if (!ours(st)) return log + " belongs to another user";
    return {};
}

// A folder only this user can reach, for the browser look-up's temporary file: the user's
// runtime folder, else a 0700 folder named for the user under the temporary folder. Raises 75
// when no such folder can be had (another user owns the name, or it is a link).
std::string PrivateTempFolder() {
    const uid_t uid = ::getuid();
    auto isPrivate = [uid](const std::string& path) {
        struct stat st{};
        return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
               (st.st_mode & 077) == 0 && ::access(path.c_str(), W_OK | X_OK) == 0;
    };
    const std::string runtime = WithoutTrailingSlash(EnvOr("XDG_RUNTIME_DIR", ""));
    if (!runtime.empty() && runtime.front() == '/' && isPrivate(runtime)) return runtime;

    std::string base = WithoutTrailingSlash(EnvOr("TMPDIR", "/tmp"));
    if (base.empty() || base.front() != '/') base = "/tmp";
    const std::string folder = base + "/nubra-" + std::to_string(uid);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        RaiseError(errnum::kPathFileAccess, {}, folder);
    if (!isPrivate(folder)) RaiseError(errnum::kPathFileAccess, "Path/File access error: " + folder + " is not private");
    return folder;
}

void Marker() {}

}  // namespace

std::string GetAppDataFolder() {
    const std::string common = WithoutTrailingSlash(EnvOr("NUBRA_COMMON_APPDATA", "/var/lib"));
    gCommonFolderRefusal = common.empty() || common.front() != '/' ? std::string() : UnsafeCommonFolder(common);
    if (gCommonFolderRefusal.empty() && UsableFolder(common, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                 std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                 std::filesystem::perms::others_exec) &&
        OwnFolderUsable(common + "/Nubra"))
        return common;
    std::string local = EnvOr("XDG_DATA_HOME", "");
    if (local.empty() || local.front() != '/') {
        const std::string home = HomeFolder();
        local = home.empty() ? std::string() : home + "/.local/share";
    }
    local = WithoutTrailingSlash(local);
    if (UsableFolder(local, std::filesystem::perms::owner_all)) return local;
    return {};
}

std::string CommonFolderRefusal() { return gCommonFolderRefusal; }

std::string AddinModuleFolder() {
    Dl_info info{};
    std::string file;
    if (::dladdr(reinterpret_cast<void*>(&Marker), &info) != 0 && info.dli_fname && *info.dli_fname)
        file = info.dli_fname;
    std::error_code ec;
    std::filesystem::path resolved = file.empty() ? std::filesystem::path() : std::filesystem::canonical(file, ec);
    if (file.empty() || ec) resolved = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || resolved.empty()) return {};
    return resolved.parent_path().string();
}

namespace detail {

std::string WriteBrowserProbe(const std::string& content) {
    const std::string folder = PrivateTempFolder();
    const std::string tempFile = folder + "/ambtemphtm.HTM";
    // A file left by an earlier run is ours (the folder is private): replace it.
    ::unlink(tempFile.c_str());
    int fd = ::open(tempFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) RaiseError(errnum::kPathFileAccess, {}, tempFile);
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(tempFile.c_str());
        RaiseError(errnum::kPathFileAccess, {}, tempFile);
    }
    return tempFile;
}

// xdg-open found on PATH: it opens web pages and local HTML files alike, so the file itself tells
// nothing more.
std::string FindBrowser(const std::string&) {
    const std::string path = EnvOr("PATH", "/usr/local/bin:/usr/bin:/bin");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        // An empty entry stands for the current folder.
        const std::filesystem::path dir = end == start ? std::filesystem::path(".") : std::filesystem::path(path.substr(start, end - start));
        const std::string candidate = (dir / "xdg-open").string();
        struct stat st{};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace detail

}  // namespace nubra
