// The duplicate-removal dialog without its window: what loading it, clicking a folder, pressing
// "Remove duplicate items" and following a link do, in the order and with the texts and error
// reports every window toolkit's dialog shares. A toolkit's dialog gives its controls through
// DialogFace and forwards its events here.
#pragma once

#include <memory>
#include <string>

#include "host/Controls.h"
#include "ui/FolderTree.h"

namespace nubra::ui {

// What the shared logic changes on a dialog's window. Every member runs on the window's thread.
class DialogFace {
public:
    virtual ~DialogFace() = default;
    virtual void EnableRunButton(bool enabled) = 0;
    virtual void EnableCloseButton(bool enabled) = 0;
    virtual void SetCloseCaption(const std::string& text) = 0;
    virtual void ShowFirstPage() = 0;
    virtual void ShowStatus(bool visible) = 0;
    // Sets the status text and paints it at once: a scan keeps the window's messages waiting.
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetVersionText(const std::string& text) = 0;
    // The busy mouse pointer on (true) or back to what it was (false).
    virtual void ShowBusyPointer(bool busy) = 0;
    // The node the tree shows selected; null when none.
    virtual const TreeNode* SelectedNode() const = 0;
};

// The dialog's links, each opening its page in the default browser.
enum class DialogLink { ShowHelp, AmbrelLite, Quorel, Quorel2 };

class RemovalDialog : public std::enable_shared_from_this<RemovalDialog> {
public:
    // `face` and `nodes` belong to the window and are observed until Detach; the bar is
    // shared with a running scan, which must never write into a destroyed one. Made through
    // std::make_shared: a run keeps the logic alive when its window goes meanwhile.
    RemovalDialog(DialogFace& face, TreeNodes& nodes, std::shared_ptr<ProgressBar> bar);

    // The window is going: from now on nothing of it is touched (a run under way ends on the
    // bar alone).
    void Detach();

    // Form_Load: run button off, Close captioned, first page, status hidden, version shown,
    // the tree filled under the busy pointer; then ready. A failure is reported through the
    // error handler as "frmRemDuplicates.Form_load"; the dialog stays open.
    void Load();
    // cmdRemDups_Click: the selected node's folder scanned (the first node counts as no
    // selection: the user is told so), both buttons off meanwhile. Ignored while a run is
    // under way. A failure is reported as "frmRemDuplicates.cmdRemDups_Click" and leaves the
    // dialog ready, the bar at 0 and both buttons on.
    void RunClicked();
    // TreeView1_NodeClick: status hidden; the run button on unless a scan runs.
    void NodeClicked();
    // A link's click: its page opened; a failure reported as the link's procedure, never raised.
    static void LinkClicked(DialogLink link);

    // Set while no run is under way (after loading and after every run).
    bool Ready() const { return ready_; }
    // True from the press of the run button until the run has finished.
    bool Running() const { return running_; }
    // A window may close only while no run is under way: the scan still writes to the bar
    // and walks the folder.
    bool MayClose() const { return !running_; }
    const FolderTree& Tree() const { return tree_; }
    ProgressBar& Bar() const { return *bar_; }

    // "major.minor.revision" in plain decimal.
    static std::string VersionText(int major, int minor, int revision);
    // The module's version as the About page shows it (the build's version definitions).
    static std::string ModuleVersion();
    // The maker's web page, opened by the three link labels.
    static std::string MakerUrl();
    // The help page: Nubra_help.htm in the folder of the add-in's module.
    static std::string HelpPage();

private:
    DialogFace* face_;
    FolderTree tree_;
    std::shared_ptr<ProgressBar> bar_;
    bool ready_ = false;
    bool running_ = false;
};

}  // namespace nubra::ui
