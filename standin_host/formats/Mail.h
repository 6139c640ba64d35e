// Internet mail in and out: single messages (.eml), mbox files (mboxo, mboxrd, mboxcl and
// mboxcl2: "From " separators with or without quoting, Content-Length honoured where it
// points at the next separator) and Maildir folders (cur/ and new/, Maildir++ ".Sub.Folder"
// subfolders). Messages are read with GMime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

// One message from its raw bytes. `file` and `firstLine` place errors. Raises FormatError for
// bytes that are no message (binary data, no header at the start, over-long lines).
ItemData ParseMessage(std::string_view bytes, const std::string& file, int64_t firstLine = 1);

std::vector<ItemData> ReadEmlFile(const std::string& path);

// All messages of an mbox file. Any malformed message fails the whole file.
std::vector<ItemData> ParseMbox(std::string_view data, const std::string& file);
std::vector<ItemData> ReadMboxFile(const std::string& path);

// True when `dir` holds cur/ or new/.
bool IsMaildir(const std::string& dir);

// The message files of one Maildir level (cur/ then new/, sorted by name) and its Maildir++
// subfolders (".A.B" under the top level becomes A/B).
struct MaildirLayout {
    std::string name;
    std::vector<std::string> files;
    std::vector<MaildirLayout> subfolders;
};
MaildirLayout ScanMaildir(const std::string& dir);

// A whole Maildir read at once (the first bad message fails it).
FolderData ReadMaildir(const std::string& dir);

// A message as .eml text (CRLF line ends, UTF-8 headers encoded per RFC 2047, the body in
// base64). Keeps Message-ID as it stands, the submit time to the second, subject, sender,
// To and Cc.
std::string WriteEml(const ItemData& item);

}  // namespace nubra::formats
