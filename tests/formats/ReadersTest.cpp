// The readers on real files written by other programs: item counts per kind and the fields
// the duplicate search reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "host/AutomationDates.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/ICalendar.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/MaildirName.h"
#include "standin_host/formats/Pst.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/formats/VCard.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

using testing::CountByClass;
using testing::Sample;

std::string Stamp(const std::optional<Date>& d) { return d ? UtcStamp(*d) : std::string("-"); }

struct PstCase {
    const char* file;
    std::map<int32_t, size_t> counts;
    const char* folderWithItems;  // one folder expected to hold items
};

class PstFiles : public ::testing::TestWithParam<PstCase> {};

TEST_P(PstFiles, ItemsPerKindAndFolders) {
    const auto& c = GetParam();
    PstFile pst = ReadPst(Sample(std::string("pst/") + c.file));
    std::map<int32_t, size_t> counts;
    testing::CountFolder(pst.top, counts);
    EXPECT_EQ(counts, c.counts);
    bool found = false;
    std::function<void(const FolderData&)> look = [&](const FolderData& f) {
        if (f.name == c.folderWithItems && !f.items.empty()) found = true;
        for (const auto& s : f.subfolders) look(s);
    };
    look(pst.top);
    EXPECT_TRUE(found) << c.folderWithItems;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, PstFiles,
    ::testing::Values(PstCase{"java-libpst_dist-list.pst", {{26, 1}, {40, 1}, {69, 1}}, "Calendar"},
                      PstCase{"java-libpst_dist-list_2014.pst", {{40, 1}, {69, 1}}, "Contacts"},
                      PstCase{"java-libpst_passworded.pst", {{40, 1}, {69, 1}}, "Contacts"},
                      PstCase{"process-pst_flags_jane_doe.pst", {{43, 8}}, "Inbox"},
                      PstCase{"process-pst_flags_john_doe.pst", {{43, 10}}, "Sent Items"},
                      PstCase{"process-pst_four_nesting_levels.pst", {{43, 1}}, "Inbox"},
                      PstCase{"process-pst_multiple_to_cc.pst", {{43, 1}}, "Inbox"},
                      PstCase{"process-pst_unsent_email.pst", {{40, 2}, {43, 1}}, "Drafts"},
                      PstCase{"pstsdk_sample1.pst", {{43, 1}}, "Sample1"},
                      PstCase{"pstsdk_sample2.pst", {{43, 1}}, "Sample2"},
                      PstCase{"pstsdk_test_ansi.pst", {{45, 1}}, "Folder"},
                      PstCase{"pstsdk_test_unicode.pst", {{45, 2}}, "Folder"},
                      PstCase{"ruby-msg_200_recipients.pst", {{43, 1}}, "Outlook データ ファイルのトップ"},
                      PstCase{"tghanem-PST_user1_at_test.lab.pst", {{43, 6}}, "FolderWithSampleMessages"}));

const ItemData* FindBySubject(const FolderData& folder, const std::string& subject) {
    for (const auto& item : folder.items)
        if (item.Subject == subject) return &item;
    for (const auto& sub : folder.subfolders)
        if (auto* found = FindBySubject(sub, subject)) return found;
    return nullptr;
}

TEST(PstProperties, MatcherFieldsNamedPropertiesAndCreationTime) {
    PstFile unicode = ReadPst(Sample("pst/pstsdk_sample1.pst"));
    PstFile ansi = ReadPst(Sample("pst/pstsdk_sample2.pst"));
    const ItemData* u = FindBySubject(unicode.top, "Here is a sample message");
    const ItemData* a = FindBySubject(ansi.top, "Here is a sample message");
    ASSERT_TRUE(u && a);
    // The same message in both file formats: the duplicate search must see the same ID.
    EXPECT_EQ(u->InternetMessageID, a->InternetMessageID);
    EXPECT_EQ(Stamp(u->SentOn), Stamp(a->SentOn));
    EXPECT_EQ(Stamp(u->CreationTime), "20100315T171208Z");
    EXPECT_FALSE(u->extraTagged.empty());
    EXPECT_FALSE(u->extraNamed.empty());
    for (const auto& [key, value] : u->extraNamed) {
        EXPECT_EQ(key.guid.size(), 38u) << key.guid;
        EXPECT_TRUE(value.type == 0x0003 || value.type == 0x000B || value.type == 0x001E || value.type == 0x0040 ||
                    value.type == 0x0102);
    }

    PstFile dist = ReadPst(Sample("pst/java-libpst_dist-list.pst"));
    const ItemData* appointment = FindBySubject(dist.top, "Test appointment");
    ASSERT_TRUE(appointment);
    EXPECT_EQ(appointment->Class, 26);
    EXPECT_EQ(Stamp(appointment->Start), "20160802T150000Z");
    EXPECT_EQ(Stamp(appointment->End), "20160802T153000Z");
    const ItemData* contact = FindBySubject(dist.top, "contact name 1");
    ASSERT_TRUE(contact);
    EXPECT_EQ(contact->Email1Address, "contact1@rjohnson.id.au");
    EXPECT_EQ(contact->FirstName, "contact");
    EXPECT_EQ(contact->LastName, "1");
}

