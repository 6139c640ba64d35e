#include "standin_host/formats/MimeUtil.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "standin_host/formats/TextUtil.h"

namespace nubra::formats {

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

namespace {

// Walks the lines of a message the way GMime's parser will build its tree, counting parts,
// levels and header fields. Wherever GMime's reading could differ from this one (several
// Content-Type fields in one header, a part whose header never ends), it takes the reading
// that gives the larger tree.
class MimeOutline {
public:
    std::optional<std::string> Check(std::string_view bytes) {
        frames_.push_back(Frame{});  // the message itself
        size_t pos = 0;
        while (pos < bytes.size()) {
            const char* nl = static_cast<const char*>(std::memchr(bytes.data() + pos, '\n', bytes.size() - pos));
            const size_t end = nl ? static_cast<size_t>(nl - bytes.data()) : bytes.size();
            std::string_view line = bytes.substr(pos, end - pos);
            pos = end + 1;
            if (line.starts_with("--") && Delimiter(line)) {
                if (parts_ > kMaxMimeParts)
                    return "more than " + std::to_string(kMaxMimeParts) + " MIME parts (refused before reading them)";
                continue;
            }
            if (!inHeader_) continue;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty()) {
                EndOfHeader();
                if (frames_.size() > kMaxMimeDepth)
                    return "MIME parts nested more than " + std::to_string(kMaxMimeDepth) + " deep (refused before reading them)";
                if (parts_ > kMaxMimeParts)
                    return "more than " + std::to_string(kMaxMimeParts) + " MIME parts (refused before reading them)";
            } else if (line[0] == ' ' || line[0] == '\t') {
                if (collecting_) {
                    if (types_.back().size() + line.size() > kMaxFieldBytes)
                        return "a Content-Type header field longer than " + std::to_string(kMaxFieldBytes) + " bytes";
                    types_.back().append(line);
                }
            } else {
                if (++fields_ > kMaxMimeHeaderFields)
                    return "more than " + std::to_string(kMaxMimeHeaderFields) + " header fields (refused before reading them)";
                collecting_ = false;
                const size_t colon = line.find(':');
                if (colon == std::string_view::npos) continue;
                std::string_view name = line.substr(0, colon);
                while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
                if (name.size() == 12 && g_ascii_strncasecmp(name.data(), "content-type", 12) == 0) {
                    if (line.size() - colon > kMaxFieldBytes)
                        return "a Content-Type header field longer than " + std::to_string(kMaxFieldBytes) + " bytes";
                    types_.emplace_back(line.substr(colon + 1));
                    collecting_ = true;
                }
            }
        }
        return std::nullopt;
    }

private:
    static constexpr size_t kMaxFieldBytes = size_t{64} << 10;

    struct Frame {
        std::vector<std::string> boundaries;  // empty: a message (the top one or an embedded one)
        bool digest = false;                  // multipart/digest: a part without a type is a message
    };

    // A line "--boundary" or "--boundary--" (trailing white space allowed) of any multipart
    // the line lies in, innermost first: handled, true. Anything else: false.
    bool Delimiter(std::string_view line) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
        std::string_view rest = line.substr(2);
        auto found = where_.find(std::string(rest));
        bool closing = false;
        if (found == where_.end() && rest.size() >= 2 && rest.ends_with("--")) {
            found = where_.find(std::string(rest.substr(0, rest.size() - 2)));
            closing = true;
        }
        if (found == where_.end()) return false;
        const size_t frame = found->second.back();
        // Every level inside the multipart ends here; a closing line ends the multipart too.
        Pop(closing ? frame : frame + 1);
        types_.clear();
        collecting_ = false;
        if (closing) {
            inHeader_ = false;  // the multipart's epilogue
        } else {
            ++parts_;
            inHeader_ = true;
            digestPart_ = frames_[frame].digest;
        }
        return true;
    }

    void EndOfHeader() {
        Frame next;
        bool message = types_.empty() && digestPart_;
        for (const auto& value : types_) {
            // Only the two kinds that open a level need GMime's reading of the field.
            const std::string lower = AsciiLower(value);
            if (lower.find("multipart") == std::string::npos && lower.find("message") == std::string::npos) continue;
            GMimeContentType* type = g_mime_content_type_parse(nullptr, value.c_str());
            if (!type) continue;
            if (g_mime_content_type_is_type(type, "multipart", "*")) {
                if (const char* boundary = g_mime_content_type_get_parameter(type, "boundary")) {
                    std::string b = boundary;
                    while (!b.empty() && (b.back() == ' ' || b.back() == '\t')) b.pop_back();
                    next.boundaries.push_back(std::move(b));
                    if (g_mime_content_type_is_type(type, "multipart", "digest")) next.digest = true;
                }
            } else if (g_mime_content_type_is_type(type, "message", "*")) {
                message = true;
            }
            g_object_unref(type);
        }
        types_.clear();
        collecting_ = false;
        digestPart_ = false;
        if (!next.boundaries.empty()) {
            for (const auto& b : next.boundaries) where_[b].push_back(frames_.size());
            frames_.push_back(std::move(next));
            inHeader_ = false;  // the preamble
        } else if (message) {
            frames_.push_back(Frame{});  // the embedded message's header follows
            ++parts_;
        } else {
            inHeader_ = false;
        }
    }

    // Leaves the first `keep` levels.
    void Pop(size_t keep) {
        while (frames_.size() > keep) {
            for (const auto& b : frames_.back().boundaries) {
                auto it = where_.find(b);
                it->second.pop_back();
                if (it->second.empty()) where_.erase(it);
            }
            frames_.pop_back();
        }
    }

    std::vector<Frame> frames_;
    std::unordered_map<std::string, std::vector<size_t>> where_;  // boundary: levels using it
    std::vector<std::string> types_;  // the Content-Type fields of the header being read
    bool collecting_ = false;         // the last field was one of them
    bool inHeader_ = true;
    bool digestPart_ = false;
    size_t parts_ = 0;  // parts of multiparts and embedded messages
    size_t fields_ = 0;
};

}  // namespace

std::optional<std::string> MimeTreeBeyondBounds(std::string_view bytes) {
    EnsureGMime();
    return MimeOutline().Check(bytes);
}

GPtr<GMimeMessage> ParseMime(std::string_view bytes) {
    if (MimeTreeBeyondBounds(bytes)) return nullptr;
    return ParseCheckedMime(bytes);
}

GPtr<GMimeMessage> ParseCheckedMime(std::string_view bytes) {
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
