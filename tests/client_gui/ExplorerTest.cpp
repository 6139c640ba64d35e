// The explorer window with the add-in loaded from the registry, driven as a user would: the
// menu command opens the dialog, a folder with duplicates is cleaned and the window shows it at
// once, closing the window during a scan is refused; the explorer's own commands: the dry-run
// preview and its real run, the history with its restore, import, export, added stores, the
// item window; the item list's sorting, filter, reading pane, keys and context menus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
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
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <filesystem>
#include <fstream>

#include "standin_host/NubraVersion.h"
#include "standin_host/client/AddinSetup.h"
#include "standin_host/client/Client.h"
#include "standin_host/client/ExplorerWindow.h"
#include "standin_host/client/HistoryWindow.h"
#include "standin_host/client/ItemList.h"
#include "standin_host/client/ItemView.h"
#include "standin_host/client/PreviewWindow.h"
#include "standin_host/client/Registry.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/formats/FileIO.h"
#include "standin_host/history/History.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/ItemSource.h"
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

// The first folder of that name (the node's text adds the unread count).
QTreeWidgetItem* FolderNode(ExplorerWindow& window, const char* name) {
    for (QTreeWidgetItemIterator it(window.FolderList()); *it; ++it)
        if ((*it)->data(0, kFolderNameRole).toString() == QLatin1String(name)) return *it;
    return nullptr;
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

// Answers every modal message box as soon as it shows, keeping its text: with the button
// `answer` names (without its '&') when it has one, else as Enter would.
class BoxAnswerer {
public:
    BoxAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            texts << box->text();
            for (QAbstractButton* button : box->buttons())
                if (!answer.isEmpty() && button->text().remove(QLatin1Char('&')) == answer) return button->click();
            box->accept();
        });
        timer_.start(10);
    }
    QStringList texts;
    QString answer;

private:
    QTimer timer_;
};

void SaveImage(const QImage& shot, const char* name) {
    EXPECT_TRUE(shot.save(QStringLiteral(NUBRA_SCREENSHOTS_BUILD "/") + QLatin1String(name)));
    EXPECT_TRUE(shot.save(QStringLiteral(NUBRA_SCREENSHOTS_DOCS "/") + QLatin1String(name)));
}
void SaveScreenshot(QWidget& window, const char* name) { SaveImage(window.grab().toImage(), name); }

// The window with its open menu drawn where it pops up.
QImage Screenshot(QMainWindow& window, QMenu& menu) {
    QPixmap shot = window.grab();
    QPainter painter(&shot);
    const QPoint at = window.mapFromGlobal(menu.pos());
    painter.drawPixmap(at, menu.grab());
    painter.end();
    return shot.toImage();
}

// The texts of a column in the rows the list shows, top to bottom.
QStringList Shown(QTreeWidget* list, int column) {
    QStringList texts;
    for (int r = 0; r < list->topLevelItemCount(); ++r)
        if (!list->topLevelItem(r)->isHidden()) texts << list->topLevelItem(r)->text(column);
    return texts;
}

QTreeWidgetItem* Row(QTreeWidget* list, const QString& subject) {
    auto found = list->findItems(subject, Qt::MatchExactly, kSubjectColumn);
    return found.isEmpty() ? nullptr : found.front();
}

QTreeWidgetItem* Child(QTreeWidgetItem* node, const char* name) {
    for (int i = 0; node && i < node->childCount(); ++i)
        if (node->child(i)->data(0, kFolderNameRole).toString() == QLatin1String(name)) return node->child(i);
    return nullptr;
}

void ClickHeader(QTreeWidget* list, int column) {
    QHeaderView* header = list->header();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

void ClickRow(QTreeWidget* list, QTreeWidgetItem* row, Qt::KeyboardModifiers modifiers = {}) {
    ASSERT_TRUE(row);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, list->visualItemRect(row).center());
}

// Right-clicks `row` of `view` and picks `command` from the menu that opens (as Enter on it
// does); `look` sees the open menu first. False when the menu did not offer the command.
bool PickFromContextMenu(QTreeWidget* view, QTreeWidgetItem* row, const QString& command,
                         const std::function<void(QMenu&)>& look = {}) {
    bool picked = false;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        QAction* action = FindAction(menu->actions(), command);
        if (action) menu->setActiveAction(action);
        if (look) look(*menu);
        if (!action || !action->isEnabled()) {
            menu->close();
            return;
        }
        picked = true;
        QTest::keyClick(menu, Qt::Key_Return);
    });
    const QPoint at = view->visualItemRect(row).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &event);
    return picked;
}

