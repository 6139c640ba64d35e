#include "ui/RemovalDialog.h"

#include <exception>
#include <new>

#include "globals/NubraGlobals.h"
#include "host/Platform.h"
#include "ui/RemovalRun.h"

#ifndef NUBRA_VERSION_MAJOR
#define NUBRA_VERSION_MAJOR 0
#endif
#ifndef NUBRA_VERSION_MINOR
#define NUBRA_VERSION_MINOR 0
#endif
#ifndef NUBRA_VERSION_REVISION
#define NUBRA_VERSION_REVISION 0
#endif
#ifndef NUBRA_MAKER_URL
#define NUBRA_MAKER_URL ""
#endif

namespace nubra::ui {

namespace {

// A failure of any kind as the pending error: what the contracts raise keeps its number;
// anything else is named as the run-time would name it.
void SetPending(const std::exception& e) {
    if (auto* a = dynamic_cast<const AutomationError*>(&e)) {
        Err().Set(*a);
    } else if (dynamic_cast<const std::bad_alloc*>(&e)) {
        Err().Set(AutomationError(errnum::kOutOfMemory, DefaultErrorDescription(errnum::kOutOfMemory)));
    } else {
        Err().Set(AutomationError(errnum::kMapiCallFailed, e.what()));
    }
}

void ReportError(const char* procedure) {
    if (goErrHandler) goErrHandler->HandleError(procedure);
}

void WriteToLog(const std::string& text) {
    if (!goLog) RaiseError(errnum::kObjectVariableNotSet);
    goLog->WriteToLog(text);
}

// Shows the busy pointer for as long as it lives (and its face does).
class BusyPointer {
public:
    explicit BusyPointer(DialogFace* const& face) : face_(face) {
        if (face_) face_->ShowBusyPointer(true);
    }
    ~BusyPointer() {
        if (face_) face_->ShowBusyPointer(false);
    }
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;

private:
    DialogFace* const& face_;
};

}  // namespace

RemovalDialog::RemovalDialog(DialogFace& face, TreeNodes& nodes, std::shared_ptr<ProgressBar> bar)
    : face_(&face), tree_(nodes), bar_(std::move(bar)) {}

void RemovalDialog::Detach() { face_ = nullptr; }

void RemovalDialog::Load() {
    // Message boxes of the fill let the window's owner destroy it meanwhile.
    const auto keep = shared_from_this();
    try {
        WriteToLog("frmRemDuplicates.Form_load: Form loaded");
        if (!face_) return;
        face_->EnableRunButton(false);
        face_->SetCloseCaption("Close");
        face_->ShowFirstPage();
        face_->ShowStatus(false);
        face_->SetVersionText(ModuleVersion());
        {
            // Restored on every path: the pointer is the whole application's.
            BusyPointer busy(face_);
            tree_.FillTreeView();
        }
        ready_ = true;
    } catch (const std::exception& e) {
        SetPending(e);
        ReportError("frmRemDuplicates.Form_load");
    }
}

void RemovalDialog::RunClicked() {
    if (running_ || !face_) return;
    running_ = true;
    // The scan lets the interface run; whoever owns the window could destroy it meanwhile.
    // This logic and the bar outlive it, and nothing of the window is touched once it is gone.
    const auto keep = shared_from_this();
    outlook::FolderRef folder;
    auto finish = [&] {
        ready_ = true;
        if (bar_->Min() <= 0 && bar_->Max() >= 0) bar_->SetValue(0);
        face_->EnableCloseButton(true);
        face_->EnableRunButton(true);
    };
    try {
        face_->EnableCloseButton(false);
        face_->EnableRunButton(false);

        const TreeNode* node = face_->SelectedNode();
        if (!node) RaiseError(errnum::kObjectVariableNotSet);
        // The very first node counts as no selection.
        if (node->Index() > 1) {
            folder = FolderOfNode(tree_, *node);
            face_->ShowStatus(true);
            RemovalRun run(
                [this](const std::string& text) {
                    if (face_) face_->SetStatusText(text);
                },
                [this](bool scanning) { ready_ = !scanning; });
            run.Run(folder, *bar_);
        } else {
            ThePlatform().MsgBox("You have not made a selection. Please select a folder from the list",
                                 vbInformation, gsAppTitle);
        }
        if (face_) {
            face_->EnableCloseButton(true);
            face_->EnableRunButton(true);
        }
    } catch (const std::exception& e) {
        SetPending(e);
        folder.reset();
        ReportError("frmRemDuplicates.cmdRemDups_Click");
        // A failed run must leave the dialog usable: ready, bar back at 0, both buttons on.
        if (face_) {
            try {
                finish();
            } catch (const std::exception&) {
            }
        }
    }
    folder.reset();
    running_ = false;
}

void RemovalDialog::NodeClicked() {
    if (!face_) return;
    face_->ShowStatus(false);
    if (ready_) face_->EnableRunButton(true);
}

void RemovalDialog::LinkClicked(DialogLink link) {
    static constexpr const char* kProcedures[] = {
        "frmRemDuplicates.lblShowHelp_Click", "frmRemDuplicates.lblAmbrelLite_Click",
        "frmRemDuplicates.lblQuorel_Click", "frmRemDuplicates.lblQuorel2_Click"};
    // A failure here (the browser's look-up file cannot be written) must not end the host.
    try {
        OpenInDefaultBrowser(link == DialogLink::ShowHelp ? HelpPage() : MakerUrl());
    } catch (const std::exception& e) {
        SetPending(e);
        ReportError(kProcedures[static_cast<int>(link)]);
    }
}

std::string RemovalDialog::VersionText(int major, int minor, int revision) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision);
}

std::string RemovalDialog::ModuleVersion() {
    return VersionText(NUBRA_VERSION_MAJOR, NUBRA_VERSION_MINOR, NUBRA_VERSION_REVISION);
}

std::string RemovalDialog::MakerUrl() { return NUBRA_MAKER_URL; }

std::string RemovalDialog::HelpPage() { return AddinModuleFolder() + "/Nubra_help.htm"; }

}  // namespace nubra::ui
