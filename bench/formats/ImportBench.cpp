// Importing a Maildir of 30,000 generated mails into a new profile: parsing on two threads,
// store writes from one. Reports mails/s and the process's peak resident memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/store/Profile.h"

namespace fs = std::filesystem;

namespace {

fs::path Corpus(int mails) {
    fs::path dir = fs::temp_directory_path() / ("nubra-bench-maildir-" + std::to_string(mails));
    if (!fs::exists(dir / "cur") && !fs::exists(dir / "new")) {
        std::string command = std::string("python3 '") + NUBRA_GENCORPUS + "' " + std::to_string(mails) + " -o '" +
                              dir.string() + "' >/dev/null";
        if (std::system(command.c_str()) != 0) std::abort();
    }
    return dir;
}

double PeakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_ImportMaildir(benchmark::State& state) {
    const int mails = static_cast<int>(state.range(0));
    fs::path corpus = Corpus(mails);
    size_t stored = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::path profileDir = fs::temp_directory_path() / "nubra-bench-profile";
        fs::remove_all(profileDir);
        auto profile = nubra::store::Profile::Open(profileDir);
        auto inbox = profile->FindFolder("Personal Folders\\Inbox");
        state.ResumeTiming();
        nubra::formats::ImportOptions options;
        options.threads = static_cast<unsigned>(state.range(1));
        auto result = nubra::formats::ImportFiles(*profile, *inbox, {corpus}, options);
        stored = result.items;
        if (!result.failures.empty()) state.SkipWithError(result.failures.front().Description().c_str());
    }
    state.counters["mails"] = static_cast<double>(stored);
    state.counters["mails/s"] = benchmark::Counter(static_cast<double>(stored) * state.iterations(),
                                                   benchmark::Counter::kIsRate);
    state.counters["peak_rss_MB"] = PeakRssMb();
}
BENCHMARK(BM_ImportMaildir)->Args({30000, 2})->Args({30000, 1})->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Parsing alone, to separate the reader's share from the store's.
void BM_ParseMaildir(benchmark::State& state) {
    fs::path corpus = Corpus(30000);
    auto layout = nubra::formats::ScanMaildir(corpus.string());
    size_t n = 0;
    for (auto _ : state) {
        for (const auto& file : layout.files) n += nubra::formats::ReadEmlFile(file).size();
    }
    state.counters["mails/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMaildir)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
