// The add-in module as the client loads it: registered in the user's registry file, opened
// from there, connected, clicked headless, shut down and unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "addin/AddinState.h"
#include "host/AddinHost.h"
#include "standin_host/client/AddinSetup.h"
#include "standin_host/client/Client.h"
#include "standin_host/client/Registry.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/Profile.h"
#include "tests/support/MemoryProgressBar.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra::client {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RecordingPlatform;
using testing::ScopedEnv;
using testing::TempDir;

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

// The key of the node with `path` in the dialog's tree ("" when there is none).
std::string Key(const std::vector<host::FolderNode>& tree, const std::string& path) {
    for (const auto& node : tree)
        if (node.fullPath == path) return node.key;
    return {};
}
HeadlessPlan Picking(const std::string& path) {
    HeadlessPlan plan;
    plan.pick = [path](const std::vector<host::FolderNode>& tree) { return std::vector<std::string>{Key(tree, path)}; };
    return plan;
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto folder = profile->FindFolder("Personal Folders\\Contacts");
        store::ItemData contact;
        contact.Class = outlook::olContact;
        contact.FirstName = "Grace";
        contact.LastName = "Hopper";
        contact.Email1Address = "grace@example.org";
        std::vector<store::ItemData> items{contact, contact};
        items[0].CreationTime = 41000;
        items[1].CreationTime = 41001;
        profile->AddItems(*folder, items);
    }

    std::string Log() const { return ReadFile(dir.path() / "common" / "Nubra" / "Nubra.log"); }
    fs::path RegistryFile() const { return dir.path() / "config" / "nubrasweep" / "registry.reg"; }
    static fs::path Module() { return NUBRA_MODULE_FILE; }

    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", (dir.path() / "config").string()};
    ScopedEnv common{"NUBRA_COMMON_APPDATA", (dir.path() / "common").string()};
    ScopedEnv module{"NUBRA_MODULE", std::nullopt};
    RecordingPlatform platform;
    std::shared_ptr<store::Profile> profile = store::Profile::Open(dir.path() / "profile");
};

TEST_F(LoaderTest, TheRegisteredModuleIsLoadedConnectedAndUnloadedAtTheEnd) {
    RegisterAddin(Module(), false);
    const auto reg = Registry::Load(RegistryFile());
    auto server = FindServer(reg, "Nubra.Addinconnect");
    ASSERT_TRUE(server);
    EXPECT_EQ(fs::canonical(server->module), fs::canonical(Module()));

    Client client(profile, RegistryFile());
    auto explorer = client.OpenExplorer();
    client.LoadAddins();
    const LoadedAddin* addin = client.Addin("nubra.addinconnect");
    ASSERT_TRUE(addin) << (client.Addins().empty() ? "nothing loaded" : client.Addins()[0].failure);
    EXPECT_EQ(addin->friendlyName, "Nubrasweep");
    auto button = FindControlDeep(*explorer->MenuBar(), "mnuNubra");
    ASSERT_TRUE(button);
    EXPECT_EQ(button->OnAction(), "<!Nubra.Addinconnect>");
    EXPECT_EQ(explorer->MenuBar()->FindControlById(30010)->Index(), 8);
    EXPECT_EQ(Count(Log(), "Connect:OnConnection event: start Nubra add-in "), 1);
    auto canUnload = reinterpret_cast<com::DllCanUnloadNowFn>(addin->Symbol("DllCanUnloadNow"));
    ASSERT_TRUE(canUnload);
    EXPECT_EQ(canUnload(), com::S_FALSE);  // the connection lives

    button.reset();
    EXPECT_TRUE(client.Quit());
    EXPECT_EQ(Count(Log(), "Nubra has ended; cleanup runs"), 1) << Log();
    EXPECT_EQ(client.Addins()[0].handle, nullptr);  // unloaded: no object of it lives
    EXPECT_FALSE(FindControlDeep(*explorer->MenuBar(), "mnuNubra"));
    EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(LoaderTest, HeadlessCommandRunsTheScanAndTheClientWaitsForIt) {
    RegisterAddin(Module(), false);
    Client client(profile, RegistryFile());
    auto explorer = client.OpenExplorer();
    client.LoadAddins();
    const LoadedAddin* addin = client.Addin("Nubra.Addinconnect");
    ASSERT_TRUE(addin);
    using SetHookFn = void (*)(const host::ShowDialogHook*);
    auto setHook = reinterpret_cast<SetHookFn>(addin->Symbol("NubraSetShowDialogHook"));
    ASSERT_TRUE(setHook);

    int yields = 0;
    platform.onDoEvents = [&] {
        ++yields;
        // The user closes the window while the scan yields: refused, nothing is released.
        EXPECT_TRUE(client.Busy());
        EXPECT_FALSE(client.CloseExplorer(explorer));
        EXPECT_FALSE(client.Quit());
        EXPECT_EQ(Count(Log(), "cleanup runs"), 0);
    };
    int32_t removed = -1;
    host::ShowDialogHook hook = [&](host::DialogServices& s) {
        testing::MemoryProgressBar bar;
        removed = s.RemoveDuplicates(Key(s.FolderTree(), "Personal Folders\\Contacts"), bar).removed;
    };
    setHook(&hook);
    FindControlDeep(*explorer->MenuBar(), "mnuNubra")->Execute();
    setHook(nullptr);
    EXPECT_EQ(removed, 1);
    EXPECT_GE(yields, 1);
    EXPECT_FALSE(client.Busy());
    EXPECT_EQ(explorer->IsOpen(), true);
    EXPECT_TRUE(client.CloseExplorer(explorer));  // the last window: the client ends
    EXPECT_TRUE(client.Ended());
    EXPECT_EQ(Count(Log(), "Nubra has ended; cleanup runs"), 1);
    EXPECT_EQ(profile->FindFolder("Personal Folders\\Contacts\\Nubra_Duplicate_Items")->Items()->Count(), 1);
}

TEST_F(LoaderTest, RunAddinCommandGivesTheDialogsOutcome) {
    ASSERT_TRUE(EnsureAddinRegistered(Module()));
    EXPECT_FALSE(EnsureAddinRegistered(Module()));  // once per user
    testing::MemoryProgressBar bar;
    auto run = RunAddinCommand(profile, Picking("Personal Folders\\Contacts"), bar);
    EXPECT_FALSE(run.failed);
    ASSERT_EQ(run.folders.size(), 1u);
    EXPECT_EQ(run.folders[0].result.outcome, "Nubra moved 1 duplicate items to subfolder 'Nubra_Duplicate_Items'");
    EXPECT_EQ(fs::path(run.logFile), dir.path() / "common" / "Nubra" / "Nubra.log");

    run = RunAddinCommand(profile, Picking("Personal Folders\\Notes"), bar);
    EXPECT_EQ(run.folders.at(0).result.outcome, "Folder Notes is empty");
    HeadlessPlan nowhere;
    nowhere.pick = [](const std::vector<host::FolderNode>&) { return std::vector<std::string>{"Nowhere_99"}; };
    run = RunAddinCommand(profile, nowhere, bar);
    EXPECT_TRUE(run.failed);
    EXPECT_EQ(Count(Log(), "in proc: frmRemDuplicates.cmdRemDups_Click."), 1) << Log();
    EXPECT_EQ(Count(Log(), "Nubra has ended; cleanup runs"), 3);
}

TEST_F(LoaderTest, AfterUnregisterTheClientStartsWithoutTheAddin) {
    RegisterAddin(Module(), false);
    const auto registered = ReadFile(RegistryFile());
    RegisterAddin(Module(), true);
    const auto reg = Registry::Load(RegistryFile());
    EXPECT_FALSE(reg.KeyExists(std::string(kOutlookAddinsKey) + "\\Nubra.Addinconnect"));
    EXPECT_FALSE(FindServer(reg, "Nubra.Addinconnect"));
    EXPECT_FALSE(FindServer(reg, "Nubra.clsNubra"));
    // Not registered again behind the user's back.
    EXPECT_FALSE(EnsureAddinRegistered(Module()));

    Client client(profile, RegistryFile());
    auto explorer = client.OpenExplorer();
    client.LoadAddins();
    EXPECT_TRUE(client.Addins().empty());
    EXPECT_FALSE(FindControlDeep(*explorer->MenuBar(), "mnuNubra"));
    testing::MemoryProgressBar bar;
    try {
        RunAddinCommand(profile, Picking("Personal Folders"), bar);
        ADD_FAILURE() << "ran without the add-in";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.Description().find("not registered"), std::string::npos) << e.Description();
    }
}

