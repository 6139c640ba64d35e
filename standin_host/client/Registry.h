// The per-user registry of the stand-in platform: keys named by backslash paths
// ("HKEY_CURRENT_USER\Software\..."), each with named values (string or 32-bit number; the
// empty name is the key's default value). Kept in one text file, by default
// $XDG_CONFIG_HOME/nubrasweep/registry.reg (else ~/.config/nubrasweep/registry.reg).
// Key and value names compare without regard to letter case, as the platform's registry does.
//
// Every change goes through Update: it locks the file against other writers, reads it, applies
// the change and replaces the file atomically (temporary file, flush to disk, rename). A
// damaged file is reported (file and line) and never overwritten.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/AddinRegistry.h"

namespace nubra::client {

// A registry value: text or a 32-bit number.
using RegValue = std::variant<std::string, uint32_t>;

// The platform's number for a damaged registry file (ERROR_BADDB as a status code).
inline constexpr int32_t kRegistryCorrupt = static_cast<int32_t>(0x800703F1u);
// ... and for a file that cannot be read or written (ERROR_ACCESS_DENIED as a status code).
inline constexpr int32_t kRegistryAccess = static_cast<int32_t>(0x80070005u);

class Registry : public host::AddinRegistry {
public:
    // The registry file used when no other is named (see above).
    static std::filesystem::path DefaultFile();

    // Reads `file`; a missing file is an empty registry. Raises kRegistryCorrupt naming the
    // file and line for text that is not a registry, kRegistryAccess when it cannot be read.
    static Registry Load(const std::filesystem::path& file);

    // Locks `file`, loads it, runs `change` and, when it returns normally, writes the result
    // atomically. When `change` raises, the file is left as it was. Raises what Load raises and
    // kRegistryAccess when the file cannot be written.
    static void Update(const std::filesystem::path& file, const std::function<void(Registry&)>& change);

    bool KeyExists(const std::string& key) const;
    // Creates the key (and its parents) when missing.
    void CreateKey(const std::string& key);
    // Removes the key with its values and every key below it; false when it did not exist.
    bool DeleteTree(const std::string& key) override;
    // Removes the key when it has no values and no subkeys; true when it was removed.
    bool DeleteKeyIfEmpty(const std::string& key);
    // Names of the direct subkeys, in sorted order (as stored, letter case kept).
    std::vector<std::string> SubKeys(const std::string& key) const;

    // Sets a value, creating the key when missing. Value names are stored as given.
    void SetString(const std::string& key, const std::string& name, const std::string& value) override;
    void SetDword(const std::string& key, const std::string& name, uint32_t value) override;
    std::optional<RegValue> Get(const std::string& key, const std::string& name) const;
    std::optional<std::string> GetString(const std::string& key, const std::string& name) const;
    std::optional<uint32_t> GetDword(const std::string& key, const std::string& name) const;
    bool DeleteValue(const std::string& key, const std::string& name);

    // The whole registry as the file holds it.
    std::string ToText() const;
    // Parses text; `file` names the source in error messages.
    static Registry FromText(const std::string& text, const std::string& file);

    bool operator==(const Registry& other) const { return ToText() == other.ToText(); }

private:
    struct Key {
        std::string name;  // as first written
        std::map<std::string, std::pair<std::string, RegValue>> values;  // lower-case name -> (name, value)
    };
    static std::string Fold(const std::string& s);
    Key& Ensure(const std::string& key);
    const Key* Find(const std::string& key) const;
    std::map<std::string, Key> keys_;  // lower-case path -> key
};

// Where the platform's add-ins and classes are registered.
using host::kClassesKey;
using host::kOutlookAddinsKey;

// The module file registered for a ProgID (ProgID -> CLSID -> InprocServer32), with the
// CLSID; nullopt when any link is missing.
struct ServerRegistration {
    std::string clsid;
    std::filesystem::path module;
};
std::optional<ServerRegistration> FindServer(const Registry& registry, const std::string& progId);

// Makes the default registry file the registry that add-in modules register themselves in
// (host::UpdateAddinRegistry goes through Registry::Update on Registry::DefaultFile()).
void InstallAsAddinRegistry();

}  // namespace nubra::client