TEST(PstFolders, ContainerClassesGiveDefaultItemTypes) {
    PstFile pst = ReadPst(Sample("pst/process-pst_unsent_email.pst"));
    std::map<std::string, int32_t> types;
    for (const auto& f : pst.top.subfolders) types[f.name] = f.defaultItemType;
    EXPECT_EQ(types["Calendar"], 1);
    EXPECT_EQ(types["Contacts"], 2);
    EXPECT_EQ(types["Tasks"], 3);
    EXPECT_EQ(types["Journal"], 4);
    EXPECT_EQ(types["Notes"], 5);
    EXPECT_EQ(types["Drafts"], 0);
}

struct MailCase {
    const char* file;
    size_t count;
    const char* subject;    // of the first message; nullptr: no Subject
    const char* messageId;  // nullptr: none
    bool hasDate;
};

class MailFiles : public ::testing::TestWithParam<MailCase> {};

TEST_P(MailFiles, MessagesAndHeaders) {
    const auto& c = GetParam();
    auto items = ReadItemsFile(Sample(std::string("mail/") + c.file));
    ASSERT_EQ(items.size(), c.count);
    const ItemData& first = items.front();
    EXPECT_EQ(first.Class, 43);
    if (c.subject) {
        EXPECT_EQ(first.Subject.value_or("<none>"), c.subject);
    } else {
        EXPECT_FALSE(first.Subject.has_value());
    }
    if (c.messageId) {
        EXPECT_EQ(first.InternetMessageID.value_or("<none>"), c.messageId);
    } else {
        EXPECT_FALSE(first.InternetMessageID.has_value());
    }
    EXPECT_EQ(first.SentOn.has_value(), c.hasDate);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, MailFiles,
    ::testing::Values(
        MailCase{"notmuch/default/cur/53:2,", 1, "Essai accentué", "<877h1wv7mg.fsf@inf-8657.int-evry.fr>", true},
        MailCase{"mail-mime-parser/m1012.eml", 1, "Die Hasen und die Frösche", "<39236653.CAA8A090@example.com>", true},
        MailCase{"tika/simple.mbox", 2, nullptr, nullptr, false},
        MailCase{"tika/quoted.mbox", 1, nullptr, nullptr, false},
        MailCase{"kmime/simple-encapsulated.mbox", 2, "Fwd: Foo", nullptr, true},
        MailCase{"kmime/dfaure-crash.mbox", 1, nullptr, nullptr, false},
        MailCase{"kmime/big-allocation.mbox", 1, "Fwd: test broken mail", "<200910161034.39315.smoke1@test.hq>", false},
        MailCase{"gmime/empty2.eml", 1, "No Subject", "<1070725286l.24763l.0l@Mercury>", true}));

