#include "standin_host/client/ExplorerWindow.h"

#include <iostream>

#include <QApplication>
#include <QSaveFile>
#include <QPushButton>
#include <QPainterPath>
#include <QPainter>
#include <QLocale>
#include <QFileInfo>
#include <QFileDialog>
#include <QDir>
#include <QCloseEvent>
#include <QFormLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>

#include "host/AutomationDates.h"
#include "standin_host/client/ItemView.h"
#include "standin_host/client/Registry.h"
#include "standin_host/client/StoreChanges.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/formats/Attachments.h"
#include "standin_host/store/Application.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/history/History.h"
#include "standin_host/history/RunRecorder.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"

namespace nubra::client {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

constexpr const char* kTitle = kClientTitle;
// The item list's paper-clip column, and the role that tells an item with attachments.
constexpr int kClipColumn = 0;
constexpr int kHasAttachmentsRole = Qt::UserRole + 1;

// A property that the item's kind may lack: empty then.
template <typename F>
auto Read(F&& get) -> decltype(get()) {
    try {
        return get();
    } catch (const AutomationError&) {
        return {};
    }
}

// A button, or a popup with a button somewhere inside.
bool HoldsCommands(const CommandBarControlImpl& control) {
    if (!control.Children()) return true;
    for (const auto& c : control.Children()->Items())
        if (HoldsCommands(*c)) return true;
    return false;
}

// A paper clip, drawn: no icon theme can be relied on.
QIcon PaperClip() {
    static const QIcon icon = [] {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(90, 90, 90), 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath clip;
        clip.moveTo(20, 9);
        clip.lineTo(20, 23);
        clip.arcTo(10, 18, 10, 10, 0, -180);
        clip.lineTo(10, 7);
        clip.arcTo(10, 2, 14, 10, 180, -180);
        clip.lineTo(24, 22);
        p.drawPath(clip);
        return QIcon(pixmap);
    }();
    return icon;
}

void ShowFailure(QWidget* parent, const AutomationError& e) {
    ShowPlainBox(parent, QMessageBox::Warning, kTitle,
                 e.Description().empty() ? "Error " + std::to_string(e.Number()) : e.Description());
}

}  // namespace

