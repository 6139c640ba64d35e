// The object-model classes of the store (internal): folders, folder collections, items, the
// items' MAPI objects and the namespace. Each is a light handle (store + row id); every member
// reads through the store's caches (one per store connection, updated by every change made
// through it), so two handles of one item, and the MAPI library's view, never disagree.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/Outlook.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::store {

class Profile;

class ItemImpl : public outlook::OutlookItem, public std::enable_shared_from_this<ItemImpl> {
public:
    ItemImpl(std::shared_ptr<StoreDb> store, int64_t id) : store_(std::move(store)), id_(id) {}

    int32_t Class() override;
    std::string Subject() override;
    Date CreationTime() override;
    std::string Location() override;
    std::string FirstName() override;
    std::string LastName() override;
    std::string CompanyName() override;
    int32_t Status() override;
    int32_t Color() override;
    ObjectRef MAPIOBJECT() override;
    std::shared_ptr<OutlookItem> Move(outlook::MAPIFolder& destination) override;
    void Delete() override;
    std::string EntryID() override;

    const std::shared_ptr<StoreDb>& Store() const { return store_; }
    int64_t Id() const { return id_; }
    // The property's value, nullopt when the item lacks it. Raises kMapiNotFound for an item
    // deleted for good.
    std::optional<PropValue> Prop(uint32_t tag);
    std::optional<PropValue> NamedProp(const char* guid, uint16_t lid, uint32_t type);
    std::string Text(uint32_t tag);
    std::string NamedText(const char* guid, uint16_t lid);

private:
    void Require(int32_t kind, const char* member);
    void RequireExists();  // raises kMapiNotFound for an item deleted for good
    std::shared_ptr<StoreDb> store_;
    int64_t id_;
    std::optional<int32_t> class_;
};

// What MAPIOBJECT gives: the item's underlying message, for the MAPI library.
class MAPIObjectImpl : public Object {
public:
    explicit MAPIObjectImpl(std::shared_ptr<ItemImpl> item) : item_(std::move(item)) {}
    const std::shared_ptr<ItemImpl>& Item() const { return item_; }

private:
    std::shared_ptr<ItemImpl> item_;
};

class FolderImpl : public outlook::MAPIFolder, public std::enable_shared_from_this<FolderImpl> {
public:
    FolderImpl(std::shared_ptr<StoreDb> store, int64_t id) : store_(std::move(store)), id_(id) {}
    std::string Name() override;
    std::string StoreID() override;
    std::string EntryID() override;
    int32_t DefaultItemType() override;
    std::shared_ptr<outlook::Folders> Folders() override;
    std::shared_ptr<outlook::Items> Items() override;
    // "<store id>:<entry id>", both hex.
    Variant DefaultValue() override;

    const std::shared_ptr<StoreDb>& Store() const { return store_; }
    int64_t Id() const { return id_; }

private:
    std::shared_ptr<StoreDb> store_;
    int64_t id_;
};

class ItemsImpl : public outlook::Items {
public:
    ItemsImpl(std::shared_ptr<StoreDb> store, int64_t folder) : store_(std::move(store)), folder_(folder) {}
    int32_t Count() override;
    outlook::ItemRef Item(int32_t index) override;
    std::shared_ptr<outlook::MAPIFolder> Parent() override;

    const std::shared_ptr<StoreDb>& Store() const { return store_; }
    int64_t Folder() const { return folder_; }

private:
    std::shared_ptr<StoreDb> store_;
    int64_t folder_;
};

class FoldersImpl : public outlook::Folders {
public:
    FoldersImpl(std::shared_ptr<StoreDb> store, int64_t parent) : store_(std::move(store)), parent_(parent) {}
    int32_t Count() override;
    std::shared_ptr<outlook::MAPIFolder> Item(int32_t index) override;
    std::shared_ptr<outlook::MAPIFolder> Item(const std::string& name) override;
    std::shared_ptr<outlook::MAPIFolder> Add(const std::string& name) override;

private:
    std::shared_ptr<StoreDb> store_;
    int64_t parent_;
};

// The namespace's Folders: the top-level folder of every store, in profile order.
class TopFoldersImpl : public outlook::Folders {
public:
    explicit TopFoldersImpl(std::shared_ptr<Profile> profile) : profile_(std::move(profile)) {}
    int32_t Count() override;
    std::shared_ptr<outlook::MAPIFolder> Item(int32_t index) override;
    std::shared_ptr<outlook::MAPIFolder> Item(const std::string& name) override;
    std::shared_ptr<outlook::MAPIFolder> Add(const std::string& name) override;

private:
    std::shared_ptr<Profile> profile_;
};

class NameSpaceImpl : public outlook::NameSpace {
public:
    // The namespace keeps its application (and so the profile) alive.
    NameSpaceImpl(std::shared_ptr<Profile> profile, std::shared_ptr<outlook::Application> app)
        : profile_(std::move(profile)), app_(std::move(app)) {}
    std::shared_ptr<outlook::Application> Application() override;
    std::shared_ptr<outlook::Folders> Folders() override;
    outlook::ItemRef GetItemFromID(const std::string& entryIdHex, const std::string& storeId) override;
    outlook::FolderRef GetFolderFromID(const std::string& entryIdHex, const std::string& storeId) override;

private:
    std::shared_ptr<Profile> profile_;
    std::shared_ptr<outlook::Application> app_;
};

// The store's own object behind an object-model reference; raise kMapiInvalidParameter
// (naming `what`) for an object that is not the store's.
ItemImpl& AsItem(outlook::OutlookItem& item, const char* what);
FolderImpl& AsFolder(outlook::MAPIFolder& folder, const char* what);

}  // namespace nubra::store
