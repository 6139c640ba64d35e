// Import and export through the store: one transaction per file, bad files reported and
// left out, .pst files as stores of their own, export per kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

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

// Messages are read ahead on worker threads while batches are stored: whatever the number of
// threads and the batch size, the messages arrive in file order, each bad one is reported by
// name in walk order and the others of its batch still go in.
TEST(ImportFiles, MaildirBatchesKeepFileOrderWhateverTheThreads) {
    struct Case {
        unsigned threads;
        size_t batchSize;
    };
    const Case cases[] = {{1, 1}, {1, 5}, {2, 5}, {2, 1000}, {3, 7}, {0, 4}};
    testing::TempDir dir;
    constexpr int kMails = 23;
    const std::set<int> badAt = {0, 4, 11, 17, 22};
    for (int i = 0; i < kMails; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "box/cur/%03d", i);
        if (badAt.count(i))
            dir.Write(name, "no header here\n");
        else
            dir.Write(name, "Subject: mail " + std::to_string(i) + "\nMessage-ID: <" + std::to_string(i) + "@x>\n\nbody\n");
    }
    for (const auto& c : cases) {
        SCOPED_TRACE("threads " + std::to_string(c.threads) + ", batch " + std::to_string(c.batchSize));
        auto profileDir = dir.path() / ("profile" + std::to_string(c.threads) + "-" + std::to_string(c.batchSize));
        auto profile = store::Profile::Open(profileDir);
        auto inbox = profile->FindFolder("Personal Folders\\Inbox");
        ImportOptions options;
        options.threads = c.threads;
        options.batchSize = c.batchSize;
        std::vector<size_t> progress;
        options.progress = [&](size_t done) { progress.push_back(done); };
        ImportResult r = ImportFiles(*profile, *inbox, {dir.path() / "box"}, options);
        EXPECT_EQ(r.files, static_cast<size_t>(kMails));
        EXPECT_EQ(r.items, kMails - badAt.size());
        ASSERT_EQ(r.failures.size(), badAt.size());
        size_t f = 0;
        for (int i : badAt) {
            char name[16];
            std::snprintf(name, sizeof name, "cur/%03d", i);
            EXPECT_NE(r.failures[f++].Description().find(name), std::string::npos) << name;
        }
        std::vector<std::string> subjects;
        profile->ForEachItem(*inbox, [&](const store::ItemRecord& rec) { subjects.push_back(rec.data.Subject.value_or("")); });
        std::vector<std::string> expected;
        for (int i = 0; i < kMails; ++i)
            if (!badAt.count(i)) expected.push_back("mail " + std::to_string(i));
        EXPECT_EQ(subjects, expected);
        ASSERT_FALSE(progress.empty());
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        EXPECT_EQ(progress.back(), static_cast<size_t>(kMails));
    }
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
