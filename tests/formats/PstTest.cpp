// Outlook data files brought in as stores: the code page of 8-bit texts, the file's own
// wastebasket as Deleted Items, the store's name, and damaged files, whose losses are reported
// instead of passed over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/Pst.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/store/Profile.h"
#include "tests/formats/TestData.h"

namespace nubra::formats {
namespace {

using testing::Sample;

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t CountFolders(const FolderData& folder) {
    size_t n = folder.subfolders.size();
    for (const auto& sub : folder.subfolders) n += CountFolders(sub);
    return n;
}

std::vector<std::string> SubfolderNames(outlook::MAPIFolder& folder) {
    std::vector<std::string> names;
    auto folders = folder.Folders();
    for (int32_t i = 1; i <= folders->Count(); ++i) names.push_back(folders->Item(i)->Name());
    return names;
}

// The 8-bit texts of an ANSI file are in the Windows code page of the client that wrote them,
// whatever Internet code page labels the item (ISO-2022-JP mail keeps its texts in 932); a text
// its labels do not decode tries the next candidate before U+FFFD. None of the shared ANSI
// samples is Japanese, so the texts are given here as such a file holds them.
TEST(PstCodePages, InternetLabelsReadAsTheirWindowsCodePageAndTheNextCandidateTried) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<int32_t> labels, fallbacks;
        const char* text;
        int32_t codePage;
        bool valid;
    };
    const std::string contacts = "\x98\x41\x97\x8D\x90\xE6 (Contact dedicated)";  // Shift-JIS
    const Case cases[] = {
        {"a Japanese folder name, items labelled ISO-2022-JP", contacts, {}, {AnsiCodePageOf(50220)},
         "連絡先 (Contact dedicated)", 932, true},
        {"an item labelled ISO-2022-JP", contacts, {50220}, {1252}, "連絡先 (Contact dedicated)", 932, true},
        {"an item labelled EUC-JP", contacts, {51932}, {1252}, "連絡先 (Contact dedicated)", 932, true},
        {"a 7-bit ISO-2022-JP text", "\x1B$BO\"Mm@h\x1B(B", {50220}, {1252}, "連絡先", 50220, true},
        {"ISO-8859-2 mail of a Central European client", "\xA3\xF3" "d\x9F", {28592}, {1252}, "Łódź", 1250, true},
        {"a label that does not fit: the next candidate", contacts, {65001}, {932}, "連絡先 (Contact dedicated)", 932, true},
        {"Korean after Japanese", "\xC7\xD1\xB1\xB9\xBE\xEE", {932}, {949}, "한국어", 949, true},
        {"valid in none", "a\x81", {932}, {65001}, "a\xEF\xBF\xBD", 932, false},
        {"no usable code page", "a\xE9", {1200, 99999}, {}, "aé", 1252, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const EightBitText text = DecodeEightBitText(c.bytes, c.labels, c.fallbacks);
        EXPECT_EQ(text.text, c.text);
        EXPECT_EQ(text.codePage, c.codePage);
        EXPECT_EQ(text.valid, c.valid);
    }
    // The system's code page comes from its locale.
    const char* saved = std::getenv("LC_ALL");
    const std::string keep = saved ? saved : "";
    for (const auto& [locale, page] : std::vector<std::pair<const char*, int32_t>>{
             {"ja_JP.UTF-8", 932}, {"zh_TW.UTF-8", 950}, {"zh_CN", 936}, {"ru_RU.KOI8-R", 1251}, {"C", 1252}, {"de_DE", 1252}}) {
        ::setenv("LC_ALL", locale, 1);
        EXPECT_EQ(SystemAnsiCodePage(), page) << locale;
    }
    if (saved) ::setenv("LC_ALL", keep.c_str(), 1);
    else ::unsetenv("LC_ALL");
}

// The only ANSI files at hand (pstsdk_sample2.pst, pstsdk_test_ansi.pst) hold ASCII texts:
// they show where the code page comes from, not a wrong one at work. Texts without a label of
// their own take the one most items name, else the file's; an override replaces every label.
TEST(PstCodePages, FromTheItemsLabelsOrTheOverride) {
    struct Case {
        const char* file;
        int32_t codePage;  // the override, 0 for none
        int32_t expected;
        const char* subject;
    };
    const Case cases[] = {
        {"pstsdk_sample2.pst", 0, 1252, "Here is a sample message"},      // PR_MESSAGE_CODEPAGE 1252
        {"pstsdk_sample2.pst", 932, 932, "Here is a sample message"},
        {"pstsdk_test_ansi.pst", 0, 1252, "Post"},                        // only us-ascii: the file's
        {"pstsdk_test_ansi.pst", 1251, 1251, "Post"},
        {"process-pst_flags_jane_doe.pst", 0, 65001, "Unread email (do not open)"},  // Unicode file
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.codePage));
        PstFile pst = ReadPst(Sample(std::string("pst/") + c.file), {c.codePage});
        EXPECT_EQ(pst.codePage, c.expected);
        EXPECT_EQ(pst.undecodableTexts, 0u);
        std::vector<std::string> subjects;
        std::function<void(const FolderData&)> walk = [&](const FolderData& f) {
            for (const auto& item : f.items) subjects.push_back(item.Subject.value_or(""));
            for (const auto& sub : f.subfolders) walk(sub);
        };
        walk(pst.top);
        EXPECT_NE(std::find(subjects.begin(), subjects.end(), c.subject), subjects.end());
    }
    // A number that is no code page of 8-bit texts (UTF-16 here) is refused, naming the file.
    const std::string file = Sample("pst/pstsdk_sample2.pst");
    try {
        ReadPst(file, {1200});
        ADD_FAILURE() << "code page 1200 taken";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.File(), file);
        EXPECT_NE(e.Description().find("1200"), std::string::npos) << e.Description();
    }
}

