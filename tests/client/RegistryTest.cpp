#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "addin/Registration.h"
#include "host/Automation.h"
#include "standin_host/client/Registry.h"
#include "tests/support/TestEnv.h"

namespace nubra::client {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;

void Write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// The error a load raises, or none.
std::optional<AutomationError> LoadError(const fs::path& file) {
    try {
        Registry::Load(file);
    } catch (const AutomationError& e) {
        return e;
    }
    return std::nullopt;
}

TEST(Registry, ValuesSurviveTheFileWithTheirTypesAndAnyText) {
    TempDir dir;
    const auto file = dir.path() / "reg" / "registry.reg";
    const std::string awkward = "quote \" backslash \\ tab \t line\nbreak";
    Registry::Update(file, [&](Registry& r) {
        r.SetString("HKEY_CURRENT_USER\\Software\\A", "Text", awkward);
        r.SetDword("HKEY_CURRENT_USER\\Software\\A", "Number", 0xFFFFFFFFu);
        r.SetString("HKEY_CURRENT_USER\\Software\\A\\B", "", "default");
    });
    const auto reg = Registry::Load(file);
    // Names compare without regard to letter case, as the platform's registry does.
    EXPECT_EQ(reg.GetString("hkey_current_user\\software\\a", "TEXT"), awkward);
    EXPECT_EQ(reg.GetDword("HKEY_CURRENT_USER\\Software\\A", "number"), 0xFFFFFFFFu);
    EXPECT_FALSE(reg.GetString("HKEY_CURRENT_USER\\Software\\A", "Number"));  // a number is no text
    EXPECT_EQ(reg.GetString("HKEY_CURRENT_USER\\Software\\A\\B", ""), "default");
    EXPECT_EQ(reg.SubKeys("HKEY_CURRENT_USER\\Software"), std::vector<std::string>{"A"});
    EXPECT_EQ(reg.SubKeys("HKEY_CURRENT_USER\\Software\\A"), std::vector<std::string>{"B"});
    // Nothing of the write is left beside the file.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(file.parent_path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST(Registry, MissingFileIsEmptyAndDefaultFileFollowsXdgConfigHome) {
    TempDir dir;
    EXPECT_TRUE(Registry::Load(dir.path() / "none.reg").SubKeys("HKEY_CURRENT_USER").empty());
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", dir.str());
        EXPECT_EQ(Registry::DefaultFile(), dir.path() / "nubrasweep" / "registry.reg");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", dir.str());
    EXPECT_EQ(Registry::DefaultFile(), dir.path() / ".config" / "nubrasweep" / "registry.reg");
}

struct Damage {
    const char* name;
    std::string text;
    int line;
};

class DamagedRegistry : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedRegistry, IsReportedWithFileAndLineAndNeverOverwritten) {
    TempDir dir;
    const auto file = dir.path() / "registry.reg";
    Write(file, GetParam().text);
    const auto before = ReadFile(file);

    auto error = LoadError(file);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Number(), kRegistryCorrupt);
    EXPECT_NE(error->Description().find(file.string()), std::string::npos) << error->Description();
    EXPECT_NE(error->Description().find("line " + std::to_string(GetParam().line)), std::string::npos)
        << error->Description();

    // Registering over it fails and leaves it as it was.
    EXPECT_THROW(Registry::Update(file, [](Registry& r) { addin::RegisterServer(r, "/x/libNubra.so"); }),
                 AutomationError);
    EXPECT_EQ(ReadFile(file), before);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, DamagedRegistry,
    ::testing::Values(Damage{"NoHeader", "[HKEY_CURRENT_USER\\A]\n", 1},
                      Damage{"ValueBeforeKey", "Nubrasweep registry 1\n\n\"A\"=\"b\"\n", 3},
                      Damage{"ShortDword", "Nubrasweep registry 1\n[K]\n\"A\"=dword:3\n", 3},
                      Damage{"UnterminatedText", "Nubrasweep registry 1\n[K]\n\"A\"=\"b\n", 3},
                      Damage{"UnknownEscape", "Nubrasweep registry 1\n[K]\n\"A\"=\"\\q\"\n", 3},
                      Damage{"ValueTwice", "Nubrasweep registry 1\n[K]\n\"A\"=\"1\"\n\"a\"=\"2\"\n", 4},
                      Damage{"KeyTwice", "Nubrasweep registry 1\n[K]\n[k]\n", 3},
                      Damage{"OpenKey", "Nubrasweep registry 1\n[K\n", 2},
                      Damage{"EmptyKeyPart", "Nubrasweep registry 1\n[K\\\\L]\n", 2},
                      Damage{"Binary", std::string("Nubrasweep registry 1\n\0", 23), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Registry, AChangeThatFailsLeavesTheFileAsItWas) {
    TempDir dir;
    const auto file = dir.path() / "registry.reg";
    Registry::Update(file, [](Registry& r) { r.SetDword("HKEY_CURRENT_USER\\K", "V", 1); });
    const auto before = ReadFile(file);
    EXPECT_THROW(Registry::Update(file,
                                  [](Registry& r) {
                                      r.SetDword("HKEY_CURRENT_USER\\K", "V", 2);
                                      RaiseError(errnum::kDiskFull);
                                  }),
                 AutomationError);
    EXPECT_EQ(ReadFile(file), before);
}

TEST(Registration, WritesExactlyTheAddinAndClassKeysAndRemovesExactlyThem) {
    Registry reg;
    // What others keep in the registry, beside and above the add-in's keys.
    reg.SetDword(std::string(kOutlookAddinsKey) + "\\Other.Connect", "LoadBehavior", 2);
    reg.SetString(std::string(kClassesKey) + "\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", "",
                  "/other.so");
    reg.SetString(std::string(kClassesKey) + "\\TypeLib", "Note", "shared");
    const Registry before = reg;

    addin::RegisterServer(reg, "/opt/nubra/libNubra.so");
    const std::string key = std::string(kOutlookAddinsKey) + "\\Nubra.Addinconnect";
    EXPECT_EQ(reg.GetString(key, "FriendlyName"), "Nubrasweep");
    EXPECT_EQ(reg.GetString(key, "Description"), "Remove duplicates from outlook folders");
    EXPECT_EQ(reg.GetDword(key, "LoadBehavior"), 3u);
    EXPECT_FALSE(reg.GetString(key, "LoadBehavior"));  // a 32-bit value, not text
    for (const char* progId : {"Nubra.Addinconnect", "Nubra.clsNubra"}) {
        auto server = FindServer(reg, progId);
        ASSERT_TRUE(server) << progId;
        EXPECT_EQ(server->module, "/opt/nubra/libNubra.so");
        const std::string clsidKey = std::string(kClassesKey) + "\\CLSID\\" + server->clsid;
        EXPECT_EQ(reg.GetString(clsidKey + "\\ProgID", ""), progId);
        auto libid = reg.GetString(clsidKey + "\\TypeLib", "");
        ASSERT_TRUE(libid);
        EXPECT_EQ(reg.GetString(std::string(kClassesKey) + "\\TypeLib\\" + *libid + "\\1.0", ""), "Nubrasweep");
    }
    EXPECT_NE(FindServer(reg, "Nubra.Addinconnect")->clsid, FindServer(reg, "Nubra.clsNubra")->clsid);
    // Registering twice changes nothing.
    const Registry once = reg;
    addin::RegisterServer(reg, "/opt/nubra/libNubra.so");
    EXPECT_EQ(reg.ToText(), once.ToText());

    addin::UnregisterServer(reg);
    EXPECT_EQ(reg.ToText(), before.ToText());
}

}  // namespace
}  // namespace nubra::client
