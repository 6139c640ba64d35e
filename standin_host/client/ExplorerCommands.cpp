// The explorer's own commands and the refresh of its views (ExplorerWindow members kept apart
// from the window's construction and drawing).
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <functional>
#include <map>
#include <set>

#include "host/AutomationDates.h"
#include "standin_host/client/ExplorerWindow.h"
#include "standin_host/client/HistoryWindow.h"
#include "standin_host/client/PreviewWindow.h"
#include "standin_host/client/StoreDialogs.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/connected/Connected.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/store/Application.h"
#include "standin_host/store/Profile.h"

namespace nubra::client {

namespace {

namespace fs = std::filesystem;

// Ids of the explorer's own commands (the add-in looks for none of them).
constexpr int32_t kImport = 31001, kExport = 31002, kAddMaildir = 31003, kAddImap = 31004, kRefresh = 31005,
                  kPreview = 31006, kHistory = 31007;

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
        const int index = node->data(0, Qt::UserRole).toInt();  // into folderRefs_
        if (index < 0 || index >= static_cast<int>(folderRefs_.size())) return {};
        try {
            return FolderKey(*folderRefs_[static_cast<size_t>(index)]);
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
    const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Export into"));
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
    AddMaildirDialog dialog(this);
    if (dialog.exec() == QDialog::Accepted) AddMaildir(dialog.Folder(), dialog.Name());
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

}  // namespace nubra::client
