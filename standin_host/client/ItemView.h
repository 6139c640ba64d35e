// What the item window and the explorer's reading pane show of one item: the header fields of
// a mail or post, the fields of a contact, appointment, task or note, the body, for a message
// kept whole the header block it came with, and the files attached to it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "host/Outlook.h"

class QFormLayout;
class QTreeWidget;

namespace nubra::store {
class Profile;
struct ItemSource;
}

namespace nubra::client {

struct ItemView {
    std::string title;  // subject or name, "(no subject)" for none
    // Label ("From:") and value, in reading order; only the fields the item has.
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;
    // The Internet header block as the message came ("" when the item does not keep it).
    std::string headers;
    // Why part of the item could not be read (a connected store's source out of reach);
    // what could be read is shown all the same.
    std::string problem;
    // What the item was made of (its attachments are listed from it); null when it keeps none.
    std::shared_ptr<const store::ItemSource> source;
};

// How the explorer names an item's kind ("Mail", "Contact", ...; the number for others).
std::string KindText(int32_t olClass);

// Reads the item through the profile (a connected store fetches the whole message from its
// source). Never raises: a failure ends up in `problem`.
ItemView DescribeItem(store::Profile& profile, outlook::OutlookItem& item);

// The source an item was made of: the one its store keeps, else (a connected store) the whole
// message fetched from where it lives; null when there is none. Raises what reading raises.
std::shared_ptr<const store::ItemSource> WholeSource(store::Profile& profile, outlook::OutlookItem& item);

// Adds the fields as read-only rows of `form`, then the body (and the headers, on a tab of
// their own) below them.
void AddItemView(QFormLayout& form, const ItemView& view, QWidget* owner);

// One item, read-only (DescribeItem), with the files attached to it (name, type, size), each of
// which can be saved to a file the user chooses: the item window's content and the reading pane.
class ItemPane : public QWidget {
    Q_OBJECT
public:
    // Reads `item` through `profile` now; `profile` must outlive the pane.
    ItemPane(store::Profile& profile, outlook::ItemRef item, QWidget* parent);

    const outlook::ItemRef& Item() const { return item_; }
    // The item's subject or name ("(no subject)" for none).
    const std::string& Title() const { return title_; }
    // The list of attachments (columns: name, type, size), in the item's order; hidden when
    // there are none.
    QTreeWidget* AttachmentList() const { return attachments_; }
    // Asks for a file (the chooser below, given a safe form of the attachment's name) and writes
    // attachment `index` there whole or not at all; a failure is shown in a box. False when
    // nothing was written (cancelled or failed).
    bool SaveAttachment(int index);
    // Where SaveAttachment asks for the file: a save dialog unless replaced (tests). An empty
    // result cancels.
    std::function<QString(QWidget* parent, const QString& suggestedName)> chooseFile;

private:
    outlook::ItemRef item_;
    std::string title_;
    std::shared_ptr<const store::ItemSource> source_;
    QTreeWidget* attachments_ = nullptr;
};

}  // namespace nubra::client
