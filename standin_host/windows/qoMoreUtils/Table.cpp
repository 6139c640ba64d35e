// qoMAPITable, its filter and the filter's restrictions: a folder's contents searched through
// the client's own Items.Restrict, rows read through each item's MAPI object.
//
// The table walks one collection of rows at a time by position: the folder's items, the items
// its restriction leaves (Restrict), or the items a find matched (FindFirst/FindNext), forwards
// or backwards. The table and its filter share that state, so either may outlive the other.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/MAPIUtils.h"
#include "host/win/Dispatch.h"
#include "standin_host/windows/qoMoreUtils/Dasl.h"
#include "standin_host/windows/qoMoreUtils/MapiAccess.h"
#include "standin_host/windows/qoMoreUtils/Objects.h"

namespace qomoreutils {

using nubra::win::Args;
using nubra::win::Dispatch;
using nubra::win::DispatchServer;
namespace errnum = nubra::errnum;
namespace mapi = nubra::mapi;

namespace {

[[noreturn]] void NotForThisKind(const char* member, int32_t kind) {
    nubra::RaiseError(errnum::kMemberNotSupported,
                      std::string(member) + " does not apply to a restriction of kind " + std::to_string(kind), kSource);
}

[[noreturn]] void UnsupportedKind(int32_t kind) {
    nubra::RaiseError(errnum::kInvalidProcedureCall, "restriction kind " + std::to_string(kind) + " is not supported",
                      kSource);
}

// One node of a filter: the top RES_AND, a RES_PROPERTY, a RES_NOT or a RES_EXIST.
class Restriction : public DispatchServer {
public:
    explicit Restriction(int32_t kind) : kind_(kind) {
        Property(L"Kind", [this](const Args&) { return Variant(kind_); });
        Function(L"Add", [this](const Args& a) { return Add(a[0].AsLong()); });
        Function(L"SetKind", [this](const Args& a) { return SetKind(a[0].AsLong()); });
        Property(
            L"Relop", [this](const Args&) { return relop_ ? Variant(*relop_) : Variant(); },
            [this](const Variant& v) {
                Fits("Relop", mapi::RES_PROPERTY, mapi::RES_EXIST);
                const int32_t relop = v.AsLong();
                if (relop < 0 || relop > 5)
                    nubra::RaiseError(errnum::kInvalidProcedureCall,
                                      "relational operator " + std::to_string(relop) + " is not supported", kSource);
                relop_ = relop;
            });
        Property(
            L"PropTag", [this](const Args&) { return tag_ ? Variant(static_cast<int32_t>(*tag_)) : Variant(); },
            [this](const Variant& v) {
                Fits("PropTag", mapi::RES_PROPERTY, mapi::RES_EXIST);
                tag_ = static_cast<uint32_t>(v.AsLong());
            });
        Property(
            L"Value", [this](const Args&) { return value_ ? *value_ : Variant(); },
            [this](const Variant& v) {
                Fits("Value", mapi::RES_PROPERTY, mapi::RES_PROPERTY);
                switch (v.type()) {
                    case Variant::Type::String:
                    case Variant::Type::Integer:
                    case Variant::Type::Long:
                    case Variant::Type::Double:
                    case Variant::Type::Date:
                    case Variant::Type::Boolean: value_ = v; break;
                    default:
                        nubra::RaiseError(errnum::kTypeMismatch, "a restriction compares text, numbers or dates",
                                          kSource);
                }
            });
    }

    // The conditions of a top AND restriction; raises MAPI_E_INVALID_PARAMETER for a member
    // that lacks a part.
    std::vector<Condition> Conditions() const {
        std::vector<Condition> out;
        for (std::size_t i = 0; i < children_.size(); ++i) {
            const Restriction& c = *children_[i].get();
            const std::string which = "condition " + std::to_string(i + 1) + " of the filter";
            auto incomplete = [&](const char* lacks) {
                Fail(errnum::kMapiInvalidParameter, which + " lacks its " + lacks);
            };
            switch (c.kind_) {
                case mapi::RES_PROPERTY:
                    if (!c.relop_) incomplete("relational operator");
                    if (!c.tag_) incomplete("property tag");
                    if (!c.value_) incomplete("value");
                    out.push_back({Condition::Kind::Property, *c.relop_, *c.tag_, *c.value_});
                    break;
                case mapi::RES_EXIST:
                    if (!c.tag_) incomplete("property tag");
                    out.push_back({Condition::Kind::Exist, 0, *c.tag_, {}});
                    break;
                case mapi::RES_NOT:
                    if (c.children_.empty()) incomplete("negated restriction");
                    if (!c.children_[0]->tag_) incomplete("negated restriction's property tag");
                    out.push_back({Condition::Kind::NotExist, 0, *c.children_[0]->tag_, {}});
                    break;
            }
        }
        return out;
    }

private:
    void Fits(const char* member, int32_t a, int32_t b) const {
        if (kind_ != a && kind_ != b) NotForThisKind(member, kind_);
    }

