// What registering the add-in module writes into the per-user registry, and removes again.
#pragma once

#include <string>

#include "host/AddinRegistry.h"

namespace nubra::addin {

inline constexpr const char* kProgIdConnect = "Nubra.Addinconnect";
inline constexpr const char* kProgIdNubra = "Nubra.clsNubra";
inline constexpr const char* kClsidConnect = "{6E3A9B52-41C7-4F0D-9A28-5C1D7E94B3A1}";
inline constexpr const char* kClsidNubra = "{0B9D47E1-8C35-4A6F-B2D4-93E18F5A7C60}";
inline constexpr const char* kLibId = "{C4F2A816-D3B9-4E57-8A01-7F6E25B9D4C3}";
inline constexpr const char* kTypeLibDescription = "Nubrasweep";
inline constexpr const char* kFriendlyName = "Nubrasweep";
inline constexpr const char* kDescription = "Remove duplicates from outlook folders";
inline constexpr unsigned kLoadBehavior = 3;

// The add-in's key under the client's add-in root.
std::string AddinKey();

// Writes the add-in key (FriendlyName, Description, LoadBehavior), both classes (ProgID ->
// CLSID -> InprocServer32 = `modulePath`) and the type library.
void RegisterServer(host::AddinRegistry& registry, const std::string& modulePath);
// Removes exactly what RegisterServer writes; shared parent keys stay.
void UnregisterServer(host::AddinRegistry& registry);

}  // namespace nubra::addin