// The folder the file names as its wastebasket is the store's Deleted Items, whatever it is
// called; the store gets no second one, and Delete moves items into it.
TEST(ImportPstDeletedItems, TheFilesWastebasketAndNoOther) {
    struct Case {
        const char* file;
        const char* wastebasket;
        const char* itemsFolder;  // below the top, "" for the top itself
        size_t wastebasketItems;  // in the file
    };
    const Case cases[] = {
        {"ruby-msg_200_recipients.pst", "削除済みアイテム", "", 0},
        {"process-pst_flags_john_doe.pst", "Deleted Items", "Inbox", 2},
    };
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        PstImportResult r = ImportPst(*profile, Sample(std::string("pst/") + c.file), PstImportOptions{c.file, 0, nullptr});
        EXPECT_TRUE(r.skipped.empty());
        auto top = profile->FindFolder(c.file);
        auto names = SubfolderNames(*top);
        EXPECT_EQ(std::count(names.begin(), names.end(), c.wastebasket), 1);
        EXPECT_EQ(std::count(names.begin(), names.end(), std::string(store::kDeletedItemsName)),
                  std::string(c.wastebasket) == store::kDeletedItemsName ? 1 : 0);
        auto source = *c.itemsFolder ? profile->FindFolder(std::string(c.file) + "\\" + c.itemsFolder) : top;
        auto wastebasket = profile->FindFolder(std::string(c.file) + "\\" + c.wastebasket);
        const int32_t before = source->Items()->Count();
        ASSERT_GT(before, 0);
        EXPECT_EQ(wastebasket->Items()->Count(), static_cast<int32_t>(c.wastebasketItems));
        source->Items()->Item(1)->Delete();
        EXPECT_EQ(source->Items()->Count(), before - 1);
        EXPECT_EQ(wastebasket->Items()->Count(), static_cast<int32_t>(c.wastebasketItems) + 1);
        EXPECT_EQ(SubfolderNames(*top), names) << "Delete made no folder of its own";
    }
}

