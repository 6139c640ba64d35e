// The explorer's own commands and the refresh of its views (ExplorerWindow members kept apart
// from the window's construction and drawing).
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "host/AutomationDates.h"
#include "standin_host/client/ExplorerWindow.h"
#include "standin_host/client/HistoryWindow.h"
#include "standin_host/client/ItemList.h"
#include "standin_host/client/ItemView.h"
#include "standin_host/client/PreviewWindow.h"
#include "standin_host/client/StoreDialogs.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/connected/Connected.h"
#include "standin_host/formats/Attachments.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/store/Application.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/Profile.h"

namespace nubra::client {

namespace {

namespace fs = std::filesystem;

// Ids of the explorer's own commands (the add-in looks for none of them).
constexpr int32_t kImport = 31001, kExport = 31002, kAddMaildir = 31003, kAddImap = 31004, kRefresh = 31005,
                  kPreview = 31006, kHistory = 31007, kAddVdir = 31008, kAddDav = 31009;

// A box shows this many lines of a long list, then says how many more there are.
constexpr size_t kMaxListedProblems = 40;

std::string FolderKey(outlook::MAPIFolder& folder) { return folder.StoreID() + "/" + folder.EntryID(); }

// Shows a wait cursor while it lives.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

std::string Items(size_t n) { return std::to_string(n) + " item" + (n == 1 ? "" : "s"); }

// "2 of 3 items" when some failed, else "3 items".
std::string ItemsOf(size_t done, size_t of) {
    return done == of ? Items(of) : std::to_string(done) + " of " + Items(of);
}

// True when `folder` is a store's Deleted Items, where OutlookItem::Delete removes for good.
// Two stores of one name give one path for both: a folder at either path counts, so that a
// deletion for good is never taken for a move.
bool IsDeletedItems(store::Profile& profile, outlook::MAPIFolder& folder) {
    const auto paths = profile.DeletedItemsPaths();
    return std::find(paths.begin(), paths.end(), profile.FolderPath(folder)) != paths.end();
}

// The node of the add-in dialog's folder tree for `path` (names from the store down, the
// n-th of equal names standing for the n-th such folder), or null.
QTreeWidgetItem* DialogNode(QTreeWidget& tree, const std::vector<std::pair<QString, int>>& path) {
    QTreeWidgetItem* node = nullptr;
    for (const auto& [name, ordinal] : path) {
        QTreeWidgetItem* found = nullptr;
        const int count = node ? node->childCount() : tree.topLevelItemCount();
        for (int i = 0, seen = 0; i < count && !found; ++i) {
            QTreeWidgetItem* child = node ? node->child(i) : tree.topLevelItem(i);
            if (child->text(0) == name && seen++ == ordinal) found = child;
        }
        if (!(node = found)) return nullptr;
    }
    return node;
}

}  // namespace

void ExplorerWindow::AddOwnCommands() {
    auto bar = explorer_->MenuBar();
    if (!bar) return;
    auto popup = [&](int32_t id) { return std::dynamic_pointer_cast<CommandBarControlImpl>(bar->FindControlById(id)); };
    struct Own {
        int32_t menu, id;
        const char* caption;
        const char* tag;
        std::function<void()> run;
    };
    const Own commands[] = {
        {builtin::kFile, kImport, "&Import...", "ImportItems", [this] { ImportCommand(); }},
        {builtin::kFile, kExport, "&Export...", "ExportFolder", [this] { ExportCommand(); }},
        {builtin::kFile, kAddMaildir, "Add &Maildir...", "AddMaildir", [this] { AddMaildirCommand(); }},
        {builtin::kFile, kAddImap, "Add IM&AP account...", "AddImapAccount", [this] { AddImapCommand(); }},
        {builtin::kFile, kAddVdir, "Add &vdir folder...", "AddVdir", [this] { AddVdirCommand(); }},
        {builtin::kFile, kAddDav, "Add address book/&calendar account...", "AddDavAccount", [this] { AddDavCommand(); }},
        {builtin::kView, kRefresh, "&Refresh", "RefreshViews", [this] { RefreshViews(); }},
        {builtin::kTools, kPreview, "&Preview duplicates...", "PreviewDuplicates", [this] { PreviewSelectedFolder(); }},
        {builtin::kTools, kHistory, "&History...", "RemovalHistory", [this] { ShowHistory(); }},
    };
    using C = outlook::CommandBarControl;
    for (const auto& c : commands) {
        auto menu = popup(c.menu);
        if (!menu || !menu->Children()) continue;
        auto control = menu->Children()->AddBuiltIn(C::msoControlButton, c.id, c.caption);
        control->SetTag(c.tag);
        ownClicks_.push_back(control->Click().Subscribe([run = c.run](C&, bool&) { run(); }));
    }
    // Exit stays the last command of File.
    if (auto file = popup(builtin::kFile); file && file->Children()) {
        const auto items = file->Children()->Items();
        for (const auto& c : items) {
            if (c->Id() != builtin::kExit) continue;
            const std::string caption = c->Caption();
            c->Delete();
            file->Children()->AddBuiltIn(C::msoControlButton, builtin::kExit, caption);
            break;
        }
    }
}

bool ExplorerWindow::MayChangeStores() {
    if (!client_.Busy()) return true;
    ShowPlainBox(this, QMessageBox::Information, QString::fromLatin1(kClientTitle),
                 "Duplicate items are being removed. Try again when the add-in has finished.");
    return false;
}

outlook::FolderRef ExplorerWindow::SelectedFolder() {
    if (!current_)
        ShowPlainBox(this, QMessageBox::Information, QString::fromLatin1(kClientTitle), "Select a folder first.");
    return current_;
}

void ExplorerWindow::Report(const std::string& done, const std::vector<std::string>& problems) {
    statusBar()->showMessage(QString::fromStdString(done));
    if (problems.empty()) return;
    std::string text = done;
    for (size_t i = 0; i < problems.size() && i < kMaxListedProblems; ++i) text += (i ? "\n" : "\n\n") + problems[i];
    if (problems.size() > kMaxListedProblems)
        text += "\n... and " + std::to_string(problems.size() - kMaxListedProblems) + " more";
    ShowPlainBox(this, QMessageBox::Warning, QString::fromLatin1(kClientTitle), text);
}

void ExplorerWindow::RefreshWhenIdle() {
    if (closing_) return;
    // A scan yields to the window while it runs: its folder is read again once it is done.
    if (client_.Busy()) {
        refreshTimer_->start(250);
        return;
    }
    RefreshViews();
}

void ExplorerWindow::RefreshViews() {
    refreshTimer_->stop();
    store::SeeChangesElsewhereNow();  // another process may have changed a store a moment ago
    auto keyOf = [this](QTreeWidgetItem* node) -> std::string {
        auto folder = FolderOfNode(node, folderRefs_);
        try {
            return folder ? FolderKey(*folder) : std::string();
        } catch (const AutomationError&) {
            return {};
        }
    };
    // The selected folder, then its parents: the nearest one still there is selected again.
    std::vector<std::string> selected;
    for (auto* node = folders_->currentItem(); node; node = node->parent()) selected.push_back(keyOf(node));
    std::set<std::string> expanded;
    for (QTreeWidgetItemIterator it(folders_); *it; ++it)
        if ((*it)->isExpanded()) expanded.insert(keyOf(*it));
    const auto* row = items_->currentItem();
    const QString item = row ? row->data(0, kEntryIdRole).toString() : QString();
    const int scroll = items_->verticalScrollBar()->value();

    {
        const QSignalBlocker quiet(folders_);
        FillFolders();
    }
    std::map<std::string, QTreeWidgetItem*> nodes;
    for (QTreeWidgetItemIterator it(folders_); *it; ++it) {
        const std::string key = keyOf(*it);
        nodes[key] = *it;
        if (expanded.count(key)) (*it)->setExpanded(true);
    }
    for (size_t i = 0; i < selected.size(); ++i) {
        auto found = nodes.find(selected[i]);
        if (found == nodes.end()) continue;
        folders_->setCurrentItem(found->second);  // shows its items
        if (i > 0) return;                        // another folder: nothing of the old list to keep
        for (int r = 0; r < items_->topLevelItemCount(); ++r) {
            if (items_->topLevelItem(r)->data(0, kEntryIdRole).toString() == item && !item.isEmpty()) {
                items_->setCurrentItem(items_->topLevelItem(r));
                break;
            }
        }
        items_->verticalScrollBar()->setValue(scroll);
        return;
    }
    // The folder is gone with all its parents (a store was removed), or none was selected.
    current_.reset();
    items_->clear();
    ApplyFilter();
    ShowCurrentItem();
    setWindowTitle(QStringLiteral("Nubrasweep client"));
}

void ExplorerWindow::ImportCommand() {
    auto folder = SelectedFolder();
    if (!folder) return;
    ImportDialog dialog(this, client_.App()->GetProfile()->FolderPath(*folder));
    if (dialog.exec() == QDialog::Accepted) ImportPaths(dialog.Paths());
}

void ExplorerWindow::ImportPaths(const std::vector<fs::path>& paths) {
    if (!MayChangeStores()) return;
    auto& profile = *client_.App()->GetProfile();
    std::vector<fs::path> files, dataFiles;
    for (const auto& p : paths) (formats::DetectKind(p) == formats::FileKind::Pst ? dataFiles : files).push_back(p);
    outlook::FolderRef folder;
    if (!files.empty() && !(folder = SelectedFolder())) return;

    std::vector<std::string> done, problems;
    {
        const WaitCursor wait;
        Date clock = dates::LocalToUtc(dates::Now());  // for items that carry no creation time
        if (!files.empty()) {
            try {
                const std::string path = profile.FolderPath(*folder);
                formats::ImportOptions options;
                options.importClock = &clock;
                const auto result = formats::ImportFiles(profile, *folder, files, options);
                done.push_back("Imported " + Items(result.items) + " into " + path + ".");
                for (const auto& w : result.warnings) problems.push_back("Warning: " + w);
                for (const auto& e : result.failures) problems.push_back(e.Description());
            } catch (const AutomationError& e) {
                problems.push_back(e.Description());
            }
        }
        for (const auto& file : dataFiles) {
            try {
                formats::PstImportOptions options;
                options.importClock = &clock;
                const auto result = formats::ImportPst(profile, file, options);
                done.push_back("Store " + result.storeDisplayName + ": " + std::to_string(result.folders) +
                               " folders, " + Items(result.items) + " from " + file.string() + ".");
                for (const auto& w : result.warnings) problems.push_back("Warning: " + file.string() + ": " + w);
                for (const auto& s : result.skipped) problems.push_back(file.string() + ": not read: " + s);
            } catch (const AutomationError& e) {
                problems.push_back(e.Description());
            }
        }
    }
    RefreshViews();
    std::string summary;
    for (const auto& d : done) summary += (summary.empty() ? "" : " ") + d;
    Report(summary.empty() ? "Nothing was imported." : summary, problems);
}

void ExplorerWindow::ExportCommand() {
    if (!SelectedFolder()) return;
    const QString dir = chooseDirectory ? chooseDirectory(this, QStringLiteral("Export into")) : QString();
    if (!dir.isEmpty()) ExportSelectedFolder(dir.toStdString());
}

void ExplorerWindow::ExportSelectedFolder(const fs::path& dir) {
    auto folder = SelectedFolder();
    if (!folder) return;
    auto& profile = *client_.App()->GetProfile();
    try {
        const WaitCursor wait;
        const auto result = formats::Export(profile, *folder, dir);
        Report("Exported " + Items(result.items) + " of " + profile.FolderPath(*folder) + " into " + dir.string() +
                   " (" + std::to_string(result.files.size()) + " file" + (result.files.size() == 1 ? "" : "s") +
                   ").",
               {});
    } catch (const AutomationError& e) {
        Report("Nothing was exported.", {e.Description()});
    }
}

void ExplorerWindow::AddMaildirCommand() {
    AddTreeDialog dialog(this, QStringLiteral("Maildir"),
                         QStringLiteral("The mail stays where it is: duplicates are moved inside the Maildir."),
                         QStringLiteral("~/Maildir"));
    if (dialog.exec() == QDialog::Accepted) AddMaildir(dialog.Folder(), dialog.Name());
}

void ExplorerWindow::AddVdirCommand() {
    AddTreeDialog dialog(this, QStringLiteral("vdir folder"),
                         QStringLiteral("Address books and calendars stay where they are: duplicates are moved into a "
                                        "Nubra_Duplicate_Items folder inside each, which your programs do not read."),
                         QStringLiteral("~/.contacts"));
    if (dialog.exec() != QDialog::Accepted) return;
    AddStore("The vdir folder was not added.", [&](store::Profile& profile) {
        return connected::AddVdirStore(profile, dialog.Folder(), dialog.Name());
    });
}

void ExplorerWindow::AddMaildir(const fs::path& dir, const std::string& name) {
    AddStore("The Maildir was not added.",
             [&](store::Profile& profile) { return connected::AddMaildirStore(profile, dir, name); });
}

void ExplorerWindow::AddImapCommand() {
    AddImapDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    AddStore("The account was not added.", [&](store::Profile& profile) {
        return connected::AddImapStore(profile, dialog.Account(), dialog.Name(), dialog.Password());
    });
}

void ExplorerWindow::AddDavCommand() {
    AddDavDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    AddStore("The account was not added.", [&](store::Profile& profile) {
        return connected::AddDavStore(profile, dialog.Account(), dialog.Name(), dialog.Password());
    });
}

void ExplorerWindow::AddStore(const std::string& failed, const std::function<store::StoreInfo(store::Profile&)>& add) {
    if (!MayChangeStores()) return;
    auto& profile = *client_.App()->GetProfile();
    const size_t warned = profile.Warnings().size();  // those of opening the profile were shown already
    store::StoreInfo info;
    try {
        const WaitCursor wait;
        info = add(profile);
    } catch (const AutomationError& e) {
        Report(failed, {e.Description()});
        return;
    }
    RefreshViews();
    const auto& warnings = profile.Warnings();
    Report("Store " + info.displayName + " (" + info.kindText + ", " + info.source + ") is in the profile.",
           std::vector<std::string>(warnings.begin() + static_cast<std::ptrdiff_t>(warned), warnings.end()));
}

PreviewWindow* ExplorerWindow::PreviewSelectedFolder() {
    auto folder = SelectedFolder();
    if (!folder) return nullptr;
    auto profile = client_.App()->GetProfile();
    auto* preview = new PreviewWindow(this, program_, profile->Directory(), profile->FolderPath(*folder));
    if (IsDeletedItems(*profile, *folder)) {
        preview->RefuseRemoval("Not here: a duplicate that cannot be moved would be deleted for good in Deleted Items.");
    } else {
        QPointer<ExplorerWindow> self(this);
        preview->OfferRemoval([self] { return self && self->MayChangeStores(); },
                              [self] {
                                  if (self) self->RefreshViews();
                              });
    }
    preview->show();
    return preview;
}

HistoryWindow* ExplorerWindow::ShowHistory() {
    if (!history_) {
        history_ = new HistoryWindow(
            this, client_.App()->GetProfile(), [this] { return MayChangeStores(); }, [this] { RefreshViews(); });
        history_->setAttribute(Qt::WA_DeleteOnClose);
    }
    history_->show();
    history_->raise();
    history_->activateWindow();
    return history_;
}

void ExplorerWindow::FolderMenu(const QPoint& at) {
    QTreeWidgetItem* node = folders_->itemAt(at);
    if (!node) return;
    folders_->setCurrentItem(node);  // the commands work on the selected folder
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("FolderMenu"));
    QAction* remove = menu.addAction(QStringLiteral("&Remove duplicate items..."), this,
                                     [this] { RemoveDuplicatesInSelectedFolder(); });
    remove->setEnabled(FindControlDeep(*explorer_->MenuBar(), kAddinCommandTag) != nullptr);
    menu.addAction(QStringLiteral("&Preview duplicates..."), this, [this] { PreviewSelectedFolder(); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("&Export..."), this, [this] { ExportCommand(); });
    menu.exec(folders_->viewport()->mapToGlobal(at));
}

void ExplorerWindow::ItemMenu(const QPoint& at) {
    QTreeWidgetItem* row = items_->itemAt(at);
    if (!row) return;
    // A click on a row outside the selection works on that row alone.
    if (!row->isSelected()) items_->setCurrentItem(row);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("ItemMenu"));
    menu.addAction(QStringLiteral("&Open"), this, [this] { OpenSelectedItems(); });
    menu.addAction(QStringLiteral("&Move to..."), this, [this] { MoveCommand(); });
    menu.addAction(QStringLiteral("&Delete"), this, [this] { DeleteSelectedItems(); });
    menu.addSeparator();
    // Offered whatever the list's marks say: a connected store's cache knows only the headers.
    menu.addAction(QStringLiteral("&Save attachments..."), this, [this] { SaveAttachmentsCommand(); });
    menu.exec(items_->viewport()->mapToGlobal(at));
}

