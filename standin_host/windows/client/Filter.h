// The filters of Items.Restrict and Items.Find: "@SQL=" then clauses joined by " AND ", each
//   "schema" = 'text'   (single quotes doubled inside; text compares ignoring letter case)
//   "schema" = 123      "schema" <> ...
//   "schema" >= 'date'  "schema" <= 'date'  (the locale's general date text of the UTC time)
//   "schema" IS NULL    (the item has no value for the property)
// where a schema is ".../mapi/proptag/0xTTTTTTTT" or ".../mapi/id/{GUID}/IIIITTTT".
#pragma once

#include <string>
#include <vector>

#include "standin_host/windows/client/Store.h"

namespace nubra::winclient {

struct Clause {
    enum class Op { Eq, Ne, Ge, Le, IsNull };
    // The property: a fixed tag, or a named one (guid, lid) with its type.
    uint32_t tag = 0;
    std::string guid;
    uint16_t lid = 0;
    uint16_t type = 0;
    Op op = Op::Eq;
    bool isText = false;
    std::string text;
    int64_t number = 0;
};

// Raises AutomationError 5 naming the filter when it is not in the language above.
std::vector<Clause> ParseFilter(const std::string& filter);
// Whether the item satisfies every clause (its store's ids for the named ones).
bool Matches(const Item& item, const std::vector<Clause>& clauses);

}  // namespace nubra::winclient
