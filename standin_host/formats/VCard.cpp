#include "standin_host/formats/VCard.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <optional>

#include <glib.h>

#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/ItemSource.h"

namespace nubra::formats {
namespace {

constexpr size_t kMaxLineLength = 1 << 20;

// MAPI tags of the contact fields kept beside the named ones.
constexpr uint32_t PR_TITLE = 0x3A17001E;
constexpr uint32_t PR_BUSINESS_TELEPHONE_NUMBER = 0x3A08001E;
constexpr uint32_t PR_HOME_TELEPHONE_NUMBER = 0x3A09001E;
constexpr uint32_t PR_MOBILE_TELEPHONE_NUMBER = 0x3A1C001E;
constexpr uint32_t PR_NICKNAME = 0x3A4F001E;

struct Param {
    std::string name;   // upper case; empty for a bare 2.1 value ("WORK", "PREF")
    std::string value;  // as written
};

struct Property {
    int64_t line = 0;
    size_t begin = 0, end = 0;  // bytes of the text it was read from: its first line to its last line's end
    std::string name;  // upper case, group removed
    std::vector<Param> params;
    std::string value;  // raw (still escaped / encoded)

    bool Has(const std::string& paramName) const {
        for (const auto& p : params)
            if (p.name == paramName) return true;
        return false;
    }
    std::optional<std::string> Get(const std::string& paramName) const {
        for (const auto& p : params)
            if (p.name == paramName) return p.value;
        return std::nullopt;
    }
    // Every TYPE value, lower case, including 2.1 bare values.
    std::vector<std::string> Types() const {
        std::vector<std::string> out;
        for (const auto& p : params) {
            if (p.name == "TYPE" || p.name.empty()) {
                std::string v = AsciiLower(p.value);
                size_t start = 0;
                while (start <= v.size()) {
                    size_t comma = v.find(',', start);
                    if (comma == std::string::npos) comma = v.size();
                    std::string t = v.substr(start, comma - start);
                    if (!t.empty() && t.front() == '"') t = t.substr(1);
                    if (!t.empty() && t.back() == '"') t.pop_back();
                    if (!t.empty()) out.push_back(t);
                    start = comma + 1;
                }
            }
        }
        return out;
    }
    std::string Encoding() const {
        if (auto e = Get("ENCODING")) return AsciiLower(*e);
        for (const auto& p : params)
            if (p.name.empty()) {
                std::string v = AsciiLower(p.value);
                if (v == "quoted-printable" || v == "base64") return v;
            }
        return {};
    }
    bool IsQuotedPrintable() const { return Encoding() == "quoted-printable"; }
    bool IsBase64() const {
        std::string e = Encoding();
        return e == "base64" || e == "b";
    }
};

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits "group.NAME;p=v;BARE:value". Returns none when the line has no property shape.
std::optional<Property> SplitProperty(const std::string& line, int64_t number) {
    size_t i = 0;
    while (i < line.size() && (IsNameChar(line[i]) || line[i] == '.')) ++i;
    if (i == 0) return std::nullopt;
    std::string name = line.substr(0, i);
    if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
    if (name.empty()) return std::nullopt;
    Property prop;
    prop.line = number;
    prop.name = Upper(name);
    while (i < line.size() && line[i] == ';') {
        ++i;
        size_t start = i;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ';' && line[i] != ':'))) {
            if (line[i] == '"') quoted = !quoted;
            ++i;
        }
        std::string text = line.substr(start, i - start);
        size_t eq = text.find('=');
        if (eq == std::string::npos) {
            prop.params.push_back({"", TrimWhite(text)});
        } else {
            std::string value = text.substr(eq + 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            prop.params.push_back({Upper(TrimWhite(text.substr(0, eq))), value});
        }
    }
    if (i >= line.size()) {
        // "FN" alone: some writers leave out the colon of an empty value.
        if (i == line.size()) return prop;
        return std::nullopt;
    }
    if (line[i] != ':') return std::nullopt;
    prop.value = line.substr(i + 1);
    return prop;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string DecodeQuotedPrintable(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '=' && i + 2 < s.size() + 0 && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Card {
    int64_t line = 0;
    size_t begin = 0, end = 0;  // BEGIN:VCARD to the end of its END:VCARD line
    std::string version;
    std::vector<Property> props;
};

// Text of a value: transfer encoding and character set undone (escapes stay).
std::string DecodedText(const Property& prop, const Card& card, const std::string& file) {
    std::string bytes = prop.IsQuotedPrintable() ? DecodeQuotedPrintable(prop.value) : prop.value;
    if (auto charset = prop.Get("CHARSET")) {
        auto text = ToUtf8(bytes, *charset);
        if (!text) FailAtLine(file, prop.line, "unknown character set \"" + *charset + "\"");
        return *text;
    }
    if (auto bad = FindInvalidUtf8(bytes)) {
        // vCard 2.1 has no fixed character set; the writers that omit CHARSET use the
        // Windows Western one. Later versions are UTF-8 by definition.
        if (card.version == "2.1" || card.version.empty()) {
            if (auto text = ToUtf8(bytes, "windows-1252")) return *text;
        }
        FailAtLine(file, prop.line, "the value is not UTF-8 (byte " + std::to_string(*bad) + " of the value)");
    }
    return bytes;
}

// Splits a structured value at unescaped ';' and undoes the escapes of each part.
std::vector<std::string> Components(const std::string& text) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            if (n == 'n' || n == 'N') parts.back() += '\n';
            else parts.back() += n;
        } else if (c == ';') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            out += (n == 'n' || n == 'N') ? '\n' : n;
        } else {
            out += text[i];
        }
    }
    return out;
}

