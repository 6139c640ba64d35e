// "Preview duplicates...": what a clean of one folder would remove, in a table, and "Remove
// these now", which runs that clean for real. Both run in a child process (`nubrasweep
// --profile DIR clean PATH [--dry-run] --json`; the dry run on a private snapshot of the
// stores): the add-in module the explorer's client runs is not loaded a second time into this
// process, and the window stays responsive while the child works. The real run is the command
// line's clean, recorded in the history (where Restore undoes it) as every clean is.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include <QWidget>

class QLabel;
class QProcess;
class QProgressBar;
class QPushButton;
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

    // One row per item the clean would remove (once removed: did remove): kind, subject or
    // name, created (UTC), moved or deleted, the item it duplicates.
    QTreeWidget* Table() const { return table_; }
    // The outcome line the clean would print (or printed), or what went wrong.
    QLabel* Outcome() const { return outcome_; }
    // "Remove these now": enabled once the dry run found something and removal is offered.
    QPushButton* RemoveButton() const { return remove_; }
    bool Running() const { return process_ != nullptr; }

    // Offers "Remove these now". `mayChange` is asked before the real run starts (and tells the
    // user why not); `removed` is told when it has ended, also after the window closed.
    void OfferRemoval(std::function<bool()> mayChange, std::function<void()> removed);
    // Keeps the button off, with `why` as its tooltip.
    void RefuseRemoval(const std::string& why);
    // After the user confirmed: the real clean of the folder, the table then showing what it
    // did. Does nothing unless offered and the dry run found something.
    void RemoveNow();

signals:
    void finished();

protected:
    // Closing during a run (or the explorer's end) interrupts the child, as Ctrl-C would: it
    // ends after the folder (a dry run removes its snapshot).
    void closeEvent(QCloseEvent* event) override;

private:
    void Start(bool dryRun);
    void Done(int exitCode, bool crashed);
    // Interrupts a child still running and leaves it to end on its own.
    void LetChildFinish();
    void UpdateRemoveButton();

    std::filesystem::path program_;
    std::filesystem::path profileDir_;
    QString path_;
    bool dryRun_ = true;
    bool foundSome_ = false;  // the finished dry run would remove something
    std::function<bool()> mayChange_;
    std::function<void()> removed_;
    QTreeWidget* table_ = nullptr;
    QLabel* caption_ = nullptr;
    QLabel* outcome_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QPushButton* remove_ = nullptr;
    QProcess* process_ = nullptr;
};

}  // namespace nubra::client
