#include "standin_host/cli/Importers.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "host/AutomationDates.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/JsonLines.h"

namespace nubra::cli {
namespace {

std::vector<Importer>& Registry() {
    static std::vector<Importer> importers = [] {
        std::vector<Importer> list;
        list.push_back(Importer{
            "JSON Lines",
            {".jsonl", ".ndjson", ".json"},
            [](const std::filesystem::path&, std::string_view head) {
                auto pos = head.find_first_not_of(" \t\r\n");
                if (head.substr(0, 3) == "\xEF\xBB\xBF") pos = head.find_first_not_of(" \t\r\n", 3);
                return pos != std::string_view::npos && head[pos] == '{';
            },
            [](const std::filesystem::path& file) { return formats::ReadJsonLinesFile(file); }});
        return list;
    }();
    return importers;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

void RegisterImporter(Importer importer) { Registry().push_back(std::move(importer)); }

const Importer& ImporterFor(const std::filesystem::path& file) {
    const auto& list = Registry();
    const std::string ext = Lower(file.extension().string());
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (std::find(it->extensions.begin(), it->extensions.end(), ext) != it->extensions.end()) return *it;
    }
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) formats::FailFile(file.string(), "no such file");
    if (std::filesystem::is_directory(file, ec)) formats::FailFile(file.string(), "is a folder, not a file");
    std::ifstream in(file, std::ios::binary);
    if (!in) formats::FailFile(file.string(), "cannot be opened for reading");
    std::string head(4096, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->sniff && it->sniff(file, head)) return *it;
    }
    formats::FailFile(file.string(), "unknown file format (no importer for extension '" + ext + "')");
}

Date ImportClock() { return dates::LocalToUtc(dates::Now()); }

void AssignImportTimes(std::vector<store::ItemData>& items, Date& clock) {
    for (auto& item : items) {
        if (item.CreationTime) continue;
        item.CreationTime = clock;
        clock = dates::FromUnixMillis(dates::ToUnixMillis(clock) + 1);
    }
}

}  // namespace nubra::cli