void SetIfAny(std::optional<std::string>& field, const std::string& value) {
    if (!value.empty()) field = value;
}

ItemData CardToItem(const Card& card, const std::string& file) {
    ItemData item;
    item.Class = 40;
    struct EmailChoice {
        std::string address;
        int rank;  // lower wins; INT_MAX for no preference
        size_t order;
    };
    std::optional<EmailChoice> email;
    size_t order = 0;
    for (const auto& prop : card.props) {
        const std::string& n = prop.name;
        if (n == "N") {
            auto parts = Components(DecodedText(prop, card, file));
            SetIfAny(item.LastName, parts.size() > 0 ? parts[0] : std::string());
            SetIfAny(item.FirstName, parts.size() > 1 ? parts[1] : std::string());
        } else if (n == "FN") {
            std::string fn = Unescape(DecodedText(prop, card, file));
            SetIfAny(item.FullName, fn);
            SetIfAny(item.Subject, fn);
        } else if (n == "ORG") {
            auto parts = Components(DecodedText(prop, card, file));
            SetIfAny(item.CompanyName, parts[0]);
        } else if (n == "EMAIL") {
            std::string address = TrimWhite(Unescape(DecodedText(prop, card, file)));
            if (address.empty()) continue;
            int rank = INT_MAX;
            if (auto pref = prop.Get("PREF")) {
                try {
                    rank = std::stoi(*pref);
                } catch (...) {
                    rank = 1;
                }
            }
            for (const auto& t : prop.Types())
                if (t == "pref") rank = std::min(rank, 1);
            EmailChoice choice{address, rank, order++};
            if (!email || choice.rank < email->rank) email = choice;
        } else if (n == "NOTE") {
            SetIfAny(item.Body, Unescape(DecodedText(prop, card, file)));
        } else if (n == "TITLE") {
            std::string v = Unescape(DecodedText(prop, card, file));
            if (!v.empty()) item.extraTagged[PR_TITLE] = {0x001E, 0, v, {}};
        } else if (n == "NICKNAME") {
            std::string v = Unescape(DecodedText(prop, card, file));
            if (!v.empty()) item.extraTagged[PR_NICKNAME] = {0x001E, 0, v, {}};
        } else if (n == "TEL") {
            std::string v = TrimWhite(Unescape(DecodedText(prop, card, file)));
            if (v.empty()) continue;
            auto types = prop.Types();
            auto has = [&](const char* t) { return std::find(types.begin(), types.end(), t) != types.end(); };
            uint32_t tag = has("cell") ? PR_MOBILE_TELEPHONE_NUMBER
                           : has("home") ? PR_HOME_TELEPHONE_NUMBER
                           : has("work") ? PR_BUSINESS_TELEPHONE_NUMBER
                                         : 0;
            if (tag && !item.extraTagged.count(tag)) item.extraTagged[tag] = {0x001E, 0, v, {}};
        }
    }
    if (email) item.Email1Address = email->address;
    // No N, or one that names nobody ("N:;;;;"): the names come from FN.
    FillNamesFromFullName(item.FirstName, item.LastName, item.FullName);
    return item;
}

}  // namespace