TEST(MailMessageId, KeptExactlyAsWrittenAndDateInUtc) {
    auto items = ParseMbox("From a@b Mon Jan  1 00:00:00 2024\n"
                           "Message-ID:   <Odd.Case@Example.COM>\n"
                           "Date: Tue, 2 Jan 2024 01:30:15 +0200\n"
                           "From: =?utf-8?q?J=C3=BCrgen?= <j@example.org>\n"
                           "To: A <a@Example.ORG>, b@b\xC3\xBC" "cher.example, grp: c@C.Example, d@Fa\xC3\x9F.de;\n"
                           "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\n"
                           "Content-Type: multipart/alternative; boundary=X\n\n"
                           "--X\nContent-Type: text/html\n\n<p>Hallo &amp; tsch&uuml;ss</p>\n"
                           "--X\nContent-Type: text/plain; charset=utf-8\n\nplain text\n--X--\n",
                           "inline.mbox");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].InternetMessageID, "<Odd.Case@Example.COM>");
    EXPECT_EQ(Stamp(items[0].SentOn), "20240101T233015Z");
    EXPECT_EQ(items[0].Subject, "Grüße");
    EXPECT_EQ(items[0].SenderName, "Jürgen");
    EXPECT_EQ(items[0].Body, "plain text");  // text/plain wins over html
    // Domains in ASCII as written, others in their ASCII form.
    EXPECT_EQ(items[0].To, "A <a@Example.ORG>, b@xn--bcher-kva.example, grp: c@C.Example, d@xn--fa-hia.de;");
}

