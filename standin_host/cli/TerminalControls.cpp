#include "standin_host/cli/TerminalControls.h"

#include <algorithm>
#include <cmath>

#include "standin_host/store/RunLock.h"

namespace nubra::cli {

std::string RenderProgress(float min, float max, float value, int width) {
    const double span = static_cast<double>(max) - min;
    double fraction = span > 0 ? (static_cast<double>(value) - min) / span : 0.0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    // A hair above the exact quotient, so 29 of 100 reads 29% despite binary fractions.
    constexpr double kNudge = 1e-9;
    const int filled = static_cast<int>(std::floor(fraction * width + kNudge));
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(width - filled), '-') + "] ";
    char tail[64];
    std::snprintf(tail, sizeof tail, "%3d%% %lld/%lld", static_cast<int>(std::floor(fraction * 100 + kNudge)),
                  static_cast<long long>(std::llround(value - min)), static_cast<long long>(std::llround(span)));
    return line + tail;
}

std::string Shortened(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t cut = bytes - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return text.substr(0, cut) + "...";
}

void TerminalProgressBar::SetMin(float v) {
    min_ = v;
    value_ = std::max(value_, min_);
}

void TerminalProgressBar::SetMax(float v) {
    max_ = v;
    value_ = std::min(value_, max_);
}

void TerminalProgressBar::SetValue(float v) {
    if (!(v >= min_ && v <= max_)) RaiseError(380);
    value_ = v;
    Redraw();
}

void TerminalProgressBar::Redraw() {
    if (!enabled_ || !out_) return;
    std::string line = RenderProgress(min_, max_, value_);
    if (!label_.empty()) line = Shortened(label_) + " " + line;
    if (drawn_ && line == last_) return;
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
    last_ = std::move(line);
    drawn_ = true;
}

void TerminalProgressBar::Finish() {
    if (!drawn_ || !out_) return;
    // Blank the bar's columns, then return to the start of the line.
    std::fprintf(out_, "\r%s\r", std::string(last_.size(), ' ').c_str());
    std::fflush(out_);
    drawn_ = false;
    last_.clear();
}

std::string Printable(std::string_view text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    auto hex = [&out](const char* form, unsigned v) {
        char buf[12];
        std::snprintf(buf, sizeof buf, form, v);
        out += buf;
    };
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            if (keepLineBreaks && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                // a line break written the Windows way
            } else if (keepLineBreaks && c == '\n') {
                out += '\n';
            } else {
                hex("\\x%02X", c);
            }
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A whole UTF-8 sequence, or its first byte escaped when it is not one.
        const size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool valid = len > 0 && i + len <= text.size();
        for (size_t k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!valid) {
            hex("\\x%02X", c);
            ++i;
            continue;
        }
        const auto c1 = static_cast<unsigned char>(text[i + 1]);
        if (c == 0xC2 && c1 < 0xA0) hex("\\u%04X", c1);  // U+0080..U+009F: C1 controls
        else out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

std::shared_ptr<void> TerminalPlatform::LockFolderForRun(outlook::MAPIFolder& folder) {
    run_ = store::LockFolderForRun(folder);
    return run_;
}

void TerminalPlatform::FinishRun() {
    if (auto run = std::exchange(run_, nullptr)) run->Finish();
}

namespace {

// The error handler's box: its description, a blank line, the number, "Procedure: " and the
// procedure's name, then the advice after another blank line. The position of "Procedure: "
// when `text` is one, else npos.
size_t HandlerBoxProcedure(const std::string& text) {
    size_t at = text.find("\r\nProcedure: ");
    if (at == std::string::npos) at = text.find("\nProcedure: ");
    return at;
}

void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

std::string TerminalText(const std::string& prompt) {
    std::string text = prompt;
    // The handler's number and procedure are for the log, where the handler writes them too.
    if (const size_t procedure = HandlerBoxProcedure(text); procedure != std::string::npos) {
        const size_t description = text.find_first_of("\r\n");
        const size_t advice = text.find_first_of("\r\n", procedure + 2);
        std::string rest = advice == std::string::npos ? std::string() : text.substr(advice);
        while (!rest.empty() && (rest.front() == '\r' || rest.front() == '\n')) rest.erase(0, 1);
        text = text.substr(0, description) + (rest.empty() ? "" : "\n" + rest);
    }
    // The system names the client's data files; this program's are store files.
    ReplaceAll(text, "pst or ost file", "store file");
    return text;
}

int TerminalPlatform::MsgBox(const std::string& prompt, int, const std::string& title) {
    if (hold_) {
        held_.push_back({TerminalText(prompt), HandlerBoxProcedure(prompt) != std::string::npos});
        return vbOK;
    }
    if (bar_) bar_->Finish();
    std::fprintf(err_, "%s: %s\n", Printable(title.empty() ? "Nubra" : title).c_str(),
                 Printable(TerminalText(prompt), true).c_str());
    std::fflush(err_);
    return vbOK;
}

void TerminalPlatform::DoEvents() {
    if (bar_) bar_->Redraw();
}

bool TerminalPlatform::ShellExecute(const std::string& program, const std::vector<std::string>& arguments) {
    return StartProgram(program, arguments);
}

}  // namespace nubra::cli