std::vector<QTreeWidgetItem*> ExplorerWindow::SelectedRows() const {
    std::vector<QTreeWidgetItem*> rows;
    for (QTreeWidgetItem* row : items_->selectedItems())
        if (!row->isHidden()) rows.push_back(row);
    std::sort(rows.begin(), rows.end(), [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return items_->indexOfTopLevelItem(a) < items_->indexOfTopLevelItem(b);
    });
    return rows;
}

size_t ExplorerWindow::ForEachSelectedItem(const std::function<void(outlook::OutlookItem&)>& act,
                                           std::vector<std::string>& problems) {
    if (!current_) return 0;
    // Read first: the rows go when the list is read again after a change.
    std::vector<std::pair<std::string, std::string>> chosen;  // entry ID, subject
    for (const QTreeWidgetItem* row : SelectedRows())
        chosen.emplace_back(row->data(0, kEntryIdRole).toString().toStdString(),
                            row->text(kSubjectColumn).toStdString());
    auto ns = client_.App()->GetNamespace("MAPI");
    const std::string storeId = current_->StoreID();
    size_t done = 0;
    const WaitCursor wait;
    for (const auto& [entryId, subject] : chosen) {
        try {
            auto item = ns->GetItemFromID(entryId, storeId);
            act(*item);
            ++done;
        } catch (const AutomationError& e) {
            problems.push_back((subject.empty() ? std::string("(no subject)") : subject) + ": " + ErrorText(e));
        }
    }
    return done;
}

