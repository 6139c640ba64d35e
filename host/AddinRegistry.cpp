#include "host/AddinRegistry.h"

#include <mutex>

#include "host/Automation.h"

namespace nubra::host {

namespace {
std::mutex gMutex;
AddinRegistryProvider gProvider;
}  // namespace

void SetAddinRegistryProvider(AddinRegistryProvider provider) {
    std::lock_guard lock(gMutex);
    gProvider = std::move(provider);
}

void UpdateAddinRegistry(const std::function<void(AddinRegistry&)>& change) {
    AddinRegistryProvider provider;
    {
        std::lock_guard lock(gMutex);
        provider = gProvider;
    }
    if (!provider) RaiseError(errnum::kCannotCreateObject, "This program offers no registry to register with", "Nubra");
    provider(change);
}

}  // namespace nubra::host
