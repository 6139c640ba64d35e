// Every byte that comes in goes back out: the shared samples imported through the store and
// exported again come out as they went in (mail in every export format, vCards and iCalendar
// objects unchanged since import, Outlook attachments as libpff itself reads them).
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <cstdio>
#include <map>
#include <set>

#include "host/AutomationDates.h"
#include "standin_host/formats/Attachments.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/MaildirName.h"
#include "standin_host/formats/PstSource.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/Profile.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

namespace fs = std::filesystem;
using testing::ReadText;
using testing::Sample;

std::vector<fs::path> FilesUnder(const fs::path& dir) {
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file() && !it->is_symlink() && it->path().filename().string()[0] != '.')
            files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

bool StartsWithEmptyLine(std::string_view s) { return s.starts_with("\n") || s.starts_with("\r\n"); }

// The messages of an mbox as its separators cut it: after each "From " line, up to the empty
// line before the next, with one ">" taken off every ">*From " line. Written here rather than
// taken from the reader, so that the reader is checked, not restated.
std::vector<std::string> SplitMbox(std::string_view text) {
    std::vector<std::string> messages;
    std::string* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        if (line.starts_with("From ")) {
            current = &messages.emplace_back();
            continue;
        }
        if (!current) continue;
        size_t q = 0;
        while (q < line.size() && line[q] == '>') ++q;
        if (q > 0 && line.substr(q).starts_with("From ")) line.remove_prefix(1);
        current->append(line);
    }
    for (auto& m : messages)
        if (m.ends_with("\n\n") || m.ends_with("\n\r\n")) m.pop_back(), m.back() == '\r' ? m.pop_back() : void();
    return messages;
}

// A message as the .eml export writes it back: a message without header fields carries the
// "From " line it came with.
std::string WithoutEnvelope(const std::string& eml) {
    if (!eml.starts_with("From ")) return eml;
    const size_t eol = eml.find('\n');
    const std::string rest = eml.substr(eol + 1);
    return StartsWithEmptyLine(rest) ? rest : eml;
}

// Every message file of the samples (each .eml, each Maildir message, each message of each
// mbox), imported file by file and exported as .eml, as one mbox and as a Maildir: each
// format gives back exactly the messages that went in. Files the importer refuses as no mail
// are the only ones left out, and each is named.
TEST(WholeItems, EveryMessageOfTheSamplesComesBackByteForByte) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    const auto files = FilesUnder(Sample("mail"));
    ImportResult in = ImportFiles(*profile, *inbox, std::vector<fs::path>(files.begin(), files.end()));
    // Each failure names its file first ("path:line: why").
    std::set<std::string> refused;
    for (const auto& file : files)
        for (const auto& f : in.failures)
            if (f.Description().starts_with(file.string() + ":")) refused.insert(file.string());
    ASSERT_EQ(refused.size(), in.failures.size());
    std::multiset<std::string> expected;
    size_t fromMbox = 0;
    for (const auto& file : files) {
        if (refused.count(file.string())) continue;
        const std::string text = ReadText(file);
        if (DetectKind(file) == FileKind::Mbox) {
            for (auto& m : SplitMbox(text)) expected.insert(std::move(m)), ++fromMbox;
        } else {
            expected.insert(text.starts_with("From ") ? text.substr(text.find('\n') + 1) : text);
        }
    }
    ASSERT_EQ(in.items, expected.size());
    std::printf("[ info     ] %zu message files (%zu messages, %zu of them from mbox files); %zu refused as no mail:\n",
                files.size(), expected.size(), fromMbox, refused.size());
    for (const auto& r : refused) std::printf("[ info     ]   %s\n", r.c_str());
    // Refused: a fuzzer's finding that starts with no header at all, and three parser tests
    // that stop inside their header (a saved message ends its header with an empty line: no
    // telling them from files cut short).
    std::set<std::string> refusedNames;
    for (const auto& r : refused) refusedNames.insert(fs::path(r).filename().string());
    EXPECT_EQ(refusedNames, (std::set<std::string>{"clusterfuzz-testcase-minimized-kmime_fuzzer-5617955779182592.eml",
                                                   "empty0.eml", "empty1.eml", "empty-subject.mbox"}));

    std::multiset<std::string> eml, mbox, maildir;
    for (const auto& f : Export(*profile, *inbox, dir.path() / "eml").files) eml.insert(WithoutEnvelope(ReadText(f)));
    for (const auto& f : Export(*profile, *inbox, dir.path() / "mbox", ExportFormat::Mbox).files)
        for (auto& m : SplitMbox(ReadText(f))) mbox.insert(std::move(m));
    for (const auto& f : Export(*profile, *inbox, dir.path() / "maildir", ExportFormat::Maildir).files)
        maildir.insert(ReadText(f));
    EXPECT_TRUE(eml == expected) << "the .eml export differs";
    EXPECT_TRUE(maildir == expected) << "the Maildir export differs";
    // mbox has no way to say that a message ends without a line break: it gets one.
    std::multiset<std::string> expectedInMbox;
    size_t unterminated = 0;
    for (const auto& m : expected) {
        const bool open = !m.empty() && m.back() != '\n';
        unterminated += open;
        expectedInMbox.insert(open ? m + "\n" : m);
    }
    EXPECT_TRUE(mbox == expectedInMbox) << "the mbox export differs";
    std::printf("[ info     ] %zu messages end without a line break and get one in the mbox\n", unterminated);
}

