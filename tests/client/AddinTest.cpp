// The connection class and the menu entry inside the stand-in client, linked into the test
// (the module's loading is covered by the loader tests).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "addin/AddinState.h"
#include "addin/Addinconnect.h"
#include "globals/NubraGlobals.h"
#include "addin/clsNubra.h"
#include "engine/clsFldMon.h"
#include "host/ClassRegistry.h"
#include "standin_host/client/Client.h"
#include "standin_host/store/Application.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"
#include "tests/support/MemoryProgressBar.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

namespace fs = std::filesystem;
using client::CommandBarControlImpl;
using client::ExplorerImpl;
using outlook::CustomArray;
using testing::ReadFile;
using testing::RecordingPlatform;
using testing::ScopedEnv;
using testing::TempDir;

class Inst : public outlook::AddInInst {
public:
    explicit Inst(std::string id) : id_(std::move(id)) {}
    std::string ProgId() override { return id_; }

private:
    std::string id_;
};

class NoProgId : public Object {};

// The client's application whose namespace cannot be opened.
class NoNamespaceApp : public outlook::Application {
public:
    explicit NoNamespaceApp(std::shared_ptr<outlook::Application> real) : real_(std::move(real)) {}
    std::shared_ptr<outlook::Explorer> ActiveExplorer() override { return real_->ActiveExplorer(); }
    std::shared_ptr<outlook::WindowCollection> Explorers() override { return real_->Explorers(); }
    std::shared_ptr<outlook::WindowCollection> Inspectors() override { return real_->Inspectors(); }
    std::shared_ptr<outlook::NameSpace> GetNamespace(const std::string&) override {
        RaiseError(errnum::kMapiNotFound, "The profile cannot be opened");
    }
    std::string Version() override { return real_->Version(); }

private:
    std::shared_ptr<outlook::Application> real_;
};

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

class AddinTest : public ::testing::Test {
protected:
    void SetUp() override {
        Err().Clear();
        explorer = client->OpenExplorer();
    }
    void TearDown() override {
        addin::SetShowDialogHook({});
        addin::SetCloseDialogHook({});
        conn.reset();
        client.reset();
        ReleaseGlobals();
        gsProgId.clear();
        gsOlVersion.clear();
        Err().Clear();
    }

    void Connect(CustomArray custom = CustomArray(1, {Variant(int32_t{1})}), ObjectRef inst = nullptr,
                 std::shared_ptr<outlook::Application> app = nullptr) {
        if (!inst) inst = std::make_shared<Inst>("Nubra.Addinconnect");
        conn = std::make_shared<Addinconnect>();
        conn->OnConnection(app ? app : client->App(), outlook::ext_cm_Startup, inst, custom);
    }
    void BeginShutdown() {
        CustomArray custom(1, {Variant(int32_t{1})});
        conn->OnBeginShutdown(custom);
    }

    std::string Log() const { return ReadFile(dir.path() / "common" / "Nubra" / "Nubra.log"); }
    std::vector<std::string> MenuCaptions() const {
        std::vector<std::string> out;
        for (const auto& c : explorer->MenuBar()->ControlsImpl()->Items()) out.push_back(c->Caption());
        return out;
    }
    int Popups() const {
        int n = 0;
        for (const auto& c : explorer->MenuBar()->ControlsImpl()->Items()) n += c->Tag() == "mnuNubrapopup";
        return n;
    }
    std::shared_ptr<CommandBarControlImpl> Button() const { return client::FindControlDeep(*explorer->MenuBar(), "mnuNubra"); }
    bool GlobalsAlive() const { return goLog && goFldMon && goErrHandler && goredUtil; }

    TempDir dir;
    ScopedEnv common{"NUBRA_COMMON_APPDATA", (dir.path() / "common").string()};
    ScopedEnv data{"XDG_DATA_HOME", dir.str()};
    ScopedEnv version{"NUBRA_HOST_VERSION", std::nullopt};
    RecordingPlatform platform;
    std::shared_ptr<store::Profile> profile = store::Profile::Open(dir.path() / "profile");
    std::unique_ptr<client::Client> client = std::make_unique<client::Client>(profile, dir.path() / "registry.reg");
    std::shared_ptr<ExplorerImpl> explorer;
    std::shared_ptr<Addinconnect> conn;
};