// Without a name the store takes the one the file gives itself; a name the profile has
// already is refused before anything is added.
TEST(ImportPstNames, TheFilesOwnNameAndNeverOneTwice) {
    testing::TempDir dir;
    auto profile = store::Profile::Open(dir.path() / "profile");
    PstImportResult r = ImportPst(*profile, Sample("pst/process-pst_flags_jane_doe.pst"), PstImportOptions{});
    EXPECT_EQ(r.storeDisplayName, "pst-test-2@aranetic.com");
    EXPECT_EQ(r.items, 8u);
    const size_t stores = profile->Stores().size();
    struct Case {
        const char* file;
        const char* name;
    };
    const Case refused[] = {
        {"process-pst_four_nesting_levels.pst", ""},  // the same display name as the first
        {"pstsdk_sample1.pst", "Personal Folders"},    // the profile's own store
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.file);
        const std::string file = Sample(std::string("pst/") + c.file);
        try {
            ImportPst(*profile, file, PstImportOptions{c.name, 0, nullptr});
            ADD_FAILURE() << "imported";
        } catch (const FormatError& e) {
            EXPECT_EQ(e.File(), file);
            EXPECT_NE(e.Description().find("already"), std::string::npos) << e.Description();
        }
        EXPECT_EQ(profile->Stores().size(), stores);
    }
    EXPECT_EQ(ImportPst(*profile, Sample("pst/process-pst_four_nesting_levels.pst"), PstImportOptions{"Nesting", 0, nullptr})
                  .storeDisplayName,
              "Nesting");
}

// Whatever part of a file is cut off or overwritten, an item or folder libpff cannot read is
// never dropped without a word: the file is refused as a whole, read complete, or its losses
// are listed. (Before, a copy cut at 100,000 bytes came in as an empty store, and a seventh
// of the overwritten copies lost items unnoticed.)
TEST(ImportPstDamaged, EveryLossIsReported) {
    const std::string whole = Contents(Sample("pst/process-pst_flags_jane_doe.pst"));
    constexpr size_t kItems = 8, kFolders = 4;
    testing::TempDir dir;
    size_t partial = 0;
    auto check = [&](const std::string& name, const std::string& contents) {
        const std::string path = dir.Write(name, contents);
        try {
            PstFile pst = ReadPst(path);
            std::map<int32_t, size_t> counts;
            testing::CountFolder(pst.top, counts);
            size_t items = 0;
            for (const auto& [cls, n] : counts) items += n;
            if (items >= kItems && CountFolders(pst.top) >= kFolders) return;
            EXPECT_FALSE(pst.losses.empty()) << name << ": " << items << " items, nothing reported";
            ++partial;
        } catch (const FormatError& e) {
            EXPECT_EQ(e.File(), path);
        }
    };
    for (size_t length = 60000; length < whole.size(); length += 10000)
        check("cut" + std::to_string(length) + ".pst", whole.substr(0, length));
    std::mt19937 random(2);
    for (int n = 0; n < 120; ++n) {
        std::string copy = whole;
        const int bytes = 1 << (2 * (n % 4));  // 1, 4, 16 or 64 bytes overwritten
        for (int i = 0; i < bytes; ++i)
            copy[512 + random() % (copy.size() - 512)] = static_cast<char>(random() % 256);
        check("mutant" + std::to_string(n) + ".pst", copy);
    }
    EXPECT_GT(partial, 0u) << "no copy was read in part: the check above checked nothing";

    // Through the import: what was read is stored, the rest is named by its path in the store.
    auto profile = store::Profile::Open(dir.path() / "profile");
    const std::string cut = dir.Write("cut.pst", whole.substr(0, 150000));
    PstImportResult r = ImportPst(*profile, cut, PstImportOptions{"Cut", 0, nullptr});
    EXPECT_EQ(r.items + r.skippedItems, kItems);
    ASSERT_FALSE(r.skipped.empty());
    EXPECT_EQ(r.skipped.front().rfind("Cut\\Inbox: item ", 0), 0u) << r.skipped.front();
}

}  // namespace
}  // namespace nubra::formats