    Variant Add(int32_t kind) {
        Fits("Add", mapi::RES_AND, mapi::RES_AND);
        if (kind != mapi::RES_PROPERTY && kind != mapi::RES_NOT && kind != mapi::RES_EXIST) UnsupportedKind(kind);
        auto child = ComRef<Restriction>::Adopt(new Restriction(kind));
        children_.push_back(child);
        return Variant(child->AsObject());
    }

    Variant SetKind(int32_t kind) {
        Fits("SetKind", mapi::RES_NOT, mapi::RES_NOT);
        if (kind != mapi::RES_EXIST) UnsupportedKind(kind);
        auto child = ComRef<Restriction>::Adopt(new Restriction(kind));
        children_.assign(1, child);
        return Variant(child->AsObject());
    }

    int32_t kind_;
    std::vector<ComRef<Restriction>> children_;
    std::optional<int32_t> relop_;
    std::optional<uint32_t> tag_;
    std::optional<Variant> value_;
};

// What a table and its filter share: the folder's items and the rows being walked.
class TableState {
public:
    void SetItems(ComRef<IDispatch> items) {
        items_ = std::move(items);
        folder_.reset();
        schemas_.clear();
        Unrestrict();
    }
    const ComRef<IDispatch>& Items() const { return items_; }

    void SetColumns(std::vector<uint32_t> columns) { columns_ = std::move(columns); }
    const std::vector<uint32_t>& Columns() const { return columns_; }

    // Back to every item of the folder, with nothing found.
    void Unrestrict() {
        view_ = items_;
        GoToFirst();
        found_ = {};
        searched_ = false;
    }

    // Only the rows that satisfy `conditions` (all rows for none). The table is left as it
    // was when the client refuses the filter.
    void Restrict(const std::vector<Condition>& conditions) {
        ComRef<IDispatch> view = Matching(Required(), conditions);
        view_ = std::move(view);
        GoToFirst();
        found_ = {};
        searched_ = false;
    }

    void GoToFirst() {
        rows_ = view_;
        next_ = 0;
        step_ = 1;
    }

    // The next row of the walk, or Empty after the last.
    Variant GetRow() {
        if (!rows_) {
            Required();
            GoToFirst();
        }
        Dispatch rows(rows_);
        const int32_t count = rows.Get("Count").AsLong();
        if (next_ < 0 || next_ >= count) return Variant();
        const int32_t position = next_ + 1;
        const std::string role = "row " + std::to_string(position);
        const Variant item = rows.Call("Item", {Variant(position)});
        const ComRef<IUnknown> unknown = UnknownOf(item, role);
        static const std::vector<uint32_t> kEntryIdOnly{static_cast<uint32_t>(mapi::PR_ENTRYID)};
        const auto& columns = columns_.empty() ? kEntryIdOnly : columns_;
        Variant row(PropertySource::Of(unknown.get(), role).Read(columns));
        next_ += step_;
        return row;
    }

    bool FindFirst(const std::vector<Condition>& conditions, bool forward) {
        found_ = Matching(view_ ? view_ : Required(), conditions);
        searched_ = true;
        const int32_t count = Dispatch(found_).Get("Count").AsLong();
        foundAt_ = forward ? 0 : count - 1;
        return Position(forward, count);
    }

    bool FindNext(const std::vector<Condition>& conditions, bool forward) {
        if (!searched_) return FindFirst(conditions, forward);
        const int32_t count = Dispatch(found_).Get("Count").AsLong();
        foundAt_ += forward ? 1 : -1;
        return Position(forward, count);
    }

private:
    const ComRef<IDispatch>& Required() const {
        if (!items_) Fail(errnum::kMapiInvalidParameter, "the table has no Item (the folder's items) yet");
        return items_;
    }

    // The rows of `from` that satisfy `conditions`: the client's Items.Restrict.
    ComRef<IDispatch> Matching(const ComRef<IDispatch>& from, const std::vector<Condition>& conditions) {
        const std::string filter = DaslFilter(conditions, [this](uint32_t tag) { return SchemaName(tag); });
        if (filter.empty()) return from;
        const Variant restricted = Dispatch(from).Call("Restrict", {Variant(filter)});
        ComRef<IDispatch> out;
        if (restricted.type() == Variant::Type::Object) out = nubra::win::DispatchOf(restricted.AsObject());
        if (!out) Fail(errnum::kMapiCallFailed, "Items.Restrict gave no items for " + filter);
        return out;
    }

