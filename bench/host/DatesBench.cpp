// Every log entry formats the current time and every appointment or task logical ID reads
// its dates back: these are the date conversions' costs per call.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "diagnostics/clsLogging.h"
#include "host/AutomationDates.h"

namespace {

using namespace nubra;

void BM_FormatGeneralDate(benchmark::State& state) {
    dates::SetRegionalLocale("en_US");
    Date d = dates::MakeDate(2009, 12, 24, 13, 5, 7);
    for (auto _ : state) benchmark::DoNotOptimize(dates::FormatGeneralDate(d));
}
BENCHMARK(BM_FormatGeneralDate);

void BM_ParseDate(benchmark::State& state) {
    dates::SetRegionalLocale("en_US");
    const std::string text = dates::FormatGeneralDate(dates::MakeDate(2009, 12, 24, 13, 5, 7));
    for (auto _ : state) benchmark::DoNotOptimize(dates::ParseDate(text));
}
BENCHMARK(BM_ParseDate);

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
