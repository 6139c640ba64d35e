#include "standin_host/client/Client.h"

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "host/Platform.h"
#include "host/Text.h"
#include "standin_host/client/Registry.h"
#include "standin_host/store/Application.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"

namespace nubra::client {

namespace {

// Add-in modules take the platform layer from the program: every part of it must be linked in,
// whether the client itself calls it or not. `used` keeps the table (and so its references)
// in the object even though nothing reads it.
[[gnu::used]] const void* const kPlatformParts[] = {
    reinterpret_cast<const void*>(&RaiseError),
    reinterpret_cast<const void*>(&dates::Now),
    reinterpret_cast<const void*>(static_cast<ObjectRef (*)(const std::string&)>(&CreateObject)),
    reinterpret_cast<const void*>(&ThePlatform),
    reinterpret_cast<const void*>(&text::ToUpper),
};

class AddInInstImpl : public outlook::AddInInst {
public:
    explicit AddInInstImpl(std::string progId) : progId_(std::move(progId)) {}
    std::string ProgId() override { return progId_; }

private:
    std::string progId_;
};

template <typename Fn>
Fn Export(void* handle, const char* name) {
    return reinterpret_cast<Fn>(::dlsym(handle, name));
}

std::string Hex(int32_t hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(hr));
    return buf;
}

// Drops the module when it says it may go.
void Unload(LoadedAddin& addin) {
    if (!addin.handle) return;
    auto canUnload = Export<com::DllCanUnloadNowFn>(addin.handle, "DllCanUnloadNow");
    if (canUnload && canUnload() == com::S_OK) {
        ::dlclose(addin.handle);
        addin.handle = nullptr;
    }
}

}  // namespace

std::shared_ptr<CommandBarImpl> ExplorerImpl::MenuBar() const {
    for (const auto& b : bars_->Bars())
        if (b->Name() == "Menu bar") return b;
    return nullptr;
}

void* LoadedAddin::Symbol(const char* name) const { return handle ? ::dlsym(handle, name) : nullptr; }

Client::Client(std::shared_ptr<store::Profile> profile, std::filesystem::path registryFile)
    : profile_(std::move(profile)), registryFile_(std::move(registryFile)) {
    store::RegisterMAPILibrary();
    app_ = std::dynamic_pointer_cast<store::Application>(profile_->Application());
    if (!app_) RaiseError(errnum::kTypeMismatch);
    app_->SetExplorers(std::make_shared<WindowList>([this] { return ExplorerCount(); }));
    app_->SetInspectors(std::make_shared<WindowList>([this] { return InspectorCount(); }));
}

Client::~Client() {
    if (!ended_) Shutdown();
    // The collections count through this object.
    app_->SetExplorers(nullptr);
    app_->SetInspectors(nullptr);
    app_->SetActiveExplorer(nullptr);
}

std::shared_ptr<ExplorerImpl> Client::OpenExplorer() {
    auto explorer = std::make_shared<ExplorerImpl>();
    explorers_.push_back(explorer);
    app_->SetActiveExplorer(explorer);
    return explorer;
}

void Client::SetActive() { app_->SetActiveExplorer(explorers_.empty() ? nullptr : explorers_.back()); }

