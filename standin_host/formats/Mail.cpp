// GMime's headers must come before anything that could define its keywords.
#include <gmime/gmime.h>

#include "standin_host/formats/Mail.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

#include "host/AutomationDates.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/TextUtil.h"

namespace fs = std::filesystem;

namespace nubra::formats {
namespace {

// A line longer than this is no mail any program writes; refusing it keeps a binary file
// (or an attack) from being taken for a message with one enormous header.
constexpr size_t kMaxLineLength = 1 << 20;

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

template <typename T>
struct GUnref {
    void operator()(T* p) const {
        if (p) g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GUnref<T>>;

struct GFree {
    void operator()(char* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFree>;

bool IsFieldNameChar(unsigned char c) { return c >= 33 && c <= 126 && c != ':'; }

// Checks the outline of a message before GMime sees it: a header field first, sane line
// lengths. Returns nothing; raises FormatError with the line.
void CheckOutline(std::string_view bytes, const std::string& file, int64_t firstLine, bool headerless) {
    if (bytes.empty()) FailAtLine(file, firstLine, "the message is empty");
    size_t pos = 0;
    int64_t line = firstLine;
    bool inHeader = true;
    bool first = true;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos) end = bytes.size();
        if (end - pos > kMaxLineLength)
            FailAtLine(file, line, "line longer than " + std::to_string(kMaxLineLength) + " bytes");
        std::string_view text = bytes.substr(pos, end - pos);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (inHeader) {
            if (text.empty()) {
                if (first && !headerless) FailAtLine(file, line, "no header fields at the start of the message");
                inHeader = false;
            } else if (text[0] == ' ' || text[0] == '\t') {
                if (first) FailAtLine(file, line, "the message starts with a continuation line");
            } else {
                size_t n = 0;
                while (n < text.size() && IsFieldNameChar(static_cast<unsigned char>(text[n]))) ++n;
                while (n < text.size() && (text[n] == ' ' || text[n] == '\t')) ++n;
                if (first && (n == 0 || n >= text.size() || text[n] != ':'))
                    FailAtLine(file, line, "not a mail header field");
            }
            first = false;
        }
        pos = end + 1;
        ++line;
    }
}

std::string Unfold(const char* raw) {
    std::string out;
    if (!raw) return out;
    for (const char* p = raw; *p; ++p)
        if (*p != '\r' && *p != '\n') out += *p;
    return TrimWhite(out);
}

std::string AddressListText(InternetAddressList* list) {
    if (!list || internet_address_list_length(list) == 0) return {};
    GString_ text(internet_address_list_to_string(list, nullptr, FALSE));
    return text ? std::string(text.get()) : std::string();
}

struct BodySearch {
    std::string plain;
    std::string html;
    bool havePlain = false;
    bool haveHtml = false;
};

bool IsAscii(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// The decoded text of a part as GMime's g_mime_text_part_get_text gives it (converted from its
// charset to UTF-8, cut at the first NUL), without running UTF-8 (or plain ASCII) text through
// a charset converter: for such text the conversion changes nothing and costs as much as the
// rest of the parse. Text that does not hold to its charset takes GMime's own way.
std::string PartText(GMimeTextPart* part) {
    GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(part));
    const char* charset = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    const bool utf8 = charset && (g_ascii_strcasecmp(charset, "utf-8") == 0 || g_ascii_strcasecmp(charset, "utf8") == 0);
    const bool ascii = charset && g_ascii_strcasecmp(charset, "us-ascii") == 0;
    if (!charset || utf8 || ascii) {
        GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
        if (!content) return {};
        GPtr<GMimeStream> stream(g_mime_stream_mem_new());
        g_mime_data_wrapper_write_to_stream(content, stream.get());
        GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
        std::string text;
        if (bytes && bytes->len) text.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
        if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
        if (!charset || (utf8 && !FindInvalidUtf8(text)) || (ascii && IsAscii(text))) return text;
    }
    GString_ text(g_mime_text_part_get_text(part));
    return text ? std::string(text.get()) : std::string();
}

void VisitPart(GMimeObject* /*parent*/, GMimeObject* part, gpointer data) {
    auto* search = static_cast<BodySearch*>(data);
    if (!GMIME_IS_TEXT_PART(part)) return;
    if (g_mime_part_is_attachment(GMIME_PART(part))) return;
    GMimeContentType* type = g_mime_object_get_content_type(part);
    bool plain = g_mime_content_type_is_type(type, "text", "plain");
    bool html = g_mime_content_type_is_type(type, "text", "html");
    if ((plain && search->havePlain) || (html && search->haveHtml) || (!plain && !html)) return;
    std::string value = PartText(GMIME_TEXT_PART(part));
    if (FindInvalidUtf8(value)) value = ToUtf8(value, "windows-1252").value_or(std::string());
    if (plain) {
        search->plain = std::move(value);
        search->havePlain = true;
    } else {
        search->html = std::move(value);
        search->haveHtml = true;
    }
}

std::string NormaliseNewlines(std::string text) {
    if (text.find('\r') == std::string::npos) return text;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

}  // namespace

ItemData ParseMessageImpl(std::string_view bytes, const std::string& file, int64_t firstLine,
                          bool headerless) {
    CheckOutline(bytes, file, firstLine, headerless);
    EnsureGMime();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message) FailAtLine(file, firstLine, "not a mail message");

    ItemData item;
    item.Class = 43;
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
    if (GMimeHeader* id = g_mime_header_list_get_header(headers, "Message-ID")) {
        // Kept as it stands: the duplicate search compares it byte for byte.
        std::string value = Unfold(g_mime_header_get_raw_value(id));
        if (!value.empty()) item.InternetMessageID = value;
    }
    if (GDateTime* date = g_mime_message_get_date(message.get()))
        item.SentOn = DateFromUnixSeconds(g_date_time_to_unix(date));
    if (const char* subject = g_mime_message_get_subject(message.get())) {
        std::string s = subject;
        if (FindInvalidUtf8(s)) s = ToUtf8(s, "windows-1252").value_or(std::string());
        item.Subject = s;
    }
    if (InternetAddressList* from = g_mime_message_get_from(message.get());
        from && internet_address_list_length(from) > 0) {
        InternetAddress* address = internet_address_list_get_address(from, 0);
        const char* name = internet_address_get_name(address);
        std::string addr;
        if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char* a = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            if (a) addr = a;
        }
        std::string sender = name && *name ? std::string(name) : addr;
        if (!sender.empty()) item.SenderName = sender;
        if (!addr.empty()) item.extraTagged[PR_SENDER_EMAIL_ADDRESS] = {0x001E, 0, addr, {}};
    }
    // Our own export names the class of posts and other non-mail messages.
    if (GMimeHeader* cls = g_mime_header_list_get_header(headers, "X-Message-Class")) {
        std::string value = Unfold(g_mime_header_get_raw_value(cls));
        if (AsciiLower(value) == "ipm.post") item.Class = 45;
        else if (!value.empty() && AsciiLower(value) != "ipm.note") item.MessageClass = value;
    }
    if (std::string to = AddressListText(g_mime_message_get_to(message.get())); !to.empty()) item.To = to;
    if (std::string cc = AddressListText(g_mime_message_get_cc(message.get())); !cc.empty()) item.Cc = cc;

