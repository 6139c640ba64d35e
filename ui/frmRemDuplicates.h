// The duplicate-removal dialog: a modeless single-instance window listing the folders of all
// open stores, running the folder scan on the chosen one with a progress bar and reporting
// the outcome; two further pages explain the matching and show the product's version and
// links.
#pragma once

#include <memory>
#include <string>

#include <QLabel>
#include <QPointer>
#include <QWidget>

#include "ui/RemovalDialog.h"

class QFrame;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace nubra::ui {

class QtProgressBar;
class QtTreeNodes;

// A label that acts as a link: pointing hand, clicked() on a left-button release inside it.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(const QString& text, QWidget* parent = nullptr);
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The window on Qt Widgets; what its events do is RemovalDialog's.
class frmRemDuplicates : public QWidget, private DialogFace {
    Q_OBJECT
public:
    // Loads the dialog when it is not loaded (Form_Load, then shown), else brings the loaded
    // one to the front. `owner` (optional) keeps the window above the host's main window.
    static frmRemDuplicates* Show(QWidget* owner = nullptr);
    // The loaded dialog, or null.
    static frmRemDuplicates* Instance();

    ~frmRemDuplicates() override;

    // Event handlers. Public so that hosts and tests can raise the events.
    void Form_Load();
    void cmdRemDups_Click();
    void cmdClose_Click();
    void Form_Unload();
    void lblShowHelp_Click();
    void lblAmbrelLite_Click();
    void lblQuorel_Click();
    void lblQuorel2_Click();
    void TreeView1_NodeClick();

    // Set while no run is under way (after loading and after every run).
    bool Ready() const { return core_->Ready(); }
    // True from the press of the run button until the run has finished.
    bool Running() const { return core_->Running(); }

    QtTreeNodes& Nodes() const { return *nodes_; }
    const FolderTree& Tree() const { return core_->Tree(); }
    QtProgressBar& ProgBar() const { return *progBar_; }

    static std::string VersionText(int major, int minor, int revision) {
        return RemovalDialog::VersionText(major, minor, revision);
    }
    static std::string ModuleVersion() { return RemovalDialog::ModuleVersion(); }
    static std::string MakerUrl() { return RemovalDialog::MakerUrl(); }
    static std::string HelpPage() { return RemovalDialog::HelpPage(); }

protected:
    // A close request from the window frame is refused while a run is under way: the scan
    // still writes to the progress bar and walks the folder.
    void closeEvent(QCloseEvent* event) override;

private:
    explicit frmRemDuplicates(QWidget* owner);
    QWidget* BuildRemovePage();
    QWidget* BuildExplainPage();
    QWidget* BuildAboutPage();

    // DialogFace
    void EnableRunButton(bool enabled) override;
    void EnableCloseButton(bool enabled) override;
    void SetCloseCaption(const std::string& text) override;
    void ShowFirstPage() override;
    void ShowStatus(bool visible) override;
    void SetStatusText(const std::string& text) override;
    void SetVersionText(const std::string& text) override;
    void ShowBusyPointer(bool busy) override;
    const TreeNode* SelectedNode() const override;

    // Controls, named as their objectName.
    QTabWidget* SSTab1 = nullptr;
    QLabel* lblExplain = nullptr;
    QLabel* lblExplain2 = nullptr;
    QLabel* lblSelect = nullptr;
    QTreeWidget* TreeView1 = nullptr;
    QProgressBar* ProgBarWidget = nullptr;
    QLabel* lblBusy = nullptr;
    QPushButton* cmdRemDups = nullptr;
    QPushButton* cmdClose = nullptr;
    QLabel* lblVersionInfo = nullptr;
    QLabel* lblAd = nullptr;
    LinkLabel* lblAmbrelLite = nullptr;

    std::unique_ptr<QtTreeNodes> nodes_;
    // Shared with a running scan, which must never write into a destroyed bar.
    std::shared_ptr<QtProgressBar> progBar_;
    // Shared with a running scan, which outlives the window when it is destroyed meanwhile.
    std::shared_ptr<RemovalDialog> core_;

    static QPointer<frmRemDuplicates> instance_;
};

}  // namespace nubra::ui
