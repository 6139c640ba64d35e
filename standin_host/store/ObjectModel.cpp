#include "standin_host/store/ObjectModel.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "host/AutomationDates.h"
#include "host/MAPIUtils.h"
#include "standin_host/store/ChangeObserver.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/Upstream.h"

namespace nubra::store {

namespace {
constexpr const char* kSource = "NubraStore";

[[noreturn]] void NotSupported(const char* member) {
    RaiseError(errnum::kMemberNotSupported, {}, std::string("NubraStore.") + member);
}

// A store's ID (upper-case hex) against one given in any case; "" names every store.
bool NamesStore(const std::string& storeIdHex, const std::string& given) {
    if (given.empty()) return true;
    return given.size() == storeIdHex.size() &&
           std::equal(given.begin(), given.end(), storeIdHex.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == b;
           });
}

std::vector<uint8_t> ParseIdText(const std::string& hex, const char* what) {
    auto bytes = FromHex(hex);
    if (!bytes)
        RaiseError(errnum::kMapiInvalidParameter, "\"" + hex + "\" is no " + what + " entry ID", kSource);
    return *bytes;
}
}  // namespace

ItemImpl& AsItem(outlook::OutlookItem& item, const char* what) {
    auto* impl = dynamic_cast<ItemImpl*>(&item);
    if (!impl)
        RaiseError(errnum::kMapiInvalidParameter, std::string(what) + ": the item is not one of this store's",
                   kSource);
    return *impl;
}

FolderImpl& AsFolder(outlook::MAPIFolder& folder, const char* what) {
    auto* impl = dynamic_cast<FolderImpl*>(&folder);
    if (!impl)
        RaiseError(errnum::kMapiInvalidParameter,
                   std::string(what) + ": the folder is not one of this store's", kSource);
    return *impl;
}

// ---------------------------------------------------------------------------------------
// Items

void ItemImpl::RequireExists() {
    if (!store_->Props(id_))
        RaiseError(errnum::kMapiNotFound,
                   "the item no longer exists (store file \"" + store_->File().string() + "\")", kSource);
}

std::optional<PropValue> ItemImpl::Prop(uint32_t tag) {
    // Through the store's cache, which the MAPI library reads too, so both views agree.
    RequireExists();
    return store_->GetProp(id_, tag);
}

std::optional<PropValue> ItemImpl::NamedProp(const char* guid, uint16_t lid, uint32_t type) {
    uint16_t id = store_->NamedId(NamedPropertyKey{guid, lid}, false);
    if (id == 0) {
        RequireExists();
        return std::nullopt;
    }
    return Prop((static_cast<uint32_t>(id) << 16) | type);
}

std::string ItemImpl::Text(uint32_t tag) {
    auto v = Prop(tag);
    return v ? v->text : std::string();
}

std::string ItemImpl::NamedText(const char* guid, uint16_t lid) {
    auto v = NamedProp(guid, lid, mapi::PT_STRING8);
    return v ? v->text : std::string();
}

int32_t ItemImpl::Class() {
    // The message class never changes, so the kind is read once.
    if (!class_) {
        auto v = Prop(tags::PR_MESSAGE_CLASS);
        class_ = v ? ClassForMessageClass(v->text) : 0;
    }
    return *class_;
}

void ItemImpl::Require(int32_t kind, const char* member) {
    if (Class() != kind) NotSupported(member);
}

std::string ItemImpl::Subject() { return Text(tags::PR_SUBJECT); }

Date ItemImpl::CreationTime() {
    auto v = Prop(tags::PR_CREATION_TIME);
    return v ? dates::UtcToLocal(FileTimeToDate(v->integer)) : Date{0};
}

std::string ItemImpl::Location() {
    Require(outlook::olAppointment, "Location");
    return NamedText(PSETID_Appointment, kLidLocation);
}

std::string ItemImpl::FirstName() {
    Require(outlook::olContact, "FirstName");
    return Text(tags::PR_GIVEN_NAME);
}

std::string ItemImpl::LastName() {
    Require(outlook::olContact, "LastName");
    return Text(tags::PR_SURNAME);
}

std::string ItemImpl::CompanyName() {
    Require(outlook::olContact, "CompanyName");
    return Text(tags::PR_COMPANY_NAME);
}

int32_t ItemImpl::Status() {
    Require(outlook::olTask, "Status");
    auto v = NamedProp(PSETID_Task, kLidTaskStatus, mapi::PT_LONG);
    return v ? static_cast<int32_t>(v->integer) : 0;
}

int32_t ItemImpl::Color() {
    Require(outlook::olNote, "Color");
    auto v = NamedProp(PSETID_Note, kLidNoteColor, mapi::PT_LONG);
    return v ? static_cast<int32_t>(v->integer) : 0;
}

