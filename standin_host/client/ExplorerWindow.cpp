#include "standin_host/client/ExplorerWindow.h"

#include <iostream>

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "standin_host/NubraVersion.h"
#include "standin_host/client/ItemList.h"
#include "standin_host/client/ItemView.h"
#include "standin_host/client/Registry.h"
#include "standin_host/client/StoreChanges.h"
#include "standin_host/client/StoreDialogs.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/history/History.h"
#include "standin_host/history/RunRecorder.h"
#include "standin_host/store/Application.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"

namespace nubra::client {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr const char* kTitle = kClientTitle;

// A button, or a popup with a button somewhere inside.
bool HoldsCommands(const CommandBarControlImpl& control) {
    if (!control.Children()) return true;
    for (const auto& c : control.Children()->Items())
        if (HoldsCommands(*c)) return true;
    return false;
}

}  // namespace

namespace {
// A run of the add-in's dialog, recorded in the history (with a profile): a run that cannot be
// recorded does not run. Its folder record is completed once it let go of its folder: only then
// has a connected store sent the run's moves to its source, and a failure to send them is shown
// and recorded.
class RecordedRun {
public:
    RecordedRun(std::unique_ptr<store::RunSession> session, store::Profile* profile, outlook::MAPIFolder& folder)
        : session_(std::move(session)) {
        if (!profile) return;
        const std::string path = profile->FolderPath(folder);
        run_ = std::make_unique<history::RecordedRun>(*profile, "the dialog's Remove duplicate items on " + path);
        run_->Recorder().BeginFolder(host::FolderNode{std::string(), path, 0, 0});
        if (!run_->Recorder().RecordFailure().empty())
            RaiseError(errnum::kMapiNoAccess,
                       "the run is not started: the history cannot record it: " + run_->Recorder().RecordFailure(),
                       "NubraHistory");
    }
    ~RecordedRun() {
        std::optional<AutomationError> unsent;
        try {
            session_->Finish();
        } catch (const AutomationError& e) {
            unsent = e;
        }
        if (run_) {
            try {
                run_->Recorder().EndFolderCounted(unsent ? unsent->Description() : std::string());
                run_->End(unsent ? "failed" : "done");
            } catch (const AutomationError& e) {
                std::cerr << "nubrasweep: warning: the history could not record a run: " << e.Description() << "\n";
            }
        }
        if (unsent) ShowFailure(QApplication::activeWindow(), *unsent);
    }
    RecordedRun(const RecordedRun&) = delete;
    RecordedRun& operator=(const RecordedRun&) = delete;

private:
    std::unique_ptr<store::RunSession> session_;
    std::unique_ptr<history::RecordedRun> run_;
};
}  // namespace

std::shared_ptr<void> ClientQtPlatform::LockFolderForRun(outlook::MAPIFolder& folder) {
    return std::make_shared<RecordedRun>(store::LockFolderForRun(folder), profile_.get(), folder);
}

int ClientQtPlatform::MsgBox(const std::string& prompt, int style, const std::string& title) {
    const int icon = style & 0x70;
    ShowPlainBox(QApplication::activeWindow(),
                 icon == vbCritical      ? QMessageBox::Critical
                 : icon == vbExclamation ? QMessageBox::Warning
                 : icon == vbInformation ? QMessageBox::Information
                                         : QMessageBox::NoIcon,
                 Q(title.empty() ? std::string("Nubra") : title), prompt);
    return vbOK;
}

void ClientQtPlatform::DoEvents() { QCoreApplication::processEvents(); }

bool ClientQtPlatform::ShellExecute(const std::string& program, const std::vector<std::string>& arguments) {
    QStringList args;
    for (const auto& a : arguments) args << Q(a);
    return QProcess::startDetached(Q(program), args);
}