    BodySearch search;
    GMimeObject* top = g_mime_message_get_mime_part(message.get());
    if (top) {
        VisitPart(nullptr, top, &search);
        g_mime_message_foreach(message.get(), VisitPart, &search);
    }
    if (search.havePlain)
        item.Body = NormaliseNewlines(std::move(search.plain));
    else if (search.haveHtml)
        item.Body = HtmlToText(search.html);
    return item;
}

ItemData ParseMessage(std::string_view bytes, const std::string& file, int64_t firstLine) {
    return ParseMessageImpl(bytes, file, firstLine, false);
}

std::vector<ItemData> ReadEmlFile(const std::string& path) {
    std::string data = ReadWholeFile(path);
    std::string_view view(data);
    int64_t line = 1;
    // A single message saved with its envelope line.
    if (view.starts_with("From ")) {
        size_t eol = view.find('\n');
        view = eol == std::string_view::npos ? std::string_view() : view.substr(eol + 1);
        line = 2;
    }
    std::vector<ItemData> items;
    items.push_back(ParseMessage(view, path, line));
    return items;
}

namespace {

struct MboxMessage {
    size_t begin, end;  // bytes of the message after its "From " line
    int64_t line;       // line of the first header
    bool byLength;      // taken by Content-Length (no unquoting)
};

bool IsFromLine(std::string_view data, size_t pos) { return data.compare(pos, 5, "From ") == 0; }

std::optional<size_t> ContentLength(std::string_view header) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        if (end == std::string_view::npos) end = header.size();
        std::string_view line = header.substr(pos, end - pos);
        if (line.size() > 15 && AsciiLower(line.substr(0, 15)) == "content-length:") {
            std::string digits = TrimWhite(line.substr(15));
            if (digits.empty() || digits.size() > 12 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return std::nullopt;
            return static_cast<size_t>(std::stoll(digits));
        }
        pos = end + 1;
    }
    return std::nullopt;
}

// Undoes ">From " quoting: mboxrd quotes every ">*From " line with one more ">", mboxo only
// "From "; removing one ">" reads both (an mboxo line that began ">From " is ambiguous anyway).
std::string Unquote(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(pos, end - pos);
        size_t q = 0;
        while (q < line.size() && line[q] == '>') ++q;
        if (q > 0 && line.substr(q).starts_with("From "))
            out.append(line.substr(1));
        else
            out.append(line);
        pos = end;
    }
    return out;
}

}  // namespace

