// The in-memory folder order against a plain vector doing the same, over long random runs of
// the operations a scan and an import make (appends, removals anywhere, a rare insert in the
// middle), through the compactions the order makes on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "standin_host/store/FolderOrder.h"

namespace nubra::store {
namespace {

struct Mix {
    const char* name;
    size_t initial;
    int operations;
    int removePercent;   // of operations
    int insertMiddlePercent;
};

class FolderOrderTest : public ::testing::TestWithParam<Mix> {};

TEST_P(FolderOrderTest, AgreesWithAPlainVector) {
    const Mix mix = GetParam();
    std::mt19937 rng(7);
    std::vector<std::pair<int64_t, int64_t>> model;  // (seq, id) in order
    int64_t nextSeq = 1, nextId = 100;
    std::vector<int64_t> seqs, ids;
    for (size_t i = 0; i < mix.initial; ++i) {
        nextSeq += 2;  // leaves gaps for inserts in the middle
        seqs.push_back(nextSeq);
        ids.push_back(nextId);
        model.emplace_back(nextSeq, nextId++);
    }
    FolderOrder order(seqs, ids);

    auto check = [&](int step) {
        ASSERT_EQ(order.size(), model.size()) << "step " << step;
        std::vector<int64_t> want;
        for (auto& [s, id] : model) want.push_back(id);
        ASSERT_EQ(order.Ids(), want) << "step " << step;
        for (size_t pos = 0; pos < model.size(); pos += 1 + model.size() / 50)
            ASSERT_EQ(order.At(pos), model[pos].second) << "step " << step << ", position " << pos;
        if (!model.empty()) {
            ASSERT_EQ(order.At(model.size() - 1), model.back().second);
        }
    };

    for (int step = 0; step < mix.operations; ++step) {
        const int roll = static_cast<int>(rng() % 100);
        if (roll < mix.removePercent && !model.empty()) {
            const size_t pos = rng() % model.size();
            EXPECT_TRUE(order.Remove(model[pos].first));
            EXPECT_FALSE(order.Remove(model[pos].first)) << "removed twice";
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(pos));
        } else if (roll < mix.removePercent + mix.insertMiddlePercent && !model.empty()) {
            // A free order number between two items, where there is one.
            const size_t pos = rng() % model.size();
            const int64_t seq = model[pos].first - 1;
            if (pos == 0 || model[pos - 1].first < seq) {
                order.Insert(seq, nextId);
                model.insert(model.begin() + static_cast<std::ptrdiff_t>(pos), {seq, nextId++});
            }
        } else {
            nextSeq += 2;
            order.Insert(nextSeq, nextId);
            model.emplace_back(nextSeq, nextId++);
        }
        if (step % 97 == 0) check(step);
    }
    check(mix.operations);
    EXPECT_FALSE(order.Remove(-5)) << "an order number never given";
}

INSTANTIATE_TEST_SUITE_P(
    Mixes, FolderOrderTest,
    ::testing::Values(Mix{"EmptyThenAppends", 0, 3000, 0, 0},
                      Mix{"ScanMovingOneInTen", 5000, 2000, 90, 0},
                      Mix{"DrainedToEmptyAndRefilled", 3000, 9000, 60, 0},
                      Mix{"EverythingMixed", 2000, 6000, 45, 10}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nubra::store
