#include "engine/TableSearch.h"

#include "globals/NubraGlobals.h"
#include "host/ClassRegistry.h"

namespace nubra::engine {

namespace {
mapi::MAPIUtils& Util() {
    if (!goredUtil) RaiseError(errnum::kObjectVariableNotSet);
    return *goredUtil;
}
outlook::NameSpace& Ns() {
    if (!goOlNameSpace) RaiseError(errnum::kObjectVariableNotSet);
    return *goOlNameSpace;
}
}  // namespace

void LibraryCleanup() noexcept {
    try {
        if (goredUtil) goredUtil->Cleanup();
    } catch (...) {
        // Cleanup never fails by contract; nothing may escape a clean-up path.
    }
}

TableSearch::TableSearch(outlook::FolderRef folder, std::shared_ptr<outlook::Items> items)
    : folder_(std::move(folder)), items_(std::move(items)) {}

TableSearch::~TableSearch() { Release(); }

std::shared_ptr<mapi::MAPITable> TableSearch::Table() {
    if (!table_) RaiseError(errnum::kObjectVariableNotSet);
    return table_;
}

std::shared_ptr<mapi::Restriction> TableSearch::And() {
    if (!and_) RaiseError(errnum::kObjectVariableNotSet);
    return and_;
}

void TableSearch::BindTable() {
    closed_ = false;
    table_ = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
    table_->SetItem(items_);
}

void TableSearch::ClearFilter() {
    filter_ = Table()->Filter();
    if (!filter_) RaiseError(errnum::kObjectVariableNotSet);
    filter_->Clear();
}

void TableSearch::MakeAnd() {
    if (!filter_) RaiseError(errnum::kObjectVariableNotSet);
    and_ = filter_->SetKind(mapi::RES_AND);
    if (!and_) RaiseError(errnum::kObjectVariableNotSet);
}

void TableSearch::Begin() {
    BindTable();
    ClearFilter();
    MakeAnd();
}

void TableSearch::AddProperty(int32_t relop, int32_t tag, const Variant& value) {
    auto cond = And()->Add(mapi::RES_PROPERTY);
    if (!cond) RaiseError(errnum::kObjectVariableNotSet);
    conditions_.push_back(cond);
    cond->SetRelop(relop);
    cond->SetPropTag(tag);
    cond->SetValue(value);
}

void TableSearch::AddNotExist(int32_t tag) {
    auto notRes = And()->Add(mapi::RES_NOT);
    if (!notRes) RaiseError(errnum::kObjectVariableNotSet);
    conditions_.push_back(notRes);
    auto exist = notRes->SetKind(mapi::RES_EXIST);
    if (!exist) RaiseError(errnum::kObjectVariableNotSet);
    conditions_.push_back(exist);
    exist->SetPropTag(tag);
}

void TableSearch::SetColumns(const std::vector<int32_t>& tags) { Table()->SetColumns(tags); }

Row TableSearch::GetRow() {
    Variant row = Table()->GetRow();
    if (row.IsEmpty() || row.IsNothing()) return {};
    return row.AsArray();
}

bool TableSearch::FindFirst() {
    if (!filter_) RaiseError(errnum::kObjectVariableNotSet);
    return filter_->FindFirst(true);
}

bool TableSearch::FindNext() {
    if (!filter_) RaiseError(errnum::kObjectVariableNotSet);
    return filter_->FindNext(true);
}

void TableSearch::RestrictedWalk(const std::function<bool(const Row&)>& onRow) {
    if (!filter_) RaiseError(errnum::kObjectVariableNotSet);
    filter_->Restrict();
    Table()->GoToFirst();
    for (;;) {
        Row row = GetRow();
        if (row.empty()) return;
        if (!onRow(row)) return;
    }
}

void TableSearch::FindWalk(const std::function<bool(const Row&)>& onRow) {
    bool found = FindFirst();
    while (found) {
        Row row = GetRow();
        if (row.empty()) return;
        if (!onRow(row)) return;
        found = FindNext();
    }
}

std::string TableSearch::RowEntryIdHex(const Row& row) {
    if (row.empty()) RaiseError(errnum::kSubscriptOutOfRange);
    return Util().BinaryToHex(row[0]);
}

outlook::ItemRef TableSearch::OpenItem(const std::string& entryIdHex) {
    if (!haveStoreId_) {
        storeId_ = folder_->StoreID();
        haveStoreId_ = true;
    }
    auto item = Ns().GetItemFromID(entryIdHex, storeId_);
    if (!item) RaiseError(errnum::kObjectVariableNotSet);
    return item;
}

void TableSearch::Release() noexcept {
    conditions_.clear();
    and_.reset();
    filter_.reset();
    table_.reset();
}

void TableSearch::Close(bool clearFilter) {
    if (closed_) return;
    closed_ = true;
    if (clearFilter && filter_) {
        try {
            filter_->Clear();
        } catch (...) {
            // The filter goes away with the table in any case.
        }
    }
    Release();
    LibraryCleanup();
}

}  // namespace nubra::engine
