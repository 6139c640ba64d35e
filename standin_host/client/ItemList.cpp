#include "standin_host/client/ItemList.h"

#include <QLocale>
#include <QTreeWidget>

#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"
#include "standin_host/client/ItemView.h"
#include "standin_host/client/WindowSupport.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/ItemSource.h"

namespace nubra::client {

namespace {

// The row's value of a column for sorting (numbers, dates as numbers, texts folded); absent
// for an empty cell, which sorts first.
constexpr int kSortRole = Qt::UserRole + 4;

// Columns of the contents table, PR_ENTRYID first.
enum : size_t { kEntryId, kClass, kSubject, kSender, kSenderAddress, kDelivered, kSent, kCreated, kFlags, kFlagStatus,
                kDisplayName, kGivenName, kSurname };
const std::vector<int32_t> kColumns = {
    mapi::PR_ENTRYID,
    0x001A001E,  // PR_MESSAGE_CLASS
    mapi::PR_SUBJECT,
    0x0C1A001E,  // PR_SENDER_NAME
    0x0C1F001E,  // PR_SENDER_EMAIL_ADDRESS
    0x0E060040,  // PR_MESSAGE_DELIVERY_TIME
    mapi::PR_CLIENT_SUBMIT_TIME,
    0x30070040,  // PR_CREATION_TIME
    static_cast<int32_t>(store::PR_MESSAGE_FLAGS),
    0x10900003,  // PR_FLAG_STATUS
    0x3001001E,  // PR_DISPLAY_NAME
    mapi::PR_GIVEN_NAME,
    mapi::PR_SURNAME,
};

std::optional<std::string> Text(const Variant& v) {
    if (v.type() != Variant::Type::String) return std::nullopt;
    return v.AsString();
}
std::optional<Date> When(const Variant& v) {
    if (v.type() != Variant::Type::Date) return std::nullopt;
    return v.AsDate();
}
int64_t Number(const Variant& v) { return v.type() == Variant::Type::Long ? v.AsLong() : 0; }

class ItemRow : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        const QVariant a = data(column, kSortRole), b = other.data(column, kSortRole);
        if (!a.isValid() || !b.isValid()) return !a.isValid() && b.isValid();
        if (a.typeId() == QMetaType::QString) return a.toString() < b.toString();
        return a.toDouble() < b.toDouble();
    }
};

QString Q(const std::string& s) { return QString::fromStdString(s); }

void SetCell(QTreeWidgetItem& row, int column, const QString& text, const QVariant& sortKey) {
    row.setText(column, text);
    row.setData(column, kSortRole, sortKey);
}

}  // namespace

std::vector<ListedItem> ListItems(outlook::MAPIFolder& folder, bool keepsReadState) {
    auto table = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
    table->SetItem(folder.Items());
    table->SetColumns(kColumns);
    table->GoToFirst();
    const auto sizes = store::ItemSizes(folder);
    std::vector<ListedItem> items;
    for (Variant row = table->GetRow(); !row.IsEmpty(); row = table->GetRow()) {
        const auto& v = row.AsArray();
        ListedItem item;
        const auto& id = v[kEntryId].AsBytes();
        item.entryId = QByteArray(reinterpret_cast<const char*>(id.data()), static_cast<qsizetype>(id.size()))
                           .toHex()
                           .toUpper()
                           .toStdString();
        store::ItemData d;
        d.Class = store::ClassForMessageClass(Text(v[kClass]).value_or(std::string()));
        d.Subject = Text(v[kSubject]);
        if (d.Class == outlook::olContact) d.FullName = Text(v[kDisplayName]);
        d.FirstName = Text(v[kGivenName]);
        d.LastName = Text(v[kSurname]);
        item.kind = d.Class;
        item.title = store::TitleOf(d);
        item.date = When(v[kCreated]);
        const int64_t flags = Number(v[kFlags]);
        if (d.Class == outlook::olMail || d.Class == outlook::olPost) {
            item.from = Text(v[kSender]).value_or(std::string());
            if (item.from.empty()) item.from = Text(v[kSenderAddress]).value_or(std::string());
            if (auto received = When(v[kDelivered])) item.date = received;
            else if (auto sent = When(v[kSent])) item.date = sent;
            if (keepsReadState) item.unread = (flags & store::MSGFLAG_READ) == 0;
        }
        item.hasAttachments = (flags & store::MSGFLAG_HASATTACH) != 0;
        item.flagStatus = static_cast<int32_t>(Number(v[kFlagStatus]));
        if (auto size = sizes.find(item.entryId); size != sizes.end()) item.size = size->second;
        items.push_back(std::move(item));
    }
    return items;
}