// Maildirs keep their messages, their flags (D, F, R, S; the others are not kept) and the
// time they were delivered; a tree comes back as a Maildir++ tree, every folder with cur/,
// new/ and tmp/, and imported again it is the same tree.
TEST(WholeItems, MaildirTreesComeBackWithTheirFlagsAndDeliveryTimes) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    struct Mail {
        const char* file;      // below md/
        const char* flags;     // as exported: "" for new/
        int64_t createdMillis; // Unix time
    };
    const Mail mails[] = {
        {"cur/1600000001.M250000P7.host,U=17:2,FRS", "FRS", 1600000001250},
        {"cur/1600000002.M1P7Q3.host!2,FS", "FS", 1600000002000},
        {"cur/1600000003.7.host:2,RS", "RS", 1600000003000},
        {"cur/1600000004.M999999P7.host:2,DS", "DS", 1600000004999},
        {"cur/1600000005.M5P7.host:2,PST", "S", 1600000005000},  // passed, trashed: not kept
        {"cur/no-time-in-this-name:2,", "", 1500000000000},      // the file's modification time
        {"new/1600000006.M6P7.host", "", 1600000006000},
        {".Sub.Deeper/cur/1600000007.M7P7.host:2,S", "S", 1600000007000},
    };
    for (const auto& m : mails) {
        const std::string path = dir.Write(std::string("md/") + m.file, std::string("Subject: ") + m.file + "\n\nbody\n");
        fs::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_time<std::chrono::seconds>(
                                      std::chrono::seconds(1500000000))));
    }
    // A folder with no mail of its own holds the tree.
    auto top = profile->CreateFolder(*inbox, "Top", 0);
    auto held = profile->CreateFolder(*top, "Mail", 0);
    ImportResult in = ImportFiles(*profile, *held, {dir.path() / "md"});
    ASSERT_EQ(in.items, std::size(mails)) << (in.failures.empty() ? "" : in.failures[0].Description());
    ExportResult out = Export(*profile, *top, dir.path() / "out", ExportOptions{ExportFormat::Maildir, true});
    EXPECT_EQ(out.items, std::size(mails));
    for (const char* sub : {"cur", "new", "tmp", ".Mail/cur", ".Mail/new", ".Mail/tmp", ".Mail.Sub/tmp", ".Mail.Sub.Deeper/tmp"})
        EXPECT_TRUE(fs::is_directory(dir.path() / "out" / sub)) << sub;
    std::multiset<std::string> found, expected;
    for (const auto& f : out.files) {
        const MaildirName name = ParseMaildirName(f.filename().string());
        found.insert(ReadText(f) + " in " + f.parent_path().filename().string() + " " + name.flags);
    }
    for (const auto& m : mails)
        expected.insert(std::string("Subject: ") + m.file + "\n\nbody\n in " + (*m.flags ? "cur " : "new ") + m.flags);
    EXPECT_EQ(found, expected);
    // Imported again: the same flags in the names of a second export, the same creation times.
    auto again = profile->CreateFolder(*inbox, "Again", 0);
    ASSERT_EQ(ImportFiles(*profile, *again, {dir.path() / "out"}).items, std::size(mails));
    EXPECT_EQ(profile->FindFolder("Personal Folders\\Inbox\\Again\\Mail\\Sub\\Deeper")->Items()->Count(), 1);
    std::map<std::string, int64_t> created;  // subject: creation time
    std::function<void(outlook::MAPIFolder&)> collect = [&](outlook::MAPIFolder& f) {
        profile->ForEachItem(f, [&](const store::ItemRecord& r) {
            created[r.data.Subject.value_or("")] = dates::ToUnixMillis(r.data.CreationTime.value_or(0));
        });
        auto subs = f.Folders();
        for (int32_t i = 1; i <= subs->Count(); ++i) collect(*subs->Item(i));
    };
    collect(*again);
    for (const auto& m : mails) EXPECT_EQ(created[m.file], m.createdMillis) << m.file;
}

