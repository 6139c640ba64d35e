// Importing generated mail into a new profile, as a Maildir (one file per mail) and as one
// mbox file, at 1,000 to 30,000 mails: parsing on worker threads, store writes from one.
// Reports mails/s and the process's peak resident memory. The two should grow linearly and
// stay close to each other.
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

// The generated corpus of `mails` mails as a Maildir or as an mbox (the same mails either
// way), made on first use and kept in the temporary folder.
fs::path Corpus(int mails, bool mbox) {
    const std::string name = std::string(mbox ? "nubra-bench-mbox-" : "nubra-bench-maildir-") + std::to_string(mails);
    fs::path path = fs::temp_directory_path() / (mbox ? name + ".mbox" : name);
    if (mbox ? !fs::exists(path) : !fs::exists(path / "cur") && !fs::exists(path / "new")) {
        std::string command = std::string("python3 '") + NUBRA_GENCORPUS + "' " + std::to_string(mails) +
                              (mbox ? " --mbox '" : " -o '") + path.string() + "' >/dev/null";
        if (std::system(command.c_str()) != 0) std::abort();
    }
    return path;
}

double PeakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// range(0) mails, range(1) parsing threads.
void Import(benchmark::State& state, bool mbox) {
    const int mails = static_cast<int>(state.range(0));
    fs::path corpus = Corpus(mails, mbox);
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

void BM_ImportMaildir(benchmark::State& state) { Import(state, false); }
void BM_ImportMbox(benchmark::State& state) { Import(state, true); }

void Sizes(benchmark::internal::Benchmark* b) {
    b->Args({1000, 2})->Args({10000, 2})->Args({30000, 2})->Args({30000, 1});
    b->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
}
BENCHMARK(BM_ImportMaildir)->Apply(Sizes);
BENCHMARK(BM_ImportMbox)->Apply(Sizes);

// Parsing alone (one thread), to separate the readers' share from the store's.
void BM_ParseMaildir(benchmark::State& state) {
    fs::path corpus = Corpus(30000, false);
    auto layout = nubra::formats::ScanMaildir(corpus.string());
    size_t n = 0;
    for (auto _ : state) {
        for (const auto& file : layout.files) n += nubra::formats::ReadEmlFile(file).size();
    }
    state.counters["mails/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMaildir)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_ParseMbox(benchmark::State& state) {
    fs::path corpus = Corpus(30000, true);
    size_t n = 0;
    for (auto _ : state) n += nubra::formats::ReadMboxFile(corpus.string()).size();
    state.counters["mails/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParseMbox)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
