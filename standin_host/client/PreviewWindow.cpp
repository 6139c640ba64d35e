#include "standin_host/client/PreviewWindow.h"

#include <signal.h>

#include <utility>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "standin_host/client/WindowSupport.h"

namespace nubra::client {

namespace {

// How the command line starts its error and warning lines on standard error.
const QLatin1String kErrorPrefix("nubrasweep: error: ");
const QLatin1String kWarningPrefix("nubrasweep: warning: ");

}  // namespace

PreviewWindow::PreviewWindow(QWidget* owner, const std::filesystem::path& program,
                             const std::filesystem::path& profileDir, const std::string& folderPath)
    : QWidget(owner, Qt::Window), program_(program), profileDir_(profileDir), path_(QString::fromStdString(folderPath)) {
    setObjectName(QStringLiteral("Preview"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Duplicates in %1 - Preview").arg(path_));

    auto* layout = new QVBoxLayout(this);
    caption_ = PlainLabel(QStringLiteral("What removing the duplicates of %1 would do; nothing is changed.").arg(path_), this);
    layout->addWidget(caption_);
    table_ = new QTreeWidget(this);
    table_->setObjectName(QStringLiteral("PreviewTable"));
    table_->setRootIsDecorated(false);
    table_->header()->setSortIndicator(-1, Qt::AscendingOrder);  // in the run's order until asked
    table_->setSortingEnabled(true);
    table_->setHeaderLabels({QStringLiteral("Kind"), QStringLiteral("Subject / name"), QStringLiteral("Created (UTC)"),
                             QStringLiteral("Would be"), QStringLiteral("Duplicate of")});
    table_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    layout->addWidget(table_);
    busy_ = new QProgressBar(this);
    busy_->setObjectName(QStringLiteral("Busy"));
    busy_->setRange(0, 0);  // no end known: a moving bar
    busy_->setTextVisible(false);
    layout->addWidget(busy_);
    outcome_ = PlainLabel(QString(), this);
    outcome_->setObjectName(QStringLiteral("Outcome"));
    outcome_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(outcome_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    remove_ = buttons->addButton(QStringLiteral("&Remove these now"), QDialogButtonBox::ActionRole);
    remove_->setObjectName(QStringLiteral("RemoveNow"));
    remove_->setToolTip(QStringLiteral("Removing is not offered here."));
    connect(remove_, &QPushButton::clicked, this, [this] {
        if (!mayChange_ || !mayChange_()) return;
        const int count = table_->topLevelItemCount();
        if (Confirm(this,
                    "Remove the " + std::to_string(count) + " duplicate item" + (count == 1 ? "" : "s") + " of " +
                        path_.toStdString() +
                        " now?\n\nThe run is recorded in the history (Tools > History...), where Restore puts "
                        "them back.",
                    QStringLiteral("&Remove")))
            RemoveNow();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    layout->addWidget(buttons);
    resize(820, 420);
    UpdateRemoveButton();
    Start(true);
}

PreviewWindow::~PreviewWindow() { LetChildFinish(); }

void PreviewWindow::OfferRemoval(std::function<bool()> mayChange, std::function<void()> removed) {
    mayChange_ = std::move(mayChange);
    removed_ = std::move(removed);
    remove_->setToolTip(QStringLiteral("Runs the clean of %1 for real, recorded in the history.").arg(path_));
    UpdateRemoveButton();
}

void PreviewWindow::RefuseRemoval(const std::string& why) {
    mayChange_ = nullptr;
    removed_ = nullptr;
    remove_->setToolTip(QString::fromStdString(why));
    UpdateRemoveButton();
}

void PreviewWindow::UpdateRemoveButton() { remove_->setEnabled(mayChange_ && foundSome_ && dryRun_ && !process_); }

void PreviewWindow::RemoveNow() {
    if (!mayChange_ || !foundSome_ || !dryRun_ || process_) return;
    setWindowTitle(QStringLiteral("Duplicates in %1 - Removing").arg(path_));
    caption_->setText(QStringLiteral("What removing the duplicates of %1 did.").arg(path_));
    table_->headerItem()->setText(3, QStringLiteral("Was"));
    table_->clear();
    Start(false);
}

void PreviewWindow::Start(bool dryRun) {
    dryRun_ = dryRun;
    foundSome_ = false;
    busy_->show();
    outcome_->setText(dryRun ? QStringLiteral("Looking for duplicates in %1...").arg(path_)
                             : QStringLiteral("Removing the duplicates of %1...").arg(path_));
    setCursor(Qt::BusyCursor);
    process_ = new QProcess(this);
    process_->setProgram(QString::fromStdString(program_.string()));
    QStringList args{QStringLiteral("--profile"), QString::fromStdString(profileDir_.string()), QStringLiteral("clean"), path_};
    if (dryRun) args << QStringLiteral("--dry-run");
    process_->setArguments(args << QStringLiteral("--json"));
    process_->setStandardInputFile(QProcess::nullDevice());
    connect(process_, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) { Done(exitCode, status == QProcess::CrashExit); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) Done(-1, false);
    });
    process_->start();
    UpdateRemoveButton();
}

void PreviewWindow::LetChildFinish() {
    QProcess* process = std::exchange(process_, nullptr);
    if (!process) return;
    const qint64 pid = process->processId();
    if (process->state() == QProcess::NotRunning || pid <= 0) {
        delete process;
        return;
    }
    // Interrupted as Ctrl-C does, the run ends after the folder (a dry run removes its
    // snapshot); killed outright it would leave a snapshot behind, or a real run unrecorded.
    process->disconnect(this);
    process->setParent(QCoreApplication::instance());
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    // Whoever asked for the real run still hears that the stores changed.
    if (!dryRun_ && removed_) connect(process, &QProcess::finished, process, removed_);
    ::kill(static_cast<pid_t>(pid), SIGINT);
}

void PreviewWindow::Done(int exitCode, bool crashed) {
    if (!process_) return;
    QProcess* process = process_;
    process_ = nullptr;
    process->deleteLater();
    busy_->hide();
    unsetCursor();

    QStringList outcomes, problems;
    const QList<QByteArray> lines = process->readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        if (line.trimmed().isEmpty()) continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains(QStringLiteral("action"))) {
            auto* row = new QTreeWidgetItem(table_);
            row->setText(0, o.value(QStringLiteral("kind")).toString());
            row->setText(1, o.value(QStringLiteral("title")).toString());
            row->setText(2, o.value(QStringLiteral("created")).toString());
            row->setText(3, o.value(QStringLiteral("action")).toString());
            row->setText(4, o.value(QStringLiteral("duplicateOf")).toObject().value(QStringLiteral("title")).toString());
        } else if (o.contains(QStringLiteral("outcome"))) {
            outcomes << o.value(QStringLiteral("outcome")).toString();
        } else if (o.contains(QStringLiteral("total"))) {
            outcomes << o.value(QStringLiteral("total")).toString();
        }
    }
    const QLatin1String recorded("Recorded as run ");
    for (const QByteArray& raw : process->readAllStandardError().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(kErrorPrefix)) problems << line.mid(kErrorPrefix.size());
        else if (line.startsWith(kWarningPrefix)) problems << QStringLiteral("Warning: ") + line.mid(kWarningPrefix.size());
        else if (line.startsWith(recorded))
            outcomes << QStringLiteral("Recorded in the history as run %1; Tools > History... restores the items.")
                            .arg(line.mid(recorded.size()).section(QLatin1Char(' '), 0, 0));
    }
    for (int c = 0; c < table_->columnCount(); ++c)
        if (c != 1) table_->resizeColumnToContents(c);
    const QString what = dryRun_ ? QStringLiteral("the dry run") : QStringLiteral("the clean");
    if (process->error() == QProcess::FailedToStart)
        problems << QStringLiteral("%1 could not be started: %2").arg(process->program(), process->errorString());
    else if (crashed)
        problems << QStringLiteral("%1 ended abnormally").arg(what);
    else if (exitCode != 0 && problems.isEmpty())
        problems << QStringLiteral("%1 failed (exit code %2)").arg(what).arg(exitCode);
    outcome_->setText((outcomes + problems).join(QLatin1Char('\n')));
    foundSome_ = dryRun_ && exitCode == 0 && !crashed && table_->topLevelItemCount() > 0;
    UpdateRemoveButton();
    if (!dryRun_) {
        setWindowTitle(QStringLiteral("Duplicates in %1 - Removed").arg(path_));
        if (removed_) removed_();
    }
    emit finished();
}

void PreviewWindow::closeEvent(QCloseEvent* event) {
    LetChildFinish();
    unsetCursor();
    event->accept();
}

}  // namespace nubra::client
