#include "standin_host/client/HistoryWindow.h"

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "standin_host/client/WindowSupport.h"
#include "standin_host/history/History.h"
#include "standin_host/store/Profile.h"

namespace nubra::client {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The history keeps UTC (ISO 8601); people read their own time.
QString LocalTime(const std::string& iso) {
    const QDateTime t = QDateTime::fromString(Q(iso), Qt::ISODate);
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : Q(iso);
}

// `stretch`: the column that takes the room left, -1 for the last.
QTreeWidget* MakeTable(QWidget* parent, const char* name, const QStringList& columns, int stretch) {
    auto* table = new QTreeWidget(parent);
    table->setObjectName(QString::fromLatin1(name));
    table->setRootIsDecorated(false);
    table->setHeaderLabels(columns);
    if (stretch >= 0) {
        table->header()->setStretchLastSection(false);
        table->header()->setSectionResizeMode(stretch, QHeaderView::Stretch);
    }
    return table;
}

void FitColumns(QTreeWidget* table, int stretch) {
    for (int c = 0; c < table->columnCount(); ++c)
        if (c != stretch) table->resizeColumnToContents(c);
}

std::string Plural(int32_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

}  // namespace

HistoryWindow::HistoryWindow(QWidget* owner, std::shared_ptr<store::Profile> profile, std::function<bool()> mayChange,
                             std::function<void()> restored)
    : QWidget(owner, Qt::Window),
      profile_(std::move(profile)),
      mayChange_(std::move(mayChange)),
      restored_(std::move(restored)) {
    setObjectName(QStringLiteral("History"));
    setWindowTitle(QStringLiteral("History of duplicate removals - Nubrasweep client"));
    auto* layout = new QVBoxLayout(this);
    auto* split = new QSplitter(Qt::Vertical, this);
    runs_ = MakeTable(split, "RunList",
                      {QStringLiteral("Run"), QStringLiteral("Time"), QStringLiteral("Status"), QStringLiteral("Folders"),
                       QStringLiteral("Removed"), QStringLiteral("Restored"), QStringLiteral("Command")},
                      6);
    items_ = MakeTable(split, "RunItems",
                       {QStringLiteral("Action"), QStringLiteral("Kind"), QStringLiteral("Subject / name"),
                        QStringLiteral("Created (UTC)"), QStringLiteral("Duplicate of"), QStringLiteral("Restored"),
                        QStringLiteral("Folder"), QStringLiteral("Now in")},
                       -1);
    split->setStretchFactor(1, 2);
    layout->addWidget(split);
    outcomes_ = PlainLabel(QString(), this);
    outcomes_->setObjectName(QStringLiteral("RunOutcomes"));
    layout->addWidget(outcomes_);
    auto* buttons = new QHBoxLayout;
    restore_ = new QPushButton(QStringLiteral("&Restore"), this);
    restore_->setObjectName(QStringLiteral("Restore"));
    restore_->setToolTip(QStringLiteral("Move every item the selected run took out back to the folder it came from"));
    restore_->setEnabled(false);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    buttons->addWidget(restore_);
    buttons->addStretch();
    buttons->addWidget(close);
    layout->addLayout(buttons);
    resize(980, 520);

    connect(runs_, &QTreeWidget::currentItemChanged, this, [this] { ShowRun(SelectedRun()); });
    connect(restore_, &QPushButton::clicked, this, [this] { RestoreSelected(); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    Reload();
}

std::string HistoryWindow::SelectedRun() const {
    const auto* row = runs_->currentItem();
    return row ? row->text(0).toStdString() : std::string();
}

void HistoryWindow::Reload() {
    const std::string keep = SelectedRun();
    QSignalBlocker quiet(runs_);
    runs_->clear();
    try {
        history::History h(history::History::FileFor(profile_->Directory()));
        const auto runs = h.Runs();
        for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
            auto* row = new QTreeWidgetItem(runs_);
            row->setText(0, Q(it->id));
            row->setText(1, LocalTime(it->started));
            row->setText(2, Q(it->status));
            row->setText(3, QString::number(it->folders));
            row->setText(4, QString::number(it->removed));
            row->setText(5, QString::number(it->restored));
            row->setText(6, Q(it->command));
            row->setData(0, Qt::UserRole, it->removed > it->restored);
            for (int c = 3; c <= 5; ++c) row->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
            if (it->id == keep || (keep.empty() && it == runs.rbegin())) runs_->setCurrentItem(row);
        }
        FitColumns(runs_, 6);
    } catch (const AutomationError& e) {
        outcomes_->setText(Q(e.Description()));
        items_->clear();
        restore_->setEnabled(false);
        return;
    }
    if (!runs_->currentItem() && runs_->topLevelItemCount() > 0) runs_->setCurrentItem(runs_->topLevelItem(0));
    ShowRun(SelectedRun());
}

void HistoryWindow::ShowRun(const std::string& runId) {
    items_->clear();
    outcomes_->clear();
    const auto* row = runs_->currentItem();
    restore_->setEnabled(row && row->data(0, Qt::UserRole).toBool());
    if (runId.empty()) {
        outcomes_->setText(runs_->topLevelItemCount() == 0 ? QStringLiteral("No removal runs yet.") : QString());
        return;
    }
    try {
        history::History h(history::History::FileFor(profile_->Directory()));
        QStringList outcomes;
        for (const auto& folder : h.Folders(runId)) {
            outcomes << Q(folder.path + ": " + (folder.failed ? std::string("failed") : folder.outcome));
            for (const auto& r : folder.removals) {
                auto* item = new QTreeWidgetItem(items_);
                item->setText(0, Q(r.action));
                item->setText(1, Q(r.kind));
                item->setText(2, Q(r.title));
                item->setText(3, Q(r.created));
                item->setText(4, Q(r.duplicateOfTitle));
                item->setText(5, r.restored.empty() ? QStringLiteral("-") : LocalTime(r.restored));
                item->setText(6, Q(folder.path));
                item->setText(7, Q(r.restored.empty() ? r.pathAfter : r.pathBefore));
            }
        }
        FitColumns(items_, -1);
        outcomes_->setText(outcomes.join(QLatin1Char('\n')));
    } catch (const AutomationError& e) {
        outcomes_->setText(Q(e.Description()));
    }
}

void HistoryWindow::RestoreSelected() {
    const std::string runId = SelectedRun();
    if (runId.empty() || (mayChange_ && !mayChange_())) return;
    history::RestoreResult result;
    try {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        struct Restore {
            ~Restore() { QApplication::restoreOverrideCursor(); }
        } cursor;
        history::History h(history::History::FileFor(profile_->Directory()));
        result = history::Restore(*profile_, h, runId);
    } catch (const AutomationError& e) {
        Reload();
        if (restored_) restored_();  // a restore that failed half-way moved some items back
        ShowPlainBox(this, QMessageBox::Warning, QString::fromLatin1(kClientTitle),
                     "The run " + runId + " could not be restored: " + e.Description());
        return;
    }
    Reload();
    if (restored_) restored_();
    std::string text = "Restored " + Plural(result.restored, "item") + " of run " + runId + ".";
    if (result.alreadyBack > 0) text += " " + Plural(result.alreadyBack, "item") + " had been put back already.";
    for (const auto& f : result.removedFolders) text += "\nRemoved the empty folder " + f + ".";
    if (!result.skipped.empty()) {
        text += "\n\nNot restored (" + std::to_string(result.skipped.size()) + "):";
        for (const auto& s : result.skipped) text += "\n" + s;
    }
    ShowPlainBox(this, result.skipped.empty() ? QMessageBox::Information : QMessageBox::Warning,
                 QString::fromLatin1(kClientTitle), text);
}

void HistoryWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) Reload();
    QWidget::changeEvent(event);
}

}  // namespace nubra::client
