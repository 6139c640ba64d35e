// What the connected stores share: the one header mapping (the importers' own, so a mail
// cleans the same whether imported or in place), the error raised for a source, hashing for
// names of caches and locks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Automation.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/TreeDir.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/NameHash.h"

namespace nubra::connected {

inline constexpr const char* kSource = "NubraConnected";

// The item of a mail from its header fields (the bytes up to the empty line; a body may
// follow and is ignored), as `import` makes it, with `created` (UTC) as its creation time.
// Raises FormatError naming `label` for bytes that are no mail header.
store::ItemData ItemFromHeader(std::string_view header, const std::string& label, Date created);
// Completes a cached item from its whole message: the body as `import` reads it, and the
// message itself as the item's source, so that export writes it back byte for byte (with its
// attachments) and the explorer lists them.
void CompleteFromMessage(store::ItemData& data, std::string_view message, const std::string& label);

using formats::HeaderEnd;
using formats::TreeDir;
using formats::UniqueFd;

// The items made of `count` pieces of a source, on two threads when there are many: `make(i)`
// makes item i (or returns nullopt); a piece it cannot make is said in `warnings` (what it
// raises, naming `label(i)`, plus "; skipped"), in order. Nothing escapes a thread.
std::vector<std::optional<store::ItemData>> MakeItems(size_t count,
                                                      const std::function<std::optional<store::ItemData>(size_t)>& make,
                                                      const std::function<std::string(size_t)>& label,
                                                      std::vector<std::string>& warnings);

// How deep and how long a folder a connected store takes from its source: one beyond is passed
// over with a warning naming it. (The store itself refuses a folder deeper than
// StoreDb::kMaxFolderDepth, so that no walk over folders can run out of stack.)
inline constexpr size_t kMaxFolderLevels = 64;
inline constexpr size_t kMaxFolderNameBytes = 255;   // one level
inline constexpr size_t kMaxFolderPathBytes = 1024;  // the levels joined with "\"
// Why folder names `levels` (from the top of the store down) cannot be a folder of a
// connected store: too deep, a level empty or too long, the path too long. Empty when they
// can.
std::string FolderPathProblem(const std::vector<std::string>& levels);

// A request limit in seconds: the environment variable `envVar` when set (for one process),
// else `option` (an account's "timeout"), else 60. Raises kMapiInvalidParameter naming the
// setting when it is no number of seconds from 1 to 3600.
int TimeoutSetting(const char* envVar, const std::string& option);

// The state of a directory for a folder's glance: which directory it is and when it last
// changed. Empty (the folder cannot tell) while that change is too recent to trust: a file
// added within the same tick of the file system's clock would leave the time as it is.
std::string DirectoryState(int dir);

// Run locks take a byte per folder at the hash of its name (below 2^30).
using store::Fnv1a;

// The lock file of a source (`kind` "imap" or "maildir"), beside the caches: run locks and the
// change lock.
std::filesystem::path SourceLockFile(const std::string& kind, const std::string& source);

// Keeps the changes of every process on one source apart. A change holds it from its intent's
// record until the intent is settled (an IMAP run's batch, from its first move until it is
// settled), and a synchronisation holds it while it settles what others left behind (IMAP:
// while it reads the account), so that it never takes a change still under way in another
// process for one cut short. An open-file-description lock on one byte of `file` beyond the run locks'
// bytes: it goes with a killed process.
class ChangeLock {
public:
    explicit ChangeLock(std::filesystem::path file) : file_(std::move(file)) {}
    ~ChangeLock();
    ChangeLock(const ChangeLock&) = delete;
    ChangeLock& operator=(const ChangeLock&) = delete;
    // Waits while another process holds it; held until the returned guard goes. Holds nested
    // in one process are one. Raises kMapiNoAccess when the lock file cannot be opened.
    [[nodiscard]] std::shared_ptr<void> Hold();
    // Like Hold, but gives null at once when another process holds it.
    [[nodiscard]] std::shared_ptr<void> TryHold();

private:
    std::shared_ptr<void> Take(bool wait);
    std::filesystem::path file_;
    int fd_ = -1;
    int depth_ = 0;
};
// Tests end the process at a named point of a change (NUBRA_CONNECTED_FAULT=point, exit code
// 86), to prove that the next run completes or undoes it, or make the source fail there
// (NUBRA_CONNECTED_FAULT=fail:point raises kMapiCallFailed as a dropped connection would).
// Nothing happens in a real run.
void FaultPoint(const char* point);

}  // namespace nubra::connected