void SetItemListHeader(QTreeWidgetItem& header) {
    for (int c : {kAttachmentColumn, kUnreadColumn, kFlagColumn}) header.setText(c, QString());
    header.setText(kFromColumn, QStringLiteral("From"));
    header.setText(kSubjectColumn, QStringLiteral("Subject / name"));
    header.setText(kDateColumn, QStringLiteral("Date"));
    header.setText(kSizeColumn, QStringLiteral("Size"));
    header.setText(kKindColumn, QStringLiteral("Kind"));
    header.setIcon(kAttachmentColumn, PaperClip());
    header.setToolTip(kAttachmentColumn, QStringLiteral("Attachments"));
    header.setIcon(kUnreadColumn, UnreadDot());
    header.setToolTip(kUnreadColumn, QStringLiteral("Unread"));
    header.setIcon(kFlagColumn, FollowUpFlag());
    header.setToolTip(kFlagColumn, QStringLiteral("Flagged"));
    header.setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
}

QTreeWidgetItem* MakeItemRow(const ListedItem& item) {
    auto* row = new ItemRow;
    // From the item's flags: the list never reads what an item was made of.
    row->setData(kAttachmentColumn, kSortRole, item.hasAttachments ? 1 : 0);
    if (item.hasAttachments) {
        row->setIcon(kAttachmentColumn, PaperClip());
        row->setToolTip(kAttachmentColumn, QStringLiteral("Has attachments"));
    }
    row->setData(kUnreadColumn, kSortRole, item.unread.value_or(false) ? 1 : 0);
    if (item.unread.value_or(false)) {
        row->setIcon(kUnreadColumn, UnreadDot());
        row->setToolTip(kUnreadColumn, QStringLiteral("Unread"));
        QFont bold = row->font(kSubjectColumn);
        bold.setBold(true);
        for (int c = kFromColumn; c < kItemColumnCount; ++c) row->setFont(c, bold);
    }
    row->setData(kFlagColumn, kSortRole, item.flagStatus);
    if (item.flagStatus == 2) {
        row->setIcon(kFlagColumn, FollowUpFlag());
        row->setToolTip(kFlagColumn, QStringLiteral("Flagged for follow-up"));
    } else if (item.flagStatus == 1) {
        row->setText(kFlagColumn, QStringLiteral("\u2713"));
        row->setToolTip(kFlagColumn, QStringLiteral("Follow-up complete"));
    }
    SetCell(*row, kFromColumn, Q(item.from), Q(item.from).toCaseFolded());
    SetCell(*row, kSubjectColumn, Q(item.title), Q(item.title).toCaseFolded());
    if (item.date)
        SetCell(*row, kDateColumn, Q(dates::FormatGeneralDate(dates::UtcToLocal(*item.date))), *item.date);
    if (item.size) {
        SetCell(*row, kSizeColumn, QLocale().formattedDataSize(static_cast<qint64>(*item.size)),
                static_cast<double>(*item.size));
        row->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    }
    SetCell(*row, kKindColumn, Q(KindText(item.kind)), Q(KindText(item.kind)).toCaseFolded());
    row->setData(0, kEntryIdRole, Q(item.entryId));
    return row;
}

bool RowMatches(const QTreeWidgetItem& row, const QString& filter) {
    return filter.isEmpty() || row.text(kSubjectColumn).contains(filter, Qt::CaseInsensitive) ||
           row.text(kFromColumn).contains(filter, Qt::CaseInsensitive);
}

}  // namespace nubra::client