TEST_F(AddinTest, StartupPutsTheTemporaryPopupBeforeHelpAndRecordsTheClient) {
    Connect(CustomArray(1, {Variant(int32_t{1})}), std::make_shared<Inst>("Other.Name"));
    EXPECT_EQ(MenuCaptions(), (std::vector<std::string>{"&File", "&Edit", "&View", "&Go", "&Tools", "&Actions", "&Nubra",
                                                        "&Help"}));
    auto popup = explorer->MenuBar()->ControlsImpl()->Items()[6];
    EXPECT_EQ(popup->Type(), 10);
    EXPECT_EQ(popup->Tag(), "mnuNubrapopup");
    EXPECT_TRUE(popup->Temporary());
    ASSERT_EQ(popup->Children()->Count(), 1);
    auto button = popup->Children()->Items()[0];
    EXPECT_EQ(button->Type(), 1);
    EXPECT_EQ(button->Caption(), "&Remove duplicate items...");
    EXPECT_EQ(button->Tag(), "mnuNubra");
    // The ProgID the client reported, not a built-in text.
    EXPECT_EQ(button->OnAction(), "<!Other.Name>");
    EXPECT_TRUE(button->Temporary());
    EXPECT_EQ(gsProgId, "Other.Name");
    EXPECT_EQ(gsOlVersion, "2010");
    EXPECT_TRUE(goOlNameSpace);
    EXPECT_TRUE(GlobalsAlive());
    EXPECT_TRUE(conn->WatchesExplorer());
    EXPECT_NE(Log().find("Connect:OnConnection event: start Nubra add-in \r\n"), std::string::npos) << Log();
    EXPECT_TRUE(platform.boxes.empty());
}

struct StartCase {
    const char* name;
    CustomArray custom;
    int32_t reported;  // error number reported through HandleError, 0 for none
};

class StartModeTest : public AddinTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartModeTest, NoMenuAndNoWatchedWindowButTheGlobalsStay) {
    auto custom = GetParam().custom;
    Connect(custom);
    EXPECT_EQ(Popups(), 0);
    EXPECT_FALSE(conn->WatchesExplorer());
    EXPECT_FALSE(conn->NubraClass());
    EXPECT_TRUE(GlobalsAlive());
    EXPECT_EQ(gsProgId, "Nubra.Addinconnect");
    EXPECT_NE(Log().find("start Nubra add-in"), std::string::npos);
    if (GetParam().reported) {
        ASSERT_EQ(platform.boxes.size(), 1u);
        EXPECT_EQ(Count(Log(), "Error# " + std::to_string(GetParam().reported) +
                                   " in proc: Connect:IDTExtensibility2_OnConnection."),
                  1)
            << Log();
    } else {
        EXPECT_TRUE(platform.boxes.empty());
        EXPECT_EQ(Log().find("Error#"), std::string::npos);
    }
    // The window is not watched: closing it cleans nothing up.
    client->OpenExplorer();
    client->CloseExplorer(explorer);
    EXPECT_EQ(Log().find("cleanup runs"), std::string::npos);
    EXPECT_TRUE(GlobalsAlive());
}