ObjectRef ItemImpl::MAPIOBJECT() {
    RequireExists();
    return std::make_shared<MAPIObjectImpl>(shared_from_this());
}

namespace {
ChangeObserver* gObserver = nullptr;

std::string ItemHex(StoreDb& store, int64_t id) { return ToHex(store.EntryId(StoreDb::kItemKind, id)); }
std::string FolderHex(StoreDb& store, int64_t id) { return ToHex(store.EntryId(StoreDb::kFolderKind, id)); }

// The item's side of a change before it happens; filled in afterwards, or reported as failed.
ItemChange Before(const char* operation, StoreDb& store, int64_t item) {
    ItemChange c;
    c.operation = operation;
    c.storeBefore = store.StoreIdHex();
    c.entryBefore = ItemHex(store, item);
    try {
        c.folderBefore = FolderHex(store, store.PlaceOf(item).folder);
    } catch (const AutomationError&) {
        // gone already: the change itself will say so
    }
    return c;
}

void TellFailure(ItemChange c, const AutomationError& e) {
    if (!gObserver) return;
    c.kind = ItemChange::Failed;
    c.errorNumber = e.Number();
    c.error = e.Description();
    gObserver->Changed(c);
}
}  // namespace

ChangeObserver* SetChangeObserver(ChangeObserver* observer) { return std::exchange(gObserver, observer); }

void TellCommitting(const std::string& storeId) {
    if (gObserver) gObserver->Committing(storeId);
}

std::shared_ptr<outlook::OutlookItem> ItemImpl::Move(outlook::MAPIFolder& destination) {
    auto& dest = AsFolder(destination, "Move");
    ItemChange change = gObserver ? Before("Move", *store_, id_) : ItemChange{};
    try {
        if (gObserver) {
            change.folderAfter = FolderHex(*dest.Store(), dest.Id());
            gObserver->Changing(change);
        }
        if (dest.Store() == store_) {
            store_->MoveItem(id_, dest.Id());
        } else if (store_->GetUpstream() || dest.Store()->GetUpstream()) {
            // Connected stores: a move between two sources has no one atomic step to record.
            RaiseError(errnum::kMapiNoSupport,
                       "items cannot be moved between a connected store and another store", "NubraStore");
        } else {
            int64_t newId = store_->MoveItemToStore(id_, *dest.Store(), dest.Id());
            store_ = dest.Store();
            id_ = newId;
        }
    } catch (const AutomationError& e) {
        TellFailure(std::move(change), e);
        throw;
    }
    if (gObserver) {
        change.kind = ItemChange::Moved;
        change.storeAfter = store_->StoreIdHex();
        change.entryAfter = ItemHex(*store_, id_);
        change.folderAfter = FolderHex(*store_, dest.Id());
        gObserver->Changed(change);
    }
    return shared_from_this();
}

void ItemImpl::Delete() {
    ItemChange change = gObserver ? Before("Delete", *store_, id_) : ItemChange{};
    try {
        if (gObserver) gObserver->Changing(change);
        store_->DeleteItem(id_);
    } catch (const AutomationError& e) {
        TellFailure(std::move(change), e);
        throw;
    }
    if (gObserver) {
        change.kind = ItemChange::Deleted;
        change.storeAfter = store_->StoreIdHex();
        if (store_->ItemExists(id_)) {
            change.entryAfter = change.entryBefore;
            change.folderAfter = FolderHex(*store_, store_->PlaceOf(id_).folder);
        }
        gObserver->Changed(change);
    }
}

std::string ItemImpl::EntryID() {
    RequireExists();
    return ToHex(store_->EntryId(StoreDb::kItemKind, id_));
}

// ---------------------------------------------------------------------------------------
// Folders

std::string FolderImpl::Name() { return store_->Folder(id_).name; }
std::string FolderImpl::StoreID() { return store_->StoreIdHex(); }
std::string FolderImpl::EntryID() { return ToHex(store_->EntryId(StoreDb::kFolderKind, id_)); }
int32_t FolderImpl::DefaultItemType() { return store_->Folder(id_).itemType; }

std::shared_ptr<outlook::Folders> FolderImpl::Folders() {
    return std::make_shared<FoldersImpl>(store_, id_);
}

std::shared_ptr<outlook::Items> FolderImpl::Items() { return std::make_shared<ItemsImpl>(store_, id_); }

Variant FolderImpl::DefaultValue() { return Variant(StoreID() + ":" + EntryID()); }

int32_t ItemsImpl::Count() { return static_cast<int32_t>(store_->ItemOrder(folder_).size()); }

