#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "globals/NubraGlobals.h"
#include "host/AutomationDates.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

using testing::ErrorOf;

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::RecordingPlatform;
using testing::ScopedEnv;
using testing::TempDir;

size_t LineCount(const std::string& text) {
    size_t n = 0;
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2)) ++n;
    return n;
}

// ---- qoCDate ------------------------------------------------------------------------------

class QoCDate : public ::testing::Test {
protected:
    void SetUp() override {
        oldLocale_ = dates::RegionalLocale();
        dates::SetRegionalLocale("en_GB");
        goLog = std::make_unique<clsLogging>();
        goLog->LogFile(dir.str(), "Nubra.log");
        Err().Clear();
    }
    void TearDown() override {
        goLog.reset();
        Err().Clear();
        dates::SetRegionalLocale(oldLocale_);
    }
    std::string Log() const { return ReadFile(dir.path() / "Nubra.log"); }

    TempDir dir;
    RecordingPlatform platform;
    std::string oldLocale_;
};

TEST_F(QoCDate, EmptyTextIsYear4501AndLeavesThePendingError) {
    Err().Set(AutomationError(5, "earlier"));
    std::string text;
    EXPECT_DOUBLE_EQ(qoCDate(text), 949998.0);
    EXPECT_EQ(Err().Number, 5);
    EXPECT_EQ(Log(), "");
}

TEST_F(QoCDate, PointsAreRetriedAsSlashesInTheCallersText) {
    struct Case {
        std::string locale, in, after;
        int y, m, d, h, mi, s;
    };
    const std::vector<Case> cases = {
        {"en_GB", "24.12.2009", "24/12/2009", 2009, 12, 24, 0, 0, 0},
        {"en_GB", "24.12.2009 13:05:07", "24/12/2009 13:05:07", 2009, 12, 24, 13, 5, 7},
        {"en_US", "12.24.2009 1:05 PM", "12/24/2009 1:05 PM", 2009, 12, 24, 13, 5, 0},
        {"de_DE", "24.12.2009", "24.12.2009", 2009, 12, 24, 0, 0, 0},  // the locale's own separator
        {"en_GB", "24/12/2009", "24/12/2009", 2009, 12, 24, 0, 0, 0},
        {"ja_JP", "2009.12.24", "2009/12/24", 2009, 12, 24, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale + " " + c.in);
        dates::SetRegionalLocale(c.locale);
        Err().Set(AutomationError(5, "earlier"));  // cleared on entry
        std::string text = c.in;
        EXPECT_DOUBLE_EQ(qoCDate(text), dates::MakeDate(c.y, c.m, c.d, c.h, c.mi, c.s));
        EXPECT_EQ(text, c.after);
        EXPECT_EQ(Err().Number, 0);
    }
    EXPECT_EQ(Log(), "");
}

TEST_F(QoCDate, TextThatIsNoDateLogsOnceAndLeaves13Pending) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"no date", "no date"},
        {"1.2.x", "1/2/x"},
        {"31.02.2009", "31/02/2009"},
    };
    for (const auto& [in, after] : cases) {
        SCOPED_TRACE(in);
        const size_t before = LineCount(Log());
        std::string text = in;
        EXPECT_DOUBLE_EQ(qoCDate(text), 0.0);
        EXPECT_EQ(text, after);
        EXPECT_EQ(Err().Number, 13);
        const std::string log = Log();
        EXPECT_EQ(LineCount(log), before + 1);
        EXPECT_NE(log.find("  qoGenFunctions.qoCDate: error converting date string " + after + "\r\n"),
                  std::string::npos);
    }
    EXPECT_TRUE(platform.boxes.empty());
    // Without a log the failure is still contained.
    goLog.reset();
    std::string text = "nothing";
    EXPECT_DOUBLE_EQ(qoCDate(text), 0.0);
    EXPECT_EQ(Err().Number, 13);
}

TEST_F(QoCDate, ReadsBackTheGeneralDateInEveryLocale) {
    const std::vector<Date> samples = {dates::MakeDate(100, 1, 1, 12), dates::MakeDate(1899, 12, 29, 6),
                                       dates::MakeDate(2000, 2, 29), dates::MakeDate(2009, 12, 24, 23, 59, 59),
                                       dates::MakeDate(9999, 12, 31, 0, 0, 1)};
    for (const std::string locale : {"en_US", "en_GB", "de_DE", "nl_NL", "ja_JP"}) {
        dates::SetRegionalLocale(locale);
        for (Date d : samples) {
            std::string text = dates::FormatGeneralDate(d);
            SCOPED_TRACE(locale + " " + text);
            EXPECT_DOUBLE_EQ(qoCDate(text), d);
            EXPECT_EQ(Err().Number, 0);
        }
    }
}