bool Activate(QWidget* window) {
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

// An Internet message: a body of about `bodyBytes` bytes and, with `attachmentBytes`, a file.
std::string Message(const std::string& from, const std::string& subject, const std::string& date, bool read,
                    size_t bodyBytes, size_t attachmentBytes = 0) {
    std::string m = "From: " + from + "\r\nSubject: " + subject + "\r\nDate: " + date +
                    "\r\nMessage-ID: <" + std::to_string(std::hash<std::string>{}(subject)) + "@example.org>\r\n" +
                    (read ? "Status: RO\r\n" : "") + "MIME-Version: 1.0\r\n";
    std::string body;
    while (body.size() < bodyBytes) body += "The engine weaves algebraic patterns.\r\n";
    if (!attachmentBytes) return m + "Content-Type: text/plain\r\n\r\n" + body;
    std::string file;
    for (size_t i = 0; i < attachmentBytes * 3 / 4; ++i) file += static_cast<char>('A' + i % 26);
    const QByteArray encoded = QByteArray::fromStdString(file).toBase64();
    std::string base64;
    for (qsizetype i = 0; i < encoded.size(); i += 76) base64 += encoded.mid(i, 76).toStdString() + "\r\n";
    return m + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n" + body +
           "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
           "filename=\"drawings.txt\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           base64 + "--b--\r\n";
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

    int32_t Count(const char* path) { return profile->FindFolder(path)->Items()->Count(); }

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
    EXPECT_EQ(file, (QStringList{"&Import...", "&Export...", "Add &Maildir...", "Add IM&AP account...", "Add &vdir folder...",
                                    "Add address book/&calendar account...", "E&xit"}));
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

TEST_F(ExplorerTest, HelpAboutNamesTheVersion) {
    BoxAnswerer boxes;
    Pick("&Help", "&About");
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith(QStringLiteral("Nubrasweep " NUBRA_VERSION_TEXT))) << boxes.texts[0].toStdString();
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

    Select("Inbox");
    ASSERT_EQ(window->ItemList()->topLevelItemCount(), 2);
    EXPECT_FALSE(window->ItemList()->topLevelItem(0)->icon(0).isNull());
    EXPECT_TRUE(window->ItemList()->topLevelItem(1)->icon(0).isNull());

    emit window->ItemList()->itemDoubleClicked(window->ItemList()->topLevelItem(0), 0);
    auto* itemWindow = qobject_cast<InspectorWindow*>(TopLevel("Inspector"));
    ASSERT_TRUE(itemWindow);
    ItemPane* inspector = itemWindow->Pane();
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
    itemWindow->close();
    QApplication::processEvents();

    // "Save attachments..." for both items: the file goes into the folder chosen, beside (not
    // over) a file of its name, and nowhere else.
    const fs::path out = dir.path() / "out" / "attachments";
    fs::create_directories(out);
    std::ofstream(out / "data.bin") << "kept";
    window->chooseDirectory = [&](QWidget*, const QString&) { return QString::fromStdString(out.string()); };
    QTreeWidget* list = window->ItemList();
    ClickRow(list, list->topLevelItem(0));
    ClickRow(list, list->topLevelItem(1), Qt::ShiftModifier);
    ASSERT_TRUE(PickFromContextMenu(list, list->topLevelItem(1), QStringLiteral("&Save attachments...")));
    EXPECT_EQ(window->statusBar()->currentMessage(), QStringLiteral("Saved 1 attachment of 2 items into %1.")
                                                         .arg(QString::fromStdString(out.string())));
    EXPECT_EQ(ReadFile(out / "data.bin"), "kept");
    EXPECT_EQ(ReadFile(out / "data (2).bin"), bytes);
    EXPECT_FALSE(fs::exists(out.parent_path() / "data.bin"));
}

// The dry run shows what a clean would remove and changes nothing; "Remove these now" runs the
// clean for real once confirmed, recorded in the history; it is not offered in Deleted Items,
// where a duplicate would be deleted for good.
TEST_F(ExplorerTest, PreviewShowsWhatACleanWouldRemoveAndRemovesItOnceConfirmed) {
    AddMails();
    window->RefreshViews();
    Select("Inbox");
    Pick("&Tools", "&Preview duplicates...");
    auto* preview = qobject_cast<PreviewWindow*>(TopLevel("Preview"));
    ASSERT_TRUE(preview);
    // The dry run works in a child process while the window goes on.
    EXPECT_TRUE(preview->Running());
    EXPECT_TRUE(preview->findChild<QProgressBar*>(QStringLiteral("Busy"))->isVisible());
    EXPECT_FALSE(preview->RemoveButton()->isEnabled()) << "nothing found yet";
    ASSERT_TRUE(WaitFor([&] { return !preview->Running(); }));
    EXPECT_FALSE(preview->findChild<QProgressBar*>(QStringLiteral("Busy"))->isVisible());

    auto* table = preview->Table();
    EXPECT_EQ(Column(table, 0), (QStringList{"mail", "mail", "mail"}));
    EXPECT_EQ(Column(table, 1),
              (QStringList{"Minutes of the Tuesday meeting", "Travel plans for May", "Invoice 2024-117"}));
    EXPECT_EQ(Column(table, 3), (QStringList{"moved", "moved", "moved"}));
    EXPECT_EQ(Column(table, 4), Column(table, 1));
    EXPECT_EQ(table->topLevelItem(0)->text(2).left(4), "2024");
    EXPECT_EQ(preview->Outcome()->text(), "would move 3 duplicate items to subfolder 'Nubra_Duplicate_Items'");
    SaveScreenshot(*preview, "preview.png");

    // Nothing changed.
    EXPECT_EQ(profile->FindFolder("Personal Folders\\Inbox")->Items()->Count(), 7);
    EXPECT_FALSE(FolderNode(*window, "Nubra_Duplicate_Items"));
    ASSERT_TRUE(preview->RemoveButton()->isEnabled());
    SaveScreenshot(*preview, "preview-remove-now.png");

    BoxAnswerer boxes;
    boxes.answer = QStringLiteral("Cancel");
    preview->RemoveButton()->click();
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("Remove the 3 duplicate items of Personal Folders\\Inbox now?"));
    EXPECT_FALSE(preview->Running());
    EXPECT_EQ(Count("Personal Folders\\Inbox"), 7);

    boxes.answer = QStringLiteral("Remove");
    preview->RemoveButton()->click();
    ASSERT_TRUE(preview->Running());
    ASSERT_TRUE(WaitFor([&] { return !preview->Running(); }));
    EXPECT_EQ(Column(preview->Table(), 1),
              (QStringList{"Minutes of the Tuesday meeting", "Travel plans for May", "Invoice 2024-117"}));
    EXPECT_EQ(Column(preview->Table(), 3), (QStringList{"moved", "moved", "moved"}));
    EXPECT_TRUE(preview->Outcome()->text().startsWith(
        "Nubra moved 3 duplicate items to subfolder 'Nubra_Duplicate_Items'\nRecorded in the history as run "))
        << preview->Outcome()->text().toStdString();
    EXPECT_FALSE(preview->RemoveButton()->isEnabled());
    {
        history::History h(history::History::FileFor(profile->Directory()));
        const auto runs = h.Runs();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].removed, 3);
        EXPECT_EQ(runs[0].command, "clean Personal Folders\\Inbox");
    }
    // The explorer shows it at once.
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 4);
    EXPECT_TRUE(FolderNode(*window, "Nubra_Duplicate_Items"));
    preview->close();

    // Duplicates in Deleted Items: shown, but not offered for removal.
    std::vector<store::ItemData> notes(2);
    for (auto& n : notes) {
        n.Class = outlook::olNote;
        n.Body = "Buy more punch cards";
    }
    profile->AddItems(*profile->FindFolder("Personal Folders\\Deleted Items"), notes);
    window->RefreshViews();
    Select("Deleted Items");
    preview = window->PreviewSelectedFolder();
    ASSERT_TRUE(preview);
    ASSERT_TRUE(WaitFor([&] { return !preview->Running(); }));
    EXPECT_EQ(preview->Table()->topLevelItemCount(), 1);
    EXPECT_FALSE(preview->RemoveButton()->isEnabled());
    EXPECT_TRUE(preview->RemoveButton()->toolTip().contains("for good"));
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
    EXPECT_EQ(window->FolderList()->currentItem()->data(0, kFolderNameRole).toString(), "Inbox");
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

