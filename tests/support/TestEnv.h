// Scoped environment variables and scratch folders for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace nubra::testing {

// Sets (or, with nullopt, unsets) an environment variable and restores the old value.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// The number of the automation error `f` raises; 0 when it raises none.
int32_t ErrorOf(const std::function<void()>& f);

// The whole content of a file as bytes in a string (empty when it cannot be read).
std::string ReadFile(const std::filesystem::path& file);

}  // namespace nubra::testing
