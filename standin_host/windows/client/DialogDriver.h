// Drives the add-in's dialog from a second thread by window messages alone, as a person would
// with the mouse: waits for the dialog, clicks a folder in its tree, presses the run button,
// answers the message boxes titled "Nubrasweep" (reading their text), waits for the run to
// end, reads the status line and closes the dialog. The thread that owns the dialog keeps
// pumping its messages meanwhile.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace nubra::winclient {

struct DialogPlan {
    // The folder to click ("Store\Folder\Sub"); empty: only see the dialog open and close it.
    std::string folder;
};

struct DialogOutcome {
    bool opened = false;
    bool closed = false;
    std::string status;                     // the status line after the run
    std::vector<std::string> messageBoxes;  // the text of every message box answered
    std::vector<std::string> failures;
};

class DialogDriver {
public:
    explicit DialogDriver(DialogPlan plan);
    ~DialogDriver();
    // Pumps the calling thread's messages until the driver is done; its outcome.
    DialogOutcome Finish();
    // Whether the dialog's window (class and caption of ui/win/DialogControls.h) is known to
    // this build.
    static bool DialogKnown();

private:
    void Run();
    DialogPlan plan_;
    DialogOutcome outcome_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Answers (OK) every message box titled "Nubrasweep" of this process now open; their texts.
std::vector<std::string> AnswerMessageBoxes();

}  // namespace nubra::winclient
