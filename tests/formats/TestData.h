// Paths of the shared samples and small helpers of the format tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "standin_host/formats/Formats.h"

namespace nubra::formats::testing {

inline std::string Sample(const std::string& relative) { return std::string(NUBRA_TESTDATA_DIR) + "/" + relative; }

inline std::map<int32_t, size_t> CountByClass(const std::vector<ItemData>& items) {
    std::map<int32_t, size_t> counts;
    for (const auto& item : items) ++counts[item.Class];
    return counts;
}

inline void CountFolder(const FolderData& folder, std::map<int32_t, size_t>& counts) {
    for (const auto& item : folder.items) ++counts[item.Class];
    for (const auto& sub : folder.subfolders) CountFolder(sub, counts);
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A scratch folder removed at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nubra-formats-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string Write(const std::string& name, const std::string& contents) const {
        auto p = path_ / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << contents;
        return p.string();
    }

private:
    std::filesystem::path path_;
};

}  // namespace nubra::formats::testing
