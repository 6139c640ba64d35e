// JSON Lines items: one JSON object per line whose keys are the object-model names of the
// item's fields ("Class", "Subject", "Start", ...). Times are ISO 8601 text in UTC
// ("2024-05-01T10:00:00Z"). A key that is absent leaves the field absent. The export adds
// "EntryID", which an import accepts and ignores, so an export imports again unchanged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Automation.h"
#include "standin_host/formats/Formats.h"
#include "standin_host/store/ItemData.h"

namespace nubra::formats {

// ISO 8601 UTC text of a UTC automation date: "YYYY-MM-DDTHH:MM:SSZ", with ".mmm" before the
// "Z" when the milliseconds are not zero.
std::string FormatIsoUtc(Date utc);
// Reads "YYYY-MM-DDTHH:MM[:SS[.fff]]" followed by "Z" or a "+hh:mm"/"-hh:mm" offset, and
// returns the UTC date. Raises 13 (Type mismatch) for anything else.
Date ParseIsoUtc(std::string_view text);

// One line as an item. `file` and `line` only name the place in the FormatError raised for a
// line that is not a JSON object, carries an unknown key, or a value of the wrong type.
store::ItemData ParseJsonItem(std::string_view text, const std::string& file, int64_t line);

// The item as one line (no line break). `entryId` is added as "EntryID" when not empty.
std::string ItemToJsonLine(const store::ItemData& item, const std::string& entryId = {});

// Every item of a JSON Lines file, in file order. Blank lines are allowed. Raises FormatError
// naming the file (and line) for a file that cannot be read, is not a regular file, holds a
// bad line or a line longer than kMaxMessageBytes: then nothing of the file is returned.
std::vector<store::ItemData> ReadJsonLinesFile(const std::filesystem::path& file);
std::vector<store::ItemData> ReadJsonLines(InputFile& file);
// The same from a stream, `name` naming it in errors.
std::vector<store::ItemData> ReadJsonLines(std::istream& in, const std::string& name);

}  // namespace nubra::formats