ExplorerWindow::ExplorerWindow(Client& client, std::shared_ptr<ExplorerImpl> explorer)
    : client_(client), explorer_(std::move(explorer)) {
    setObjectName(QStringLiteral("Explorer"));
    setWindowTitle(QStringLiteral("Inbox - Nubrasweep client"));
    auto* split = new QSplitter(this);
    folders_ = new QTreeWidget(split);
    folders_->setObjectName(QStringLiteral("FolderList"));
    folders_->setHeaderLabel(QStringLiteral("Folders"));
    folders_->setContextMenuPolicy(Qt::CustomContextMenu);

    auto* list = new QWidget(split);
    auto* listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(2);
    filter_ = new QLineEdit(list);
    filter_->setObjectName(QStringLiteral("Filter"));
    filter_->setPlaceholderText(QStringLiteral("Filter by subject, name or sender (Ctrl+F)"));
    filter_->setClearButtonEnabled(true);
    listLayout->addWidget(filter_);
    items_ = new QTreeWidget(list);
    items_->setObjectName(QStringLiteral("ItemList"));
    items_->setRootIsDecorated(false);
    items_->setUniformRowHeights(true);
    items_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    items_->setContextMenuPolicy(Qt::CustomContextMenu);
    items_->setColumnCount(kItemColumnCount);
    SetItemListHeader(*items_->headerItem());
    for (int c : {kAttachmentColumn, kUnreadColumn, kFlagColumn}) {
        items_->header()->setSectionResizeMode(c, QHeaderView::Fixed);
        items_->header()->resizeSection(c, 28);
    }
    items_->header()->setStretchLastSection(false);
    items_->header()->setSectionResizeMode(kSubjectColumn, QHeaderView::Stretch);
    items_->header()->resizeSection(kFromColumn, 130);
    items_->header()->resizeSection(kDateColumn, 170);
    items_->header()->resizeSection(kSizeColumn, 80);
    items_->header()->resizeSection(kKindColumn, 64);
    // In the folder's order until a header is clicked.
    items_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    items_->setSortingEnabled(true);
    items_->installEventFilter(this);
    listLayout->addWidget(items_);

    reading_ = new QWidget(split);
    reading_->setObjectName(QStringLiteral("ReadingPane"));
    auto* readingLayout = new QVBoxLayout(reading_);
    readingLayout->setContentsMargins(6, 0, 0, 0);
    readingHint_ = PlainLabel(QStringLiteral("Select an item to read it here."), reading_);
    readingHint_->setAlignment(Qt::AlignCenter);
    readingLayout->addWidget(readingHint_);

    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 3);
    split->setStretchFactor(2, 2);
    split->setSizes({200, 760, 400});
    setCentralWidget(split);
    count_ = new QLabel(this);
    count_->setObjectName(QStringLiteral("ItemCount"));
    statusBar()->addPermanentWidget(count_);
    resize(1360, 680);

    connect(folders_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (auto folder = FolderOfNode(item, folderRefs_)) ShowItems(folder);
    });
    connect(folders_, &QTreeWidget::customContextMenuRequested, this, &ExplorerWindow::FolderMenu);
    connect(items_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { OpenItem(item->data(0, kEntryIdRole).toString()); });
    connect(items_, &QTreeWidget::currentItemChanged, this, [this] { ShowCurrentItem(); });
    connect(items_, &QTreeWidget::customContextMenuRequested, this, &ExplorerWindow::ItemMenu);
    connect(filter_, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        filter_->setFocus(Qt::ShortcutFocusReason);
        filter_->selectAll();
    });
    // Esc in the filter box shows every item again.
    auto* clear = new QShortcut(QKeySequence(Qt::Key_Escape), filter_, nullptr, nullptr, Qt::WidgetShortcut);
    connect(clear, &QShortcut::activated, filter_, &QLineEdit::clear);

    chooseDirectory = [](QWidget* parent, const QString& caption) {
        return QFileDialog::getExistingDirectory(parent, caption);
    };
    chooseFolder = [this](QWidget* parent) -> outlook::FolderRef {
        FolderPickerDialog picker(parent, *client_.App()->GetNamespace("MAPI"));
        return picker.exec() == QDialog::Accepted ? picker.Folder() : nullptr;
    };

    changed_ = explorer_->Bars()->Changed().Subscribe([this] { ScheduleRebuild(); });
    AddOwnCommands();
    if (auto bar = explorer_->MenuBar()) {
        auto file = std::dynamic_pointer_cast<CommandBarControlImpl>(bar->FindControlById(builtin::kFile));
        auto help = std::dynamic_pointer_cast<CommandBarControlImpl>(bar->FindControlById(builtin::kHelp));
        if (file) {
            for (const auto& c : file->Children()->Items())
                if (c->Id() == builtin::kExit)
                    exitClick_ = c->Click().Subscribe(
                        [this](outlook::CommandBarControl&, bool&) { QTimer::singleShot(0, this, [this] { close(); }); });
        }
        if (help && help->Children()->Count() > 0)
            aboutClick_ = help->Children()->Items()[0]->Click().Subscribe([this](outlook::CommandBarControl&, bool&) {
                QMessageBox::about(this, kTitle,
                                   QStringLiteral("Nubrasweep " NUBRA_VERSION_TEXT
                                                  "\n\nThe stand-in mail client of Nubrasweep."));
            });
    }
    RebuildMenu();
    FillFolders();

    program_ = ThisProgram();
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    connect(refreshTimer_, &QTimer::timeout, this, [this] { RefreshWhenIdle(); });
    storeChanges_ = WatchStoreChanges([this] {
        if (!refreshTimer_->isActive()) refreshTimer_->start(0);
    });
}

