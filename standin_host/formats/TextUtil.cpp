#include "standin_host/formats/TextUtil.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "host/AutomationDates.h"
#include "standin_host/formats/FormatError.h"

namespace nubra::formats {

std::string ReadWholeFile(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) FailFile(path, "cannot open the file");
    std::string data;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) data.append(chunk, n);
    if (std::ferror(f.get())) FailFile(path, "cannot read the file");
    return data;
}

std::string ReadTextFile(const std::string& path) {
    std::string data = ReadWholeFile(path);
    if (data.starts_with("\xEF\xBB\xBF")) data.erase(0, 3);
    return data;
}

std::optional<size_t> FindInvalidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        // Plain ASCII eight bytes at a time: the usual case.
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return i;
        }
        if (i + len > n) return i;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return i;
        i += len;
    }
    return std::nullopt;
}

namespace {

// Writes U+FFFD for every byte sequence the charset does not hold. ICU's own substitution
// writes U+001A (SUB) instead for some code pages (932 among them), which reads as a control
// character rather than as something that could not be read.
void WriteReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                               UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
    static const UChar kReplacement = 0xFFFD;
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, status);
}

// `strict`: a byte sequence that is not valid in `charset` fails the conversion instead of
// becoming U+FFFD.
std::optional<std::string> ConvertToUtf8(std::string_view bytes, const std::string& charset, bool strict) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* raw = ucnv_open(charset.c_str(), &status);
    if (U_FAILURE(status) || !raw) return std::nullopt;
    std::unique_ptr<UConverter, void (*)(UConverter*)> from(raw, ucnv_close);
    status = U_ZERO_ERROR;
    ucnv_setToUCallBack(from.get(), strict ? UCNV_TO_U_CALLBACK_STOP : WriteReplacementCharacter, nullptr, nullptr,
                        nullptr, &status);
    if (U_FAILURE(status)) return std::nullopt;
    std::unique_ptr<UConverter, void (*)(UConverter*)> to(ucnv_open("UTF-8", &status), ucnv_close);
    if (U_FAILURE(status)) return std::nullopt;
    std::string out;
    out.resize(bytes.size() * 4 + 16);
    char* target = out.data();
    const char* source = bytes.data();
    status = U_ZERO_ERROR;
    ucnv_convertEx(to.get(), from.get(), &target, out.data() + out.size(), &source,
                   bytes.data() + bytes.size(), nullptr, nullptr, nullptr, nullptr, true, true,
                   &status);
    if (U_FAILURE(status)) return std::nullopt;
    out.resize(static_cast<size_t>(target - out.data()));
    return out;
}

}  // namespace

std::optional<std::string> ToUtf8(std::string_view bytes, const std::string& charset) {
    return ConvertToUtf8(bytes, charset, false);
}

std::optional<std::string> ToUtf8Strict(std::string_view bytes, const std::string& charset) {
    return ConvertToUtf8(bytes, charset, true);
}

int32_t AnsiCodePageOf(int32_t codePage) {
    switch (codePage) {
        // Japanese
        case 50220: case 50221: case 50222:  // ISO-2022-JP and its variants with half-width kana
        case 51932: case 20932:              // EUC-JP
        case 10001:                          // Mac Japanese
            return 932;
        // Chinese, simplified
        case 20936: case 51936:  // GB2312, EUC-CN
        case 52936:              // HZ-GB-2312
        case 54936:              // GB18030 (a superset of 936; a Windows program keeps 936)
        case 50227:              // ISO-2022-CN
        case 10008:              // Mac Chinese simplified
            return 936;
        // Chinese, traditional
        case 51950: case 50229:  // EUC-TW, ISO-2022 traditional Chinese
        case 20000: case 20002:  // CNS, Eten
        case 10002:              // Mac Chinese traditional
            return 950;
        // Korean
        case 51949: case 50225: case 20949:  // EUC-KR, ISO-2022-KR, Wansung
        case 1361:                           // Johab
        case 10003:                          // Mac Korean
            return 949;
        // Latin and the other alphabets of ISO 8859, KOI8 and the Mac
        case 28591: case 28605: case 10000: return 1252;  // Western: ISO-8859-1, -15, Mac Roman
        case 28592: case 10029: return 1250;               // Central European: ISO-8859-2, Mac
        case 28595: case 20866: case 21866: case 10007: return 1251;  // Cyrillic: ISO-8859-5, KOI8-R/U, Mac
        case 28597: case 10006: return 1253;                          // Greek
        case 28599: case 10081: return 1254;                          // Turkish
        case 28598: case 38598: case 10005: return 1255;              // Hebrew (visual and logical)
        case 28596: case 10004: return 1256;                          // Arabic
        case 28594: case 28603: return 1257;                          // Baltic: ISO-8859-4, -13
        case 28601: case 10021: return 874;                           // Thai: ISO-8859-11, Mac
        default: return codePage;
    }
}

