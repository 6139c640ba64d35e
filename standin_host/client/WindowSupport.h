// Small pieces the explorer's windows share.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <QIcon>
#include <QLabel>
#include <QMessageBox>

#include "host/Outlook.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace nubra::client {

// The window title of the client's own boxes.
inline constexpr const char* kClientTitle = "Nubrasweep client";

// A modal box whose text is shown as plain text: an error description or a folder name that
// looks like markup must never be rendered as rich text.
void ShowPlainBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const std::string& text);

// What a failure says ("Error N" when it has no description).
std::string ErrorText(const AutomationError& e);
// A failure in a warning box.
void ShowFailure(QWidget* parent, const AutomationError& e);

// Asks before a change: `text` (plain text) with the buttons `confirm` and Cancel, Cancel the
// default. True only when the user chose `confirm`.
bool Confirm(QWidget* parent, const std::string& text, const QString& confirm);

// A label that wraps its text and never takes it for markup (folder names, error texts).
QLabel* PlainLabel(const QString& text, QWidget* parent);

// The running program (the command line's `gui` runs the explorer, so this is nubrasweep).
std::filesystem::path ThisProgram();

// Drawn icons (no icon theme can be relied on): a paper clip (attachments), a dot (unread), a
// flag (flagged for follow-up).
QIcon PaperClip();
QIcon UnreadDot();
QIcon FollowUpFlag();

// A name for a file the user saves, from a name a message chose: only its last part (it must
// not choose the folder), without control characters, at most 120 characters (the extension
// kept); "attachment" when nothing usable is left.
QString SafeFileName(const QString& suggested);

// Writes `bytes` to `file` under another name and renames it: the file is whole or not there.
// Empty on success, else why not.
QString WriteWholeFile(const QString& file, const std::string& bytes);

// Folder trees (the explorer's, the folder picker's): every folder of every store of `ns`, each
// node with its folder's name as text and under kFolderNameRole, and its index into `refs`
// (where the folder is appended) under Qt::UserRole. Raises what reading the folders raises.
inline constexpr int kFolderNameRole = Qt::UserRole + 3;
void FillFolderTree(QTreeWidget& tree, outlook::NameSpace& ns, std::vector<outlook::FolderRef>& refs);
// The folder a node of such a tree stands for (null for none).
outlook::FolderRef FolderOfNode(const QTreeWidgetItem* node, const std::vector<outlook::FolderRef>& refs);

}  // namespace nubra::client