// An mbox is stored in one transaction fed in batches: a bad message after the first batches
// fails the whole file, naming it and the line, and nothing of it stays.
TEST(WholeItems, ABadMessageLateInABigMboxLeavesNothingOfIt) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    std::string mbox;
    int64_t badLine = 0, line = 1;
    for (int i = 0; i < 1500; ++i) {
        mbox += "From a@b Mon Jan  1 00:00:00 2024\n";
        ++line;
        if (i == 1300) {
            badLine = line;
            mbox += std::string(8, '\x01') + " not a header\n\n";
            line += 2;
            continue;
        }
        mbox += "Subject: " + std::to_string(i) + "\n\nbody\n\n";
        line += 4;
    }
    const std::string file = dir.Write("big.mbox", mbox);
    ImportResult r = ImportFiles(*profile, *inbox, {file});
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_NE(r.failures[0].Description().find(file + ":" + std::to_string(badLine) + ":"), std::string::npos)
        << r.failures[0].Description();
    EXPECT_EQ(r.items, 0u);
    EXPECT_EQ(inbox->Items()->Count(), 0);
}

// A message moved into another store takes its source along, and its original goes with it;
// a store of the format before sources is upgraded when opened for writing (a read-only
// opening refuses it), its items exported from their properties.
TEST(WholeItems, SourcesMoveBetweenStoresAndOlderStoresAreUpgraded) {
    testing::TempDir dir;
    const std::string sample = Sample("mail/gmime/photo-discuss/message-partial.0.eml");
    const std::string original = ReadText(sample);
    {
        auto profile = store::Profile::Open(dir.path() / "profile");
        auto inbox = profile->FindFolder("Personal Folders\\Inbox");
        ASSERT_EQ(ImportFiles(*profile, *inbox, {sample}).items, 1u);
        profile->AddStore("Other.nbst", "Other", true);
        auto other = profile->FindFolder("Other\\Inbox");
        auto moved = inbox->Items()->Item(1)->Move(*other);
        ASSERT_TRUE(store::SourceOf(*moved));
        EXPECT_EQ(store::SourceOf(*moved)->Unpack(), original);
        auto out = Export(*profile, *other, dir.path() / "out").files;
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(ReadText(out[0]), original);
        EXPECT_TRUE(profile->CheckIntegrity().ok());
        ASSERT_EQ(ImportFiles(*profile, *inbox, {sample}).items, 1u);
        inbox->Items()->Item(1)->Delete();
        profile->FindFolder("Personal Folders\\Deleted Items")->Items()->Item(1)->Delete();
    }
    const fs::path file = dir.path() / "profile" / "Personal Folders.nbst";
    auto sql = [&](const char* text) {
        sqlite3* db = nullptr;
        int64_t value = -1;
        EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(
                      db, text, [](void* out, int, char** row, char**) { return *static_cast<int64_t*>(out) = std::atoll(row[0]), 0; },
                      &value, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
        return value;
    };
    // Neither the moved item nor the one deleted for good left its source behind.
    EXPECT_EQ(sql("SELECT count(*) FROM sources"), 0);
    {
        auto again = store::Profile::Open(dir.path() / "profile");
        ASSERT_EQ(ImportFiles(*again, *again->FindFolder("Personal Folders\\Inbox"), {sample}).items, 1u);
    }
    // The file as the previous format had it.
    sql("DROP TRIGGER sources_follow_items; DROP TABLE sources; PRAGMA user_version=2;");
    EXPECT_THROW(store::Profile::Open(dir.path() / "profile", store::Profile::Access::ReadOnly), AutomationError);
    auto profile = store::Profile::Open(dir.path() / "profile");
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    ASSERT_EQ(inbox->Items()->Count(), 1);
    EXPECT_FALSE(store::SourceOf(*inbox->Items()->Item(1)));
    auto out = Export(*profile, *inbox, dir.path() / "old").files;
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(ReadText(out[0]).find("Content-Type: text/plain"), std::string::npos);
    ASSERT_EQ(ImportFiles(*profile, *inbox, {sample}).items, 1u);
    EXPECT_EQ(store::SourceOf(*inbox->Items()->Item(2))->Unpack(), original);
    EXPECT_TRUE(profile->CheckIntegrity().ok());
}

// The text of every VCARD, and of every VEVENT and VTODO with the VTIMEZONEs a calendar holds,
// as the file has it (from its BEGIN line to the end of its END line).
std::vector<std::string> Objects(const std::string& text, const std::set<std::string>& kinds) {
    std::vector<std::string> out;
    std::string open;
    size_t begin = 0, pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, end - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        std::string upper = line;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (open.empty() && upper.starts_with("BEGIN:") && kinds.count(upper.substr(6))) {
            open = upper.substr(6);
            begin = pos;
        } else if (!open.empty() && upper == "END:" + open) {
            out.push_back(text.substr(begin, end - begin));
            open.clear();
        }
        pos = end;
    }
    return out;
}