// Body texts by declared charset and transfer encoding. UTF-8 and ASCII text is taken as it
// stands; text that breaks its declared charset, and other charsets, are converted.
TEST(MailBodyCharsets, DecodedToUtf8) {
    struct Case {
        const char* name;
        const char* headers;
        std::string body;
        std::optional<std::string> expected;  // nullopt: any valid UTF-8 starting "caf"
    };
    const Case cases[] = {
        {"utf-8 8bit", "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n", "Gr\xC3\xBC\xC3\x9F" "e\n",
         "Grüße\n"},
        {"UTF8 base64", "Content-Type: text/plain; charset=\"UTF8\"\nContent-Transfer-Encoding: base64\n", "R3LDvMOfZQ==\n",
         "Grüße"},
        {"us-ascii", "Content-Type: text/plain; charset=us-ascii\n", "plain\n", "plain\n"},
        {"no charset, Latin-1 bytes", "Content-Type: text/plain\nContent-Transfer-Encoding: 8bit\n", "caf\xE9\n",
         "café\n"},
        {"iso-8859-1 quoted-printable", "Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n",
         "caf=E9\n", "café\n"},
        {"NUL shown as U+FFFD", "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n",
         "ab=00cd\n", "ab\xEF\xBF\xBD" "cd\n"},
        {"NUL in Latin-1", "Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n",
         "caf=E9=00!\n", "caf\xC3\xA9\xEF\xBF\xBD!\n"},
        {"utf-8 declared, Latin-1 bytes", "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n",
         "caf\xE9 ok\n", std::nullopt},
        {"us-ascii declared, 8-bit bytes", "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: 8bit\n",
         "caf\xE9 ok\n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ItemData item = ParseMessage(std::string("Subject: s\nMIME-Version: 1.0\n") + c.headers + "\n" + c.body, "charset.eml");
        ASSERT_TRUE(item.Body);
        EXPECT_FALSE(FindInvalidUtf8(*item.Body));
        if (c.expected)
            EXPECT_EQ(*item.Body, *c.expected);
        else
            EXPECT_TRUE(item.Body->starts_with("caf")) << *item.Body;
    }
}

TEST(MailMbox, VariantsSplitAndUnquote) {
    struct Case {
        const char* name;
        std::string text;
        size_t count;
        const char* lastBody;
    };
    const Case cases[] = {
        {"mboxo", "From x Mon Jan  1 00:00:00 2024\nSubject: a\n\n>From here\n\nFrom y Mon Jan  1 00:00:00 2024\nSubject: b\n\nbody\n", 2, "body\n"},
        {"mboxrd", "From x Mon Jan  1 00:00:00 2024\nSubject: a\n\n>>From quoted\n", 1, ">From quoted\n"},
        {"mboxcl", "From x Mon Jan  1 00:00:00 2024\nSubject: a\nContent-Length: 20\n\nFrom inside a body\n\nFrom y Mon Jan  1 00:00:00 2024\nSubject: b\n\nlast\n", 2, "last\n"},
        {"crlf", "From x Mon Jan  1 00:00:00 2024\r\nSubject: a\r\n\r\nbody\r\n", 1, "body\n"},
    };
    for (const auto& c : cases) {
        auto items = ParseMbox(c.text, c.name);
        ASSERT_EQ(items.size(), c.count) << c.name;
        EXPECT_EQ(items.back().Body.value_or(""), c.lastBody) << c.name;
    }
}

// GMime hands texts over as C strings: a NUL byte must not cut a header or body short.
TEST(MailNul, ShownAsReplacementCharacterNotCuttingTheText) {
    const char raw[] = "Subject: a\0b\nMessage-ID: <m\0@x>\n\nh\0i\n";
    const std::string message(raw, sizeof raw - 1);
    const std::string fffd = "\xEF\xBF\xBD";
    std::vector<ItemData> read = {ParseMessage(message, "nul.eml"),
                                  ParseMbox("From x Mon Jan  1 00:00:00 2024\n" + message, "nul.mbox").at(0)};
    for (const auto& item : read) {
        EXPECT_EQ(item.Subject, "a" + fffd + "b");
        EXPECT_EQ(item.InternetMessageID, "<m" + fffd + "@x>");
        EXPECT_EQ(item.Body, "h" + fffd + "i\n");
    }
}

// An mbox is read piece by piece: messages that straddle the reads, separators and quoting at
// the seams, Content-Length bodies, all come out as from the whole text, and an error names
// the line counted across the pieces.
TEST(MailMbox, ReadPieceByPieceAsFromMemory) {
    testing::TempDir dir;
    std::string mbox;
    int64_t lines = 0;
    auto add = [&](const std::string& text) {
        mbox += text;
        lines += std::count(text.begin(), text.end(), '\n');
    };
    const std::string filler(990, 'x');
    for (int i = 0; i < 40; ++i) {
        std::string body;
        for (int l = 0; l < (i % 7) * 150; ++l) body += (l % 50 == 3 ? "From the body " : "") + filler + "\n";
        std::string quoted;  // ">From " where a body line began "From "
        for (size_t p = 0, e; p < body.size(); p = e + 1) {
            e = body.find('\n', p);
            std::string line = body.substr(p, e - p + 1);
            quoted += (line.starts_with("From ") ? ">" : "") + line;
        }
        add("From sender@x Mon Jan  1 00:00:00 2024\n");
        add("Subject: mail " + std::to_string(i) + "\n");
        if (i % 3 == 0)
            add("Content-Length: " + std::to_string(body.size()) + "\n\n" + body + "\n");
        else
            add("\n" + quoted + "\n");
    }
    const std::string path = dir.Write("big.mbox", mbox);
    ASSERT_GT(mbox.size(), size_t{8} << 20);
    auto fromMemory = ParseMbox(mbox, "big.mbox");
    for (unsigned threads : {1u, 3u}) {
        auto fromFile = ReadMboxFile(path, threads);
        ASSERT_EQ(fromFile.size(), 40u);
        ASSERT_EQ(fromMemory.size(), 40u);
        for (size_t i = 0; i < fromFile.size(); ++i) {
            EXPECT_EQ(fromFile[i].Subject, "mail " + std::to_string(i));
            EXPECT_EQ(fromFile[i].Body, fromMemory[i].Body) << i;
            EXPECT_EQ(fromFile[i].Body.value_or("").find(">From"), std::string::npos) << i;
        }
    }
    add("From sender@x Mon Jan  1 00:00:00 2024\n");
    const int64_t badLine = lines + 1;
    add("no header here\n\nbody\n");
    try {
        ReadMboxFile(dir.Write("bad.mbox", mbox), 2);
        FAIL() << "no error";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.Line(), badLine) << e.Description();
    }
}

