// Outlook data files (.pst, .ost; ANSI and Unicode) read with libpff.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
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
// 8-bit texts: the override code page when given, else the first of the item's
// PR_MESSAGE_CODEPAGE, PR_INTERNET_CPID and the file's most common item code page in which
// the text is valid; folder names and the store's name take the file's most common one.
// An item or folder libpff cannot read is left out and listed in `losses`, so that the rest
// of a damaged file still comes in. Raises FormatError naming the file for a file libpff
// cannot open or whose folders it cannot reach at all.
PstFile ReadPst(const std::string& path, const PstReadOptions& options = {});

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