void ExplorerWindow::OpenSelectedItems() {
    // A window each, up to a number a person reads at once.
    constexpr size_t kMaxWindows = 10;
    const auto rows = SelectedRows();
    if (rows.size() > kMaxWindows) {
        ShowPlainBox(this, QMessageBox::Information, QString::fromLatin1(kClientTitle),
                     "Select at most " + std::to_string(kMaxWindows) + " items to open them at once.");
        return;
    }
    for (const QTreeWidgetItem* row : rows) OpenItem(row->data(0, kEntryIdRole).toString());
}

void ExplorerWindow::DeleteSelectedItems() {
    const size_t count = SelectedRows().size();
    if (count == 0 || !current_ || !MayChangeStores()) return;
    auto folder = current_;
    auto& profile = *client_.App()->GetProfile();
    std::string path;
    bool forGood = false;
    try {
        path = profile.FolderPath(*folder);
        forGood = IsDeletedItems(profile, *folder);
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
        return;
    }
    if (forGood && !Confirm(this,
                            "Delete " + Items(count) + " in " + path +
                                " for good? Nothing brings them back.",
                            QStringLiteral("Delete for good")))
        return;
    const std::string key = FolderKey(*folder);
    std::vector<std::string> problems;
    const size_t done = ForEachSelectedItem(
        [&](outlook::OutlookItem& item) {
            // Only from where the list showed it: an item moved meanwhile (into Deleted Items,
            // say) is not deleted there unasked.
            if (FolderKey(*profile.ParentFolder(item)) != key)
                RaiseError(errnum::kMapiNotFound, "no longer in " + path + "; left alone", "Delete");
            item.Delete();
        },
        problems);
    RefreshViews();
    Report(forGood ? "Deleted " + ItemsOf(done, count) + " for good."
                   : "Moved " + ItemsOf(done, count) + " to Deleted Items.",
           problems);
}

