#include "standin_host/cli/WorkProgress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "standin_host/cli/TerminalControls.h"
#include "standin_host/connected/Synchroniser.h"

namespace nubra::cli {

std::string RenderWork(const std::string& label, size_t done, size_t total, double seconds) {
    std::string line = label + "  ";
    if (total > 0 && done <= total) {
        line += RenderProgress(0, static_cast<float>(total), static_cast<float>(done), 20) + " items";
    } else {
        line += std::to_string(done) + (done == 1 ? " item" : " items");
    }
    if (seconds >= 1) line += "  " + std::to_string(std::llround(static_cast<double>(done) / seconds)) + "/s";
    return line;
}

WorkProgress::WorkProgress(std::string label)
    : WorkProgress(std::move(label), stderr, ::isatty(STDERR_FILENO) != 0, std::chrono::milliseconds(500)) {}

WorkProgress::WorkProgress(std::string label, std::FILE* out, bool enabled, std::chrono::milliseconds delay)
    : label_(Shortened(label)), out_(out), enabled_(enabled && out), start_(Clock::now()), next_(start_ + delay) {}

void WorkProgress::Update(size_t done, size_t total) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now < next_) return;
    next_ = now + std::chrono::milliseconds(100);
    const std::string line =
        RenderWork(label_, done, total, std::chrono::duration<double>(now - start_).count());
    // A shorter line than the last blanks what the last left.
    std::fprintf(out_, "\r%s%s", line.c_str(), std::string(width_ > line.size() ? width_ - line.size() : 0, ' ').c_str());
    std::fflush(out_);
    width_ = std::max(width_, line.size());
}

void WorkProgress::Finish() {
    if (!width_) return;
    std::fprintf(out_, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(out_);
    width_ = 0;
}

std::unique_ptr<connected::SyncProgressScope> ShowSynchronisations() {
    if (!::isatty(STDERR_FILENO)) return nullptr;
    auto bar = std::make_shared<std::optional<WorkProgress>>();
    return std::make_unique<connected::SyncProgressScope>([bar](const std::string& source, size_t done, size_t total) {
        if (done == 0) bar->emplace("Synchronising " + Printable(source));
        if (*bar) (*bar)->Update(done, total);
        if (done >= total) bar->reset();  // clears its line
    });
}

}  // namespace nubra::cli
