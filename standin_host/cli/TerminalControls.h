// The dialog's progress bar and the platform's boxes and message pump, rendered on a terminal:
// message boxes become "title: text" lines on standard error, and the bar is redrawn in place
// on standard error whenever its value changes or the system yields.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/Controls.h"
#include "host/Platform.h"
#include "standin_host/store/RunLock.h"

namespace nubra::cli {

// `text` with every control character (C0 but line feed when `keepLineBreaks`, DEL, C1) written
// as \xNN (\u0085 style for C1), so that a mail's subject cannot retitle, clear or otherwise
// drive the terminal it is printed on. Invalid UTF-8 bytes are shown as \xNN too.
std::string Printable(std::string_view text, bool keepLineBreaks = false);

// A message box's text as the terminal shows it: the error handler's box without its number
// and procedure (they are in the log), and the system's words for the client's data files
// ("pst or ost file") put as this program's ("store file").
std::string TerminalText(const std::string& prompt);

// `text` cut to at most `bytes` bytes of whole UTF-8 characters with "..." after it, when it is
// longer: a label that keeps a redrawn line within one line of the terminal.
std::string Shortened(const std::string& text, size_t bytes = 40);

// One line picturing the bar: "[#####-----]  50% 10/20" in `width` columns for the bar itself.
std::string RenderProgress(float min, float max, float value, int width = 30);

class TerminalProgressBar : public ProgressBar {
public:
    // Draws on `out` (not owned) only when `enabled`; otherwise just keeps the numbers.
    TerminalProgressBar(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}
    ~TerminalProgressBar() override { Finish(); }

    float Min() const override { return min_; }
    void SetMin(float v) override;
    float Max() const override { return max_; }
    void SetMax(float v) override;
    float Value() const override { return value_; }
    // Raises 380 (Invalid property value) outside [Min, Max], leaving the value unchanged.
    void SetValue(float v) override;

    // A text shown before the bar (which folder of several it counts); "" for none.
    void SetLabel(std::string label) { label_ = std::move(label); }
    // Draws the bar now (when enabled and something changed since the last drawing).
    void Redraw();
    // Clears the bar's line so that what follows starts on a clean line.
    void Finish();

private:
    std::FILE* out_;
    bool enabled_;
    bool drawn_ = false;
    std::string last_;
    std::string label_;
    float min_ = 0, max_ = 100, value_ = 0;
};

class TerminalPlatform : public Platform {
public:
    // `bar` (optional, observed) is redrawn whenever the system lets the interface breathe.
    explicit TerminalPlatform(std::FILE* err = stderr) : err_(err) {}
    void SetProgressBar(TerminalProgressBar* bar) { bar_ = bar; }

    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    void DoEvents() override;
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override;
    // The store's lock on the folder (store::LockFolderForRun), held until FinishRun even when
    // the system lets go of it first.
    std::shared_ptr<void> LockFolderForRun(outlook::MAPIFolder& folder) override;
    // Finishes the run of the folder locked last (store::RunSession::Finish): raises what the
    // folder's store could not send. Nothing when no run is held.
    void FinishRun();

    // While held (a clean's folder run), message boxes are kept for the caller, who says in a
    // line what they said, instead of shown as they come (as TerminalText gives them).
    void HoldMessageBoxes(bool hold) { hold_ = hold; }
    struct Box {
        std::string text;
        bool fromErrorHandler = false;  // the handler's box, whose full text is in the log
    };
    std::vector<Box> TakeMessageBoxes() { return std::exchange(held_, {}); }

private:
    std::FILE* err_;
    TerminalProgressBar* bar_ = nullptr;
    bool hold_ = false;
    std::vector<Box> held_;
    std::shared_ptr<store::RunSession> run_;
};

}  // namespace nubra::cli
