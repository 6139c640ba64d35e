#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/clsLogging.h"
#include "host/AutomationDates.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

using testing::ErrorOf;

using testing::ReadFile;
using testing::RecordingPlatform;
using testing::TempDir;

Date gFixedNow = 0;
Date FixedClock() { return gFixedNow; }

size_t LineCount(const std::string& text) {
    size_t n = 0;
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2)) ++n;
    return n;
}

class Logging : public ::testing::Test {
protected:
    void SetUp() override {
        oldLocale_ = dates::RegionalLocale();
        dates::SetRegionalLocale("en_GB");
        gFixedNow = dates::MakeDate(2009, 12, 24, 13, 5, 7);
        log.UseClock(&FixedClock);
    }
    void TearDown() override { dates::SetRegionalLocale(oldLocale_); }
    std::string Content() const { return ReadFile(dir.path() / "Nubra.log"); }

    TempDir dir;
    RecordingPlatform platform;
    clsLogging log;
    std::string oldLocale_;
};

TEST_F(Logging, EntriesAreTimestampedCrLfLinesAppendedInUtf8) {
    log.LogFile(dir.str(), "Nubra.log", "", true);
    EXPECT_EQ(log.FullPath(), dir.str() + "/Nubra.log");
    EXPECT_EQ(log.LogFileName(), "Nubra.log");
    log.WriteToLog("first");
    log.WriteToLog("");
    log.WriteToLog("line one\r\nline two");
    log.WriteToLog("Grüße");
    gFixedNow = dates::MakeDate(2009, 12, 25);
    log.WriteToLog("midnight");
    EXPECT_EQ(Content(),
              "24/12/2009 13:05:07  first\r\n"
              "24/12/2009 13:05:07  \r\n"
              "24/12/2009 13:05:07  line one\r\nline two\r\n"
              "24/12/2009 13:05:07  Gr\xc3\xbc\xc3\x9f" "e\r\n"
              "25/12/2009  midnight\r\n");
    EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(Logging, TimeStampsUsePlainSpacesWhereTheRegionGivesNarrowOnes) {
    dates::SetRegionalLocale("en_US");
    log.LogFile(dir.str(), "Nubra.log", "", true);
    log.WriteToLog("afternoon");
    EXPECT_EQ(Content(), "12/24/2009 1:05:07 PM  afternoon\r\n");
}

TEST_F(Logging, EmptyAndSpacedLines) {
    log.LogFile(dir.str(), "Nubra.log");
    log.WriteToLogSpaced("spaced");
    log.WriteEmptyLine();
    EXPECT_EQ(Content(), "\r\n24/12/2009 13:05:07  spaced\r\n\r\n\r\n");
}

TEST_F(Logging, FileSwitchOffWritesAndShowsNothing) {
    log.LogFile(dir.str(), "Nubra.log");
    log.PrintToLogFile(false);
    log.WriteToLog("hidden");
    log.WriteEmptyLine();
    log.WriteToLogSpaced("hidden too");
    EXPECT_EQ(Content(), "");
    EXPECT_TRUE(platform.boxes.empty());
    log.PrintToLogFile(true);
    log.WriteToLog("shown");
    EXPECT_EQ(Content(), "24/12/2009 13:05:07  shown\r\n");
}

TEST_F(Logging, FirstLineAndSeparatorsAreQuoted) {
    struct Case {
        std::string name, firstLine;
        bool append;
        std::string expected;  // after "old\r\n" was in the file
    };
    const std::vector<Case> cases = {
        {"Nubra.log", "", true, "old\r\n"},
        {"Nubra.log", "", false, ""},
        {"Nubra.log", "start", true, "old\r\n\"start\"\r\n"},
        {"Nubra.log", "start", false, "\"start\"\r\n"},
        {"qambaddin.log", "", true, "old\r\n\"\"\r\n\"\"\r\n"},
        {"myqambaddin.log", "go", true, "old\r\n\"\"\r\n\"\"\r\n\"go\"\r\n"},
        {"qambaddin.log", "go", false, "\"go\"\r\n"},
        {"QambAddin.log", "", true, "old\r\n"},  // the comparison minds letter case
        {"qambaddin.log.bak", "", true, "old\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " '" + c.firstLine + "' " + (c.append ? "append" : "truncate"));
        const auto file = dir.path() / c.name;
        std::ofstream(file, std::ios::binary) << "old\r\n";
        log.LogFile(dir.str(), c.name, c.firstLine, c.append);
        EXPECT_EQ(ReadFile(file), c.expected);
    }
}

TEST_F(Logging, LogFileCreatesOnlyTheLastFolderLevel) {
    const auto folder = dir.path() / "Nubra";
    log.LogFile(folder.string(), "Nubra.log", "", true);
    EXPECT_TRUE(std::filesystem::is_regular_file(folder / "Nubra.log"));
    // Repeated start-ups keep appending.
    log.WriteToLog("one");
    clsLogging again;
    again.UseClock(&FixedClock);
    again.LogFile(folder.string(), "Nubra.log", "", true);
    again.WriteToLog("two");
    EXPECT_EQ(ReadFile(folder / "Nubra.log"), "24/12/2009 13:05:07  one\r\n24/12/2009 13:05:07  two\r\n");

    const auto deep = dir.path() / "missing" / "Nubra";
    EXPECT_EQ(ErrorOf([&] { log.LogFile(deep.string(), "Nubra.log", "", true); }), 76);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
    EXPECT_EQ(log.FullPath(), deep.string() + "/Nubra.log");  // the chosen path is kept
    // A file in the folder's place cannot hold a log.
    std::ofstream(dir.path() / "plain") << "x";
    EXPECT_NE(ErrorOf([&] { log.LogFile((dir.path() / "plain").string(), "Nubra.log", "", true); }), 0);
}

TEST_F(Logging, FailedEntriesAreShownNotRaised) {
    const std::string crlf = "\r\n";
    // Before LogFile the path is empty.
    log.WriteToLog("too early");
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].prompt, "Writing of an entry in the errorlogfile '' has failed" + crlf + crlf +
                                            "The following entry could not be written:" + crlf + "too early");
    EXPECT_EQ(platform.boxes[0].style, vbCritical);
    EXPECT_EQ(platform.boxes[0].title, "");

    // The folder vanishes after LogFile: each entry tries again and fails again.
    const auto folder = dir.path() / "gone";
    log.LogFile(folder.string(), "Nubra.log", "", true);
    log.WriteToLog("written before");  // the file is open now
    std::filesystem::remove_all(folder);
    log.WriteToLog("lost 1");
    log.WriteToLog("lost 2");
    ASSERT_EQ(platform.boxes.size(), 3u);
    EXPECT_EQ(platform.boxes[2].prompt, "Writing of an entry in the errorlogfile '" + folder.string() +
                                            "/Nubra.log' has failed" + crlf + crlf +
                                            "The following entry could not be written:" + crlf + "lost 2");
    // The other operations pass the failure on.
    EXPECT_EQ(ErrorOf([&] { log.WriteEmptyLine(); }), 76);
    EXPECT_EQ(ErrorOf([&] { log.WriteToLogSpaced("x"); }), 76);
    // Once the folder is back, entries arrive again.
    std::filesystem::create_directory(folder);
    log.WriteToLog("back");
    EXPECT_EQ(ReadFile(folder / "Nubra.log"), "24/12/2009 13:05:07  back\r\n");
    // A log moved aside (as by a log rotation) keeps what it had; later entries go to the name.
    std::filesystem::rename(folder / "Nubra.log", folder / "Nubra.log.1");
    log.WriteToLog("rotated");
    EXPECT_EQ(ReadFile(folder / "Nubra.log.1"), "24/12/2009 13:05:07  back\r\n");
    EXPECT_EQ(ReadFile(folder / "Nubra.log"), "24/12/2009 13:05:07  rotated\r\n");
}

TEST_F(Logging, DebugEchoGoesToStandardErrorInDebugBuildsOnly) {
    log.LogFile(dir.str(), "Nubra.log");
    struct Case {
        bool echoSwitch;
        std::optional<std::string> channel;
        bool echoed;
    };
    const std::vector<Case> cases = {
        {true, "1", true}, {true, std::nullopt, false}, {true, "0", false}, {true, "", false}, {false, "1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.echoSwitch ? "on " : "off ") + (c.channel ? *c.channel : "-"));
        testing::ScopedEnv channel("NUBRA_DEBUG_ECHO", c.channel);
        log.PrintToDebugWindow(c.echoSwitch);
        ::testing::internal::CaptureStderr();
        log.WriteToLog("echo");
        const std::string err = ::testing::internal::GetCapturedStderr();
#ifdef NDEBUG
        EXPECT_EQ(err, "");
#else
        EXPECT_EQ(err, c.echoed ? "24/12/2009 13:05:07  echo\n" : "");
#endif
    }
    // The file gets every entry either way.
    EXPECT_EQ(LineCount(Content()), cases.size());
}

}  // namespace
}  // namespace nubra