TEST_F(LoaderTest, ADamagedRegistryIsNamedAndLeftAlone) {
    fs::create_directories(RegistryFile().parent_path());
    std::ofstream(RegistryFile()) << "Nubrasweep registry 1\n[HKEY_CURRENT_USER\\X]\n\"V\"=dword:12\n";
    const auto before = ReadFile(RegistryFile());
    for (bool unregister : {false, true}) {
        try {
            RegisterAddin(Module(), unregister);
            ADD_FAILURE() << "registered over a damaged registry";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), kRegistryCorrupt);
            EXPECT_NE(e.Description().find(RegistryFile().string() + " is damaged (line 3"), std::string::npos)
                << e.Description();
        }
    }
    // The module's own entry point refuses as well.
    void* handle = ::dlopen(Module().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(handle) << ::dlerror();
    auto reg = reinterpret_cast<com::DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
    EXPECT_EQ(reg(), com::SELFREG_E_CLASS);
    ::dlclose(handle);
    Client client(profile, RegistryFile());
    EXPECT_THROW(client.LoadAddins(), AutomationError);
    EXPECT_EQ(ReadFile(RegistryFile()), before);
}

TEST_F(LoaderTest, ClassFactoriesAndUnloading) {
    void* handle = ::dlopen(Module().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(handle) << ::dlerror();
    auto get = reinterpret_cast<com::DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    auto canUnload = reinterpret_cast<com::DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    ASSERT_TRUE(get && canUnload);
    EXPECT_EQ(canUnload(), com::S_OK);
    com::ClassFactoryRef factory;
    EXPECT_EQ(get("{00000000-0000-0000-0000-000000000000}", &factory), com::CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(factory);
    EXPECT_EQ(get("{0b9d47e1-8c35-4a6f-b2d4-93e18f5a7c60}", &factory), com::S_OK);  // clsNubra, any letter case
    ASSERT_TRUE(factory);
    auto object = factory->CreateInstance();
    factory.reset();
    EXPECT_TRUE(object);
    EXPECT_FALSE(std::dynamic_pointer_cast<outlook::IDTExtensibility2>(object));
    EXPECT_EQ(canUnload(), com::S_FALSE);
    object.reset();
    EXPECT_EQ(get("{6E3A9B52-41C7-4F0D-9A28-5C1D7E94B3A1}", &factory), com::S_OK);
    object = factory->CreateInstance();
    EXPECT_TRUE(std::dynamic_pointer_cast<outlook::IDTExtensibility2>(object));
    factory.reset();
    object.reset();
    EXPECT_EQ(canUnload(), com::S_OK);
    EXPECT_EQ(get("{6E3A9B52-41C7-4F0D-9A28-5C1D7E94B3A1}", nullptr), com::E_POINTER);
    ::dlclose(handle);
}

}  // namespace
}  // namespace nubra::client