// Four mails of different senders, dates, sizes and states: the headers sort them by value,
// the filter box (Ctrl+F) narrows them as the user types, the reading pane shows the one
// selected, Enter and a double click open it in a window that Esc and Ctrl+W close.
TEST_F(ExplorerTest, TheItemListSortsFiltersAndReadsAsAPersonWorksWithIt) {
    struct Mail {
        const char* file;
        std::string text;
    };
    const Mail mails[] = {
        {"drawings.eml", Message("Charles Babbage <charles@example.org>", "Difference engine drawings",
                                 "Fri, 01 Sep 2023 10:00:00 +0000", true, 400, 12000)},
        {"notes.eml", Message("Ada Lovelace <ada@example.org>", "notes on the engine", "Mon, 02 Oct 2023 10:00:00 +0000",
                              false, 2000)},
        {"heavens.eml", Message("Mary Somerville <mary@example.org>", "Mechanism of the heavens",
                                "Mon, 15 Jan 2024 10:00:00 +0000", false, 600)},
    };
    std::vector<fs::path> files;
    for (const auto& m : mails) {
        std::ofstream(dir.path() / m.file, std::ios::binary) << m.text;
        files.push_back(dir.path() / m.file);
    }
    auto inbox = profile->FindFolder("Personal Folders\\Inbox");
    Date clock = 45200.5;  // the same screenshot every run
    formats::ImportOptions options;
    options.importClock = &clock;
    ASSERT_EQ(formats::ImportFiles(*profile, *inbox, files, options).items, 3u);
    store::ItemData flagged;  // made from properties alone, read, flagged for follow-up
    flagged.Class = outlook::olMail;
    flagged.Subject = "Bernoulli numbers";
    flagged.SenderName = "augusta king";
    flagged.SentOn = 44686.5;  // 2022-05-05
    flagged.extraTagged[store::PR_MESSAGE_FLAGS] = {0x0003, store::MSGFLAG_READ, {}, {}};
    flagged.extraTagged[0x10900003] = {0x0003, 2, {}, {}};  // PR_FLAG_STATUS: flagged
    profile->AddItem(*inbox, flagged);
    window->RefreshViews();

    // The tree counts the two unread mails.
    EXPECT_EQ(FolderNode(*window, "Inbox")->text(0), "Inbox (2)");
    EXPECT_TRUE(FolderNode(*window, "Inbox")->font(0).bold());
    EXPECT_EQ(FolderNode(*window, "Contacts")->text(0), "Contacts");
    Select("Inbox");
    QTreeWidget* list = window->ItemList();
    ASSERT_EQ(list->topLevelItemCount(), 4);
    const QStringList folderOrder{"Difference engine drawings", "notes on the engine", "Mechanism of the heavens",
                                  "Bernoulli numbers"};
    EXPECT_EQ(Shown(list, kSubjectColumn), folderOrder) << "in the folder's order until a header is clicked";
    EXPECT_EQ(Shown(list, kFromColumn),
              (QStringList{"Charles Babbage", "Ada Lovelace", "Mary Somerville", "augusta king"}));
    auto marked = [&](int column) {
        QStringList subjects;
        for (int r = 0; r < list->topLevelItemCount(); ++r)
            if (!list->topLevelItem(r)->icon(column).isNull()) subjects << list->topLevelItem(r)->text(kSubjectColumn);
        return subjects;
    };
    EXPECT_EQ(marked(kUnreadColumn), (QStringList{"notes on the engine", "Mechanism of the heavens"}));
    EXPECT_EQ(marked(kFlagColumn), (QStringList{"Bernoulli numbers"}));
    EXPECT_EQ(marked(kAttachmentColumn), (QStringList{"Difference engine drawings"}));

    // Sizes and dates sort as numbers and dates, senders ignoring case; a second click reverses.
    ClickHeader(list, kSizeColumn);
    EXPECT_EQ(Shown(list, kSubjectColumn), (QStringList{"Bernoulli numbers", "Mechanism of the heavens",
                                                        "notes on the engine", "Difference engine drawings"}))
        << Shown(list, kSizeColumn).join(QLatin1String(", ")).toStdString();
    ClickHeader(list, kSizeColumn);
    EXPECT_EQ(Shown(list, kSubjectColumn).front(), "Difference engine drawings");
    ClickHeader(list, kDateColumn);
    EXPECT_EQ(Shown(list, kSubjectColumn), (QStringList{"Bernoulli numbers", "Difference engine drawings",
                                                        "notes on the engine", "Mechanism of the heavens"}))
        << Shown(list, kDateColumn).join(QLatin1String(", ")).toStdString();
    ClickHeader(list, kFromColumn);
    EXPECT_EQ(Shown(list, kFromColumn),
              (QStringList{"Ada Lovelace", "augusta king", "Charles Babbage", "Mary Somerville"}));
    ClickHeader(list, kUnreadColumn);
    EXPECT_EQ(Shown(list, kSubjectColumn).mid(2), (QStringList{"notes on the engine", "Mechanism of the heavens"}));

    // Ctrl+F, then typing: subjects and senders, ignoring case; Esc shows everything again.
    ASSERT_TRUE(Activate(window));
    QTest::keyClick(list, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(window->FilterBox()->hasFocus());
    QTest::keyClicks(window->FilterBox(), QStringLiteral("ENGINE"));
    EXPECT_EQ(Shown(list, kSubjectColumn), (QStringList{"Difference engine drawings", "notes on the engine"}));
    EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("ItemCount"))->text(), "2 of 4 items");
    window->FilterBox()->clear();
    QTest::keyClicks(window->FilterBox(), QStringLiteral("somerv"));
    EXPECT_EQ(Shown(list, kSubjectColumn), (QStringList{"Mechanism of the heavens"}));
    // The filter stays while the folder is read again (a change elsewhere).
    window->RefreshViews();
    EXPECT_EQ(Shown(list, kSubjectColumn), (QStringList{"Mechanism of the heavens"}));
    QTest::keyClick(window->FilterBox(), Qt::Key_Escape);
    EXPECT_EQ(Shown(list, kSubjectColumn).size(), 4);

    // The reading pane follows the selection.
    EXPECT_FALSE(window->ReadingPane());
    ClickHeader(list, kDateColumn);
    ClickRow(list, Row(list, QStringLiteral("Difference engine drawings")));
    ItemPane* pane = window->ReadingPane();
    ASSERT_TRUE(pane);
    EXPECT_EQ(pane->Title(), "Difference engine drawings");
    EXPECT_EQ(Fields(*pane)["From:"], "Charles Babbage <charles@example.org>");
    ASSERT_EQ(pane->AttachmentList()->topLevelItemCount(), 1);
    EXPECT_EQ(pane->AttachmentList()->topLevelItem(0)->text(0), "drawings.txt");
    SaveScreenshot(*window, "explorer-reading-pane.png");
    ClickRow(list, Row(list, QStringLiteral("notes on the engine")));
    ASSERT_TRUE(window->ReadingPane());
    EXPECT_EQ(window->ReadingPane()->Title(), "notes on the engine");

    // Enter opens the selected item in a window of its own, Esc closes it; so do a double
    // click and Ctrl+W.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    auto* item = qobject_cast<InspectorWindow*>(TopLevel("Inspector"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->Pane()->Title(), "notes on the engine");
    ASSERT_TRUE(Activate(item));
    QTest::keyClick(item, Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([] { return !TopLevel("Inspector"); }, 5));
    // A double click: a press and release, then the second press as a double click.
    const QPoint bernoulli = list->visualItemRect(Row(list, QStringLiteral("Bernoulli numbers"))).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, bernoulli);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, bernoulli);
    item = qobject_cast<InspectorWindow*>(TopLevel("Inspector"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->Pane()->Title(), "Bernoulli numbers");
    ASSERT_TRUE(Activate(item));
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : item, Qt::Key_W, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([] { return !TopLevel("Inspector"); }, 5));
    EXPECT_EQ(client->InspectorCount(), 0);
}

