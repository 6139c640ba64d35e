// The explorer window with the add-in loaded from the registry, driven as a user would: the
// menu command opens the dialog, a folder with duplicates is cleaned and the window shows it at
// once, closing the window during a scan is refused; the explorer's own commands: the dry-run
// preview, the history with its restore, import, export, added stores, the item window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

#include "standin_host/client/AddinSetup.h"
#include "standin_host/client/Client.h"
#include "standin_host/client/ExplorerWindow.h"
#include "standin_host/client/HistoryWindow.h"
#include "standin_host/client/PreviewWindow.h"
#include "standin_host/client/Registry.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/history/History.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/Profile.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

// Failures show the text, not its bytes.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

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

// Runs the event loop until `done` holds; false when `seconds` passed first.
bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
    const QDeadlineTimer deadline(seconds * 1000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return true;
}

QTreeWidgetItem* FolderNode(ExplorerWindow& window, const char* name) {
    auto found = window.FolderList()->findItems(QString::fromLatin1(name), Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
}

QStringList Column(QTreeWidget* table, int column) {
    QStringList texts;
    for (int r = 0; r < table->topLevelItemCount(); ++r) texts << table->topLevelItem(r)->text(column);
    return texts;
}

// The read-only fields of an item window by their labels.
std::map<QString, QString> Fields(QWidget& window) {
    std::map<QString, QString> fields;
    auto* form = window.findChild<QFormLayout*>();
    for (auto* edit : window.findChildren<QLineEdit*>()) {
        if (auto* label = qobject_cast<QLabel*>(form ? form->labelForField(edit) : nullptr))
            fields[label->text()] = edit->text();
    }
    return fields;
}

// Answers every modal message box as soon as it shows, keeping its text.
class BoxAnswerer {
public:
    BoxAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        timer_.start(10);
    }
    QStringList texts;

private:
    QTimer timer_;
};

void SaveScreenshot(QWidget& window, const char* name) {
    const QImage shot = window.grab().toImage();
    EXPECT_TRUE(shot.save(QStringLiteral(NUBRA_SCREENSHOTS_BUILD "/") + QLatin1String(name)));
    EXPECT_TRUE(shot.save(QStringLiteral(NUBRA_SCREENSHOTS_DOCS "/") + QLatin1String(name)));
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
        window->SetProgram(NUBRASWEEP_BINARY);
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

    QMenu* Menu(const char* title) {
        auto* popup = FindAction(window->menuBar()->actions(), QString::fromLatin1(title));
        return popup ? popup->menu() : nullptr;
    }
    QMenu* NubraMenu() { return Menu("&Nubra"); }
    // A command of the explorer's own menus, as the user picks it.
    void Pick(const char* menu, const char* command) {
        QMenu* popup = Menu(menu);
        QAction* action = popup ? FindAction(popup->actions(), QString::fromLatin1(command)) : nullptr;
        ASSERT_TRUE(action) << menu << " " << command;
        action->trigger();
    }
    void Select(const char* folder) {
        auto* node = FolderNode(*window, folder);
        ASSERT_TRUE(node) << folder;
        window->FolderList()->setCurrentItem(node);
    }
    // Three mails twice each and one once, into the Inbox.
    void AddMails() {
        std::vector<store::ItemData> mails;
        const char* subjects[] = {"Minutes of the Tuesday meeting", "Travel plans for May", "Invoice 2024-117",
                                  "Welcome to the list"};
        for (int i = 0; i < 4; ++i) {
            store::ItemData m;
            m.Class = outlook::olMail;
            m.Subject = subjects[i];
            m.SenderName = "Charles Babbage";
            m.To = "Ada Lovelace";
            m.InternetMessageID = "<mail-" + std::to_string(i) + "@example.org>";
            m.SentOn = 45600 + i;
            m.CreationTime = 45600.5 + i;
            for (int copy = 0; copy < (i < 3 ? 2 : 1); ++copy) mails.push_back(m);
        }
        profile->AddItems(*profile->FindFolder("Personal Folders\\Inbox"), mails);
    }

    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", (dir.path() / "config").string()};
    ScopedEnv common{"NUBRA_COMMON_APPDATA", (dir.path() / "common").string()};
    // Where dry-run snapshots, connected stores' caches and the history go.
    ScopedEnv cache{"XDG_CACHE_HOME", (dir.path() / "cache").string()};
    ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").string()};
    std::shared_ptr<store::Profile> profile = store::Profile::Open(dir.path() / "profile");
    ClientQtPlatform platform = [this] {
        ClientQtPlatform p;
        p.SetProfile(profile);
        return p;
    }();
    std::unique_ptr<Client> client = std::make_unique<Client>(profile, Registry::DefaultFile());
    std::shared_ptr<ExplorerImpl> explorer;
    QPointer<ExplorerWindow> window;
};

