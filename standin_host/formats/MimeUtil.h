// GMime pieces the mail reader, the composer of messages from Outlook data files and the
// attachment lister share. Internal to this folder; includes GMime, whose headers must come
// before anything that could define its keywords.
#pragma once

#include <gmime/gmime.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

// g_mime_init, once per process.
void EnsureGMime();

template <typename T>
struct GUnref {
    void operator()(T* p) const {
        if (p) g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GUnref<T>>;
using GObjectRef = GPtr<GMimeObject>;

struct GFree {
    void operator()(char* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFree>;

// Why GMime must not be given `bytes`: a text saying which bound (Formats.h) the message's MIME tree
// exceeds, or nullopt when it keeps within all of them. Looks at the message's lines only
// (its boundaries and Content-Type fields), in time linear in its size and memory bounded by
// its header fields: it counts every line that could be a part boundary in GMime's eyes, so it
// may overcount, never undercount.
std::optional<std::string> MimeTreeBeyondBounds(std::string_view bytes);

// A parsed message of `bytes` (which must outlive nothing: GMime copies them), or nullptr
// (also for one beyond the bounds above).
GPtr<GMimeMessage> ParseMime(std::string_view bytes);
// The same for bytes that MimeTreeBeyondBounds has passed already.
GPtr<GMimeMessage> ParseCheckedMime(std::string_view bytes);

// The bytes of a part after its transfer encoding is undone (still in its charset).
std::string DecodedContent(GMimePart* part);

// New parts (each a new reference): a text part holding `bytes` in `charset`; an attachment
// (base64) with its type (from the name when empty), file name, content ID and disposition;
// a message/rfc822 part holding `message` (nullptr when GMime cannot read it).
GMimeObject* TextPart(const char* subtype, std::string_view bytes, const std::string& charset);
GMimeObject* AttachmentPart(std::string_view data, const std::string& mimeType, const std::string& name,
                            const std::string& contentId, bool isInline);
GMimeObject* MessagePart(std::string_view message, const std::string& name);

// A part or multipart with its own header fields, encoded for 7-bit transport, CRLF line ends.
std::string WriteMimeObject(GMimeObject* object);

// Base64 without line breaks.
std::string Base64(std::string_view data);
// RFC 2047 encoded words of at most 45 bytes of UTF-8 each (the text itself when it is plain
// printable ASCII).
std::string EncodeHeaderText(const std::string& text);
// A display name as a quoted string, or as encoded words when it is not plain ASCII.
std::string DisplayNameText(const std::string& name);
// "Name <address>", or "<address>" without a name.
std::string MailboxText(const std::string& name, const std::string& address);

}  // namespace nubra::formats
