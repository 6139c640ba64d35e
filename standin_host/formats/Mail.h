// Internet mail in and out: single messages (.eml), mbox files (mboxo, mboxrd, mboxcl and
// mboxcl2: "From " separators with or without quoting, Content-Length honoured where it
// points at the next separator) and Maildir folders (cur/ and new/, Maildir++ ".Sub.Folder"
// subfolders). Messages are read with GMime. One message may be up to kMaxMessageBytes; an
// mbox is read piece by piece, so only its messages are limited, not the file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Formats.h"

namespace nubra::formats {

// One message from its raw bytes. `file` and `firstLine` place errors. Raises FormatError for
// bytes that are no message (binary data, no header at the start, no header field of mail,
// over-long lines). NUL bytes in headers and text bodies show as U+FFFD in the item's texts.
// PR_MESSAGE_FLAGS is set when the message has attachments (MSGFLAG_HASATTACH) or says it was
// read ("Status: RO", MSGFLAG_READ). The item carries no Source: the file readers below add it.
ItemData ParseMessage(std::string_view bytes, const std::string& file, int64_t firstLine = 1);
// The Body ParseMessage gives a message kept as an item's source ("" for none), read as its
// reader read it (`afterEnvelope`: it came after an envelope line). Raises like ParseMessage.
std::string MessageBody(std::string_view bytes, bool afterEnvelope, const std::string& file);

// The readers below keep each message whole: the item's Source is the message as read (for an
// mbox after undoing the ">From " quoting of the variant read), and the "From " line it came
// with is kept beside it.

// A file holding one message (an envelope "From " line before it is allowed). A message whose
// header no empty line ends before the end of the file was cut short and is refused.
std::vector<ItemData> ReadEml(InputFile& file);
std::vector<ItemData> ReadEmlFile(const std::string& path);

// All messages of an mbox file. Any malformed message fails the whole file, its error naming
// the message's number ("message 4: ...") and line; so does a message cut short (one whose
// header no empty line ends before the end of the file or the next "From " line). The file is read
// piece by piece (time and memory for the raw bytes grow with the size of the messages, not
// of the file); the messages are parsed on `threads` threads, the caller's among them.
std::vector<ItemData> ParseMbox(std::string_view data, const std::string& file);
std::vector<ItemData> ReadMbox(InputFile& file, unsigned threads = 1);
std::vector<ItemData> ReadMboxFile(const std::string& path, unsigned threads = 1);
// The same handed over batch by batch in file order (a few hundred messages or some MiB at a
// time), so that memory holds one batch whatever the size of the file. What `take` leaves in
// the vector is dropped. With `refused` given, a message cut short is left out and its error
// added there (in file order) instead of failing the file; the others are handed over.
using MboxBatchSink = std::function<void(std::vector<ItemData>&)>;
using MboxRefusals = std::vector<FormatError>;
void ReadMboxInBatches(InputFile& file, unsigned threads, const MboxBatchSink& take, MboxRefusals* refused = nullptr);

// The line an mbox message starts with, without its line end.
std::string EnvelopeLine(std::string_view line);
// The time of a "From " line ("From sender Mon Jan  1 10:00:00 2024", asctime form, a zone
// "+0100" or "GMT"/"UTC" before or after the year allowed), in UTC: without a zone it is the
// local time of this machine, as mail delivery writes it. nullopt when the line holds no such
// time or an impossible one ("Feb 30", a year before 1970). The readers take it for the
// creation time of the message (else its Date).
std::optional<Date> EnvelopeTime(std::string_view line);
// A message as one mbox entry (mboxrd): `envelope` (a "From " line made up from the item when
// empty is given by the caller), every ">*From " line quoted with one more ">", an empty line
// after it. A message that does not end with a line break gets one: mbox cannot say otherwise.
std::string MboxEntry(const std::string& envelope, std::string_view message);
// A "From " line for a message that came without one: its sender (else MAILER-DAEMON) and the
// time it was sent (else created), in asctime form and local time.
std::string MakeEnvelope(const ItemData& item);

// True when `dir` holds cur/ or new/.
bool IsMaildir(const std::string& dir);

// Where a message's header ends in `bytes`: the offset after its empty line ("\n\n" or
// "\n\r\n"; a header may start with it: no fields), or npos when it does not end within them.
size_t HeaderEnd(std::string_view bytes);

// The message files of one Maildir level (cur/ then new/, sorted by name) and its Maildir++
// subfolders (".A.B" under the top level becomes A/B). Links to folders among the subfolders
// are not followed (".Self -> ." would read everything twice); each is named in `warnings`
// of the top level. Raises FormatError naming the folder when a cur/ or new/ (or the Maildir
// itself) cannot be listed: a Maildir is read whole or not at all.
struct MaildirLayout {
    std::string name;
    std::vector<std::string> files;
    std::vector<MaildirLayout> subfolders;
    std::vector<std::string> warnings;
};
MaildirLayout ScanMaildir(const std::string& dir);

// A whole Maildir read at once (the first bad message fails it).
FolderData ReadMaildir(const std::string& dir);
// One message file of a Maildir, read (MSGFLAG_READ) when it lies in cur/ with the S flag in
// its name, unread otherwise. A header without an empty line after it is a message without a
// body when the file ends with a line break, and refused as cut short when it ends inside a line.
// Its flags (MaildirName.h) go into the item: S read (only in cur/), D a draft
// (MSGFLAG_UNSENT), F flagged (PR_FLAG_STATUS 2), R replied (PR_LAST_VERB_EXECUTED 102); its
// creation time is its delivery time (MaildirDeliveryTime of its name, else the file's
// modification time).
ItemData ReadMaildirMessage(const std::string& path);
// True for a file in cur/ whose name has the S flag.
bool MaildirSeen(const std::string& path);
// The Maildir flags of a mail item, in ASCII order, as ReadMaildirMessage reads them (R also
// for a reply to all): "" for an unread message with none of them.
std::string MaildirFlagsOf(const ItemData& item);

// A message as .eml text made from its properties (CRLF line ends, UTF-8 headers encoded per
// RFC 2047, the body in base64). Keeps Message-ID as it stands, the submit time to the second,
// subject, sender, To and Cc.
std::string WriteEml(const ItemData& item);
// The header block WriteEml starts with (Message-ID, Date, From, To, Cc, Subject, the class of
// what is not mail), each field ending in CRLF; no MIME fields.
std::string MailHeaders(const ItemData& item);

// The message export writes for a mail or post: its source as it came in, a message composed
// from what an Outlook data file held (MessageFromPst), else WriteEml.
std::string MessageBytes(const ItemData& item);

}  // namespace nubra::formats
