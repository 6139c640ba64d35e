// GMime's headers must come before anything that could define its keywords.
#include "standin_host/formats/MimeUtil.h"

#include "standin_host/formats/Attachments.h"

#include <functional>

#include "host/MAPIUtils.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/PstSource.h"
#include "standin_host/formats/TextUtil.h"

namespace nubra::formats {
namespace {

// A part that is not the message's text: one marked as an attachment or named as a file, or
// anything that is not text (images of an HTML body among them); attached messages whole.
bool IsAttachment(GMimeObject* part) {
    if (GMIME_IS_MESSAGE_PART(part)) return true;
    if (!GMIME_IS_PART(part)) return false;
    if (g_mime_part_is_attachment(GMIME_PART(part)) || g_mime_part_get_filename(GMIME_PART(part))) return true;
    GMimeContentType* type = g_mime_object_get_content_type(part);
    return !type || !g_mime_content_type_is_type(type, "text", "*");
}

// The attachments of a message in order: the parts of multiparts, depth first, not looking
// inside attached messages (those are one attachment each).
void Collect(GMimeObject* part, std::vector<GMimeObject*>& out) {
    if (!part) return;
    if (GMIME_IS_MULTIPART(part)) {
        GMimeMultipart* multi = GMIME_MULTIPART(part);
        for (int i = 0; i < g_mime_multipart_get_count(multi); ++i) Collect(g_mime_multipart_get_part(multi, i), out);
    } else if (IsAttachment(part)) {
        out.push_back(part);
    }
}

std::vector<GMimeObject*> MimeAttachments(GMimeMessage* message) {
    std::vector<GMimeObject*> out;
    Collect(g_mime_message_get_mime_part(message), out);
    return out;
}

std::string MimeContent(GMimeObject* part) {
    if (GMIME_IS_MESSAGE_PART(part)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
        return inner ? WriteMimeObject(GMIME_OBJECT(inner)) : std::string();
    }
    return DecodedContent(GMIME_PART(part));
}

// An unnamed attachment gets a name; an attached message is saved as a whole message, .eml.
void CompleteName(AttachmentInfo& info, size_t index) {
    if (info.name.empty()) info.name = "attachment-" + std::to_string(index + 1) + (info.isMessage ? "" : ".bin");
    if (info.isMessage && !AsciiLower(info.name).ends_with(".eml")) info.name += ".eml";
}

AttachmentInfo MimeInfo(GMimeObject* part, size_t index) {
    AttachmentInfo info;
    GMimeContentType* type = g_mime_object_get_content_type(part);
    if (type) {
        GString_ text(g_mime_content_type_get_mime_type(type));
        if (text) info.mimeType = AsciiLower(text.get());
    }
    info.isMessage = GMIME_IS_MESSAGE_PART(part);
    if (!info.isMessage) {
        if (const char* name = g_mime_part_get_filename(GMIME_PART(part))) info.name = name;
        if (const char* id = g_mime_part_get_content_id(GMIME_PART(part))) info.contentId = id;
    } else if (const char* name = g_mime_object_get_content_disposition_parameter(part, "filename")) {
        info.name = name;
    }
    GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(part);
    info.isInline = !disposition || !g_mime_content_disposition_is_attachment(disposition);
    CompleteName(info, index);
    info.size = MimeContent(part).size();
    return info;
}

GPtr<GMimeMessage> ParseSource(const std::string& bytes) {
    auto message = ParseMime(bytes);
    if (!message) FailFile("an item's source", "GMime cannot read the message");
    return message;
}

// Embedded messages of an Outlook message are saved as the message export composes.
std::string PstContent(const PstAttachment& a) { return a.message ? MessageFromPst(a.message->item, *a.message) : a.data; }

[[noreturn]] void NoSuchAttachment(size_t index) {
    RaiseError(errnum::kMapiInvalidParameter, "the item has no attachment " + std::to_string(index + 1), "Nubrasweep");
}

}  // namespace

bool HasMimeAttachments(_GMimeMessage* message) { return !MimeAttachments(message).empty(); }

std::vector<AttachmentInfo> ListAttachments(const store::ItemSource& source) {
    std::vector<AttachmentInfo> out;
    if (source.kind == store::ItemSource::Kind::Mime) {
        auto message = ParseSource(source.Unpack());
        auto parts = MimeAttachments(message.get());
        for (size_t i = 0; i < parts.size(); ++i) out.push_back(MimeInfo(parts[i], i));
    } else if (source.kind == store::ItemSource::Kind::PstMessage) {
        PstMessage m = DecodePstMessage(source.Unpack());
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            const auto& a = m.attachments[i];
            AttachmentInfo info{a.name, AsciiLower(a.mimeType), a.contentId, PstContent(a).size(), a.isInline,
                                a.message != nullptr};
            if (info.isMessage) info.mimeType = "message/rfc822";
            CompleteName(info, i);
            out.push_back(std::move(info));
        }
    }
    return out;
}

std::string AttachmentContent(const store::ItemSource& source, size_t index) {
    if (source.kind == store::ItemSource::Kind::Mime) {
        auto message = ParseSource(source.Unpack());
        auto parts = MimeAttachments(message.get());
        if (index >= parts.size()) NoSuchAttachment(index);
        return MimeContent(parts[index]);
    }
    if (source.kind == store::ItemSource::Kind::PstMessage) {
        PstMessage m = DecodePstMessage(source.Unpack());
        if (index >= m.attachments.size()) NoSuchAttachment(index);
        return PstContent(m.attachments[index]);
    }
    NoSuchAttachment(index);
}

}  // namespace nubra::formats
