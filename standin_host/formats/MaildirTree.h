// The folders of a Maildir tree, for every reader of Maildir trees (the importer and the tree
// cleaned in place): which layout it has, and which maildirs it holds, found through directory
// handles (TreeDir) without following a link.
//
// Layouts: Maildir++ (".Sub.Folder" directories beside the top's cur/new/tmp, as Dovecot and
// Courier write; the top maildir is the Inbox) and nested maildirs ("Work/INBOX/{cur,new,tmp}",
// as mbsync and offlineimap write).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "standin_host/formats/TreeDir.h"

namespace nubra::formats {

enum class MaildirLayoutKind { MaildirPlusPlus, Nested };

// The layout of the tree. Raises kMapiNotFound when it does not exist, kMapiInvalidParameter
// when it holds no maildir at all.
MaildirLayoutKind DetectMaildirLayout(const TreeDir& tree);
const char* LayoutName(MaildirLayoutKind kind);

// A folder of the tree: its directory relative to the top ("" for the top maildir), the
// folder names leading to it, and whether it is a maildir itself (not only a folder of them).
struct MaildirFolder {
    std::string dir;
    std::vector<std::string> names;
    bool holdsMail = true;
};

// How a tree's folders are named.
struct MaildirNaming {
    // The top maildir is "Inbox" and a Maildir++ ".INBOX.X" is X under it (a tree in place);
    // else the top is the folder the tree is read into (names {}), ".INBOX.X" is INBOX\X.
    bool topIsInbox = true;
    std::string duplicatesName;  // a folder of this name beside the top's is the top's (nested)
    size_t maxDepth = 64;        // folders below this are passed over with a warning
    // A folder that cannot be read raises kMapiNoAccess naming it (a tree read whole or not at
    // all) instead of being passed over with a warning.
    bool strict = false;
    // How a link passed over is said; by default "\"<path>\" is a link; not followed".
    std::function<std::string(const std::filesystem::path&)> linkWarning;
};


// Every folder of the tree, parents before children; what is passed over (a link, a folder too
// deep, one that cannot be read) is said in `warnings`, a line each naming it. Raises
// kMapiNoAccess when the top cannot be read, kMapiNotFound when the tree holds no maildir.
std::vector<MaildirFolder> ListMaildirFolders(const TreeDir& tree, MaildirLayoutKind layout, const MaildirNaming& naming,
                                              std::vector<std::string>& warnings);

}  // namespace nubra::formats
