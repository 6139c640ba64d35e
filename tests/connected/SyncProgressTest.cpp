// A synchronisation watched as the command line watches it on a terminal reads each folder's
// new items a share at a time; the cache it fills must be the one an unwatched one fills.
#include <gtest/gtest.h>

#include <sstream>

#include "standin_host/connected/Connected.h"
#include "standin_host/connected/Synchroniser.h"
#include "standin_host/store/Profile.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

namespace fs = std::filesystem;

// Every item of the store's Inbox as the cache holds it, in folder order.
std::vector<std::string> CachedInbox(store::Profile& profile) {
    std::vector<std::string> items;
    auto inbox = profile.FindFolder("Box\\Inbox");
    profile.ForEachItem(*inbox, [&](const store::ItemRecord& r) {
        std::ostringstream line;
        line << r.data.Subject.value_or("") << "|" << r.data.InternetMessageID.value_or("") << "|"
             << (r.data.CreationTime ? *r.data.CreationTime : 0.0) << "|" << r.data.Body.value_or("").size();
        items.push_back(line.str());
    });
    return items;
}

TEST(SyncProgress, AWatchedFirstSynchronisationFillsTheCacheAsAnUnwatchedOne) {
    testing::TempDir tmp;
    testing::ScopedEnv cache("XDG_CACHE_HOME", (tmp.path() / "cache").string());
    const fs::path md = tmp.path() / "md";
    connected_tests::GenerateCorpus(md, 450, 7);  // more than two shares of one folder
    connected::RegisterConnectedStores();

    auto plain = store::Profile::Open(tmp.path() / "plain");
    connected::AddMaildirStore(*plain, md, "Box");
    const auto expected = CachedInbox(*plain);
    ASSERT_GT(expected.size(), 400u);

    std::vector<std::pair<size_t, size_t>> told;
    {
        connected::SyncProgressScope watch([&](const std::string& source, size_t done, size_t total) {
            EXPECT_NE(source.find(md.filename().string()), std::string::npos) << source;
            told.emplace_back(done, total);
        });
        auto watched = store::Profile::Open(tmp.path() / "watched");
        connected::AddMaildirStore(*watched, md, "Box");
        EXPECT_EQ(CachedInbox(*watched), expected);
    }
    EXPECT_EQ(connected::SyncProgressScope::Current(), nullptr);
    ASSERT_GE(told.size(), 4u);  // the start, three shares, and whatever other folders hold
    EXPECT_EQ(told.front().first, 0u);
    EXPECT_EQ(told.back().first, told.back().second);
    EXPECT_GE(told.back().second, expected.size());
}

}  // namespace
}  // namespace nubra
