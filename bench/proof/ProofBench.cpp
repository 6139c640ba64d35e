// The folder scan over mixed folders (every kind, one item in ten a copy, near-misses) of
// 1,000 to 100,000 items, and nubrasweep clean end to end. A million items with
// NUBRA_BENCH_HUGE=1 (it takes minutes). Only the scan, or the program's run, is timed.
//
//   nubra_proof_bench --benchmark_filter=Scan    nubra_proof_bench --benchmark_filter=Clean

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/clsFldMon.h"
#include "host/Controls.h"
#include "standin_host/store/Profile.h"
#include "bench/BenchSupport.h"
#include "tests/proof/MixedFolder.h"
#include "tests/proof/RunClean.h"
#include "tests/support/MemoryProgressBar.h"

namespace nubra {
namespace {

namespace fs = std::filesystem;

// A fresh profile per run, its folder filled from the mixed-folder generator.
void BM_ScanMixedFolder(benchmark::State& state) {
    const int64_t n = state.range(0);
    int64_t removed = 0, expected = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto dir = bench::ScratchDir("proof-scan");
        expected = proof::FillMixedProfile(dir / "profile", "Mixed", n, 1);
        {
            auto profile = store::Profile::Open(dir / "profile");
            bench::EngineGlobals globals(*profile, dir);
            auto folder = profile->FindFolder("Personal Folders\\Mixed");
            testing::MemoryProgressBar bar;
            bar.SetMax(static_cast<float>(n));
            clsFldMon mon;
            state.ResumeTiming();
            removed = bench::ScanAsARun(mon, folder, bar);
            state.PauseTiming();
        }
        fs::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["removed"] = static_cast<double>(removed);
    state.counters["expected"] = static_cast<double>(expected);
    state.counters["items_per_s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}

void ScanSizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {1000, 10000, 30000, 100000}) b->Arg(n);
    if (const char* huge = std::getenv("NUBRA_BENCH_HUGE"); huge && std::string(huge) == "1") b->Arg(1000000);
}
BENCHMARK(BM_ScanMixedFolder)->Apply(ScanSizes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole program: start, load the add-in, scan, report; for real, or as a dry run on a
// private snapshot of the stores (which may cost at most half again as much).
void CleanThroughProgram(benchmark::State& state, std::vector<std::string> args) {
    const int64_t n = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        const auto dir = bench::ScratchDir("proof-clean");
        proof::FillMixedProfile(dir / "profile", "Mixed", n, 1);
        const proof::CleanRun run{NUBRASWEEP_BINARY, dir / "profile", dir / "appdata", dir / "config", args};
        state.ResumeTiming();
        const pid_t pid = proof::StartNubrasweep(run);
        int status = 0;
        ::waitpid(pid, &status, 0);
        state.PauseTiming();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("nubrasweep clean failed");
        fs::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["items_per_s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
void BM_CleanThroughProgram(benchmark::State& state) { CleanThroughProgram(state, {"clean", "Personal Folders\\Mixed"}); }
BENCHMARK(BM_CleanThroughProgram)->Arg(10000)->Arg(30000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_CleanAllThroughProgram(benchmark::State& state) { CleanThroughProgram(state, {"clean", "--all"}); }
BENCHMARK(BM_CleanAllThroughProgram)->Arg(30000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_DryRunAllThroughProgram(benchmark::State& state) { CleanThroughProgram(state, {"clean", "--all", "--dry-run"}); }
BENCHMARK(BM_DryRunAllThroughProgram)->Arg(30000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace nubra

BENCHMARK_MAIN();