std::vector<ItemData> ParseMbox(std::string_view data, const std::string& file) {
    if (!IsFromLine(data, 0)) FailAtLine(file, 1, "an mbox file must begin with a \"From \" line");
    std::vector<MboxMessage> parts;
    size_t pos = 0;
    int64_t line = 1;
    auto countLines = [&](size_t from, size_t to) {
        return static_cast<int64_t>(std::count(data.begin() + static_cast<ptrdiff_t>(from),
                                               data.begin() + static_cast<ptrdiff_t>(to), '\n'));
    };
    while (pos < data.size()) {
        // pos is at a "From " line.
        size_t eol = data.find('\n', pos);
        if (eol == std::string_view::npos) FailAtLine(file, line, "a \"From \" line without a message");
        if (eol - pos > kMaxLineLength) FailAtLine(file, line, "over-long \"From \" line");
        size_t begin = eol + 1;
        int64_t firstLine = line + 1;
        // The header ends at the first empty line.
        size_t headerEnd = begin;
        if (data.compare(begin, 1, "\n") == 0 || data.compare(begin, 2, "\r\n") == 0) {
            headerEnd = begin;
        } else {
            size_t blank = data.find("\n\n", begin);
            size_t blankCr = data.find("\n\r\n", begin);
            headerEnd = std::min(blank == std::string_view::npos ? data.size() : blank + 1,
                                 blankCr == std::string_view::npos ? data.size() : blankCr + 1);
        }
        size_t next = std::string_view::npos;
        bool byLength = false;
        if (auto length = ContentLength(data.substr(begin, headerEnd - begin))) {
            size_t bodyStart = data.find('\n', headerEnd);
            if (bodyStart != std::string_view::npos) {
                size_t candidate = bodyStart + 1 + *length;
                // Trust the length only where it lands on the end or on the next separator.
                size_t after = candidate;
                while (after < data.size() && (data[after] == '\n' || data[after] == '\r')) ++after;
                if (candidate <= data.size() && (after >= data.size() || IsFromLine(data, after))) {
                    next = after >= data.size() ? data.size() : after;
                    byLength = true;
                }
            }
        }
        if (!byLength) {
            size_t search = begin;
            next = data.size();
            while (true) {
                size_t found = data.find("\nFrom ", search > 0 ? search - 1 : 0);
                if (found == std::string_view::npos) break;
                if (found + 1 >= begin) {
                    next = found + 1;
                    break;
                }
                search = found + 2;
            }
        }
        size_t end = next;
        // The empty line before a separator belongs to the mbox, not to the message.
        if (end < data.size() || (end > begin && data[end - 1] == '\n')) {
            if (end > begin && data[end - 1] == '\n') {
                size_t e = end - 1;
                if (e > begin && data[e - 1] == '\r') --e;
                if (e > begin && data[e - 1] == '\n') end = e;
            }
        }
        parts.push_back({begin, std::max(end, begin), firstLine, byLength});
        line += countLines(pos, next);
        pos = next;
    }
    std::vector<ItemData> items;
    items.reserve(parts.size());
    for (const auto& part : parts) {
        std::string_view raw = data.substr(part.begin, part.end - part.begin);
        if (part.byLength) {
            items.push_back(ParseMessageImpl(raw, file, part.line, true));
        } else {
            std::string text = Unquote(raw);
            items.push_back(ParseMessageImpl(text, file, part.line, true));
        }
    }
    return items;
}