void ExplorerWindow::MoveCommand() {
    if (SelectedRows().empty() || !MayChangeStores()) return;
    if (auto destination = chooseFolder ? chooseFolder(this) : nullptr) MoveSelectedItems(*destination);
}

void ExplorerWindow::MoveSelectedItems(outlook::MAPIFolder& destination) {
    const size_t count = SelectedRows().size();
    if (count == 0 || !current_ || !MayChangeStores()) return;
    std::string path;
    try {
        path = client_.App()->GetProfile()->FolderPath(destination);
        if (FolderKey(destination) == FolderKey(*current_)) {
            Report("The items are in " + path + " already.", {});
            return;
        }
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
        return;
    }
    std::vector<std::string> problems;
    const size_t done =
        ForEachSelectedItem([&](outlook::OutlookItem& item) { item.Move(destination); }, problems);
    RefreshViews();
    Report("Moved " + ItemsOf(done, count) + " to " + path + ".", problems);
}

void ExplorerWindow::SaveAttachmentsCommand() {
    if (SelectedRows().empty()) return;
    const QString dir = chooseDirectory ? chooseDirectory(this, QStringLiteral("Save attachments into")) : QString();
    if (!dir.isEmpty()) SaveSelectedAttachments(dir.toStdString());
}

void ExplorerWindow::SaveSelectedAttachments(const fs::path& dir) {
    auto& profile = *client_.App()->GetProfile();
    const QDir target(QString::fromStdString(dir.string()));
    size_t saved = 0;
    std::vector<std::string> problems;
    const size_t items = ForEachSelectedItem(
        [&](outlook::OutlookItem& item) {
            auto source = WholeSource(profile, item);
            if (!source) return;
            const auto attachments = formats::ListAttachments(*source);
            for (size_t i = 0; i < attachments.size(); ++i) {
                const QString name = SafeFileName(QString::fromStdString(attachments[i].name));
                // Never over a file that is there: "name (2).ext", "name (3).ext", ...
                QString file = target.filePath(name);
                for (int n = 2; QFileInfo::exists(file); ++n)
                    file = target.filePath(QStringLiteral("%1 (%2)%3")
                                               .arg(QFileInfo(name).completeBaseName())
                                               .arg(n)
                                               .arg(QFileInfo(name).suffix().isEmpty()
                                                        ? QString()
                                                        : QLatin1Char('.') + QFileInfo(name).suffix()));
                const QString failed = WriteWholeFile(file, formats::AttachmentContent(*source, i));
                if (!failed.isEmpty())
                    RaiseError(errnum::kMapiDiskError,
                               attachments[i].name + " not saved to \"" + file.toStdString() + "\": " + failed.toStdString(),
                               "Save attachments");
                ++saved;
            }
        },
        problems);
    Report("Saved " + std::to_string(saved) + " attachment" + (saved == 1 ? "" : "s") + " of " + Items(items) +
               " into " + dir.string() + ".",
           problems);
}

