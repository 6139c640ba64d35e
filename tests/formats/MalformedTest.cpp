// Bad input: every malformed file gives one FormatError that names the file and the line (or
// byte), and no items.
#include <gtest/gtest.h>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/Pst.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

using testing::Sample;

struct BadSample {
    const char* file;
    int64_t line;  // 0: no line expected
    const char* fragment;
};

class MalformedSamples : public ::testing::TestWithParam<BadSample> {};

TEST_P(MalformedSamples, OneErrorNamingFileAndLine) {
    const auto& c = GetParam();
    std::string path = Sample(c.file);
    try {
        ReadItemsFile(path);
        FAIL() << "no error for " << c.file;
    } catch (const FormatError& e) {
        EXPECT_EQ(e.File(), path);
        if (c.line) {
            EXPECT_EQ(e.Line().value_or(-1), c.line) << e.Description();
        }
        EXPECT_NE(e.Description().find(c.fragment), std::string::npos) << e.Description();
        EXPECT_EQ(e.Description().rfind(path, 0), 0u) << "the text starts with the file name";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, MalformedSamples,
    ::testing::Values(BadSample{"vcard/khard/unparsable.vcf", 1, "without END:VCARD"},
                      BadSample{"vcard/libical/user-cal.vcf", 1, "BEGIN:VCALENDAR"},
                      BadSample{"vcard/kcontacts/vcard12.2_1ref.vcf", 6, "NUL"},
                      BadSample{"ical/libical/8.ics", 1, "no BEGIN:VCALENDAR"},
                      BadSample{"ical/libical/spanlist.ics", 1, "no BEGIN:VCALENDAR"},
                      BadSample{"ical/libical/issue253.ics", 1, "control character"},
                      BadSample{"ical/libical/calendar.ics", 0, "dtend"},
                      BadSample{"ical/libical/incoming.ics", 17, "not a date"},
                      BadSample{"ical/libical/issue339.ics", 1, "BEGIN:VCARD"},
                      BadSample{"mail/kmime/clusterfuzz-testcase-minimized-kmime_fuzzer-5617955779182592.eml", 1,
                                "no header"}));

struct MadeUp {
    const char* name;
    std::string contents;
    int64_t line;  // 0: none expected
    const char* fragment;
};

// A message of `parts` parts in one multipart with the boundary `delimiter`, given in the
// Content-Type field as `parameter` (by default as it is).
std::string Multipart(const std::string& delimiter, size_t parts, std::string parameter = "") {
    if (parameter.empty()) parameter = "boundary=\"" + delimiter + "\"";
    std::string out = "Subject: parts\nMIME-Version: 1.0\nContent-Type: multipart/mixed;\n " + parameter + "\n\n";
    for (size_t i = 0; i < parts; ++i) out += "--" + delimiter + "\n\nx\n";
    return out + "--" + delimiter + "--\n";
}

// Multiparts (or attached messages) inside each other, `depth` levels.
std::string Nested(size_t depth, bool messages) {
    std::string out = "Subject: nested\nMIME-Version: 1.0\n";
    for (size_t i = 0; i < depth; ++i)
        out += messages ? "Content-Type: message/rfc822\n\nSubject: inner\n"
                        : "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    return out + "Content-Type: text/plain\n\ninnermost\n";
}

TEST(MalformedMadeUp, TruncatedBinaryOverlongAndWrongEncoding) {
    testing::TempDir dir;
    const std::string longLine(2 << 20, 'x');
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
    const MadeUp cases[] = {
        {"truncated.vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:Half", 1, "without END:VCARD"},
        {"truncated.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:Half", 2, "without END"},
        {"cut-time.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20240101T", 3, "not a date"},
        {"truncated.mbox", "From x Mon Jan  1 00:00:00 2024", 1, "without a message"},
        {"binary.vcf", binary, 0, ""},
        {"binary.ics", binary, 0, ""},
        {"binary.eml", binary, 1, ""},
        {"binary.bin", binary, 1, "unknown file format"},
        {"empty.eml", "", 1, "empty"},
        {"long.eml", "Subject: x\n\n" + longLine + "\n", 3, "longer than"},
        {"long.vcf", "BEGIN:VCARD\nVERSION:4.0\nNOTE:" + longLine + "\nEND:VCARD\n", 3, "longer than"},
        {"long.ics", "BEGIN:VCALENDAR\nX-A:" + longLine + "\nEND:VCALENDAR\n", 2, "longer than"},
        {"latin1.vcf", "BEGIN:VCARD\nVERSION:4.0\nFN:M\xFCller\nEND:VCARD\n", 3, "not UTF-8"},
        {"latin1.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:M\xFCller\nEND:VEVENT\nEND:VCALENDAR\n", 3, "not UTF-8"},
        {"charset.vcf", "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=NO-SUCH-SET:x\nEND:VCARD\n", 3, "character set"},
        {"nested-end.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nEND:VTODO\nEND:VCALENDAR\n", 3, "does not close"},
        {"nocolon.ics", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY Lunch\nEND:VEVENT\nEND:VCALENDAR\n", 3, "without \":\""},
        {"bad.jsonl", "{\"Class\": 43}\nnot json\n", 2, ""},
        // MIME trees GMime would take gigabytes or its stack to build, refused before it does.
        {"parts.eml", Multipart("b", kMaxMimeParts + 1), 1, "more than 10000 MIME parts"},
        {"parts-rfc2231.eml", Multipart("xy", kMaxMimeParts + 1, "boundary*0=\"x\"; boundary*1=\"y\""), 1,
         "more than 10000 MIME parts"},
        {"nested.eml", Nested(kMaxMimeDepth + 1, false), 1, "nested more than 100 deep"},
        {"nested-messages.eml", Nested(kMaxMimeDepth + 1, true), 1, "nested more than 100 deep"},
        {"parts.mbox", "From a@b Mon Jan  1 00:00:00 2024\nSubject: fine\n\nbody\n\nFrom a@b Mon Jan  1 00:00:00 2024\n" +
                           Multipart("b", kMaxMimeParts + 1),
         7, "message 2: more than 10000 MIME parts"},
    };
    for (const auto& c : cases) {
        std::string path = dir.Write(c.name, c.contents);
        try {
            auto items = ReadItemsFile(path);
            ADD_FAILURE() << c.name << " gave " << items.size() << " items and no error";
        } catch (const FormatError& e) {
            EXPECT_EQ(e.File(), path) << c.name;
            if (c.line) {
                EXPECT_EQ(e.Line().value_or(-1), c.line) << c.name << ": " << e.Description();
            }
            EXPECT_NE(e.Description().find(c.fragment), std::string::npos) << c.name << ": " << e.Description();
        }
    }
}

TEST(MalformedPst, NotAPstTruncatedAndMissing) {
    testing::TempDir dir;
    std::string whole;
    {
        std::ifstream in(Sample("pst/pstsdk_sample1.pst"), std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    const MadeUp cases[] = {
        {"text.pst", "not a pst at all", 0, "no file signature"},
        {"truncated.pst", whole.substr(0, 5000), 0, "damaged"},
    };
    for (const auto& c : cases) {
        std::string path = dir.Write(c.name, c.contents);
        try {
            ReadPst(path);
            ADD_FAILURE() << c.name;
        } catch (const FormatError& e) {
            EXPECT_EQ(e.File(), path);
            EXPECT_NE(e.Description().find(c.fragment), std::string::npos) << e.Description();
        }
    }
    EXPECT_THROW(ReadPst((dir.path() / "missing.pst").string()), FormatError);
}

// Within the bounds, the largest trees are read.
TEST(MalformedMadeUp, MimeTreesAtTheBoundsAreRead) {
    EXPECT_EQ(ParseMessage(Multipart("b", kMaxMimeParts), "parts.eml").Subject.value_or(""), "parts");
    EXPECT_EQ(ParseMessage(Nested(kMaxMimeDepth - 2, false), "nested.eml").Body.value_or(""), "innermost\n");
    EXPECT_EQ(ParseMessage(Nested(kMaxMimeDepth - 1, true), "nested.eml").Subject.value_or(""), "nested");
}

}  // namespace
}  // namespace nubra::formats
