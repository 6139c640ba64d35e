// The client's windows on Qt: the explorer (folder list, the selected folder's items, a menu
// bar drawn from the command bars) and the read-only item window (an inspector).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QMainWindow>
#include <QWidget>

#include "host/Events.h"
#include "host/Platform.h"
#include "standin_host/client/Client.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace nubra::store {
class Profile;
}

namespace nubra::client {

// Message boxes and DoEvents on Qt, for the client and the add-ins it hosts.
class ClientQtPlatform : public Platform {
public:
    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    void DoEvents() override;
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override;
    // The store's lock on the folder (store::LockFolderForRun).
    std::shared_ptr<void> LockFolderForRun(outlook::MAPIFolder& folder) override;
};

class ExplorerWindow : public QMainWindow {
    Q_OBJECT
public:
    // `client` (observed) must outlive the window.
    ExplorerWindow(Client& client, std::shared_ptr<ExplorerImpl> explorer);
    ~ExplorerWindow() override;

    QTreeWidget* FolderList() const { return folders_; }
    // The selected folder's items; column 0 shows a paper clip for items with attachments.
    QTreeWidget* ItemList() const { return items_; }
    // Draws the menu bar from the command bars now (it is otherwise redrawn after changes).
    void RebuildMenu();
    // Fills the folder list from the namespace.
    void FillFolders();

protected:
    // Refused while an add-in is busy (a scan runs); otherwise the explorer closes as the
    // client closes it (Close event, then gone).
    void closeEvent(QCloseEvent* event) override;

private:
    void AddFolder(QTreeWidgetItem* parent, const outlook::FolderRef& folder);
    void ShowItems(const outlook::FolderRef& folder);
    void OpenItem(int index);
    void ScheduleRebuild();

    Client& client_;
    std::shared_ptr<ExplorerImpl> explorer_;
    QTreeWidget* folders_ = nullptr;
    QTreeWidget* items_ = nullptr;
    std::vector<outlook::FolderRef> folderRefs_;
    outlook::FolderRef current_;
    std::unique_ptr<Subscription> changed_;
    std::unique_ptr<Subscription> exitClick_;
    std::unique_ptr<Subscription> aboutClick_;
    bool rebuildPending_ = false;
    bool closing_ = false;
};

// Shows one item, read-only, with the files attached to it (name, type, size), each of which
// can be saved to a file the user chooses; counts among the client's inspectors while open.
class InspectorWindow : public QWidget {
    Q_OBJECT
public:
    InspectorWindow(Client& client, outlook::ItemRef item);

    // The list of attachments (columns: name, type, size), in the item's order.
    QTreeWidget* AttachmentList() const { return attachments_; }
    // Asks for a file (the chooser below, given the suggested name) and writes attachment
    // `index` there whole or not at all; a failure is shown in a box. False when nothing was
    // written (cancelled or failed).
    bool SaveAttachment(int index);
    // Where SaveAttachment asks for the file: a save dialog unless replaced (tests). An empty
    // result cancels.
    std::function<QString(QWidget* parent, const QString& suggestedName)> chooseFile;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Client& client_;
    std::shared_ptr<InspectorImpl> inspector_;
    outlook::ItemRef item_;
    QTreeWidget* attachments_ = nullptr;
};

// `nubrasweep gui`: the client with its explorer over `profile` and the registered add-ins,
// until the last window closes.
int RunExplorerApplication(const std::shared_ptr<store::Profile>& profile, int argc, char** argv);

}  // namespace nubra::client
