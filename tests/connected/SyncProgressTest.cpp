// What the command line's progress line hears of a first synchronisation: from nothing read to
// every new item read, ending where the cache ends, so that the line is cleared.
#include <gtest/gtest.h>

#include "standin_host/connected/Connected.h"
#include "standin_host/connected/Synchroniser.h"
#include "standin_host/store/Profile.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

namespace fs = std::filesystem;

TEST(SyncProgress, AWatchedFirstSynchronisationIsToldFromNoneToEveryItemCached) {
    testing::TempDir tmp;
    testing::ScopedEnv cache("XDG_CACHE_HOME", (tmp.path() / "cache").string());
    const fs::path md = tmp.path() / "md";
    connected_tests::GenerateCorpus(md, 450, 7);
    connected::RegisterConnectedStores();

    std::vector<std::pair<size_t, size_t>> told;
    size_t cached = 0;
    {
        connected::SyncProgressScope watch([&](const std::string& source, size_t done, size_t total) {
            EXPECT_NE(source.find(md.filename().string()), std::string::npos) << source;
            told.emplace_back(done, total);
        });
        auto profile = store::Profile::Open(tmp.path() / "profile");
        connected::AddMaildirStore(*profile, md, "Box");
        cached = static_cast<size_t>(profile->FindFolder("Box\\Inbox")->Items()->Count());
    }
    EXPECT_EQ(connected::SyncProgressScope::Current(), nullptr);
    ASSERT_GE(told.size(), 2u);
    EXPECT_EQ(told.front(), std::make_pair(size_t{0}, cached));
    EXPECT_EQ(told.back(), std::make_pair(cached, cached));
    for (size_t i = 1; i < told.size(); ++i) EXPECT_GT(told[i].first, told[i - 1].first);
}

}  // namespace
}  // namespace nubra
