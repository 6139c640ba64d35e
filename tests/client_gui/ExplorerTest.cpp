// The explorer window with the add-in loaded from the registry, driven as a user would: the
// menu command opens the dialog, a folder with duplicates is cleaned, and closing the window
// during a scan is refused.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

#include "standin_host/client/AddinSetup.h"
#include "standin_host/client/Client.h"
#include "standin_host/client/ExplorerWindow.h"
#include "standin_host/client/Registry.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/Profile.h"
#include "tests/support/TestEnv.h"

namespace nubra::client {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;

QWidget* TopLevel(const char* name) {
    for (auto* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name) && w->isVisible()) return w;
    return nullptr;
}

QAction* FindAction(const QList<QAction*>& actions, const QString& text) {
    for (auto* a : actions)
        if (a->text() == text) return a;
    return nullptr;
}

// The window with its open menu drawn where it pops up.
QImage Screenshot(QMainWindow& window, QMenu& menu) {
    QPixmap shot = window.grab();
    QPainter painter(&shot);
    const QPoint at = window.mapFromGlobal(menu.pos());
    painter.drawPixmap(at, menu.grab());
    painter.end();
    return shot.toImage();
}

class ExplorerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto folder = profile->FindFolder("Personal Folders\\Contacts");
        store::ItemData c;
        c.Class = outlook::olContact;
        c.FirstName = "Ada";
        c.LastName = "Lovelace";
        c.CompanyName = "Analytical Engines";
        c.Email1Address = "ada@example.org";
        std::vector<store::ItemData> items{c, c, c};
        for (int i = 0; i < 3; ++i) items[static_cast<std::size_t>(i)].CreationTime = 42000 + i;
        profile->AddItems(*folder, items);
        RegisterAddin(NUBRA_MODULE_FILE, false);
        SetPlatform(&platform);
        explorer = client->OpenExplorer();
        window = new ExplorerWindow(*client, explorer);
        window->show();
        client->LoadAddins();
        window->RebuildMenu();
    }
    void TearDown() override {
        if (window) {
            window->close();
            delete window.data();
        }
        client.reset();
        SetPlatform(nullptr);
    }

    QMenu* NubraMenu() {
        auto* popup = FindAction(window->menuBar()->actions(), QStringLiteral("&Nubra"));
        return popup ? popup->menu() : nullptr;
    }

    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", (dir.path() / "config").string()};
    ScopedEnv common{"NUBRA_COMMON_APPDATA", (dir.path() / "common").string()};
    ClientQtPlatform platform;
    std::shared_ptr<store::Profile> profile = store::Profile::Open(dir.path() / "profile");
    std::unique_ptr<Client> client = std::make_unique<Client>(profile, Registry::DefaultFile());
    std::shared_ptr<ExplorerImpl> explorer;
    QPointer<ExplorerWindow> window;
};

TEST_F(ExplorerTest, TheMenuCommandOpensTheDialogThatCleansTheChosenFolder) {
    // The menu bar as the add-in left it: its popup right before Help.
    QStringList titles;
    for (auto* a : window->menuBar()->actions()) titles << a->text();
    EXPECT_EQ(titles, (QStringList{"&File", "&Edit", "&View", "&Go", "&Tools", "&Actions", "&Nubra", "&Help"}));
    QMenu* menu = NubraMenu();
    ASSERT_TRUE(menu);
    QAction* command = FindAction(menu->actions(), QStringLiteral("&Remove duplicate items..."));
    ASSERT_TRUE(command);

    // The explorer shows the folder's items; the open menu goes into the screenshot.
    auto contacts = window->FolderList()->findItems(QStringLiteral("Contacts"), Qt::MatchExactly | Qt::MatchRecursive);
    ASSERT_EQ(contacts.size(), 1);
    window->FolderList()->setCurrentItem(contacts[0]);
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 3);
    window->menuBar()->setActiveAction(FindAction(window->menuBar()->actions(), QStringLiteral("&Nubra")));
    QApplication::processEvents();
    if (!menu->isVisible()) menu->popup(window->mapToGlobal(QPoint(300, window->menuBar()->height())));
    QApplication::processEvents();
    menu->setActiveAction(command);
    QApplication::processEvents();
    const QImage shot = Screenshot(*window, *menu);
    EXPECT_TRUE(shot.save(QStringLiteral(NUBRA_SCREENSHOT_BUILD)));
    EXPECT_TRUE(shot.save(QStringLiteral(NUBRA_SCREENSHOT_DOCS)));
    menu->hide();

    command->trigger();
    QWidget* dialog = TopLevel("frmRemDuplicates");
    ASSERT_TRUE(dialog);
    EXPECT_FALSE(dialog->parentWidget()) << "the dialog must not die with one explorer window";
    command->trigger();  // a second click only brings it up again
    int dialogs = 0;
    for (auto* w : QApplication::topLevelWidgets()) dialogs += w->objectName() == QLatin1String("frmRemDuplicates");
    EXPECT_EQ(dialogs, 1);

    auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
    auto* run = dialog->findChild<QPushButton*>(QStringLiteral("cmdRemDups"));
    auto* status = dialog->findChild<QLabel*>(QStringLiteral("lblBusy"));
    ASSERT_TRUE(tree && run && status);
    auto nodes = tree->findItems(QStringLiteral("Contacts"), Qt::MatchExactly | Qt::MatchRecursive);
    ASSERT_EQ(nodes.size(), 1);
    tree->setCurrentItem(nodes[0]);
    emit tree->itemClicked(nodes[0], 0);
    ASSERT_TRUE(run->isEnabled());

    // The user closes the explorer while the scan yields: refused with a notice, which the
    // user acknowledges.
    bool refused = false;
    QTimer::singleShot(0, window, [&] {
        QTimer::singleShot(0, [&] {
            if (auto* box = QApplication::activeModalWidget()) {
                refused = true;
                box->close();
            }
        });
        window->close();
    });
    run->click();
    EXPECT_TRUE(refused);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(status->text().toStdString(), "Nubra moved 2 duplicate items to subfolder 'Nubra_Duplicate_Items'");
    EXPECT_EQ(profile->FindFolder("Personal Folders\\Contacts\\Nubra_Duplicate_Items")->Items()->Count(), 2);

    // Now the window closes; the add-in cleans up and the dialog goes with it.
    window->close();
    QApplication::processEvents();
    EXPECT_TRUE(client->Ended());
    EXPECT_FALSE(TopLevel("frmRemDuplicates"));
    const auto log = ReadFile(dir.path() / "common" / "Nubra" / "Nubra.log");
    EXPECT_NE(log.find("Nubra has ended; cleanup runs"), std::string::npos);
}

