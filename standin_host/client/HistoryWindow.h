// "History...": the removal runs recorded for the profile, the items the selected run took out,
// and Restore, which puts the selected run's items back (history::Restore, in this process: the
// window's client owns the profile).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QWidget>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace nubra::store {
class Profile;
}

namespace nubra::client {

class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    // A window of its own, owned by `owner`; `profile` must outlive it. `mayChange` is asked
    // before a restore and says (to the user too) when the stores must not be changed now;
    // `restored` is told after a restore moved anything.
    HistoryWindow(QWidget* owner, std::shared_ptr<store::Profile> profile, std::function<bool()> mayChange,
                  std::function<void()> restored);

    // Newest first: run, time, status, folders, removed, restored, command.
    QTreeWidget* Runs() const { return runs_; }
    // The selected run's items: action, kind, subject or name, created, duplicate of, restored,
    // folder, now in.
    QTreeWidget* Items() const { return items_; }
    QPushButton* RestoreButton() const { return restore_; }

    // Reads the runs again, keeping the selected one.
    void Reload();
    // Restores the selected run, reloads, and says how many came back and what was left.
    void RestoreSelected();

protected:
    // Runs made meanwhile (a clean on the command line) show up when the window comes back.
    void changeEvent(QEvent* event) override;

private:
    std::string SelectedRun() const;
    void ShowRun(const std::string& runId);

    std::shared_ptr<store::Profile> profile_;
    std::function<bool()> mayChange_;
    std::function<void()> restored_;
    QTreeWidget* runs_ = nullptr;
    QTreeWidget* items_ = nullptr;
    QLabel* outcomes_ = nullptr;
    QPushButton* restore_ = nullptr;
};

}  // namespace nubra::client
