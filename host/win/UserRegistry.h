// The per-user registry of the platform as the add-in registration contract sees it
// (host/AddinRegistry.h): a module installs this provider before it registers itself.
#pragma once

#include "host/AddinRegistry.h"

namespace nubra::win {

// Runs a registration change on HKEY_CURRENT_USER (the user's classes also on the machine's
// where the platform does not read the user's, as Wine 8 does not). The change is first
// recorded, then written key by key; when a write fails, the keys this change created are
// removed again and the values it replaced are put back, so that the registry is left as it
// was, and the failure is raised (its number and the key it concerns). Keys outside
// HKEY_CURRENT_USER raise 5.
host::AddinRegistryProvider UserRegistryProvider();

}  // namespace nubra::win
