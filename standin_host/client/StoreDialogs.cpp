#include "standin_host/client/StoreDialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "standin_host/client/WindowSupport.h"
#include "standin_host/connected/Connected.h"

namespace nubra::client {

namespace {

// OK (named `ok`) and Cancel; OK only while every one of `required` holds text.
QDialogButtonBox* OkCancel(QDialog* dialog, const QString& ok, const std::vector<QLineEdit*>& required = {}) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QPushButton* button = buttons->button(QDialogButtonBox::Ok);
    button->setText(ok);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    auto check = [button, required] {
        bool filled = true;
        for (const auto* edit : required) filled = filled && !edit->text().trimmed().isEmpty();
        button->setEnabled(filled);
    };
    for (auto* edit : required) QObject::connect(edit, &QLineEdit::textChanged, button, check);
    check();
    return buttons;
}

QLineEdit* Field(QWidget* parent, const char* name, const QString& hint = {}) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(hint);
    return edit;
}

// A line for a path with a button that fills it from a file dialog.
QWidget* PathRow(QWidget* parent, QLineEdit* edit, bool folder) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* browse = new QPushButton(QStringLiteral("Browse..."), row);
    layout->addWidget(edit, 1);
    layout->addWidget(browse);
    QObject::connect(browse, &QPushButton::clicked, parent, [parent, edit, folder] {
        const QString chosen = folder ? QFileDialog::getExistingDirectory(parent, QString(), edit->text())
                                      : QFileDialog::getOpenFileName(parent, QString(), edit->text());
        if (!chosen.isEmpty()) edit->setText(chosen);
    });
    return row;
}

std::string Trimmed(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

}  // namespace

ImportDialog::ImportDialog(QWidget* parent, const std::string& folderPath) : QDialog(parent) {
    setObjectName(QStringLiteral("ImportDialog"));
    setWindowTitle(QStringLiteral("Import"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PlainLabel(QStringLiteral("Into %1: mail messages (.eml), mbox files, Maildir folders, contacts "
                                                "(.vcf), calendars (.ics) and JSON Lines (.jsonl). An Outlook data "
                                                "file (.pst, .ost) becomes a store of its own.")
                                     .arg(QString::fromStdString(folderPath)),
                                 this));
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("ImportList"));
    layout->addWidget(list_);
    auto* row = new QHBoxLayout;
    auto* files = new QPushButton(QStringLiteral("Add &files..."), this);
    auto* folder = new QPushButton(QStringLiteral("Add f&older..."), this);
    auto* remove = new QPushButton(QStringLiteral("&Remove"), this);
    row->addWidget(files);
    row->addWidget(folder);
    row->addWidget(remove);
    row->addStretch();
    layout->addLayout(row);
    auto* buttons = OkCancel(this, QStringLiteral("&Import"));
    layout->addWidget(buttons);
    auto* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    connect(list_->model(), &QAbstractItemModel::rowsInserted, ok, [this, ok] { ok->setEnabled(list_->count() > 0); });
    connect(list_->model(), &QAbstractItemModel::rowsRemoved, ok, [this, ok] { ok->setEnabled(list_->count() > 0); });
    connect(files, &QPushButton::clicked, this, [this] {
        Add(QFileDialog::getOpenFileNames(
            this, QStringLiteral("Files to import"), QString(),
            QStringLiteral("Items (*.eml *.mbox *.mbx *.vcf *.vcard *.ics *.ical *.jsonl *.ndjson *.json *.pst *.ost);;"
                           "All files (*)")));
    });
    connect(folder, &QPushButton::clicked, this, [this] {
        const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Maildir folder to import"));
        if (!dir.isEmpty()) Add({dir});
    });
    connect(remove, &QPushButton::clicked, this, [this] { qDeleteAll(list_->selectedItems()); });
    resize(560, 320);
}

void ImportDialog::Add(const QStringList& paths) {
    for (const auto& p : paths)
        if (list_->findItems(p, Qt::MatchExactly).isEmpty()) list_->addItem(p);
}

std::vector<std::filesystem::path> ImportDialog::Paths() const {
    std::vector<std::filesystem::path> paths;
    for (int i = 0; i < list_->count(); ++i) paths.emplace_back(list_->item(i)->text().toStdString());
    return paths;
}

AddTreeDialog::AddTreeDialog(QWidget* parent, const QString& kind, const QString& explanation, const QString& placeholder)
    : QDialog(parent) {
    setObjectName(QStringLiteral("Add%1Dialog").arg(QString(kind).remove(QLatin1Char(' '))));
    setWindowTitle(QStringLiteral("Add %1").arg(kind));
    auto* form = new QFormLayout(this);
    form->addRow(PlainLabel(explanation, this));
    folder_ = Field(this, "TreeFolder", placeholder);
    name_ = Field(this, "StoreName", QStringLiteral("the folder's name"));
    form->addRow(QStringLiteral("&Folder:"), PathRow(this, folder_, true));
    form->addRow(QStringLiteral("&Name:"), name_);
    form->addRow(OkCancel(this, QStringLiteral("&Add"), {folder_}));
    resize(480, 0);
}

std::filesystem::path AddTreeDialog::Folder() const { return Trimmed(folder_); }
std::string AddTreeDialog::Name() const { return Trimmed(name_); }