std::vector<ItemData> ReadMboxFile(const std::string& path) {
    std::string data = ReadWholeFile(path);
    return ParseMbox(data, path);
}

bool IsMaildir(const std::string& dir) {
    std::error_code ec;
    return fs::is_directory(fs::path(dir) / "cur", ec) || fs::is_directory(fs::path(dir) / "new", ec);
}

namespace {

void ListMessages(const fs::path& dir, std::vector<std::string>& out) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const char* sub : {"cur", "new"}) {
        std::vector<std::string> level;
        fs::path p = dir / sub;
        if (!fs::is_directory(p, ec)) continue;
        for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.empty() || name[0] == '.') continue;
            if (it->is_regular_file(ec)) level.push_back(it->path().string());
        }
        std::sort(level.begin(), level.end());
        out.insert(out.end(), level.begin(), level.end());
    }
}

MaildirLayout& ChildNamed(MaildirLayout& parent, const std::string& name) {
    for (auto& child : parent.subfolders)
        if (child.name == name) return child;
    parent.subfolders.push_back({name, {}, {}});
    return parent.subfolders.back();
}

}  // namespace

MaildirLayout ScanMaildir(const std::string& dir) {
    MaildirLayout top;
    top.name = fs::path(dir).filename().string();
    if (top.name.empty()) top.name = fs::path(dir).parent_path().filename().string();
    ListMessages(dir, top.files);
    std::vector<std::string> subs;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() > 1 && name[0] == '.' && name != ".." && it->is_directory(ec) && IsMaildir(it->path().string()))
            subs.push_back(name);
    }
    std::sort(subs.begin(), subs.end());
    for (const auto& sub : subs) {
        // ".A.B" is folder B inside A.
        MaildirLayout* node = &top;
        size_t start = 1;
        while (start <= sub.size()) {
            size_t dot = sub.find('.', start);
            if (dot == std::string::npos) dot = sub.size();
            if (dot > start) node = &ChildNamed(*node, sub.substr(start, dot - start));
            start = dot + 1;
        }
        ListMessages(fs::path(dir) / sub, node->files);
    }
    return top;
}

