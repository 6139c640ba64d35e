// The mixed folder's copies are exactly what a scan removes: its near-misses stay, and every
// item stays in exactly one place.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/EngineFixture.h"
#include "tests/proof/MixedFolder.h"

namespace nubra::proof {
namespace {

using enginetest::EngineTest;

TEST(MixedFolder, SameSeedSameFolderAndAboutOneInTenACopy) {
    const auto a = MakeMixedFolder(5000, 11);
    const auto b = MakeMixedFolder(5000, 11);
    EXPECT_EQ(a.items, b.items);
    EXPECT_EQ(a.duplicates, b.duplicates);
    EXPECT_NE(MakeMixedFolder(5000, 12).items, a.items);
    EXPECT_GT(a.duplicates, 350);
    EXPECT_LT(a.duplicates, 650);
    EXPECT_GT(a.nearMisses, 50);
    for (int32_t cls : {43, 45, 40, 26, 48, 44, 69})
        EXPECT_TRUE(std::any_of(a.items.begin(), a.items.end(), [&](const auto& d) { return d.Class == cls; }))
            << cls;
}

class MixedScan : public EngineTest {};

TEST_F(MixedScan, RemovesExactlyTheCopies) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const auto mixed = MakeMixedFolder(1500, seed);
        auto fld = NewFolder("Mixed" + std::to_string(seed));
        AddAll(fld, mixed.items);
        auto deleted = profile->FindFolder("Personal Folders\\Deleted Items");
        const size_t deletedBefore = Contents(deleted).size();
        EXPECT_EQ(Scan(fld), mixed.duplicates);
        auto kept = Contents(fld);
        auto dups = DuplicatesFolder(fld);
        auto moved = dups ? Contents(dups) : std::vector<store::ItemData>{};
        const size_t notes = Contents(deleted).size() - deletedBefore;
        EXPECT_EQ(moved.size() + notes, static_cast<size_t>(mixed.duplicates));
        EXPECT_EQ(kept.size() + moved.size() + notes, mixed.items.size());
        // A second scan finds nothing more.
        EXPECT_EQ(Scan(fld), 0);
    }
}

}  // namespace
}  // namespace nubra::proof
