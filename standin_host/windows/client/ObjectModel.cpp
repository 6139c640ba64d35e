#include "standin_host/windows/client/ObjectModel.h"

#include <algorithm>

#include "standin_host/windows/client/Filter.h"
#include "standin_host/windows/client/MapiProp.h"

namespace nubra::winclient {

namespace {

using win::Args;
using win::ComRef;
using win::DispatchServer;

constexpr const char* kSource = "NubraTestClient";
// ExplorerEvents_10 and _CommandBarButtonEvents.
constexpr GUID kIidExplorerEvents = {0x0006300F, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kIidButtonEvents = {0x000C0351, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr DISPID kDispClose = 0xF008;
constexpr DISPID kDispClick = 1;
constexpr int32_t kOlFolderClass = 2, kOlItemsClass = 16;
// 1/1/4501, the date the client gives for "none" (an unsent mail's SentOn, a task without dates).
constexpr double kNoDate = 949998.0;
// Built-in top-level menus of the menu bar, by their control ids.
struct BuiltIn {
    int32_t id;
    const char* caption;
};
constexpr BuiltIn kMenus[] = {{30002, "&File"},  {30003, "&Edit"},    {30004, "&View"}, {30131, "&Go"},
                              {30007, "&Tools"}, {30132, "&Actions"}, {30010, "&Help"}};

// A new server object as a Variant (the Variant holds the only reference).
template <typename T, typename... A>
Variant New(A&&... args) {
    auto object = win::MakeServer<T>(std::forward<A>(args)...);
    return Variant(object->AsObject());
}

template <typename T>
Variant Of(T* object) {
    return object ? Variant(object->AsObject()) : Variant::Nothing();
}

// The server object of type T behind an argument; raises 13 for anything else.
template <typename T>
T* Argument(const Variant& value) {
    auto com = std::dynamic_pointer_cast<win::ComObject>(value.AsObject());
    T* object = com ? dynamic_cast<T*>(DispatchServer::From(com->Unknown())) : nullptr;
    if (!object) RaiseError(errnum::kTypeMismatch, "", kSource);
    return object;
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The enumeration of a collection (_NewEnum): an IEnumVARIANT over a copy of its members.
class Enumerator : public win::Counted<IEnumVARIANT> {
public:
    explicit Enumerator(std::vector<Variant> values) : Counted(IID_IEnumVARIANT), values_(std::move(values)) {}
    STDMETHODIMP Next(ULONG count, VARIANT* out, ULONG* fetched) override {
        ULONG n = 0;
        try {
            for (; n < count && next_ < values_.size(); ++n, ++next_) {
                VariantInit(&out[n]);
                win::ToVariant(values_[next_], &out[n]);
            }
        } catch (const AutomationError&) {
            return E_FAIL;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        next_ = std::min(values_.size(), next_ + count);
        return next_ < values_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumVARIANT** out) override {
        if (!out) return E_POINTER;
        auto* copy = new Enumerator(values_);
        copy->next_ = next_;
        *out = copy;
        return S_OK;
    }

private:
    std::vector<Variant> values_;
    std::size_t next_ = 0;
};

Variant EnumeratorOf(std::vector<Variant> values) {
    auto* e = new Enumerator(std::move(values));
    Variant v(win::WrapObject(e));
    e->Release();
    return v;
}

class FolderObject;
class FoldersObject;
class ItemsObject;
class ItemObject;

// ---- Items ------------------------------------------------------------------------------------

// A property's value as the object model gives it.
Variant ValueOf(const Value& v, bool localTime) {
    switch (v.type) {
        case kPtString8: return Variant(v.text);
        case kPtLong: return Variant(static_cast<int32_t>(v.integer));
        case kPtBoolean: return Variant(v.integer != 0);
        case kPtSystime: return Variant::FromDate(localTime ? FileTimeToLocalDate(v.integer) : FileTimeToUtcDate(v.integer));
        case kPtBinary: return Variant(v.bytes);
        default: RaiseError(errnum::kTypeMismatch, "", kSource);
    }
}

[[noreturn]] void Gone() {
    RaiseError(errnum::kMapiNotFound, "The item has been moved or deleted.", kSource);
}

class PropertyAccessorObject : public DispatchServer {
public:
    explicit PropertyAccessorObject(std::shared_ptr<Item> item) : item_(std::move(item)) {
        Function(L"GetProperty", [this](const Args& a) { return Get(a[0].AsString()); });
        Function(L"GetProperties", [this](const Args& a) {
            std::vector<Variant> out;
            for (const auto& name : a[0].AsArray()) {
                try {
                    out.push_back(Get(name.AsString()));
                } catch (const AutomationError& e) {
                    out.emplace_back(e.Number());
                }
            }
            return Variant(std::move(out));
        });
    }

private:
    Variant Get(const std::string& schema) {
        if (!item_->folder) Gone();
        Clause c;
        auto parsed = ParseFilter("@SQL=\"" + schema + "\" IS NULL");
        c = parsed.front();
        uint32_t tag = c.tag;
        if (!c.guid.empty()) {
            const uint16_t id = item_->folder->store.NamedId(NamedKey{c.guid, c.lid}, false);
            tag = id ? ((static_cast<uint32_t>(id) << 16) | c.type) : 0;
        }
        if (tag == kPrEntryId) {
            const std::string hex = item_->folder->store.session.ItemEntryId(*item_);
            std::vector<uint8_t> bytes;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            return Variant(std::move(bytes));
        }
        for (const auto& [stored, v] : item_->props)
            if (tag && (stored >> 16) == (tag >> 16) &&
                (stored == tag || ((tag & 0xFFFF) == kPtUnicode && v.type == kPtString8)))
                return ValueOf(v, false);
        RaiseError(errnum::kMapiNotFound, "The property \"" + schema + "\" is unknown or cannot be found.", kSource);
    }
    std::shared_ptr<Item> item_;
};

class ItemObject : public DispatchServer {
public:
    ItemObject(Session& session, std::shared_ptr<Item> item);
    std::shared_ptr<Item> item;

private:
    Item& Live() {
        if (!item->folder) Gone();
        return *item;
    }
    // Raises the planted failure when it is this member's of this item.
    void Planted(const char* member) {
        if (!session_.failingSubject.empty() && session_.failingMember == member &&
            item->Text(kPrSubject) == session_.failingSubject)
            RaiseError(errnum::kMapiCallFailed, std::string("The client failed ") + member + " on this item.", kSource);
    }
    Variant Text(uint32_t tag) { return Variant(Live().Text(tag)); }
    Variant Named(const char* guid, uint16_t lid, uint16_t type, Variant absent) {
        Item& i = Live();
        const uint16_t id = i.folder->store.NamedId(NamedKey{guid, lid}, false);
        const Value* v = id ? i.Prop((static_cast<uint32_t>(id) << 16) | type) : nullptr;
        if (!v) return absent;
        return ValueOf(*v, type == kPtSystime);
    }
    Session& session_;
};

class FolderObject : public DispatchServer {
public:
    FolderObject(Session& session, Folder& folder);
    Folder& folder;
};

class ItemsObject : public DispatchServer {
public:
    ItemsObject(Session& session, Folder& folder, std::vector<Clause> restriction = {});

private:
    // The items in view (folder order, or sorted), refreshed when the folder changed.
    const std::vector<std::shared_ptr<Item>>& List() {
        if (listVersion_ != folder_.version || !listed_) {
            list_.clear();
            for (auto& i : folder_.items)
                if (restriction_.empty() || Matches(*i, restriction_)) list_.push_back(i);
            if (sortTag_) {
                std::stable_sort(list_.begin(), list_.end(), [this](const auto& a, const auto& b) {
                    const Value* va = a->Prop(sortTag_);
                    const Value* vb = b->Prop(sortTag_);
                    const bool less = !va ? (vb != nullptr)
                                          : vb && (va->type == kPtString8 ? va->text < vb->text : va->integer < vb->integer);
                    const bool greater = !vb ? (va != nullptr)
                                             : va && (va->type == kPtString8 ? vb->text < va->text : vb->integer < va->integer);
                    return descending_ ? greater : less;
                });
            }
            listVersion_ = folder_.version;
            listed_ = true;
        }
        return list_;
    }
    Variant FindFrom(std::size_t start) {
        const auto& list = List();
        for (std::size_t i = start; i < list.size(); ++i) {
            if (Matches(*list[i], find_)) {
                findNext_ = i + 1;
                return New<ItemObject>(session_, list[i]);
            }
        }
        findNext_ = list.size();
        return Variant::Nothing();
    }

    Session& session_;
    Folder& folder_;
    std::vector<Clause> restriction_;
    std::vector<std::shared_ptr<Item>> list_;
    uint64_t listVersion_ = 0;
    bool listed_ = false;
    uint32_t sortTag_ = 0;
    bool descending_ = false;
    std::vector<Clause> find_;
    std::size_t findNext_ = 0;
    std::size_t next_ = 0;  // GetFirst / GetNext
};

class FoldersObject : public DispatchServer {
public:
    // The folders under `parent`, or the stores' top folders when it is null.
    FoldersObject(Session& session, Folder* parent);

private:
    std::vector<Folder*> List() {
        std::vector<Folder*> out;
        if (parent_) {
            for (auto& f : parent_->folders) out.push_back(f.get());
        } else {
            for (auto& s : session_.stores) out.push_back(s->root.get());
        }
        return out;
    }
    Session& session_;
    Folder* parent_;
};

ItemObject::ItemObject(Session& session, std::shared_ptr<Item> it) : item(std::move(it)), session_(session) {
    const int32_t cls = item->Class();
    Property(L"Class", [this](const Args&) {
        Live();
        Planted("Class");
        return Variant(item->Class() ? item->Class() : kOlMail);
    });
    Property(L"MessageClass", [this](const Args&) { return Text(kPrMessageClass); });
    Property(L"Subject", [this](const Args&) {
        Live();
        Planted("Subject");
        return Text(kPrSubject);
    });
    Property(L"Body", [this](const Args&) { return Text(kPrBody); });
    Property(L"CreationTime", [this](const Args&) {
        const Value* v = Live().Prop(kPrCreationTime);
        return v ? ValueOf(*v, true) : Variant::FromDate(0);
    });
    Property(L"EntryID", [this](const Args&) { return Variant(session_.ItemEntryId(Live())); });
    Property(L"MAPIOBJECT", [this](const Args&) {
        Live();
        Planted("MAPIOBJECT");
        auto prop = MakeItemProp(item);
        return Variant(win::WrapObject(prop.get()));
    });
    Property(L"PropertyAccessor", [this](const Args&) {
        Live();
        return New<PropertyAccessorObject>(item);
    });
    Property(L"Parent", [this](const Args&) { return New<FolderObject>(session_, *Live().folder); });
    Function(L"Move", [this](const Args& a) {
        FolderObject* to = Argument<FolderObject>(a[0]);
        Live();
        Planted("Move");
        session_.Move(item, to->folder);
        return New<ItemObject>(session_, item);
    });
    Function(L"Delete", [this](const Args&) {
        Item& i = Live();
        Planted("Delete");
        Folder& deleted = i.folder->store.DeletedItems();
        // Deleting in Deleted Items removes the item for good.
        if (i.folder == &deleted) session_.Remove(item);
        else session_.Move(item, deleted);
        return Variant();
    });
    if (cls == kOlMail || cls == kOlPost) {
        Property(L"SentOn", [this](const Args&) {
            const Value* v = Live().Prop(kPrClientSubmitTime);
            return v ? ValueOf(*v, true) : Variant::FromDate(kNoDate);
        });
        Property(L"SenderName", [this](const Args&) { return Text(kPrSenderName); });
        Property(L"To", [this](const Args&) { return Text(kPrDisplayTo); });
        Property(L"CC", [this](const Args&) { return Text(kPrDisplayCc); });
    }
    if (cls == kOlContact) {
        Property(L"FirstName", [this](const Args&) { return Text(kPrGivenName); });
        Property(L"LastName", [this](const Args&) { return Text(kPrSurname); });
        Property(L"CompanyName", [this](const Args&) { return Text(kPrCompanyName); });
        Property(L"FullName", [this](const Args&) { return Text(kPrDisplayName); });
        Property(L"Email1Address", [this](const Args&) {
            return Named(PSETID_Address, kLidEmail1Address, kPtString8, Variant(std::string()));
        });
    }
    if (cls == kOlAppointment) {
        Property(L"Location", [this](const Args&) {
            return Named(PSETID_Appointment, kLidLocation, kPtString8, Variant(std::string()));
        });
        Property(L"Start", [this](const Args&) { return Named(PSETID_Appointment, kLidAppointmentStart, kPtSystime, Variant::FromDate(0)); });
        Property(L"End", [this](const Args&) { return Named(PSETID_Appointment, kLidAppointmentEnd, kPtSystime, Variant::FromDate(0)); });
    }
    if (cls == kOlTask) {
        Property(L"Status", [this](const Args&) { return Named(PSETID_Task, kLidTaskStatus, kPtLong, Variant(int32_t{0})); });
        Property(L"StartDate", [this](const Args&) {
            return Named(PSETID_Task, kLidTaskStartDate, kPtSystime, Variant::FromDate(kNoDate));
        });
        Property(L"DueDate", [this](const Args&) {
            return Named(PSETID_Task, kLidTaskDueDate, kPtSystime, Variant::FromDate(kNoDate));
        });
    }
    if (cls == kOlNote) {
        Property(L"Color", [this](const Args&) { return Named(PSETID_Note, kLidNoteColor, kPtLong, Variant(int32_t{3})); });
    }
}

FolderObject::FolderObject(Session& session, Folder& f) : folder(f) {
    Property(L"Name", [this](const Args&) { return Variant(folder.name); }, {}, DISPID_VALUE);
    Property(L"Class", [](const Args&) { return Variant(kOlFolderClass); });
    Property(L"EntryID", [this, &session](const Args&) { return Variant(session.FolderEntryId(folder)); });
    Property(L"StoreID", [this](const Args&) { return Variant(folder.store.StoreIdHex()); });
    Property(L"DefaultItemType", [this](const Args&) { return Variant(folder.defaultType); });
    Property(L"FolderPath", [this](const Args&) { return Variant("\\\\" + folder.Path()); });
    Property(L"Folders", [this, &session](const Args&) { return New<FoldersObject>(session, &folder); });
    Property(L"Items", [this, &session](const Args&) { return New<ItemsObject>(session, folder); });
    Property(L"Parent", [this, &session](const Args&) {
        return folder.parent ? New<FolderObject>(session, *folder.parent) : Variant::Nothing();
    });
    Property(L"MAPIOBJECT", [this](const Args&) {
        auto prop = MakeFolderProp(folder);
        return Variant(win::WrapObject(prop.get()));
    });
}

ItemsObject::ItemsObject(Session& session, Folder& folder, std::vector<Clause> restriction)
    : session_(session), folder_(folder), restriction_(std::move(restriction)) {
    Property(L"Count", [this](const Args&) { return Variant(static_cast<int32_t>(List().size())); });
    Property(L"Class", [](const Args&) { return Variant(kOlItemsClass); });
    Function(L"Item", [this](const Args& a) {
        const int32_t index = a[0].AsLong();
        const auto& list = List();
        if (index < 1 || static_cast<std::size_t>(index) > list.size())
            RaiseError(errnum::kSubscriptOutOfRange, "Array index out of bounds.", kSource);
        return New<ItemObject>(session_, list[static_cast<std::size_t>(index) - 1]);
    }, DISPID_VALUE);
    Property(L"Parent", [this](const Args&) { return New<FolderObject>(session_, folder_); });
    Function(L"Restrict", [this](const Args& a) {
        auto clauses = ParseFilter(a[0].AsString());
        clauses.insert(clauses.begin(), restriction_.begin(), restriction_.end());
        return New<ItemsObject>(session_, folder_, std::move(clauses));
    });
    Function(L"Find", [this](const Args& a) {
        find_ = ParseFilter(a[0].AsString());
        return FindFrom(0);
    });
    Function(L"FindNext", [this](const Args&) { return FindFrom(findNext_); });
    Function(L"Sort", [this](const Args& a) {
        static const std::map<std::string, uint32_t> kSortable = {
            {"[creationtime]", kPrCreationTime}, {"[receivedtime]", kPrCreationTime},
            {"[senton]", kPrClientSubmitTime},   {"[subject]", kPrSubject}};
        auto it = kSortable.find(Lower(a[0].AsString()));
        if (it == kSortable.end()) RaiseError(errnum::kInvalidProcedureCall, "Cannot sort by " + a[0].AsString(), kSource);
        sortTag_ = it->second;
        descending_ = a.Or(1, Variant(false)).AsBool();
        listed_ = false;
        return Variant();
    });
    Function(L"GetFirst", [this](const Args&) {
        next_ = 0;
        const auto& list = List();
        return list.empty() ? Variant::Nothing() : New<ItemObject>(session_, list[next_++]);
    });
    Function(L"GetNext", [this](const Args&) {
        const auto& list = List();
        return next_ >= list.size() ? Variant::Nothing() : New<ItemObject>(session_, list[next_++]);
    });
    Function(L"_NewEnum", [this](const Args&) {
        std::vector<Variant> all;
        for (auto& i : List()) all.push_back(New<ItemObject>(session_, i));
        return EnumeratorOf(std::move(all));
    }, DISPID_NEWENUM);
}

FoldersObject::FoldersObject(Session& session, Folder* parent) : session_(session), parent_(parent) {
    Property(L"Count", [this](const Args&) { return Variant(static_cast<int32_t>(List().size())); });
    Function(L"Item", [this](const Args& a) {
        const Variant key = a[0];
        const auto list = List();
        if (key.type() == Variant::Type::String) {
            for (Folder* f : list)
                if (Lower(f->name) == Lower(key.AsString())) return New<FolderObject>(session_, *f);
            RaiseError(errnum::kMapiNotFound, "The folder \"" + key.AsString() + "\" cannot be found.", kSource);
        }
        const int32_t index = key.AsLong();
        if (index < 1 || static_cast<std::size_t>(index) > list.size())
            RaiseError(errnum::kSubscriptOutOfRange, "Array index out of bounds.", kSource);
        return New<FolderObject>(session_, *list[static_cast<std::size_t>(index) - 1]);
    }, DISPID_VALUE);
    Function(L"Add", [this](const Args& a) {
        if (!parent_) RaiseError(errnum::kMapiNoSupport, "A store is not made here.", kSource);
        const int32_t type = a.Or(1, Variant(parent_->defaultType)).AsLong();
        try {
            return New<FolderObject>(session_, parent_->AddFolder(a[0].AsString(), type));
        } catch (const std::runtime_error& e) {
            RaiseError(errnum::kMapiCallFailed, e.what(), kSource);
        }
    });
    Function(L"_NewEnum", [this](const Args&) {
        std::vector<Variant> all;
        for (Folder* f : List()) all.push_back(New<FolderObject>(session_, *f));
        return EnumeratorOf(std::move(all));
    }, DISPID_NEWENUM);
}

// ---- Session ----------------------------------------------------------------------------------

class NameSpaceObject : public DispatchServer {
public:
    explicit NameSpaceObject(ApplicationObject& app) {
        Session& session = app.session;
        Property(L"Application", [&app](const Args&) { return Of(&app); });
        Property(L"Type", [](const Args&) { return Variant("MAPI"); });
        Property(L"Folders", [&session](const Args&) { return New<FoldersObject>(session, nullptr); });
        Function(L"GetItemFromID", [&session](const Args& a) {
            auto item = session.ItemById(a[0].AsString());
            if (!item || !item->folder) RaiseError(errnum::kMapiNotFound, "The item cannot be found.", kSource);
            return New<ItemObject>(session, item);
        });
        Function(L"GetFolderFromID", [&session](const Args& a) {
            Folder* folder = session.FolderById(a[0].AsString());
            if (!folder) RaiseError(errnum::kMapiNotFound, "The folder cannot be found.", kSource);
            return New<FolderObject>(session, *folder);
        });
    }
};

class CountObject : public DispatchServer {
public:
    explicit CountObject(std::function<int32_t()> count) {
        Property(L"Count", [count](const Args&) { return Variant(count()); });
    }
};

// ---- Command bars -----------------------------------------------------------------------------

class CommandBarObject : public DispatchServer {
public:
    CommandBarObject(std::string name, ControlsObject& controls) {
        Property(L"Name", [name](const Args&) { return Variant(name); });
        Property(L"Controls", [&controls](const Args&) { return Of(&controls); });
        // FindControl(Type, Id, Tag, Visible, Recursive): the first control matching every
        // criterion given.
        Function(L"FindControl", [&controls](const Args& a) {
            const Variant type = a.Or(0, Variant()), id = a.Or(1, Variant()), tag = a.Or(2, Variant());
            const bool recursive = a.Or(4, Variant(false)).AsBool();
            return Of(controls.Find(
                [&](ControlObject& c) {
                    return (type.IsEmpty() || c.type == type.AsLong()) && (id.IsEmpty() || c.id == id.AsLong()) &&
                           (tag.IsEmpty() || c.tag == tag.AsString());
                },
                recursive));
        });
    }
};

class CommandBarsObject : public DispatchServer {
public:
    explicit CommandBarsObject(ControlsObject& menuBar) {
        bar_ = win::MakeServer<CommandBarObject>("Menu bar", menuBar);
        Property(L"Count", [](const Args&) { return Variant(int32_t{1}); });
        Function(L"Item", [this](const Args& a) {
            const Variant key = a[0];
            if ((key.type() == Variant::Type::String && Lower(key.AsString()) == "menu bar") ||
                (key.type() != Variant::Type::String && key.AsLong() == 1))
                return Of(bar_.get());
            RaiseError(errnum::kInvalidProcedureCall, "Invalid procedure call or argument", kSource);
        }, DISPID_VALUE);
    }

private:
    ComRef<CommandBarObject> bar_;
};

}  // namespace

// ---- Controls ---------------------------------------------------------------------------------

ControlObject::ControlObject(ControlsObject* p, int32_t t, int32_t i, std::string c, bool temp)
    : type(t), id(i), caption(std::move(c)), temporary(temp), parent(p),
      clickEvents_(*static_cast<IDispatch*>(this), kIidButtonEvents) {
    if (type == 10) children = win::MakeServer<ControlsObject>();
    Property(L"Type", [this](const Args&) { return Variant(type); });
    Property(L"Id", [this](const Args&) { return Variant(id); });
    Property(L"Index", [this](const Args&) {
        if (!parent) RaiseError(errnum::kMapiCallFailed, "The control has been deleted.", kSource);
        for (std::size_t n = 0; n < parent->controls.size(); ++n)
            if (parent->controls[n].get() == this) return Variant(static_cast<int32_t>(n + 1));
        RaiseError(errnum::kMapiCallFailed, "The control has been deleted.", kSource);
    });
    Property(L"Caption", [this](const Args&) { return Variant(caption); },
             [this](const Variant& v) { caption = v.AsString(); });
    Property(L"Tag", [this](const Args&) { return Variant(tag); }, [this](const Variant& v) { tag = v.AsString(); });
    Property(L"OnAction", [this](const Args&) { return Variant(onAction); },
             [this](const Variant& v) { onAction = v.AsString(); });
    Property(L"Temporary", [this](const Args&) { return Variant(temporary); });
    Property(L"Controls", [this](const Args&) {
        if (!children) RaiseError(errnum::kMemberNotSupported, "", kSource);
        return Of(children.get());
    });
    Function(L"Delete", [this](const Args&) {
        if (ControlsObject* from = std::exchange(parent, nullptr)) {
            auto& v = from->controls;
            // Hold the control while it leaves its bar: the bar's reference may be the last.
            ComRef<ControlObject> self(this);
            v.erase(std::remove_if(v.begin(), v.end(), [this](const auto& c) { return c.get() == this; }), v.end());
        }
        return Variant();
    });
    Function(L"Execute", [this](const Args&) {
        Click();
        return Variant();
    });
}

ControlObject::~ControlObject() = default;

void* ControlObject::QueryOther(REFIID iid) {
    if (type == 1 && IsEqualIID(iid, IID_IConnectionPointContainer)) return clickEvents_.Container();
    return nullptr;
}

bool ControlObject::Click() {
    VARIANT_BOOL cancel = VARIANT_FALSE;
    std::vector<VARIANT> args(2);
    VariantInit(&args[0]);
    V_VT(&args[0]) = VT_DISPATCH;
    V_DISPATCH(&args[0]) = static_cast<IDispatch*>(this);
    VariantInit(&args[1]);
    V_VT(&args[1]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&args[1]) = &cancel;
    ComRef<ControlObject> hold(this);
    clickEvents_.Fire(kDispClick, args);
    return cancel != VARIANT_FALSE;
}

long ControlObject::References() { return ReferencesOf(static_cast<IDispatch*>(this)); }

ControlsObject::ControlsObject() {
    Property(L"Count", [this](const Args&) { return Variant(static_cast<int32_t>(controls.size())); });
    Function(L"Item", [this](const Args& a) {
        const Variant key = a[0];
        if (key.type() == Variant::Type::String) {
            for (auto& c : controls)
                if (Lower(c->caption) == Lower(key.AsString())) return Of(c.get());
            RaiseError(errnum::kInvalidProcedureCall, "Invalid procedure call or argument", kSource);
        }
        const int32_t index = key.AsLong();
        if (index < 1 || static_cast<std::size_t>(index) > controls.size())
            RaiseError(errnum::kInvalidProcedureCall, "Invalid procedure call or argument", kSource);
        return Of(controls[static_cast<std::size_t>(index) - 1].get());
    }, DISPID_VALUE);
    // Add(Type, Id, Parameter, Before, Temporary)
    Function(L"Add", [this](const Args& a) {
        const int32_t type = a.Or(0, Variant(int32_t{1})).AsLong();
        if (type != 1 && type != 10) RaiseError(errnum::kInvalidProcedureCall, "Invalid procedure call or argument", kSource);
        const int32_t id = a.Or(1, Variant(int32_t{1})).AsLong();
        const Variant before = a.Or(3, Variant());
        const int32_t at = before.IsEmpty() ? 0 : before.AsLong();
        if (at < 0 || at > static_cast<int32_t>(controls.size()) + 1)
            RaiseError(errnum::kInvalidProcedureCall, "Invalid procedure call or argument", kSource);
        return Of(&Add(type, id, "", at, a.Or(4, Variant(false)).AsBool()));
    });
}

ControlObject& ControlsObject::Add(int32_t type, int32_t id, const std::string& caption, int32_t before, bool temporary) {
    auto control = win::MakeServer<ControlObject>(this, type, id, caption, temporary);
    ControlObject& c = *control.get();
    const auto at = before <= 0 || before > static_cast<int32_t>(controls.size()) ? controls.end()
                                                                                  : controls.begin() + (before - 1);
    controls.insert(at, std::move(control));
    return c;
}

ControlObject* ControlsObject::Find(const std::function<bool(ControlObject&)>& match, bool recursive) {
    for (auto& c : controls) {
        if (match(*c.get())) return c.get();
        if (recursive && c->children)
            if (ControlObject* found = c->children->Find(match, true)) return found;
    }
    return nullptr;
}

// ---- Explorer, Application --------------------------------------------------------------------

ExplorerObject::ExplorerObject(ApplicationObject& app)
    : app_(app), menuBar_(win::MakeServer<ControlsObject>()), closeEvents_(*static_cast<IDispatch*>(this), kIidExplorerEvents) {
    for (const auto& m : kMenus) menuBar_->Add(10, m.id, m.caption, 0, false);
    auto bars = win::MakeServer<CommandBarsObject>(*menuBar_.get());
    Property(L"CommandBars", [bars](const Args&) { return Of(bars.get()); });
    Property(L"Caption", [](const Args&) { return Variant("Inbox - Nubra test client"); });
    Property(L"Application", [this](const Args&) { return Of(&app_); });
    Function(L"Close", [this](const Args&) {
        Close();
        return Variant();
    });
}

ExplorerObject::~ExplorerObject() = default;

void* ExplorerObject::QueryOther(REFIID iid) {
    if (IsEqualIID(iid, IID_IConnectionPointContainer)) return closeEvents_.Container();
    return nullptr;
}

void ExplorerObject::Close() {
    if (!open) return;
    ComRef<ExplorerObject> hold(this);
    closeEvents_.Fire(kDispClose, {});
    open = false;
}

ApplicationObject::ApplicationObject(Session& s) : session(s) {
    explorer = win::MakeServer<ExplorerObject>(*this);
    auto ns = win::MakeServer<NameSpaceObject>(*this);
    auto explorers = win::MakeServer<CountObject>([this] { return explorer && explorer->open ? 1 : 0; });
    auto inspectors = win::MakeServer<CountObject>([] { return 0; });
    // The namespace, explorers and inspectors live with the application; they reach it by a
    // plain pointer, so that no cycle of references keeps either alive.
    Property(L"ActiveExplorer", [this](const Args&) {
        return explorer && explorer->open ? Of(explorer.get()) : Variant::Nothing();
    });
    Property(L"Explorers", [explorers](const Args&) { return Of(explorers.get()); });
    Property(L"Inspectors", [inspectors](const Args&) { return Of(inspectors.get()); });
    Function(L"GetNamespace", [ns](const Args& a) {
        if (Lower(a[0].AsString()) != "mapi") RaiseError(errnum::kInvalidProcedureCall, "Invalid procedure call or argument", kSource);
        return Of(ns.get());
    });
    Property(L"Session", [ns](const Args&) { return Of(ns.get()); });
    Property(L"Version", [](const Args&) { return Variant("11.0.0.8169"); });
    Property(L"Name", [](const Args&) { return Variant("Nubra test client"); });
}

ApplicationObject::~ApplicationObject() = default;

long ReferencesOf(IUnknown* object) {
    object->AddRef();
    return static_cast<long>(object->Release());
}

}  // namespace nubra::winclient
