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
    : QWidget(owner, Qt::Window) {
    setObjectName(QStringLiteral("Preview"));
    setAttribute(Qt::WA_DeleteOnClose);
    const QString path = QString::fromStdString(folderPath);
    setWindowTitle(QStringLiteral("Duplicates in %1 - Preview").arg(path));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        PlainLabel(QStringLiteral("What removing the duplicates of %1 would do; nothing is changed.").arg(path), this));
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
    outcome_ = PlainLabel(QStringLiteral("Looking for duplicates in %1...").arg(path), this);
    outcome_->setObjectName(QStringLiteral("Outcome"));
    outcome_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(outcome_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    layout->addWidget(buttons);
    resize(820, 420);
    setCursor(Qt::BusyCursor);

    process_ = new QProcess(this);
    process_->setProgram(QString::fromStdString(program.string()));
    process_->setArguments({QStringLiteral("--profile"), QString::fromStdString(profileDir.string()),
                            QStringLiteral("clean"), path, QStringLiteral("--dry-run"), QStringLiteral("--json")});
    process_->setStandardInputFile(QProcess::nullDevice());
    connect(process_, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) { Done(exitCode, status == QProcess::CrashExit); });
    connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) Done(-1, false);
    });
    process_->start();
}

PreviewWindow::~PreviewWindow() { LetChildFinish(); }

void PreviewWindow::LetChildFinish() {
    QProcess* process = std::exchange(process_, nullptr);
    if (!process) return;
    const qint64 pid = process->processId();
    if (process->state() == QProcess::NotRunning || pid <= 0) {
        delete process;
        return;
    }
    // Interrupted as Ctrl-C does, the run ends after the folder and removes its snapshot;
    // killed outright it would leave the snapshot behind.
    process->disconnect(this);
    process->setParent(QCoreApplication::instance());
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
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
    for (const QByteArray& raw : process->readAllStandardError().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(kErrorPrefix)) problems << line.mid(kErrorPrefix.size());
        else if (line.startsWith(kWarningPrefix)) problems << QStringLiteral("Warning: ") + line.mid(kWarningPrefix.size());
    }
    for (int c = 0; c < table_->columnCount(); ++c)
        if (c != 1) table_->resizeColumnToContents(c);
    if (process->error() == QProcess::FailedToStart)
        problems << QStringLiteral("%1 could not be started: %2").arg(process->program(), process->errorString());
    else if (crashed)
        problems << QStringLiteral("the dry run ended abnormally");
    else if (exitCode != 0 && problems.isEmpty())
        problems << QStringLiteral("the dry run failed (exit code %1)").arg(exitCode);
    outcome_->setText((outcomes + problems).join(QLatin1Char('\n')));
    emit finished();
}

void PreviewWindow::closeEvent(QCloseEvent* event) {
    LetChildFinish();
    unsetCursor();
    event->accept();
}

}  // namespace nubra::client
