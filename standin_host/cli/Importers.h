// Which reader turns a file into items: chosen by the file's extension, else by a look at its
// first bytes. The JSON Lines reader is built in; readers of other formats register beside it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Automation.h"
#include "standin_host/store/ItemData.h"

namespace nubra::cli {

struct Importer {
    // Short name shown in messages ("JSON Lines").
    std::string name;
    // Extensions it reads, lower case with the dot (".jsonl").
    std::vector<std::string> extensions;
    // True when the file (its path, and its first bytes, up to 4 KiB) looks like this format.
    std::function<bool(const std::filesystem::path& file, std::string_view head)> sniff;
    // Every item of the file in file order; raises formats::FormatError naming the file (and
    // line) for bad input, returning nothing then.
    std::function<std::vector<store::ItemData>(const std::filesystem::path&)> read;
};

// Adds a reader; a later one with the same extension takes precedence.
void RegisterImporter(Importer importer);

// The reader for `file`: by extension (letter case ignored) first, then by content. Raises
// formats::FormatError naming the file when none fits or the file cannot be read.
const Importer& ImporterFor(const std::filesystem::path& file);

// The time given to imported items without a creation time of their own: now, in UTC.
Date ImportClock();

// Gives every item without a CreationTime the time `*clock`, advancing the clock by one
// millisecond per item so that items of one import keep their file order in time.
void AssignImportTimes(std::vector<store::ItemData>& items, Date& clock);

}  // namespace nubra::cli
