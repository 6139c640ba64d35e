// GMime's headers must come before anything that could define its keywords.
#include "standin_host/formats/MimeUtil.h"

#include "standin_host/formats/Mail.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/stat.h>

#include "host/AutomationDates.h"
#include "standin_host/formats/Attachments.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/MaildirName.h"
#include "standin_host/formats/MaildirTree.h"
#include "standin_host/formats/PstSource.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/ItemSource.h"

namespace fs = std::filesystem;

namespace nubra::formats {
namespace {

// A line longer than this is no mail any program writes; refusing it keeps a binary file
// (or an attack) from being taken for a message with one enormous header.
constexpr size_t kMaxLineLength = 1 << 20;

bool IsFieldNameChar(unsigned char c) { return c >= 33 && c <= 126 && c != ':'; }

// Header fields only mail carries. A text whose "name: value" lines name none of them (a
// password file, a configuration file) is not taken for a message.
bool IsMailFieldName(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "from", "sender", "reply-to", "to", "cc", "bcc", "message-id", "in-reply-to", "references",
        "subject", "comments", "keywords", "date", "received", "return-path", "mime-version",
        "delivered-to", "envelope-to", "user-agent", "organization", "newsgroups", "followup-to",
        "importance", "priority", "thread-topic", "thread-index", "dkim-signature",
        "authentication-results", "received-spf", "precedence", "errors-to", "mail-followup-to",
        "disposition-notification-to", "return-receipt-to", "status", "lines", "xref", "path"};
    static constexpr std::string_view kPrefixes[] = {"x-", "content-", "resent-", "list-", "arc-"};
    std::string lower = AsciiLower(name);
    for (auto known : kNames)
        if (lower == known) return true;
    for (auto prefix : kPrefixes)
        if (lower.starts_with(prefix)) return true;
    return false;
}

// Where the header of a message ends, as CheckOutline finds it.
struct Outline {
    size_t headerEnd = 0;       // the byte after its terminating empty line, or the end
    bool headerEnded = false;   // an empty line ends it (else it runs to the end of the bytes)
    int64_t lastLine = 0;       // the line the bytes end on
};

// Checks the outline of a message before GMime sees it: a header field first, at least one
// field of mail, sane line lengths. Raises FormatError with the line.
Outline CheckOutline(std::string_view bytes, const std::string& file, int64_t firstLine, bool headerless) {
    if (bytes.empty()) FailAtLine(file, firstLine, "the message is empty");
    size_t pos = 0;
    int64_t line = firstLine;
    bool inHeader = true;
    bool first = true;
    bool mailField = headerless;  // an mbox separator already says it is mail
    Outline outline{bytes.size(), false, firstLine};
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
                outline.headerEnd = std::min(end + 1, bytes.size());
                outline.headerEnded = true;
            } else if (text[0] == ' ' || text[0] == '\t') {
                if (first) FailAtLine(file, line, "the message starts with a continuation line");
            } else {
                size_t n = 0;
                while (n < text.size() && IsFieldNameChar(static_cast<unsigned char>(text[n]))) ++n;
                if (!mailField && IsMailFieldName(text.substr(0, n))) mailField = true;
                while (n < text.size() && (text[n] == ' ' || text[n] == '\t')) ++n;
                if (first && (n == 0 || n >= text.size() || text[n] != ':'))
                    FailAtLine(file, line, "not a mail header field");
            }
            first = false;
        }
        outline.lastLine = line;
        pos = end + 1;
        ++line;
    }
    if (!mailField)
        FailAtLine(file, firstLine,
                   "no mail header field (From, To, Subject, Date, Message-ID, ...): not a mail message");
    return outline;
}

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";  // U+FFFD

// GMime hands texts over as C strings, which end at a NUL byte: a NUL in a header or body
// would silently cut the text there. It becomes U+FFFD instead, so the text stays whole and
// shows that something was there.
std::string ReplaceNuls(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    size_t pos = 0;
    for (size_t nul; (nul = text.find('\0', pos)) != std::string_view::npos; pos = nul + 1) {
        out.append(text.substr(pos, nul - pos));
        out.append(kReplacementChar);
    }
    out.append(text.substr(pos));
    return out;
}

std::string Unfold(const char* raw) {
    std::string out;
    if (!raw) return out;
    for (const char* p = raw; *p; ++p)
        if (*p != '\r' && *p != '\n') out += *p;
    return TrimWhite(out);
}

