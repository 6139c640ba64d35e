// The explorer's item list: what it reads of each item of a folder, its columns, and rows that
// sort by value (numbers and dates as such, texts ignoring case) and match the filter box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QTreeWidgetItem>

#include "host/Outlook.h"

namespace nubra::client {

// One item as the list shows it.
struct ListedItem {
    std::string entryId;         // hex, as EntryID gives it
    int32_t kind = 0;            // OlObjectClass
    std::string from;            // the sender of a mail or post
    std::string title;           // subject, a contact's name, a note's first line
    std::optional<Date> date;    // UTC: received, else sent (mail and posts), else created
    std::optional<uint64_t> size;  // bytes, when the store tells one (ItemSizes)
    bool hasAttachments = false;
    std::optional<bool> unread;  // mail and posts of a store that keeps the read state
    int32_t flagStatus = 0;      // PR_FLAG_STATUS: 0 none, 1 complete, 2 flagged
};

// The items of `folder` in folder order, read through the MAPI library's contents table from
// the properties the store caches (a connected store's source is never reached), with the
// sizes store::ItemSizes gives. `keepsReadState`: the store records whether mail was read.
// Raises what reading raises.
std::vector<ListedItem> ListItems(outlook::MAPIFolder& folder, bool keepsReadState);

enum ItemColumn : int {
    kAttachmentColumn,  // a paper clip
    kUnreadColumn,      // a dot
    kFlagColumn,        // a flag
    kFromColumn,
    kSubjectColumn,
    kDateColumn,
    kSizeColumn,
    kKindColumn,
    kItemColumnCount
};

// A row keeps its item's entry ID under this role (column 0).
inline constexpr int kEntryIdRole = Qt::UserRole + 2;

// The list's header: texts, icons and tooltips.
void SetItemListHeader(QTreeWidgetItem& header);
// A row for `item`.
QTreeWidgetItem* MakeItemRow(const ListedItem& item);
// True when `filter` is empty or, ignoring case, part of the row's sender or subject.
bool RowMatches(const QTreeWidgetItem& row, const QString& filter);

}  // namespace nubra::client
