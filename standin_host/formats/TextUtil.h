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

// ToUtf8, but none also when the bytes are not valid in `charset`: nothing is replaced.
std::optional<std::string> ToUtf8Strict(std::string_view bytes, const std::string& charset);

// The ICU converter name for a Windows code page number (932 -> Shift-JIS flavour, 1252, ...),
// or none for numbers ICU does not know.
std::optional<std::string> CharsetForCodePage(int32_t codePage);

// The Windows code page in which a Windows program of the same language keeps its 8-bit texts,
// for a code page number that labels a text: the code pages of Internet mail (ISO-2022, EUC,
// HZ, GB18030, ISO-8859, KOI8) and of the Mac give the Windows code page of their script
// (50220 ISO-2022-JP -> 932, 28592 ISO-8859-2 -> 1250); a Windows code page, UTF-8, US-ASCII
// and any number not in the table are returned as they are.
int32_t AnsiCodePageOf(int32_t codePage);

// The ANSI code page Windows would use on this machine, from the language of its locale
// (LC_ALL, else LC_CTYPE, else LANG: "ja_JP.UTF-8" -> 932, "ru" -> 1251); 1252 when none is
// set, for "C" and "POSIX", and for languages of Western Europe and the rest.
int32_t SystemAnsiCodePage();

// Automation dates (UTC) from and to other clocks. FILETIME through dates::FileTimeToDate and
// dates::DateToFileTime, the one conversion of the whole program.
Date DateFromUnixSeconds(int64_t seconds);
int64_t UnixSecondsFromDate(Date d);  // rounded to the nearest second
Date DateFromFiletime(int64_t filetime);
int64_t FiletimeFromDate(Date d);

// "20240131T081500Z"
std::string UtcStamp(Date d);

// Appends `line` as a vCard / iCalendar content line: folded at 75 bytes (continuation lines
// start with a blank), never inside a UTF-8 sequence, each physical line ending in CRLF.
void AppendFoldedLine(std::string& out, std::string_view line);

// The visible text of an HTML fragment: tags, scripts and styles dropped, the common
// entities decoded, block ends become line breaks.
std::string HtmlToText(std::string_view html);

// Leading/trailing blanks, tabs and line breaks removed.
std::string TrimWhite(std::string_view s);

// Lower-case ASCII copy.
std::string AsciiLower(std::string_view s);

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

// First and last name of a contact that has only a full (display) name, split the way the
// desktop mail client splits what is typed into a contact's Full Name: the last word is the
// last name and the words before it the first name ("Anna Maria Weber" -> "Anna Maria",
// "Weber"); a single word is the last name ("Cher" -> "", "Cher"); written "Last, First" with
// a comma, the part before the comma is the last name ("Weber, Anna Maria"). Words are
// separated by blanks, tabs, no-break and ideographic spaces; the parts are joined by one
// blank. Both importers that read full names use it, so that contacts which carry only a
// display name still differ by name for the duplicate search.
struct PersonName {
    std::string first;
    std::string last;
};
PersonName SplitFullName(std::string_view fullName);
// Sets `first` and `last` from `fullName` by SplitFullName when neither holds a name.
void FillNamesFromFullName(std::optional<std::string>& first, std::optional<std::string>& last,
                           const std::optional<std::string>& fullName);

}  // namespace nubra::formats
