// The dialogs behind the explorer's commands: what to import, the stores to add (a Maildir
// tree, an IMAP or CardDAV/CalDAV account), the folder to move items into. They only ask; the explorer does the
// work.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <QDialog>

#include "host/Outlook.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QSpinBox;
class QTreeWidget;

namespace nubra::connected {
struct ImapAccount;
struct DavAccount;
}

namespace nubra::client {

// Files (.eml, mbox, .vcf, .ics, .jsonl, .pst) and Maildir folders to import, gathered with
// "Add files..." and "Add folder...".
class ImportDialog : public QDialog {
    Q_OBJECT
public:
    // `folderPath`: where the items go (named in the dialog).
    ImportDialog(QWidget* parent, const std::string& folderPath);
    std::vector<std::filesystem::path> Paths() const;
    QListWidget* List() const { return list_; }

private:
    void Add(const QStringList& paths);
    QListWidget* list_ = nullptr;
};

// A Maildir tree to clean in place, and the store's name.
class AddTreeDialog : public QDialog {
    Q_OBJECT
public:
    // A store whose items stay in a folder tree of the user's: `kind` names it in the title
    // ("Maildir", "vdir folder"), `explanation` says what happens to it.
    AddTreeDialog(QWidget* parent, const QString& kind, const QString& explanation, const QString& placeholder);
    std::filesystem::path Folder() const;
    std::string Name() const;

private:
    QLineEdit* folder_ = nullptr;
    QLineEdit* name_ = nullptr;
};

// An IMAP account: server, port, security, user, password (handed over in memory only),
// trusted certificates, and the store's name.
class AddImapDialog : public QDialog {
    Q_OBJECT
public:
    explicit AddImapDialog(QWidget* parent);
    // imaps://USER@HOST[:PORT]/ (or imap:// with STARTTLS) with the certificates to trust.
    connected::ImapAccount Account() const;
    std::string Password() const;
    std::string Name() const;

private:
    QLineEdit* server_ = nullptr;
    QSpinBox* port_ = nullptr;
    QComboBox* security_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* caFile_ = nullptr;
    QLineEdit* name_ = nullptr;
};

// A CardDAV/CalDAV account: the server's address, user, password (handed over in memory only),
// trusted certificates, and the store's name.
class AddDavDialog : public QDialog {
    Q_OBJECT
public:
    explicit AddDavDialog(QWidget* parent);
    // https://USER@HOST[:PORT][/PATH] (https:// put in front of an address written without
    // one) with the certificates to trust.
    connected::DavAccount Account() const;
    std::string Password() const;
    std::string Name() const;

private:
    QLineEdit* address_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* caFile_ = nullptr;
    QLineEdit* name_ = nullptr;
};

// "Move to...": one folder of any store of `ns`, from a tree like the explorer's.
class FolderPickerDialog : public QDialog {
    Q_OBJECT
public:
    // Raises what reading the folders raises.
    FolderPickerDialog(QWidget* parent, outlook::NameSpace& ns);
    QTreeWidget* Tree() const { return tree_; }
    // The chosen folder; null when none is selected.
    outlook::FolderRef Folder() const;

private:
    QTreeWidget* tree_ = nullptr;
    std::vector<outlook::FolderRef> refs_;
};

}  // namespace nubra::client
