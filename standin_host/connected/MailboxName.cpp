#include "standin_host/connected/MailboxName.h"

#include <algorithm>
#include <cstdint>

#include "standin_host/connected/Common.h"
#include "standin_host/formats/TextUtil.h"

namespace nubra::connected {
namespace {

// Modified BASE64: "," where BASE64 has "/", no padding.
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == ',') return 63;
    return -1;
}

// The code points of UTF-8 `text`; nullopt for anything that is no well-formed UTF-8 (overlong
// forms, surrogates, beyond U+10FFFF) or holds a NUL.
std::optional<std::vector<uint32_t>> CodePoints(std::string_view text) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        uint32_t cp = 0, least = 0;
        if (b < 0x80) n = 1, cp = b;
        else if ((b & 0xE0) == 0xC0) n = 2, cp = b & 0x1F, least = 0x80;
        else if ((b & 0xF0) == 0xE0) n = 3, cp = b & 0x0F, least = 0x800;
        else if ((b & 0xF8) == 0xF0) n = 4, cp = b & 0x07, least = 0x10000;
        else return std::nullopt;
        if (i + n > text.size()) return std::nullopt;
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0) return std::nullopt;
        out.push_back(cp);
        i += n;
    }
    return out;
}

std::string Replace(std::string_view text, std::string_view what, std::string_view with) {
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, from)) {
        out.append(text.substr(from, at - from)).append(with);
        from = at + what.size();
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace

std::optional<std::string> DecodeModifiedUtf7(std::string_view raw) {
    std::string out;
    for (size_t i = 0; i < raw.size();) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c < 0x20 || c > 0x7E) return std::nullopt;
        if (c != '&') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t end = raw.find('-', i + 1);
        if (end == std::string_view::npos) return std::nullopt;
        if (end == i + 1) {  // "&-"
            out += '&';
            i = end + 1;
            continue;
        }
        // UTF-16BE in modified BASE64.
        uint32_t bits = 0;
        int held = 0;
        std::vector<uint32_t> units;
        for (size_t k = i + 1; k < end; ++k) {
            const int v = SextetOf(raw[k]);
            if (v < 0) return std::nullopt;
            bits = ((bits << 6) | static_cast<uint32_t>(v)) & 0x3FFFFF;
            held += 6;
            if (held >= 16) {
                held -= 16;
                units.push_back((bits >> held) & 0xFFFF);
            }
        }
        // What is left over pads the last unit: fewer than six bits, all zero.
        if (held >= 6 || (bits & ((1u << held) - 1)) != 0 || units.empty()) return std::nullopt;
        for (size_t k = 0; k < units.size(); ++k) {
            uint32_t cp = units[k];
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (k + 1 >= units.size() || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF) return std::nullopt;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++k] - 0xDC00);
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                return std::nullopt;
            }
            if (cp == 0) return std::nullopt;
            formats::AppendUtf8(out, cp);
        }
        i = end + 1;
    }
    return out;
}

std::string EncodeModifiedUtf7(std::string_view text) {
    const auto points = CodePoints(text);
    if (!points)
        RaiseError(errnum::kMapiInvalidParameter,
                   "the name \"" + std::string(text) + "\" is no UTF-8 text (or holds a NUL character)", kSource);
    std::string out;
    std::vector<uint16_t> run;
    auto flush = [&] {
        if (run.empty()) return;
        out += '&';
        uint32_t bits = 0;
        int held = 0;
        for (uint16_t unit : run) {
            bits = (bits << 16) | unit;
            held += 16;
            while (held >= 6) {
                held -= 6;
                out += kAlphabet[(bits >> held) & 0x3F];
            }
            bits &= (1u << held) - 1;
        }
        if (held > 0) out += kAlphabet[(bits << (6 - held)) & 0x3F];
        out += '-';
        run.clear();
    };
    for (uint32_t cp : *points) {
        if (cp >= 0x20 && cp <= 0x7E) {
            flush();
            out += cp == '&' ? std::string("&-") : std::string(1, static_cast<char>(cp));
        } else if (cp >= 0x10000) {
            run.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            run.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            run.push_back(static_cast<uint16_t>(cp));
        }
    }
    flush();
    return out;
}

std::string ShowBackslashes(std::string_view name) { return Replace(name, "\\", kShownBackslash); }
std::string RealBackslashes(std::string_view shown) { return Replace(shown, kShownBackslash, "\\"); }

MailboxPlace PlaceMailbox(const std::string& name, char delimiter) {
    MailboxPlace p;
    if (name.empty()) {
        p.refused = "it has no name";
        return p;
    }
    // Counted before anything is split: a name of a million levels costs nothing.
    const size_t levels = delimiter ? static_cast<size_t>(std::count(name.begin(), name.end(), delimiter)) + 1 : 1;
    if (levels > kMaxFolderLevels) {
        p.refused = "it is " + std::to_string(levels) + " levels deep, more than the " + std::to_string(kMaxFolderLevels) +
                    " a folder may be";
        return p;
    }
    // Modified UTF-7 takes at most about three bytes for each byte of UTF-8 it stands for.
    if (name.size() > 4 * kMaxFolderPathBytes) {
        p.refused = "its name is " + std::to_string(name.size()) + " bytes long, more than a folder's path may be";
        return p;
    }
    size_t start = 0;
    while (true) {
        const size_t d = delimiter ? name.find(delimiter, start) : std::string::npos;
        p.levels.push_back(name.substr(start, d == std::string::npos ? std::string::npos : d - start));
        if (d == std::string::npos) break;
        start = d + 1;
    }
    for (const auto& level : p.levels) {
        if (level.empty()) {
            p.refused = "it has a level without a name (two delimiters in a row, or one at its start or end)";
            return p;
        }
        auto decoded = DecodeModifiedUtf7(level);
        if (!decoded) p.undecodable = true;
        p.folders.push_back(ShowBackslashes(decoded ? *decoded : level));
    }
    p.refused = FolderPathProblem(p.folders);
    return p;
}

std::optional<std::string> MailboxOfNewFolder(const std::string& parent, const std::string& folder, char delimiter) {
    if (folder.empty() || !CodePoints(folder)) return std::nullopt;
    const std::string level = EncodeModifiedUtf7(RealBackslashes(folder));
    if (delimiter && level.find(delimiter) != std::string::npos) return std::nullopt;
    return parent.empty() ? level : parent + std::string(1, delimiter ? delimiter : '/') + level;
}

std::string Excerpt(std::string_view name) {
    if (name.size() <= 120) return std::string(name);
    size_t cut = 100;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return std::string(name.substr(0, cut)) + "… (" + std::to_string(name.size()) + " bytes)";
}

}  // namespace nubra::connected
