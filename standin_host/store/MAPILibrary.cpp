#include "standin_host/store/MAPILibrary.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <unordered_map>

#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::store {

namespace {

constexpr const char* kSource = "qoMoreUtils";

[[noreturn]] void InvalidParameter(const std::string& what) {
    RaiseError(errnum::kMapiInvalidParameter, what, kSource);
}

[[noreturn]] void NotSupported() { RaiseError(errnum::kMemberNotSupported, {}, kSource); }

std::shared_ptr<ItemImpl> ItemOf(const ObjectRef& object) {
    if (auto item = std::dynamic_pointer_cast<ItemImpl>(object)) return item;
    if (auto mapiObject = std::dynamic_pointer_cast<MAPIObjectImpl>(object)) return mapiObject->Item();
    return nullptr;
}

std::shared_ptr<StoreDb> StoreOf(const ObjectRef& object) {
    if (auto item = ItemOf(object)) return item->Store();
    if (auto folder = std::dynamic_pointer_cast<FolderImpl>(object)) return folder->Store();
    if (auto items = std::dynamic_pointer_cast<ItemsImpl>(object)) return items->Store();
    return nullptr;
}

Variant ToVariant(const PropValue& v) {
    switch (v.type) {
        case mapi::PT_LONG: return Variant(static_cast<int32_t>(v.integer));
        case mapi::PT_BOOLEAN: return Variant(v.integer != 0);
        case mapi::PT_SYSTIME: return Variant::FromDate(FileTimeToDate(v.integer));
        case mapi::PT_STRING8: return Variant(v.text);
        case mapi::PT_BINARY: return Variant(v.bytes);
        default: return Variant();
    }
}

// A property's value as the library gives it out; Empty when the item lacks it.
Variant PropertyOf(ItemImpl& item, uint32_t tag) {
    if (tag == tags::PR_ENTRYID) {
        item.Prop(tags::PR_MESSAGE_CLASS);  // raises for an item deleted for good (cached)
        return Variant(item.Store()->EntryId(StoreDb::kItemKind, item.Id()));
    }
    auto v = item.Prop(tag);
    return v ? ToVariant(*v) : Variant();
}

int32_t TagFor(uint16_t propId) { return static_cast<int32_t>(static_cast<uint32_t>(propId) << 16); }

// ---------------------------------------------------------------------------------------

class MAPIUtilsImpl : public mapi::MAPIUtils {
public:
    Variant GetOneProperty(const ObjectRef& object, int32_t propTag) override {
        auto item = ItemOf(object);
        if (!item) InvalidParameter("GetOneProperty: the object is neither an item nor its MAPI object");
        return PropertyOf(*item, static_cast<uint32_t>(propTag));
    }

    int32_t GetNamedPropertyTag(const ObjectRef& object, const std::string& guid, int16_t id,
                                bool create) override {
        auto store = StoreOf(object);
        if (!store) InvalidParameter("GetNamedPropertyTag: the object is neither a folder nor an item");
        return TagFor(store->NamedId(NamedPropertyKey{guid, static_cast<uint16_t>(id)}, create));
    }

    std::string BinaryToHex(const Variant& value) override { return ToHex(value.AsBytes()); }

    void Cleanup() override {}
};

class RestrictionImpl : public mapi::Restriction {
public:
    explicit RestrictionImpl(int32_t kind) : kind_(kind) {}

    int32_t Kind() override { return kind_; }

    std::shared_ptr<mapi::Restriction> Add(int32_t kind) override {
        if (kind_ != mapi::RES_AND) NotSupported();
        if (kind != mapi::RES_PROPERTY && kind != mapi::RES_NOT && kind != mapi::RES_EXIST)
            RaiseError(errnum::kInvalidProcedureCall, {}, kSource);
        auto r = std::make_shared<RestrictionImpl>(kind);
        children_.push_back(r);
        return r;
    }

    std::shared_ptr<mapi::Restriction> SetKind(int32_t kind) override {
        if (kind_ != mapi::RES_NOT) NotSupported();
        if (kind != mapi::RES_EXIST) RaiseError(errnum::kInvalidProcedureCall, {}, kSource);
        children_ = {std::make_shared<RestrictionImpl>(kind)};
        return children_.front();
    }

    void SetRelop(int32_t relop) override {
        if (kind_ != mapi::RES_PROPERTY && kind_ != mapi::RES_EXIST) NotSupported();
        if (relop < 0 || relop > 5) RaiseError(errnum::kInvalidProcedureCall, {}, kSource);
        relop_ = relop;
    }

    void SetPropTag(int32_t tag) override {
        if (kind_ != mapi::RES_PROPERTY && kind_ != mapi::RES_EXIST) NotSupported();
        tag_ = static_cast<uint32_t>(tag);
    }

