// A folder larger than 16-bit counters can walk, over the real store.

#include "tests/engine/EngineFixture.h"

namespace nubra::enginetest {
namespace {

using store::ItemData;

// Beyond the range of 16-bit counters: every item is still visited and the last pair found.
TEST_F(EngineTest, FolderBeyond32767ItemsIsScannedToTheEnd) {
    auto fld = NewFolder("Big");
    std::vector<ItemData> items;
    const int n = 32800;
    items.reserve(n);
    for (int i = 0; i < n - 2; ++i)
        items.push_back(ReceivedMail("<big" + std::to_string(i) + "@x>", "S", At(8, 0) + i / 86400.0));
    items.push_back(ReceivedMail("<last@x>", "Last", At(9, 0)));
    items.push_back(ReceivedMail("<last@x>", "Last", At(9, 1)));
    AddAll(fld, items);
    EXPECT_EQ(Scan(fld), 1);
    EXPECT_EQ(Count(fld), n - 1);
    EXPECT_EQ(bar.rejected, 0);
    EXPECT_FLOAT_EQ(bar.values.back(), static_cast<float>(n - 1));
}

}  // namespace
}  // namespace nubra::enginetest
