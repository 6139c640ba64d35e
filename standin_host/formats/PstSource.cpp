// GMime's headers must come before anything that could define its keywords.
#include <gmime/gmime.h>

#include "standin_host/formats/PstSource.h"

#include <nlohmann/json.hpp>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/MimeUtil.h"
#include "standin_host/formats/TextUtil.h"

namespace nubra::formats {
namespace {

using json = nlohmann::json;

json Binary(const std::string& bytes) { return json::binary(std::vector<uint8_t>(bytes.begin(), bytes.end())); }

std::string BinaryText(const json& value) {
    const auto& b = value.get_binary();
    return std::string(b.begin(), b.end());
}

// The texts an embedded message keeps of its properties, by key.
const std::pair<const char*, std::optional<std::string> ItemData::*> kItemTexts[] = {
    {"mc", &ItemData::MessageClass}, {"subject", &ItemData::Subject}, {"body", &ItemData::Body},
    {"id", &ItemData::InternetMessageID}, {"from", &ItemData::SenderName}, {"to", &ItemData::To},
    {"cc", &ItemData::Cc}};

// Short keys: the record sits beside every item of a data file.
json Encode(const PstMessage& m, bool withItem) {
    json j = json::object();
    if (withItem) {
        const ItemData& d = m.item;
        json i = json::object();
        i["class"] = d.Class;
        for (const auto& [key, field] : kItemTexts)
            if (d.*field) i[key] = *(d.*field);
        if (auto it = d.extraTagged.find(PR_SENDER_EMAIL_ADDRESS); it != d.extraTagged.end())
            i["fromAddr"] = it->second.text;
        if (d.SentOn) i["sent"] = FiletimeFromDate(*d.SentOn);
        j["item"] = std::move(i);
    }
    if (!m.html.empty()) {
        j["html"] = Binary(m.html);
        j["htmlCs"] = m.htmlCharset;
    }
    if (!m.rtfCompressed.empty()) j["rtf"] = Binary(m.rtfCompressed);
    if (!m.transportHeaders.empty()) j["headers"] = m.transportHeaders;
    if (!m.recipients.empty()) {
        json r = json::array();
        for (const auto& p : m.recipients) r.push_back(json::array({p.type, p.name, p.address, p.addressType}));
        j["rcpt"] = std::move(r);
    }
    if (!m.attachments.empty()) {
        json list = json::array();
        for (const auto& a : m.attachments) {
            json e = {{"name", a.name}, {"mime", a.mimeType}, {"cid", a.contentId}, {"inline", a.isInline},
                      {"method", a.method}};
            if (a.message)
                e["msg"] = Encode(*a.message, true);
            else
                e["data"] = Binary(a.data);
            list.push_back(std::move(e));
        }
        j["att"] = std::move(list);
    }
    return j;
}

PstMessage Decode(const json& j) {
    PstMessage m;
    if (auto it = j.find("item"); it != j.end()) {
        const json& i = *it;
        ItemData& d = m.item;
        d.Class = i.value("class", 43);
        for (const auto& [key, field] : kItemTexts)
            if (auto f = i.find(key); f != i.end()) d.*field = f->get<std::string>();
        if (auto f = i.find("fromAddr"); f != i.end())
            d.extraTagged[PR_SENDER_EMAIL_ADDRESS] = {0x001E, 0, f->get<std::string>(), {}};
        if (auto f = i.find("sent"); f != i.end()) d.SentOn = DateFromFiletime(f->get<int64_t>());
    }
    if (auto it = j.find("html"); it != j.end()) {
        m.html = BinaryText(*it);
        m.htmlCharset = j.value("htmlCs", std::string());
    }
    if (auto it = j.find("rtf"); it != j.end()) m.rtfCompressed = BinaryText(*it);
    m.transportHeaders = j.value("headers", std::string());
    if (auto it = j.find("rcpt"); it != j.end())
        for (const auto& r : *it)
            m.recipients.push_back({r.at(0).get<int32_t>(), r.at(1).get<std::string>(), r.at(2).get<std::string>(),
                                    r.at(3).get<std::string>()});
    if (auto it = j.find("att"); it != j.end())
        for (const auto& e : *it) {
            PstAttachment a;
            a.name = e.value("name", std::string());
            a.mimeType = e.value("mime", std::string());
            a.contentId = e.value("cid", std::string());
            a.isInline = e.value("inline", false);
            a.method = e.value("method", 0);
            if (auto msg = e.find("msg"); msg != e.end())
                a.message = std::make_shared<PstMessage>(Decode(*msg));
            else if (auto data = e.find("data"); data != e.end())
                a.data = BinaryText(*data);
            m.attachments.push_back(std::move(a));
        }
    return m;
}

// The transport headers without the fields that described the message's MIME structure (the
// structure is made anew), each field as it was, folded lines and all, ending in CRLF.
std::string KeptTransportHeaders(std::string_view headers) {
    std::string out;
    bool keep = false;
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t end = headers.find('\n', pos);
        end = end == std::string_view::npos ? headers.size() : end + 1;
        std::string_view line = headers.substr(pos, end - pos);
        pos = end;
        std::string_view text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        if (text.empty()) break;  // the end of the header
        if (text[0] != ' ' && text[0] != '\t') {
            const std::string name = AsciiLower(text.substr(0, text.find(':')));
            keep = text.find(':') != std::string_view::npos && !name.starts_with("content-") && name != "mime-version";
        }
        if (!keep) continue;
        out.append(text);
        out += "\r\n";
    }
    return out;
}

std::string AddressList(const std::vector<PstRecipient>& recipients, int32_t type) {
    std::string out;
    for (const auto& r : recipients) {
        if (r.type != type) continue;
        std::string one = r.address.find('@') != std::string::npos ? MailboxText(r.name, r.address) : DisplayNameText(r.name);
        if (one.empty()) continue;
        out += (out.empty() ? "" : ",\r\n ") + one;
    }
    return out;
}

// Headers made from the properties, with the recipients' addresses where the file has them.
std::string HeadersOf(const ItemData& item, const PstMessage& m) {
    ItemData plain = item;
    // An Exchange sender ("/O=...") has its Internet address beside it.
    constexpr uint32_t PR_SENDER_SMTP_ADDRESS = 0x5D01001E;
    auto smtp = item.extraTagged.find(PR_SENDER_SMTP_ADDRESS);
    auto address = plain.extraTagged.find(PR_SENDER_EMAIL_ADDRESS);
    if (smtp != item.extraTagged.end() && smtp->second.text.find('@') != std::string::npos &&
        (address == plain.extraTagged.end() || address->second.text.find('@') == std::string::npos))
        plain.extraTagged[PR_SENDER_EMAIL_ADDRESS] = smtp->second;
    std::string to = AddressList(m.recipients, 1), cc = AddressList(m.recipients, 2), bcc = AddressList(m.recipients, 3);
    if (!to.empty()) plain.To.reset();
    if (!cc.empty()) plain.Cc.reset();
    std::string out = MailHeaders(plain);
    if (!to.empty()) out += "To: " + to + "\r\n";
    if (!cc.empty()) out += "Cc: " + cc + "\r\n";
    if (!bcc.empty()) out += "Bcc: " + bcc + "\r\n";
    return out;
}

GMimeObject* BodyPart(const ItemData& item, const PstMessage& m) {
    GMimeObject* plain = nullptr;
    if (item.Body || m.html.empty()) plain = TextPart("plain", item.Body.value_or(""), "utf-8");
    GMimeObject* html = m.html.empty() ? nullptr : TextPart("html", m.html, m.htmlCharset.empty() ? "utf-8" : m.htmlCharset);
    if (plain && html) {
        GMimeMultipart* alt = g_mime_multipart_new_with_subtype("alternative");
        g_mime_multipart_add(alt, plain);
        g_mime_multipart_add(alt, html);
        g_object_unref(plain);
        g_object_unref(html);
        return GMIME_OBJECT(alt);
    }
    return plain ? plain : html;
}

std::string Compose(const ItemData& item, const PstMessage& m, int depth) {
    std::string headers = m.transportHeaders.empty() ? HeadersOf(item, m) : KeptTransportHeaders(m.transportHeaders);
    GObjectRef body(BodyPart(item, m));
    GObjectRef top;
    if (m.attachments.empty()) {
        top = std::move(body);
    } else {
        GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
        g_mime_multipart_add(mixed, body.get());
        for (const auto& a : m.attachments) {
            GObjectRef part;
            if (a.message && depth < 32) {
                const std::string inner = Compose(a.message->item, *a.message, depth + 1);
                part.reset(MessagePart(inner, a.name));
            } else {
                part.reset(AttachmentPart(a.data, a.mimeType, a.name, a.contentId, a.isInline));
            }
            if (part) g_mime_multipart_add(mixed, part.get());
        }
        top.reset(GMIME_OBJECT(mixed));
    }
    return headers + "MIME-Version: 1.0\r\n" + WriteMimeObject(top.get());
}

}  // namespace

std::string EncodePstMessage(const PstMessage& message) {
    std::vector<uint8_t> bytes = json::to_cbor(Encode(message, false));
    return std::string(bytes.begin(), bytes.end());
}

PstMessage DecodePstMessage(std::string_view bytes) {
    try {
        return Decode(json::from_cbor(bytes.begin(), bytes.end()));
    } catch (const json::exception& e) {
        FailFile("an item's source", std::string("not what an Outlook data file held of a message: ") + e.what());
    }
}

std::string MessageFromPst(const ItemData& item, const PstMessage& message) { return Compose(item, message, 0); }

}  // namespace nubra::formats
