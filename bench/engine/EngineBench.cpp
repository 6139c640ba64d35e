// How long the folder scan takes over the real store: mail folders of 1,000 to 100,000 items
// with one item in ten a duplicate, and a mixed folder holding every kind. Only the scan is
// timed; each run gets a freshly filled folder.
//
//   nubra_engine_bench --benchmark_filter=Mail   (sizes), --benchmark_filter=Mixed

#include <benchmark/benchmark.h>


#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/clsFldMon.h"
#include "host/Controls.h"
#include "bench/BenchSupport.h"
#include "standin_host/store/Profile.h"
#include "tests/support/MemoryProgressBar.h"

namespace nubra {
namespace {

// One profile for the whole run, in a scratch folder removed at exit.
struct World {
    bench::Scratch scratch{"engine-bench"};  // first, so that it goes last, after the store is closed
    std::shared_ptr<store::Profile> profile = store::Profile::Open(scratch.dir / "profile");
    bench::EngineGlobals globals{*profile, scratch.dir};
    outlook::FolderRef root = profile->FindFolder(store::kDefaultStoreName);
    int folders = 0;

    outlook::FolderRef Fill(const std::vector<store::ItemData>& items, int32_t type) {
        auto folder = profile->CreateFolder(*root, "Bench" + std::to_string(++folders), type);
        profile->AddItems(*folder, items);
        return folder;
    }
};

World& TheWorld() {
    static World world;
    return world;
}

Date Minute(int i) { return dates::MakeDate(2010, 1, 1) + i / 1440.0; }

// n items: one in ten repeats an earlier one (received mail, same message ID).
std::vector<store::ItemData> MailItems(int n) {
    std::vector<store::ItemData> items;
    items.reserve(n);
    const int originals = n - n / 10;
    for (int i = 0; i < n; ++i) {
        const int id = i < originals ? i : (i - originals) * 9;
        store::ItemData d;
        d.Class = outlook::olMail;
        d.InternetMessageID = "<m" + std::to_string(id) + "@bench.example>";
        d.Subject = "Subject " + std::to_string(id);
        d.SentOn = Minute(id);
        d.CreationTime = Minute(i) + 1.0 / 24;
        items.push_back(std::move(d));
    }
    return items;
}

// n items of every kind in turn, one in ten a copy of an earlier one.
std::vector<store::ItemData> MixedItems(int n) {
    std::vector<store::ItemData> items;
    items.reserve(n);
    const int originals = n - n / 10;
    for (int i = 0; i < n; ++i) {
        const int id = i < originals ? i : (i - originals) * 9;
        const std::string s = std::to_string(id);
        store::ItemData d;
        d.CreationTime = Minute(i) + 1.0 / 24;
        switch (id % 7) {
            case 0:
                d.Class = outlook::olMail;
                d.InternetMessageID = "<x" + s + "@bench.example>";
                d.Subject = "Mail " + s;
                d.SentOn = Minute(id);
                break;
            case 1:
                d.Class = outlook::olPost;
                d.Subject = "Post " + s;
                d.SentOn = Minute(id);
                break;
            case 2:
                d.Class = outlook::olContact;
                d.FirstName = "First" + s;
                d.LastName = "Last" + s;
                d.CompanyName = "Company";
                d.Email1Address = "c" + s + "@bench.example";
                break;
            case 3:
                d.Class = outlook::olAppointment;
                d.Subject = "Meeting " + s;
                d.Location = "Room " + std::to_string(id % 5);
                d.Start = Minute(id);
                d.End = Minute(id) + 1.0 / 24;
                break;
            case 4:
                d.Class = outlook::olTask;
                d.Subject = "Task " + s;
                d.Status = id % 5;
                d.StartDate = dates::MakeDate(2010, 1, 1) + id % 300;
                d.DueDate = dates::MakeDate(2010, 1, 2) + id % 300;
                break;
            case 5:
                d.Class = outlook::olNote;
                d.Body = "Note " + s + "\r\nsecond line";
                d.Color = id % 5;
                break;
            default:
                d.Class = outlook::olDistributionList;
                d.Subject = "List " + s;
                break;
        }
        items.push_back(std::move(d));
    }
    return items;
}

void RunScan(benchmark::State& state, const std::vector<store::ItemData>& items, int32_t type) {
    World& w = TheWorld();
    int64_t removed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto folder = w.Fill(items, type);
        testing::MemoryProgressBar bar;
        bar.SetMax(static_cast<float>(items.size()));
        clsFldMon mon;
        state.ResumeTiming();
        removed = bench::ScanAsARun(mon, folder, bar);
        benchmark::DoNotOptimize(removed);
    }
    state.counters["removed"] = static_cast<double>(removed);
    state.SetComplexityN(static_cast<int64_t>(items.size()));
}

void BM_ScanMailFolder(benchmark::State& state) {
    RunScan(state, MailItems(static_cast<int>(state.range(0))), outlook::olMailItem);
}
BENCHMARK(BM_ScanMailFolder)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

void BM_ScanMixedFolder(benchmark::State& state) {
    RunScan(state, MixedItems(static_cast<int>(state.range(0))), outlook::olMailItem);
}
BENCHMARK(BM_ScanMixedFolder)->Arg(30000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nubra

BENCHMARK_MAIN();