// The value of the first content line `name` of an object ("" when none).
std::string Property(const std::string& object, const std::string& name) {
    size_t pos = 0;
    while ((pos = object.find("\n" + name, pos)) != std::string::npos) {
        pos += 1 + name.size();
        if (object[pos] != ':' && object[pos] != ';') continue;
        const size_t colon = object.find(':', pos), end = object.find_first_of("\r\n", pos);
        return object.substr(colon + 1, end - colon - 1);
    }
    return {};
}

// Every .vcf and .ics of the samples: the export of the unchanged items holds every card,
// event, to-do and time zone of the file as it was written (a last line without a line end
// gets one). Files the importer refuses are named; items changed since import are written
// from their fields instead.
TEST(WholeItems, ContactsAndCalendarsComeBackAsTheyWereWritten) {
    size_t files = 0, objects = 0, orphans = 0;
    std::vector<std::string> refused;
    for (const char* kind : {"vcard", "ical"}) {
        for (const auto& file : FilesUnder(Sample(kind))) {
            const bool vcard = std::string(kind) == "vcard";
            if (file.extension() != (vcard ? ".vcf" : ".ics")) continue;
            testing::TempDir dir;
            auto profile = store::Profile::Open(dir.path() / "profile");
            auto folder = profile->FindFolder(vcard ? "Personal Folders\\Contacts" : "Personal Folders\\Calendar");
            ImportResult in = ImportFiles(*profile, *folder, {file});
            if (!in.failures.empty()) {
                refused.push_back(in.failures[0].Description());
                continue;
            }
            ++files;
            Export(*profile, *folder, dir.path() / "out");
            const std::string out = ReadText(dir.path() / "out" / (vcard ? "contacts.vcf" : "calendar.ics"));
            const std::string original = ReadText(file);
            const std::set<std::string> kinds =
                vcard ? std::set<std::string>{"VCARD"} : std::set<std::string>{"VEVENT", "VTODO", "VTIMEZONE"};
            auto inOut = Objects(out, kinds);
            std::multiset<std::string> written(inOut.begin(), inOut.end());
            const auto all = Objects(original, kinds);
            std::set<std::string> series;  // UIDs of components that are no override
            for (const auto& object : all)
                if (Property(object, "RECURRENCE-ID").empty()) series.insert(Property(object, "UID"));
            for (std::string object : all) {
                if (object.back() != '\n') object += "\r\n";
                // A time zone no item names stays behind, and so does an override whose series
                // is not in the file: it is no item of its own.
                if (object.starts_with("BEGIN:VTIMEZONE") && !written.count(object)) continue;
                if (!Property(object, "RECURRENCE-ID").empty() && !series.count(Property(object, "UID"))) {
                    ++orphans;
                    continue;
                }
                ++objects;
                EXPECT_TRUE(written.count(object)) << file << ": not written back:\n" << object.substr(0, 300);
            }
        }
    }
    std::printf("[ info     ] %zu files, %zu objects written back as read, %zu overrides without their series "
                "left out; %zu files refused:\n",
                files, objects, orphans, refused.size());
    for (const auto& r : refused) std::printf("[ info     ]   %s\n", r.c_str());
    EXPECT_GT(objects, 100u);
}

