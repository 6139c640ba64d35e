#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "globals/NubraGlobals.h"
#include "engine/clsFldMon.h"
#include "tests/ui_qt/DialogFixture.h"
#include "ui/FolderTree.h"
#include "ui/QtPlatform.h"

namespace nubra::uitest {
namespace {

using ui::frmRemDuplicates;

constexpr const char* kPF = "Personal Folders";

// The tree the user sees: keys, pictures, store nodes expanded, journal folders absent, a
// store named "Hotmail" skipped but counted.
TEST_F(DialogTest, TreeShowsEveryStoreWithKeysAndPictures) {
    Prof().CreateFolder(*Folder(std::string(kPF) + "\\Inbox"), "Meetings", outlook::olAppointmentItem);
    Prof().CreateFolder(*Folder(std::string(kPF) + "\\Inbox"), "Forum", outlook::olPostItem);
    Prof().CreateFolder(*Folder(std::string(kPF) + "\\Journal"), "Old journal", outlook::olMailItem);
    Prof().AddStore("hotmail.nbst", "Hotmail", true);
    Prof().AddStore("archive.nbst", "Archive Folders", false);
    Prof().CreateFolder(*Folder("Archive Folders"), "Inbox", outlook::olMailItem);
    Open();

    struct Expected {
        std::string key, path;
        int image;
    };
    const std::vector<Expected> expected = {
        {"r1", "Personal Folders", 2},
        {"Inbox_2", "Personal Folders\\Inbox", 1},
        {"Meetings_3", "Personal Folders\\Inbox\\Meetings", 4},
        {"Forum_4", "Personal Folders\\Inbox\\Forum", 0},
        {"Sent Items_5", "Personal Folders\\Sent Items", 1},
        {"Drafts_6", "Personal Folders\\Drafts", 1},
        {"Outbox_7", "Personal Folders\\Outbox", 1},
        {"Deleted Items_8", "Personal Folders\\Deleted Items", 1},
        {"Calendar_9", "Personal Folders\\Calendar", 4},
        {"Contacts_10", "Personal Folders\\Contacts", 3},
        {"Tasks_11", "Personal Folders\\Tasks", 5},
        {"Notes_12", "Personal Folders\\Notes", 6},
        // Hotmail took counter 13 without a node.
        {"r14", "Archive Folders", 2},
        {"Deleted Items_15", "Archive Folders\\Deleted Items", 1},
        {"Inbox_16", "Archive Folders\\Inbox", 1},
    };
    auto& nodes = dialog->Nodes();
    ASSERT_EQ(nodes.Count(), static_cast<int>(expected.size()));
    // Depth first, in the store's folder order; the journal and everything below it absent.
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& e = expected[i];
        auto* node = &nodes.At(static_cast<int>(i) + 1);
        ASSERT_EQ(node->Key(), e.key);
        EXPECT_EQ(nodes.Find(e.key), node);
        EXPECT_EQ(node->Text(), e.path.substr(e.path.rfind('\\') + 1));
        EXPECT_EQ(node->FullPath(), e.path) << e.key;
        EXPECT_EQ(node->Image(), e.image) << e.key;
        EXPECT_EQ(node->Item()->icon(0).isNull(), e.image == 0) << e.key;
        EXPECT_EQ(node->Item()->isExpanded(), e.image == 2 && node->Item()->parent() == nullptr) << e.key;
    }
    for (int i = 1; i <= nodes.Count(); ++i) EXPECT_EQ(nodes.At(i).Index(), i);
    EXPECT_EQ(Tree()->topLevelItemCount(), 2);
    
