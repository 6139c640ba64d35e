// Outlook data files (.pst, .ost; ANSI and Unicode) read with libpff.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <functional>
#include <vector>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

struct PstReadOptions {
    // The Windows code page of every 8-bit text of the file, for files whose own labels are
    // missing or wrong; 0 takes the labels (see ReadPst). A number ICU does not know raises.
    int32_t codePage = 0;
};

// What libpff could not read and what was therefore left out.
struct PstLoss {
    // The folder it was in: subfolder names below the top joined by "\" ("Inbox\Old"), empty
    // for the top folder itself or for what belongs to no folder.
    std::string folder;
    std::string what;    // "item 6 of 6", "its subfolders", ...
    std::string reason;  // libpff's words or what was found instead
    size_t items = 0;    // items known to be lost (0 when only folders or names are)
    size_t folders = 0;  // folders known to be lost; a subfolder list that cannot be read counts one
};

struct PstFile {
    std::string displayName;  // the message store's display name (may be empty)
    // The folder the user sees as the top ("Top of Personal Folders" or the file's own
    // equivalent); its subfolders are the mail folders.
    FolderData top;
    // The code page of the 8-bit texts that carry none of their own: the override, else the
    // one most of the file's items name, else the file's ANSI code page.
    int32_t codePage = 0;
    // The subfolder indexes from `top` down to the folder the file names as its wastebasket
    // (PR_IPM_WASTEBASKET_ENTRYID); none when it names none inside the top.
    std::optional<std::vector<size_t>> wastebasket;
    // Everything libpff could not read, in file order. Empty for a sound file.
    std::vector<PstLoss> losses;
    // Texts that were not valid in any code page they could be in (or UTF-16 with broken
    // surrogates) and so were read with U+FFFD in place of the bad bytes; where the first one is.
    size_t undecodableTexts = 0;
    std::string firstUndecodable;
    // Property values libpff could not read and that were left out of their items.
    size_t unreadableValues = 0;
};

// Every folder with its container class and every allocated item with all its properties:
// fixed tags (identifier below 0x8000) into extraTagged, numeric named properties into
// extraNamed by (GUID, id) from the file's name-to-id map, the properties the duplicate
// search reads also into the named fields, PR_CREATION_TIME into CreationTime. A contact
// without given name and surname gets them from its display name (SplitFullName).
// 8-bit texts: the override code page when given, else DecodeEightBitText with the item's
// PR_MESSAGE_CODEPAGE and PR_INTERNET_CPID as labels and, after them, the file's most common
// item code page (as AnsiCodePageOf counts them), its other ones by use, the file's own, the
// system's (SystemAnsiCodePage) and 1252; a folder's name takes the code page most of its own
// items name as its label, the store's name none.
// An item or folder libpff cannot read is left out and listed in `losses`, so that the rest
// of a damaged file still comes in. Raises FormatError naming the file for a file libpff
// cannot open or whose folders it cannot reach at all.
// `reading`, when given, is told the items read so far as the file is read (their total is not
// known before).
PstFile ReadPst(const std::string& path, const PstReadOptions& options = {},
                const std::function<void(size_t itemsRead)>& reading = {});

// An 8-bit text in UTF-8, the code page it was read in, and whether its bytes were valid there.
struct EightBitText {
    std::string text;
    int32_t codePage = 0;
    bool valid = false;
};
// Reads `bytes` in the first code page in which they are valid: each of `labels` (the code
// pages an item names) as the Windows code page of its script (AnsiCodePageOf) and as itself,
// in that order for a text with 8-bit bytes and the other way round for a 7-bit one (ISO-2022
// escapes, HZ, UTF-7), then `fallbacks` in order; code pages ICU does not know and the UTF-16
// and UTF-32 labels are passed over (1252 is tried when none is left). When none holds them:
// the first one's reading with U+FFFD for the bad bytes, and `valid` false. ICU's 1252 takes
// every byte, so a candidate list with 1252 in it always ends there.
EightBitText DecodeEightBitText(std::string_view bytes, std::span<const int32_t> labels,
                                std::span<const int32_t> fallbacks);

// The folder `pst.wastebasket` points to, or nullptr.
const FolderData* Wastebasket(const PstFile& pst);

// What a file's losses and decoding problems come to, in words for the user.
struct PstReport {
    // One line per thing left out, its folder named by `topPath` and the path below the top
    // ("Archive\Inbox: item 6 of 6: <reason>").
    std::vector<std::string> skipped;
    size_t skippedFolders = 0;  // as far as known
    size_t skippedItems = 0;    // as far as known
    // Things that lost nothing whole: texts stored with U+FFFD, values left out of items.
    std::vector<std::string> warnings;
};
PstReport ReportOf(const PstFile& pst, const std::string& topPath);

}  // namespace nubra::formats