namespace {
// A run of the add-in's dialog, recorded in the history (with a profile): a run that cannot be
// recorded does not run. Its folder record is completed once it let go of its folder: only then
// has a connected store sent the run's moves to its source, and a failure to send them is shown
// and recorded.
class RecordedRun {
public:
    RecordedRun(std::shared_ptr<void> lease, store::Profile* profile, outlook::MAPIFolder& folder)
        : lease_(std::move(lease)) {
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
        lease_.reset();
        const auto unsent = store::TakeUnsentChanges();
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
    std::shared_ptr<void> lease_;
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
    items_ = new QTreeWidget(split);
    items_->setObjectName(QStringLiteral("ItemList"));
    items_->setRootIsDecorated(false);
    items_->setHeaderLabels({QString(), QStringLiteral("Class"), QStringLiteral("Subject"), QStringLiteral("Created")});
    items_->headerItem()->setIcon(kClipColumn, PaperClip());
    items_->headerItem()->setToolTip(kClipColumn, QStringLiteral("Attachments"));
    items_->header()->setSectionResizeMode(kClipColumn, QHeaderView::Fixed);
    items_->header()->resizeSection(kClipColumn, 28);
    items_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
    split->setStretchFactor(1, 3);
    setCentralWidget(split);
    resize(900, 560);

    connect(folders_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (!item) return;
        const int index = item->data(0, Qt::UserRole).toInt();
        if (index >= 0 && index < static_cast<int>(folderRefs_.size())) ShowItems(folderRefs_[static_cast<std::size_t>(index)]);
    });
    connect(items_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { OpenItem(item->data(0, Qt::UserRole).toInt()); });

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
                QMessageBox::about(this, kTitle, QStringLiteral("The stand-in mail client of Nubrasweep."));
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
    try {
        auto ns = client_.App()->GetNamespace("MAPI");
        auto stores = ns->Folders();
        for (int32_t i = 1; i <= stores->Count(); ++i) AddFolder(nullptr, stores->Item(i));
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
    folders_->expandToDepth(0);
}

void ExplorerWindow::AddFolder(QTreeWidgetItem* parent, const outlook::FolderRef& folder) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(folders_);
    item->setText(0, Q(folder->Name()));
    item->setData(0, Qt::UserRole, static_cast<int>(folderRefs_.size()));
    folderRefs_.push_back(folder);
    auto subfolders = folder->Folders();
    for (int32_t i = 1; i <= subfolders->Count(); ++i) AddFolder(item, subfolders->Item(i));
}

void ExplorerWindow::ShowItems(const outlook::FolderRef& folder) {
    items_->clear();
    current_ = folder;
    try {
        setWindowTitle(Q(folder->Name()) + QStringLiteral(" - Nubrasweep client"));
        auto items = folder->Items();
        for (int32_t i = 1; i <= items->Count(); ++i) {
            auto it = items->Item(i);
            auto* row = new QTreeWidgetItem(items_);
            // From the item's flags: the list never reads what an item was made of.
            if (Read([&] { return (store::MessageFlags(*it) & store::MSGFLAG_HASATTACH) != 0; })) {
                row->setIcon(kClipColumn, PaperClip());
                row->setToolTip(kClipColumn, QStringLiteral("Has attachments"));
                row->setData(kClipColumn, kHasAttachmentsRole, true);
            }
            row->setText(1, Q(KindText(it->Class())));
            std::string subject = Read([&] { return it->Subject(); });
            if (subject.empty() && it->Class() == outlook::olContact) {
                // A contact is known by its name.
                subject = Read([&] { return it->FirstName(); });
                const std::string last = Read([&] { return it->LastName(); });
                subject += (subject.empty() || last.empty() ? "" : " ") + last;
            }
            row->setText(2, Q(subject));
            row->setText(3, Q(Read([&] { return dates::FormatGeneralDate(it->CreationTime()); })));
            row->setData(0, Qt::UserRole, i);
            row->setData(0, kEntryIdRole, Q(it->EntryID()));
        }
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
}

void ExplorerWindow::OpenItem(int index) {
    if (!current_) return;
    try {
        auto item = current_->Items()->Item(index);
        auto* window = new InspectorWindow(client_, item);
        window->show();
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
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
    : QWidget(nullptr, Qt::Window), client_(client), inspector_(client.OpenInspector(item)), item_(item) {
    setObjectName(QStringLiteral("Inspector"));
    setAttribute(Qt::WA_DeleteOnClose);
    const ItemView view = DescribeItem(*client.App()->GetProfile(), *item);
    setWindowTitle(Q(view.title) + QStringLiteral(" - Item"));
    auto* form = new QFormLayout(this);
    AddItemView(*form, view, this);

    attachments_ = new QTreeWidget(this);
    attachments_->setObjectName(QStringLiteral("AttachmentList"));
    attachments_->setRootIsDecorated(false);
    attachments_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("Size")});
    attachments_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    try {
        if (auto source = store::SourceOf(*item))
            for (const auto& a : formats::ListAttachments(*source)) {
                auto* row = new QTreeWidgetItem(attachments_);
                row->setIcon(0, PaperClip());
                row->setText(0, Q(a.name));
                row->setText(1, Q(a.mimeType));
                row->setText(2, QLocale().formattedDataSize(static_cast<qint64>(a.size)));
                row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            }
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
    if (attachments_->topLevelItemCount() == 0) {
        attachments_->hide();
    } else {
        auto* save = new QPushButton(QStringLiteral("&Save attachment..."), this);
        save->setObjectName(QStringLiteral("SaveAttachment"));
        auto enable = [this, save] { save->setEnabled(attachments_->currentItem() != nullptr); };
        connect(attachments_, &QTreeWidget::currentItemChanged, this, enable);
        connect(save, &QPushButton::clicked, this,
                [this] { SaveAttachment(attachments_->indexOfTopLevelItem(attachments_->currentItem())); });
        connect(attachments_, &QTreeWidget::itemDoubleClicked, this,
                [this](QTreeWidgetItem* row) { SaveAttachment(attachments_->indexOfTopLevelItem(row)); });
        enable();
        form->addRow(QStringLiteral("Attachments:"), attachments_);
        form->addRow(QString(), save);
    }
    chooseFile = [](QWidget* parent, const QString& suggested) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Save attachment"),
                                            QDir::home().filePath(suggested));
    };
    resize(620, 520);
}

bool InspectorWindow::SaveAttachment(int index) {
    if (index < 0 || index >= attachments_->topLevelItemCount()) return false;
    // Only the last part of the name the message gives: it must not choose the folder.
    const QString suggested = QFileInfo(attachments_->topLevelItem(index)->text(0)).fileName();
    const QString file = chooseFile ? chooseFile(this, suggested) : QString();
    if (file.isEmpty()) return false;
    try {
        auto source = store::SourceOf(*item_);
        if (!source) return false;
        const std::string bytes = formats::AttachmentContent(*source, static_cast<size_t>(index));
        // Written under another name and renamed: the file is whole or not there.
        QSaveFile out(file);
        if (!out.open(QIODevice::WriteOnly) ||
            out.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
            !out.commit()) {
            ShowPlainBox(this, QMessageBox::Warning, kTitle,
                         "The attachment could not be saved to \"" + file.toStdString() + "\": " +
                             out.errorString().toStdString());
            return false;
        }
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
        return false;
    }
    return true;
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
