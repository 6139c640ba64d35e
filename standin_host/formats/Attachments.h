// The attachments of an item, read from its source: the parts of an Internet message that are
// not its body (named files, parts that are no text, attached messages), or what an Outlook
// data file listed. For the item window and the tests; export writes sources whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "standin_host/store/ItemSource.h"

struct _GMimeMessage;

namespace nubra::formats {

struct AttachmentInfo {
    std::string name;  // the file name it came with ("attachment-2.bin" when none; ".eml" added to a message's)
    std::string mimeType;
    std::string contentId;
    uint64_t size = 0;       // bytes of AttachmentContent
    bool isInline = false;   // shown within the body
    bool isMessage = false;  // an attached message, saved as .eml
};

// In order of appearance. Raises FormatError / kMapiCorruptData for a damaged source. A vCard
// or iCalendar source has none.
std::vector<AttachmentInfo> ListAttachments(const store::ItemSource& source);
// The bytes of attachment `index` (transfer encoding undone; an attached message as a whole
// message). Raises kMapiInvalidParameter for an index out of range.
std::string AttachmentContent(const store::ItemSource& source, size_t index);

// True when the parsed message has a part ListAttachments would list.
bool HasMimeAttachments(_GMimeMessage* message);

}  // namespace nubra::formats