bool IsAscii(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Writing a list out, GMime asks libidn2 for the ASCII form of each address's domain and keeps
// it with the address; for a domain in ASCII already the answer differs at most in case, and
// GMime then keeps the domain as written. That form is filled in here for such domains, the
// same text GMime would keep, which spares a lookup that costs a tenth of reading a header.
void KeepAsciiDomains(InternetAddressList* list, bool inGroup = false) {
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            // Groups do not nest in a header; a list built so is left to GMime.
            if (!inGroup) KeepAsciiDomains(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), true);
        } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            auto* mailbox = INTERNET_ADDRESS_MAILBOX(address);
            if (!mailbox->idn_addr && mailbox->addr && mailbox->at > 0 && IsAscii(mailbox->addr + mailbox->at + 1))
                mailbox->idn_addr = g_strdup(mailbox->addr);
        }
    }
}

std::string AddressListText(InternetAddressList* list) {
    if (!list || internet_address_list_length(list) == 0) return {};
    KeepAsciiDomains(list);
    GString_ text(internet_address_list_to_string(list, nullptr, FALSE));
    return text ? std::string(text.get()) : std::string();
}

struct BodySearch {
    std::string plain;
    std::string html;
    bool havePlain = false;
    bool haveHtml = false;
};

// The decoded text of a part in UTF-8, NUL bytes kept, as GMime's g_mime_text_part_get_text
// converts it from its charset, without running UTF-8 (or plain ASCII) text through a charset
// converter: for such text the conversion changes nothing and costs as much as the rest of the
// parse. Text that does not hold to its charset takes GMime's own way, unless it holds NUL
// bytes: GMime's C string would end at the first one, so ICU converts it.
std::string PartText(GMimeTextPart* part) {
    GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(part));
    const char* charset = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    const bool utf8 = charset && (g_ascii_strcasecmp(charset, "utf-8") == 0 || g_ascii_strcasecmp(charset, "utf8") == 0);
    const bool ascii = charset && g_ascii_strcasecmp(charset, "us-ascii") == 0;
    std::string raw = DecodedContent(GMIME_PART(part));
    if (!charset || (utf8 && !FindInvalidUtf8(raw)) || (ascii && IsAscii(raw))) return raw;
    if (raw.find('\0') != std::string::npos) {
        if (auto text = ToUtf8(raw, charset)) return *text;
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
    if (value.find('\0') != std::string::npos) value = ReplaceNuls(value);
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

// What a message whose header runs to the end of its bytes (no empty line ends it) is taken
// for: a message without a body, or a message cut short.
enum class HeaderToEnd {
    Body,            // a message without a body (what a connected store hands over, a header)
    Cut,             // cut short: a saved message ends its header with an empty line
    CutWithinLine,   // cut short when it ends inside a line (no line break at the end)
};

[[noreturn]] void FailCutHeader(const std::string& file, int64_t line) {
    FailAtLine(file, line,
               "the message ends inside its header (no empty line ends the header before the end of the "
               "message): it was cut short, and is not imported");
}

ItemData ParseMessageImpl(std::string_view bytes, const std::string& file, int64_t firstLine, bool headerless,
                          HeaderToEnd headerToEnd = HeaderToEnd::Body) {
    const Outline outline = CheckOutline(bytes, file, firstLine, headerless);
    if (!outline.headerEnded &&
        (headerToEnd == HeaderToEnd::Cut || (headerToEnd == HeaderToEnd::CutWithinLine && !bytes.ends_with('\n'))))
        FailCutHeader(file, outline.lastLine);
    if (auto why = MimeTreeBeyondBounds(bytes)) FailAtLine(file, firstLine, *why);
    const size_t headerEnd = outline.headerEnd;
    // NUL bytes in the header become U+FFFD before GMime reads it (see ReplaceNuls); those of
    // a body are replaced once it is decoded, where they may belong to its charset.
    std::string patched;
    if (std::memchr(bytes.data(), '\0', headerEnd)) {
        patched = ReplaceNuls(bytes.substr(0, headerEnd));
        patched.append(bytes.substr(headerEnd));
        bytes = patched;
    }
    GPtr<GMimeMessage> message = ParseCheckedMime(bytes);
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
    // The read state an mbox writer keeps in "Status: RO", and whether there is anything to
    // list as an attachment; both only when set, so that plain mail carries no extra row.
    int64_t flags = 0;
    if (GMimeHeader* status = g_mime_header_list_get_header(headers, "Status"))
        if (Unfold(g_mime_header_get_raw_value(status)).find('R') != std::string::npos) flags |= store::MSGFLAG_READ;
    if (HasMimeAttachments(message.get())) flags |= store::MSGFLAG_HASATTACH;
    if (flags) item.extraTagged[store::PR_MESSAGE_FLAGS] = {0x0003, flags, {}, {}};
    return item;
}

ItemData ParseMessage(std::string_view bytes, const std::string& file, int64_t firstLine) {
    return ParseMessageImpl(bytes, file, firstLine, false);
}

std::string MessageBody(std::string_view bytes, bool afterEnvelope, const std::string& file) {
    return ParseMessageImpl(bytes, file, 1, afterEnvelope).Body.value_or(std::string());
}

namespace {

// A message that came with a "From " line was created when it arrived, as that line says
// (else when it was sent), not when it is imported: the same message read from a Maildir
// or in place has its time of arrival too.
void SetArrivalTime(ItemData& item, std::string_view envelope) {
    item.CreationTime = EnvelopeTime(envelope);
    if (!item.CreationTime) item.CreationTime = item.SentOn;
}

std::vector<ItemData> ReadMessageFile(InputFile& file, HeaderToEnd headerToEnd) {
    std::string data = file.ReadAll(kMaxMessageBytes, "one message");
    std::string_view view(data);
    int64_t line = 1;
    std::string envelope;
    // A single message saved with its envelope line, which is kept beside it.
    if (view.starts_with("From ")) {
        size_t eol = view.find('\n');
        envelope = EnvelopeLine(view.substr(0, eol));
        view = eol == std::string_view::npos ? std::string_view() : view.substr(eol + 1);
        line = 2;
    }
    std::vector<ItemData> items;
    // After an envelope line a message without header fields is mail, as it is in an mbox.
    items.push_back(ParseMessageImpl(view, file.Path(), line, !envelope.empty(), headerToEnd));
    if (!envelope.empty()) SetArrivalTime(items.back(), envelope);
    items.back().Source = store::ItemSource::PackMessage(view, std::move(envelope), items.back().Body, line == 2);
    return items;
}

}  // namespace

std::vector<ItemData> ReadEml(InputFile& file) { return ReadMessageFile(file, HeaderToEnd::Cut); }

std::vector<ItemData> ReadEmlFile(const std::string& path) {
    InputFile file(path);
    return ReadEml(file);
}

namespace {

// The ">" count of a line that is a "From " line behind zero or more ">": mbox quoting.
std::optional<size_t> QuotedFromDepth(std::string_view line) {
    size_t q = 0;
    while (q < line.size() && line[q] == '>') ++q;
    if (!line.substr(q).starts_with("From ")) return std::nullopt;
    return q;
}

// Calls `f` with every line of `text`, its line end included.
template <typename F>
void ForEachLine(std::string_view text, F&& f) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        f(text.substr(pos, end - pos));
        pos = end;
    }
}

