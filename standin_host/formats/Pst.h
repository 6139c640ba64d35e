// Outlook data files (.pst, .ost; ANSI and Unicode) read with libpff.
#pragma once

#include <string>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

struct PstFile {
    std::string displayName;  // the message store's display name (may be empty)
    // The folder the user sees as the top ("Top of Personal Folders" or the file's own
    // equivalent); its subfolders are the mail folders.
    FolderData top;
    int32_t codePage = 0;  // the file's ANSI code page
};

// Every folder with its container class and every allocated item with all its properties:
// fixed tags (identifier below 0x8000) into extraTagged, numeric named properties into
// extraNamed by (GUID, id) from the file's name-to-id map, the properties the duplicate
// search reads also into the named fields, PR_CREATION_TIME into CreationTime. 8-bit strings
// are decoded from the item's code page (PR_MESSAGE_CODEPAGE, PR_INTERNET_CPID) or the
// file's. Raises FormatError naming the file for a file libpff cannot read.
PstFile ReadPst(const std::string& path);

}  // namespace nubra::formats
