// Every call the scan makes into the client and the MAPI library fails in turn, once per run:
// no run crashes, loses or doubles an item, and each failure is reported the way its moment
// calls for (ending the scan only up to the first item's search).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "host/AutomationDates.h"
#include "tests/engine/EngineFixture.h"
#include "tests/proof/CountingHost.h"
#include "tests/proof/MixedFolder.h"

namespace nubra::proof {
namespace {

using enginetest::EngineTest;

// Notes how many calls into the host had been made at each progress step.
class ProbeBar : public enginetest::RangeProgressBar {
public:
    explicit ProbeBar(CallCounter& c) : c_(&c) {}
    void SetValue(float v) override {
        callsAtStep.push_back(c_->calls);
        c_->scanStep = true;
        RangeProgressBar::SetValue(v);
    }
    std::vector<int64_t> callsAtStep;

private:
    CallCounter* c_;
};

class FaultLoop : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        deleted = profile->FindFolder(std::string(store::kDefaultStoreName) + "\\" + store::kDeletedItemsName);
        goOlNameSpace = CountingNameSpace(app->GetNamespace("MAPI"), counter);
        goredUtil = CountingUtils(utils, counter);
        library = std::make_unique<CountingLibrary>(counter);
    }
    void TearDown() override {
        library.reset();
        EngineTest::TearDown();
    }

    std::vector<store::ItemData> Folder60() {
        // The first item has no copy and its matcher passes failures on, so a failure in its
        // search ends the scan; the rest is a mixed folder.
        std::vector<store::ItemData> items{
            enginetest::Appointment("Kickoff", "Hall", enginetest::At(9, 0), enginetest::At(10, 0),
                                    enginetest::At(7, 0))};
        auto mixed = MakeMixedFolder(59, 7);
        items.insert(items.end(), mixed.items.begin(), mixed.items.end());
        return items;
    }

    // The scan as the dialog runs it, the bar's range read from the undecorated folder.
    int64_t CountedScan(const outlook::FolderRef& fld) {
        probe = ProbeBar(counter);
        probe.SetMin(0);
        probe.SetMax(static_cast<float>(fld->Items()->Count()));
        return mon.RemDuplicatesInFld(CountingFolder(fld, counter), probe);
    }
    ProbeBar probe{counter};

    std::vector<std::string> Ids(const outlook::FolderRef& f) {
        std::vector<std::string> ids;
        if (!f) return ids;
        profile->ForEachItem(*f, [&](const store::ItemRecord& r) { ids.push_back(r.entryIdHex); });
        return ids;
    }

    CallCounter counter;
    std::unique_ptr<CountingLibrary> library;
    outlook::FolderRef deleted;
};

TEST_F(FaultLoop, EveryCallOfAScanFailingInTurnLosesNothing) {
    const auto items = Folder60();

    // A run without failures: how many calls a scan makes, and where the first item's search ends.
    auto base = NewFolder("Base");
    AddAll(base, items);
    counter.recordOps = true;
    const int64_t removedWithoutFaults = CountedScan(base);
    counter.recordOps = false;
    const int64_t total = counter.calls;
    ASSERT_GE(removedWithoutFaults, 3) << ::testing::PrintToString(LogLines())
                                       << (platform.boxes.empty() ? "" : platform.boxes[0].prompt);
    ASSERT_GT(total, 100);
    // The second item's step comes right after the scan re-reads the count: the calls before
    // that re-read belong to the first item (which has no copy, so no removal comes between).
    ASSERT_GE(probe.callsAtStep.size(), 2u);
    const int64_t lastOfFirstItem = probe.callsAtStep[1] - 1;
    std::cout << "[ proof    ] a scan of " << items.size() << " items makes " << total << " calls; "
              << lastOfFirstItem << " up to the end of the first item's search\n";

    std::map<std::string, int> failedOps;
    int endedEarly = 0;
    int64_t injected = 0;
    for (int64_t n = 1; n <= total; ++n) {
        SCOPED_TRACE("call " + std::to_string(n));
        auto fld = NewFolder("F" + std::to_string(n));
        AddAll(fld, items);
        auto before = Ids(fld);
        const auto deletedBefore = Ids(deleted);
        ClearLog();
        platform.Clear();
        counter.calls = 0;
        counter.failAt = n;
        counter.failedOp.clear();
        counter.examined.clear();
        int64_t removed = -1;
        try {
            removed = CountedScan(fld);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the scan let a failure escape: " << e.what();
        }
        counter.failAt = 0;
        ASSERT_FALSE(counter.failedOp.empty()) << "call " << n << " was never made";
        ++failedOps[counter.failedOp];
        ++injected;

        // Every item the folder held is in exactly one of the three folders.
        auto after = Ids(fld);
        const auto dups = Ids(DuplicatesFolder(fld));
        auto deletedAfter = Ids(deleted);
        std::vector<std::string> newlyDeleted;
        std::sort(deletedAfter.begin(), deletedAfter.end());
        auto sortedDeletedBefore = deletedBefore;
        std::sort(sortedDeletedBefore.begin(), sortedDeletedBefore.end());
        std::set_difference(deletedAfter.begin(), deletedAfter.end(), sortedDeletedBefore.begin(),
                            sortedDeletedBefore.end(), std::back_inserter(newlyDeleted));
        const size_t gone = dups.size() + newlyDeleted.size();
        after.insert(after.end(), dups.begin(), dups.end());
        after.insert(after.end(), newlyDeleted.begin(), newlyDeleted.end());
        std::sort(after.begin(), after.end());
        std::sort(before.begin(), before.end());
        ASSERT_EQ(after, before) << "failing " << counter.failedOp;

        const bool completed = Logged("clsFldMon.RemDuplicatesInFld: READY removing duplicates from folder");
        if (!completed) {
            ++endedEarly;
            // Only a failure up to the first item's search ends the scan, reported by the
            // handler, with nothing changed.
            EXPECT_LE(n, lastOfFirstItem) << "failing " << counter.failedOp << "\n"
                                          << ::testing::PrintToString(LogLines());
            EXPECT_EQ(removed, 0);
            EXPECT_EQ(gone, 0u);
            EXPECT_FALSE(platform.boxes.empty()) << "failing " << counter.failedOp;
        } else {
            // Only what really left the folder is counted.
            EXPECT_EQ(removed, static_cast<int64_t>(gone)) << "failing " << counter.failedOp;
            // Every item still in the folder was examined exactly once, but the one whose
            // fetch failed; none was examined twice.
            std::map<std::string, int> times;
            for (const auto& id : counter.examined) ++times[id];
            int neverExamined = 0;
            for (const auto& [id, k] : times) EXPECT_EQ(k, 1) << id << " examined twice, failing " << counter.failedOp;
            for (const auto& id : Ids(fld))
                if (!times.count(id)) ++neverExamined;
            EXPECT_LE(neverExamined, counter.failedOp == "Items.Item" ? 1 : 0)
                << "items skipped, failing " << counter.failedOp;
        }
        EXPECT_EQ(probe.rejected, 0);
        if (::testing::Test::HasFailure()) break;
    }
    std::cout << "[ proof    ] " << injected << " failures injected, " << endedEarly << " ended the scan;";
    for (const auto& [op, k] : failedOps) std::cout << " " << op << "=" << k;
    std::cout << "\n";
}

}  // namespace
}  // namespace nubra::proof