AddImapDialog::AddImapDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AddImapDialog"));
    setWindowTitle(QStringLiteral("Add IMAP account"));
    auto* form = new QFormLayout(this);
    server_ = Field(this, "Server", QStringLiteral("imap.example.org"));
    port_ = new QSpinBox(this);
    port_->setObjectName(QStringLiteral("Port"));
    port_->setRange(0, 65535);
    port_->setSpecialValueText(QStringLiteral("default"));
    security_ = new QComboBox(this);
    security_->setObjectName(QStringLiteral("Security"));
    security_->addItem(QStringLiteral("TLS (imaps, port 993)"));
    security_->addItem(QStringLiteral("STARTTLS (imap, port 143)"));
    user_ = Field(this, "User");
    password_ = Field(this, "Password", QStringLiteral("kept in memory until the explorer closes"));
    password_->setEchoMode(QLineEdit::Password);
    caFile_ = Field(this, "CaFile", QStringLiteral("only for a server with its own certificate authority"));
    name_ = Field(this, "StoreName", QStringLiteral("USER@SERVER"));
    form->addRow(QStringLiteral("&Server:"), server_);
    form->addRow(QStringLiteral("&Port:"), port_);
    form->addRow(QStringLiteral("S&ecurity:"), security_);
    form->addRow(QStringLiteral("&User:"), user_);
    form->addRow(QStringLiteral("Pass&word:"), password_);
    form->addRow(QStringLiteral("&Certificates:"), PathRow(this, caFile_, false));
    form->addRow(QStringLiteral("&Name:"), name_);
    form->addRow(OkCancel(this, QStringLiteral("&Add"), {server_, user_}));
    resize(480, 0);
}

connected::ImapAccount AddImapDialog::Account() const {
    connected::ImapAccount account;
    std::string host = Trimmed(server_);
    if (host.find(':') != std::string::npos) host = "[" + host + "]";  // an IPv6 address
    account.url = std::string(security_->currentIndex() == 0 ? "imaps://" : "imap://") + Trimmed(user_) + "@" + host +
                  (port_->value() > 0 ? ":" + std::to_string(port_->value()) : std::string()) + "/";
    account.caFile = Trimmed(caFile_);
    return account;
}

std::string AddImapDialog::Password() const { return password_->text().toStdString(); }

std::string AddImapDialog::Name() const { return Trimmed(name_); }

AddDavDialog::AddDavDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AddDavDialog"));
    setWindowTitle(QStringLiteral("Add address book/calendar account"));
    auto* form = new QFormLayout(this);
    form->addRow(PlainLabel(QStringLiteral("Every address book, calendar and task list of the account becomes a folder. "
                                           "Duplicates are moved into a collection beside each, named after it."),
                            this));
    address_ = Field(this, "Address", QStringLiteral("https://dav.example.org/"));
    user_ = Field(this, "User");
    password_ = Field(this, "Password", QStringLiteral("kept in memory until the explorer closes"));
    password_->setEchoMode(QLineEdit::Password);
    caFile_ = Field(this, "CaFile", QStringLiteral("only for a server with its own certificate authority"));
    name_ = Field(this, "StoreName", QStringLiteral("USER@SERVER"));
    form->addRow(QStringLiteral("&Address:"), address_);
    form->addRow(QStringLiteral("&User:"), user_);
    form->addRow(QStringLiteral("Pass&word:"), password_);
    form->addRow(QStringLiteral("&Certificates:"), PathRow(this, caFile_, false));
    form->addRow(QStringLiteral("&Name:"), name_);
    form->addRow(OkCancel(this, QStringLiteral("&Add"), {address_, user_}));
    resize(480, 0);
}

connected::DavAccount AddDavDialog::Account() const {
    std::string address = Trimmed(address_);
    size_t scheme = address.find("://");
    if (scheme == std::string::npos) {
        address = "https://" + address;
        scheme = 5;
    }
    connected::DavAccount account;
    account.url = address.substr(0, scheme + 3) + Trimmed(user_) + "@" + address.substr(scheme + 3);
    account.caFile = Trimmed(caFile_);
    return account;
}

std::string AddDavDialog::Password() const { return password_->text().toStdString(); }

std::string AddDavDialog::Name() const { return Trimmed(name_); }

FolderPickerDialog::FolderPickerDialog(QWidget* parent, outlook::NameSpace& ns) : QDialog(parent) {
    setObjectName(QStringLiteral("FolderPicker"));
    setWindowTitle(QStringLiteral("Move to folder"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PlainLabel(QStringLiteral("Move the selected items into:"), this));
    tree_ = new QTreeWidget(this);
    tree_->setObjectName(QStringLiteral("FolderTree"));
    tree_->setHeaderHidden(true);
    FillFolderTree(*tree_, ns, refs_);
    tree_->expandToDepth(0);
    layout->addWidget(tree_);
    auto* buttons = OkCancel(this, QStringLiteral("&Move"));
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    connect(tree_, &QTreeWidget::currentItemChanged, ok, [ok](QTreeWidgetItem* node) { ok->setEnabled(node != nullptr); });
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    layout->addWidget(buttons);
    resize(360, 440);
}

outlook::FolderRef FolderPickerDialog::Folder() const { return FolderOfNode(tree_->currentItem(), refs_); }

}  // namespace nubra::client
