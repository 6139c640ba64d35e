// The client's windows on Qt: the explorer (folder list, the selected folder's items with a
// filter box, a reading pane, a menu bar drawn from the command bars, context menus) and the
// read-only item window (an inspector).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QWidget>

#include "host/Events.h"
#include "host/Platform.h"
#include "standin_host/client/Client.h"
#include "standin_host/client/ItemView.h"

class QLabel;
class QLineEdit;
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

    // The folders of every store; a folder's node shows its name (kFolderNameRole) and, where
    // its store keeps the read state, the number of unread mail and posts ("Inbox (3)", bold).
    QTreeWidget* FolderList() const { return folders_; }
    // The selected folder's items (columns: ItemList.h), in folder order until a click on a
    // header sorts them; several can be selected.
    QTreeWidget* ItemList() const { return items_; }
    // Above the list: shows only the items whose subject, name or sender holds its text (Ctrl+F).
    QLineEdit* FilterBox() const { return filter_; }
    // Beside the list: the current item as the item window shows it; null when none is shown.
    ItemPane* ReadingPane() const { return pane_; }
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
    // View, Tools, the context menus and keys). Successes are told in the status bar, failures
    // in a box; a command on several items goes on after an item that failed and names each.
    // Imports files and folders into the selected folder (an Outlook data file becomes a store).
    void ImportPaths(const std::vector<std::filesystem::path>& paths);
    // Exports the selected folder's items into `dir`.
    void ExportSelectedFolder(const std::filesystem::path& dir);
    // Attaches a Maildir tree as a store.
    void AddMaildir(const std::filesystem::path& dir, const std::string& name);
    // The dry run of the selected folder in a window of its own, which offers to remove what it
    // found (not in a Deleted Items folder, where that would be for good); null when no folder
    // is selected.
    PreviewWindow* PreviewSelectedFolder();
    // The history of removal runs (one window, brought up again).
    HistoryWindow* ShowHistory();
    // The add-in's command, as its menu runs it (the add-in opens its dialog), then the selected
    // folder chosen in the dialog's folder tree.
    void RemoveDuplicatesInSelectedFolder();
    // Opens an item window for each selected item (Enter, double click, Open).
    void OpenSelectedItems();
    // Moves the selected items to their store's Deleted Items (OutlookItem::Delete; a connected
    // store's source follows). In a Deleted Items folder they are deleted for good, only after
    // the user confirmed that. An item that is no longer in the folder is left alone.
    void DeleteSelectedItems();
    // Moves the selected items into `destination` (OutlookItem::Move).
    void MoveSelectedItems(outlook::MAPIFolder& destination);
    // Saves every attachment of the selected items into `dir`, each file whole, never over an
    // existing file (a number is added to the name).
    void SaveSelectedAttachments(const std::filesystem::path& dir);
    // The program the preview's dry run starts: this one, unless the host is not nubrasweep.
    void SetProgram(std::filesystem::path program) { program_ = std::move(program); }

    // Where the commands ask: the folder to move items into (a folder picker) and a folder on
    // disk (Export..., Save attachments...); replaced by tests. Null or empty cancels.
    std::function<outlook::FolderRef(QWidget* parent)> chooseFolder;
    std::function<QString(QWidget* parent, const QString& caption)> chooseDirectory;

protected:
    // Refused while an add-in is busy (a scan runs); otherwise the explorer closes as the
    // client closes it (Close event, then gone).
    void closeEvent(QCloseEvent* event) override;
    // Enter and Delete on the item list.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowItems(const outlook::FolderRef& folder);
    void OpenItem(const QString& entryId);
    void ShowCurrentItem();
    void ApplyFilter();
    void FolderMenu(const QPoint& at);
    void ItemMenu(const QPoint& at);
    void ScheduleRebuild();
    // Puts the explorer's own commands into its menus (File: Import, Export, the stores; View:
    // Refresh; Tools: Preview duplicates, History), Exit last.
    void AddOwnCommands();
    void ImportCommand();
    void ExportCommand();
    void AddMaildirCommand();
    void AddVdirCommand();
    void AddImapCommand();
    void AddDavCommand();
    void MoveCommand();
    void SaveAttachmentsCommand();
    void RefreshWhenIdle();
    // False (and the user told why) while the add-in is removing duplicates.
    bool MayChangeStores();
    // The selected folder, or null after telling the user to select one.
    outlook::FolderRef SelectedFolder();
    // The selected rows the filter shows, top to bottom.
    std::vector<QTreeWidgetItem*> SelectedRows() const;
    // Runs `act` on each selected item, found again by its entry ID; returns how many went
    // well and adds "subject: why" to `problems` for each that failed.
    size_t ForEachSelectedItem(const std::function<void(outlook::OutlookItem&)>& act,
                               std::vector<std::string>& problems);
    void Report(const std::string& done, const std::vector<std::string>& problems);
    // Runs `add`, then shows the new store; `failed` heads the box when it raises.
    void AddStore(const std::string& failed, const std::function<store::StoreInfo(store::Profile&)>& add);

    Client& client_;
    std::shared_ptr<ExplorerImpl> explorer_;
    QTreeWidget* folders_ = nullptr;
    QTreeWidget* items_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QLabel* count_ = nullptr;
    QWidget* reading_ = nullptr;
    QLabel* readingHint_ = nullptr;
    QPointer<ItemPane> pane_;
    QString paneEntryId_;  // the item pane_ shows
    std::vector<outlook::FolderRef> folderRefs_;
    outlook::FolderRef current_;
    // Stores (by StoreID) that keep their items' read state: stores of our own.
    std::set<std::string> keepReadState_;
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

// One item in a window of its own (an ItemPane), counting among the client's inspectors while
// open; Esc and Ctrl+W close it.
class InspectorWindow : public QWidget {
    Q_OBJECT
public:
    InspectorWindow(Client& client, outlook::ItemRef item);

    ItemPane* Pane() const { return pane_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Client& client_;
    std::shared_ptr<InspectorImpl> inspector_;
    ItemPane* pane_ = nullptr;
};

// `nubrasweep gui`: the client with its explorer over `profile` and the registered add-ins,
// until the last window closes.
int RunExplorerApplication(const std::shared_ptr<store::Profile>& profile, int argc, char** argv);

}  // namespace nubra::client