void ExplorerWindow::RemoveDuplicatesInSelectedFolder() {
    QTreeWidgetItem* node = folders_->currentItem();
    if (!SelectedFolder() || !node) return;
    auto command = FindControlDeep(*explorer_->MenuBar(), kAddinCommandTag);
    if (!command) {
        ShowPlainBox(this, QMessageBox::Information, QString::fromLatin1(kClientTitle),
                     "The add-in that removes duplicate items is not loaded.");
        return;
    }
    try {
        command->Execute();
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
        return;
    }
    // While it runs, the dialog keeps its folder.
    if (client_.Busy()) return;
    QTreeWidget* tree = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == QLatin1String("frmRemDuplicates") && window->isVisible())
            tree = window->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
    if (!tree) return;
    // The dialog's tree holds the stores and folders in the namespace's order, as this one.
    std::vector<std::pair<QString, int>> path;
    for (QTreeWidgetItem* n = node; n; n = n->parent()) {
        const QString name = n->data(0, kFolderNameRole).toString();
        int ordinal = 0;
        const int index = n->parent() ? n->parent()->indexOfChild(n) : folders_->indexOfTopLevelItem(n);
        for (int i = 0; i < index; ++i) {
            QTreeWidgetItem* sibling = n->parent() ? n->parent()->child(i) : folders_->topLevelItem(i);
            ordinal += sibling->data(0, kFolderNameRole).toString() == name ? 1 : 0;
        }
        path.insert(path.begin(), {name, ordinal});
    }
    if (QTreeWidgetItem* found = DialogNode(*tree, path)) {
        tree->setCurrentItem(found);  // as a click does: the dialog's run button comes on
        tree->scrollToItem(found);
    }
}

}  // namespace nubra::client