TEST(Maildir, CurNewAndMaildirPlusPlusSubfolders) {
    testing::TempDir dir;
    const std::string msg = "Subject: s\nMessage-ID: <m@x>\n\nbody\n";
    dir.Write("box/cur/1:2,S", msg);
    dir.Write("box/new/2", msg);
    dir.Write("box/tmp/3", msg);  // being delivered: not a message yet
    dir.Write("box/.Work.Projects/cur/4:2,", msg);
    dir.Write("box/.Work/new/5", msg);
    FolderData folder = ReadMaildir((dir.path() / "box").string());
    EXPECT_EQ(folder.items.size(), 2u);
    ASSERT_EQ(folder.subfolders.size(), 1u);
    EXPECT_EQ(folder.subfolders[0].name, "Work");
    EXPECT_EQ(folder.subfolders[0].items.size(), 1u);
    ASSERT_EQ(folder.subfolders[0].subfolders.size(), 1u);
    EXPECT_EQ(folder.subfolders[0].subfolders[0].name, "Projects");
    EXPECT_EQ(CountItems(folder), 4u);

    // A real corpus: every file of default/cur and default/new is a message.
    size_t expected = 0;
    for (const char* sub : {"cur", "new"}) {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(Sample(std::string("mail/notmuch/default/") + sub), ec), end;
             !ec && it != end; it.increment(ec))
            ++expected;
    }
    EXPECT_EQ(ReadMaildir(Sample("mail/notmuch/default")).items.size(), expected);
}

