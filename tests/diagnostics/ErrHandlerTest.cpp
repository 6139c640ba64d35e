#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diagnostics/clsErrHandler.h"
#include "diagnostics/clsLogging.h"
#include "host/AutomationDates.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

using testing::ReadFile;
using testing::RecordingPlatform;
using testing::TempDir;

const std::string kCrLf = "\r\n";

// The globals the handler reads, as the add-in's globals module would hand them over.
std::unique_ptr<clsLogging> gTestLog;
std::string gTestTitle;

Date FixedClock() { return dates::MakeDate(2009, 12, 24, 13, 5, 7); }

class ErrHandler : public ::testing::Test {
protected:
    void SetUp() override {
        oldLocale_ = dates::RegionalLocale();
        dates::SetRegionalLocale("en_GB");
        oldGlobals_ = GetDiagnosticsGlobals();
        SetDiagnosticsGlobals({[]() { return gTestLog.get(); }, []() { return gTestTitle; }});
        gTestLog = std::make_unique<clsLogging>();
        gTestLog->UseClock(&FixedClock);
        gTestLog->LogFile(dir.str(), "Nubra.log");
        gTestTitle = "Nubrasweep";
        Err().Clear();
    }
    void TearDown() override {
        Err().Clear();
        gTestLog.reset();
        SetDiagnosticsGlobals(oldGlobals_);
        dates::SetRegionalLocale(oldLocale_);
    }
    // Log lines without their timestamps.
    std::vector<std::string> Entries() const {
        std::vector<std::string> out;
        const std::string text = ReadFile(dir.path() / "Nubra.log");
        const std::string stamp = "24/12/2009 13:05:07  ";
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            std::string line = text.substr(pos, end - pos);
            if (line.rfind(stamp, 0) == 0) line = line.substr(stamp.size());
            out.push_back(line);
            pos = end + 2;
        }
        return out;
    }
    void Pending(int32_t number, const std::string& description) {
        Err().Set(AutomationError(number, description, "test"));
    }

    TempDir dir;
    RecordingPlatform platform;
    clsErrHandler handler;
    std::string oldLocale_;
    DiagnosticsGlobals oldGlobals_;
};

TEST_F(ErrHandler, NumbersOfOtherComponentsAreMappedAndNamed) {
    struct Case {
        int32_t pending;
        int32_t shown;
        std::string logTail;  // after "<description> "
    };
    const std::vector<Case> cases = {
        {-1, -1, ""},
        {-2, 2147221502, " object errorcode: -2"},
        {-2147221504, 0, " object errorcode: -2147221504"},
        {-2147221233, 271, " object errorcode: -2147221233"},
        {-2147024891, 196613, " object errorcode: -2147024891"},
        {13, 13, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pending);
        platform.Clear();
        Pending(c.pending, "Boom");
        handler.HandleError("clsFldMon.RemDuplicatesInFld");
        EXPECT_EQ(Entries().back(), "Error# " + std::to_string(c.shown) +
                                        " in proc: clsFldMon.RemDuplicatesInFld. Boom " + c.logTail);
        ASSERT_EQ(platform.boxes.size(), 1u);
        EXPECT_EQ(platform.boxes[0].prompt, "Boom" + kCrLf + kCrLf + std::to_string(c.shown) + kCrLf +
                                                "Procedure: clsFldMon.RemDuplicatesInFld" + kCrLf + kCrLf);
        EXPECT_EQ(platform.boxes[0].style, vbInformation);
        EXPECT_EQ(platform.boxes[0].title, "Nubrasweep");
        // The pending error stays for the caller's trap.
        EXPECT_EQ(Err().Number, c.pending);
    }
}

TEST_F(ErrHandler, NoPendingErrorFallsBackToTheSetNumberAndDescription) {
    handler.HandleError("frmRemDuplicates.cmdRemDups_Click");
    EXPECT_EQ(Entries().back(), "Error# 0 in proc: frmRemDuplicates.cmdRemDups_Click.  ");
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].prompt,
              kCrLf + kCrLf + "0" + kCrLf + "Procedure: frmRemDuplicates.cmdRemDups_Click" + kCrLf + kCrLf);

    handler.ErrorNumber(-2147221233);
    handler.ErrorDescription("Not found");
    handler.HandleError("p");
    EXPECT_EQ(Entries().back(), "Error# 271 in proc: p. Not found  object errorcode: -2147221233");
    // A pending error wins over the fallback.
    Pending(61, "Disk full");
    handler.HandleError("p");
    EXPECT_EQ(Entries().back(), "Error# 61 in proc: p. Disk full ");
}