TEST_F(ExplorerTest, TheMenuCommandOpensTheDialogThatCleansTheChosenFolder) {
    // The menu bar as the add-in left it: its popup right before Help.
    QStringList titles;
    for (auto* a : window->menuBar()->actions()) titles << a->text();
    // Menus that hold nothing are not shown; File holds the explorer's own commands, Exit last.
    EXPECT_EQ(titles, (QStringList{"&File", "&View", "&Tools", "&Nubra", "&Help"}));
    QStringList file;
    for (auto* a : Menu("&File")->actions()) file << a->text();
    EXPECT_EQ(file, (QStringList{"&Import...", "&Export...", "Add &Maildir...", "Add IM&AP account...", "E&xit"}));
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
    // The dialog's run is in the history, as the command line's are, ready to be undone.
    {
        history::History h(history::History::FileFor(profile->Directory()));
        const auto runs = h.Runs();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].removed, 2);
        const auto folders = h.Folders(runs[0].id);
        ASSERT_EQ(folders.size(), 1u);
        EXPECT_EQ(folders[0].path, "Personal Folders\\Contacts");
        EXPECT_FALSE(folders[0].removals[0].duplicateOf.empty());
    }

    // The explorer shows what the run did without a restart: the new folder in the tree, the
    // moved items gone from the list, the folder still selected.
    ASSERT_TRUE(WaitFor([&] { return FolderNode(*window, "Nubra_Duplicate_Items") != nullptr; }, 10));
    EXPECT_EQ(FolderNode(*window, "Nubra_Duplicate_Items")->parent()->text(0), "Contacts");
    ASSERT_TRUE(window->FolderList()->currentItem());
    EXPECT_EQ(window->FolderList()->currentItem()->text(0), "Contacts");
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 1);

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
    auto fields = Fields(*inspector);
    EXPECT_EQ(fields["Company:"], "Analytical Engines");
    EXPECT_EQ(fields["E-mail:"], "ada@example.org");
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

TEST_F(ExplorerTest, PreviewShowsWhatACleanWouldRemoveWithoutChangingAnything) {
    AddMails();
    window->RefreshViews();
    Select("Inbox");
    Pick("&Tools", "&Preview duplicates...");
    auto* preview = qobject_cast<PreviewWindow*>(TopLevel("Preview"));
    ASSERT_TRUE(preview);
    // The dry run works in a child process while the window goes on.
    EXPECT_TRUE(preview->Running());
    EXPECT_TRUE(preview->findChild<QProgressBar*>(QStringLiteral("Busy"))->isVisible());
    ASSERT_TRUE(WaitFor([&] { return !preview->Running(); }));
    EXPECT_FALSE(preview->findChild<QProgressBar*>(QStringLiteral("Busy"))->isVisible());

    auto* table = preview->Table();
    EXPECT_EQ(Column(table, 0), (QStringList{"mail", "mail", "mail"}));
    EXPECT_EQ(Column(table, 1),
              (QStringList{"Minutes of the Tuesday meeting", "Travel plans for May", "Invoice 2024-117"}));
    EXPECT_EQ(Column(table, 3), (QStringList{"moved", "moved", "moved"}));
    EXPECT_EQ(Column(table, 4), Column(table, 1));
    EXPECT_EQ(table->topLevelItem(0)->text(2).left(4), "2024");
    EXPECT_EQ(preview->Outcome()->text(), "Nubra moved 3 duplicate items to subfolder 'Nubra_Duplicate_Items'");
    SaveScreenshot(*preview, "preview.png");

    // Nothing changed.
    EXPECT_EQ(profile->FindFolder("Personal Folders\\Inbox")->Items()->Count(), 7);
    EXPECT_FALSE(FolderNode(*window, "Nubra_Duplicate_Items"));
    preview->close();
}

