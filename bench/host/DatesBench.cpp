// Every log entry formats the current time and every appointment or task logical ID reads
// its dates back: these are the date conversions' costs per call.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>
#include <unistd.h>

#include "diagnostics/clsLogging.h"
#include "host/AutomationDates.h"

namespace {

using namespace nubra;

// Argument 1: the same date every time (remembered after the first); 0: a new second each time.
void BM_FormatGeneralDate(benchmark::State& state) {
    dates::SetRegionalLocale("en_US");
    const bool same = state.range(0) == 1;
    Date d = dates::MakeDate(2009, 12, 24, 13, 5, 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(dates::FormatGeneralDate(d));
        if (!same) d += 1.0 / 86400;
    }
}
BENCHMARK(BM_FormatGeneralDate)->Arg(0)->Arg(1);

void BM_ParseDate(benchmark::State& state) {
    dates::SetRegionalLocale("en_US");
    const bool same = state.range(0) == 1;
    std::vector<std::string> texts;
    for (int i = 0; i < (same ? 1 : 1 << 17); ++i)
        texts.push_back(dates::FormatGeneralDate(dates::MakeDate(2009, 12, 24, 13, 5, 7) + i / 86400.0));
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(dates::ParseDate(texts[i++ % texts.size()]));
}
BENCHMARK(BM_ParseDate)->Arg(0)->Arg(1);

void BM_UtcToLocal(benchmark::State& state) {
    Date d = dates::MakeDate(2009, 12, 24, 13, 5, 7);
    for (auto _ : state) benchmark::DoNotOptimize(dates::UtcToLocal(d));
}
BENCHMARK(BM_UtcToLocal);

// One entry: open, append, close.
void BM_WriteToLog(benchmark::State& state) {
    const std::string folder = (std::filesystem::temp_directory_path() / ("nubra-bench-" + std::to_string(::getpid()))).string();
    clsLogging log;
    log.LogFile(folder, "Nubra.log", "", false);
    for (auto _ : state) log.WriteToLog("clsFldMon.RemDuplicatesInFld: a typical progress line of the scan");
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteToLog);

}  // namespace
