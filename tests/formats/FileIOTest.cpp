// Import and export through the store: one transaction per file, bad files reported and
// left out, .pst files as stores of their own, export per kind.
#include <gtest/gtest.h>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/Profile.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

using testing::Sample;

size_t ItemCount(store::Profile& profile, outlook::MAPIFolder& folder) {
    size_t n = 0;
    profile.ForEachItem(folder, [&](const store::ItemRecord&) { ++n; });
    return n;
}

TEST(ImportFiles, GoodFilesStoredBadFilesReportedAndLeftOut) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    std::string bad = dir.Write("in/bad.vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:A\nEND:VCARD\nBEGIN:VCARD\nFN:Half\n");
    dir.Write("in/good.vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:A\nN:A;B\nEND:VCARD\n");
    dir.Write("in/box/cur/1:2,", "Subject: one\nMessage-ID: <1@x>\n\nbody\n");
    dir.Write("in/box/new/2", "Subject: two\nMessage-ID: <2@x>\n\nbody\n");
    dir.Write("in/box/new/3", std::string("\x01\x02\x03 binary", 10));
    dir.Write("in/box/.Sub/cur/4", "Subject: four\n\nbody\n");
    Date clock = 45000.0;
    ImportOptions options;
    options.importClock = &clock;
    ImportResult r = ImportFiles(*profile, *inbox, {dir.path() / "in", dir.path() / "missing.eml"}, options);
    EXPECT_EQ(r.items, 3u + 1u);  // good.vcf, two Maildir messages, one in the subfolder
    ASSERT_EQ(r.failures.size(), 3u);
    std::string all;
    for (const auto& f : r.failures) all += f.Description() + "\n";
    EXPECT_NE(all.find(bad + ":5: BEGIN:VCARD without END:VCARD"), std::string::npos) << all;
    EXPECT_NE(all.find("box/new/3:1"), std::string::npos) << all;
    EXPECT_NE(all.find("missing.eml"), std::string::npos) << all;
    EXPECT_EQ(ItemCount(*profile, *inbox), 3u);
    auto sub = profile->FindFolder("Personal Folders\\Inbox\\Sub");
    EXPECT_EQ(ItemCount(*profile, *sub), 1u);
    // Creation times from the import clock, strictly increasing in file order.
    std::vector<Date> times;
    profile->ForEachItem(*inbox, [&](const store::ItemRecord& rec) { times.push_back(rec.data.CreationTime.value_or(0)); });
    for (size_t i = 1; i < times.size(); ++i) EXPECT_LT(times[i - 1], times[i]);
}

TEST(ImportPst, NewStoreWithTheFilesHierarchyAndItems) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    PstImportResult r = ImportPst(*profile, Sample("pst/process-pst_unsent_email.pst"), "Old mail");
    EXPECT_EQ(r.items, 3u);
    auto contacts = profile->FindFolder("Old mail\\Contacts");
    EXPECT_EQ(contacts->DefaultItemType(), 2);
    EXPECT_EQ(ItemCount(*profile, *contacts), 2u);
    auto drafts = profile->FindFolder("Old mail\\Drafts");
    std::vector<ItemData> items;
    profile->ForEachItem(*drafts, [&](const store::ItemRecord& rec) { items.push_back(rec.data); });
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Subject, "This email was never sent");
    EXPECT_EQ(UtcStamp(items[0].CreationTime.value()), "20100624T192508Z");  // the file's own
    size_t stores = profile->Stores().size();
    EXPECT_THROW(ImportPst(*profile, Sample("mail/gmime/empty0.eml"), "Bad"), FormatError);
    EXPECT_EQ(profile->Stores().size(), stores) << "a bad file adds no store";
}

TEST(Export, EachKindToItsFormatAndBackAgain) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    ImportResult in = ImportFiles(*profile, *inbox,
                                  {Sample("mail/notmuch/default/cur"), Sample("vcard/kcontacts/vcard5.vcf"),
                                   Sample("ical/kcalendarcore/Compat/Todos.ics")});
    ASSERT_TRUE(in.failures.empty()) << in.failures.front().Description();
    ExportResult out = Export(*profile, *inbox, dir.path() / "out");
    EXPECT_EQ(out.items, in.items);
    auto again = profile->CreateFolder(*inbox, "Again", 0);
    ImportResult back = ImportFiles(*profile, *again, {dir.path() / "out"});
    EXPECT_TRUE(back.failures.empty());
    EXPECT_EQ(back.items, in.items);
}

}  // namespace
}  // namespace nubra::formats
