// Export then import again keeps every field the duplicate search reads.
#include <gtest/gtest.h>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/ICalendar.h"
#include "standin_host/formats/JsonLines.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/Pst.h"
#include "standin_host/formats/PstSource.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/formats/VCard.h"
#include "standin_host/store/ItemSource.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

using testing::Sample;

std::string Second(const std::optional<Date>& d) { return d ? UtcStamp(*d) : std::string("-"); }

// What the duplicate search reads of an item, per kind, as one comparable text.
std::string MatchKey(const ItemData& i) {
    auto s = [](const std::optional<std::string>& v) { return v.value_or(""); };
    switch (i.Class) {
        case 43:
        case 45: return s(i.InternetMessageID) + "|" + Second(i.SentOn) + "|" + TrimWhite(s(i.Subject));
        case 40: return s(i.FirstName) + "|" + s(i.LastName) + "|" + s(i.CompanyName) + "|" + s(i.Email1Address);
        case 26: return Second(i.Start) + "|" + Second(i.End) + "|" + s(i.Location) + "|" + s(i.Subject);
        case 48: return Second(i.StartDate) + "|" + Second(i.DueDate) + "|" + std::to_string(i.Status.value_or(0)) + "|" + s(i.Subject);
        case 44: return s(i.Subject) + "|" + s(i.Body) + "|" + std::to_string(i.Color.value_or(0));
        default: return "class " + std::to_string(i.Class);
    }
}

std::vector<ItemData> Reimport(const ExportFiles& files) {
    testing::TempDir dir;
    std::vector<ItemData> items;
    for (const auto& [name, contents] : files.files) {
        auto read = ReadItemsFile(dir.Write(name, contents));
        items.insert(items.end(), read.begin(), read.end());
    }
    return items;
}

std::multiset<std::string> Keys(const std::vector<ItemData>& items) {
    std::multiset<std::string> keys;
    for (const auto& i : items) keys.insert(std::to_string(i.Class) + ":" + MatchKey(i));
    return keys;
}

TEST(RoundTrip, SamplesOfEveryKindKeepTheirMatchFields) {
    const char* samples[] = {"mail/notmuch/default/cur/53:2,", "mail/mail-mime-parser/m1012.eml",
                             "mail/tika/simple.mbox",          "mail/gmime/empty2.eml",
                             "vcard/ez-vcard/John_Doe_ANDROID.vcf", "vcard/kcontacts/vcard5.vcf",
                             "vcard/ez-vcard/outlook-2003.vcf", "ical/libical/2446.ics",
                             "ical/kcalendarcore/Compat/Todos.ics", "ical/kcalendarcore/test_conference.ics",
                             "ical/kcalendarcore/RecurrenceRule/RFC2445/RFC2445_RRULETest40.ics"};
    for (const char* sample : samples) {
        auto items = ReadItemsFile(Sample(sample));
        auto again = Reimport(RenderExport(items, ExportFormat::Natural));
        EXPECT_EQ(Keys(again), Keys(items)) << sample;
    }
}

TEST(RoundTrip, PstItemsOfEveryKindThroughNaturalFormats) {
    for (const char* file : {"pst/java-libpst_dist-list.pst", "pst/process-pst_unsent_email.pst",
                             "pst/process-pst_flags_john_doe.pst", "pst/pstsdk_test_unicode.pst"}) {
        PstFile pst = ReadPst(Sample(file));
        std::vector<ItemData> items;
        std::function<void(const FolderData&)> gather = [&](const FolderData& f) {
            items.insert(items.end(), f.items.begin(), f.items.end());
            for (const auto& s : f.subfolders) gather(s);
        };
        gather(pst.top);
        auto again = Reimport(RenderExport(items, ExportFormat::Natural));
        // A message that kept the header it was sent with goes out with that header: its
        // Message-ID and Date are the header's, which the file's own properties may lack.
        for (auto& item : items) {
            if (!item.Source || item.Source->kind != store::ItemSource::Kind::PstMessage) continue;
            const std::string headers = DecodePstMessage(item.Source->Unpack()).transportHeaders;
            if (headers.empty()) continue;
            const ItemData sent = ParseMessage(headers + "\r\n", file);
            item.InternetMessageID = sent.InternetMessageID;
            item.SentOn = sent.SentOn;
        }
        EXPECT_EQ(Keys(again), Keys(items)) << file;
    }
}

TEST(RoundTrip, HardValuesSurvive) {
    ItemData mail;
    mail.Class = 43;
    mail.InternetMessageID = "<A.b+c@Example.com>";
    mail.SentOn = DateFromUnixSeconds(1700000000);
    mail.Subject = "  Grüße, \"quoted\" =?not?= encoded — long " + std::string(200, 'x') + " ";
    mail.SenderName = "Doe, John";
    mail.Body = "line 1\nline 2\n";
    ItemData unsent = mail;
    unsent.InternetMessageID.reset();
    unsent.SentOn.reset();
    ItemData contact;
    contact.Class = 40;
    contact.FirstName = "Zoë";
    contact.LastName = "O;Neil, Jr.";
    contact.CompanyName = "A\\B; C";
    contact.Email1Address = "z@x.org";
    ItemData appointment;
    appointment.Class = 26;
    appointment.Start = DateFromUnixSeconds(1704103200);
    appointment.End = DateFromUnixSeconds(1704106800);
    appointment.Location = "Room 1, 2nd floor; east";
    appointment.Subject = "Plan\nreview";
    ItemData task;
    task.Class = 48;
    task.StartDate = DateFromUnixSeconds(1704067200);
    task.DueDate = DateFromUnixSeconds(1704153600);
    task.Status = 2;
    task.Subject = "Do it";
    ItemData note;
    note.Class = 44;
    note.Subject = "Note";
    note.Body = "Note\nwith body";
    note.Color = 3;
    std::vector<ItemData> items{mail, unsent, contact, appointment, task, note};
    auto again = Reimport(RenderExport(items, ExportFormat::Natural));
    EXPECT_EQ(Keys(again), Keys(items));
    auto jsonl = Reimport(RenderExport(items, ExportFormat::JsonLines));
    EXPECT_EQ(Keys(jsonl), Keys(items));
}

}  // namespace
}  // namespace nubra::formats