// Delete moves to the store's Deleted Items (and, for a connected store, at its source), is for
// good only in Deleted Items and only once confirmed, never touches an item moved meanwhile;
// Move to... takes the folder picked; every item that failed is named.
TEST_F(ExplorerTest, DeleteAndMoveChangeTheStoresSafelyAndNameWhatFailed) {
    AddMails();
    window->RefreshViews();
    Select("Inbox");
    QTreeWidget* list = window->ItemList();
    ASSERT_EQ(list->topLevelItemCount(), 7);
    BoxAnswerer boxes;

    ClickRow(list, list->topLevelItem(0));
    ClickRow(list, list->topLevelItem(2), Qt::ControlModifier);
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Moved 2 items to Deleted Items.");
    EXPECT_EQ(Count("Personal Folders\\Inbox"), 5);
    EXPECT_EQ(Count("Personal Folders\\Deleted Items"), 2);
    EXPECT_EQ(Shown(list, kSubjectColumn),
              (QStringList{"Minutes of the Tuesday meeting", "Travel plans for May", "Invoice 2024-117",
                           "Invoice 2024-117", "Welcome to the list"}));
    EXPECT_TRUE(boxes.texts.isEmpty());

    // One of the two selected invoices goes to Deleted Items elsewhere before the key is
    // pressed: it is left where it is now, and named.
    ClickRow(list, list->topLevelItem(2));
    ClickRow(list, list->topLevelItem(3), Qt::ControlModifier);
    profile->NameSpace()
        ->GetItemFromID(list->topLevelItem(3)->data(0, kEntryIdRole).toString().toStdString(), "")
        ->Delete();
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_EQ(boxes.texts[0], "Moved 1 of 2 items to Deleted Items.\n\nInvoice 2024-117: no longer in Personal "
                              "Folders\\Inbox; left alone");
    EXPECT_EQ(Count("Personal Folders\\Deleted Items"), 4);

    // In Deleted Items, Delete is for good: asked first, and Cancel leaves everything.
    Select("Deleted Items");
    ASSERT_EQ(list->topLevelItemCount(), 4);
    ClickRow(list, list->topLevelItem(0));
    boxes.texts.clear();
    boxes.answer = QStringLiteral("Cancel");
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("Delete 1 item in Personal Folders\\Deleted Items for good?"));
    EXPECT_EQ(Count("Personal Folders\\Deleted Items"), 4);
    boxes.answer = QStringLiteral("Delete for good");
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(Count("Personal Folders\\Deleted Items"), 3);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Deleted 1 item for good.");

    // Move to... from the item's context menu, into the folder picked.
    Select("Inbox");
    window->chooseFolder = [&](QWidget*) { return profile->FindFolder("Personal Folders\\Sent Items"); };
    QTreeWidgetItem* welcome = Row(list, QStringLiteral("Welcome to the list"));
    QStringList offered;
    ASSERT_TRUE(PickFromContextMenu(list, welcome, QStringLiteral("&Move to..."), [&](QMenu& menu) {
        for (auto* a : menu.actions())
            if (!a->isSeparator()) offered << a->text();
        SaveImage(Screenshot(*window, menu), "explorer-context-menu.png");
    }));
    EXPECT_EQ(offered, (QStringList{"&Open", "&Move to...", "&Delete", "&Save attachments..."}));
    EXPECT_EQ(Count("Personal Folders\\Sent Items"), 1);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Moved 1 item to Personal Folders\\Sent Items.");
    EXPECT_FALSE(Row(list, QStringLiteral("Welcome to the list")));

    // A connected store: the message file moves to the Maildir's Trash; its unread mail is not
    // counted (the cache does not keep the read state).
    const fs::path maildir = dir.path() / "Maildir";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(maildir / sub);
    std::ofstream(maildir / "new" / "1700000000.1.host") << "From: a@example.org\nSubject: Kept in place\n\nHi\n";
    window->AddMaildir(maildir, "Local mail");
    QTreeWidgetItem* localInbox = Child(FolderNode(*window, "Local mail"), "Inbox");
    ASSERT_TRUE(localInbox);
    EXPECT_EQ(localInbox->text(0), "Inbox");
    window->FolderList()->setCurrentItem(localInbox);
    ASSERT_EQ(list->topLevelItemCount(), 1);
    ClickRow(list, list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(window->statusBar()->currentMessage(), "Moved 1 item to Deleted Items.");
    EXPECT_TRUE(fs::is_empty(maildir / "new"));
    size_t inTrash = 0;
    for (const char* sub : {"cur", "new"})
        for (const auto& e : fs::directory_iterator(maildir / ".Trash" / sub)) inTrash += e.is_regular_file();
    EXPECT_EQ(inTrash, 1u);
}