ExplorerWindow::~ExplorerWindow() {
    storeChanges_.reset();
    ownClicks_.clear();
    changed_.reset();
    exitClick_.reset();
    aboutClick_.reset();
}

void ExplorerWindow::ScheduleRebuild() {
    // Controls change while an action of the current menu may still be running.
    if (rebuildPending_) return;
    rebuildPending_ = true;
    QTimer::singleShot(0, this, [this] { RebuildMenu(); });
}

void ExplorerWindow::RebuildMenu() {
    rebuildPending_ = false;
    menuBar()->clear();
    auto bar = explorer_->MenuBar();
    if (!bar) return;
    std::function<void(QMenu*, const std::shared_ptr<CommandBarControlsImpl>&)> fill =
        [&](QMenu* menu, const std::shared_ptr<CommandBarControlsImpl>& controls) {
            for (const auto& control : controls->Items()) {
                if (control->Children()) {
                    if (!HoldsCommands(*control)) continue;  // an empty menu is not shown
                    QMenu* sub = menu ? menu->addMenu(Q(control->Caption())) : menuBar()->addMenu(Q(control->Caption()));
                    sub->setObjectName(Q(control->Tag().empty() ? control->Caption() : control->Tag()));
                    fill(sub, control->Children());
                    continue;
                }
                QAction* action = menu ? menu->addAction(Q(control->Caption())) : menuBar()->addAction(Q(control->Caption()));
                action->setObjectName(Q(control->Tag()));
                std::weak_ptr<CommandBarControlImpl> weak = control;
                connect(action, &QAction::triggered, this, [this, weak] {
                    auto c = weak.lock();
                    if (!c) return;
                    try {
                        c->Execute();
                    } catch (const AutomationError& e) {
                        ShowFailure(this, e);
                    }
                });
            }
        };
    fill(nullptr, bar->ControlsImpl());
}

