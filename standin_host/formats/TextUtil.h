// Small shared pieces of the readers and writers: whole-file reading, character sets
// (ICU converters), UTF-8 checks, time stamps and HTML-to-text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/Automation.h"

namespace nubra::formats {

// Reads a whole file; an unreadable file raises FormatError naming it.
std::string ReadWholeFile(const std::string& path);
// ReadWholeFile without a leading UTF-8 byte order mark, which text formats may carry.
std::string ReadTextFile(const std::string& path);

// The offset of the first byte that is not part of well-formed UTF-8, or none.
std::optional<size_t> FindInvalidUtf8(std::string_view text);

// Converts bytes in `charset` (an IANA or Windows name ICU knows) to UTF-8. Returns none when
// the charset is unknown; malformed bytes become U+FFFD.
std::optional<std::string> ToUtf8(std::string_view bytes, const std::string& charset);

// The ICU converter name for a Windows code page number (932 -> Shift-JIS flavour, 1252, ...),
// or none for numbers ICU does not know.
std::optional<std::string> CharsetForCodePage(int32_t codePage);

// Automation dates (UTC) from and to other clocks.
Date DateFromUnixSeconds(int64_t seconds);
int64_t UnixSecondsFromDate(Date d);  // rounded to the nearest second
Date DateFromFiletime(int64_t filetime);
int64_t FiletimeFromDate(Date d);

// "20240131T081500Z"
std::string UtcStamp(Date d);

// The visible text of an HTML fragment: tags, scripts and styles dropped, the common
// entities decoded, block ends become line breaks.
std::string HtmlToText(std::string_view html);

// Leading/trailing blanks, tabs and line breaks removed.
std::string TrimWhite(std::string_view s);

// Lower-case ASCII copy.
std::string AsciiLower(std::string_view s);

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

}  // namespace nubra::formats
