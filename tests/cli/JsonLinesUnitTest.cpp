#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "host/AutomationDates.h"
#include "standin_host/cli/Importers.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/JsonLines.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

using formats::ParseIsoUtc;
using store::ItemData;

Date Utc(int y, int mo, int d, int h = 0, int mi = 0, double s = 0) { return dates::MakeDate(y, mo, d, h, mi, s); }

TEST(IsoTimes, ReadsUtcAndOffsetsAndWritesUtc) {
    struct Case {
        std::string text;
        Date expected;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"2024-05-01T10:00:00Z", Utc(2024, 5, 1, 10), "2024-05-01T10:00:00Z"},
        {"2024-05-01T10:00Z", Utc(2024, 5, 1, 10), "2024-05-01T10:00:00Z"},
        {"2024-05-01t10:00:00z", Utc(2024, 5, 1, 10), "2024-05-01T10:00:00Z"},
        {"2024-05-01T10:00:00.250Z", Utc(2024, 5, 1, 10, 0, 0.25), "2024-05-01T10:00:00.250Z"},
        {"2024-05-01T10:00:00.1234567Z", Utc(2024, 5, 1, 10, 0, 0.123), "2024-05-01T10:00:00.123Z"},
        {"2024-05-01T10:00:00+02:00", Utc(2024, 5, 1, 8), "2024-05-01T08:00:00Z"},
        {"2024-01-01T01:30:00+02:00", Utc(2023, 12, 31, 23, 30), "2023-12-31T23:30:00Z"},
        {"2024-05-01T23:00:00-05:30", Utc(2024, 5, 2, 4, 30), "2024-05-02T04:30:00Z"},
        {"2024-02-29T00:00:00Z", Utc(2024, 2, 29), "2024-02-29T00:00:00Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Date d = ParseIsoUtc(c.text);
        EXPECT_EQ(dates::ToUnixMillis(d), dates::ToUnixMillis(c.expected));
        EXPECT_EQ(formats::FormatIsoUtc(d), c.written);
    }
}

TEST(IsoTimes, RefusesTextThatIsNoUtcTime) {
    for (const std::string text :
         {"", "2024-05-01", "2024-05-01T10:00:00", "2024-05-01T10:00:00ZZ", "2024-13-01T10:00:00Z",
          "2023-02-29T10:00:00Z", "2024-05-01T24:00:00Z", "2024-05-01T10:60:00Z", "2024-05-01T10:00:00.Z",
          "2024-05-01T10:00:00+2:00", "2024/05/01T10:00:00Z", "yesterday", "2024-05-01T10:00:00+25:00"}) {
        try {
            ParseIsoUtc(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), errnum::kTypeMismatch) << text;
        }
    }
}

ItemData FullItem() {
    ItemData d;
    d.Class = 43;
    d.MessageClass = "IPM.Note.SMIME";
    d.Subject = "Quarterly \"numbers\" \xC3\xA9t\xC3\xA9";
    d.Body = "line 1\r\nline 2\ttab";
    d.CreationTime = Utc(2024, 5, 1, 10, 0, 0.5);
    d.SentOn = Utc(2024, 5, 1, 9, 59);
    d.InternetMessageID = "<abc@example.org>";
    d.SenderName = "Ann";
    d.To = "Bob; Carol";
    d.Cc = "";
    d.FirstName = "Ann";
    d.LastName = "Lee";
    d.CompanyName = "Acme";
    d.FullName = "Ann Lee";
    d.Email1Address = "ann@example.org";
    d.Location = "Room 1";
    d.Start = Utc(2024, 6, 1, 9);
    d.End = Utc(2024, 6, 1, 10);
    d.Status = 2;
    d.StartDate = Utc(2024, 6, 2);
    d.DueDate = Utc(2024, 6, 3);
    d.Color = -1;
    return d;
}