TEST_F(ExplorerTest, AnOpenItemWindowKeepsTheClientRunning) {
    auto contacts = window->FolderList()->findItems(QStringLiteral("Contacts"), Qt::MatchExactly | Qt::MatchRecursive);
    window->FolderList()->setCurrentItem(contacts[0]);
    auto* row = window->ItemList()->topLevelItem(0);
    emit window->ItemList()->itemDoubleClicked(row, 0);
    QWidget* inspector = TopLevel("Inspector");
    ASSERT_TRUE(inspector);
    EXPECT_EQ(client->InspectorCount(), 1);
    window->close();
    EXPECT_FALSE(client->Ended());
    const auto logFile = dir.path() / "common" / "Nubra" / "Nubra.log";
    EXPECT_EQ(ReadFile(logFile).find("cleanup runs"), std::string::npos);
    inspector->close();
    QApplication::processEvents();
    EXPECT_TRUE(client->Ended());
    EXPECT_NE(ReadFile(logFile).find("cleanup runs"), std::string::npos);
}

// A message with a file attached: the list shows the clip for it (and not for the other), the
// item window lists the file and saves it whole, its bytes as they were before encoding.
TEST_F(ExplorerTest, AnAttachmentIsListedAndSavedAsItWasSent) {
    std::string bytes;
    for (int i = 0; i < 3000; ++i) bytes += static_cast<char>((i * 131) & 0xFF);
    QByteArray encoded = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64();
    std::string base64;
    for (qsizetype i = 0; i < encoded.size(); i += 76) base64 += encoded.mid(i, 76).toStdString() + "\r\n";
    const std::string mail =
        "From: a@example.org\r\nSubject: with a file\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nsee the file\r\n"
        "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\"../data.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" + base64 + "--b--\r\n";
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    std::ofstream(dir.path() / "with.eml", std::ios::binary) << mail;
    std::ofstream(dir.path() / "without.eml", std::ios::binary) << "From: a@example.org\r\nSubject: plain\r\n\r\ntext\r\n";
    ASSERT_EQ(formats::ImportFiles(*profile, *inbox, {dir.path() / "with.eml", dir.path() / "without.eml"}).items, 2u);

    window->FolderList()->setCurrentItem(
        window->FolderList()->findItems(QStringLiteral("Inbox"), Qt::MatchExactly | Qt::MatchRecursive)[0]);
    ASSERT_EQ(window->ItemList()->topLevelItemCount(), 2);
    EXPECT_FALSE(window->ItemList()->topLevelItem(0)->icon(0).isNull());
    EXPECT_TRUE(window->ItemList()->topLevelItem(1)->icon(0).isNull());

    emit window->ItemList()->itemDoubleClicked(window->ItemList()->topLevelItem(0), 0);
    auto* inspector = qobject_cast<InspectorWindow*>(TopLevel("Inspector"));
    ASSERT_TRUE(inspector);
    ASSERT_EQ(inspector->AttachmentList()->topLevelItemCount(), 1);
    auto* row = inspector->AttachmentList()->topLevelItem(0);
    EXPECT_EQ(row->text(0), QStringLiteral("../data.bin"));
    EXPECT_EQ(row->text(1), QStringLiteral("application/octet-stream"));
    QString suggested;
    const fs::path target = dir.path() / "saved.bin";
    inspector->chooseFile = [&](QWidget*, const QString& name) {
        suggested = name;
        return QString::fromStdString(target.string());
    };
    EXPECT_TRUE(inspector->SaveAttachment(0));
    EXPECT_EQ(suggested, QStringLiteral("data.bin")) << "the message must not choose the folder";
    EXPECT_EQ(ReadFile(target), bytes);
    inspector->close();
    QApplication::processEvents();
}

}  // namespace
}  // namespace nubra::client

int main(int argc, char** argv) {
    // No display is needed, also when the tests are only listed.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
