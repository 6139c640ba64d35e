#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "host/Platform.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

// Waits (bounded) for a file that a started program writes.
bool AppearsWithin(const std::filesystem::path& p, std::chrono::seconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (std::filesystem::exists(p)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(DefaultPlatform, StartsProgramsWithoutAShell) {
    testing::TempDir dir;
    const auto src = dir.path() / "source";
    { std::FILE* f = std::fopen(src.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
    // A shell would run the command substitution; started directly it is only a file name.
    const auto dst = dir.path() / "copy $(touch injected); \"quoted\"";
    ASSERT_TRUE(ThePlatform().ShellExecute("cp", {src.string(), dst.string()}));
    EXPECT_TRUE(AppearsWithin(dst, std::chrono::seconds(10)));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "injected"));
    EXPECT_FALSE(std::filesystem::exists("injected"));
}

TEST(DefaultPlatform, ReportsProgramsThatCannotStart) {
    EXPECT_FALSE(ThePlatform().ShellExecute("nubra-no-such-program-here", {}));
    EXPECT_FALSE(ThePlatform().ShellExecute("", {}));
}

TEST(RecordingPlatform, RecordsAndRestoresTheDefault) {
    Platform* before = &ThePlatform();
    {
        testing::RecordingPlatform rec;
        EXPECT_EQ(&ThePlatform(), &rec);
        EXPECT_EQ(ThePlatform().MsgBox("text", vbCritical, ""), vbOK);
        ThePlatform().DoEvents();
        EXPECT_TRUE(ThePlatform().ShellExecute("prog", {"a b"}));
        ASSERT_EQ(rec.boxes.size(), 1u);
        EXPECT_EQ(rec.boxes[0].style, vbCritical);
        EXPECT_EQ(rec.doEventsCount, 1);
        ASSERT_EQ(rec.started.size(), 1u);
        EXPECT_EQ(rec.started[0].arguments, std::vector<std::string>{"a b"});
    }
    EXPECT_EQ(&ThePlatform(), before);
}

}  // namespace
}  // namespace nubra
