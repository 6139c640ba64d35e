// What the item window shows of one item: the header fields of a mail or post, the fields of a
// contact, appointment, task or note, the body, and for a message kept whole the header block
// it came with.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/Outlook.h"

class QFormLayout;
class QWidget;

namespace nubra::store {
class Profile;
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
};

// How the explorer names an item's kind ("Mail", "Contact", ...; the number for others).
std::string KindText(int32_t olClass);

// Reads the item through the profile (a connected store fetches the whole message from its
// source). Never raises: a failure ends up in `problem`.
ItemView DescribeItem(store::Profile& profile, outlook::OutlookItem& item);

// Adds the fields as read-only rows of `form`, then the body (and the headers, on a tab of
// their own) below them.
void AddItemView(QFormLayout& form, const ItemView& view, QWidget* owner);

}  // namespace nubra::client