int32_t SystemAnsiCodePage() {
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    if (!locale) return 1252;
    const std::string tag = AsciiLower(locale);
    const std::string language = tag.substr(0, tag.find_first_of("_.@-"));
    struct Row {
        const char* language;
        int32_t codePage;
    };
    static const Row rows[] = {
        {"ja", 932},   {"ko", 949},   {"th", 874},   {"vi", 1258},  {"ru", 1251},  {"uk", 1251},
        {"be", 1251},  {"bg", 1251},  {"sr", 1251},  {"mk", 1251},  {"kk", 1251},  {"pl", 1250},
        {"cs", 1250},  {"sk", 1250},  {"hu", 1250},  {"sl", 1250},  {"hr", 1250},  {"ro", 1250},
        {"bs", 1250},  {"sq", 1250},  {"el", 1253},  {"tr", 1254},  {"az", 1254},  {"he", 1255},
        {"iw", 1255},  {"ar", 1256},  {"fa", 1256},  {"ur", 1256},  {"lt", 1257},  {"lv", 1257},
        {"et", 1257}};
    if (language == "zh") {
        // Taiwan and Hong Kong write traditional characters.
        return tag.find("_tw") != std::string::npos || tag.find("_hk") != std::string::npos ||
                       tag.find("hant") != std::string::npos
                   ? 950
                   : 936;
    }
    for (const auto& row : rows)
        if (language == row.language) return row.codePage;
    return 1252;
}

std::optional<std::string> CharsetForCodePage(int32_t codePage) {
    switch (codePage) {
        case 65001: return std::string("UTF-8");
        case 20127: return std::string("US-ASCII");
        case 28591: return std::string("ISO-8859-1");
        case 28592: return std::string("ISO-8859-2");
        case 28605: return std::string("ISO-8859-15");
        case 932: return std::string("windows-31j");
        case 936: return std::string("GBK");
        case 949: return std::string("windows-949");
        case 950: return std::string("windows-950");
        case 50220: return std::string("ISO-2022-JP");
        case 51932: return std::string("EUC-JP");
        case 20866: return std::string("KOI8-R");
        default: break;
    }
    if (codePage <= 0) return std::nullopt;
    for (const std::string& name : {"windows-" + std::to_string(codePage), "cp" + std::to_string(codePage)}) {
        UErrorCode status = U_ZERO_ERROR;
        UConverter* c = ucnv_open(name.c_str(), &status);
        if (c) ucnv_close(c);
        if (U_SUCCESS(status) && c) return name;
    }
    return std::nullopt;
}

Date DateFromUnixSeconds(int64_t seconds) { return dates::FromUnixMillis(seconds * 1000); }

int64_t UnixSecondsFromDate(Date d) {
    int64_t ms = dates::ToUnixMillis(d);
    return static_cast<int64_t>(std::floor((static_cast<double>(ms) + 500.0) / 1000.0));
}

// 100-ns intervals between 1601-01-01 and 1970-01-01.
Date DateFromFiletime(int64_t filetime) { return dates::FileTimeToDate(filetime); }

int64_t FiletimeFromDate(Date d) { return dates::DateToFileTime(d); }

void AppendFoldedLine(std::string& out, std::string_view line) {
    size_t pos = 0;
    bool first = true;
    do {
        size_t take = std::min<size_t>(first ? 75 : 74, line.size() - pos);
        while (take > 1 && pos + take < line.size() && (static_cast<unsigned char>(line[pos + take]) & 0xC0) == 0x80)
            --take;
        if (!first) out += ' ';
        out.append(line.substr(pos, take));
        out += "\r\n";
        pos += take;
        first = false;
    } while (pos < line.size());
}

std::string UtcStamp(Date d) {
    auto p = dates::SplitDate(dates::FromUnixMillis(UnixSecondsFromDate(d) * 1000));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02dZ", p.year, p.month, p.day, p.hour,
                  p.minute, p.second);
    return buf;
}

