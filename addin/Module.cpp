// The add-in module's exported entry points: self-registration, the class factories of
// Nubra.Addinconnect and Nubra.clsNubra, and the client's questions whether the module may be
// unloaded or is busy.
#include <dlfcn.h>
#include <strings.h>

#include <filesystem>
#include <iostream>

#include "addin/AddinState.h"
#include "addin/Addinconnect.h"
#include "globals/NubraGlobals.h"
#include "addin/Registration.h"
#include "addin/clsNubra.h"
#include "host/AddinHost.h"
#include "host/AddinRegistry.h"
#include "host/DialogHost.h"

#define NUBRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace nubra::addin {

#ifdef NUBRA_MODULE_WITH_QT
// Shows the Qt dialog when the module runs inside a window system (ModuleQt.cpp).
void InstallQtDialogHooks();
#endif

namespace {

template <typename T>
class Factory : public com::IClassFactory {
public:
    ObjectRef CreateInstance() override { return std::make_shared<T>(); }

private:
    LiveObject live_;
};

std::string ModuleFile() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&ModuleFile), &info) != 0 && info.dli_fname) return info.dli_fname;
    return {};
}

int32_t Report(const std::exception& e) {
    // The registration tools show this; there is no other channel for the text.
    std::cerr << "Nubra: " << e.what() << "\n";
    return com::SELFREG_E_CLASS;
}

[[maybe_unused]] const bool gHooksInstalled = [] {
#ifdef NUBRA_MODULE_WITH_QT
    InstallQtDialogHooks();
#endif
    return true;
}();

}  // namespace
}  // namespace nubra::addin

using namespace nubra;

NUBRA_EXPORT int32_t DllRegisterServer() {
    try {
        const auto module = std::filesystem::absolute(addin::ModuleFile()).lexically_normal().string();
        host::UpdateAddinRegistry([&](host::AddinRegistry& reg) { addin::RegisterServer(reg, module); });
        return com::S_OK;
    } catch (const std::exception& e) {
        return addin::Report(e);
    }
}

NUBRA_EXPORT int32_t DllUnregisterServer() {
    try {
        host::UpdateAddinRegistry([](host::AddinRegistry& reg) { addin::UnregisterServer(reg); });
        return com::S_OK;
    } catch (const std::exception& e) {
        return addin::Report(e);
    }
}

NUBRA_EXPORT int32_t DllGetClassObject(const char* clsid, com::ClassFactoryRef* factory) {
    if (!factory) return com::E_POINTER;
    factory->reset();
    if (!clsid) return com::CLASS_E_CLASSNOTAVAILABLE;
    if (strcasecmp(clsid, addin::kClsidConnect) == 0) *factory = std::make_shared<addin::Factory<Addinconnect>>();
    else if (strcasecmp(clsid, addin::kClsidNubra) == 0) *factory = std::make_shared<addin::Factory<clsNubra>>();
    else return com::CLASS_E_CLASSNOTAVAILABLE;
    return com::S_OK;
}

NUBRA_EXPORT int32_t DllCanUnloadNow() {
    return addin::LiveObjects() == 0 && !addin::Busy() ? com::S_OK : com::S_FALSE;
}

// Nonzero while a folder scan runs or the clean-up waits for one: the client must not end now.
NUBRA_EXPORT int AddinBusy() { return addin::Busy() ? 1 : 0; }

// Lets a host without windows show the dialog its own way (e.g. a terminal run of the scan).
// Null restores the module's own way.
NUBRA_EXPORT void NubraSetShowDialogHook(const host::ShowDialogHook* hook) {
    if (hook) {
        addin::SetShowDialogHook(*hook);
        return;
    }
    addin::SetShowDialogHook({});
#ifdef NUBRA_MODULE_WITH_QT
    addin::InstallQtDialogHooks();
#endif
}