std::vector<ItemData> ParseVCards(std::string_view data, const std::string& file) {
    std::vector<ItemData> items;
    std::vector<Card> cards;
    std::optional<Card> card;
    int depth = 0;             // nested cards (2.1 AGENT) are skipped
    std::optional<Property> open;  // the property still gathering continuation lines
    bool continueQp = false;

    auto finishProperty = [&]() {
        if (!open) return;
        Property prop = std::move(*open);
        open.reset();
        continueQp = false;
        if (prop.name == "BEGIN") {
            if (AsciiLower(TrimWhite(prop.value)) != "vcard")
                FailAtLine(file, prop.line, "BEGIN:" + prop.value + " where BEGIN:VCARD was expected");
            if (card) {
                ++depth;
            } else {
                card = Card{};
                card->line = prop.line;
                card->begin = prop.begin;
            }
            return;
        }
        if (prop.name == "END") {
            if (!card) FailAtLine(file, prop.line, "END without BEGIN:VCARD");
            if (AsciiLower(TrimWhite(prop.value)) != "vcard")
                FailAtLine(file, prop.line, "END:" + prop.value + " inside a vCard");
            if (depth > 0) {
                --depth;
                return;
            }
            card->end = prop.end;
            cards.push_back(std::move(*card));
            card.reset();
            return;
        }
        if (!card) FailAtLine(file, prop.line, "property outside BEGIN:VCARD ... END:VCARD");
        if (depth > 0) return;
        if (prop.name == "VERSION") card->version = TrimWhite(prop.value);
        card->props.push_back(std::move(prop));
    };

    size_t pos = 0;
    int64_t number = 0;
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        if (end == std::string_view::npos) end = data.size();
        ++number;
        if (end - pos > kMaxLineLength)
            FailAtLine(file, number, "line longer than " + std::to_string(kMaxLineLength) + " bytes");
        std::string line(data.substr(pos, end - pos));
        const size_t lineBegin = pos;
        pos = std::min(end + 1, data.size());
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos) FailAtLine(file, number, "NUL byte in the text");

        if (open && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            open->end = pos;
            open->value += line.substr(1);
            continueQp = open->IsQuotedPrintable() && !open->value.empty() && open->value.back() == '=';
            continue;
        }
        if (open && continueQp) {
            // Soft line break: the '=' at the end joins the next line.
            open->end = pos;
            open->value.pop_back();
            open->value += line;
            continueQp = !open->value.empty() && open->value.back() == '=';
            continue;
        }
        if (open && open->IsBase64() && !line.empty() && line.find(':') == std::string::npos) {
            open->end = pos;
            open->value += line;  // 2.1 base64 runs on until an empty line
            continue;
        }
        if (TrimWhite(line).empty()) {
            finishProperty();
            continue;
        }
        finishProperty();
        auto prop = SplitProperty(line, number);
        if (!prop) FailAtLine(file, number, "not a vCard property line");
        prop->begin = lineBegin;
        prop->end = pos;
        open = std::move(prop);
        continueQp = open->IsQuotedPrintable() && !open->value.empty() && open->value.back() == '=';
    }
    finishProperty();
    if (card) FailAtLine(file, card->line, "BEGIN:VCARD without END:VCARD");
    if (cards.empty()) FailAtLine(file, 1, "no vCard in the file");
    items.reserve(cards.size());
    for (const auto& c : cards) {
        items.push_back(CardToItem(c, file));
        // The card as written, so that what no field holds (photos, categories, X- properties)
        // goes out again as it came in.
        items.back().Source = store::ItemSource::Pack(store::ItemSource::Kind::VCard, data.substr(c.begin, c.end - c.begin));
    }
    return items;
}

std::vector<ItemData> ReadVCardFile(const std::string& path) {
    return ParseVCards(ReadTextFile(path), path);
}

namespace {

std::string Escape(const std::string& s, bool structured) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == ',') out += "\\,";
        else if (c == ';' && structured) out += "\\;";
        else if (c == ';') out += "\\;";
        else if (c == '\n') out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') continue;
        else out += c;
    }
    return out;
}

}  // namespace

namespace {

// The UID line of a card (unfolded, without its line end, parameters kept); empty when the
// card has none.
std::string UidLineOf(std::string_view card) {
    std::string line;
    bool inUid = false;
    for (size_t pos = 0; pos < card.size();) {
        size_t end = card.find('\n', pos);
        if (end == std::string_view::npos) end = card.size();
        std::string_view text = card.substr(pos, end - pos);
        pos = end + 1;
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) {
            if (inUid) line.append(text.substr(1));
            continue;
        }
        if (inUid) return line;
        if (text.size() > 4 && g_ascii_strncasecmp(text.data(), "UID", 3) == 0 && (text[3] == ':' || text[3] == ';')) {
            line = "UID" + std::string(text.substr(3));
            inUid = true;
        }
    }
    return line;
}

}  // namespace

