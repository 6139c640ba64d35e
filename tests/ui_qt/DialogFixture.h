// What the dialog's tests share: a real store profile in a scratch folder, the system set up
// over it as the command line does, a recording platform for boxes and yields, the loaded
// dialog and ways to drive it as a user would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

#include "host/Outlook.h"
#include "tests/support/SystemSession.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/Profile.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"
#include "ui/QtControls.h"
#include "ui/frmRemDuplicates.h"

namespace nubra::uitest {

store::ItemData Contact(const std::string& first, const std::string& last, const std::string& email, int minute);
store::ItemData Note(const std::string& body, int minute);

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sets the system up over the profile (as the command line does) and loads the dialog.
    ui::frmRemDuplicates& Open();
    // Closes the dialog as the window frame would and lets Qt delete it; true when it closed.
    bool CloseDialog();

    store::Profile& Prof() { return *profile; }
    outlook::FolderRef Folder(const std::string& path) { return profile->FindFolder(path); }
    void AddItems(const std::string& path, const std::vector<store::ItemData>& items);
    int32_t CountIn(const outlook::FolderRef& folder) { return folder->Items()->Count(); }
    // The duplicates subfolder of `folder`, or nullptr.
    outlook::FolderRef DuplicatesOf(const outlook::FolderRef& folder);

    // Controls of the loaded dialog by object name.
    template <typename W = QWidget>
    W* Control(const char* name) {
        auto* w = dialog->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QTreeWidget* Tree() { return Control<QTreeWidget>("TreeView1"); }
    QLabel* Busy() { return Control<QLabel>("lblBusy"); }
    QPushButton* RunButton() { return Control<QPushButton>("cmdRemDups"); }
    QPushButton* CloseButton() { return Control<QPushButton>("cmdClose"); }

    // The node with this full path ("Store\Folder"); fails the test when there is not exactly one.
    ui::QtTreeNodes::Node* NodeAt(const std::string& fullPath);
    // Clicks the node's row with the mouse.
    void ClickNode(ui::QtTreeNodes::Node* node);
    // Clicks the node, then the run button, as a user does.
    void RunOn(const std::string& fullPath);
    std::string BusyText() { return Busy()->text().toStdString(); }
    std::vector<std::string> LogLines();

    testing::TempDir tmp;
    std::optional<testing::ScopedEnv> appData;
    std::optional<testing::ScopedEnv> runtimeDir;
    testing::RecordingPlatform platform{false};
    std::shared_ptr<store::Profile> profile;
    std::unique_ptr<session::SystemSession> session;
    ui::frmRemDuplicates* dialog = nullptr;
};

}  // namespace nubra::uitest
