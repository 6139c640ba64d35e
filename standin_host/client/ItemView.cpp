#include "standin_host/client/ItemView.h"

#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

#include "host/AutomationDates.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/formats/Attachments.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/Profile.h"

namespace nubra::client {

namespace {

// Tags of the properties the importers keep beside the named fields.
constexpr uint32_t PR_SENDER_EMAIL_ADDRESS = 0x0C1F001E;
constexpr uint32_t PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
constexpr uint32_t PR_TRANSPORT_MESSAGE_HEADERS = 0x007D001E;
constexpr uint32_t PR_TITLE = 0x3A17001E;
constexpr uint32_t PR_BUSINESS_TELEPHONE_NUMBER = 0x3A08001E;
constexpr uint32_t PR_HOME_TELEPHONE_NUMBER = 0x3A09001E;
constexpr uint32_t PR_MOBILE_TELEPHONE_NUMBER = 0x3A1C001E;
constexpr uint32_t PR_NICKNAME = 0x3A4F001E;
constexpr uint16_t PT_SYSTIME = 0x0040;

// A header block is read up to this size: what follows is a message body without a blank line.
constexpr size_t kMaxHeaderBytes = 256 * 1024;

std::string LocalText(const std::optional<Date>& utc) {
    return utc ? dates::FormatGeneralDate(dates::UtcToLocal(*utc)) : std::string();
}

std::string Extra(const store::ItemData& d, uint32_t tag) {
    auto it = d.extraTagged.find(tag);
    if (it == d.extraTagged.end()) return {};
    if (it->second.type == PT_SYSTIME) return LocalText(dates::FileTimeToDate(it->second.integer));
    return it->second.text;
}

std::string TaskStatusText(int32_t status) {
    static const char* const names[] = {"Not started", "In progress", "Completed", "Waiting on someone else",
                                        "Deferred"};
    return status >= 0 && status < 5 ? names[status] : std::to_string(status);
}

std::string NoteColorText(int32_t color) {
    static const char* const names[] = {"Blue", "Green", "Pink", "Yellow", "White"};
    return color >= 0 && color < 5 ? names[color] : std::to_string(color);
}

// The header block of an Internet message: everything before the first empty line.
std::string HeaderBlock(const std::string& message) {
    const std::string_view view(message.data(), std::min(message.size(), kMaxHeaderBytes));
    size_t end = view.size();
    for (size_t pos = 0; pos < view.size();) {
        const size_t eol = view.find('\n', pos);
        const std::string_view line = view.substr(pos, eol == std::string_view::npos ? view.npos : eol - pos);
        if (line.empty() || line == "\r") {
            end = pos;
            break;
        }
        if (eol == std::string_view::npos) break;
        pos = eol + 1;
    }
    std::string block(view.substr(0, end));
    std::erase(block, '\r');
    while (!block.empty() && block.back() == '\n') block.pop_back();
    return block;
}

void DescribeFields(const store::ItemData& d, ItemView& view) {
    auto add = [&](const char* label, const std::string& value) {
        if (!value.empty()) view.fields.emplace_back(label, value);
    };
    auto text = [](const std::optional<std::string>& v) { return v.value_or(std::string()); };
    add("Kind:", KindText(d.Class));
    if (d.MessageClass) add("Message class:", *d.MessageClass);
    switch (d.Class) {
        case outlook::olContact:
            add("Full name:", text(d.FullName));
            add("First name:", text(d.FirstName));
            add("Last name:", text(d.LastName));
            add("Nickname:", Extra(d, PR_NICKNAME));
            add("Company:", text(d.CompanyName));
            add("Job title:", Extra(d, PR_TITLE));
            add("E-mail:", text(d.Email1Address));
            add("Business phone:", Extra(d, PR_BUSINESS_TELEPHONE_NUMBER));
            add("Home phone:", Extra(d, PR_HOME_TELEPHONE_NUMBER));
            add("Mobile phone:", Extra(d, PR_MOBILE_TELEPHONE_NUMBER));
            break;
        case outlook::olAppointment:
            add("Subject:", text(d.Subject));
            add("Location:", text(d.Location));
            add("Start:", LocalText(d.Start));
            add("End:", LocalText(d.End));
            break;
        case outlook::olTask:
            add("Subject:", text(d.Subject));
            add("Status:", d.Status ? TaskStatusText(*d.Status) : std::string());
            add("Start date:", LocalText(d.StartDate));
            add("Due date:", LocalText(d.DueDate));
            break;
        case outlook::olNote:
            add("Color:", d.Color ? NoteColorText(*d.Color) : std::string());
            break;
        default: {
            // Mail, posts and whatever else came as a message.
            std::string from = text(d.SenderName);
            const std::string address = Extra(d, PR_SENDER_EMAIL_ADDRESS);
            if (!address.empty() && address != from) from = from.empty() ? address : from + " <" + address + ">";
            add("From:", from);
            add("To:", text(d.To));
            add("Cc:", text(d.Cc));
            add("Date:", LocalText(d.SentOn));
            add("Received:", Extra(d, PR_MESSAGE_DELIVERY_TIME));
            add("Subject:", text(d.Subject));
            add("Message-ID:", text(d.InternetMessageID));
            break;
        }
    }
    add("Created:", LocalText(d.CreationTime));
}

// The source the store keeps beside the item's properties, null when it keeps none.
std::shared_ptr<const store::ItemSource> OwnSource(outlook::OutlookItem& item) {
    auto source = store::SourceOf(item);
    return source ? std::make_shared<const store::ItemSource>(std::move(*source)) : nullptr;
}

}  // namespace

std::string KindText(int32_t olClass) {
    switch (olClass) {
        case outlook::olMail: return "Mail";
        case outlook::olPost: return "Post";
        case outlook::olContact: return "Contact";
        case outlook::olAppointment: return "Appointment";
        case outlook::olTask: return "Task";
        case outlook::olNote: return "Note";
        case outlook::olDistributionList: return "Distribution list";
        case outlook::olActivity: return "Journal";
        default: return std::to_string(olClass);
    }
}

ItemView DescribeItem(store::Profile& profile, outlook::OutlookItem& item) {
    ItemView view;
    store::ItemData data;
    try {
        data = profile.ReadItem(item);
    } catch (const AutomationError& e) {
        // A connected store whose source is out of reach: the cached fields still tell what
        // the item is.
        view.problem = e.Description();
        try {
            data.Class = item.Class();
            data.Subject = item.Subject();
            data.CreationTime = dates::LocalToUtc(item.CreationTime());
        } catch (const AutomationError&) {
        }
    }
    view.title = store::TitleOf(data);
    if (view.title.empty()) view.title = "(no subject)";
    DescribeFields(data, view);
    // A note's body is its text, whose first line is already the title.
    view.body = data.Body.value_or(std::string());
    view.headers = Extra(data, PR_TRANSPORT_MESSAGE_HEADERS);
    if (view.problem.empty()) {
        try {
            // A connected store's whole message came with the reading; a store of our own keeps
            // it beside the properties.
            view.source = data.Source ? data.Source : OwnSource(item);
            if (view.headers.empty() && view.source && view.source->kind == store::ItemSource::Kind::Mime)
                view.headers = HeaderBlock(view.source->Unpack());
        } catch (const AutomationError& e) {
            view.problem = e.Description();
        }
    }
    return view;
}

std::shared_ptr<const store::ItemSource> WholeSource(store::Profile& profile, outlook::OutlookItem& item) {
    if (auto own = OwnSource(item)) return own;
    return profile.ReadItem(item).Source;
}

void AddItemView(QFormLayout& form, const ItemView& view, QWidget* owner) {
    for (const auto& [label, value] : view.fields) {
        auto* field = new QLineEdit(QString::fromStdString(value), owner);
        field->setReadOnly(true);
        field->setCursorPosition(0);
        form.addRow(QString::fromStdString(label), field);
    }
    auto page = [owner](const char* name, const std::string& text) {
        auto* edit = new QPlainTextEdit(QString::fromStdString(text), owner);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setReadOnly(true);
        return edit;
    };
    if (view.headers.empty()) {
        form.addRow(page("Body", view.body));
    } else {
        auto* tabs = new QTabWidget(owner);
        tabs->addTab(page("Body", view.body), QStringLiteral("Message"));
        tabs->addTab(page("Headers", view.headers), QStringLiteral("Internet headers"));
        form.addRow(tabs);
    }
    if (!view.problem.empty()) {
        auto* note = new QLineEdit(QString::fromStdString(view.problem), owner);
        note->setObjectName(QStringLiteral("Problem"));
        note->setReadOnly(true);
        form.addRow(QStringLiteral("Not shown:"), note);
    }
}

ItemPane::ItemPane(store::Profile& profile, outlook::ItemRef item, QWidget* parent)
    : QWidget(parent), item_(std::move(item)) {
    setObjectName(QStringLiteral("ItemPane"));
    const ItemView view = DescribeItem(profile, *item_);
    title_ = view.title;
    source_ = view.source;
    auto* form = new QFormLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    AddItemView(*form, view, this);

    attachments_ = new QTreeWidget(this);
    attachments_->setObjectName(QStringLiteral("AttachmentList"));
    attachments_->setRootIsDecorated(false);
    attachments_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type"), QStringLiteral("Size")});
    attachments_->header()->setStretchLastSection(false);
    attachments_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    attachments_->header()->resizeSection(1, 110);
    attachments_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    QString unreadable;
    try {
        if (source_)
            for (const auto& a : formats::ListAttachments(*source_)) {
                auto* row = new QTreeWidgetItem(attachments_);
                row->setIcon(0, PaperClip());
                row->setText(0, QString::fromStdString(a.name));
                row->setText(1, QString::fromStdString(a.mimeType));
                row->setText(2, QLocale().formattedDataSize(static_cast<qint64>(a.size)));
                row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            }
    } catch (const AutomationError& e) {
        unreadable = QString::fromStdString(e.Description());
    }
    if (!unreadable.isEmpty()) {
        auto* note = new QLineEdit(unreadable, this);
        note->setObjectName(QStringLiteral("AttachmentProblem"));
        note->setReadOnly(true);
        form->addRow(QStringLiteral("Attachments:"), note);
    }
    if (attachments_->topLevelItemCount() == 0) {
        attachments_->hide();
    } else {
        auto* save = new QPushButton(QStringLiteral("&Save attachment..."), this);
        save->setObjectName(QStringLiteral("SaveAttachment"));
        auto enable = [this, save] { save->setEnabled(attachments_->currentItem() != nullptr); };
        connect(attachments_, &QTreeWidget::currentItemChanged, this, enable);
        connect(save, &QPushButton::clicked, this,
                [this] { SaveAttachment(attachments_->indexOfTopLevelItem(attachments_->currentItem())); });
        connect(attachments_, &QTreeWidget::itemDoubleClicked, this,
                [this](QTreeWidgetItem* row) { SaveAttachment(attachments_->indexOfTopLevelItem(row)); });
        enable();
        attachments_->setMaximumHeight(120);
        form->addRow(QStringLiteral("Attachments:"), attachments_);
        form->addRow(QString(), save);
    }
    chooseFile = [](QWidget* owner, const QString& suggested) {
        return QFileDialog::getSaveFileName(owner, QStringLiteral("Save attachment"), QDir::home().filePath(suggested));
    };
}

bool ItemPane::SaveAttachment(int index) {
    if (!source_ || index < 0 || index >= attachments_->topLevelItemCount()) return false;
    const QString file = chooseFile ? chooseFile(this, SafeFileName(attachments_->topLevelItem(index)->text(0))) : QString();
    if (file.isEmpty()) return false;
    try {
        const QString failed =
            WriteWholeFile(file, formats::AttachmentContent(*source_, static_cast<size_t>(index)));
        if (failed.isEmpty()) return true;
        ShowPlainBox(this, QMessageBox::Warning, QString::fromLatin1(kClientTitle),
                     "The attachment could not be saved to \"" + file.toStdString() + "\": " + failed.toStdString());
    } catch (const AutomationError& e) {
        ShowFailure(this, e);
    }
    return false;
}

}  // namespace nubra::client