// The names Maildir programs write, and odd ones: what each part reads as, the name without
// mbsync's UID, and the delivery time.
TEST(Maildir, FileNamesAndTheirParts) {
    struct Case {
        const char* name;
        const char* unique;
        const char* separator;
        const char* flags;
        std::optional<uint64_t> uid;
        const char* withoutUid;
        std::optional<int64_t> deliveredMillis;
    };
    const Case cases[] = {
        {"1600000000.M123456P42Q7.host:2,FRS", "1600000000.M123456P42Q7.host", ":2,", "FRS", {},
         "1600000000.M123456P42Q7.host:2,FRS", 1600000000123},
        {"1600000000.M5P1.host,U=1234:2,S", "1600000000.M5P1.host", ":2,", "S", 1234, "1600000000.M5P1.host:2,S",
         1600000000000},
        {"1600000000.M5P1.host,S=2048,U=9,W=2100:2,", "1600000000.M5P1.host,S=2048,W=2100", ":2,", "", 9,
         "1600000000.M5P1.host,S=2048,W=2100:2,", 1600000000000},
        {"1600000000.M5P1.host!2,FS", "1600000000.M5P1.host", "!2,", "FS", {}, "1600000000.M5P1.host!2,FS",
         1600000000000},
        {"1600000000.M5P1.host,U=77!2,S", "1600000000.M5P1.host", "!2,", "S", 77, "1600000000.M5P1.host!2,S",
         1600000000000},
        {"1600000000.M5P1.host", "1600000000.M5P1.host", "", "", {}, "1600000000.M5P1.host", 1600000000000},
        {"1600000000.42.host:1,experimental", "1600000000.42.host", "", "", {}, "1600000000.42.host:1,experimental",
         1600000000000},
        {"a!2,b.host", "a!2,b.host", "", "", {}, "a!2,b.host", {}},       // "!2," not before flags
        {"x,U=:2,S", "x,U=", ":2,", "S", {}, "x,U=:2,S", {}},              // no digits
        {"x,U=12y:2,S", "x,U=12y", ":2,", "S", {}, "x,U=12y:2,S", {}},    // not only digits
        {"x,U=99999999999999999999:2,", "x,U=99999999999999999999", ":2,", "", {}, "x,U=99999999999999999999:2,", {}},
        {"123.eml", "123.eml", "", "", {}, "123.eml", {}},                  // no host part
        {"1234567890123.M1P1.host", "1234567890123.M1P1.host", "", "", {}, "1234567890123.M1P1.host", {}},
        {"1600000000.M1234567P1.host", "1600000000.M1234567P1.host", "", "", {}, "1600000000.M1234567P1.host",
         1600000000000},  // more than 6 digits are no microseconds
        {"", "", "", "", {}, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MaildirName name = ParseMaildirName(c.name);
        EXPECT_EQ(name.unique, c.unique);
        EXPECT_EQ(name.separator, c.separator);
        EXPECT_EQ(name.flags, c.flags);
        EXPECT_EQ(name.syncUid, c.uid);
        EXPECT_EQ(WithoutSyncUid(c.name), c.withoutUid);
        const auto delivered = MaildirDeliveryTime(name.unique);
        EXPECT_EQ(delivered.has_value(), c.deliveredMillis.has_value());
        if (delivered && c.deliveredMillis) {
            EXPECT_EQ(dates::ToUnixMillis(*delivered), *c.deliveredMillis);
        }
    }
    EXPECT_EQ(MaildirFileName("u", "SRxFS?d"), "u:2,FRSdx");
    EXPECT_EQ(MaildirFileName("u", "", '!'), "u!2,");
    // A name made for a time reads back as that time.
    const Date when = dates::FromUnixMillis(1600000000987);
    EXPECT_EQ(MaildirDeliveryTime(NewMaildirUnique(when)), when);
    EXPECT_NE(NewMaildirUnique(when), NewMaildirUnique(when));
}

struct ContactCase {
    const char* file;
    size_t count;
    const char* first;
    const char* last;
    const char* company;
    const char* email;
    const char* fullName;
};

class VCardFiles : public ::testing::TestWithParam<ContactCase> {};

TEST_P(VCardFiles, NamesCompanyEmail) {
    const auto& c = GetParam();
    auto items = ReadVCardFile(Sample(std::string("vcard/") + c.file));
    ASSERT_EQ(items.size(), c.count);
    const ItemData& i = items.front();
    EXPECT_EQ(i.Class, 40);
    EXPECT_EQ(i.FirstName.value_or(""), c.first);
    EXPECT_EQ(i.LastName.value_or(""), c.last);
    EXPECT_EQ(i.CompanyName.value_or(""), c.company);
    EXPECT_EQ(i.Email1Address.value_or(""), c.email);
    EXPECT_EQ(i.FullName.value_or(""), c.fullName);
    EXPECT_EQ(i.Subject, i.FullName);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, VCardFiles,
    ::testing::Values(
        // The same contact written as vCard 3.0, 2.1 and 4.0: the preferred address wins in each;
        // no N (3.0) or an empty one (2.1, 4.0): the names come from FN.
        ContactCase{"kcontacts/vcard1.vcf", 1, "Frank", "Dawson", "Lotus Development Corporation", "Frank_Dawson@Lotus.com", "Frank Dawson"},
        ContactCase{"kcontacts/vcard1.2_1ref.vcf", 1, "Frank", "Dawson", "Lotus Development Corporation", "Frank_Dawson@Lotus.com", "Frank Dawson"},
        ContactCase{"kcontacts/v4_0.vcard1.ref.vcf", 1, "Frank", "Dawson", "Lotus Development Corporation", "Frank_Dawson@Lotus.com", "Frank Dawson"},
        ContactCase{"kcontacts/vcard5.vcf", 1, "Heiko", "Mustermann", "KDE", "heiko.mustermann@freenet.org", "Mustermann, Heiko"},
        ContactCase{"kcontacts/vcard5.ref.vcf", 1, "Heiko", "Mustermann", "KDE", "heiko.mustermann@freenet.org", "Mustermann, Heiko"},
        ContactCase{"kcontacts/v4_0.vcard5.ref.vcf", 1, "Heiko", "Mustermann", "KDE", "heiko.mustermann@freenet.org", "Mustermann, Heiko"},
        ContactCase{"ez-vcard/John_Doe_ANDROID.vcf", 6, "", "", "", "john.doe@company.com", ""},
        ContactCase{"ez-vcard/John_Doe_MS_OUTLOOK.vcf", 1, "John", "Doe", "IBM", "john.doe@ibm.cm", "Mr. John Richter James Doe Sr."},
        ContactCase{"ez-vcard/outlook-2003.vcf", 1, "John", "Doe", "Company, The", "jdoe@hotmail.com", "John Doe III"},
        ContactCase{"ez-vcard/gmail-list.vcf", 3, "Arnold", "Smith", "", "asmithk@gmail.com", "Arnold Smith"},
        // Only FN, nothing else the duplicate search compares: the names must tell them apart.
        ContactCase{"khard/korean-c.vcf", 1, "", "최유림", "", "", "최유림"},
        ContactCase{"khard/minimal.vcf", 1, "minimal", "contact", "", "", "minimal contact"},
        ContactCase{"khard/issue249.vcf", 1, "Foo", "Bar", "", "", "Foo Bar"},
        ContactCase{"khard/text-bday.vcf", 1, "text", "birthday", "", "", "text birthday"},
        ContactCase{"khard/photov4.vcf", 1, "with photo", "v4", "", "", "with photo v4"},
        ContactCase{"libical/leaktest.vcf", 3, "Derik", "Stenerson", "Microsoft Corporation", "deriks@Microsoft.com", "Derik Stenerson"},
        ContactCase{"ruby-msg/Swetlana_Novikova.vcf", 1, "Swetlana", "Novikova", "Scalabium Software", "support@scalabium.com", "Swetlana Novikova"}));

TEST(VCardEncodings, QuotedPrintableCharsetsAndPreference) {
    struct Case {
        const char* name;
        std::string text;
        const char* last;
        const char* email;
    };
    const Case cases[] = {
        {"2.1 QP soft break + CHARSET", "BEGIN:VCARD\r\nVERSION:2.1\r\nN;ENCODING=QUOTED-PRINTABLE;CHARSET=ISO-8859-1:M=FCller=\r\n;Hans\r\nEMAIL;INTERNET:a@x\r\nEMAIL;INTERNET;PREF:b@x\r\nEND:VCARD\r\n", "Müller", "b@x"},
        {"2.1 without CHARSET in Windows Latin", "BEGIN:VCARD\nVERSION:2.1\nN:M\xFCller;Hans\nEND:VCARD\n", "Müller", ""},
        {"3.0 TYPE=pref and escapes", "BEGIN:VCARD\nVERSION:3.0\nN:O\\;Brien\\, Jr.;Pat\nEMAIL:first@x\nEMAIL;TYPE=INTERNET,pref:pref@x\nEND:VCARD\n", "O;Brien, Jr.", "pref@x"},
        {"4.0 lowest PREF and folding", "BEGIN:VCARD\nVERSION:4.0\nN:Long\n er;A\nEMAIL;PREF=2:two@x\nEMAIL;PREF=1:one@x\nEND:VCARD\n", "Longer", "one@x"},
    };
    for (const auto& c : cases) {
        auto items = ParseVCards(c.text, c.name);
        ASSERT_EQ(items.size(), 1u) << c.name;
        EXPECT_EQ(items[0].LastName.value_or(""), c.last) << c.name;
        EXPECT_EQ(items[0].Email1Address.value_or(""), c.email) << c.name;
    }
}

// A card with only a full name gets first and last name from it, as the desktop client splits
// a typed full name; a card's own N wins.
TEST(VCardNames, FullNameSplitWhenNIsMissingOrEmpty) {
    struct Case {
        const char* lines;
        const char* first;
        const char* last;
    };
    const Case cases[] = {
        {"FN:Anna Maria Weber", "Anna Maria", "Weber"},
        {"FN:Cher", "", "Cher"},
        {"FN:Weber\\, Anna Maria", "Anna Maria", "Weber"},
        {"FN:山田　太郎", "山田", "太郎"},  // an ideographic space between the words
        {"N:;;;;\nFN: Anna   Weber ", "Anna", "Weber"},
        {"N:Smith;John;;;\nFN:Johnny B. Goode", "John", "Smith"},
    };
    for (const auto& c : cases) {
        auto items = ParseVCards(std::string("BEGIN:VCARD\nVERSION:4.0\n") + c.lines + "\nEND:VCARD\n", c.lines);
        ASSERT_EQ(items.size(), 1u) << c.lines;
        EXPECT_EQ(items[0].FirstName.value_or(""), c.first) << c.lines;
        EXPECT_EQ(items[0].LastName.value_or(""), c.last) << c.lines;
    }
}

struct CalendarCase {
    const char* file;
    std::map<int32_t, size_t> counts;
    const char* subject;  // of the first item
    const char* start;    // UTC, "-" for none
    const char* end;
};

class CalendarFiles : public ::testing::TestWithParam<CalendarCase> {};

TEST_P(CalendarFiles, EventsTasksAndUtcTimes) {
    const auto& c = GetParam();
    auto items = ReadICalendarFile(Sample(std::string("ical/") + c.file));
    EXPECT_EQ(CountByClass(items), c.counts);
    ASSERT_FALSE(items.empty());
    const ItemData& i = items.front();
    EXPECT_EQ(i.Subject.value_or(""), c.subject);
    EXPECT_EQ(Stamp(i.Class == 26 ? i.Start : i.StartDate), c.start);
    EXPECT_EQ(Stamp(i.Class == 26 ? i.End : i.DueDate), c.end);
}

// TZ is Europe/Berlin for these tests: floating times and dates are Berlin local time.
INSTANTIATE_TEST_SUITE_P(
    Samples, CalendarFiles,
    ::testing::Values(
        // VTIMEZONE US-Eastern, daylight saving in September.
        CalendarCase{"kcalendarcore/RecurrenceRule/RFC2445/RFC2445_RRULETest01.ics", {{26, 1}}, "RExample01", "19970902T130000Z", "19970902T130000Z"},
        // All-day: local midnight to the next midnight.
        CalendarCase{"kcalendarcore/RecurrenceRule/RFC2445/RFC2445_RRULETest40.ics", {{26, 1}}, "RExample37a", "19970804T220000Z", "19970805T220000Z"},
        // The master only; its RECURRENCE-ID override is no item of its own.
        CalendarCase{"kcalendarcore/test_recurrenceid.ics", {{26, 1}}, "summaryMain", "20050517T084500Z", "20050517T121500Z"},
        CalendarCase{"kcalendarcore/Compat/Todos.ics", {{48, 2}}, "Date only todo with start and end", "20040103T230000Z", "-"},
        // 42 VEVENT and 8 VTODO, of which 7 and 1 are RECURRENCE-ID overrides.
        CalendarCase{"libical/2446.ics", {{26, 35}, {48, 7}}, "ST. PAUL SAINTS -VS- DULUTH-SUPERIOR DUKES", "19970701T200000Z", "19970701T200000Z"}));

TEST(CalendarValues, DurationStatusAndZones) {
    auto items = ParseICalendar("BEGIN:VCALENDAR\r\nVERSION:2.0\r\n"
                                "BEGIN:VEVENT\r\nUID:1\r\nDTSTART;TZID=America/New_York:20240115T090000\r\nDURATION:PT1H30M\r\n"
                                "LOCATION:Room\\, 1\r\nSUMMARY:Plan\r\nDESCRIPTION:a\\nb\r\nEND:VEVENT\r\n"
                                "BEGIN:VTODO\r\nUID:2\r\nDTSTART:20240101T100000Z\r\nDUE:20240102T100000Z\r\nSTATUS:IN-PROCESS\r\nSUMMARY:T1\r\nEND:VTODO\r\n"
                                "BEGIN:VTODO\r\nUID:3\r\nSTATUS:COMPLETED\r\nSUMMARY:T2\r\nEND:VTODO\r\n"
                                "BEGIN:VTODO\r\nUID:4\r\nSTATUS:CANCELLED\r\nSUMMARY:T3\r\nEND:VTODO\r\n"
                                "BEGIN:VTODO\r\nUID:5\r\nSUMMARY:T4\r\nEND:VTODO\r\n"
                                "END:VCALENDAR\r\n",
                                "inline.ics");
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(Stamp(items[0].Start), "20240115T140000Z");  // tz database, EST
    EXPECT_EQ(Stamp(items[0].End), "20240115T153000Z");
    EXPECT_EQ(items[0].Location, "Room, 1");
    EXPECT_EQ(items[0].Body, "a\nb");
    EXPECT_EQ(items[1].Status, 1);
    EXPECT_EQ(Stamp(items[1].DueDate), "20240102T100000Z");
    EXPECT_EQ(items[2].Status, 2);
    EXPECT_EQ(items[3].Status, 4);
    EXPECT_EQ(items[4].Status, 0);
}

TEST(Detection, ByExtensionThenContent) {
    struct Case {
        const char* file;
        FileKind kind;
    };
    const Case cases[] = {{"mail/notmuch/default/cur/53:2,", FileKind::Eml},
                          {"mail/kmime/dfaure-crash.mbox", FileKind::Eml},  // one message, no "From " line
                          {"mail/tika/simple.mbox", FileKind::Mbox},
                          {"vcard/libical/test.vcf", FileKind::VCard},
                          {"ical/libical/incoming.ics", FileKind::ICalendar},
                          {"pst/pstsdk_sample1.pst", FileKind::Pst},
                          {"mail/notmuch/default", FileKind::Maildir}};
    for (const auto& c : cases) EXPECT_EQ(DetectKind(Sample(c.file)), c.kind) << c.file;
}

}  // namespace
}  // namespace nubra::formats