void Client::LoadAddins() {
    const Registry reg = Registry::Load(registryFile_);
    for (const auto& progId : reg.SubKeys(kOutlookAddinsKey)) {
        const std::string key = std::string(kOutlookAddinsKey) + "\\" + progId;
        if (reg.GetDword(key, "LoadBehavior").value_or(0) != 3) continue;
        if (Addin(progId)) continue;
        LoadedAddin addin;
        addin.progId = progId;
        addin.friendlyName = reg.GetString(key, "FriendlyName").value_or(progId);
        auto fail = [&](const std::string& why) {
            addin.failure = why;
            addin.connection.reset();
            Unload(addin);
            addins_.push_back(addin);
            if (onAddinFailure) onAddinFailure(addins_.back());
        };
        auto server = FindServer(reg, progId);
        if (!server) {
            fail("The class " + progId + " is not registered");
            continue;
        }
        addin.module = server->module;
        addin.handle = ::dlopen(server->module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!addin.handle) {
            const char* err = ::dlerror();
            fail("The module " + server->module.string() + " cannot be loaded: " + (err ? err : "unknown error"));
            continue;
        }
        auto getClass = Export<com::DllGetClassObjectFn>(addin.handle, "DllGetClassObject");
        if (!getClass) {
            fail("The module " + server->module.string() + " is no in-process server");
            continue;
        }
        try {
            com::ClassFactoryRef factory;
            const int32_t hr = getClass(server->clsid.c_str(), &factory);
            if (hr != com::S_OK || !factory) {
                fail("The module " + server->module.string() + " has no class " + server->clsid + " (" + Hex(hr) + ")");
                continue;
            }
            auto object = factory->CreateInstance();
            factory.reset();
            addin.connection = std::dynamic_pointer_cast<outlook::IDTExtensibility2>(object);
            if (!addin.connection) {
                fail(progId + " is no add-in (no connection interface)");
                continue;
            }
            outlook::CustomArray custom(1, {Variant(int32_t{1})});
            addin.connection->OnConnection(app_, outlook::ext_cm_Startup,
                                           std::make_shared<AddInInstImpl>(progId), custom);
            addins_.push_back(addin);
            outlook::CustomArray complete(1, {Variant(int32_t{1})});
            addins_.back().connection->OnStartupComplete(complete);
        } catch (const AutomationError& e) {
            fail(progId + " did not start: " + (e.Description().empty() ? "error " + std::to_string(e.Number())
                                                                        : e.Description()));
        } catch (const std::exception& e) {
            fail(progId + " did not start: " + e.what());
        }
    }
}

const LoadedAddin* Client::Addin(const std::string& progId) const {
    for (const auto& a : addins_)
        if (a.connection && strcasecmp(a.progId.c_str(), progId.c_str()) == 0) return &a;
    return nullptr;
}

std::shared_ptr<InspectorImpl> Client::OpenInspector(outlook::ItemRef item) {
    auto inspector = std::make_shared<InspectorImpl>(std::move(item));
    inspectors_.push_back(inspector);
    return inspector;
}

void Client::CloseInspector(const std::shared_ptr<InspectorImpl>& inspector) {
    auto it = std::find(inspectors_.begin(), inspectors_.end(), inspector);
    if (it == inspectors_.end()) return;
    inspectors_.erase(it);
    MaybeQuit();
}

bool Client::Busy() const {
    for (const auto& a : addins_) {
        if (!a.handle) continue;
        using BusyFn = int (*)();
        if (auto busy = Export<BusyFn>(a.handle, "AddinBusy"); busy && busy() != 0) return true;
    }
    return false;
}

bool Client::CloseExplorer(const std::shared_ptr<ExplorerImpl>& explorer) {
    auto it = std::find(explorers_.begin(), explorers_.end(), explorer);
    if (it == explorers_.end()) return true;
    if (Busy()) return false;
    // Still counted while its Close runs. A handler's failure does not keep the window open.
    try {
        explorer->close_.Raise();
    } catch (const std::exception&) {
    }
    it = std::find(explorers_.begin(), explorers_.end(), explorer);
    if (it != explorers_.end()) explorers_.erase(it);
    explorer->open_ = false;
    explorer->bars_->RemoveTemporary();
    SetActive();
    MaybeQuit();
    return true;
}

void Client::MaybeQuit() {
    if (!quitting_ && !ended_ && explorers_.empty() && inspectors_.empty()) Quit();
}

bool Client::Quit() {
    if (ended_) return true;
    if (Busy()) return false;
    quitting_ = true;
    while (!explorers_.empty()) CloseExplorer(explorers_.back());
    inspectors_.clear();
    Shutdown();
    if (onEnded) onEnded();
    return true;
}

void Client::Shutdown() {
    ended_ = true;
    for (auto& a : addins_) {
        if (!a.connection) continue;
        outlook::CustomArray custom(1, {Variant(int32_t{1})});
        try {
            a.connection->OnBeginShutdown(custom);
            a.connection->OnDisconnection(outlook::ext_dm_HostShutdown, custom);
        } catch (const std::exception&) {
            // The client ends all the same.
        }
        a.connection.reset();
    }
    for (auto& a : addins_) Unload(a);
}

}  // namespace nubra::client