    void SetValue(const Variant& value) override {
        if (kind_ != mapi::RES_PROPERTY) NotSupported();
        switch (value.type()) {
            case Variant::Type::String:
            case Variant::Type::Integer:
            case Variant::Type::Long:
            case Variant::Type::Double:
            case Variant::Type::Date:
            case Variant::Type::Boolean:
            case Variant::Type::Bytes: value_ = value; break;
            default: RaiseError(errnum::kTypeMismatch, {}, kSource);
        }
    }

    // The AND's members as search conditions; raises for an incomplete member.
    void Compile(std::vector<Condition>& out) const {
        for (const auto& c : children_) {
            switch (c->kind_) {
                case mapi::RES_PROPERTY:
                    if (!c->tag_ || !c->relop_ || !c->value_)
                        InvalidParameter("a property restriction lacks its operator, tag or value");
                    out.push_back(Condition{Condition::Property, *c->relop_, *c->tag_, *c->value_});
                    break;
                case mapi::RES_EXIST:
                    if (!c->tag_) InvalidParameter("an exist restriction lacks its tag");
                    out.push_back(Condition{Condition::Exist, 0, *c->tag_, {}});
                    break;
                case mapi::RES_NOT:
                    if (c->children_.empty() || !c->children_[0]->tag_)
                        InvalidParameter("a not restriction lacks its exist restriction");
                    out.push_back(Condition{Condition::NotExist, 0, *c->children_[0]->tag_, {}});
                    break;
            }
        }
    }

private:
    int32_t kind_;
    std::vector<std::shared_ptr<RestrictionImpl>> children_;
    std::optional<int32_t> relop_;
    std::optional<uint32_t> tag_;
    std::optional<Variant> value_;
};

class MAPITableImpl;

class TableFilterImpl : public mapi::TableFilter {
public:
    explicit TableFilterImpl(MAPITableImpl& table) : table_(table) {}
    void Clear() override;
    std::shared_ptr<mapi::Restriction> SetKind(int32_t kind) override {
        if (kind != mapi::RES_AND) RaiseError(errnum::kInvalidProcedureCall, {}, kSource);
        top_ = std::make_shared<RestrictionImpl>(kind);
        return top_;
    }
    void Restrict() override;
    bool FindFirst(bool forward) override;
    bool FindNext(bool forward) override;

    std::vector<Condition> Conditions() const {
        std::vector<Condition> c;
        if (top_) top_->Compile(c);
        return c;
    }

private:
    MAPITableImpl& table_;  // the table owns the filter
    std::shared_ptr<RestrictionImpl> top_;
};

class MAPITableImpl : public mapi::MAPITable, public std::enable_shared_from_this<MAPITableImpl> {
public:
    void SetItem(const std::shared_ptr<outlook::Items>& items) override {
        auto impl = std::dynamic_pointer_cast<ItemsImpl>(items);
        if (!impl) InvalidParameter("MAPITable.Item: not a folder's items of this store");
        items_ = impl;
        restricted_.reset();
        rows_.clear();
        cursor_ = 0;
        found_.clear();
    }

    std::shared_ptr<mapi::TableFilter> Filter() override {
        // The table owns its one filter; the reference handed out shares the table's
        // ownership, so a caller holding only the filter keeps the table alive.
        if (!filter_) filter_ = std::make_unique<TableFilterImpl>(*this);
        return std::shared_ptr<mapi::TableFilter>(shared_from_this(), filter_.get());
    }

    void SetColumns(const std::vector<int32_t>& tags) override { columns_ = tags; }

    void GoToFirst() override {
        rows_ = restricted_ ? *restricted_ : Items().Store()->ItemOrder(Items().Folder()).Ids();
        cursor_ = 0;
    }

    Variant GetRow() override {
        auto& items = Items();
        if (cursor_ >= rows_.size()) return Variant();
        int64_t id = rows_[cursor_++];
        static const std::vector<int32_t> defaults{mapi::PR_ENTRYID};
        const auto& columns = columns_.empty() ? defaults : columns_;
        std::vector<Variant> row;
        row.reserve(columns.size());
        for (int32_t tag : columns) {
            if (static_cast<uint32_t>(tag) == tags::PR_ENTRYID) {
                row.emplace_back(items.Store()->EntryId(StoreDb::kItemKind, id));
            } else {
                auto v = items.Store()->GetProp(id, static_cast<uint32_t>(tag));
                row.push_back(v ? ToVariant(*v) : Variant());
            }
        }
        return Variant(std::move(row));
    }

    void Restrict(const std::vector<Condition>& conditions) {
        restricted_ = Items().Store()->Search(Items().Folder(), conditions);
        rows_.clear();
        cursor_ = 0;
    }

    void Unrestrict() {
        restricted_.reset();
        rows_.clear();
        cursor_ = 0;
        found_.clear();
    }

