// The dialog on Windows: the menu command shows the Win32 frmRemDuplicates, the clean-up
// destroys it, and a dialog run counts as a running scan. Everything runs on the client's
// window thread, where the module's objects are called.
#include <windows.h>

#include <functional>
#include <map>

#include "addin/AddinState.h"
#include "ui/win/frmRemDuplicates.h"

namespace nubra::addin {

namespace {

// Work that waits for a later turn of the message loop, by timer.
std::map<UINT_PTR, std::function<void()>>& LaterWork() {
    static std::map<UINT_PTR, std::function<void()>> work;
    return work;
}

void CALLBACK RunLater(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    auto& pending = LaterWork();
    auto it = pending.find(id);
    if (it == pending.end()) return;
    auto work = std::move(it->second);
    pending.erase(it);
    if (work) work();
}

}  // namespace

void InstallWin32DialogHooks() {
    SetShowDialogHook([](DialogServices&) {
        // Modeless and owned by no explorer window: closing one explorer must not take the
        // dialog (and a scan it runs) with it; the clean-up closes it.
        ui::win::frmRemDuplicates::Show(nullptr);
    });
    SetCloseDialogHook([] {
        // Gone now, not later: the module may be unloaded right after the clean-up, and with it
        // the window class's procedure.
        ui::win::frmRemDuplicates::DestroyLoaded();
    });
    SetScanProbe([] {
        auto* dialog = ui::win::frmRemDuplicates::Instance();
        return dialog && dialog->Running();
    });
    SetLaterPoster([](std::function<void()> work) {
        const UINT_PTR id = SetTimer(nullptr, 0, 50, &RunLater);
        if (id != 0) LaterWork()[id] = std::move(work);
    });
}

}  // namespace nubra::addin