// ---- GetAppDataFolder ---------------------------------------------------------------------

class AppData : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir.path() / "plainfile") << "x";
        blocked = (dir.path() / "plainfile" / "below").string();  // can never be made
    }
    TempDir dir;
    std::string blocked;
};

TEST_F(AppData, CommonThenLocalThenNothing) {
    struct Case {
        std::optional<std::string> common, xdg, home;
        std::string expected;  // relative to the scratch folder; "" for none
    };
    const std::string d = dir.str();
    const std::vector<Case> cases = {
        {d + "/common", d + "/xdg", d + "/home", "/common"},
        {d + "/common/", d + "/xdg", d + "/home", "/common"},
        {d + "/deep/er/common", std::nullopt, d + "/home", "/deep/er/common"},
        {blocked, d + "/xdg", d + "/home", "/xdg"},
        {blocked, std::nullopt, d + "/home", "/home/.local/share"},
        {blocked, "relative/data", d + "/home", "/home/.local/share"},
        {"relative/common", d + "/xdg", d + "/home", "/xdg"},
        {blocked, blocked, d + "/home", ""},
        {blocked, std::nullopt, blocked, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.common ? *c.common : "-") + " | " + (c.xdg ? *c.xdg : "-") + " | " + (c.home ? *c.home : "-"));
        ScopedEnv e1("NUBRA_COMMON_APPDATA", c.common), e2("XDG_DATA_HOME", c.xdg), e3("HOME", c.home);
        const std::string got = GetAppDataFolder();
        if (c.expected.empty()) {
            EXPECT_EQ(got, "");
        } else {
            EXPECT_EQ(got, d + c.expected);
            EXPECT_TRUE(fs::is_directory(got));
        }
    }
}

TEST_F(AppData, ACommonFolderWhoseNubraFolderIsUnusableIsPassedOver) {
    const std::string d = dir.str();
    fs::create_directories(d + "/common");
    std::ofstream(d + "/common/Nubra") << "not a folder";
    ScopedEnv e1("NUBRA_COMMON_APPDATA", d + "/common"), e2("XDG_DATA_HOME", d + "/xdg");
    EXPECT_EQ(GetAppDataFolder(), d + "/xdg");
    fs::remove(d + "/common/Nubra");
    fs::create_directory(d + "/common/Nubra");
    EXPECT_EQ(GetAppDataFolder(), d + "/common");
}

TEST_F(AppData, AnUnsafeCommonFolderIsPassedOverAndSaidWhy) {
    const std::string d = dir.str();
    std::ofstream(d + "/victim") << "precious";
    struct Case {
        const char* name;
        std::function<void(const std::string& common)> plant;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"WritableByAll", [](const std::string& c) { fs::permissions(c, fs::perms::all); }, true},
        {"WritableByAllWithStickyBit",
         [](const std::string& c) { fs::permissions(c, fs::perms::all | fs::perms::sticky_bit); }, false},
        {"NubraFolderIsALink", [&](const std::string& c) { fs::create_directory_symlink(d, c + "/Nubra"); }, true},
        {"NubraFolderWritableByAll",
         [](const std::string& c) {
             fs::create_directory(c + "/Nubra");
             fs::permissions(c + "/Nubra", fs::perms::all);
         },
         true},
        {"LogFileIsALink",
         [&](const std::string& c) {
             fs::create_directory(c + "/Nubra");
             fs::create_symlink(d + "/victim", c + "/Nubra/Nubra.log");
         },
         true},
        {"OwnLogFile",
         [](const std::string& c) {
             fs::create_directory(c + "/Nubra");
             std::ofstream(c + "/Nubra/Nubra.log") << "old entries";
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string common = d + "/common-" + c.name;
        fs::create_directories(common);
        c.plant(common);
        ScopedEnv e1("NUBRA_COMMON_APPDATA", common), e2("XDG_DATA_HOME", d + "/xdg");
        EXPECT_EQ(GetAppDataFolder(), c.refused ? d + "/xdg" : common);
        EXPECT_EQ(CommonFolderRefusal().empty(), !c.refused) << CommonFolderRefusal();
    }
    // The log itself never writes through a link, whoever planted it meanwhile.
    fs::create_directories(d + "/raced");
    fs::create_symlink(d + "/victim", d + "/raced/Nubra.log");
    clsLogging log;
    EXPECT_THROW(log.LogFile(d + "/raced", "Nubra.log", "first", true), AutomationError);
    std::ifstream in(d + "/victim");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "precious");
}

