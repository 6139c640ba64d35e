// Import and export through the store: one transaction per file, bad files reported and
// left out, .pst files as stores of their own, export per kind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <thread>

#include <sqlite3.h>

#include <map>

#include "host/AutomationDates.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/Profile.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

namespace fs = std::filesystem;
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
    // The contact was created when imported (the clock); the mail when it was delivered
    // (no time in these names: when the files were written).
    std::map<std::string, Date> times;
    profile->ForEachItem(*inbox, [&](const store::ItemRecord& rec) {
        times[rec.data.Subject.value_or(rec.data.FullName.value_or(""))] = rec.data.CreationTime.value_or(0);
    });
    EXPECT_EQ(times["A"], 45000.0);
    for (const char* mail : {"one", "two"}) EXPECT_GT(times[mail], dates::Now() - 1.0) << mail;
}

// Mail is created when it arrived: an mbox message at the time of its "From " line (local
// time unless it names its zone), else when it was sent; without either, when imported.
TEST(ImportFiles, MboxMailTakesTheTimeItArrivedAsItsCreationTime) {
    struct Case {
        const char* envelope;
        const char* date;      // Date field, "" for none
        const char* expected;  // UTC
    };
    const Case cases[] = {
        {"From a@b Mon Jan  1 10:00:00 2024", "", "2024-01-01 09:00:00"},  // Berlin, winter
        {"From a@b Mon Jul  1 10:00:00 2024", "", "2024-07-01 08:00:00"},  // Berlin, summer
        {"From a@b Mon Jan  1 10:00:00 2024 +0200", "", "2024-01-01 08:00:00"},
        {"From a@b Mon Jan  1 10:00:00 UTC 2024", "", "2024-01-01 10:00:00"},
        {"From MAILER-DAEMON Fri Feb 29 23:59:59 2008", "", "2008-02-29 22:59:59"},
        {"From a@b", "Tue, 2 Jan 2024 12:00:00 +0000", "2024-01-02 12:00:00"},
        {"From a@b Mon Feb 30 10:00:00 2024", "Tue, 2 Jan 2024 12:00:00 +0000", "2024-01-02 12:00:00"},
        {"From a@b Mon Jan  1 10:00 2024", "", "2024-01-01 09:00:00"},
        {"From a@b", "", "2020-01-01 00:00:00"},  // the import clock
    };
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    std::string mbox;
    for (size_t i = 0; i < std::size(cases); ++i)
        mbox += std::string(cases[i].envelope) + "\nSubject: " + std::to_string(i) + "\n" +
                (*cases[i].date ? std::string("Date: ") + cases[i].date + "\n" : "") + "\nbody\n\n";
    Date clock = dates::MakeDate(2020, 1, 1);
    ImportOptions options;
    options.importClock = &clock;
    ImportResult r = ImportFiles(*profile, *inbox, {dir.Write("box.mbox", mbox)}, options);
    ASSERT_EQ(r.items, std::size(cases)) << r.failures.front().Description();
    profile->ForEachItem(*inbox, [&](const store::ItemRecord& rec) {
        const auto& c = cases[std::stoul(rec.data.Subject.value_or("0"))];
        const auto p = dates::SplitDate(rec.data.CreationTime.value_or(0));
        char text[32];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                      p.second);
        EXPECT_EQ(std::string(text), c.expected) << c.envelope;
    });
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
        options.progress = [&](size_t done, size_t) { progress.push_back(done); };
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