outlook::ItemRef ItemsImpl::Item(int32_t index) {
    store_->KeepGroupCurrent();  // between two items of a scan: where a run's group may be committed
    const auto& order = store_->ItemOrder(folder_);
    if (index < 1 || static_cast<size_t>(index) > order.size()) RaiseError(errnum::kSubscriptOutOfRange);
    const int64_t id = order.At(static_cast<size_t>(index) - 1);
    // Items are mostly asked for in order: a scan walks the folder.
    store_->ReadAhead(folder_, static_cast<size_t>(index) - 1);
    if (gObserver) gObserver->Fetched(store_->StoreIdHex(), ItemHex(*store_, id));
    return std::make_shared<ItemImpl>(store_, id);
}

std::shared_ptr<outlook::MAPIFolder> ItemsImpl::Parent() {
    return std::make_shared<FolderImpl>(store_, folder_);
}

int32_t FoldersImpl::Count() { return static_cast<int32_t>(store_->Subfolders(parent_).size()); }

std::shared_ptr<outlook::MAPIFolder> FoldersImpl::Item(int32_t index) {
    auto ids = store_->Subfolders(parent_);
    if (index < 1 || static_cast<size_t>(index) > ids.size()) RaiseError(errnum::kSubscriptOutOfRange);
    return std::make_shared<FolderImpl>(store_, ids[static_cast<size_t>(index) - 1]);
}

std::shared_ptr<outlook::MAPIFolder> FoldersImpl::Item(const std::string& name) {
    auto id = store_->SubfolderByName(parent_, name);
    if (!id) RaiseError(errnum::kMapiNotFound, "the folder \"" + name + "\" was not found", kSource);
    return std::make_shared<FolderImpl>(store_, *id);
}

std::shared_ptr<outlook::MAPIFolder> FoldersImpl::Add(const std::string& name) {
    int32_t type = store_->Folder(parent_).itemType;
    return std::make_shared<FolderImpl>(store_, store_->CreateFolder(parent_, name, type));
}

int32_t TopFoldersImpl::Count() { return static_cast<int32_t>(profile_->StoreDbs().size()); }

std::shared_ptr<outlook::MAPIFolder> TopFoldersImpl::Item(int32_t index) {
    const auto& stores = profile_->StoreDbs();
    if (index < 1 || static_cast<size_t>(index) > stores.size()) RaiseError(errnum::kSubscriptOutOfRange);
    const auto& s = stores[static_cast<size_t>(index) - 1];
    return std::make_shared<FolderImpl>(s, s->RootFolder());
}

std::shared_ptr<outlook::MAPIFolder> TopFoldersImpl::Item(const std::string& name) {
    for (const auto& s : profile_->StoreDbs())
        if (s->Folder(s->RootFolder()).name == name) return std::make_shared<FolderImpl>(s, s->RootFolder());
    RaiseError(errnum::kMapiNotFound, "no store has the top-level folder \"" + name + "\"", kSource);
}

std::shared_ptr<outlook::MAPIFolder> TopFoldersImpl::Add(const std::string&) {
    RaiseError(errnum::kMapiNoSupport, "top-level folders are made by adding a store", kSource);
}

// ---------------------------------------------------------------------------------------
// Namespace

std::shared_ptr<outlook::Application> NameSpaceImpl::Application() { return app_; }

std::shared_ptr<outlook::Folders> NameSpaceImpl::Folders() {
    return std::make_shared<TopFoldersImpl>(profile_);
}

outlook::ItemRef NameSpaceImpl::GetItemFromID(const std::string& entryIdHex, const std::string& storeId) {
    auto bytes = ParseIdText(entryIdHex, "item");
    for (const auto& s : profile_->StoreDbs()) {
        if (!NamesStore(s->StoreIdHex(), storeId)) continue;
        auto id = s->ParseEntryId(bytes, StoreDb::kItemKind);
        if (id && s->Props(*id)) return std::make_shared<ItemImpl>(s, *id);
    }
    RaiseError(errnum::kMapiNotFound, "no item has the entry ID " + entryIdHex, kSource);
}

outlook::FolderRef NameSpaceImpl::GetFolderFromID(const std::string& entryIdHex, const std::string& storeId) {
    auto bytes = ParseIdText(entryIdHex, "folder");
    for (const auto& s : profile_->StoreDbs()) {
        if (!NamesStore(s->StoreIdHex(), storeId)) continue;
        auto id = s->ParseEntryId(bytes, StoreDb::kFolderKind);
        if (id && s->FolderExists(*id)) return std::make_shared<FolderImpl>(s, *id);
    }
    RaiseError(errnum::kMapiNotFound, "no folder has the entry ID " + entryIdHex, kSource);
}

}  // namespace nubra::store