std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string TrimWhite(std::string_view s) {
    size_t b = 0, e = s.size();
    auto white = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (b < e && white(s[b])) ++b;
    while (e > b && white(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

namespace {

// The words of a name: runs between blanks, tabs, line breaks, U+00A0 and U+3000.
std::vector<std::string_view> NameWords(std::string_view s) {
    std::vector<std::string_view> words;
    size_t start = 0, i = 0;
    auto flush = [&](size_t end) {
        if (end > start) words.push_back(s.substr(start, end - start));
    };
    while (i < s.size()) {
        size_t sep = 0;
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n') sep = 1;
        else if (s.compare(i, 2, "\xC2\xA0") == 0) sep = 2;
        else if (s.compare(i, 3, "\xE3\x80\x80") == 0) sep = 3;
        if (sep) {
            flush(i);
            i += sep;
            start = i;
        } else {
            ++i;
        }
    }
    flush(s.size());
    return words;
}

std::string JoinWords(const std::vector<std::string_view>& words, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
        if (!out.empty()) out += ' ';
        out += words[i];
    }
    return out;
}

}  // namespace

PersonName SplitFullName(std::string_view fullName) {
    if (size_t comma = fullName.find(','); comma != std::string_view::npos) {
        auto last = NameWords(fullName.substr(0, comma));
        auto first = NameWords(fullName.substr(comma + 1));
        if (!last.empty()) return {JoinWords(first, 0, first.size()), JoinWords(last, 0, last.size())};
        fullName = fullName.substr(comma + 1);  // ", Anna": no last name before the comma
    }
    auto words = NameWords(fullName);
    if (words.empty()) return {};
    return {JoinWords(words, 0, words.size() - 1), std::string(words.back())};
}

void FillNamesFromFullName(std::optional<std::string>& first, std::optional<std::string>& last,
                           const std::optional<std::string>& fullName) {
    if (!fullName || !first.value_or("").empty() || !last.value_or("").empty()) return;
    PersonName name = SplitFullName(*fullName);
    if (!name.first.empty()) first = name.first;
    if (!name.last.empty()) last = name.last;
}

namespace {

bool StartsWithTag(std::string_view html, size_t pos, std::string_view name) {
    if (pos + name.size() > html.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(html[pos + i])) != name[i]) return false;
    size_t after = pos + name.size();
    return after == html.size() || !std::isalnum(static_cast<unsigned char>(html[after]));
}

}  // namespace

std::string HtmlToText(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    size_t i = 0;
    while (i < html.size()) {
        char c = html[i];
        if (c == '<') {
            size_t close = html.find('>', i);
            if (close == std::string_view::npos) break;
            size_t nameAt = i + 1;
            bool ending = nameAt < html.size() && html[nameAt] == '/';
            if (ending) ++nameAt;
            if (!ending && (StartsWithTag(html, nameAt, "script") || StartsWithTag(html, nameAt, "style"))) {
                std::string endTag = StartsWithTag(html, nameAt, "script") ? "</script" : "</style";
                size_t end = AsciiLower(html.substr(close)).find(endTag);
                if (end == std::string::npos) break;
                close = html.find('>', close + end);
                if (close == std::string_view::npos) break;
            } else if (StartsWithTag(html, nameAt, "br") || StartsWithTag(html, nameAt, "p") ||
                       StartsWithTag(html, nameAt, "div") || StartsWithTag(html, nameAt, "tr") ||
                       StartsWithTag(html, nameAt, "li") || StartsWithTag(html, nameAt, "h1") ||
                       StartsWithTag(html, nameAt, "h2") || StartsWithTag(html, nameAt, "h3")) {
                if (ending || StartsWithTag(html, nameAt, "br")) out += '\n';
            } else if (html.compare(i, 4, "<!--") == 0) {
                size_t end = html.find("-->", i + 4);
                if (end == std::string_view::npos) break;
                close = end + 2;
            }
            i = close + 1;
        } else if (c == '&') {
            size_t semi = html.find(';', i);
            if (semi != std::string_view::npos && semi - i <= 10) {
                std::string entity = AsciiLower(html.substr(i + 1, semi - i - 1));
                uint32_t cp = 0;
                if (entity == "amp") cp = '&';
                else if (entity == "lt") cp = '<';
                else if (entity == "gt") cp = '>';
                else if (entity == "quot") cp = '"';
                else if (entity == "apos") cp = '\'';
                else if (entity == "nbsp") cp = 0xA0;
                else if (entity.size() > 1 && entity[0] == '#') {
                    try {
                        cp = entity[1] == 'x' ? static_cast<uint32_t>(std::stoul(entity.substr(2), nullptr, 16))
                                              : static_cast<uint32_t>(std::stoul(entity.substr(1)));
                    } catch (...) {
                        cp = 0;
                    }
                }
                if (cp) {
                    AppendUtf8(out, cp);
                    i = semi + 1;
                    continue;
                }
            }
            out += c;
            ++i;
        } else {
            out += c;
            ++i;
        }
    }
    // Collapse the runs of blank lines that markup leaves behind.
    std::string collapsed;
    int newlines = 0;
    for (char ch : out) {
        if (ch == '\r') continue;
        if (ch == '\n') {
            if (++newlines > 2) continue;
        } else {
            newlines = 0;
        }
        collapsed += ch;
    }
    return TrimWhite(collapsed);
}

}  // namespace nubra::formats