    bool FindFirst(const std::vector<Condition>& conditions, bool forward) {
        auto matches = Items().Store()->Search(Items().Folder(), conditions);
        if (restricted_) {
            std::vector<int64_t> inView;
            std::set_intersection(matches.begin(), matches.end(), restricted_->begin(), restricted_->end(),
                                  std::back_inserter(inView), [this](int64_t a, int64_t b) {
                                      return Rank(a) < Rank(b);
                                  });
            matches = std::move(inView);
        }
        if (!forward) std::reverse(matches.begin(), matches.end());
        found_ = std::move(matches);
        foundPos_ = 0;
        searched_ = true;
        return Position();
    }

    bool FindNext(const std::vector<Condition>& conditions, bool forward) {
        if (!searched_) return FindFirst(conditions, forward);
        ++foundPos_;
        return Position();
    }

private:
    ItemsImpl& Items() {
        if (!items_) InvalidParameter("MAPITable: no Item was set");
        return *items_;
    }

    // Search results come in folder order; the rank of an id there, for intersecting.
    size_t Rank(int64_t id) {
        if (rank_.empty()) {
            const auto order = Items().Store()->ItemOrder(Items().Folder()).Ids();
            for (size_t i = 0; i < order.size(); ++i) rank_[order[i]] = i;
        }
        auto it = rank_.find(id);
        return it == rank_.end() ? SIZE_MAX : it->second;
    }

    // Makes the found row the one GetRow returns next.
    bool Position() {
        rows_ = found_;
        cursor_ = foundPos_ < found_.size() ? foundPos_ : found_.size();
        return foundPos_ < found_.size();
    }

    std::shared_ptr<ItemsImpl> items_;
    std::unique_ptr<TableFilterImpl> filter_;
    std::vector<int32_t> columns_;
    std::optional<std::vector<int64_t>> restricted_;
    std::vector<int64_t> rows_;
    size_t cursor_ = 0;
    std::vector<int64_t> found_;
    size_t foundPos_ = 0;
    bool searched_ = false;
    std::unordered_map<int64_t, size_t> rank_;
};

void TableFilterImpl::Clear() {
    top_.reset();
    table_.Unrestrict();
}
void TableFilterImpl::Restrict() { table_.Restrict(Conditions()); }
bool TableFilterImpl::FindFirst(bool forward) { return table_.FindFirst(Conditions(), forward); }
bool TableFilterImpl::FindNext(bool forward) { return table_.FindNext(Conditions(), forward); }

// ---------------------------------------------------------------------------------------

class SafeItemImpl : public mapi::SafeItem {
public:
    explicit SafeItemImpl(bool contact) : contact_(contact) {}

    void SetItem(const outlook::ItemRef& item) override {
        if (!item) {
            item_.reset();
            return;
        }
        auto impl = std::dynamic_pointer_cast<ItemImpl>(item);
        if (!impl) InvalidParameter("Item: not an item of this store");
        item_ = impl;
    }

    int32_t GetNamedPropertyTag(const std::string& guid, int16_t id) override {
        return TagFor(Item().Store()->NamedId(NamedPropertyKey{guid, static_cast<uint16_t>(id)}, true));
    }

    std::string Body() override { return Item().Text(tags::PR_BODY); }
    std::string FirstName() override { return ContactText(tags::PR_GIVEN_NAME); }
    std::string LastName() override { return ContactText(tags::PR_SURNAME); }
    std::string CompanyName() override { return ContactText(tags::PR_COMPANY_NAME); }
    std::string Email1Address() override {
        if (!contact_) NotSupported();
        return Item().NamedText(PSETID_Address, kLidEmail1Address);
    }

private:
    ItemImpl& Item() {
        if (!item_) RaiseError(errnum::kObjectVariableNotSet, {}, kSource);
        return *item_;
    }
    std::string ContactText(uint32_t tag) {
        if (!contact_) NotSupported();
        return Item().Text(tag);
    }
    bool contact_;
    std::shared_ptr<ItemImpl> item_;
};

}  // namespace

void RegisterMAPILibrary() {
    RegisterClass(mapi::kProgIdMAPIUtils, [] { return std::make_shared<MAPIUtilsImpl>(); });
    RegisterClass(mapi::kProgIdMAPITable, [] { return std::make_shared<MAPITableImpl>(); });
    RegisterClass(mapi::kProgIdSafeMailItem, [] { return std::make_shared<SafeItemImpl>(false); });
    RegisterClass(mapi::kProgIdSafePostItem, [] { return std::make_shared<SafeItemImpl>(false); });
    RegisterClass(mapi::kProgIdSafeContactItem, [] { return std::make_shared<SafeItemImpl>(true); });
    RegisterClass(mapi::kProgIdSafeAppointmentItem, [] { return std::make_shared<SafeItemImpl>(false); });
    RegisterClass(mapi::kProgIdSafeTaskItem, [] { return std::make_shared<SafeItemImpl>(false); });
}

}  // namespace nubra::store