// The folder's context menu: the add-in's dialog with that folder chosen, the preview, export.
TEST_F(ExplorerTest, TheFolderContextMenuOpensTheDialogOnThatFolderPreviewsAndExports) {
    QTreeWidget* folders = window->FolderList();
    QStringList offered;
    ASSERT_TRUE(PickFromContextMenu(folders, FolderNode(*window, "Contacts"), QStringLiteral("&Remove duplicate items..."),
                                    [&](QMenu& menu) {
                                        for (auto* a : menu.actions())
                                            if (!a->isSeparator()) offered << a->text();
                                        SaveImage(Screenshot(*window, menu), "explorer-folder-menu.png");
                                    }));
    EXPECT_EQ(offered, (QStringList{"&Remove duplicate items...", "&Preview duplicates...", "&Export..."}));
    QWidget* dialog = TopLevel("frmRemDuplicates");
    ASSERT_TRUE(dialog);
    auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
    ASSERT_TRUE(tree && tree->currentItem());
    EXPECT_EQ(tree->currentItem()->text(0), "Contacts");
    EXPECT_EQ(tree->currentItem()->parent()->text(0), "Personal Folders");
    EXPECT_TRUE(dialog->findChild<QPushButton*>(QStringLiteral("cmdRemDups"))->isEnabled());

    window->chooseDirectory = [&](QWidget*, const QString&) { return QString::fromStdString((dir.path() / "out").string()); };
    ASSERT_TRUE(PickFromContextMenu(folders, FolderNode(*window, "Contacts"), QStringLiteral("&Export...")));
    EXPECT_TRUE(fs::exists(dir.path() / "out" / "contacts.vcf"));

    ASSERT_TRUE(PickFromContextMenu(folders, FolderNode(*window, "Contacts"), QStringLiteral("&Preview duplicates...")));
    auto* preview = qobject_cast<PreviewWindow*>(TopLevel("Preview"));
    ASSERT_TRUE(preview);
    ASSERT_TRUE(WaitFor([&] { return !preview->Running(); }));
    EXPECT_EQ(preview->Table()->topLevelItemCount(), 2);
    preview->close();
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

// The same for an address book account: the dialog's address and user make the account's
// address, and its password reaches the server without being written anywhere.
TEST_F(ExplorerTest, AnAddressBookAccountIsAddedFromItsDialog) {
    connected_tests::Radicale radicale(dir.path() / "radicale");
    if (!radicale.Started()) GTEST_SKIP() << radicale.Why();
    radicale.AddUser("ada");
    const fs::path card = dir.path() / "card.vcf";
    std::ofstream(card) << "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:c1\r\nFN:Grace Hopper\r\nN:Hopper;Grace;;;\r\n"
                           "END:VCARD\r\n";
    ASSERT_EQ(radicale.Tool("ada", {"mkcol", "contacts", "addressbook", "Contacts"}).exit, 0);
    ASSERT_EQ(radicale.Tool("ada", {"put", "contacts", "c1.vcf", card.string()}).exit, 0);
    ScopedEnv noPassword{"NUBRA_DAV_PASSWORD", std::nullopt};
    ScopedEnv noKeyring{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};

    QTimer fill;
    QObject::connect(&fill, &QTimer::timeout, [&] {
        auto* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog->objectName() != QLatin1String("AddDavDialog")) return;
        fill.stop();
        dialog->findChild<QLineEdit*>(QStringLiteral("Address"))
            ->setText(QStringLiteral("127.0.0.1:%1").arg(radicale.Port()));
        dialog->findChild<QLineEdit*>(QStringLiteral("User"))->setText(QStringLiteral("ada"));
        dialog->findChild<QLineEdit*>(QStringLiteral("Password"))
            ->setText(QString::fromStdString(connected_tests::Radicale::Password("ada")));
        dialog->findChild<QLineEdit*>(QStringLiteral("CaFile"))->setText(QString::fromStdString(radicale.CaFile().string()));
        qobject_cast<QDialog*>(dialog)->accept();
    });
    fill.start(10);
    BoxAnswerer boxes;
    Pick("&File", "Add address book/&calendar account...");
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(QLatin1Char('\n')).toStdString();
    auto* account = FolderNode(*window, "ada@127.0.0.1");
    ASSERT_TRUE(account);
    ASSERT_EQ(account->childCount(), 1);
    EXPECT_EQ(account->child(0)->text(0), "Contacts");
    window->FolderList()->setCurrentItem(account->child(0));
    EXPECT_EQ(window->ItemList()->topLevelItemCount(), 1);
    for (const auto& e : fs::recursive_directory_iterator(profile->Directory())) {
        if (e.is_regular_file()) {
            EXPECT_EQ(ReadFile(e.path()).find(connected_tests::Radicale::Password("ada")), std::string::npos) << e.path();
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