    // The schema name of a tag; named tags are named by the folder's store.
    std::string SchemaName(uint32_t tag) {
        if (!IsNamedTag(tag)) return ProptagSchema(tag);
        if (auto it = schemas_.find(tag); it != schemas_.end()) return it->second;
        if (!folder_) {
            const Variant parent = Dispatch(Required()).Get("Parent");
            const ComRef<IUnknown> folder = UnknownOf(parent, "the items' folder");
            folder_ = PropertySource::Of(folder.get(), "the items' folder");
        }
        std::string name = folder_->SchemaName(tag);
        schemas_.emplace(tag, name);
        return name;
    }

    // Makes the found row the one GetRow returns next, GetRow going on in the find's direction.
    bool Position(bool forward, int32_t count) {
        rows_ = found_;
        next_ = foundAt_;
        step_ = forward ? 1 : -1;
        return foundAt_ >= 0 && foundAt_ < count;
    }

    ComRef<IDispatch> items_;
    ComRef<IDispatch> view_;
    ComRef<IDispatch> rows_;
    int32_t next_ = 0;
    int32_t step_ = 1;
    ComRef<IDispatch> found_;
    int32_t foundAt_ = 0;
    bool searched_ = false;
    std::vector<uint32_t> columns_;
    std::optional<PropertySource> folder_;
    std::map<uint32_t, std::string> schemas_;
};

class TableFilter : public DispatchServer {
public:
    explicit TableFilter(std::shared_ptr<TableState> state) : state_(std::move(state)) {
        Function(L"Clear", [this](const Args&) {
            top_ = {};
            state_->Unrestrict();
            return Variant();
        });
        Function(L"SetKind", [this](const Args& a) {
            const int32_t kind = a[0].AsLong();
            if (kind != mapi::RES_AND) UnsupportedKind(kind);
            top_ = ComRef<Restriction>::Adopt(new Restriction(kind));
            return Variant(top_->AsObject());
        });
        Function(L"Restrict", [this](const Args&) {
            state_->Restrict(Conditions());
            return Variant();
        });
        Function(L"FindFirst", [this](const Args& a) {
            return Variant(state_->FindFirst(Conditions(), a.Or(0, Variant(true)).AsBool()));
        });
        Function(L"FindNext", [this](const Args& a) {
            return Variant(state_->FindNext(Conditions(), a.Or(0, Variant(true)).AsBool()));
        });
    }

private:
    std::vector<Condition> Conditions() const { return top_ ? top_->Conditions() : std::vector<Condition>{}; }

    std::shared_ptr<TableState> state_;
    ComRef<Restriction> top_;
};

class Table : public DispatchServer {
public:
    Table() : state_(std::make_shared<TableState>()) {
        filter_ = ComRef<TableFilter>::Adopt(new TableFilter(state_));
        Property(
            L"Item",
            [this](const Args&) {
                const auto& items = state_->Items();
                return items ? Variant(nubra::win::WrapObject(items.get())) : Variant::Nothing();
            },
            [this](const Variant& v) {
                const ComRef<IUnknown> unknown = UnknownOf(v, "MAPITable.Item");
                ComRef<IDispatch> items = unknown.As<IDispatch>(IID_IDispatch);
                if (unknown && !items) Fail(errnum::kMapiInvalidParameter, "MAPITable.Item: not a folder's items");
                state_->SetItems(std::move(items));
            });
        Property(
            L"Columns",
            [this](const Args&) {
                std::vector<Variant> tags;
                for (uint32_t tag : state_->Columns()) tags.emplace_back(static_cast<int32_t>(tag));
                return Variant(std::move(tags));
            },
            [this](const Variant& v) {
                std::vector<uint32_t> tags;
                if (v.type() != Variant::Type::Array)
                    nubra::RaiseError(errnum::kTypeMismatch, "MAPITable.Columns takes an array of tags", kSource);
                for (const Variant& tag : v.AsArray()) tags.push_back(static_cast<uint32_t>(tag.AsLong()));
                state_->SetColumns(std::move(tags));
            });
        Property(L"Filter", [this](const Args&) { return Variant(filter_->AsObject()); });
        Function(L"GoToFirst", [this](const Args&) {
            state_->GoToFirst();
            return Variant();
        });
        Function(L"GetRow", [this](const Args&) { return state_->GetRow(); });
    }

private:
    std::shared_ptr<TableState> state_;
    ComRef<TableFilter> filter_;
};

}  // namespace

ComRef<IDispatch> NewTable() { return ComRef<IDispatch>::Adopt(new Table()); }

}  // namespace qomoreutils