TEST_F(ExplorerTest, HistoryListsARunOfTheCommandLineAndRestoresIt) {
    AddMails();
    window->RefreshViews();
    Select("Inbox");
    ASSERT_EQ(window->ItemList()->topLevelItemCount(), 7);
    QProcess clean;
    clean.start(QStringLiteral(NUBRASWEEP_BINARY), {QStringLiteral("--profile"), QString::fromStdString(profile->Directory().string()),
                                                    QStringLiteral("clean"), QStringLiteral("Personal Folders\\Inbox")});
    ASSERT_TRUE(clean.waitForFinished(120000));
    ASSERT_EQ(clean.exitCode(), 0) << clean.readAllStandardError().toStdString();
    // Another process's run shows after View > Refresh.
    Pick("&View", "&Refresh");
    ASSERT_TRUE(FolderNode(*window, "Nubra_Duplicate_Items"));
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 4);

    Pick("&Tools", "&History...");
    auto* history = qobject_cast<HistoryWindow*>(TopLevel("History"));
    ASSERT_TRUE(history);
    ASSERT_EQ(history->Runs()->topLevelItemCount(), 1);
    const auto* run = history->Runs()->topLevelItem(0);
    const QString runId = run->text(0);
    EXPECT_EQ(run->text(2), "done");
    EXPECT_EQ(run->text(4), "3");
    EXPECT_EQ(run->text(5), "0");
    EXPECT_EQ(run->text(6), "clean Personal Folders\\Inbox");
    EXPECT_EQ(Column(history->Items(), 2),
              (QStringList{"Minutes of the Tuesday meeting", "Travel plans for May", "Invoice 2024-117"}));
    EXPECT_EQ(Column(history->Items(), 7).front(), "Personal Folders\\Inbox\\Nubra_Duplicate_Items");
    ASSERT_TRUE(history->RestoreButton()->isEnabled());
    SaveScreenshot(*history, "history.png");

    BoxAnswerer boxes;
    history->RestoreButton()->click();
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("Restored 3 items of run " + runId + ".")) << boxes.texts[0].toStdString();
    EXPECT_TRUE(boxes.texts[0].contains("Removed the empty folder Personal Folders\\Inbox\\Nubra_Duplicate_Items."));
    // The views follow at once: the items are back, the emptied folder is gone.
    EXPECT_FALSE(FolderNode(*window, "Nubra_Duplicate_Items"));
    EXPECT_EQ(window->FolderList()->currentItem()->text(0), "Inbox");
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 7);
    EXPECT_EQ(history->Runs()->topLevelItem(0)->text(5), "3");
    EXPECT_FALSE(history->RestoreButton()->isEnabled());
    history->close();
}

TEST_F(ExplorerTest, FileCommandsImportExportAndAddAStoreAndTheItemWindowShowsTheWholeMessage) {
    const std::string message = "From: Ada Lovelace <ada@example.org>\r\n"
                                "To: Charles Babbage <charles@example.org>\r\n"
                                "Cc: Mary Somerville <mary@example.org>\r\n"
                                "Date: Mon, 02 Dec 2024 10:15:00 +0000\r\n"
                                "Subject: Notes on the engine\r\n"
                                "Message-ID: <notes-1@example.org>\r\n"
                                "X-Mailer: Quill 1.0\r\n"
                                "Content-Type: text/plain; charset=utf-8\r\n"
                                "\r\n"
                                "The engine might compose elaborate pieces of music.\r\n";
    const fs::path eml = dir.path() / "notes.eml";
    std::ofstream(eml) << message;
    Select("Inbox");
    window->ImportPaths({eml});
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 1);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Imported 1 item into Personal Folders\\Inbox.");

    emit window->ItemList()->itemDoubleClicked(window->ItemList()->topLevelItem(0), 0);
    QWidget* inspector = TopLevel("Inspector");
    ASSERT_TRUE(inspector);
    auto fields = Fields(*inspector);
    EXPECT_EQ(fields["From:"], "Ada Lovelace <ada@example.org>");
    EXPECT_TRUE(fields["To:"].contains("charles@example.org")) << fields["To:"].toStdString();
    EXPECT_TRUE(fields["Cc:"].contains("Mary Somerville")) << fields["Cc:"].toStdString();
    EXPECT_EQ(fields["Subject:"], "Notes on the engine");
    EXPECT_EQ(fields["Message-ID:"], "<notes-1@example.org>");
    EXPECT_FALSE(fields["Date:"].isEmpty());
    EXPECT_TRUE(inspector->findChild<QPlainTextEdit*>(QStringLiteral("Body"))->toPlainText().contains("elaborate pieces of music"));
    // The message kept whole shows its header block as it came, up to the blank line.
    auto* headers = inspector->findChild<QPlainTextEdit*>(QStringLiteral("Headers"));
    ASSERT_TRUE(headers);
    EXPECT_TRUE(headers->toPlainText().startsWith("From: Ada Lovelace"));
    EXPECT_TRUE(headers->toPlainText().endsWith("Content-Type: text/plain; charset=utf-8"));
    inspector->close();

    window->ExportSelectedFolder(dir.path() / "out");
    EXPECT_EQ(window->statusBar()->currentMessage().left(47), "Exported 1 item of Personal Folders\\Inbox into ");
    std::vector<fs::path> written;
    for (const auto& e : fs::directory_iterator(dir.path() / "out")) written.push_back(e.path());
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(ReadFile(written[0]).find("X-Mailer: Quill 1.0"), std::string::npos);

    const fs::path maildir = dir.path() / "Maildir";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir / sub);
    std::ofstream(maildir / "new" / "1700000000.1.host") << "From: a@example.org\nSubject: Kept in place\nMessage-ID: <p@example.org>\n\nHi\n";
    window->AddMaildir(maildir, "Local mail");
    auto* store = FolderNode(*window, "Local mail");
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->parent());
    EXPECT_EQ(window->statusBar()->currentMessage().left(18), "Store Local mail (");
}

