// The client's windows on Qt: the explorer (folder list, the selected folder's items, a menu
// bar drawn from the command bars) and the read-only item window (an inspector).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QWidget>

#include "host/Events.h"
#include "host/Platform.h"
#include "standin_host/client/Client.h"

class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace nubra::store {
class Profile;
struct StoreInfo;
}

namespace nubra::client {

class HistoryWindow;
class PreviewWindow;

// Message boxes and DoEvents on Qt, for the client and the add-ins it hosts.
class ClientQtPlatform : public Platform {
public:
    int MsgBox(const std::string& prompt, int style, const std::string& title) override;
    void DoEvents() override;
    bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) override;
    // The store's lock on the folder (store::LockFolderForRun); with a profile, the run is also
    // recorded in the profile's history for as long as the lock is held, as the command line's
    // runs are.
    std::shared_ptr<void> LockFolderForRun(outlook::MAPIFolder& folder) override;
    // The profile whose runs are recorded (none: nothing is recorded).
    void SetProfile(std::shared_ptr<store::Profile> profile) { profile_ = std::move(profile); }

private:
    std::shared_ptr<store::Profile> profile_;
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

    // Reads the folder list and the selected folder's items again, keeping the selected folder
    // (else its nearest remaining parent), the selected item and the expanded folders. Runs by
    // itself once the add-in is idle after items were moved or deleted in this process, and
    // after every change the window makes.
    void RefreshViews();

    // The explorer's own commands, as its menus run them once the user has chosen (File,
    // View, Tools). Successes are told in the status bar, failures in a box.
    // Imports files and folders into the selected folder (an Outlook data file becomes a store).
    void ImportPaths(const std::vector<std::filesystem::path>& paths);
    // Exports the selected folder's items into `dir`.
    void ExportSelectedFolder(const std::filesystem::path& dir);
    // Attaches a Maildir tree as a store.
    void AddMaildir(const std::filesystem::path& dir, const std::string& name);
    // The dry run of the selected folder in a window of its own; null when none is selected.
    PreviewWindow* PreviewSelectedFolder();
    // The history of removal runs (one window, brought up again).
    HistoryWindow* ShowHistory();
    // The program the preview's dry run starts: this one, unless the host is not nubrasweep.
    void SetProgram(std::filesystem::path program) { program_ = std::move(program); }

protected:
    // Refused while an add-in is busy (a scan runs); otherwise the explorer closes as the
    // client closes it (Close event, then gone).
    void closeEvent(QCloseEvent* event) override;

private:
    void AddFolder(QTreeWidgetItem* parent, const outlook::FolderRef& folder);
    void ShowItems(const outlook::FolderRef& folder);
    void OpenItem(int index);
    void ScheduleRebuild();
    // Puts the explorer's own commands into its menus (File: Import, Export, the stores; View:
    // Refresh; Tools: Preview duplicates, History), Exit last.
    void AddOwnCommands();
    void ImportCommand();
    void ExportCommand();
    void AddMaildirCommand();
    void AddImapCommand();
    void RefreshWhenIdle();
    // False (and the user told why) while the add-in is removing duplicates.
    bool MayChangeStores();
    // The selected folder, or null after telling the user to select one.
    outlook::FolderRef SelectedFolder();
    void Report(const std::string& done, const std::vector<std::string>& problems);
    // Runs `add`, then shows the new store; `failed` heads the box when it raises.
    void AddStore(const std::string& failed, const std::function<store::StoreInfo(store::Profile&)>& add);

    // The item list's rows keep their item's entry ID under this role, to find it after a refresh.
    static constexpr int kEntryIdRole = Qt::UserRole + 2;

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
    std::vector<std::unique_ptr<Subscription>> ownClicks_;
    std::unique_ptr<Subscription> storeChanges_;
    QTimer* refreshTimer_ = nullptr;
    std::filesystem::path program_;
    QPointer<HistoryWindow> history_;
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