std::string ContactUid(std::string_view name) {
    // RFC 4122 name-based UUID (version 5, SHA-1) in a namespace of this program's own.
    static constexpr uint8_t kNamespace[16] = {0x6b, 0x1d, 0x3f, 0x52, 0x88, 0x0e, 0x4c, 0x61,
                                               0x9a, 0x27, 0xd4, 0x70, 0x13, 0xc5, 0x2e, 0x9f};
    GChecksum* sha1 = g_checksum_new(G_CHECKSUM_SHA1);
    g_checksum_update(sha1, kNamespace, sizeof kNamespace);
    g_checksum_update(sha1, reinterpret_cast<const guchar*>(name.data()), static_cast<gssize>(name.size()));
    uint8_t digest[20];
    gsize length = sizeof digest;
    g_checksum_get_digest(sha1, digest, &length);
    g_checksum_free(sha1);
    digest[6] = static_cast<uint8_t>((digest[6] & 0x0F) | 0x50);
    digest[8] = static_cast<uint8_t>((digest[8] & 0x3F) | 0x80);
    char text[64];
    std::snprintf(text, sizeof text,
                  "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", digest[0],
                  digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7], digest[8], digest[9],
                  digest[10], digest[11], digest[12], digest[13], digest[14], digest[15]);
    return text;
}

std::string WriteVCard(const ItemData& item, std::string_view uidName) {
    if (store::SourceIsCurrent(item) && item.Source->kind == store::ItemSource::Kind::VCard) {
        std::string card = item.Source->Unpack();
        if (!card.empty() && card.back() != '\n') card += "\r\n";  // the last card of a file without a line end
        return card;
    }
    std::string out = "BEGIN:VCARD\r\nVERSION:4.0\r\n";
    std::string fn = item.FullName.value_or(item.Subject.value_or(""));
    if (fn.empty()) {
        fn = item.FirstName.value_or("");
        if (item.LastName) fn += (fn.empty() ? "" : " ") + *item.LastName;
    }
    AppendFoldedLine(out, "FN:" + Escape(fn, false));
    AppendFoldedLine(out, "N:" + Escape(item.LastName.value_or(""), true) + ";" +
                          Escape(item.FirstName.value_or(""), true) + ";;;");
    if (item.CompanyName) AppendFoldedLine(out, "ORG:" + Escape(*item.CompanyName, true));
    if (item.Email1Address) AppendFoldedLine(out, "EMAIL;PREF=1:" + Escape(*item.Email1Address, false));
    auto tagged = [&](uint32_t tag) -> const std::string* {
        auto it = item.extraTagged.find(tag);
        return it == item.extraTagged.end() || it->second.text.empty() ? nullptr : &it->second.text;
    };
    if (auto* v = tagged(PR_TITLE)) AppendFoldedLine(out, "TITLE:" + Escape(*v, false));
    if (auto* v = tagged(PR_NICKNAME)) AppendFoldedLine(out, "NICKNAME:" + Escape(*v, false));
    if (auto* v = tagged(PR_BUSINESS_TELEPHONE_NUMBER)) AppendFoldedLine(out, "TEL;TYPE=work:" + Escape(*v, false));
    if (auto* v = tagged(PR_HOME_TELEPHONE_NUMBER)) AppendFoldedLine(out, "TEL;TYPE=home:" + Escape(*v, false));
    if (auto* v = tagged(PR_MOBILE_TELEPHONE_NUMBER)) AppendFoldedLine(out, "TEL;TYPE=cell:" + Escape(*v, false));
    if (item.Body && !item.Body->empty()) AppendFoldedLine(out, "NOTE:" + Escape(*item.Body, false));
    // Address books need a UID to tell cards apart: the one the card had when it was read,
    // else one made from `uidName`, else from the card itself.
    std::string uid = item.Source && item.Source->kind == store::ItemSource::Kind::VCard ? UidLineOf(item.Source->Unpack())
                                                                                        : std::string();
    if (uid.empty()) uid = "UID:" + ContactUid(uidName.empty() ? std::string_view(out) : uidName);
    AppendFoldedLine(out, uid);
    out += "END:VCARD\r\n";
    return out;
}

}  // namespace nubra::formats