TEST_F(ExplorerTest, AnImapAccountWorksWithThePasswordTypedIntoItsDialogAndTheProfileNeverHoldsIt) {
    connected_tests::Dovecot dovecot(dir.path() / "dovecot");
    if (!dovecot.Started()) GTEST_SKIP() << dovecot.Why();
    dovecot.AddUser("ada");
    const fs::path mail = dir.path() / "mail.eml";
    std::ofstream(mail) << "From: b@example.org\r\nSubject: On the server\r\nMessage-ID: <s1@example.org>\r\n\r\n"
                           "Fetched when the item window opens.\r\n";
    ASSERT_EQ(dovecot.Tool("ada", {"append", "INBOX", mail.string()}).exit, 0);
    // No other source of the password than the dialog.
    ScopedEnv noPassword{"NUBRA_IMAP_PASSWORD", std::nullopt};
    ScopedEnv noKeyring{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};

    QTimer fill;
    QObject::connect(&fill, &QTimer::timeout, [&] {
        auto* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog->objectName() != QLatin1String("AddImapDialog")) return;
        fill.stop();
        dialog->findChild<QLineEdit*>(QStringLiteral("Server"))->setText(QStringLiteral("127.0.0.1"));
        dialog->findChild<QSpinBox*>(QStringLiteral("Port"))->setValue(dovecot.ImapsPort());
        dialog->findChild<QLineEdit*>(QStringLiteral("User"))->setText(QStringLiteral("ada"));
        dialog->findChild<QLineEdit*>(QStringLiteral("Password"))->setText(QString::fromStdString(dovecot.Password("ada")));
        dialog->findChild<QLineEdit*>(QStringLiteral("CaFile"))->setText(QString::fromStdString(dovecot.CaFile().string()));
        qobject_cast<QDialog*>(dialog)->accept();
    });
    fill.start(10);
    BoxAnswerer boxes;
    Pick("&File", "Add IM&AP account...");
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(window->statusBar()->currentMessage().left(23), "Store ada@127.0.0.1 (im");

    auto* account = FolderNode(*window, "ada@127.0.0.1");
    ASSERT_TRUE(account);
    QTreeWidgetItem* inbox = nullptr;
    for (int i = 0; i < account->childCount(); ++i)
        if (account->child(i)->text(0) == QLatin1String("INBOX")) inbox = account->child(i);
    ASSERT_TRUE(inbox);
    window->FolderList()->setCurrentItem(inbox);
    ASSERT_EQ(window->ItemList()->topLevelItemCount(), 1);
    emit window->ItemList()->itemDoubleClicked(window->ItemList()->topLevelItem(0), 0);
    QWidget* inspector = TopLevel("Inspector");
    ASSERT_TRUE(inspector);
    EXPECT_TRUE(inspector->findChild<QPlainTextEdit*>(QStringLiteral("Body"))->toPlainText().contains("Fetched when"));
    inspector->close();

    // Nothing written holds the password.
    for (const auto& folder : {profile->Directory(), dir.path() / "cache", dir.path() / "config"}) {
        for (const auto& e : fs::recursive_directory_iterator(folder)) {
            if (e.is_regular_file()) {
                EXPECT_EQ(ReadFile(e.path()).find(dovecot.Password("ada")), std::string::npos) << e.path();
            }
        }
    }
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
