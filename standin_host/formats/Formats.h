// Items and folders read from files, as the readers hand them over.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "standin_host/store/ItemData.h"

namespace nubra::formats {

using store::ItemData;

// A folder with its items and subfolders, for sources that have a hierarchy (Maildir++,
// .pst/.ost). `defaultItemType` is the OlItemType the container class stands for.
struct FolderData {
    std::string name;
    std::string containerClass;  // "IPF.Note", "IPF.Contact", ... (empty: mail)
    int32_t defaultItemType = 0;
    std::vector<ItemData> items;
    std::vector<FolderData> subfolders;
};

// OlItemType for a container class: IPF.Note 0, IPF.Appointment 1, IPF.Contact 2, IPF.Task 3,
// IPF.Journal 4, IPF.StickyNote 5; anything else 0.
int32_t DefaultItemTypeForContainerClass(const std::string& containerClass);

// Total items in a folder and its subfolders.
size_t CountItems(const FolderData& folder);

// Raw properties the readers keep beside the named fields.
inline constexpr uint32_t PR_SENDER_EMAIL_ADDRESS = 0x0C1F001E;
inline constexpr uint32_t PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
inline constexpr uint32_t PR_CREATION_TIME = 0x30070040;
inline constexpr uint32_t PR_BODY_HTML = 0x1013001E;
inline constexpr uint32_t PR_CONTAINER_CLASS = 0x3613001E;
inline constexpr uint32_t PR_MESSAGE_CLASS = 0x001A001E;
// The follow-up flag (2: flagged, 1: done) and what was last done with a message (102 a reply
// to the sender, 103 to all, 104 a forward): what Maildir's F and R flags stand for.
inline constexpr uint32_t PR_FLAG_STATUS = 0x10900003;
inline constexpr uint32_t PR_LAST_VERB_EXECUTED = 0x10810003;
inline constexpr int64_t kFlagStatusFlagged = 2;
inline constexpr int64_t kVerbReplyToSender = 102;
inline constexpr int64_t kVerbReplyToAll = 103;
// PR_MESSAGE_FLAGS: not sent yet (a draft). MSGFLAG_READ and MSGFLAG_HASATTACH are the store's.
inline constexpr int64_t MSGFLAG_UNSENT = 0x08;

// Size limits of what is read into memory at once. No mail program writes a message of this
// size, and no contact or calendar file grows to it; the limits keep a wrong file (a disk
// image, a sparse file) from taking the machine's memory before its first error shows.
inline constexpr uint64_t kMaxMessageBytes = uint64_t{256} << 20;   // one mail message
inline constexpr uint64_t kMaxTextFileBytes = uint64_t{256} << 20;  // one vCard or iCalendar file
// The largest MIME tree a message may have. GMime builds the whole tree at once, some hundred
// bytes of memory per part and a stack frame per level: a few megabytes of "--b" lines would
// otherwise take gigabytes, and deep nesting the stack. No mail program writes a message near
// either bound; header fields are bounded with the parts they belong to.
inline constexpr size_t kMaxMimeParts = 10000;
inline constexpr size_t kMaxMimeDepth = 100;
inline constexpr size_t kMaxMimeHeaderFields = 20 * kMaxMimeParts;

// A file opened for reading that is a regular file. Anything else is refused before a byte is
// read: a FIFO would block for ever, a device such as /dev/zero never ends, a folder is no file.
// A symbolic link is followed (a link to a regular file is fine). Every error names the file.
class InputFile {
public:
    // Raises FormatError: no such file, not a regular file, cannot be opened.
    explicit InputFile(std::string path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& Path() const noexcept { return path_; }
    // The size when it was opened.
    uint64_t Size() const noexcept { return size_; }
    // Up to `n` bytes from the current position; fewer only at the end. Raises FormatError.
    size_t Read(char* buffer, size_t n);
    // The first `n` bytes (or the whole file when shorter), without moving the position.
    std::string Head(size_t n);
    // The rest of the file; FormatError naming the file when it holds more than `limit` bytes
    // (`what` says what the limit is for: "one message").
    std::string ReadAll(uint64_t limit, const char* what);

private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// "256 MiB", for messages about the limits.
std::string ByteSizeText(uint64_t bytes);

// One entry of a folder; `type` is the entry's own (a symbolic link is not followed).
struct FolderEntry {
    std::filesystem::path path;
    std::filesystem::file_type type = std::filesystem::file_type::none;
};
// The entries of `dir`, sorted by name. Raises FormatError naming the folder when it cannot
// be listed (whole or in part): a folder that cannot be read is never taken for an empty one.
std::vector<FolderEntry> ListFolder(const std::filesystem::path& dir);

// The warning for a link to a folder met inside a folder being read. Such links are not
// followed: "ln -s . loop" would otherwise be read for ever, and a link to a sibling twice.
std::string LinkNotFollowedWarning(const std::filesystem::path& link);

}  // namespace nubra::formats
