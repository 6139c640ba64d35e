// What the add-in module keeps about itself beyond the globals: how many of its objects live
// (the client unloads the module only when none does), whether a folder scan is under way,
// work that has to wait until no scan runs, and the hooks through which the menu command
// shows the duplicate-removal dialog and the clean-up closes it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/DialogHost.h"

namespace nubra::addin {

// Objects of the module's classes count themselves while they live.
class LiveObject {
public:
    LiveObject();
    ~LiveObject();
    LiveObject(const LiveObject&);
    LiveObject& operator=(const LiveObject&) = default;
};
int LiveObjects();

// Marks a folder scan as running for as long as it lives.
class ScanGuard {
public:
    ScanGuard();
    ~ScanGuard();
    ScanGuard(const ScanGuard&) = delete;
    ScanGuard& operator=(const ScanGuard&) = delete;
};
// True while a ScanGuard lives or the installed probe reports a scan (a dialog run).
bool ScanRunning();
// A further source of "a scan runs" (the dialog's own run); empty for none.
void SetScanProbe(std::function<bool()> probe);

// Runs `work` now when no scan runs; otherwise keeps it until the last running scan has
// ended. Kept work counts as module activity (Busy).
void WhenNoScanRuns(std::function<void()> work);
// Runs kept work if no scan runs any longer (else asks the poster to try again later).
void RunPendingIfIdle();
// How kept work gets a later turn when scans end outside a ScanGuard (an event loop's
// queue); empty: the end of the last ScanGuard runs it directly.
void SetLaterPoster(std::function<void(std::function<void()>)> poster);
// True while a scan runs or kept work waits.
bool Busy();

using host::DialogServices;
using host::ShowDialogHook;

// Installs how the dialog is shown (empty: no dialog can be shown).
void SetShowDialogHook(ShowDialogHook hook);
bool HasShowDialogHook();
// Shows the dialog through the hook; raises 5 when none is installed and passes on what the
// hook raises.
void ShowDialog();

// Installs how an open dialog is closed when the add-in cleans up (empty: nothing to close).
void SetCloseDialogHook(std::function<void()> hook);
// Closes an open dialog; never raises.
void CloseDialog();

}  // namespace nubra::addin
