#include "standin_host/formats/MimeUtil.h"

#include <algorithm>
#include <mutex>

#include "standin_host/formats/TextUtil.h"

namespace nubra::formats {

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

GPtr<GMimeMessage> ParseMime(std::string_view bytes) {
    EnsureGMime();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

std::string DecodedContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    GPtr<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, stream.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    std::string text;
    if (bytes && bytes->len) text.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
    return text;
}

namespace {

void SetContent(GMimePart* part, std::string_view bytes) {
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, wrapper.get());
}

// The type of a file by its name, for attachments the data file gives none.
std::string TypeByName(const std::string& name) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"}, {".png", "image/png"},   {".gif", "image/gif"},
        {".pdf", "application/pdf"}, {".txt", "text/plain"}, {".htm", "text/html"}, {".html", "text/html"},
        {".ics", "text/calendar"}, {".vcf", "text/vcard"}, {".zip", "application/zip"}, {".eml", "message/rfc822"}};
    const std::string lower = AsciiLower(name);
    for (const auto& [ext, type] : kTypes)
        if (lower.ends_with(ext)) return type;
    return "application/octet-stream";
}

}  // namespace

GMimeObject* TextPart(const char* subtype, std::string_view bytes, const std::string& charset) {
    EnsureGMime();
    GMimeTextPart* part = g_mime_text_part_new_with_subtype(subtype);
    SetContent(GMIME_PART(part), bytes);
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", charset.c_str());
    g_mime_part_set_content_encoding(GMIME_PART(part),
                                     g_mime_part_get_best_content_encoding(GMIME_PART(part), GMIME_ENCODING_CONSTRAINT_7BIT));
    return GMIME_OBJECT(part);
}

GMimeObject* AttachmentPart(std::string_view data, const std::string& mimeType, const std::string& name,
                            const std::string& contentId, bool isInline) {
    EnsureGMime();
    std::string type = mimeType.find('/') != std::string::npos ? mimeType : TypeByName(name);
    GPtr<GMimeContentType> contentType(g_mime_content_type_parse(nullptr, type.c_str()));
    GMimePart* part = contentType ? g_mime_part_new_with_type(g_mime_content_type_get_media_type(contentType.get()),
                                                              g_mime_content_type_get_media_subtype(contentType.get()))
                                  : g_mime_part_new_with_type("application", "octet-stream");
    SetContent(part, data);
    g_mime_object_set_disposition(GMIME_OBJECT(part), isInline ? GMIME_DISPOSITION_INLINE : GMIME_DISPOSITION_ATTACHMENT);
    if (!name.empty()) g_mime_part_set_filename(part, name.c_str());
    if (!contentId.empty()) g_mime_part_set_content_id(part, contentId.c_str());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    return GMIME_OBJECT(part);
}

GMimeObject* MessagePart(std::string_view message, const std::string& name) {
    GPtr<GMimeMessage> parsed = ParseMime(message);
    if (!parsed) return nullptr;
    GMimeMessagePart* part = g_mime_message_part_new_with_message("rfc822", parsed.get());
    g_mime_object_set_disposition(GMIME_OBJECT(part), GMIME_DISPOSITION_ATTACHMENT);
    if (!name.empty()) g_mime_object_set_content_disposition_parameter(GMIME_OBJECT(part), "filename", name.c_str());
    return GMIME_OBJECT(part);
}

std::string WriteMimeObject(GMimeObject* object) {
    EnsureGMime();
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    GString_ text(g_mime_object_to_string(object, options));
    g_mime_format_options_free(options);
    return text ? std::string(text.get()) : std::string();
}

std::string Base64(std::string_view data) {
    static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += i + 1 < data.size() ? kB64[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? kB64[v & 63] : '=';
    }
    return out;
}

std::string EncodeHeaderText(const std::string& text) {
    bool plain = !text.empty() && text.size() < 900 && text.front() != ' ' && text.back() != ' ' &&
                 text.find("=?") == std::string::npos && text.find("  ") == std::string::npos;
    for (unsigned char c : text)
        if (c < 32 || c > 126) plain = false;
    if (plain) return text;
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t take = std::min<size_t>(45, text.size() - pos);
        while (pos + take < text.size() && (static_cast<unsigned char>(text[pos + take]) & 0xC0) == 0x80) --take;
        if (take == 0) take = 1;
        std::string_view chunk(text.data() + pos, take);
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(chunk) + "?=";
        pos += take;
    }
    return out;
}

std::string DisplayNameText(const std::string& name) {
    std::string encoded = EncodeHeaderText(name);
    if (encoded != name) return encoded;
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string MailboxText(const std::string& name, const std::string& address) {
    if (name.empty() || name == address) return "<" + address + ">";
    return DisplayNameText(name) + " <" + address + ">";
}

}  // namespace nubra::formats
