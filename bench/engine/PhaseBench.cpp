// What one item costs in each step of a scan, per kind of item: reading its properties, its
// logical ID (which includes those reads and its date texts), the date texts alone (general
// date out, and back in for mail as the scan reads the submit time), the matcher's search, and
// moving a duplicate. Folders come from the mixed-folder generator (every kind, one item in ten
// a copy), one folder per kind; the counter us_per_item is the figure to compare.
//
//   nubra_phase_bench                        (20,000 mixed items; NUBRA_PHASE_ITEMS=n for others)
//   nubra_phase_bench --benchmark_filter=Mail

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/clsFldMon.h"
#include "globals/NubraGlobals.h"
#include "host/MAPIUtils.h"
#include "standin_host/store/Profile.h"
#include "tests/proof/MixedFolder.h"
#include "tests/support/MemoryProgressBar.h"

namespace nubra {
namespace {

struct Kind {
    const char* name;
    std::vector<int32_t> classes;
};
const Kind kKinds[] = {
    {"Mail", {outlook::olMail, outlook::olPost}}, {"Contact", {outlook::olContact}},
    {"Appointment", {outlook::olAppointment}},   {"Task", {outlook::olTask}},
    {"Note", {outlook::olNote}},
};

int64_t MixedItems() {
    const char* n = std::getenv("NUBRA_PHASE_ITEMS");
    return n && *n ? std::atoll(n) : 20000;
}

// One profile; per kind the mixed folder's items of that kind, in their order.
struct World {
    bench::Scratch scratch{"phase-bench"};
    std::shared_ptr<store::Profile> profile = store::Profile::Open(scratch.dir / "profile");
    bench::EngineGlobals globals{*profile, scratch.dir};
    outlook::FolderRef root = profile->FindFolder(store::kDefaultStoreName);
    std::map<std::string, std::vector<store::ItemData>> items;
    int folders = 0;

    World() {
        const auto mixed = proof::MakeMixedFolder(MixedItems(), 5);
        for (const auto& kind : kKinds)
            for (const auto& d : mixed.items)
                for (int32_t c : kind.classes)
                    if (d.Class == c) items[kind.name].push_back(d);
    }

