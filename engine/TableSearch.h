// The one way every matcher finds its candidates: a contents-table search of the folder
// through the MAPI utility library, restricted on raw properties and evaluated by the store.
//
// A search is built in steps (table bound to the folder's items, filter cleared, top AND
// restriction made, conditions added in order, columns set) so that a matcher can note where
// it got to. Rows are read by one of two walks. The table, its filter and the restrictions
// live in this object and are released when it ends, on every way out; Close() is the normal
// end, which also lets the library drop what it cached (Cleanup). A search that is simply
// destroyed (a failure the matcher passes on) releases its objects without Cleanup.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/MAPIUtils.h"
#include "host/Outlook.h"

namespace nubra::engine {

using Row = std::vector<Variant>;

class TableSearch {
public:
    // The search will run over `items`, the items of `folder`.
    TableSearch(outlook::FolderRef folder, std::shared_ptr<outlook::Items> items);
    ~TableSearch();
    TableSearch(const TableSearch&) = delete;
    TableSearch& operator=(const TableSearch&) = delete;

    // Building steps, in this order. Begin() runs the first three.
    void BindTable();    // a new MAPITable whose Item is the folder's items
    void ClearFilter();  // the table's filter, cleared
    void MakeAnd();      // the filter's top RES_AND restriction
    void Begin();

    // Conditions, appended to the AND restriction.
    void AddProperty(int32_t relop, int32_t tag, const Variant& value);
    // RES_NOT over RES_EXIST: the property must be absent.
    void AddNotExist(int32_t tag);

    void SetColumns(const std::vector<int32_t>& tags);

    // Restricted walk: the filter applied, then every row in table order. `onRow` returns
    // false to stop early.
    void RestrictedWalk(const std::function<bool(const Row&)>& onRow);
    // Find walk: FindFirst, then FindNext after each row, until no further row is found, an
    // empty row is read or `onRow` returns false.
    void FindWalk(const std::function<bool(const Row&)>& onRow);

    // The single steps of a find walk, for matchers that handle them one by one.
    bool FindFirst();
    bool FindNext();
    // The current row, or an empty vector when GetRow gave an empty value.
    Row GetRow();

    // Entry ID of a row as hex text, and the item it stands for in the folder's store.
    std::string RowEntryIdHex(const Row& row);
    outlook::ItemRef OpenItem(const std::string& entryIdHex);
    outlook::ItemRef OpenRow(const Row& row) { return OpenItem(RowEntryIdHex(row)); }

    // The normal end: clears the filter first when asked, releases the search objects and
    // calls Cleanup of the library. Never raises; safe to call more than once.
    void Close(bool clearFilter = false);
    // Releases the search objects only.
    void Release() noexcept;

private:
    std::shared_ptr<mapi::MAPITable> Table();
    std::shared_ptr<mapi::Restriction> And();

    outlook::FolderRef folder_;
    std::shared_ptr<outlook::Items> items_;
    std::string storeId_;
    bool haveStoreId_ = false;
    std::shared_ptr<mapi::MAPITable> table_;
    std::shared_ptr<mapi::TableFilter> filter_;
    std::shared_ptr<mapi::Restriction> and_;
    std::vector<std::shared_ptr<mapi::Restriction>> conditions_;
    bool closed_ = false;
};

// Calls Cleanup of the library, when there is one. Never raises.
void LibraryCleanup() noexcept;

}  // namespace nubra::engine
