#include "standin_host/cli/Snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "host/Automation.h"
#include "standin_host/cli/Output.h"
#include "standin_host/store/PrivateFolder.h"

namespace nubra::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "dry-run-";

// The folder of the snapshots, "" when the environment names none.
fs::path CacheBase() {
    if (const char* x = std::getenv("XDG_CACHE_HOME"); x && *x == '/') return fs::path(x) / "nubrasweep";
    if (const char* h = std::getenv("HOME"); h && *h) return fs::path(h) / ".cache" / "nubrasweep";
    return {};
}

// A dry run's snapshot holds copies of stores: in the user's private cache folder only.
fs::path CacheDir() {
    const fs::path base = CacheBase();
    if (base.empty()) throw CommandError{"no folder for a dry run's snapshot: set XDG_CACHE_HOME or HOME"};
    return store::RequirePrivateFolder(base);
}

// When the process `pid` started (clock ticks after boot, as /proc gives it), nullopt when no
// such process runs. Together with the pid it names one process for good.
std::optional<unsigned long long> StartTime(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return std::nullopt;
    // The name in brackets may hold anything; the fields after it are numbers.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // State is the 3rd field, the start time the 22nd.
    for (int i = 3; i < 22 && fields >> field; ++i) {
    }
    unsigned long long start = 0;
    if (!(fields >> start)) return std::nullopt;
    return start;
}

// The path of this process's snapshot while it may exist, for the signal handler.
char gSnapshotPath[4096];
volatile sig_atomic_t gSnapshotSet = 0;

// Removes `name` in the folder `parent` and everything below it with system calls alone (no
// allocation, no locks), as a signal handler may. Links are removed, never followed.
void RemoveTreeAt(int parent, const char* name, int depth) {
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return;
    if (errno != EISDIR || depth > 8) return;
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        // Read again from the start after each pass: removing entries while reading may skip some.
        for (int pass = 0; pass < 64; ++pass) {
            alignas(struct dirent64) char buffer[4096];
            bool removed = false;
            ::lseek(fd, 0, SEEK_SET);
            for (ssize_t n; (n = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
                for (ssize_t at = 0; at < n;) {
                    const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                    at += entry->d_reclen;
                    const char* child = entry->d_name;
                    if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0) continue;
                    RemoveTreeAt(fd, child, depth + 1);
                    removed = true;
                }
            }
            if (!removed) break;
        }
        ::close(fd);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

void RemoveSnapshotNow() {
    if (gSnapshotSet) RemoveTreeAt(AT_FDCWD, gSnapshotPath, 0);
}

void ClearDeadSnapshots() {
    try {
        const fs::path base = CacheBase();
        std::error_code ec;
        if (base.empty() || !fs::is_directory(base, ec)) return;
        store::RequirePrivateFolder(base);
        for (const auto& entry : fs::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename().string();
            unsigned long pid = 0;
            unsigned long long start = 0;
            char end = 0;
            if (name.rfind(kPrefix, 0) != 0 ||
                std::sscanf(name.c_str() + std::strlen(kPrefix), "%lu-%llu%c", &pid, &start, &end) != 2)
                continue;
            if (StartTime(static_cast<pid_t>(pid)) == start) continue;  // still running
            fs::remove_all(entry.path(), ec);
        }
    } catch (const AutomationError&) {
        // Not a folder of ours to clear: left alone, as the dry run will leave it.
    } catch (const std::exception&) {
    }
}

Snapshot::Snapshot(const store::Profile& real, const std::function<bool(const store::StoreInfo&)>& copy) {
    const fs::path base = CacheDir();
    const auto start = StartTime(::getpid());
    dir_ = base / (kPrefix + std::to_string(::getpid()) + "-" + std::to_string(start.value_or(0)));
    // Known to the signal handler before there is anything to remove.
    const std::string path = dir_.string();
    if (path.size() >= sizeof gSnapshotPath) throw CommandError{"the cache folder's path is too long: " + base.string()};
    std::memcpy(gSnapshotPath, path.c_str(), path.size() + 1);
    gSnapshotSet = 1;
    if (::mkdir(dir_.c_str(), 0700) != 0) {
        gSnapshotSet = 0;
        throw CommandError{"cannot make a folder for the dry run in " + base.string() + ": " + std::strerror(errno)};
    }
    try {
        real.SnapshotTo(dir_ / "profile", copy);
        profile_ = store::Profile::Open(dir_ / "profile");
    } catch (...) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        gSnapshotSet = 0;
        throw;
    }
}

Snapshot::~Snapshot() {
    std::error_code ec;
    profile_.reset();
    fs::remove_all(dir_, ec);
    gSnapshotSet = 0;
}

std::string Snapshot::KeepLog() const {
    const fs::path log = dir_ / "Nubra" / "Nubra.log";
    const fs::path kept = dir_.parent_path() / "dry-run.log";
    std::error_code ec;
    if (!fs::exists(log, ec)) return {};
    fs::rename(log, kept, ec);
    return ec ? std::string() : kept.string();
}

}  // namespace nubra::cli
