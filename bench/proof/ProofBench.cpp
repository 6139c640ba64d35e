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

#include "addin/NubraGlobals.h"
#include "engine/clsFldMon.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "host/Controls.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"
#include "tests/proof/MixedFolder.h"
#include "tests/support/MemoryProgressBar.h"

namespace nubra {
namespace {

namespace fs = std::filesystem;

fs::path ScratchDir(const char* what) {
    // NUBRA_BENCH_DIR chooses the file system the stores live on.
    const char* base = std::getenv("NUBRA_BENCH_DIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nubra-proof-" + what + "-XXXXXX";
    return ::mkdtemp(tmpl.data());
}

// A fresh profile per run, its folder filled from the mixed-folder generator.
void BM_ScanMixedFolder(benchmark::State& state) {
    const int64_t n = state.range(0);
    int64_t removed = 0, expected = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto dir = ScratchDir("scan");
        expected = proof::FillMixedProfile(dir / "profile", "Mixed", n, 1);
        {
            dates::SetRegionalLocale("en_US");
            store::RegisterMAPILibrary();
            auto profile = store::Profile::Open(dir / "profile");
            auto app = profile->Application();
            goLog = std::make_unique<clsLogging>();
            goLog->LogFile(dir.string(), "Nubra.log", "", true);
            goErrHandler = std::make_unique<clsErrHandler>();
            goredUtil = CreateObjectAs<mapi::MAPIUtils>(mapi::kProgIdMAPIUtils);
            goOlNameSpace = app->GetNamespace("MAPI");
            gsOlVersion = "2010";
            gsAppTitle = "Nubrasweep";
            auto folder = profile->FindFolder("Personal Folders\\Mixed");
            testing::MemoryProgressBar bar;
            bar.SetMax(static_cast<float>(n));
            clsFldMon mon;
            state.ResumeTiming();
            removed = mon.RemDuplicatesInFld(folder, bar);
            state.PauseTiming();
            goOlNameSpace.reset();
            goredUtil.reset();
            goErrHandler.reset();
            goLog.reset();
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

// The whole program: start, load the add-in, scan, report.
void BM_CleanThroughProgram(benchmark::State& state) {
    const int64_t n = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        const auto dir = ScratchDir("clean");
        proof::FillMixedProfile(dir / "profile", "Mixed", n, 1);
        const std::string profile = (dir / "profile").string();
        const std::string appdata = (dir / "appdata").string(), config = (dir / "config").string();
        state.ResumeTiming();
        std::fflush(nullptr);  // the child must not repeat what the parent has not flushed yet
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("NUBRA_COMMON_APPDATA", appdata.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            if (std::FILE* f = std::freopen("/dev/null", "w", stdout)) (void)f;
            if (std::FILE* f = std::freopen("/dev/null", "w", stderr)) (void)f;
            ::execl(NUBRASWEEP_BINARY, NUBRASWEEP_BINARY, "--profile", profile.c_str(), "clean",
                    "Personal Folders\\Mixed", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        state.PauseTiming();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("nubrasweep clean failed");
        fs::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["items_per_s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CleanThroughProgram)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace nubra

BENCHMARK_MAIN();
