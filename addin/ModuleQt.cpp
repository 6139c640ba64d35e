// The dialog inside a window system: the menu command shows frmRemDuplicates, the clean-up
// closes it, and a dialog run counts as a running scan.
#include <QApplication>
#include <QPointer>
#include <QTimer>

#include "addin/AddinState.h"
#include "ui/frmRemDuplicates.h"

namespace nubra::addin {

void InstallQtDialogHooks() {
    SetShowDialogHook([](DialogServices&) {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
            RaiseError(errnum::kInvalidProcedureCall, "This host has no windows for the dialog", "Nubra");
        // Modeless and owned by no explorer window: closing one explorer must not take the
        // dialog (and a scan it runs) with it; the clean-up closes it.
        ui::frmRemDuplicates::Show(nullptr);
    });
    SetCloseDialogHook([] {
        QPointer<ui::frmRemDuplicates> dialog = ui::frmRemDuplicates::Instance();
        if (!dialog) return;
        dialog->close();
        // Gone now, not later: the module may be unloaded right after the clean-up.
        delete dialog.data();
    });
    SetScanProbe([] {
        auto* dialog = ui::frmRemDuplicates::Instance();
        return dialog && dialog->Running();
    });
    SetLaterPoster([](std::function<void()> work) {
        if (auto* app = QCoreApplication::instance()) QTimer::singleShot(50, app, std::move(work));
    });
}

}  // namespace nubra::addin