// What a data file's attachments come to: the bytes of each file attached, and the number of
// attached items (messages, appointments), over every level of embedding.
struct AttachmentTally {
    std::multiset<std::string> data;
    size_t embedded = 0;
    bool operator==(const AttachmentTally&) const = default;
};

// pffexport (libpff's own tool) writes each item's attachments into its "Attachments" folder:
// a file per attached file, an "AttachmentNNNNN" folder per attached item. `kind`: only the
// top-level items whose folder name starts with it ("Message"), or all.
AttachmentTally PffexportTally(const fs::path& exported, const std::string& kind) {
    AttachmentTally tally;
    for (auto it = fs::recursive_directory_iterator(exported); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().parent_path().filename() != "Attachments") continue;
        // The top-level item this belongs to: the folder just below the first "Attachments"'s
        // owner's folder.
        const std::string rel = fs::relative(it->path(), exported).string();
        const size_t first = rel.find("/Attachments/");
        const std::string owner = fs::path(rel.substr(0, first)).filename().string();
        if (!kind.empty() && !owner.starts_with(kind)) continue;
        if (it->is_directory())
            ++tally.embedded;
        else
            tally.data.insert(ReadText(it->path()));
    }
    return tally;
}

void Tally(const PstMessage& m, AttachmentTally& tally) {
    for (const auto& a : m.attachments) {
        if (!a.message) {
            tally.data.insert(a.data);
            continue;
        }
        ++tally.embedded;
        Tally(*a.message, tally);
    }
}

void Tally(const store::ItemSource& mime, AttachmentTally& tally) {
    const auto list = ListAttachments(mime);
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string content = AttachmentContent(mime, i);
        if (!list[i].isMessage) {
            tally.data.insert(content);
            continue;
        }
        ++tally.embedded;
        Tally(*store::ItemSource::Pack(store::ItemSource::Kind::Mime, content), tally);
    }
}

void EveryItem(const outlook::FolderRef& folder, const std::function<void(outlook::OutlookItem&)>& visit) {
    auto items = folder->Items();
    for (int32_t i = 1; i <= items->Count(); ++i) visit(*items->Item(i));
    auto subs = folder->Folders();
    for (int32_t i = 1; i <= subs->Count(); ++i) EveryItem(subs->Item(i), visit);
}

// Every data file of the samples: the store keeps every attachment of every item, embedded
// items whole, byte for byte as libpff reads them (pffexport, its own tool, is the reference);
// the mail exported again carries them all, attached messages as message/rfc822 parts.
TEST(WholeItems, OutlookAttachmentsAsLibpffReadsThem) {
    if (std::system("pffexport -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "pffexport (pff-tools) is not installed";
    size_t attachments = 0, embedded = 0;
    for (const auto& file : FilesUnder(Sample("pst"))) {
        SCOPED_TRACE(file.string());
        testing::TempDir dir;
        const fs::path reference = dir.path() / "pffexport";
        const std::string command = "pffexport -q -m items -f all -t '" + reference.string() + "' '" + file.string() +
                                    "' > /dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const fs::path exported = reference.string() + ".export";
        auto profile = store::Profile::Open(dir.path() / "profile");
        PstImportResult imported = ImportPst(*profile, file, PstImportOptions{"From the file", 0, nullptr});
        auto top = profile->FindFolder(imported.storeDisplayName);

        AttachmentTally kept;
        EveryItem(top, [&](outlook::OutlookItem& item) {
            if (auto source = store::SourceOf(item); source && source->kind == store::ItemSource::Kind::PstMessage)
                Tally(DecodePstMessage(source->Unpack()), kept);
        });
        EXPECT_TRUE(kept == PffexportTally(exported, "")) << kept.data.size() << " files, " << kept.embedded << " items";
        attachments += kept.data.size();
        embedded += kept.embedded;

        AttachmentTally sent;
        for (const auto& f : Export(*profile, *top, dir.path() / "out", ExportOptions{ExportFormat::Natural, true}).files)
            if (f.extension() == ".eml") Tally(*store::ItemSource::Pack(store::ItemSource::Kind::Mime, ReadText(f)), sent);
        EXPECT_TRUE(sent == PffexportTally(exported, "Message")) << sent.data.size() << " files, " << sent.embedded << " messages";
    }
    std::printf("[ info     ] %zu attached files and %zu attached items, as pffexport reads them\n", attachments, embedded);
    EXPECT_GT(attachments, 0u);
    EXPECT_GT(embedded, 0u);
}

}  // namespace
}  // namespace nubra::formats