TEST(JsonItems, EveryFieldRoundTripsAndEntryIdIsIgnored) {
    const ItemData full = FullItem();
    const std::string line = formats::ItemToJsonLine(full, "00AB");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("\"EntryID\":\"00AB\""), std::string::npos);
    EXPECT_EQ(formats::ParseJsonItem(line, "f", 1), full);

    // Absent keys stay absent, and an empty object is a mail item with nothing else.
    ItemData sparse;
    sparse.Class = 44;
    sparse.Body = "note";
    EXPECT_EQ(formats::ItemToJsonLine(sparse), R"({"Class":44,"Body":"note"})");
    EXPECT_EQ(formats::ParseJsonItem(R"({"Class":44,"Body":"note"})", "f", 1), sparse);
    EXPECT_EQ(formats::ParseJsonItem("{}", "f", 1), ItemData{});
    // A message class alone chooses the class.
    EXPECT_EQ(formats::ParseJsonItem(R"({"MessageClass":"IPM.Contact"})", "f", 1).Class, 40);
}

TEST(JsonItems, BadLinesNameFileAndLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "not valid JSON"},
        {R"({"Subject": "open)", "not valid JSON"},
        {"[1,2]", "expected one JSON object per line"},
        {"\"text\"", "expected one JSON object per line"},
        {R"({"Subjct":"x"})", "unknown key \"Subjct\""},
        {R"({"Subject":5})", "\"Subject\" must be a string"},
        {R"({"Subject":null})", "\"Subject\" is null"},
        {R"({"Class":"43"})", "\"Class\" must be a whole number"},
        {R"({"Status":1.5})", "\"Status\" must be a whole number"},
        {R"({"Color":4294967296})", "\"Color\" is out of range"},
        {R"({"Class":-2147483649})", "\"Class\" is out of range"},
        {R"({"Start":"2024-05-01 10:00"})", "\"Start\" is not an ISO 8601 UTC time"},
        {R"({"EntryID":7})", "\"EntryID\" must be a string"},
    };
    for (const auto& [text, message] : cases) {
        try {
            formats::ParseJsonItem(text, "items.jsonl", 7);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const formats::FormatError& e) {
            EXPECT_EQ(e.File(), "items.jsonl") << text;
            EXPECT_EQ(e.Line(), 7) << text;
            EXPECT_EQ(e.Description().rfind("items.jsonl:7: ", 0), 0u) << e.Description();
            EXPECT_NE(e.Message().find(message), std::string::npos) << e.Message();
        }
    }
}

TEST(JsonLinesFile, SkipsBlankLinesAndReadsCrLfAndBom) {
    std::istringstream in("\xEF\xBB\xBF{\"Subject\":\"a\"}\r\n\r\n   \n{\"Subject\":\"b\"}");
    auto items = formats::ReadJsonLines(in, "x");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].Subject, "a");
    EXPECT_EQ(items[1].Subject, "b");
}

TEST(JsonLinesFile, ABadLineFailsTheWholeFileNamingTheLine) {
    testing::TempDir dir;
    const auto file = dir.path() / "mail.jsonl";
    std::ofstream(file) << "{\"Subject\":\"a\"}\n\n{\"Subject\":\"b\",}\n{\"Subject\":\"c\"}\n";
    try {
        formats::ReadJsonLinesFile(file);
        FAIL();
    } catch (const formats::FormatError& e) {
        EXPECT_EQ(e.Description().rfind(file.string() + ":3: ", 0), 0u) << e.Description();
    }
    try {
        formats::ReadJsonLinesFile(dir.path() / "missing.jsonl");
        FAIL();
    } catch (const formats::FormatError& e) {
        EXPECT_NE(e.Description().find("missing.jsonl"), std::string::npos);
    }
}

TEST(Importers, ChosenByExtensionThenByContent) {
    testing::TempDir dir;
    const auto noExt = dir.path() / "items";
    std::ofstream(noExt) << "  {\"Subject\":\"a\"}\n";
    const auto other = dir.path() / "items.xyz";
    std::ofstream(other) << "garbage\n";
    EXPECT_EQ(cli::ImporterFor(dir.path() / "a.JSONL").name, "JSON Lines");
    EXPECT_EQ(cli::ImporterFor(noExt).name, "JSON Lines");
    EXPECT_EQ(cli::ImporterFor(noExt).read(noExt).size(), 1u);
    for (const auto& bad : {other, dir.path() / "absent.xyz", dir.path()}) {
        try {
            cli::ImporterFor(bad);
            ADD_FAILURE() << bad;
        } catch (const formats::FormatError& e) {
            EXPECT_EQ(e.File(), bad.string());
        }
    }
}

