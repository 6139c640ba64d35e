// The per-user registry as an add-in module sees it when it registers or unregisters itself
// (DllRegisterServer, DllUnregisterServer). The module writes through this contract; the
// program that loads the module (the platform) owns the registry and installs the provider.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace nubra::host {

// Where the client looks for add-ins and for classes, in the registry's key names.
inline constexpr const char* kOutlookAddinsKey = "HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\Outlook\\Addins";
inline constexpr const char* kClassesKey = "HKEY_CURRENT_USER\\Software\\Classes";

class AddinRegistry {
public:
    virtual ~AddinRegistry() = default;
    // Sets a value, creating the key (and its parents) when missing.
    virtual void SetString(const std::string& key, const std::string& name, const std::string& value) = 0;
    virtual void SetDword(const std::string& key, const std::string& name, uint32_t value) = 0;
    // Removes the key with its values and every key below it; false when it did not exist.
    virtual bool DeleteTree(const std::string& key) = 0;
};

// Runs `change` on the user's registry as one update: written atomically when `change`
// returns, not at all when it raises (what it raised passes on). Raises 429 when no program
// installed a registry, and what the provider raises when the registry cannot be read or
// written (naming the file); the registry is then unchanged.
void UpdateAddinRegistry(const std::function<void(AddinRegistry&)>& change);

// Installed by the program that owns the registry: runs the given change as above.
using AddinRegistryProvider = std::function<void(const std::function<void(AddinRegistry&)>&)>;
void SetAddinRegistryProvider(AddinRegistryProvider provider);

}  // namespace nubra::host
