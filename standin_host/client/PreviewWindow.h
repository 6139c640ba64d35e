// "Preview duplicates...": what a clean of one folder would remove, in a table. The dry run
// runs in a child process (`nubrasweep --profile DIR clean PATH --dry-run --json`) on a private
// snapshot of the stores: the add-in module the explorer's client runs is not loaded a second
// time into this process, and the window stays responsive while the child works.
#pragma once

#include <filesystem>
#include <string>

#include <QWidget>

class QLabel;
class QProcess;
class QProgressBar;
class QTreeWidget;

namespace nubra::client {

class PreviewWindow : public QWidget {
    Q_OBJECT
public:
    // Starts the dry run of `folderPath` (as FolderPath gives it) over the profile in
    // `profileDir` with `program` (nubrasweep). A window of its own, owned by `owner`.
    PreviewWindow(QWidget* owner, const std::filesystem::path& program, const std::filesystem::path& profileDir,
                  const std::string& folderPath);
    ~PreviewWindow() override;

    // One row per item the clean would remove: kind, subject or name, created (UTC), moved or
    // deleted, the item it duplicates.
    QTreeWidget* Table() const { return table_; }
    // The outcome line the clean would print, or what went wrong.
    QLabel* Outcome() const { return outcome_; }
    bool Running() const { return process_ != nullptr; }

signals:
    void finished();

protected:
    // Closing during the run (or the explorer's end) interrupts the child, as Ctrl-C would: it
    // ends after the folder and removes its snapshot.
    void closeEvent(QCloseEvent* event) override;

private:
    void Done(int exitCode, bool crashed);
    // Interrupts a child still running and leaves it to end on its own.
    void LetChildFinish();

    QTreeWidget* table_ = nullptr;
    QLabel* outcome_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QProcess* process_ = nullptr;
};

}  // namespace nubra::client
