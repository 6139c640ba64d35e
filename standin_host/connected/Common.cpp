#include "standin_host/connected/Common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <atomic>
#include <cstring>
#include <thread>

#include "standin_host/formats/Mail.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/PrivateFolder.h"
#include "standin_host/store/Profile.h"

namespace nubra::connected {

std::vector<std::optional<store::ItemData>> MakeItems(size_t count,
                                                      const std::function<std::optional<store::ItemData>(size_t)>& make,
                                                      const std::function<std::string(size_t)>& label,
                                                      std::vector<std::string>& warnings) {
    std::vector<std::optional<store::ItemData>> made(count);
    std::vector<std::string> problems(count);
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            try {
                made[i] = make(i);
            } catch (const AutomationError& e) {
                problems[i] = e.Description() + "; skipped";
            } catch (const std::exception& e) {
                problems[i] = "\"" + label(i) + "\": " + e.what() + "; skipped";
            }
        }
    };
    if (count > 64) {
        std::thread helper(work);
        work();
        helper.join();
    } else {
        work();
    }
    for (auto& p : problems)
        if (!p.empty()) warnings.push_back(std::move(p));
    return made;
}

store::ItemData ItemFromHeader(std::string_view header, const std::string& label, Date created) {
    const size_t end = HeaderEnd(header);
    std::string bytes(header.substr(0, end == std::string_view::npos ? header.size() : end));
    if (end == std::string_view::npos) bytes += bytes.ends_with("\n") ? "\n" : "\n\n";
    store::ItemData item = formats::ParseMessage(bytes, label);
    item.Body.reset();  // the header alone says nothing about it
    item.CreationTime = created;
    return item;
}

void CompleteFromMessage(store::ItemData& data, std::string_view message, const std::string& label) {
    data.Body = formats::ParseMessage(message, label).Body;
    data.Source = store::ItemSource::Pack(store::ItemSource::Kind::Mime, message);
}

std::string FolderPathProblem(const std::vector<std::string>& levels) {
    if (levels.size() > kMaxFolderLevels)
        return "it is " + std::to_string(levels.size()) + " levels deep, more than the " +
               std::to_string(kMaxFolderLevels) + " a folder may be";
    size_t path = 0;
    for (const auto& level : levels) {
        if (level.empty()) return "it has a level without a name";
        if (level.size() > kMaxFolderNameBytes)
            return "a level of its name is " + std::to_string(level.size()) + " bytes long, more than the " +
                   std::to_string(kMaxFolderNameBytes) + " a folder's name may be";
        path += level.size() + 1;
    }
    if (path > kMaxFolderPathBytes + 1)
        return "its path is " + std::to_string(path - 1) + " bytes long, more than the " +
               std::to_string(kMaxFolderPathBytes) + " a folder's path may be";
    return {};
}

std::string DirectoryState(int dir) {
    struct stat st{};
    timespec now{};
    if (::fstat(dir, &st) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return {};
    // Two seconds cover the coarsest clocks in use (FAT's) and a file server's running ahead a
    // little; a time in the future is not trusted either.
    if (st.st_mtim.tv_sec > now.tv_sec - 2) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_mtim.tv_sec) +
           "." + std::to_string(st.st_mtim.tv_nsec);
}

int TimeoutSetting(const char* envVar, const std::string& option) {
    const char* env = std::getenv(envVar);
    const bool fromEnv = env && *env;
    const std::string text = fromEnv ? env : option;
    if (text.empty()) return 60;
    const bool digits = text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
    const int seconds = digits ? std::stoi(text) : 0;
    if (seconds < 1 || seconds > 3600)
        RaiseError(errnum::kMapiInvalidParameter,
                   (fromEnv ? std::string(envVar) : std::string("the account's \"timeout\" option")) + " is \"" + text +
                       "\"; it must be a number of seconds from 1 to 3600",
                   kSource);
    return seconds;
}

void FaultPoint(const char* point) {
    static const char* wanted = std::getenv("NUBRA_CONNECTED_FAULT");
    if (!wanted) return;
    if (std::strcmp(wanted, point) == 0) ::_exit(86);
    if (std::strncmp(wanted, "fail:", 5) == 0 && std::strcmp(wanted + 5, point) == 0)
        RaiseError(errnum::kMapiCallFailed, std::string("the connection failed at ") + point + " (a test's fault)", kSource);
}

std::filesystem::path SourceLockFile(const std::string& kind, const std::string& source) {
    return store::RequirePrivateFolder(store::ConnectedCacheDir()) / (kind + "-" + store::NameHash(source) + ".runlock");
}

ChangeLock::~ChangeLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::shared_ptr<void> ChangeLock::Hold() { return Take(true); }
std::shared_ptr<void> ChangeLock::TryHold() { return Take(false); }

std::shared_ptr<void> ChangeLock::Take(bool wait) {
    // Run locks take bytes below 2^30 (one per folder).
    constexpr off_t kChangeByte = off_t{1} << 30;
    auto lock = [this](short type, bool wait) {
        struct flock fl{};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = kChangeByte;
        fl.l_len = 1;
        int rc;
        do {
            rc = ::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    };
    if (fd_ < 0) {
        std::error_code ec;
        std::filesystem::create_directories(file_.parent_path(), ec);
        fd_ = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            RaiseError(errnum::kMapiNoAccess,
                       "cannot open the lock file \"" + file_.string() + "\": " + std::strerror(errno), kSource);
    }
    if (depth_ == 0 && !lock(F_WRLCK, wait)) {
        if (!wait && (errno == EAGAIN || errno == EACCES)) return nullptr;
        RaiseError(errnum::kMapiNoAccess, "cannot lock \"" + file_.string() + "\": " + std::strerror(errno), kSource);
    }
    ++depth_;
    // Not null, so that a taken hold tests true; nothing is deleted.
    return std::shared_ptr<void>(this, [this, lock](void*) {
        if (--depth_ == 0) lock(F_UNLCK, false);
    });
}

}  // namespace nubra::connected