TEST_F(ErrHandler, AdviceIsFilledInAndShownUnderTheProcedure) {
    const std::string advice6 = "This error could be caused because there are to many items folder." + kCrLf +
                                "If you get this error for items in the in the Deleted Items folder then please "
                                "empty the Deleted Items folder." +
                                kCrLf + "For other folders: if there are very much items in the folder then archive the folder";
    const std::string memory = "There is not enough memory to complete the current operation. Please close and restart Outlook!";
    const std::string file = "Nubra could not read or create a temporary data file. Rerun the Nubra connection wizard "
                             "to make sure the folders used by Nubra are valid.";
    const std::vector<std::pair<int32_t, std::string>> cases = {
        {6, advice6},
        {7, memory},
        {28, memory},
        {61, "Nubra is unable to create temporary data files because your disk is full. Please create some free disk "
             "space by deleting some old data."},
        {75, file},
        {76, file},
        {401, "Nubra cannot show a window because another Outlook window is still open." + kCrLf +
                  "Close all other Outlook windows and retry."},
        {13, ""},
        {-2147221504 + 6, advice6},  // an object error mapped onto 6 gets 6's advice
    };
    for (const auto& [number, advice] : cases) {
        SCOPED_TRACE(number);
        platform.Clear();
        Pending(number, "D");
        std::string action;
        handler.HandleError("clsNubra.Click", action);
        EXPECT_EQ(action, advice);
        const int32_t shown = number < -1 ? 6 : number;
        ASSERT_EQ(platform.boxes.size(), 1u);
        EXPECT_EQ(platform.boxes[0].prompt, "D" + kCrLf + kCrLf + std::to_string(shown) + kCrLf +
                                                "Procedure: clsNubra.Click" + kCrLf + kCrLf + advice);
    }
    // Advice given by the caller is kept and shown instead.
    platform.Clear();
    Pending(6, "D");
    std::string own = "Try later";
    handler.HandleError("p", own);
    EXPECT_EQ(own, "Try later");
    EXPECT_EQ(platform.boxes.at(0).prompt, "D" + kCrLf + kCrLf + "6" + kCrLf + "Procedure: p" + kCrLf + kCrLf + "Try later");
}

TEST_F(ErrHandler, SuppressedNumbersAreLoggedButNeverShown) {
    for (int32_t n : {875, 876, 888, 889, 890, 900, 910, 995, 996, 997, 998, 999}) {
        Pending(n, "quiet");
        handler.HandleError("p");
        EXPECT_EQ(Entries().back(), "Error# " + std::to_string(n) + " in proc: p. quiet ");
    }
    EXPECT_TRUE(platform.boxes.empty());
    // Its neighbours are shown; so is an object error that maps onto a suppressed number
    // only when it lands exactly on it.
    for (int32_t n : {874, 877, 901, 920, 1000}) {
        Pending(n, "loud");
        handler.HandleError("p");
    }
    EXPECT_EQ(platform.boxes.size(), 5u);
    platform.Clear();
    Pending(-2147221504 + 999, "mapped");
    handler.HandleError("p");
    EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(ErrHandler, LineNumbersAreAddedWhenPositiveAndResetByEveryCall) {
    struct Case {
        int16_t property, argument;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {0, 0, ""},  {12, 0, " LineNumber: 12"}, {12, 7, " LineNumber: 7"},
        {0, 7, " LineNumber: 7"}, {-3, 0, ""}, {5, -4, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.property) + "/" + std::to_string(c.argument));
        Pending(5, "Invalid");
        handler.LineNumber(c.property);
        std::string action;
        handler.HandleError("clsFldMon.RemDuplicatesInFld", action, c.argument);
        EXPECT_EQ(Entries().back(), "Error# 5 in proc: clsFldMon.RemDuplicatesInFld. Invalid " + c.tail);
        EXPECT_EQ(handler.CurrentLineNumber(), 0);
    }
    // The box never shows the line number.
    EXPECT_EQ(platform.boxes.back().prompt.find("LineNumber"), std::string::npos);
}

TEST_F(ErrHandler, SwitchesAndMissingGlobals) {
    Pending(13, "Type mismatch");
    handler.DisplayErrMsg(false);
    handler.HandleError("a");
    EXPECT_TRUE(platform.boxes.empty());
    ASSERT_EQ(Entries().size(), 1u);

    handler.DisplayErrMsg(true);
    handler.LogError(false);
    handler.HandleError("b");
    EXPECT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(Entries().size(), 1u);

    // With the log released the box still appears; without a title module the title is empty.
    handler.LogError(true);
    gTestLog.reset();
    SetDiagnosticsGlobals({});
    handler.HandleError("c");
    ASSERT_EQ(platform.boxes.size(), 2u);
    EXPECT_EQ(platform.boxes[1].title, "");
    EXPECT_FALSE(handler.HandleError("d"));
}

TEST_F(ErrHandler, AFailingLogShowsItsOwnBoxThenTheErrorBox) {
    gTestLog->LogFile((dir.path() / "sub").string(), "Nubra.log");
    std::filesystem::remove_all(dir.path() / "sub");
    Pending(76, "Path not found");
    handler.HandleError("p");
    ASSERT_EQ(platform.boxes.size(), 2u);
    EXPECT_EQ(platform.boxes[0].style, vbCritical);
    EXPECT_NE(platform.boxes[0].prompt.find("Error# 76 in proc: p. Path not found "), std::string::npos);
    EXPECT_EQ(platform.boxes[1].style, vbInformation);
}

}  // namespace
}  // namespace nubra