// A mail's body is stored once, in the message kept as its source: the store's property row
// holds no copy of the text, and every way of reading it (a folder walk, ReadItem, the MAPI
// library, after a move to another store) gives what the reader made of the message; a run's
// record (cached properties) does not unpack it.
TEST(ImportFiles, AMailsBodyIsKeptInItsMessageAloneAndReadFromIt) {
    testing::TempDir dir;
    auto text = [](const std::string& what) {
        std::string body;
        for (int i = 0; i < 60; ++i) body += "bodytext " + what + " line " + std::to_string(i) + "\n";
        return body;
    };
    const std::string plain = "Subject: plain\nMessage-ID: <p@x>\n\n" + text("plain");
    const std::string html = "Subject: html\nMessage-ID: <h@x>\nContent-Type: text/html\n\n<p>" + text("html") + "</p>\n";
    const std::string qp = "Subject: qp\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n" +
                           text("gr=C3=BC=C3=9Fe") + "=\nsoft\n";
    const std::string headerless = "\n" + text("headerless");
    dir.Write("in/box/cur/1:2,S", plain);
    dir.Write("in/one.eml", "From someone@example.org Mon Jan  2 10:00:00 2023\n" + html);
    dir.Write("in/all.mbox", "From a@x Mon Jan  2 10:00:00 2023\n" + qp + "\nFrom b@x Mon Jan  2 10:00:01 2023\n" +
                                 headerless + "\n");
    std::map<std::string, std::string> expected;  // subject -> body as the reader makes it
    expected["plain"] = *ParseMessage(plain, "plain").Body;
    expected["html"] = *ParseMessage(html, "html").Body;
    for (const auto& item : ReadMboxFile((dir.path() / "in/all.mbox").string()))
        expected[item.Subject.value_or("")] = item.Body.value_or("(none)");
    ASSERT_EQ(expected.size(), 4u);

    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    ImportResult r = ImportFiles(*profile, *inbox, {dir.path() / "in"}, {});
    ASSERT_TRUE(r.failures.empty()) << r.failures[0].Description();
    ASSERT_EQ(r.items, 4u);

    std::map<std::string, std::string> walked;
    profile->ForEachItem(*inbox, [&](const store::ItemRecord& rec) { walked[rec.data.Subject.value_or("")] = rec.data.Body.value_or("(none)"); });
    EXPECT_EQ(walked, expected);
    auto items = inbox->Items();
    for (int32_t i = 1; i <= items->Count(); ++i) {
        auto item = items->Item(i);
        const std::string subject = item->Subject();
        SCOPED_TRACE(subject);
        EXPECT_EQ(profile->ReadItem(*item).Body.value_or("(none)"), expected[subject]);
        EXPECT_FALSE(profile->ReadItem(*item, store::Profile::Reading::CachedProperties).Body);
        EXPECT_EQ(store::AsItem(*item, "test").Text(store::tags::PR_BODY), expected[subject]);
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(profile->Stores()[0].file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM props WHERE tval LIKE '%bodytext%'", -1, &s, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(s, 0), 0) << "a body is stored beside its message";
        sqlite3_finalize(s);
        sqlite3_close(db);
    }
    // Moved into another store, the message goes along and the body is read from it there.
    profile->AddStore(dir.path() / "profile" / "other.nbst", "Other", true);
    auto other = profile->FindFolder("Other\\Inbox");
    while (items->Count() > 0) items->Item(1)->Move(*other);
    walked.clear();
    profile->ForEachItem(*other, [&](const store::ItemRecord& rec) { walked[rec.data.Subject.value_or("")] = rec.data.Body.value_or("(none)"); });
    EXPECT_EQ(walked, expected);
}

// Root may list any folder; while this lives the calling thread lacks the capabilities that
// let it, so that a folder without read permission fails for root as it does for anyone.
class WithoutReadOverride {
public:
    WithoutReadOverride() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = ::syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutReadOverride() {
        if (active_) ::syscall(SYS_capset, &header_, saved_);
    }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

// What must never be taken for mail, read for ever or walked in circles, each given to
// ImportFiles as the user would: refused with an error naming the path (and nothing stored
// from it), or imported once with a warning naming what was skipped or looks wrong. A message
// that ends inside its header was cut short (a copy or a delivery broken off): it is refused,
// naming the file, its line and, in an mbox, its number, while the file's other messages are
// stored; a whole message without a body is no such message.
TEST(ImportFiles, RefusesWhatIsNoMailNamingItAndSkipsLinksToFolders) {
    testing::TempDir dir;
    const auto& root = dir.path();
    const std::string mail = "Subject: s\nMessage-ID: <m@x>\n\nbody\n";
    auto message = [](int i) {
        return "Received: from relay" + std::to_string(i) + ".example.com by mx.example.org; Mon, " + std::to_string(i) +
               " Jan 2024 10:00:00 +0000\nMessage-ID: <" + std::to_string(i) + "@example.com>\nFrom: Sender <s@example.com>\n"
               "Subject: message " + std::to_string(i) + "\n\nBody " + std::to_string(i) + ".\n";
    };
    auto envelope = [](int i) { return "From s@example.com Mon Jan  " + std::to_string(i) + " 10:00:00 2024\n"; };
    std::string mbox;
    for (int i = 1; i <= 4; ++i) mbox += envelope(i) + message(i) + "\n";
    auto file = [&](const std::string& name, const std::string& contents) { return fs::path(dir.Write(name, contents)); };
    struct Case {
        std::string name;
        std::function<fs::path()> make;
        size_t items;
        std::string failure;                // fragment of the one failure; empty: none
        std::vector<std::string> warnings;  // fragments, one per warning
        bool unreadable = false;            // run without root's right to read anything
    };
    const Case cases[] = {
        {"folder named like a file", [&] { fs::create_directories(root / "a.eml"); return root / "a.eml/"; }, 0,
         "a.eml/: a folder with nothing to import", {}},
        {"Maildir with unreadable cur",
         [&] {
             dir.Write("md/new/1", mail);
             dir.Write("md/cur/2", mail);
             fs::permissions(root / "md/cur", fs::perms::none);
             return root / "md";
         },
         0, "md/cur: cannot list the folder", {}, true},
        {"FIFO", [&] { ::mkfifo((root / "fifo.eml").c_str(), 0600); return root / "fifo.eml"; }, 0,
         "fifo.eml: a FIFO", {}},
        {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", root / "zero"); return root / "zero"; }, 0,
         "zero: a device", {}},
        {"2 GB sparse message",
         [&] {
             auto p = dir.Write("sparse.eml", mail);
             fs::resize_file(p, uint64_t{2} << 30);
             return fs::path(p);
         },
         0, "sparse.eml: larger than 256 MiB", {}},
        {"2 GB sparse mbox",
         [&] {
             auto p = dir.Write("sparse.mbox", "From x\n" + mail);
             fs::resize_file(p, uint64_t{2} << 30);
             return fs::path(p);
         },
         0, "sparse.mbox:6: line longer than", {}},
        {"no header field of mail", [&] { return fs::path(dir.Write("passwd", "root:x:0:0:root:/root:/bin/bash\nbin:x:2:2\n")); },
         0, "passwd:1: no mail header field", {}},
        {"link to a file", [&] {
             fs::create_symlink(dir.Write("real.eml", mail), root / "link.eml");
             return root / "link.eml";
         }, 1, "", {}},
        {"links to folders in a tree",
         [&] {
             dir.Write("tree/sub/1.eml", mail);
             fs::create_directory_symlink("sub", root / "tree/again");
             fs::create_directory_symlink(".", root / "tree/sub/loop");
             return root / "tree";
         },
         1, "", {"tree/again: a link to a folder, not followed", "tree/sub/loop: a link to a folder, not followed"}},
        {"Maildir++ subfolder linked to itself",
         [&] {
             dir.Write("self/cur/1", mail);
             fs::create_directory_symlink(".", root / "self/.Self");
             return root / "self";
         },
         1, "", {"self/.Self: a link to a folder, not followed"}},
        {"mbox cut in the 4th header",
         [&] { return file("cut.mbox", mbox.substr(0, mbox.find(envelope(4)) + envelope(4).size() + 100)); }, 3,
         "cut.mbox:27: message 4: the message ends inside its header", {}},
        {"mbox with a header cut by the next message",
         [&] {
             return file("mid.mbox", envelope(1) + message(1) + "\n" + envelope(2) + message(2).substr(0, 60) + "\n" +
                                         envelope(3) + message(3) + "\n");
         },
         2, "mid.mbox:10: message 2: the message ends inside its header", {}},
        {"mbox with a message without body",
         [&] { return file("bodiless.mbox", envelope(1) + "Subject: none\n\n\n" + envelope(2) + message(2)); }, 2, "", {}},
        {"eml cut in its header", [&] { return file("cut.eml", message(1).substr(0, 100)); }, 0,
         "cut.eml:2: the message ends inside its header", {}},
        {"eml cut at a line end", [&] { return file("cut-line.eml", message(1).substr(0, message(1).find("Subject"))); },
         0, "cut-line.eml:3: the message ends inside its header", {}},
        {"Maildir file cut inside a line, beside whole ones",
         [&] {
             dir.Write("cutmd/cur/1:2,S", message(1));
             dir.Write("cutmd/cur/2:2,S", message(2).substr(0, 100));
             dir.Write("cutmd/new/3", "Subject: no body\n");
             return root / "cutmd";
         },
         2, "cutmd/cur/2:2,S:2: the message ends inside its header", {}},
        {"contacts into a mail folder",
         [&] { return fs::path(dir.Write("c.vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:A B\nN:B;A\nEND:VCARD\n")); }, 1, "",
         {"c.vcf: 1 contact imported into Personal Folders\\Inbox, a mail folder"}},
    };
    // Should the FIFO ever be opened for reading, a writer comes along and the case fails
    // instead of the test waiting for ever.
    std::jthread writer([fifo = root / "fifo.eml"](std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto profile = store::Profile::Open(root / ("profile-" + std::to_string(&c - cases)));
        auto inbox = profile->FindFolder("Personal Folders\\Inbox");
        const fs::path path = c.make();
        ImportResult r;
        {
            std::optional<WithoutReadOverride> unreadable;
            if (c.unreadable) unreadable.emplace();
            r = ImportFiles(*profile, *inbox, {path});
        }
        EXPECT_EQ(r.items, c.items);
        EXPECT_EQ(ItemCount(*profile, *inbox), c.items);
        if (c.failure.empty()) {
            EXPECT_TRUE(r.failures.empty()) << r.failures.front().Description();
        } else {
            ASSERT_EQ(r.failures.size(), 1u);
            EXPECT_NE(r.failures[0].Description().find(c.failure), std::string::npos) << r.failures[0].Description();
        }
        ASSERT_EQ(r.warnings.size(), c.warnings.size());
        for (size_t i = 0; i < c.warnings.size(); ++i)
            EXPECT_NE(r.warnings[i].find(c.warnings[i]), std::string::npos) << r.warnings[i];
    }
    fs::permissions(root / "md/cur", fs::perms::owner_all);  // so that the scratch folder can go
}

TEST(ImportPst, NewStoreWithTheFilesHierarchyAndItems) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    PstImportResult r = ImportPst(*profile, Sample("pst/process-pst_unsent_email.pst"), PstImportOptions{"Old mail", 0, nullptr});
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
    EXPECT_THROW(ImportPst(*profile, Sample("mail/gmime/empty0.eml"), PstImportOptions{"Bad", 0, nullptr}), FormatError);
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

// Another user who may write to the export folder plants links at the names the export
// writes (its temporary names of old and the final ones): nothing is written through them,
// nothing there is overwritten, and a second export into the same folder is refused whole.
TEST(Export, NeverWritesThroughLinksNorOverAnEarlierExport) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    ImportResult in = ImportFiles(*profile, *inbox, {dir.Write("in/1.eml", "Subject: one\n\nbody\n"),
                                                     dir.Write("in/c.vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:A B\nEND:VCARD\n")});
    ASSERT_EQ(in.items, 2u);
    const std::string victim = dir.Write("victim", "precious\n");
    auto victimText = [&] { return testing::ReadText(victim); };
    auto plant = [&](const fs::path& link) { fs::create_symlink(victim, link); };

    // Links at temporary names: the export goes on beside them.
    const fs::path out = dir.path() / "out";
    fs::create_directories(out);
    plant(out / ("000001.eml.part" + std::to_string(::getpid())));
    plant(out / ".000001.eml.part");
    ExportResult first = Export(*profile, *inbox, out);
    EXPECT_EQ(first.files.size(), 2u);
    EXPECT_EQ(victimText(), "precious\n");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out / "000001.eml")));
    EXPECT_NE(testing::ReadText(out / "000001.eml").find("Subject: one"), std::string::npos);

    // A link at a final name: refused, naming it, and nothing else written.
    const fs::path trap = dir.path() / "trap";
    fs::create_directories(trap);
    plant(trap / "contacts.vcf");
    try {
        Export(*profile, *inbox, trap);
        ADD_FAILURE() << "exported through a link";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.File(), (trap / "contacts.vcf").string()) << e.Description();
    }
    EXPECT_EQ(victimText(), "precious\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(trap), fs::directory_iterator()), 1);

    // Exporting into the first folder again, even as files of other names (items.jsonl):
    // refused before anything is written, so two exports never mix.
    const auto before = testing::ReadText(out / "000001.eml");
    try {
        Export(*profile, *inbox, out, ExportFormat::JsonLines);
        ADD_FAILURE() << "a second export into one folder";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.File(), (out / "000001.eml").string()) << e.Description();
    }
    EXPECT_EQ(testing::ReadText(out / "000001.eml"), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 4);  // 2 links, 2 files
}

