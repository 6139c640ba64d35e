#include "tests/proof/CountingHost.h"

#include <utility>

#include "host/ClassRegistry.h"
#include "standin_host/store/MAPILibrary.h"

namespace nubra::proof {

void CallCounter::Tick(const char* op) {
    ++calls;
    if (recordOps) ops.emplace_back(op);
    if (calls == failAt) {
        failedOp = op;
        const std::string what(op);
        // The failure a real host gives at that point.
        if (what == "Item.Move")
            RaiseError(errnum::kMapiDiskError, "injected: the move could not be written");
        if (what.rfind("Table.", 0) == 0 || what.rfind("Filter.", 0) == 0 || what.rfind("Utils.", 0) == 0 ||
            what.rfind("Safe.", 0) == 0 || what.rfind("Restriction.", 0) == 0)
            RaiseError(errnum::kMapiCallFailed, "injected MAPI failure in " + what);
        RaiseError(errnum::kMapiNoAccess, "injected object model failure in " + what);
    }
}

namespace {

// What a decorator stands for.
class Wrapper {
public:
    virtual ~Wrapper() = default;
    virtual ObjectRef RealObject() const = 0;
};

template <typename T>
std::shared_ptr<T> Unwrap(const std::shared_ptr<T>& maybe) {
    if (auto* w = dynamic_cast<Wrapper*>(maybe.get())) return std::dynamic_pointer_cast<T>(w->RealObject());
    return maybe;
}
ObjectRef UnwrapObject(const ObjectRef& o) { return Unwrap(o); }

// A decorator: ticks the counter, then calls the real object.
template <class Interface>
class Counted : public Interface {
public:
    Counted(std::shared_ptr<Interface> real, CallCounter& c) : real_(std::move(real)), c_(c) {}

protected:
    std::shared_ptr<Interface> real_;
    CallCounter& c_;
};

// One the store sees through when it is handed back (object-model objects).
template <class Interface>
class CountedObject : public Counted<Interface>, public Wrapper {
public:
    using Counted<Interface>::Counted;
    ObjectRef RealObject() const override { return this->real_; }
};

class CFolder;
class CItem : public CountedObject<outlook::OutlookItem> {
public:
    using CountedObject::CountedObject;
    int32_t Class() override { return c_.Tick("Item.Class"), real_->Class(); }
    std::string Subject() override { return c_.Tick("Item.Subject"), real_->Subject(); }
    Date CreationTime() override { return c_.Tick("Item.CreationTime"), real_->CreationTime(); }
    std::string Location() override { return c_.Tick("Item.Location"), real_->Location(); }
    std::string FirstName() override { return c_.Tick("Item.FirstName"), real_->FirstName(); }
    std::string LastName() override { return c_.Tick("Item.LastName"), real_->LastName(); }
    std::string CompanyName() override { return c_.Tick("Item.CompanyName"), real_->CompanyName(); }
    int32_t Status() override { return c_.Tick("Item.Status"), real_->Status(); }
    int32_t Color() override { return c_.Tick("Item.Color"), real_->Color(); }
    ObjectRef MAPIOBJECT() override { return c_.Tick("Item.MAPIOBJECT"), real_->MAPIOBJECT(); }
    outlook::ItemRef Move(outlook::MAPIFolder& destination) override;
    void Delete() override {
        c_.Tick("Item.Delete");
        real_->Delete();
    }
    std::string EntryID() override { return c_.Tick("Item.EntryID"), real_->EntryID(); }
};

outlook::ItemRef WrapItem(outlook::ItemRef real, CallCounter& c) {
    return real ? std::make_shared<CItem>(std::move(real), c) : nullptr;
}
outlook::FolderRef WrapFolder(outlook::FolderRef real, CallCounter& c);

class CItems : public CountedObject<outlook::Items> {
public:
    using CountedObject::CountedObject;
    int32_t Count() override { return c_.Tick("Items.Count"), real_->Count(); }
    outlook::ItemRef Item(int32_t index) override {
        const bool scanStep = std::exchange(c_.scanStep, false);
        c_.Tick("Items.Item");
        auto item = real_->Item(index);
        if (scanStep && item) c_.examined.push_back(item->EntryID());
        return WrapItem(std::move(item), c_);
    }
    std::shared_ptr<outlook::MAPIFolder> Parent() override {
        return c_.Tick("Items.Parent"), WrapFolder(real_->Parent(), c_);
    }
};

class CFolders : public CountedObject<outlook::Folders> {
public:
    using CountedObject::CountedObject;
    int32_t Count() override { return c_.Tick("Folders.Count"), real_->Count(); }
    outlook::FolderRef Item(int32_t index) override {
        return c_.Tick("Folders.Item"), WrapFolder(real_->Item(index), c_);
    }
    outlook::FolderRef Item(const std::string& name) override {
        return c_.Tick("Folders.ItemByName"), WrapFolder(real_->Item(name), c_);
    }
    outlook::FolderRef Add(const std::string& name) override {
        return c_.Tick("Folders.Add"), WrapFolder(real_->Add(name), c_);
    }
};

class CFolder : public CountedObject<outlook::MAPIFolder> {
public:
    using CountedObject::CountedObject;
    outlook::MAPIFolder& Real() { return *real_; }
    std::string Name() override { return c_.Tick("Folder.Name"), real_->Name(); }
    std::string StoreID() override { return c_.Tick("Folder.StoreID"), real_->StoreID(); }
    std::string EntryID() override { return c_.Tick("Folder.EntryID"), real_->EntryID(); }
    int32_t DefaultItemType() override { return c_.Tick("Folder.DefaultItemType"), real_->DefaultItemType(); }
    std::shared_ptr<outlook::Folders> Folders() override {
        return c_.Tick("Folder.Folders"), std::make_shared<CFolders>(real_->Folders(), c_);
    }
    std::shared_ptr<outlook::Items> Items() override {
        return c_.Tick("Folder.Items"), std::make_shared<CItems>(real_->Items(), c_);
    }
    Variant DefaultValue() override { return c_.Tick("Folder.DefaultValue"), real_->DefaultValue(); }
};

outlook::FolderRef WrapFolder(outlook::FolderRef real, CallCounter& c) {
    return real ? std::make_shared<CFolder>(std::move(real), c) : nullptr;
}

outlook::ItemRef CItem::Move(outlook::MAPIFolder& destination) {
    c_.Tick("Item.Move");
    auto* wrapped = dynamic_cast<CFolder*>(&destination);
    return WrapItem(real_->Move(wrapped ? wrapped->Real() : destination), c_);
}

class CNameSpace : public CountedObject<outlook::NameSpace> {
public:
    using CountedObject::CountedObject;
    std::shared_ptr<outlook::Application> Application() override { return real_->Application(); }
    std::shared_ptr<outlook::Folders> Folders() override {
        return c_.Tick("NameSpace.Folders"), std::make_shared<CFolders>(real_->Folders(), c_);
    }
    outlook::ItemRef GetItemFromID(const std::string& id, const std::string& storeId) override {
        return c_.Tick("NameSpace.GetItemFromID"), WrapItem(real_->GetItemFromID(id, storeId), c_);
    }
    outlook::FolderRef GetFolderFromID(const std::string& id, const std::string& storeId) override {
        return c_.Tick("NameSpace.GetFolderFromID"), WrapFolder(real_->GetFolderFromID(id, storeId), c_);
    }
};

class CUtils : public Counted<mapi::MAPIUtils> {
public:
    using Counted::Counted;
    Variant GetOneProperty(const ObjectRef& object, int32_t tag) override {
        return c_.Tick("Utils.GetOneProperty"), real_->GetOneProperty(UnwrapObject(object), tag);
    }
    int32_t GetNamedPropertyTag(const ObjectRef& object, const std::string& guid, int16_t id, bool create) override {
        return c_.Tick("Utils.GetNamedPropertyTag"), real_->GetNamedPropertyTag(UnwrapObject(object), guid, id, create);
    }
    std::string BinaryToHex(const Variant& value) override {
        return c_.Tick("Utils.BinaryToHex"), real_->BinaryToHex(value);
    }
    void Cleanup() override {
        c_.Tick("Utils.Cleanup");
        real_->Cleanup();
    }
};

class CRestriction : public CountedObject<mapi::Restriction> {
public:
    using CountedObject::CountedObject;
    int32_t Kind() override { return c_.Tick("Restriction.Kind"), real_->Kind(); }
    std::shared_ptr<Restriction> Add(int32_t kind) override {
        return c_.Tick("Restriction.Add"), Wrap(real_->Add(kind), c_);
    }
    std::shared_ptr<Restriction> SetKind(int32_t kind) override {
        return c_.Tick("Restriction.SetKind"), Wrap(real_->SetKind(kind), c_);
    }
    void SetRelop(int32_t relop) override {
        c_.Tick("Restriction.SetRelop");
        real_->SetRelop(relop);
    }
    void SetPropTag(int32_t tag) override {
        c_.Tick("Restriction.SetPropTag");
        real_->SetPropTag(tag);
    }
    void SetValue(const Variant& value) override {
        c_.Tick("Restriction.SetValue");
        real_->SetValue(value);
    }
    static std::shared_ptr<Restriction> Wrap(std::shared_ptr<Restriction> r, CallCounter& c) {
        return r ? std::make_shared<CRestriction>(std::move(r), c) : nullptr;
    }
};

class CFilter : public Counted<mapi::TableFilter> {
public:
    using Counted::Counted;
    void Clear() override {
        c_.Tick("Filter.Clear");
        real_->Clear();
    }
    std::shared_ptr<mapi::Restriction> SetKind(int32_t kind) override {
        return c_.Tick("Filter.SetKind"), CRestriction::Wrap(real_->SetKind(kind), c_);
    }
    void Restrict() override {
        c_.Tick("Filter.Restrict");
        real_->Restrict();
    }
    bool FindFirst(bool forward) override { return c_.Tick("Filter.FindFirst"), real_->FindFirst(forward); }
    bool FindNext(bool forward) override { return c_.Tick("Filter.FindNext"), real_->FindNext(forward); }
};

class CTable : public Counted<mapi::MAPITable> {
public:
    using Counted::Counted;
    void SetItem(const std::shared_ptr<outlook::Items>& items) override {
        c_.Tick("Table.SetItem");
        real_->SetItem(Unwrap(items));
    }
    std::shared_ptr<mapi::TableFilter> Filter() override {
        c_.Tick("Table.Filter");
        if (!filter_) filter_ = std::make_shared<CFilter>(real_->Filter(), c_);
        return filter_;
    }
    void SetColumns(const std::vector<int32_t>& tags) override {
        c_.Tick("Table.SetColumns");
        real_->SetColumns(tags);
    }
    void GoToFirst() override {
        c_.Tick("Table.GoToFirst");
        real_->GoToFirst();
    }
    Variant GetRow() override { return c_.Tick("Table.GetRow"), real_->GetRow(); }

private:
    std::shared_ptr<CFilter> filter_;
};

class CSafe : public Counted<mapi::SafeItem> {
public:
    using Counted::Counted;
    void SetItem(const outlook::ItemRef& item) override {
        c_.Tick("Safe.SetItem");
        real_->SetItem(Unwrap(item));
    }
    int32_t GetNamedPropertyTag(const std::string& guid, int16_t id) override {
        return c_.Tick("Safe.GetNamedPropertyTag"), real_->GetNamedPropertyTag(guid, id);
    }
    std::string Body() override { return c_.Tick("Safe.Body"), real_->Body(); }
    std::string FirstName() override { return c_.Tick("Safe.FirstName"), real_->FirstName(); }
    std::string LastName() override { return c_.Tick("Safe.LastName"), real_->LastName(); }
    std::string CompanyName() override { return c_.Tick("Safe.CompanyName"), real_->CompanyName(); }
    std::string Email1Address() override { return c_.Tick("Safe.Email1Address"), real_->Email1Address(); }
};

const char* const kSafeProgIds[] = {mapi::kProgIdSafeMailItem, mapi::kProgIdSafePostItem,
                                    mapi::kProgIdSafeContactItem, mapi::kProgIdSafeAppointmentItem,
                                    mapi::kProgIdSafeTaskItem};

void Install(CallCounter& c);

// An object of the store's own class: registering the library again restores its factories,
// and the counting ones take their place again at once.
ObjectRef RealObjectOf(const char* progId, CallCounter& c) {
    store::RegisterMAPILibrary();
    ObjectRef real;
    try {
        real = CreateObject(progId);
    } catch (...) {
        Install(c);
        throw;
    }
    Install(c);
    return real;
}

void Install(CallCounter& c) {
    RegisterClass(mapi::kProgIdMAPITable, [&c]() -> ObjectRef {
        c.Tick("CreateObject.Table");
        return std::make_shared<CTable>(
            std::dynamic_pointer_cast<mapi::MAPITable>(RealObjectOf(mapi::kProgIdMAPITable, c)), c);
    });
    for (const char* progId : kSafeProgIds) {
        RegisterClass(progId, [&c, progId]() -> ObjectRef {
            c.Tick("CreateObject.Safe");
            return std::make_shared<CSafe>(std::dynamic_pointer_cast<mapi::SafeItem>(RealObjectOf(progId, c)), c);
        });
    }
}

}  // namespace

outlook::FolderRef CountingFolder(outlook::FolderRef real, CallCounter& counter) {
    return WrapFolder(std::move(real), counter);
}

std::shared_ptr<outlook::NameSpace> CountingNameSpace(std::shared_ptr<outlook::NameSpace> real,
                                                      CallCounter& counter) {
    return std::make_shared<CNameSpace>(std::move(real), counter);
}

std::shared_ptr<mapi::MAPIUtils> CountingUtils(std::shared_ptr<mapi::MAPIUtils> real, CallCounter& counter) {
    return std::make_shared<CUtils>(std::move(real), counter);
}

CountingLibrary::CountingLibrary(CallCounter& counter) { Install(counter); }
CountingLibrary::~CountingLibrary() { store::RegisterMAPILibrary(); }

}  // namespace nubra::proof