TEST(Importers, MissingCreationTimesFollowFileOrder) {
    std::vector<ItemData> items(4);
    items[1].CreationTime = Utc(2001, 1, 1);
    Date clock = Utc(2024, 5, 1, 10);
    cli::AssignImportTimes(items, clock);
    EXPECT_EQ(items[1].CreationTime, Utc(2001, 1, 1));
    EXPECT_LT(dates::ToUnixMillis(*items[0].CreationTime), dates::ToUnixMillis(*items[2].CreationTime));
    EXPECT_LT(dates::ToUnixMillis(*items[2].CreationTime), dates::ToUnixMillis(*items[3].CreationTime));
    // The clock goes on for the next file.
    EXPECT_GT(dates::ToUnixMillis(clock), dates::ToUnixMillis(*items[3].CreationTime));
}

TEST(TerminalProgress, RendersAndRefusesValuesOutsideTheRange) {
    EXPECT_EQ(cli::RenderProgress(0, 20, 10, 10), "[#####-----]  50% 10/20");
    EXPECT_EQ(cli::RenderProgress(0, 3, 3, 4), "[####] 100% 3/3");
    EXPECT_EQ(cli::RenderProgress(0, 0, 0, 4), "[----]   0% 0/0");
    EXPECT_EQ(cli::RenderProgress(0, 100, 29, 100).substr(101), "]  29% 29/100");
    EXPECT_EQ(cli::RenderProgress(0, 100, 57, 100).substr(101), "]  57% 57/100");

    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        cli::TerminalProgressBar bar(out, true);
        bar.SetMin(0);
        bar.SetMax(4);
        bar.SetValue(2);
        bar.SetValue(2);  // unchanged: not drawn again
        try {
            bar.SetValue(5);
            ADD_FAILURE();
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.Number(), 380);
        }
        EXPECT_EQ(bar.Value(), 2);
    }
    std::rewind(out);
    std::string written;
    for (int c; (c = std::fgetc(out)) != EOF;) written += static_cast<char>(c);
    std::fclose(out);
    const std::string drawn = "\r" + cli::RenderProgress(0, 4, 2);
    EXPECT_EQ(written.find(drawn), 0u);
    EXPECT_EQ(written.find(drawn, 1), std::string::npos);
    // Finishing blanks the line.
    EXPECT_EQ(written.substr(drawn.size()), "\r" + std::string(drawn.size() - 1, ' ') + "\r");
}

TEST(TerminalBoxes, ShowTheSystemsMessagesInThisProgramsWords) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Nubra was unable to read your pst or ost file. Removing duplicate items is not possible",
         "Nubra: Nubra was unable to read your store file. Removing duplicate items is not possible\n"},
        // The error handler's box: its number and procedure are for the log.
        {"Disk full\r\n\r\n-245755\r\nProcedure: frmRemDuplicates.cmdRemDups_Click\r\n\r\nFree some space",
         "Nubra: Disk full\nFree some space\n"},
        {"Oops\r\n\r\n5\r\nProcedure: clsNubra.CreateMenu\r\n\r\n", "Nubra: Oops\n"},
        {"Line one\r\nline two", "Nubra: Line one\nline two\n"},
    };
    for (const auto& [prompt, shown] : cases) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        cli::TerminalPlatform platform(out);
        platform.MsgBox(prompt, 0, "Nubra");
        std::rewind(out);
        std::string written;
        for (int c; (c = std::fgetc(out)) != EOF;) written += static_cast<char>(c);
        std::fclose(out);
        EXPECT_EQ(written, shown);
    }
}

}  // namespace
}  // namespace nubra