// Contacts made without a vCard (from JSON Lines here) get a UID, as address books need one:
// the same for the same item at every export, another for every item.
TEST(Export, ContactsWithoutACardGetAUidOfTheirOwnEveryTimeTheSame) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto contacts = profile->FindFolder("Personal Folders\\Contacts");
    ImportResult in = ImportFiles(*profile, *contacts,
                                  {dir.Write("c.jsonl", "{\"Class\": 40, \"FirstName\": \"Ann\", \"LastName\": \"Lee\"}\n"
                                                        "{\"Class\": 40, \"FirstName\": \"Ann\", \"LastName\": \"Lee\"}\n")});
    ASSERT_EQ(in.items, 2u);
    auto uids = [&](const std::string& name) {
        Export(*profile, *contacts, dir.path() / name);
        std::vector<std::string> found;
        const std::string cards = testing::ReadText(dir.path() / name / "contacts.vcf");
        for (size_t pos = 0; (pos = cards.find("\r\nUID:", pos)) != std::string::npos; pos += 6)
            found.push_back(cards.substr(pos + 6, cards.find("\r\n", pos + 2) - pos - 6));
        return found;
    };
    const auto first = uids("one"), second = uids("two");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first[0], first[1]);
    EXPECT_EQ(first, second);
    for (const auto& uid : first) EXPECT_TRUE(uid.starts_with("urn:uuid:") && uid.size() == 45) << uid;
}