INSTANTIATE_TEST_SUITE_P(
    Addin, StartModeTest,
    ::testing::Values(StartCase{"AfterStartup", CustomArray(1, {Variant(int32_t{0})}), 0},
                      StartCase{"Two", CustomArray(1, {Variant(int32_t{2})}), 0},
                      StartCase{"EmptyElement", CustomArray(1, {Variant()}), 0},
                      StartCase{"NoElements", CustomArray(1, {}), errnum::kSubscriptOutOfRange},
                      StartCase{"OnlyElementZero", CustomArray(0, {Variant(int32_t{1})}), errnum::kSubscriptOutOfRange},
                      StartCase{"NotANumber", CustomArray(1, {Variant("one")}), errnum::kTypeMismatch}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AddinTest, InitFailureFailsTheConnectionWithoutMenu) {
    UnregisterClass(mapi::kProgIdMAPIUtils);
    try {
        Connect();
        ADD_FAILURE() << "OnConnection succeeded without the MAPI library";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.Number(), errnum::kCannotCreateObject);
    }
    store::RegisterMAPILibrary();
    EXPECT_EQ(Popups(), 0);
    EXPECT_EQ(Log().find("start Nubra add-in"), std::string::npos);
    EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(AddinTest, AnObjectWithoutProgIdIsReportedAndLeavesNoMenu) {
    Connect(CustomArray(1, {Variant(int32_t{1})}), std::make_shared<NoProgId>());
    EXPECT_EQ(Popups(), 0);
    EXPECT_EQ(Count(Log(), "Error# 438 in proc: Connect:IDTExtensibility2_OnConnection."), 1) << Log();
}

TEST_F(AddinTest, AMenuBarThatHoldsThePopupAlreadyGetsNoSecondOne) {
    auto existing = explorer->MenuBar()->Controls()->Add(10, 1, true);
    existing->SetTag("mnuNubrapopup");
    Connect();
    EXPECT_EQ(Popups(), 1);
    ASSERT_TRUE(conn->NubraClass());
    EXPECT_FALSE(conn->NubraClass()->HoldsButton());
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(gsOlVersion, "2010");
}

TEST_F(AddinTest, ABarWithoutTheHelpMenuIsReportedOnceAndTheAddinRunsOn) {
    std::dynamic_pointer_cast<CommandBarControlImpl>(explorer->MenuBar()->FindControlById(30010))->Delete();
    Connect();
    EXPECT_EQ(Popups(), 0);
    EXPECT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(Count(Log(), "in proc: clsNubra.CreateMenu."), 1) << Log();
    EXPECT_FALSE(conn->NubraClass()->HoldsButton());
    EXPECT_TRUE(GlobalsAlive());
    EXPECT_TRUE(conn->WatchesExplorer());
}

TEST_F(AddinTest, AFailureInsideTheMenuClassIsReportedOnceAndTheWindowStaysWatched) {
    Connect(CustomArray(1, {Variant(int32_t{1})}), nullptr, std::make_shared<NoNamespaceApp>(client->App()));
    EXPECT_EQ(Popups(), 0);
    EXPECT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(Count(Log(), "in proc: Connect:IDTExtensibility2_OnConnection. The profile cannot be opened"), 1) << Log();
    EXPECT_TRUE(conn->WatchesExplorer());
    EXPECT_TRUE(GlobalsAlive());
}

TEST_F(AddinTest, AMenuThatFailsAfterItsPopupKeepsThePopupButNoButton) {
    // The client refuses the button once the popup is on the bar.
    auto bars = std::dynamic_pointer_cast<client::CommandBarsImpl>(explorer->CommandBars());
    ASSERT_TRUE(bars);
    auto refuse = bars->Changed().Subscribe([&] {
        auto popup = client::FindControlDeep(*explorer->MenuBar(), "mnuNubrapopup");
        if (popup && popup->Controls()->Count() > 0) RaiseError(errnum::kMapiCallFailed, "The menu is full");
    });
    Connect();
    refuse.reset();
    EXPECT_EQ(Popups(), 1);
    ASSERT_TRUE(conn->NubraClass());
    EXPECT_FALSE(conn->NubraClass()->HoldsButton());
    EXPECT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(Count(Log(), "in proc: clsNubra.CreateMenu. The menu is full"), 1) << Log();
    EXPECT_TRUE(conn->WatchesExplorer());
    EXPECT_TRUE(GlobalsAlive());
}

TEST_F(AddinTest, ReleaseYearFollowsTheFirstTwoCharactersOfTheVersion) {
    struct Case {
        const char* version;
        const char* before;
        const char* after;
    };
    const Case cases[] = {{"9.0.0.2711", "", "2000"}, {"10.0.2627", "", "2002"}, {"11.0.8217", "", "2003"},
                          {"12.0.4518", "", "2007"},  {"14.0.0.4760", "", "2010"}, {"15.0.4420", "", ""},
                          {"15.0.4420", "2003", "2003"}, {"9", "2007", "2007"}, {"1", "", ""}, {"", "2000", "2000"}};
    for (const auto& c : cases) {
        EXPECT_EQ(clsNubra::ReleaseYear(c.version, c.before), c.after) << c.version;
    }
    // Through the connection: an unknown release keeps the year and still gets the menu.
    ScopedEnv v("NUBRA_HOST_VERSION", "15.0.4420");
    gsOlVersion = "2003";
    Connect();
    EXPECT_EQ(gsOlVersion, "2003");
    EXPECT_EQ(Popups(), 1);
}

TEST_F(AddinTest, ClosingTheLastWindowCleansUpAndTheMenuVanishes) {
    Connect();
    ASSERT_TRUE(Button());
    client->CloseExplorer(explorer);
    EXPECT_EQ(Count(Log(), "Nubra has ended; cleanup runs"), 1) << Log();
    EXPECT_FALSE(goLog || goFldMon || goErrHandler || goredUtil || goOlNameSpace);
    EXPECT_EQ(Popups(), 0);
    // The client's own shutdown finds nothing left: no second log line, no failure.
    EXPECT_NO_THROW(BeginShutdown());
    EXPECT_EQ(Count(Log(), "cleanup runs"), 1);
    EXPECT_EQ(gsProgId, "Nubra.Addinconnect");
    EXPECT_EQ(gsAppTitle, "Nubrasweep");
}

TEST_F(AddinTest, AnOpenItemWindowKeepsTheAddinUntilTheClientEnds) {
    Connect();
    auto item = profile->FindFolder("Personal Folders\\Inbox");
    auto inspector = client->OpenInspector(nullptr);
    client->CloseExplorer(explorer);
    EXPECT_EQ(Log().find("cleanup runs"), std::string::npos);
    EXPECT_TRUE(GlobalsAlive());
    BeginShutdown();
    EXPECT_EQ(Count(Log(), "Nubra has ended; cleanup runs"), 1);
    EXPECT_FALSE(goLog);
}

TEST_F(AddinTest, ClosingTheFirstOfTwoWindowsCleansNothingUp) {
    Connect();
    auto second = client->OpenExplorer();
    client->CloseExplorer(explorer);
    EXPECT_TRUE(GlobalsAlive());
    // Only the first window was watched.
    client->OpenExplorer();
    client->CloseExplorer(second);
    EXPECT_TRUE(GlobalsAlive());
    EXPECT_EQ(Log().find("cleanup runs"), std::string::npos);
}

// Notes, while it lives, which globals are still set when it goes.
class WatchedNameSpace : public outlook::NameSpace {
public:
    WatchedNameSpace(std::shared_ptr<outlook::NameSpace> real, std::vector<std::string>& seen) : real_(real), seen_(seen) {}
    ~WatchedNameSpace() override {
        seen_.push_back(std::string("namespace: fldmon ") + (goFldMon ? "set" : "gone") + ", util " +
                        (goredUtil ? "set" : "gone") + ", handler " + (goErrHandler ? "set" : "gone") + ", log " +
                        (goLog ? "set" : "gone"));
    }
    std::shared_ptr<outlook::Application> Application() override { return real_->Application(); }
    std::shared_ptr<outlook::Folders> Folders() override { return real_->Folders(); }
    outlook::ItemRef GetItemFromID(const std::string& e, const std::string& s) override { return real_->GetItemFromID(e, s); }
    outlook::FolderRef GetFolderFromID(const std::string& e, const std::string& s) override {
        return real_->GetFolderFromID(e, s);
    }

private:
    std::shared_ptr<outlook::NameSpace> real_;
    std::vector<std::string>& seen_;
};

class WatchedUtils : public mapi::MAPIUtils {
public:
    explicit WatchedUtils(std::vector<std::string>& seen) : seen_(seen) {}
    ~WatchedUtils() override {
        seen_.push_back(std::string("util: namespace ") + (goOlNameSpace ? "set" : "gone") + ", handler " +
                        (goErrHandler ? "set" : "gone") + ", log " + (goLog ? "set" : "gone"));
    }
    Variant GetOneProperty(const ObjectRef&, int32_t) override { return {}; }
    int32_t GetNamedPropertyTag(const ObjectRef&, const std::string&, int16_t, bool) override { return 0; }
    std::string BinaryToHex(const Variant&) override { return {}; }
    void Cleanup() override {}

private:
    std::vector<std::string>& seen_;
};

// The client's application, with a namespace that notes when it goes.
class WatchedApp : public outlook::Application {
public:
    WatchedApp(std::shared_ptr<outlook::Application> real, std::vector<std::string>& seen) : real_(real), seen_(seen) {}
    std::shared_ptr<outlook::Explorer> ActiveExplorer() override { return real_->ActiveExplorer(); }
    std::shared_ptr<outlook::WindowCollection> Explorers() override { return real_->Explorers(); }
    std::shared_ptr<outlook::WindowCollection> Inspectors() override { return real_->Inspectors(); }
    std::shared_ptr<outlook::NameSpace> GetNamespace(const std::string& type) override {
        return std::make_shared<WatchedNameSpace>(real_->GetNamespace(type), seen_);
    }
    std::string Version() override { return real_->Version(); }

private:
    std::shared_ptr<outlook::Application> real_;
    std::vector<std::string>& seen_;
};

TEST_F(AddinTest, CleanUpClosesTheDialogThenReleasesTheGlobalsInOrder) {
    std::vector<std::string> seen;
    RegisterClass(mapi::kProgIdMAPIUtils, [&] { return std::make_shared<WatchedUtils>(seen); });
    addin::SetCloseDialogHook([&] { seen.push_back(std::string("dialog closed: fldmon ") + (goFldMon ? "set" : "gone")); });
    conn = std::make_shared<Addinconnect>();
    CustomArray custom(1, {Variant(int32_t{1})});
    conn->OnConnection(std::make_shared<WatchedApp>(client->App(), seen), 1, std::make_shared<Inst>("Nubra.Addinconnect"),
                       custom);
    store::RegisterMAPILibrary();
    ASSERT_EQ(Popups(), 1);
    BeginShutdown();
    EXPECT_EQ(seen, (std::vector<std::string>{"dialog closed: fldmon set",
                                              "namespace: fldmon gone, util set, handler set, log set",
                                              "util: namespace gone, handler set, log set"}));
    EXPECT_FALSE(goLog || goFldMon || goErrHandler || goredUtil || goOlNameSpace);
}

TEST_F(AddinTest, TheCommandShowsTheDialogThroughTheHookEveryClick) {
    Connect();
    EXPECT_THROW(Button()->Execute(), AutomationError);  // no way to show it in this host
    int shown = 0;
    addin::SetShowDialogHook([&](addin::DialogServices& s) {
        ++shown;
        EXPECT_FALSE(s.FolderTree().empty());
    });
    Button()->Execute();
    Button()->Execute();
    EXPECT_EQ(shown, 2);
}

// A folder scan yields to the client after each removed duplicate; a shutdown that arrives
// then must not pull the globals away from under the scan.
TEST_F(AddinTest, ShutdownDuringAScanWaitsForTheScanToEnd) {
    auto folder = profile->FindFolder("Personal Folders\\Contacts");
    store::ItemData contact;
    contact.Class = outlook::olContact;
    contact.FirstName = "Ada";
    contact.LastName = "Lovelace";
    contact.Email1Address = "ada@example.org";
    std::vector<store::ItemData> items{contact, contact, contact};
    items[0].CreationTime = 40000;
    items[1].CreationTime = 40001;
    items[2].CreationTime = 40002;
    profile->AddItems(*folder, items);

    Connect();
    bool duringScan = false;
    platform.onDoEvents = [&] {
        if (duringScan) return;
        duringScan = true;
        BeginShutdown();
        EXPECT_TRUE(addin::Busy());
        EXPECT_TRUE(GlobalsAlive()) << "globals released under a running scan";
    };
    int32_t removed = -1;
    addin::SetShowDialogHook([&](addin::DialogServices& s) {
        testing::MemoryProgressBar bar;
        for (const auto& node : s.FolderTree())
            if (node.fullPath == "Personal Folders\\Contacts") removed = s.RemoveDuplicates(node.key, bar).removed;
    });
    Button()->Execute();
    EXPECT_TRUE(duringScan);
    EXPECT_EQ(removed, 2);
    EXPECT_FALSE(addin::Busy());
    EXPECT_FALSE(goLog || goFldMon || goOlNameSpace);
    EXPECT_EQ(Count(Log(), "Nubra has ended; cleanup runs"), 1) << Log();
}

}  // namespace
}  // namespace nubra
