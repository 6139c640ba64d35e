// The progress of long work (an import, an export, a first synchronisation) on standard error
// when it is a terminal: a line redrawn in place with the items done, the total where known
// and the rate. Nothing is written when standard error is not a terminal, so that output kept
// in a file or read by a script is the same with or without it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace nubra::connected {
class SyncProgressScope;
}

namespace nubra::cli {

// The line: "Importing  [######------]  50% 500/1000 items  250/s" with a known total,
// "Importing  500 items  250/s" without (total 0); the rate once a second has passed.
std::string RenderWork(const std::string& label, size_t done, size_t total, double seconds);

class WorkProgress {
public:
    // Draws on stderr when it is a terminal.
    explicit WorkProgress(std::string label);
    // Draws on `out` (not owned) only when `enabled`, from `delay` after the start on: work
    // that ends sooner shows nothing. A long label is shortened (Shortened).
    WorkProgress(std::string label, std::FILE* out, bool enabled, std::chrono::milliseconds delay);
    ~WorkProgress() { Finish(); }
    WorkProgress(const WorkProgress&) = delete;
    WorkProgress& operator=(const WorkProgress&) = delete;

    // `done` items of `total` (0: not known); redrawn at most ten times a second.
    void Update(size_t done, size_t total);
    // Clears the line, so that what follows starts on a clean line.
    void Finish();
    // Update as a function, for the work's own progress callbacks.
    std::function<void(size_t, size_t)> Callback() {
        return [this](size_t done, size_t total) { Update(done, total); };
    }

private:
    using Clock = std::chrono::steady_clock;
    std::string label_;
    std::FILE* out_;
    bool enabled_;
    Clock::time_point start_, next_;
    size_t width_ = 0;  // of the line drawn; 0 when none is
};

// While the result lives, a connected store's synchronisation that reads items shows how far
// it has come ("Synchronising NAME"); nullptr, watching nothing, when stderr is not a terminal.
std::unique_ptr<connected::SyncProgressScope> ShowSynchronisations();

}  // namespace nubra::cli
