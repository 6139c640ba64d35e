#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "globals/NubraGlobals.h"
#include "engine/clsFldMon.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RecordingPlatform;
using testing::ScopedEnv;
using testing::TempDir;

class FakeUtils : public mapi::MAPIUtils {
public:
    Variant GetOneProperty(const ObjectRef&, int32_t) override { return {}; }
    int32_t GetNamedPropertyTag(const ObjectRef&, const std::string&, int16_t, bool) override { return 0; }
    std::string BinaryToHex(const Variant&) override { return {}; }
    void Cleanup() override {}
};

class NotUtils : public Object {};

class InitTest : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        oldLocale_ = dates::RegionalLocale();
        dates::SetRegionalLocale("en_GB");
        RegisterClass(mapi::kProgIdMAPIUtils, [] { return std::make_shared<FakeUtils>(); });
        std::ofstream(dir.path() / "plainfile") << "x";
        blocked = (dir.path() / "plainfile" / "below").string();
        Err().Clear();
    }
    void TearDown() override {
        Reset();
        UnregisterClass(mapi::kProgIdMAPIUtils);
        dates::SetRegionalLocale(oldLocale_);
        Err().Clear();
    }
    static void Reset() {
        goFldMon.reset();
        goOlNameSpace.reset();
        goredUtil.reset();
        goErrHandler.reset();
        goLog.reset();
        gsAppTitle.clear();
    }
    static int32_t InitError() {
        try {
            Init();
        } catch (const AutomationError& e) {
            return e.Number();
        }
        return 0;
    }

    TempDir dir;
    RecordingPlatform platform;
    std::string blocked;
    std::string oldLocale_;
};

TEST_F(InitTest, CreatesTheGlobalsWithTheLogInTheCommonFolder) {
    ScopedEnv common("NUBRA_COMMON_APPDATA", dir.str() + "/common");
    ASSERT_EQ(InitError(), 0);
    ASSERT_TRUE(goLog);
    EXPECT_EQ(goLog->FullPath(), dir.str() + "/common/Nubra/Nubra.log");
    EXPECT_EQ(goLog->LogFileName(), "Nubra.log");
    EXPECT_TRUE(fs::is_regular_file(goLog->FullPath()));
    EXPECT_EQ(ReadFile(goLog->FullPath()), "");  // an empty first line writes nothing
    EXPECT_TRUE(goFldMon);
    EXPECT_TRUE(goErrHandler);
    EXPECT_EQ(gsAppTitle, "Nubrasweep");
    EXPECT_TRUE(std::dynamic_pointer_cast<FakeUtils>(goredUtil));

    // The error handler now logs to that file and titles its boxes with the product's name.
    Err().Set(AutomationError(61, "Disk full"));
    goErrHandler->HandleError("clsFldMon.RemDuplicatesInFld");
    EXPECT_NE(ReadFile(goLog->FullPath()).find("  Error# 61 in proc: clsFldMon.RemDuplicatesInFld. Disk full \r\n"),
              std::string::npos);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].title, "Nubrasweep");

    // A second start-up appends to the same log.
    goLog->WriteToLog("first run");
    Reset();
    ASSERT_EQ(InitError(), 0);
    goLog->WriteToLog("second run");
    const std::string text = ReadFile(goLog->FullPath());
    EXPECT_LT(text.find("first run"), text.find("second run"));
}

TEST_F(InitTest, FallsBackToTheLocalFolderThenTheModuleFolder) {
    {
        ScopedEnv common("NUBRA_COMMON_APPDATA", blocked), local("XDG_DATA_HOME", dir.str() + "/local");
        ASSERT_EQ(InitError(), 0);
        EXPECT_EQ(goLog->FullPath(), dir.str() + "/local/Nubra/Nubra.log");
    }
    Reset();
    const fs::path moduleLog = fs::path(AddinModuleFolder()) / "LOG";
    const bool existed = fs::exists(moduleLog);
    {
        ScopedEnv common("NUBRA_COMMON_APPDATA", blocked), local("XDG_DATA_HOME", blocked), home("HOME", blocked);
        ASSERT_EQ(InitError(), 0);
        EXPECT_EQ(goLog->FullPath(), moduleLog.string() + "/Nubra.log");
        EXPECT_TRUE(fs::is_regular_file(moduleLog / "Nubra.log"));
    }
    if (!existed) fs::remove_all(moduleLog);
}

TEST_F(InitTest, FailuresEndInitAndKeepWhatWasMade) {
    ScopedEnv common("NUBRA_COMMON_APPDATA", dir.str() + "/common");

    // The library is not registered: 429, everything before it stays.
    UnregisterClass(mapi::kProgIdMAPIUtils);
    EXPECT_EQ(InitError(), 429);
    EXPECT_TRUE(goLog && goFldMon && goErrHandler);
    EXPECT_EQ(gsAppTitle, "Nubrasweep");
    EXPECT_FALSE(goredUtil);

    // A creation that reports no failure but gives no object: Init says so and ends normally.
    Reset();
    RegisterClass(mapi::kProgIdMAPIUtils, [] { return ObjectRef{}; });
    EXPECT_EQ(InitError(), 0);
    EXPECT_FALSE(goredUtil);
    EXPECT_NE(testing::ReadFile(dir.path() / "common" / "Nubra" / "Nubra.log").find("AddinGlobals.Init: goredUtil could NOT be created"),
              std::string::npos);

    // An object of another class does not pass for the library.
    Reset();
    RegisterClass(mapi::kProgIdMAPIUtils, [] { return std::make_shared<NotUtils>(); });
    EXPECT_EQ(InitError(), 13);

    // The log file's name is taken by a folder: the log cannot be prepared.
    Reset();
    fs::remove_all(dir.path() / "common" / "Nubra");
    fs::create_directories(dir.path() / "common" / "Nubra" / "Nubra.log");
    EXPECT_EQ(InitError(), 75);
    EXPECT_TRUE(goLog);
    EXPECT_FALSE(goFldMon);
    EXPECT_FALSE(goErrHandler);
}

}  // namespace
}  // namespace nubra
