#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <memory>

#include "host/Automation.h"
#include "ui/Pictures.h"
#include "ui/QtControls.h"
#include "ui/QtPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra::uitest {
namespace {

using testing::ErrorOf;

using ui::QtProgressBar;
using ui::QtTreeNodes;

// The bar keeps single-precision numbers and shows them on its own integer scale.
TEST(QtProgressBarTest, MapsRangeAndRefusesValuesOutsideIt) {
    struct Case {
        float min, max, value;
        int position;  // on 0..kSteps
    };
    const std::vector<Case> cases = {
        {0, 4, 0, 0},
        {0, 4, 1, QtProgressBar::kSteps / 4},
        {0, 4, 4, QtProgressBar::kSteps},
        {0, 3, 1, 3333},
        {10, 20, 15, QtProgressBar::kSteps / 2},
        {0, 1e7f, 5e6f, QtProgressBar::kSteps / 2},
        {0, 0, 0, 0},  // an empty range shows an empty bar
    };
    for (const auto& c : cases) {
        QProgressBar widget;
        QtProgressBar bar(&widget);
        bar.SetMin(c.min);
        bar.SetMax(c.max);
        bar.SetValue(c.value);
        EXPECT_EQ(bar.Value(), c.value);
        EXPECT_EQ(bar.Position(), c.position) << c.min << ".." << c.max << " at " << c.value;
        EXPECT_EQ(widget.value(), c.position);
        EXPECT_EQ(widget.maximum(), QtProgressBar::kSteps);
    }

    QProgressBar widget;
    QtProgressBar bar(&widget);
    bar.SetMin(0);
    bar.SetMax(10);
    bar.SetValue(7);
    EXPECT_EQ(ErrorOf([&] { bar.SetValue(11); }), 380);
    EXPECT_EQ(ErrorOf([&] { bar.SetValue(-1); }), 380);
    EXPECT_EQ(bar.Value(), 7.0f);
    // Narrowing the range pulls the value in.
    bar.SetMax(5);
    EXPECT_EQ(bar.Value(), 5.0f);
    bar.SetMin(6);
    EXPECT_EQ(bar.Value(), 6.0f);
}

// A scan may still hold the bar when its widget is gone: the numbers go on, nothing crashes.
TEST(QtProgressBarTest, OutlivesItsWidget) {
    auto widget = std::make_unique<QProgressBar>();
    QtProgressBar bar(widget.get());
    bar.SetMax(3);
    widget.reset();
    bar.SetValue(2);
    EXPECT_EQ(bar.Value(), 2.0f);
}

TEST(QtTreeNodesTest, KeysParentsPathsAndPictures) {
    QTreeWidget tree;
    QtTreeNodes nodes(&tree, ui::TreeImageList());
    ASSERT_EQ(nodes.ImageList().size(), 6u);
    for (const auto& icon : nodes.ImageList()) {
        EXPECT_FALSE(icon.isNull());
        EXPECT_TRUE(icon.availableSizes().contains(QSize(ui::kTreePictureSize, ui::kTreePictureSize)));
    }

    auto& store = nodes.Add("", 0, "r1", "Personal Folders");
    auto& inbox = nodes.Add("r1", TreeNodes::tvwChild, "Inbox_2", "Inbox");
    nodes.Add("Inbox_2", TreeNodes::tvwChild, "a\\b_3", "a\\b");
    store.SetImage(2);
    inbox.SetImage(1);
    EXPECT_EQ(nodes.Count(), 3);
    EXPECT_EQ(nodes.At(3).FullPath(), "Personal Folders\\Inbox\\a\\b");
    EXPECT_EQ(nodes.At(3).Index(), 3);
    EXPECT_EQ(nodes.Find("Inbox_2")->Image(), 1);
    EXPECT_EQ(nodes.At(3).Image(), 0);
    EXPECT_TRUE(nodes.At(3).Item()->icon(0).isNull());
    EXPECT_EQ(nodes.NodeOf(tree.topLevelItem(0)), &nodes.At(1));

    struct Bad {
        const char* name;
        std::function<void()> call;
        int32_t number;
    };
    const std::vector<Bad> bad = {
        {"UsedKey", [&] { nodes.Add("", 0, "r1", "Again"); }, 35602},
        {"UnknownParent", [&] { nodes.Add("nope", TreeNodes::tvwChild, "x_9", "x"); }, 35601},
        {"PictureOutOfList", [&] { nodes.At(1).SetImage(7); }, 380},
    };
    for (const auto& b : bad) EXPECT_EQ(ErrorOf(b.call), b.number) << b.name;
    EXPECT_EQ(nodes.Count(), 3);
    EXPECT_EQ(tree.topLevelItemCount(), 1);

    EXPECT_EQ(nodes.SelectedItem(), nullptr);
    tree.setCurrentItem(nodes.At(2).Item());
    EXPECT_EQ(nodes.SelectedItem(), &nodes.At(2));
}

// The Qt platform: a real modal box that waits for the user, and DoEvents running what is
// pending.
TEST(QtPlatformTest, MessageBoxIsModalAndDoEventsRunsPendingWork) {
    ui::QtPlatform platform;
    struct Seen {
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool modal = false;
    };
    struct Case {
        int style;
        std::string title;
        QMessageBox::Icon icon;
        QString shownTitle;
    };
    const std::vector<Case> cases = {
        {vbInformation, "Nubrasweep", QMessageBox::Information, "Nubrasweep"},
        {vbExclamation, "Nubra", QMessageBox::Warning, "Nubra"},
        {vbCritical, "", QMessageBox::Critical, "Nubra"},
    };
    for (const auto& c : cases) {
        Seen seen;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen = {box->windowTitle(), box->text(), box->icon(), box->isModal()};
            box->button(QMessageBox::Ok)->click();
        });
        EXPECT_EQ(platform.MsgBox("Folder <b>x</b>", c.style, c.title), vbOK);
        EXPECT_EQ(seen.title, c.shownTitle);
        EXPECT_EQ(seen.text, "Folder <b>x</b>");
        EXPECT_EQ(seen.icon, c.icon);
        EXPECT_TRUE(seen.modal);
    }

    bool ran = false;
    QMetaObject::invokeMethod(qApp, [&] { ran = true; }, Qt::QueuedConnection);
    platform.DoEvents();
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace nubra::uitest
