#include "standin_host/client/ItemView.h"

#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>

#include "host/AutomationDates.h"
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
    if (view.headers.empty() && view.problem.empty()) {
        try {
            if (auto source = store::SourceOf(item); source && source->kind == store::ItemSource::Kind::Mime)
                view.headers = HeaderBlock(source->Unpack());
        } catch (const AutomationError& e) {
            view.problem = e.Description();
        }
    }
    return view;
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

}  // namespace nubra::client