// Undoes ">From " quoting: mboxrd quotes every ">*From " line with one more ">", mboxo only
// "From "; removing one ">" reads both (an mboxo line that began ">From " is ambiguous anyway).
std::string Unquote(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachLine(text, [&](std::string_view line) {
        auto depth = QuotedFromDepth(line);
        out.append(depth && *depth > 0 ? line.substr(1) : line);
    });
    return out;
}

}  // namespace

std::optional<Date> EnvelopeTime(std::string_view line) {
    static constexpr std::string_view kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (!line.starts_with("From ")) return std::nullopt;
    std::vector<std::string_view> tokens;
    for (size_t pos = 5; pos < line.size();) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r' || line[pos] == '\n')) ++pos;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' && line[end] != '\n') ++end;
        if (end > pos) tokens.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    auto digits = [](std::string_view t, size_t min, size_t max) -> std::optional<int> {
        if (t.size() < min || t.size() > max || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        return std::stoi(std::string(t));
    };
    // The last "weekday month" pair (a sender address could look like either).
    for (size_t m = tokens.size(); m-- > 1;) {
        const auto month = std::find(std::begin(kMonths), std::end(kMonths), tokens[m]);
        if (month == std::end(kMonths) || std::find(std::begin(kDays), std::end(kDays), tokens[m - 1]) == std::end(kDays))
            continue;
        if (m + 2 >= tokens.size()) return std::nullopt;
        const auto day = digits(tokens[m + 1], 1, 2);
        const std::string_view clock = tokens[m + 2];
        // "hh:mm" or "hh:mm:ss"
        const bool withSeconds = clock.size() == 8 && clock[5] == ':';
        if ((clock.size() != 5 && !withSeconds) || clock[2] != ':') return std::nullopt;
        const auto hour = digits(clock.substr(0, 2), 2, 2);
        const auto minute = digits(clock.substr(3, 2), 2, 2);
        const auto second = withSeconds ? digits(clock.substr(6, 2), 2, 2) : std::optional<int>(0);
        std::optional<int> year;
        std::optional<int> offsetMinutes;  // none: local time
        for (size_t t = m + 3; t < tokens.size(); ++t) {
            const std::string_view token = tokens[t];
            if (auto y = digits(token, 4, 4); y && !year) {
                year = y;
            } else if (token.size() == 5 && (token[0] == '+' || token[0] == '-') && digits(token.substr(1), 4, 4)) {
                const int v = *digits(token.substr(1), 4, 4);
                offsetMinutes = (token[0] == '-' ? -1 : 1) * ((v / 100) * 60 + v % 100);
            } else if (token == "GMT" || token == "UTC" || token == "UT" || token == "Z") {
                offsetMinutes = 0;
            }
        }
        if (!day || !hour || !minute || !second || !year || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
            *second > 60 || *year < 1970)
            return std::nullopt;
        try {
            // MakeDate refuses a day the month does not have ("Feb 30").
            const Date when = dates::MakeDate(*year, static_cast<int>(month - std::begin(kMonths)) + 1, *day, *hour,
                                              *minute, std::min(*second, 59));
            if (!offsetMinutes) return dates::LocalToUtc(when);
            return dates::FromUnixMillis(dates::ToUnixMillis(when) - int64_t{*offsetMinutes} * 60000);
        } catch (const AutomationError&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string EnvelopeLine(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

namespace {

// One message of an mbox as the splitter cuts it out.
struct MboxMessage {
    std::string envelope;  // its "From " line, without the line end
    std::string bytes;     // after its "From " line, unquoted unless taken by Content-Length
    int64_t line = 0;      // line of its first header
    int64_t lastLine = 0;  // line its header ends on
    size_t number = 0;     // 1 for the first message of the file
    bool cut = false;      // no empty line ends its header: the file was cut short there
};

// Cuts an mbox into messages while reading it piece by piece: memory holds the message being
// cut (at most kMaxMessageBytes) and what was read ahead, whatever the size of the file. Each
// byte is looked at a bounded number of times, so the time grows with the file's size.
class MboxSplitter {
public:
    // `read` fills a buffer and returns how many bytes it gave, 0 at the end.
    MboxSplitter(std::function<size_t(char*, size_t)> read, std::string file)
        : read_(std::move(read)), file_(std::move(file)) {}

    // The next message, or false at the end. Raises FormatError naming the file and line.
    bool Next(MboxMessage& out) {
        if (!Have(1)) return false;
        // Every later message starts at a separator by construction.
        if (!FromLineAt(0)) FailAtLine(file_, line_, "an mbox file must begin with a \"From \" line");
        const size_t fromEnd = LineEnd(0, line_);
        if (fromEnd == Available()) FailAtLine(file_, line_, "a \"From \" line without a message");
        const size_t begin = fromEnd + 1;
        const int64_t firstLine = line_ + 1;
        size_t pos = begin;
        int64_t line = firstLine;
        auto checkSize = [&](size_t end) {
            if (end - begin > kMaxMessageBytes)
                FailAtLine(file_, firstLine,
                           "the message is larger than " + ByteSizeText(kMaxMessageBytes) + ", the limit for one message");
        };
        // The header: up to its empty line, noting Content-Length (mboxcl).
        std::optional<uint64_t> length;
        bool lengthSeen = false;
        std::optional<size_t> bodyStart;
        while (Have(pos + 1) && !FromLineAt(pos)) {
            const size_t end = LineEnd(pos, line);
            checkSize(end);
            std::string_view text(Data() + pos, end - pos);
            if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
            if (end == Available()) {  // the last line, without a line break
                pos = end;
                break;
            }
            pos = end + 1;
            ++line;
            if (text.empty()) {
                bodyStart = pos;
                break;
            }
            if (!lengthSeen && text.size() > 15 && AsciiLower(text.substr(0, 15)) == "content-length:") {
                lengthSeen = true;
                length = ParseLength(text.substr(15));
            }
        }
        // The body: as long as Content-Length says where that lands on the end or on the next
        // separator (blank lines between allowed), else up to the next "From " line.
        size_t next = 0;
        bool byLength = false;
        if (length && bodyStart && *length <= kMaxMessageBytes && Have(*bodyStart + *length)) {
            size_t after = *bodyStart + static_cast<size_t>(*length);
            while (after - begin <= kMaxMessageBytes && Have(after + 1) && (Data()[after] == '\n' || Data()[after] == '\r'))
                ++after;
            if (!Have(after + 1) || FromLineAt(after)) {
                checkSize(after);
                line += std::count(Data() + pos, Data() + after, '\n');
                next = after;
                byLength = true;
            }
        }
        if (!byLength) {
            while (Have(pos + 1) && !FromLineAt(pos)) {
                const size_t end = LineEnd(pos, line);
                checkSize(end);
                if (end == Available()) {
                    pos = end;
                    break;
                }
                pos = end + 1;
                ++line;
            }
            next = pos;
        }
        // The empty line before a separator belongs to the mbox, not to the message.
        size_t end = next;
        if (end > begin && Data()[end - 1] == '\n') {
            size_t e = end - 1;
            if (e > begin && Data()[e - 1] == '\r') --e;
            if (e > begin && Data()[e - 1] == '\n') end = e;
        }
        std::string_view raw(Data() + begin, end - begin);
        out.bytes = byLength ? std::string(raw) : Unquote(raw);
        out.envelope = EnvelopeLine(std::string_view(Data(), fromEnd));
        out.line = firstLine;
        out.number = ++messages_;
        // Every mbox writer ends a message's header with an empty line (and a message without
        // a body with the separator's too): a header that runs into the end of the file or the
        // next "From " line is what is left of a message whose writing was broken off.
        out.cut = !bodyStart && next > begin;
        out.lastLine = std::max(firstLine, line - (next > 0 && Data()[next - 1] == '\n' ? 1 : 0));
        start_ += next;
        line_ = line;
        return true;
    }

    const std::string& File() const { return file_; }

private:
    static constexpr size_t kFirstReadSize = size_t{64} << 10;
    static constexpr size_t kReadSize = size_t{1} << 20;

    static std::optional<uint64_t> ParseLength(std::string_view value) {
        std::string digits = TrimWhite(value);
        if (digits.empty() || digits.size() > 12 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        return std::stoull(digits);
    }

    // Offsets are counted from the start of the current message's "From " line.
    const char* Data() const { return buffer_.data() + start_; }
    size_t Available() const { return buffer_.size() - start_; }

    // True when `n` bytes are there (reading more as needed); false when the input ends first.
    bool Have(size_t n) {
        while (Available() < n && !ended_) {
            if (start_ > 0 && start_ >= buffer_.size() / 2) {
                buffer_.erase(0, start_);  // what was handed out goes; offsets stay as they are
                start_ = 0;
            }
            const size_t old = buffer_.size();
            // Small reads while the buffer is small, so that a short text is not padded to a
            // megabyte; then a megabyte at a time.
            const size_t want = std::max(std::clamp(buffer_.size(), kFirstReadSize, kReadSize), n - Available());
            buffer_.resize(old + want);
            const size_t got = read_(buffer_.data() + old, want);
            buffer_.resize(old + got);
            if (got == 0) ended_ = true;
        }
        return Available() >= n;
    }

    bool FromLineAt(size_t pos) { return Have(pos + 5) && std::memcmp(Data() + pos, "From ", 5) == 0; }

    // Where the line starting at `pos` ends: its '\n', or Available() when the input ends
    // without one. Raises FormatError for a line longer than kMaxLineLength.
    size_t LineEnd(size_t pos, int64_t line) {
        size_t scanned = pos;
        for (;;) {
            if (const void* nl = std::memchr(Data() + scanned, '\n', Available() - scanned)) {
                const size_t end = static_cast<size_t>(static_cast<const char*>(nl) - Data());
                if (end - pos > kMaxLineLength) break;
                return end;
            }
            scanned = Available();
            if (scanned - pos > kMaxLineLength) break;
            if (!Have(scanned + 1)) return scanned;
        }
        FailAtLine(file_, line, "line longer than " + std::to_string(kMaxLineLength) + " bytes");
    }

    std::function<size_t(char*, size_t)> read_;
    std::string file_;
    std::string buffer_;
    size_t start_ = 0;  // where the current message's "From " line starts in buffer_
    int64_t line_ = 1;  // its line number
    size_t messages_ = 0;
    bool ended_ = false;
};

// Messages of an mbox parsed this many at a time (or fewer when they are large), spread over
// the threads; parsing is most of the work of reading an mbox.
constexpr size_t kMboxBatchMessages = 512;
constexpr size_t kMboxBatchBytes = size_t{16} << 20;

// A failure of one message of an mbox, naming the message.
FormatError OfMessage(const FormatError& e, size_t number) {
    return FormatError(e.File(), e.Line(), e.ByteOffset(), "message " + std::to_string(number) + ": " + e.Message());
}

// The next batch of messages the splitter gives, parsed on `threads` threads (the calling one
// among them), each with its source; nullopt at the end. The first malformed message of the
// batch (in file order) is raised, naming its number; a message cut short is put into
// `refused` and left out when that is given, else raised too.
std::optional<std::vector<ItemData>> NextMboxBatch(MboxSplitter& splitter, unsigned threads, MboxRefusals* refused) {
    std::vector<MboxMessage> batch;
    size_t bytes = 0;
    MboxMessage message;
    while (batch.size() < kMboxBatchMessages && bytes < kMboxBatchBytes && splitter.Next(message)) {
        bytes += message.bytes.size();
        batch.push_back(std::move(message));
    }
    if (batch.empty()) return std::nullopt;
    std::vector<std::optional<ItemData>> parsed(batch.size());
    std::vector<std::exception_ptr> errors(batch.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next++) < batch.size();) {
            try {
                if (batch[i].cut) FailCutHeader(splitter.File(), batch[i].lastLine);
                parsed[i] = ParseMessageImpl(batch[i].bytes, splitter.File(), batch[i].line, true);
                SetArrivalTime(*parsed[i], batch[i].envelope);
                parsed[i]->Source = store::ItemSource::PackMessage(batch[i].bytes, std::move(batch[i].envelope),
                                                                   parsed[i]->Body, true);
                std::string().swap(batch[i].bytes);
            } catch (const FormatError& e) {
                errors[i] = std::make_exception_ptr(OfMessage(e, batch[i].number));
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const size_t helperCount = std::min<size_t>(std::max(1u, threads), batch.size()) - (batch.empty() ? 0 : 1);
    for (size_t t = 0; t < helperCount; ++t) helpers.emplace_back(work);
    work();
    for (auto& t : helpers) t.join();
    std::vector<ItemData> items;
    items.reserve(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
        if (errors[i] && batch[i].cut && refused) {
            try {
                std::rethrow_exception(errors[i]);
            } catch (const FormatError& e) {
                refused->push_back(e);
            }
        } else if (errors[i]) {
            std::rethrow_exception(errors[i]);
        } else {
            items.push_back(std::move(*parsed[i]));
        }
    }
    return items;
}

// Every message, handed to `take` batch by batch in file order. While `take` stores a batch
// (on the calling thread, which owns the store), the next one is read and parsed beside it.
void ParseMboxMessages(MboxSplitter& splitter, unsigned threads, const MboxBatchSink& take, MboxRefusals* refused) {
    // The batch read ahead keeps its refusals apart until the batch before it is taken.
    MboxRefusals aheadRefused;
    auto ahead = [&] {
        return std::async(std::launch::async, [&] { return NextMboxBatch(splitter, threads, refused ? &aheadRefused : nullptr); });
    };
    std::future<std::optional<std::vector<ItemData>>> next = ahead();
    for (;;) {
        std::optional<std::vector<ItemData>> items = next.get();  // a malformed message is raised here, in file order
        if (refused) {
            refused->insert(refused->end(), aheadRefused.begin(), aheadRefused.end());
            aheadRefused.clear();
        }
        if (!items) return;
        next = ahead();
        try {
            take(*items);
        } catch (...) {
            next.wait();  // the reader must be done before the splitter goes
            throw;
        }
    }
}

std::vector<ItemData> CollectMbox(MboxSplitter& splitter, unsigned threads) {
    std::vector<ItemData> all;
    ParseMboxMessages(splitter, threads, [&](std::vector<ItemData>& items) {
        for (auto& item : items) all.push_back(std::move(item));
    }, nullptr);
    return all;
}

}  // namespace

std::vector<ItemData> ParseMbox(std::string_view data, const std::string& file) {
    size_t taken = 0;
    MboxSplitter splitter(
        [&](char* buffer, size_t n) {
            n = std::min(n, data.size() - taken);
            if (n) std::memcpy(buffer, data.data() + taken, n);
            taken += n;
            return n;
        },
        file);
    return CollectMbox(splitter, 1);
}

std::vector<ItemData> ReadMbox(InputFile& file, unsigned threads) {
    MboxSplitter splitter([&](char* buffer, size_t n) { return file.Read(buffer, n); }, file.Path());
    return CollectMbox(splitter, threads);
}

void ReadMboxInBatches(InputFile& file, unsigned threads, const MboxBatchSink& take, MboxRefusals* refused) {
    MboxSplitter splitter([&](char* buffer, size_t n) { return file.Read(buffer, n); }, file.Path());
    ParseMboxMessages(splitter, threads, take, refused);
}

std::vector<ItemData> ReadMboxFile(const std::string& path, unsigned threads) {
    InputFile file(path);
    return ReadMbox(file, threads);
}

size_t HeaderEnd(std::string_view bytes) {
    for (size_t pos = bytes.find('\n'); pos != std::string_view::npos; pos = bytes.find('\n', pos + 1)) {
        if (pos + 1 < bytes.size() && bytes[pos + 1] == '\n') return pos + 2;
        if (pos + 2 < bytes.size() && bytes[pos + 1] == '\r' && bytes[pos + 2] == '\n') return pos + 3;
    }
    return std::string_view::npos;
}

bool IsMaildir(const std::string& dir) {
    std::error_code ec;
    return fs::is_directory(fs::path(dir) / "cur", ec) || fs::is_directory(fs::path(dir) / "new", ec);
}

namespace {

// The message files of cur/ and new/ (files, or links to files; not hidden ones). Raises
// FormatError for a cur/ or new/ that cannot be listed or is no folder.
void ListMessages(const fs::path& dir, std::vector<std::string>& out) {
    for (const char* sub : {"cur", "new"}) {
        fs::path p = dir / sub;
        std::error_code ec;
        fs::file_status status = fs::status(p, ec);
        if (status.type() == fs::file_type::not_found) continue;
        if (ec) FailFile(p.string(), "cannot read the folder: " + ec.message());
        if (!fs::is_directory(status)) FailFile(p.string(), "not a folder (a Maildir's cur and new are folders)");
        for (const auto& entry : ListFolder(p)) {
            std::string name = entry.path.filename().string();
            if (name.empty() || name[0] == '.') continue;
            if (entry.type == fs::file_type::regular ||
                (entry.type == fs::file_type::symlink && fs::is_regular_file(entry.path, ec)))
                out.push_back(entry.path.string());
        }
    }
}

MaildirLayout& ChildNamed(MaildirLayout& parent, const std::string& name) {
    for (auto& child : parent.subfolders)
        if (child.name == name) return child;
    parent.subfolders.emplace_back();
    parent.subfolders.back().name = name;
    return parent.subfolders.back();
}

}  // namespace

MaildirLayout ScanMaildir(const std::string& dir) {
    MaildirLayout top;
    top.name = fs::path(dir).filename().string();
    if (top.name.empty()) top.name = fs::path(dir).parent_path().filename().string();
    // The folders as every reader of Maildir trees finds them (both layouts, no link
    // followed); ".Self -> ." would read every message twice.
    const TreeDir tree(dir);
    MaildirNaming naming;
    naming.topIsInbox = false;
    naming.strict = true;
    naming.linkWarning = LinkNotFollowedWarning;
    for (const auto& f : ListMaildirFolders(tree, DetectMaildirLayout(tree), naming, top.warnings)) {
        MaildirLayout* node = &top;
        for (const auto& name : f.names) node = &ChildNamed(*node, name);
        if (f.holdsMail) ListMessages(fs::path(dir) / f.dir, node->files);
    }
    return top;
}

namespace {

FolderData ReadLayout(const MaildirLayout& layout) {
    FolderData folder;
    folder.name = layout.name;
    folder.containerClass = "IPF.Note";
    for (const auto& file : layout.files) folder.items.push_back(ReadMaildirMessage(file));
    for (const auto& sub : layout.subfolders) folder.subfolders.push_back(ReadLayout(sub));
    return folder;
}

std::string Base64Lines(std::string_view data) {
    const std::string encoded = Base64(data);
    std::string out;
    for (size_t pos = 0; pos < encoded.size(); pos += 76) out.append(encoded, pos, 76).append("\r\n");
    return out;
}

// A UTC time to the second with the English names of its weekday and month.
struct UtcTime {
    dates::DateParts parts;
    const char* weekday;
    const char* month;
};
UtcTime UtcTimeOf(Date d) {
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int64_t seconds = UnixSecondsFromDate(d);
    const auto p = dates::SplitDate(DateFromUnixSeconds(seconds));
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    return {p, kDays[weekday], kMonths[p.month - 1]};
}

std::string Rfc5322Date(Date d) {
    const UtcTime t = UtcTimeOf(d);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d +0000", t.weekday, t.parts.day, t.month,
                  t.parts.year, t.parts.hour, t.parts.minute, t.parts.second);
    return buf;
}

std::string OneLine(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '\r' || c == '\n') ? ' ' : c;
    return out;
}

}  // namespace

FolderData ReadMaildir(const std::string& dir) { return ReadLayout(ScanMaildir(dir)); }

bool MaildirSeen(const std::string& path) {
    const fs::path p(path);
    if (p.parent_path().filename() != "cur") return false;  // new/: not yet seen by any client
    return ParseMaildirName(p.filename().string()).flags.find('S') != std::string::npos;
}

std::string MaildirFlagsOf(const ItemData& item) {
    auto integer = [&](uint32_t tag) {
        auto it = item.extraTagged.find(tag);
        return it == item.extraTagged.end() ? int64_t{0} : it->second.integer;
    };
    const int64_t flags = integer(store::PR_MESSAGE_FLAGS);
    const int64_t verb = integer(PR_LAST_VERB_EXECUTED);
    std::string out;
    if (flags & MSGFLAG_UNSENT) out += 'D';
    if (integer(PR_FLAG_STATUS) == kFlagStatusFlagged) out += 'F';
    if (verb == kVerbReplyToSender || verb == kVerbReplyToAll) out += 'R';
    if (flags & store::MSGFLAG_READ) out += 'S';
    return out;
}

ItemData ReadMaildirMessage(const std::string& path) {
    // Delivery writes a Maildir file in tmp/ and names it into new/ when it is whole, and a
    // message without a body is legal there: a header that ends with its line break is such a
    // message; one that ends inside a line was cut short (a copy broken off).
    InputFile file(path);
    ItemData item = std::move(ReadMessageFile(file, HeaderToEnd::CutWithinLine).front());
    const MaildirName name = ParseMaildirName(fs::path(path).filename().string());
    // Where the file lies and its name say whether it was read, whatever its headers say.
    auto& flags = item.extraTagged[store::PR_MESSAGE_FLAGS];
    flags.type = 0x0003;
    flags.integer &= ~(store::MSGFLAG_READ | MSGFLAG_UNSENT);
    if (MaildirSeen(path)) flags.integer |= store::MSGFLAG_READ;
    if (name.flags.find('D') != std::string::npos) flags.integer |= MSGFLAG_UNSENT;
    if (flags.integer == 0) item.extraTagged.erase(store::PR_MESSAGE_FLAGS);
    if (name.flags.find('F') != std::string::npos)
        item.extraTagged[PR_FLAG_STATUS] = {0x0003, kFlagStatusFlagged, {}, {}};
    if (name.flags.find('R') != std::string::npos)
        item.extraTagged[PR_LAST_VERB_EXECUTED] = {0x0003, kVerbReplyToSender, {}, {}};
    // Created when it was delivered, as the unique part of its name records (else when the
    // file was last written, which delivery leaves at that time too), not when it is imported:
    // the same message read in place has the same time.
    item.CreationTime = MaildirDeliveryTime(name.unique);
    if (!item.CreationTime) {
        struct stat st{};
        if (::stat(path.c_str(), &st) == 0)
            item.CreationTime = dates::FromUnixMillis(int64_t{st.st_mtim.tv_sec} * 1000 + st.st_mtim.tv_nsec / 1000000);
    }
    return item;
}

std::string MailHeaders(const ItemData& item) {
    std::string out;
    if (item.InternetMessageID) out += "Message-ID: " + OneLine(*item.InternetMessageID) + "\r\n";
    if (item.SentOn) out += "Date: " + Rfc5322Date(*item.SentOn) + "\r\n";
    std::string senderAddress;
    if (auto it = item.extraTagged.find(PR_SENDER_EMAIL_ADDRESS); it != item.extraTagged.end())
        senderAddress = OneLine(it->second.text);
    if (item.SenderName || !senderAddress.empty()) {
        std::string name = item.SenderName.value_or("");
        if (!senderAddress.empty() && senderAddress.find('@') != std::string::npos) {
            out += "From: " + MailboxText(name, senderAddress) + "\r\n";
        } else {
            // No usable address: a group keeps the display name readable and parseable.
            out += "From: " + DisplayNameText(name) + " <unknown@invalid>\r\n";
        }
    }
    // Address lists go out as UTF-8 text (RFC 6532): encoded words would hide their structure.
    if (item.To) out += "To: " + OneLine(*item.To) + "\r\n";
    if (item.Cc) out += "Cc: " + OneLine(*item.Cc) + "\r\n";
    if (item.Subject) out += "Subject: " + EncodeHeaderText(*item.Subject) + "\r\n";
    if (item.Class == 45) out += "X-Message-Class: IPM.Post\r\n";
    else if (item.MessageClass && !item.MessageClass->empty()) out += "X-Message-Class: " + OneLine(*item.MessageClass) + "\r\n";
    return out;
}

std::string WriteEml(const ItemData& item) {
    std::string out = MailHeaders(item);
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Transfer-Encoding: base64\r\n\r\n";
    out += Base64Lines(item.Body.value_or(""));
    return out;
}

std::string MessageBytes(const ItemData& item) {
    if (item.Source && item.Source->kind == store::ItemSource::Kind::Mime) return item.Source->Unpack();
    if (item.Source && item.Source->kind == store::ItemSource::Kind::PstMessage)
        return MessageFromPst(item, DecodePstMessage(item.Source->Unpack()));
    return WriteEml(item);
}

std::string MakeEnvelope(const ItemData& item) {
    std::string sender = "MAILER-DAEMON";
    if (auto it = item.extraTagged.find(PR_SENDER_EMAIL_ADDRESS); it != item.extraTagged.end()) {
        const std::string& a = it->second.text;
        if (a.find('@') != std::string::npos &&
            std::none_of(a.begin(), a.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; }))
            sender = a;
    }
    // In local time, as mail delivery writes it (and EnvelopeTime reads it).
    const UtcTime t = UtcTimeOf(dates::UtcToLocal(item.SentOn.value_or(item.CreationTime.value_or(DateFromUnixSeconds(0)))));
    char when[64];
    std::snprintf(when, sizeof when, "%s %s %2d %02d:%02d:%02d %04d", t.weekday, t.month, t.parts.day, t.parts.hour,
                  t.parts.minute, t.parts.second, t.parts.year);
    return "From " + sender + " " + when;
}

std::string MboxEntry(const std::string& envelope, std::string_view message) {
    std::string out;
    out.reserve(envelope.size() + message.size() + message.size() / 64 + 4);
    out += envelope;
    out += '\n';
    ForEachLine(message, [&](std::string_view line) {
        if (QuotedFromDepth(line)) out += '>';
        out.append(line);
    });
    if (!message.empty() && message.back() != '\n') out += '\n';
    out += '\n';
    return out;
}

}  // namespace nubra::formats