// An export that fails part way (here: the disk allows no file over 64 KiB, and the last
// folder holds a larger message) removes what it had written, whatever the format.
TEST(Export, AFailedExportLeavesNothingBehind) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    ASSERT_EQ(ImportFiles(*profile, *inbox, {dir.Write("in/a.eml", "Subject: a\n\nbody\n"),
                                             dir.Write("in/b.vcf", "BEGIN:VCARD\nVERSION:3.0\nFN:A B\nEND:VCARD\n")})
                  .items,
              2u);
    auto sub = profile->CreateFolder(*inbox, "Sub", 0);
    auto deeper = profile->CreateFolder(*sub, "Deeper", 0);
    ASSERT_EQ(ImportFiles(*profile, *sub, {dir.Write("in/c.eml", "Subject: c\n\nsmall\n")}).items, 1u);
    ASSERT_EQ(ImportFiles(*profile, *deeper, {dir.Write("in/d.eml", "Subject: d\n\n" + std::string(100000, 'x') + "\n")}).items, 1u);
    for (ExportFormat format : {ExportFormat::Natural, ExportFormat::Mbox, ExportFormat::Maildir}) {
        SCOPED_TRACE(static_cast<int>(format));
        const fs::path out = dir.path() / ("out" + std::to_string(static_cast<int>(format)));
        struct rlimit before{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = before;
        small.rlim_cur = 64 * 1024;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_THROW(Export(*profile, *inbox, out, ExportOptions{format, true}), AutomationError);
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, oldHandler);
        ASSERT_TRUE(fs::is_directory(out));
        std::vector<std::string> left;
        for (const auto& entry : fs::recursive_directory_iterator(out)) left.push_back(entry.path().string());
        EXPECT_TRUE(left.empty()) << left.front();
    }
}

}  // namespace
}  // namespace nubra::formats