void ExplorerWindow::FillFolders() {
    folders_->clear();
    folderRefs_.clear();
    keepReadState_.clear();
    try {
        auto& profile = *client_.App()->GetProfile();
        // A connected store's cache does not keep whether its source's mail was read.
        for (const auto& info : profile.Stores())
            if (info.kind == "store") keepReadState_.insert(info.storeId);
        FillFolderTree(*folders_, *client_.App()->GetNamespace("MAPI"), folderRefs_);
        for (int i = 0; i < folders_->topLevelItemCount(); ++i) {
            QTreeWidgetItem* top = folders_->topLevelItem(i);
            auto store = FolderOfNode(top, folderRefs_);
            if (!keepReadState_.count(store->StoreID())) continue;
            const auto unread = store::UnreadCounts(*store);
            for (QTreeWidgetItemIterator it(top); *it && (*it == top || (*it)->parent()); ++it) {
                QTreeWidgetItem* node = *it;
                auto found = unread.find(FolderOfNode(node, folderRefs_)->EntryID());
                if (found == unread.end()) continue;
                node->setText(0, node->data(0, kFolderNameRole).toString() + QStringLiteral(" (%1)").arg(found->second));
                QFont bold = node->font(0);
                bold.setBold(true);
                node->setFont(0, bold);
            }
        }
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
    folders_->expandToDepth(0);
}

void ExplorerWindow::ShowItems(const outlook::FolderRef& folder) {
    // Sorting the rows one by one as they come in would cost a sort per row.
    const int sortColumn = items_->header()->sortIndicatorSection();
    const Qt::SortOrder sortOrder = items_->header()->sortIndicatorOrder();
    items_->setSortingEnabled(false);
    items_->clear();
    current_ = folder;
    try {
        setWindowTitle(Q(folder->Name()) + QStringLiteral(" - Nubrasweep client"));
        QList<QTreeWidgetItem*> rows;
        for (const auto& item : ListItems(*folder, keepReadState_.count(folder->StoreID()) > 0))
            rows.append(MakeItemRow(item));
        items_->addTopLevelItems(rows);
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
    items_->header()->setSortIndicator(sortColumn, sortOrder);
    items_->setSortingEnabled(true);
    ApplyFilter();
    ShowCurrentItem();
}

void ExplorerWindow::ApplyFilter() {
    const QString filter = filter_->text().trimmed();
    int shown = 0;
    const int total = items_->topLevelItemCount();
    for (int r = 0; r < total; ++r) {
        QTreeWidgetItem* row = items_->topLevelItem(r);
        row->setHidden(!RowMatches(*row, filter));
        shown += row->isHidden() ? 0 : 1;
    }
    const QString items = total == 1 ? QStringLiteral("item") : QStringLiteral("items");
    count_->setText(filter.isEmpty() ? QStringLiteral("%1 %2").arg(total).arg(items)
                                     : QStringLiteral("%1 of %2 %3").arg(shown).arg(total).arg(items));
}

void ExplorerWindow::ShowCurrentItem() {
    QTreeWidgetItem* row = items_->currentItem();
    const QString entryId = row && !row->isHidden() ? row->data(0, kEntryIdRole).toString() : QString();
    // The same item again (the list was read again): not read again, a connected store's
    // message not fetched again.
    if (pane_ && !entryId.isEmpty() && paneEntryId_ == entryId) return;
    delete pane_.data();
    paneEntryId_.clear();
    readingHint_->setVisible(entryId.isEmpty());
    if (entryId.isEmpty() || !current_) return;
    try {
        auto item = client_.App()->GetNamespace("MAPI")->GetItemFromID(entryId.toStdString(), current_->StoreID());
        pane_ = new ItemPane(*client_.App()->GetProfile(), item, reading_);
        paneEntryId_ = entryId;
        reading_->layout()->addWidget(pane_);
        pane_->show();  // now, not once the event loop comes round
    } catch (const AutomationError&) {
        // Gone meanwhile: the refresh that follows the change shows the list without it.
        readingHint_->setVisible(true);
    }
}

void ExplorerWindow::OpenItem(const QString& entryId) {
    if (!current_ || entryId.isEmpty()) return;
    try {
        auto item = client_.App()->GetNamespace("MAPI")->GetItemFromID(entryId.toStdString(), current_->StoreID());
        auto* window = new InspectorWindow(client_, item);
        window->show();
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
}

bool ExplorerWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == items_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & ~Qt::KeypadModifier) return false;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            OpenSelectedItems();
            return true;
        }
        if (key->key() == Qt::Key_Delete) {
            DeleteSelectedItems();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void ExplorerWindow::closeEvent(QCloseEvent* event) {
    if (closing_ || !explorer_->IsOpen()) {
        event->accept();
        return;
    }
    if (client_.Busy()) {
        QMessageBox::information(this, kTitle,
                                 QStringLiteral("Duplicate items are still being removed. Close this window again "
                                                "when the add-in has finished."));
        event->ignore();
        return;
    }
    closing_ = true;
    current_.reset();
    folderRefs_.clear();
    client_.CloseExplorer(explorer_);
    event->accept();
}

InspectorWindow::InspectorWindow(Client& client, outlook::ItemRef item)
    : QWidget(nullptr, Qt::Window), client_(client), inspector_(client.OpenInspector(item)) {
    setObjectName(QStringLiteral("Inspector"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    pane_ = new ItemPane(*client.App()->GetProfile(), std::move(item), this);
    layout->addWidget(pane_);
    setWindowTitle(Q(pane_->Title()) + QStringLiteral(" - Item"));
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }
    resize(620, 520);
}

void InspectorWindow::closeEvent(QCloseEvent* event) {
    if (inspector_) {
        auto inspector = std::move(inspector_);
        client_.CloseInspector(inspector);
    }
    event->accept();
}

int RunExplorerApplication(const std::shared_ptr<store::Profile>& profile, int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ClientQtPlatform platform;
    platform.SetProfile(profile);
    SetPlatform(&platform);
    int rc = 0;
    {
        Client client(profile, Registry::DefaultFile());
        auto explorer = client.OpenExplorer();
        QPointer<ExplorerWindow> window = new ExplorerWindow(client, explorer);
        window->setAttribute(Qt::WA_DeleteOnClose);
        std::vector<std::string> failures;
        client.onAddinFailure = [&](const LoadedAddin& a) { failures.push_back(a.friendlyName + ": " + a.failure); };
        client.onEnded = [] { QCoreApplication::quit(); };
        window->show();
        try {
            client.LoadAddins();
        } catch (const AutomationError& e) {
            failures.push_back(e.Description());
        }
        for (const auto& f : failures) QMessageBox::warning(window, kTitle, Q("An add-in did not start.\n\n" + f));
        if (!client.Ended()) rc = app.exec();
        if (!client.Ended()) client.Quit();
        delete window.data();
    }
    SetPlatform(nullptr);
    return rc;
}

}  // namespace nubra::client