TEST_F(AppData, TheLocalFolderIsPrivateWhenMade) {
    ScopedEnv e1("NUBRA_COMMON_APPDATA", blocked), e2("XDG_DATA_HOME", dir.str() + "/mine");
    ASSERT_EQ(GetAppDataFolder(), dir.str() + "/mine");
    struct stat st{};
    ASSERT_EQ(::stat((dir.str() + "/mine").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST(AddinModule, IsTheFolderOfTheLoadedBinary) {
    EXPECT_EQ(AddinModuleFolder(), fs::read_symlink("/proc/self/exe").parent_path().string());
}

// ---- OpenInDefaultBrowser -----------------------------------------------------------------

class Browser : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(dir.path() / "bin");
        opener = (dir.path() / "bin" / "xdg-open").string();
        std::ofstream(opener) << "#!/bin/sh\nexit 0\n";
        fs::permissions(opener, fs::perms::owner_all);
        runtime = dir.path() / "runtime";
        fs::create_directory(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directory(dir.path() / "tmp");
    }
    TempDir dir;
    RecordingPlatform platform;
    std::string opener;
    fs::path runtime;
    std::string ownFolder = "nubra-" + std::to_string(::getuid());
};

TEST_F(Browser, StartsTheOpenerWithTheAddressAsIs) {
    ScopedEnv path("PATH", dir.str() + "/nothing-here:" + dir.str() + "/bin"), rt("XDG_RUNTIME_DIR", runtime.string());
    const std::string url = "https://example.org/a b?q=\"x\"&y=$(id)";
    EXPECT_EQ(OpenInDefaultBrowser(url), 0);
    ASSERT_EQ(platform.started.size(), 1u);
    EXPECT_EQ(platform.started[0].program, opener);
    EXPECT_EQ(platform.started[0].arguments, std::vector<std::string>{url});
    EXPECT_TRUE(fs::is_empty(runtime));  // the look-up file is gone again
}

TEST_F(Browser, NoOpenerIsIgnored) {
    ScopedEnv path("PATH", dir.str() + "/tmp"), rt("XDG_RUNTIME_DIR", runtime.string());
    EXPECT_EQ(OpenInDefaultBrowser("https://example.org/"), 0);
    EXPECT_TRUE(platform.started.empty());
    EXPECT_TRUE(fs::is_empty(runtime));
}

TEST_F(Browser, WithoutARuntimeFolderAPrivateFolderIsMade) {
    const fs::path shared = dir.path() / "tmp";
    const fs::path open = dir.path() / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all, fs::perm_options::replace);  // 0777: not private
    for (const std::optional<std::string>& rtValue :
         std::vector<std::optional<std::string>>{std::nullopt, open.string(), std::string("relative")}) {
        ScopedEnv path("PATH", dir.str() + "/bin"), rt("XDG_RUNTIME_DIR", rtValue), tmp("TMPDIR", shared.string());
        EXPECT_EQ(OpenInDefaultBrowser("u"), 0);
        struct stat st{};
        ASSERT_EQ(::lstat((shared / ownFolder).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_TRUE(fs::is_empty(shared / ownFolder));
        EXPECT_TRUE(fs::is_empty(open));
    }
    EXPECT_EQ(platform.started.size(), 3u);
}

TEST_F(Browser, PlantedLinksAreRefused) {
    const fs::path shared = dir.path() / "tmp";
    const fs::path victim = dir.path() / "victim";
    fs::create_directory(victim);
    ScopedEnv path("PATH", dir.str() + "/bin"), rt("XDG_RUNTIME_DIR", std::nullopt), tmp("TMPDIR", shared.string());

    // The per-user folder's name taken by a link to somewhere else.
    fs::create_directory_symlink(victim, shared / ownFolder);
    EXPECT_EQ(ErrorOf([] { OpenInDefaultBrowser("u"); }), 75);
    EXPECT_TRUE(fs::is_empty(victim));
    EXPECT_TRUE(platform.started.empty());

    // A link planted where the file goes (a runtime folder shared by mistake is refused, so
    // this can only be a leftover in our own folder) is replaced, never followed.
    fs::remove(shared / ownFolder);
    ScopedEnv rt2("XDG_RUNTIME_DIR", runtime.string());
    const fs::path target = victim / "precious";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, runtime / "ambtemphtm.HTM");
    EXPECT_EQ(OpenInDefaultBrowser("u"), 0);
    EXPECT_EQ(ReadFile(target), "keep");
    EXPECT_FALSE(fs::exists(fs::symlink_status(runtime / "ambtemphtm.HTM")));
}

}  // namespace
}  // namespace nubra