    const auto log = LogLines();
    EXPECT_NE(std::find(log.begin(), log.end(), "frmRemDuplicates.Form_load: Form loaded"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "FillTreeView: top level folder Hotmail is skipped"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "FillTreeView: 15 nodes added to the treeview"), log.end());
}

// Loading: first page, run button off until a node is clicked, status hidden, version shown,
// the pointer back to normal.
TEST_F(DialogTest, LoadLeavesTheDialogIdleAndArmsOnFirstClick) {
    Open();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->Ready());
    EXPECT_EQ(Control<QTabWidget>("SSTab1")->currentIndex(), 0);
    EXPECT_FALSE(RunButton()->isEnabled());
    EXPECT_TRUE(CloseButton()->isEnabled());
    EXPECT_EQ(CloseButton()->text(), "Close");
    EXPECT_FALSE(Busy()->isVisible());
    EXPECT_EQ(Control<QLabel>("lblVersionInfo")->text().toStdString(), frmRemDuplicates::ModuleVersion());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    ClickNode(NodeAt("Personal Folders\\Inbox"));
    EXPECT_TRUE(RunButton()->isEnabled());
    EXPECT_FALSE(Busy()->isVisible());
}

TEST_F(DialogTest, VersionTextIsMajorMinorRevision) {
    EXPECT_EQ(frmRemDuplicates::VersionText(1, 4, 4), "1.4.4");
    EXPECT_EQ(frmRemDuplicates::VersionText(10, 0, 12), "10.0.12");
    const std::string v = frmRemDuplicates::ModuleVersion();
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 2) << v;
}

// One instance: showing it again raises the loaded one; after closing, it loads afresh.
TEST_F(DialogTest, ShowKeepsOneInstanceAndReloadsAfterClose) {
    Open();
    frmRemDuplicates* first = dialog;
    EXPECT_EQ(frmRemDuplicates::Show(), first);
    EXPECT_EQ(frmRemDuplicates::Instance(), first);

    QTest::mouseClick(CloseButton(), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(frmRemDuplicates::Instance(), nullptr);
    dialog = nullptr;

    Open();
    EXPECT_NE(dialog, nullptr);
    const auto log = LogLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), "frmRemDuplicates.Form_load: Form loaded"), 2);
}

