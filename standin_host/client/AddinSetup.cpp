#include "standin_host/client/AddinSetup.h"

#include <dlfcn.h>

#include <cstdlib>
#include <exception>

#include "host/AddinHost.h"
#include "host/DialogHost.h"
#include "host/Automation.h"
#include "standin_host/NubraVersion.h"
#include "standin_host/client/Client.h"
#include "standin_host/client/Registry.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"

namespace nubra::client {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSetupKey = "HKEY_CURRENT_USER\\Software\\Nubrasweep\\Setup";
constexpr const char* kDecided = "AddinRegistrationDecided";
constexpr const char* kProgId = "Nubra.Addinconnect";
// Beside the add-in's own values: the version of the program that registered it.
constexpr const char* kVersion = "Version";
constexpr int32_t kNotRegistered = static_cast<int32_t>(0x80040154u);  // REGDB_E_CLASSNOTREG

[[noreturn]] void Fail(int32_t number, const std::string& text) { RaiseError(number, text, "nubrasweep"); }

std::string Hex(int32_t hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(hr));
    return buf;
}

std::string AddinKey() { return std::string(kOutlookAddinsKey) + "\\" + kProgId; }

}  // namespace

fs::path DefaultModuleFile() {
    if (const char* m = std::getenv("NUBRA_MODULE"); m && *m) return m;
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path installed = exe.parent_path() / ".." / "lib" / "nubrasweep" / "libNubra.so";
    if (!ec) {
        for (const auto& candidate : {exe.parent_path() / "libNubra.so", installed}) {
            if (fs::exists(candidate, ec)) return fs::weakly_canonical(candidate, ec);
        }
    }
#if defined(NUBRA_MODULE_BUILD_FILE) && defined(NUBRA_BUILD_DIR)
    // A program of the build tree (nubrasweep in build/, the tests) takes the module the build
    // made; an installed program never does, even when the build tree is still there.
    const auto inBuild = exe.lexically_relative(fs::weakly_canonical(NUBRA_BUILD_DIR, ec));
    if (!inBuild.empty() && *inBuild.begin() != "..") return NUBRA_MODULE_BUILD_FILE;
#endif
    // Where an installed program's module belongs: loading it names the place.
    return installed.lexically_normal();
}

void RegisterAddin(const fs::path& module, bool unregister) {
    const auto file = Registry::DefaultFile();
    // A damaged registry is named here, with its line, before the module touches it.
    Registry::Load(file);
    InstallAsAddinRegistry();
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = ::dlerror();
        Fail(errnum::kCannotCreateObject,
             "The add-in module " + module.string() + " cannot be loaded: " + (err ? err : "unknown error"));
    }
    const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    auto fn = reinterpret_cast<com::DllRegisterServerFn>(::dlsym(handle, name));
    const int32_t hr = fn ? fn() : com::E_UNEXPECTED;
    auto canUnload = reinterpret_cast<com::DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    if (canUnload && canUnload() == com::S_OK) ::dlclose(handle);
    if (hr != com::S_OK)
        Fail(hr, std::string(name) + " of " + module.string() + " failed (" + Hex(hr) + ")");
    Registry::Update(file, [unregister](Registry& r) {
        r.SetDword(kSetupKey, kDecided, 1);
        if (!unregister) r.SetString(AddinKey(), kVersion, NUBRA_VERSION_TEXT);
    });
}

bool EnsureAddinRegistered(const fs::path& module) {
    const auto reg = Registry::Load(Registry::DefaultFile());
    if (reg.GetDword(kSetupKey, kDecided)) {
        const auto server = FindServer(reg, kProgId);
        if (!server) return false;  // unregistered by the user: it stays so
        // The module of another program (one whose prefix moved, another build, an older
        // version) is replaced by this program's, as installing this one would.
        std::error_code ec;
        if (fs::equivalent(server->module, module, ec) && reg.GetString(AddinKey(), kVersion) == NUBRA_VERSION_TEXT)
            return false;
    }
    RegisterAddin(module, false);
    return true;
}

HeadlessRun RunAddinCommand(const std::shared_ptr<store::Profile>& profile, const HeadlessPlan& plan, ProgressBar& bar,
                            const std::function<void(const std::string&)>& started) {
    Client client(profile, Registry::DefaultFile());
    auto explorer = client.OpenExplorer();
    client.LoadAddins();
    const LoadedAddin* addin = client.Addin(kProgId);
    if (!addin) {
        for (const auto& a : client.Addins())
            if (a.progId == kProgId) Fail(errnum::kCannotCreateObject, "The Nubrasweep add-in did not start: " + a.failure);
        Fail(kNotRegistered, "The Nubrasweep add-in is not registered (run 'nubrasweep register')");
    }
    using SetHookFn = void (*)(const host::ShowDialogHook*);
    auto setHook = reinterpret_cast<SetHookFn>(addin->Symbol("NubraSetShowDialogHook"));
    if (!setHook) Fail(errnum::kCannotCreateObject, "The add-in module " + addin->module.string() + " is not Nubrasweep's");

    HeadlessRun run;
    bool shown = false;
    std::exception_ptr picking;  // the plan's own failure, raised once the client has ended
    const host::ShowDialogHook hook = [&](host::DialogServices& s) {
        shown = true;
        run.logFile = s.LogFile();
        auto report = [&] {
            run.failed = true;
            s.HandleError("frmRemDuplicates.cmdRemDups_Click");
        };
        try {
            run.tree = s.FolderTree();
        } catch (const AutomationError& e) {
            Err().Set(e);
            report();
            return;
        }
        std::vector<std::string> keys;
        try {
            if (plan.pick) keys = plan.pick(run.tree);
        } catch (...) {
            picking = std::current_exception();
            return;
        }
        if (!keys.empty() && started) started(run.logFile);
        for (size_t i = 0; i < keys.size(); ++i) {
            if (plan.stop && plan.stop()) {
                run.stopped = true;
                break;
            }
            HeadlessFolderRun folder;
            for (const auto& node : run.tree)
                if (node.key == keys[i]) folder.node = node;
            folder.node.key = keys[i];
            if (plan.beforeFolder) plan.beforeFolder(folder.node, i + 1, keys.size());
            try {
                folder.result = s.RemoveDuplicates(keys[i], bar);
            } catch (const AutomationError& e) {
                Err().Set(e);
                report();
                folder.failed = true;
                folder.error = e.Description().empty() ? "error " + std::to_string(e.Number()) : e.Description();
            }
            // A connected store sends the run's moves when the run lets go of the folder;
            // moves it could not send are undone, and the run did not do what it said.
            try {
                if (plan.finishRun) plan.finishRun();
            } catch (const AutomationError& e) {
                Err().Set(e);
                report();
                folder.failed = true;
                folder.error = e.Description();
            }
            if (plan.afterFolder) plan.afterFolder(folder);
            run.folders.push_back(std::move(folder));
        }
    };
    setHook(&hook);
    std::shared_ptr<CommandBarControlImpl> button = FindControlDeep(*explorer->MenuBar(), kAddinCommandTag);
    try {
        if (!button) Fail(errnum::kMapiNotFound, "The Nubrasweep add-in put no command on the menu (see its log file)");
        button->Execute();
    } catch (...) {
        setHook(nullptr);
        button.reset();
        client.Quit();
        throw;
    }
    setHook(nullptr);
    button.reset();
    client.Quit();
    if (picking) std::rethrow_exception(picking);
    if (!shown) Fail(errnum::kMapiCallFailed, "The add-in's command did not open its dialog");
    return run;
}

}  // namespace nubra::client