namespace {

FolderData ReadLayout(const MaildirLayout& layout) {
    FolderData folder;
    folder.name = layout.name;
    folder.containerClass = "IPF.Note";
    for (const auto& file : layout.files) {
        auto items = ReadEmlFile(file);
        for (auto& item : items) folder.items.push_back(std::move(item));
    }
    for (const auto& sub : layout.subfolders) folder.subfolders.push_back(ReadLayout(sub));
    return folder;
}

// RFC 2047 encoded words of at most 45 bytes of UTF-8 each, never splitting a character.
std::string EncodeHeaderText(const std::string& text) {
    bool plain = !text.empty() && text.size() < 900 && text.front() != ' ' && text.back() != ' ' &&
                 text.find("=?") == std::string::npos && text.find("  ") == std::string::npos;
    for (unsigned char c : text)
        if (c < 32 || c > 126) plain = false;
    if (plain) return text;
    static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t take = std::min<size_t>(45, text.size() - pos);
        while (pos + take < text.size() && (static_cast<unsigned char>(text[pos + take]) & 0xC0) == 0x80) --take;
        if (take == 0) take = 1;
        std::string_view chunk(text.data() + pos, take);
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?";
        for (size_t i = 0; i < chunk.size(); i += 3) {
            uint32_t v = static_cast<unsigned char>(chunk[i]) << 16;
            if (i + 1 < chunk.size()) v |= static_cast<unsigned char>(chunk[i + 1]) << 8;
            if (i + 2 < chunk.size()) v |= static_cast<unsigned char>(chunk[i + 2]);
            out += kB64[(v >> 18) & 63];
            out += kB64[(v >> 12) & 63];
            out += i + 1 < chunk.size() ? kB64[(v >> 6) & 63] : '=';
            out += i + 2 < chunk.size() ? kB64[v & 63] : '=';
        }
        out += "?=";
        pos += take;
    }
    return out;
}

// A display name as a quoted string, or as encoded words when it is not plain ASCII.
std::string DisplayName(const std::string& name) {
    std::string encoded = EncodeHeaderText(name);
    if (encoded != name) return encoded;
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string Base64Lines(std::string_view data) {
    static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t col = 0;
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += i + 1 < data.size() ? kB64[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? kB64[v & 63] : '=';
        col += 4;
        if (col >= 76) {
            out += "\r\n";
            col = 0;
        }
    }
    if (col) out += "\r\n";
    return out;
}

std::string Rfc5322Date(Date d) {
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int64_t seconds = UnixSecondsFromDate(d);
    auto p = dates::SplitDate(DateFromUnixSeconds(seconds));
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d +0000", kDays[weekday], p.day,
                  kMonths[p.month - 1], p.year, p.hour, p.minute, p.second);
    return buf;
}

std::string OneLine(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '\r' || c == '\n') ? ' ' : c;
    return out;
}

}  // namespace

FolderData ReadMaildir(const std::string& dir) { return ReadLayout(ScanMaildir(dir)); }

std::string WriteEml(const ItemData& item) {
    std::string out;
    if (item.InternetMessageID) out += "Message-ID: " + OneLine(*item.InternetMessageID) + "\r\n";
    if (item.SentOn) out += "Date: " + Rfc5322Date(*item.SentOn) + "\r\n";
    std::string senderAddress;
    if (auto it = item.extraTagged.find(PR_SENDER_EMAIL_ADDRESS); it != item.extraTagged.end())
        senderAddress = OneLine(it->second.text);
    if (item.SenderName || !senderAddress.empty()) {
        std::string name = item.SenderName.value_or("");
        if (!senderAddress.empty() && senderAddress.find('@') != std::string::npos) {
            if (name.empty() || name == senderAddress)
                out += "From: <" + senderAddress + ">\r\n";
            else
                out += "From: " + DisplayName(name) + " <" + senderAddress + ">\r\n";
        } else {
            // No usable address: a group keeps the display name readable and parseable.
            out += "From: " + DisplayName(name) + " <unknown@invalid>\r\n";
        }
    }
    // Address lists go out as UTF-8 text (RFC 6532): encoded words would hide their structure.
    if (item.To) out += "To: " + OneLine(*item.To) + "\r\n";
    if (item.Cc) out += "Cc: " + OneLine(*item.Cc) + "\r\n";
    if (item.Subject) out += "Subject: " + EncodeHeaderText(*item.Subject) + "\r\n";
    if (item.Class == 45) out += "X-Message-Class: IPM.Post\r\n";
    else if (item.MessageClass && !item.MessageClass->empty()) out += "X-Message-Class: " + OneLine(*item.MessageClass) + "\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Transfer-Encoding: base64\r\n\r\n";
    out += Base64Lines(item.Body.value_or(""));
    return out;
}

}  // namespace nubra::formats
