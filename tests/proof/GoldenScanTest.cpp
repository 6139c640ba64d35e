// A 10,000-item mixed folder scanned under two regional settings and time zones gives exactly
// the logical IDs, log lines and outcome recorded in GoldenScan.txt. The record was made once
// and is only ever compared against: caches, batched reads and cheaper date handling must not
// change a single text the engine produces. NUBRA_WRITE_GOLDEN=1 writes the record anew (only
// for a deliberate change of behaviour).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/AutomationDates.h"
#include "tests/engine/EngineFixture.h"
#include "tests/proof/MixedFolder.h"

namespace nubra::proof {
namespace {

using enginetest::EngineTest;

// FNV-1a over the lines, each ended by a line feed.
struct Digest {
    uint64_t hash = 0xcbf29ce484222325ull;
    int64_t lines = 0;
    void Add(const std::string& line) {
        for (unsigned char c : line + "\n") {
            hash ^= c;
            hash *= 0x100000001b3ull;
        }
        ++lines;
    }
    std::string Text() const {
        std::ostringstream out;
        out << lines << ' ' << std::hex << hash;
        return out.str();
    }
};

std::string Opt(const std::optional<std::string>& s) { return s ? "=" + *s : "-"; }
std::string Opt(const std::optional<int32_t>& v) { return v ? std::to_string(*v) : "-"; }

// Every field the mixed folder sets, so that an item kept in the place of another shows.
std::string Describe(const store::ItemData& d) {
    return std::to_string(d.Class) + "|" + Opt(d.Subject) + "|" + Opt(d.InternetMessageID) + "|" +
           store::UtcText(d.CreationTime) + "|" + store::UtcText(d.SentOn) + "|" + Opt(d.FirstName) + "|" +
           Opt(d.LastName) + "|" + Opt(d.CompanyName) + "|" + Opt(d.Email1Address) + "|" + Opt(d.Location) + "|" +
           store::UtcText(d.Start) + "|" + store::UtcText(d.End) + "|" + Opt(d.Status) + "|" +
           store::UtcText(d.StartDate) + "|" + store::UtcText(d.DueDate) + "|" + Opt(d.Color) + "|" + Opt(d.Body);
}

// Restores TZ when the test ends, whatever way.
struct ZoneSetting {
    std::optional<std::string> saved;
    ZoneSetting() {
        if (const char* tz = std::getenv("TZ")) saved = tz;
    }
    ~ZoneSetting() {
        if (saved) ::setenv("TZ", saved->c_str(), 1);
        else ::unsetenv("TZ");
        dates::SetRegionalLocale("en_US");
    }
};

class GoldenScan : public EngineTest {};

TEST_F(GoldenScan, TenThousandMixedItemsGiveTheRecordedIdsLogAndOutcome) {
    struct Pass {
        const char* locale;
        const char* zone;
    };
    const Pass passes[] = {{"en_US", "America/New_York"}, {"de_DE", "Europe/Berlin"}};
    ZoneSetting restore;
    std::vector<std::string> record;
    const auto mixed = MakeMixedFolder(10000, 7);
    for (const auto& pass : passes) {
        dates::SetRegionalLocale(pass.locale);
        ::setenv("TZ", pass.zone, 1);
        const std::string tag = std::string(pass.locale) + " ";
        auto fld = NewFolder(std::string("Golden ") + pass.locale);
        AddAll(fld, mixed.items);
        auto deleted = profile->FindFolder("Personal Folders\\Deleted Items");
        const size_t deletedBefore = Contents(deleted).size();

        // The logical IDs of every item, by kind.
        std::map<int32_t, Digest> ids;
        auto items = fld->Items();
        for (int32_t i = 1; i <= items->Count(); ++i) {
            auto item = items->Item(i);
            std::string id[4];
            mon.GetItemLogicalIDs(item, id[0], id[1], id[2], id[3]);
            ids[item->Class()].Add(id[0] + "|" + id[1] + "|" + id[2] + "|" + id[3]);
        }
        for (const auto& [cls, digest] : ids) record.push_back(tag + "ids " + std::to_string(cls) + " " + digest.Text());

        ClearLog();
        const int32_t removed = Scan(fld);
        record.push_back(tag + "removed " + std::to_string(removed));
        Digest log;
        for (const auto& line : LogLines()) log.Add(line);
        record.push_back(tag + "log " + log.Text());

        Digest kept, moved, gone;
        for (const auto& d : Contents(fld)) kept.Add(Describe(d));
        if (auto dups = DuplicatesFolder(fld))
            for (const auto& d : Contents(dups)) moved.Add(Describe(d));
        const auto inDeleted = Contents(deleted);
        for (size_t i = deletedBefore; i < inDeleted.size(); ++i) gone.Add(Describe(inDeleted[i]));
        record.push_back(tag + "kept " + kept.Text());
        record.push_back(tag + "moved " + moved.Text());
        record.push_back(tag + "deleted " + gone.Text());
    }

    const std::string file = std::string(NUBRA_TESTS_DIR) + "/proof/GoldenScan.txt";
    if (const char* write = std::getenv("NUBRA_WRITE_GOLDEN"); write && std::string(write) == "1") {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (const auto& line : record) out << line << '\n';
        ASSERT_TRUE(out.good()) << file;
        GTEST_SKIP() << "wrote " << file;
    }
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in.good()) << "no record " << file;
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);) expected.push_back(line);
    EXPECT_EQ(record, expected);
}

}  // namespace
}  // namespace nubra::proof