// The outcome of a run, as the status line reports it.
struct RunCase {
    const char* name;
    std::string folder;
    std::vector<store::ItemData> items;
    std::string outcome;
    int32_t left;       // items left in the folder
    int32_t moved;      // items in the duplicates subfolder (-1: no subfolder)
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class RunOutcomeTest : public DialogTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(RunOutcomeTest, StatusLineTellsWhatHappened) {
    const RunCase& c = GetParam();
    AddItems(c.folder, c.items);
    Open();
    RunOn(c.folder);

    EXPECT_EQ(BusyText(), c.outcome);
    EXPECT_TRUE(Busy()->isVisible());
    EXPECT_TRUE(platform.boxes.empty());
    auto folder = Folder(c.folder);
    EXPECT_EQ(CountIn(folder), c.left);
    auto dups = DuplicatesOf(folder);
    EXPECT_EQ(dups ? CountIn(dups) : -1, c.moved);
    // Done: ready again, bar at 0, both buttons on.
    EXPECT_TRUE(dialog->Ready());
    EXPECT_FALSE(dialog->Running());
    EXPECT_EQ(dialog->ProgBar().Value(), 0.0f);
    EXPECT_EQ(Control<QProgressBar>("ProgBar")->value(), 0);
    EXPECT_TRUE(RunButton()->isEnabled());
    EXPECT_TRUE(CloseButton()->isEnabled());

    // The next node click hides the outcome.
    ClickNode(NodeAt("Personal Folders\\Inbox"));
    EXPECT_FALSE(Busy()->isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, RunOutcomeTest,
    ::testing::Values(
        RunCase{"EmptyFolder", "Personal Folders\\Tasks", {}, "Folder Tasks is empty", 0, -1},
        RunCase{"TwoIdenticalContacts",
                "Personal Folders\\Contacts",
                {Contact("Ann", "Lee", "ann@example.org", 0), Contact("Ann", "Lee", "ann@example.org", 1),
                 Contact("Bob", "Lee", "bob@example.org", 2)},
                "Nubra moved 1 duplicate items to subfolder 'Nubra_Duplicate_Items'",
                2,
                1},
        RunCase{"ThreeCopiesOfANote",
                "Personal Folders\\Notes",
                {Note("Buy milk", 0), Note("Buy milk", 1), Note("Buy milk", 2)},
                "Nubra has deleted 2 duplicate notes. Notes cannot be moved to a subfolder",
                1,
                -1},
        RunCase{"NoDuplicates",
                "Personal Folders\\Contacts",
                {Contact("Ann", "Lee", "ann@example.org", 0), Contact("Bob", "Lee", "bob@example.org", 1)},
                "There are no duplicates found in folder Contacts",
                2,
                -1}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

// The very first node counts as no selection; another store's top node does count.
TEST_F(DialogTest, FirstNodeIsNoSelection) {
    Prof().AddStore("archive.nbst", "Archive Folders", false);
    Open();
    RunOn("Personal Folders");
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].prompt, "You have not made a selection. Please select a folder from the list");
    EXPECT_EQ(platform.boxes[0].style, vbInformation);
    EXPECT_EQ(platform.boxes[0].title, "Nubrasweep");
    EXPECT_FALSE(Busy()->isVisible());
    EXPECT_TRUE(RunButton()->isEnabled());
    EXPECT_TRUE(CloseButton()->isEnabled());

    platform.Clear();
    RunOn("Archive Folders");
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(BusyText(), "Folder Archive Folders is empty");
}

// While the scan yields, the user may click in the dialog: a node click hides the status
// text but cannot arm the run button; the window frame cannot close the dialog; the
// progress bar shows the scan's progress.
TEST_F(DialogTest, EventsDuringAScan) {
    AddItems("Personal Folders\\Contacts",
             {Contact("Ann", "Lee", "ann@example.org", 0), Contact("Ann", "Lee", "ann@example.org", 1),
              Contact("Bob", "Lee", "bob@example.org", 2), Contact("Bob", "Lee", "bob@example.org", 3)});
    Open();
    int yields = 0;
    bool closedDuringScan = true;
    std::vector<int> barPositions;
    platform.onDoEvents = [&] {
        ++yields;
        EXPECT_TRUE(dialog->Running());
        EXPECT_FALSE(dialog->Ready());
        EXPECT_EQ(BusyText(), "Processing items in folder Contacts");
        EXPECT_FALSE(CloseButton()->isEnabled());
        barPositions.push_back(Control<QProgressBar>("ProgBar")->value());

        ClickNode(NodeAt("Personal Folders\\Inbox"));
        EXPECT_FALSE(Busy()->isVisible());
        EXPECT_FALSE(RunButton()->isEnabled());

        closedDuringScan = dialog->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // Pressing the button again from inside the yield starts nothing.
        dialog->cmdRemDups_Click();
    };
    RunOn("Personal Folders\\Contacts");
    platform.onDoEvents = nullptr;

    EXPECT_EQ(yields, 2);
    EXPECT_FALSE(closedDuringScan);
    ASSERT_EQ(frmRemDuplicates::Instance(), dialog);
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_EQ(barPositions.size(), 2u);
    EXPECT_GT(barPositions[0], 0);
    EXPECT_EQ(BusyText(), "Nubra moved 2 duplicate items to subfolder 'Nubra_Duplicate_Items'");
    EXPECT_EQ(CountIn(DuplicatesOf(Folder("Personal Folders\\Contacts"))), 2);
    EXPECT_TRUE(RunButton()->isEnabled());
    EXPECT_TRUE(CloseButton()->isEnabled());

    // Once the scan is over the frame closes the dialog.
    EXPECT_TRUE(CloseDialog());
    EXPECT_EQ(frmRemDuplicates::Instance(), nullptr);
}

// The host may destroy the dialog while a scan yields (the add-in shutting down): the scan
// finishes on a progress bar that is still there, and nothing touches the gone dialog.
TEST_F(DialogTest, DialogDestroyedDuringAScan) {
    AddItems("Personal Folders\\Contacts",
             {Contact("Ann", "Lee", "ann@example.org", 0), Contact("Ann", "Lee", "ann@example.org", 1),
              Contact("Bob", "Lee", "bob@example.org", 2), Contact("Bob", "Lee", "bob@example.org", 3)});
    Open();
    ClickNode(NodeAt("Personal Folders\\Contacts"));
    int yields = 0;
    platform.onDoEvents = [&] {
        if (++yields == 1) delete dialog;
    };
    QPointer<frmRemDuplicates> watch(dialog);
    dialog->cmdRemDups_Click();
    platform.onDoEvents = nullptr;
    dialog = nullptr;

    EXPECT_TRUE(watch.isNull());
    EXPECT_EQ(frmRemDuplicates::Instance(), nullptr);
    EXPECT_EQ(yields, 2) << "the scan ran to its end";
    EXPECT_EQ(CountIn(DuplicatesOf(Folder("Personal Folders\\Contacts"))), 2);
}

// With the Qt platform installed, the dialog's notice is a real modal box that waits for
// the user.
TEST_F(DialogTest, NoticeIsAModalBoxOnTheQtPlatform) {
    ui::QtPlatform qtPlatform;
    session = std::make_unique<session::SystemSession>(profile, qtPlatform);
    Open();
    ClickNode(NodeAt("Personal Folders"));
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool buttonsOffMeanwhile = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        title = box->windowTitle();
        icon = box->icon();
        buttonsOffMeanwhile = !RunButton()->isEnabled() && !CloseButton()->isEnabled();
        box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(RunButton(), Qt::LeftButton);
    EXPECT_EQ(text, "You have not made a selection. Please select a folder from the list");
    EXPECT_EQ(title, "Nubrasweep");
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_TRUE(buttonsOffMeanwhile);
    EXPECT_TRUE(RunButton()->isEnabled());
    session.reset();  // before the platform it installed goes
}

// The run opens the node's own folder: with two stores of one name, the selected one is
// cleaned and the other is left alone.
TEST_F(DialogTest, RunCleansTheSelectedStoreWhenTwoShareAName) {
    for (const char* file : {"first.nbst", "second.nbst"}) {
        Prof().AddStore(file, "Archive", false);
    }
    const auto stores = Prof().Stores();
    ASSERT_EQ(stores.size(), 3u);
    auto ns = Prof().NameSpace();
    std::vector<outlook::FolderRef> contacts;
    for (int i = 2; i <= 3; ++i) {
        auto top = ns->Folders()->Item(i);
        contacts.push_back(Prof().CreateFolder(*top, "Contacts", outlook::olContactItem));
        Prof().AddItems(*contacts.back(), std::vector<store::ItemData>{Contact("Ann", "Lee", "ann@example.org", 0),
                                                                       Contact("Ann", "Lee", "ann@example.org", 1)});
    }
    Open();

    // Both nodes read "Archive\Contacts"; the second store's is the later one.
    auto& nodes = dialog->Nodes();
    std::vector<ui::QtTreeNodes::Node*> twins;
    for (int i = 1; i <= nodes.Count(); ++i)
        if (nodes.At(i).FullPath() == "Archive\\Contacts") twins.push_back(&nodes.At(i));
    ASSERT_EQ(twins.size(), 2u);
    ClickNode(twins[1]);
    QTest::mouseClick(RunButton(), Qt::LeftButton);

    EXPECT_EQ(BusyText(), "Nubra moved 1 duplicate items to subfolder 'Nubra_Duplicate_Items'");
    EXPECT_EQ(CountIn(contacts[0]), 2) << "the first store's folder was touched";
    EXPECT_EQ(DuplicatesOf(contacts[0]), nullptr);
    EXPECT_EQ(CountIn(contacts[1]), 1);
    EXPECT_EQ(CountIn(DuplicatesOf(contacts[1])), 1);
}

// A folder whose name holds the path separator is still found (by its identity).
TEST_F(DialogTest, RunFindsAFolderWhoseNameHoldsABackslash) {
    outlook::FolderRef odd;
    try {
        odd = Prof().CreateFolder(*Folder(kPF), "Work\\Home", outlook::olNoteItem);
    } catch (const AutomationError&) {
        GTEST_SKIP() << "the store does not take a backslash in a folder name";
    }
    Prof().AddItems(*odd, std::vector<store::ItemData>{Note("Call Jo", 0), Note("Call Jo", 1)});
    Open();
    RunOn("Personal Folders\\Work\\Home");
    EXPECT_TRUE(platform.boxes.empty());
    EXPECT_EQ(BusyText(), "Nubra has deleted 1 duplicate notes. Notes cannot be moved to a subfolder");
    EXPECT_EQ(CountIn(odd), 1);
}

// A namespace whose folder look-up fails, the way a store that went away fails.
class LostFolderNameSpace : public outlook::NameSpace {
public:
    explicit LostFolderNameSpace(std::shared_ptr<outlook::NameSpace> real) : real_(std::move(real)) {}
    std::shared_ptr<outlook::Application> Application() override { return real_->Application(); }
    std::shared_ptr<outlook::Folders> Folders() override { return real_->Folders(); }
    outlook::ItemRef GetItemFromID(const std::string& e, const std::string& s) override {
        return real_->GetItemFromID(e, s);
    }
    outlook::FolderRef GetFolderFromID(const std::string&, const std::string&) override {
        RaiseError(errnum::kMapiNotFound, "The store is not open");
    }

private:
    std::shared_ptr<outlook::NameSpace> real_;
};

// A run that fails is reported and leaves the dialog usable: ready, bar at 0, both buttons on.
struct FailureCase {
    const char* name;
    std::function<void()> breakIt;  // runs after loading, before the run
    std::string logged;             // the start of the error's log line
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class RunFailureTest : public DialogTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RunFailureTest, FailedRunLeavesTheDialogUsable) {
    AddItems("Personal Folders\\Contacts",
             {Contact("Ann", "Lee", "ann@example.org", 0), Contact("Ann", "Lee", "ann@example.org", 1)});
    Open();
    GetParam().breakIt();
    RunOn("Personal Folders\\Contacts");

    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_NE(platform.boxes[0].prompt.find("Procedure: frmRemDuplicates.cmdRemDups_Click"), std::string::npos);
    const auto log = LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind(GetParam().logged, 0), 0u) << log.back();
    EXPECT_TRUE(dialog->Ready());
    EXPECT_FALSE(dialog->Running());
    EXPECT_EQ(dialog->ProgBar().Value(), 0.0f);
    EXPECT_TRUE(RunButton()->isEnabled());
    EXPECT_TRUE(CloseButton()->isEnabled());
    EXPECT_EQ(CountIn(Folder("Personal Folders\\Contacts")), 2);

    // And the dialog closes normally afterwards.
    EXPECT_TRUE(CloseDialog());
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, RunFailureTest,
    ::testing::Values(
        FailureCase{"EngineMissing", [] { goFldMon.reset(); },
                    "Error# 91 in proc: frmRemDuplicates.cmdRemDups_Click. "},
        FailureCase{"FolderCannotBeOpened",
                    [] { goOlNameSpace = std::make_shared<LostFolderNameSpace>(goOlNameSpace); },
                    "Error# 271 in proc: frmRemDuplicates.cmdRemDups_Click. The store is not open  object errorcode: "
                    "-2147221233"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// A load that fails is reported; the dialog opens all the same and the pointer is restored.
TEST_F(DialogTest, LoadFailureIsReportedAndTheDialogStillOpens) {
    session = std::make_unique<session::SystemSession>(profile, platform);
    goOlNameSpace.reset();
    Open();
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_NE(platform.boxes[0].prompt.find("Procedure: frmRemDuplicates.Form_load"), std::string::npos);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->Ready());
    EXPECT_EQ(dialog->Nodes().Count(), 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// The links open the maker's page and the help page in the default browser.
TEST_F(DialogTest, LinksOpenTheirPagesInTheBrowser) {
    const auto bin = tmp.path() / "bin";
    std::filesystem::create_directories(bin);
    {
        std::ofstream(bin / "xdg-open") << "#!/bin/sh\nexit 0\n";
    }
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    testing::ScopedEnv path("PATH", bin.string());
    testing::ScopedEnv tmpdir("TMPDIR", tmp.str());
    Open();

    struct Link {
        const char* label;
        std::string address;
    };
    const std::vector<Link> links = {
        {"lblQuorel", frmRemDuplicates::MakerUrl()},
        {"lblQuorel2", frmRemDuplicates::MakerUrl()},
        {"lblAmbrelLite", frmRemDuplicates::MakerUrl()},
        {"lblShowHelp", AddinModuleFolder() + "/Nubra_help.htm"},
    };
    Control<QTabWidget>("SSTab1")->setCurrentIndex(2);
    for (const auto& link : links) {
        platform.Clear();
        QTest::mouseClick(Control<QLabel>(link.label), Qt::LeftButton);
        ASSERT_EQ(platform.started.size(), 1u) << link.label;
        EXPECT_EQ(platform.started[0].program, (bin / "xdg-open").string()) << link.label;
        EXPECT_EQ(platform.started[0].arguments, std::vector<std::string>{link.address}) << link.label;
    }
    EXPECT_FALSE(frmRemDuplicates::MakerUrl().empty());
    EXPECT_TRUE(std::filesystem::exists(frmRemDuplicates::HelpPage())) << frmRemDuplicates::HelpPage();
    EXPECT_EQ(Control<QLabel>("lblQuorel")->text().toStdString(), frmRemDuplicates::MakerUrl());
}

// A browser look-up that cannot write its file is reported, not left to end the host.
TEST_F(DialogTest, LinkFailureIsReported) {
    const auto notAFolder = tmp.path() / "file";
    std::ofstream(notAFolder) << "x";
    testing::ScopedEnv tmpdir("TMPDIR", notAFolder.string());
    Open();
    dialog->lblShowHelp_Click();
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_NE(platform.boxes[0].prompt.find("Procedure: frmRemDuplicates.lblShowHelp_Click"), std::string::npos);
    EXPECT_TRUE(platform.started.empty());
}

// Every caption and text the user reads, with its control's name.
TEST_F(DialogTest, CaptionsAndTexts) {
    Open();
    const std::vector<std::pair<const char*, const char*>> texts = {
        {"lblExplain", "Remove duplicate items from a selected folder"},
        {"lblExplain2",
         "If Nubra finds duplicate items then Nubra will create a subfolder 'Nubra_Duplicate_Items' in the selected "
         "folder and all duplicate items found will be MOVED to this subfolder."},
        {"lblSelect", "Select a folder and click 'Remove duplicate items' to have Nubra look for duplicates."},
        {"Label1(0)",
         "When Nubra looks to see if an item is already present in a folder it uses the following properties to "
         "determine if an item is a duplicate item:"},
        {"Label2(0)", "Contacts:"},
        {"Label3(0)", "First name, Last name, Company name and Email address"},
        {"Label2(1)", "Appointments:"},
        {"Label3(1)", "Subject, Location, Start date and End date"},
        {"Label2(2)", "Tasks:"},
        {"Label3(2)", "Subject, Start date, Due date and Status"},
        {"Label2(3)", "Notes:"},
        {"Label3(3)", "Contents of the note and Color"},
        {"Label2(4)", "Emails:"},
        {"Label3(4)", "- received emails: the internet message ID (= a unique identifier)"},
        {"Label3(5)", "- sent emails: email subject and the time the email is sent"},
        {"Label3(6)", "- unsent emails: email subject only"},
        {"Label1(1)", "If all properties are the same then Nubra assumes it's the same item"},
        {"lblNubra", "Nubrasweep"},
        {"lblVersion", "Version:"},
        {"lblCompany", "Made by"},
        {"Label4", "For help on how to enable / disable and uninstall Nubra"},
        {"lblShowHelp", "click here"},
        {"lblAdd2", "Check out our award winning synchronization tools Ambrel Lite and Ambrel PRO on"},
        {"lblAd", "If you run Outlook on mulitple computers then check Quorel's FREE synchronization tool: "},
        {"lblAmbrelLite", "Ambrel Lite"},
    };
    for (const auto& [name, text] : texts) {
        auto* label = Control<QLabel>(name);
        if (label) {
            EXPECT_EQ(label->text().toStdString(), text) << name;
        }
    }
    EXPECT_EQ(dialog->windowTitle(), "Nubrasweep");
    EXPECT_EQ(dialog->size(), QSize(572, 461));
    EXPECT_FALSE(dialog->windowIcon().isNull());
    auto* tabs = Control<QTabWidget>("SSTab1");
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), "&Remove duplicate items");
    EXPECT_EQ(tabs->tabText(1), "&How Nubra finds duplicates");
    EXPECT_EQ(tabs->tabText(2), "&About Nubra");
    EXPECT_EQ(RunButton()->text(), "Remove &duplicate items");
    EXPECT_EQ(Control<QLabel>("lblAmbrelLite")->toolTip(), "Click here to go to the Ambrel page on Quorel's website");
    for (const char* picture : {"picIcon", "Image1", "Picture1(0)", "Picture1(1)", "Picture1(2)", "Picture1(3)",
                                "Picture1(4)"}) {
        auto* label = Control<QLabel>(picture);
        if (label) {
            EXPECT_FALSE(label->pixmap().isNull()) << picture;
        }
    }
    for (const char* line : {"Line1(0)", "Line1(3)"}) Control<QWidget>(line);

    // Colours and sizes.
    const QColor navy(0, 0, 128), blue(0, 0, 255);
    struct Look {
        const char* name;
        QColor color;
        double points;
        bool bold, underline;
    };
    const std::vector<Look> looks = {
        {"lblSelect", blue, 8.25, true, false},     {"Label3(0)", navy, 9.75, false, false},
        {"Label3(6)", navy, 9.75, false, false},    {"lblQuorel", navy, 8.25, true, true},
        {"lblQuorel2", navy, 8.25, true, true},     {"lblShowHelp", navy, 8.25, true, true},
        {"lblAmbrelLite", navy, 9.75, true, true},
    };
    for (const auto& look : looks) {
        auto* w = Control<QWidget>(look.name);
        if (!w) continue;
        EXPECT_EQ(w->palette().color(QPalette::WindowText), look.color) << look.name;
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), look.points) << look.name;
        EXPECT_EQ(w->font().bold(), look.bold) << look.name;
        EXPECT_EQ(w->font().underline(), look.underline) << look.name;
    }
}

// Pictures of each page after a run, for the eye.
TEST_F(DialogTest, Screenshots) {
    Prof().CreateFolder(*Folder(std::string(kPF) + "\\Inbox"), "Meetings", outlook::olAppointmentItem);
    Prof().AddStore("archive.nbst", "Archive Folders", true);
    AddItems("Personal Folders\\Contacts",
             {Contact("Ann", "Lee", "ann@example.org", 0), Contact("Ann", "Lee", "ann@example.org", 1),
              Contact("Bob", "Lee", "bob@example.org", 2), Contact("Bob", "Lee", "bob@example.org", 3),
              Contact("Cy", "Lee", "cy@example.org", 4)});
    Open();
    RunOn("Personal Folders\\Contacts");
    ASSERT_EQ(BusyText(), "Nubra moved 2 duplicate items to subfolder 'Nubra_Duplicate_Items'");

    const QString dir = QStringLiteral(NUBRA_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(dir));
    auto* tabs = Control<QTabWidget>("SSTab1");
    for (int page = 0; page < 3; ++page) {
        tabs->setCurrentIndex(page);
        QCoreApplication::processEvents();
        const QString file = dir + QStringLiteral("/page%1.png").arg(page + 1);
        EXPECT_TRUE(dialog->grab().save(file)) << file.toStdString();
    }
}

}  // namespace
}  // namespace nubra::uitest