    outlook::FolderRef Fill(const Kind& kind) {
        auto folder = profile->CreateFolder(*root, std::string(kind.name) + std::to_string(++folders), outlook::olMailItem);
        profile->AddItems(*folder, items[kind.name]);
        return folder;
    }
};

World& TheWorld() {
    static World world;
    return world;
}

// A folder per kind, filled once and shared by the phases that leave it as it is.
outlook::FolderRef KindFolder(const Kind& kind) {
    static std::map<std::string, outlook::FolderRef> made;
    auto& f = made[kind.name];
    if (!f) f = TheWorld().Fill(kind);
    return f;
}

// Runs `all` (the phase over `n` items) and reports µs per item.
void MeasureAll(benchmark::State& state, int32_t n, const std::function<void()>& all) {
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        all();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["items"] = n;
    state.counters["us_per_item"] = n ? seconds * 1e6 / n : 0;
}

// Runs `perItem` for the positions 1..n.
void Measure(benchmark::State& state, int32_t n, const std::function<void(int32_t)>& perItem) {
    MeasureAll(state, n, [&] {
        for (int32_t i = 1; i <= n; ++i) perItem(i);
    });
}

struct Ids {
    int32_t cls = 0;
    std::string id[4];
};

std::vector<Ids> AllIds(clsFldMon& mon, outlook::Items& items) {
    std::vector<Ids> all(static_cast<size_t>(items.Count()));
    for (size_t i = 0; i < all.size(); ++i) {
        auto item = items.Item(static_cast<int32_t>(i + 1));
        all[i].cls = item->Class();
        mon.GetItemLogicalIDs(item, all[i].id[0], all[i].id[1], all[i].id[2], all[i].id[3]);
    }
    return all;
}

// Fetching each item and reading what its logical ID is made of through the object model
// (a mail's IDs through its MAPI object).
void BM_PropertyRead(benchmark::State& state, const Kind& kind) {
    auto items = KindFolder(kind)->Items();
    Measure(state, items->Count(), [&](int32_t i) {
        auto item = items->Item(i);
        switch (item->Class()) {
            case outlook::olContact:
                benchmark::DoNotOptimize(item->FirstName());
                benchmark::DoNotOptimize(item->LastName());
                benchmark::DoNotOptimize(item->CompanyName());
                break;
            case outlook::olAppointment: benchmark::DoNotOptimize(item->Location()); break;
            case outlook::olTask: benchmark::DoNotOptimize(item->Status()); break;
            case outlook::olNote: benchmark::DoNotOptimize(item->Color()); break;
            default: {
                auto object = item->MAPIOBJECT();
                benchmark::DoNotOptimize(goredUtil->GetOneProperty(object, mapi::PR_INTERNET_MESSAGE_ID));
                benchmark::DoNotOptimize(goredUtil->GetOneProperty(object, mapi::PR_CLIENT_SUBMIT_TIME));
            }
        }
        benchmark::DoNotOptimize(item->Subject());
    });
}

void BM_LogicalId(benchmark::State& state, const Kind& kind) {
    auto items = KindFolder(kind)->Items();
    clsFldMon mon;
    Measure(state, items->Count(), [&](int32_t i) {
        std::string id[4];
        mon.GetItemLogicalIDs(items->Item(i), id[0], id[1], id[2], id[3]);
    });
}

// The item's dates as general date text; a mail's submit time read back as the scan does.
// Every run shifts the dates by a few seconds so that no run finds the texts of an earlier one.
void BM_DateText(benchmark::State& state, const Kind& kind) {
    static int run = 0;
    const double shift = ++run * 7.0 / 86400;
    std::vector<Date> values;
    for (const auto& d : TheWorld().items[kind.name])
        for (const auto& v : {d.SentOn, d.Start, d.End, d.StartDate, d.DueDate})
            if (v) values.push_back(*v + shift);
    const bool readBack = kind.classes.front() == outlook::olMail;
    MeasureAll(state, static_cast<int32_t>(TheWorld().items[kind.name].size()), [&] {
        for (Date v : values) {
            std::string text = dates::FormatGeneralDate(v);
            if (readBack) benchmark::DoNotOptimize(qoCDate(text));
        }
    });
}

// Each item's matcher with the item's logical ID, as the scan calls it (nothing is removed).
void BM_Search(benchmark::State& state, const Kind& kind) {
    auto folder = KindFolder(kind);
    auto items = folder->Items();
    clsFldMon mon;
    auto ids = AllIds(mon, *items);
    Measure(state, items->Count(), [&](int32_t i) {
        Ids& x = ids[static_cast<size_t>(i - 1)];
        bool flag = false;
        SearchResult r;
        switch (x.cls) {
            case outlook::olContact: r = mon.FindCntOnLogicalID(folder, x.id[0], x.id[1], x.id[2], x.id[3], flag, false, true); break;
            case outlook::olAppointment: r = mon.FindAppOnLogicalID(folder, x.id[0], x.id[1], x.id[2], x.id[3], flag, false, false); break;
            case outlook::olTask: r = mon.FindTaskOnLogicalID(folder, x.id[0], x.id[1], x.id[2], x.id[3], flag, false, true); break;
            case outlook::olNote: {
                int32_t colour = Variant(x.id[2]).AsLong();
                r = mon.FindNoteOnLogicalID(folder, x.id[0], x.id[1], colour, false, true);
                break;
            }
            default: {
                Date submit = x.id[1].empty() ? 0 : qoCDate(x.id[1]);
                r = mon.FindMailOnLogicalID(folder, x.id[0], submit, x.id[2], flag, false, true);
            }
        }
        benchmark::DoNotOptimize(r.Count());
    });
}

// Moving every tenth item into a subfolder, one at a time as a run moves duplicates (holding
// the folder, and saving the moves when it lets go).
void BM_Move(benchmark::State& state, const Kind& kind) {
    auto folder = TheWorld().Fill(kind);
    auto items = folder->Items();
    auto into = folder->Folders()->Add(kDuplicatesFolderName);
    std::vector<outlook::ItemRef> chosen;
    for (int32_t i = 1; i <= items->Count(); i += 10) chosen.push_back(items->Item(i));
    MeasureAll(state, static_cast<int32_t>(chosen.size()), [&] {
        auto run = store::LockFolderForRun(*folder);
        for (const auto& item : chosen) item->Move(*into);
        run->Finish();
    });
}

// The whole scan of a fresh folder of the kind, per item visited or removed.
void BM_Scan(benchmark::State& state, const Kind& kind) {
    auto folder = TheWorld().Fill(kind);
    const int32_t n = folder->Items()->Count();
    testing::MemoryProgressBar bar;
    bar.SetMax(static_cast<float>(n));
    clsFldMon mon;
    int32_t removed = 0;
    MeasureAll(state, n, [&] { removed = bench::ScanAsARun(mon, folder, bar); });
    state.counters["removed"] = removed;
}

void Register() {
    using Phase = void (*)(benchmark::State&, const Kind&);
    const std::pair<const char*, Phase> phases[] = {
        {"PropertyRead", BM_PropertyRead}, {"LogicalId", BM_LogicalId}, {"DateText", BM_DateText},
        {"Search", BM_Search},             {"Move", BM_Move},           {"Scan", BM_Scan},
    };
    for (const auto& [name, phase] : phases)
        for (const auto& kind : kKinds) {
            if (phase == BM_DateText && (kind.classes.front() == outlook::olContact || kind.classes.front() == outlook::olNote))
                continue;  // no dates in their logical IDs
            benchmark::RegisterBenchmark((std::string(name) + "/" + kind.name).c_str(),
                                         [phase, &kind](benchmark::State& s) { phase(s, kind); })
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
}

}  // namespace
}  // namespace nubra

int main(int argc, char** argv) {
    nubra::Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
