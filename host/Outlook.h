// What the system requires of the desktop mail client's object model and command bars.
//
// Every member may fail: it then raises AutomationError with the client's number (the client's
// own status codes are negative, run-time errors small positive numbers) and, unless a member
// says otherwise, leaves the object and the store exactly as they were before the call.
// Objects are shared references, as the client hands them out; holding one keeps it usable,
// releasing the last one lets it go.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/Automation.h"
#include "host/Events.h"

namespace nubra::outlook {

class Application;
class CommandBarControl;
class CommandBars;
class Explorer;
class Items;
class MAPIFolder;
class NameSpace;

// OlObjectClass values the system distinguishes.
enum OlObjectClass : int32_t {
    olAppointment = 26,
    olContact = 40,
    olActivity = 42,
    olMail = 43,
    olNote = 44,
    olPost = 45,
    olTask = 48,
    olDistributionList = 69,
};

// OlItemType values of a folder's DefaultItemType.
enum OlItemType : int32_t {
    olMailItem = 0,
    olAppointmentItem = 1,
    olContactItem = 2,
    olTaskItem = 3,
    olJournalItem = 4,
    olNoteItem = 5,
    olPostItem = 6,
    olDistributionListItem = 7,
};

// An item of any kind, reached by name at run time. A member the item's kind lacks raises 438
// (Object doesn't support this property or method).
class OutlookItem : public Object {
public:
    // The OlObjectClass of the item.
    virtual int32_t Class() = 0;
    // Subject text; for a note the first line of its body.
    virtual std::string Subject() = 0;
    // When the item was created, in local time.
    virtual Date CreationTime() = 0;
    // Appointment location.
    virtual std::string Location() = 0;
    // Contact name parts and company.
    virtual std::string FirstName() = 0;
    virtual std::string LastName() = 0;
    virtual std::string CompanyName() = 0;
    // Task status (0 not started, 1 in progress, 2 complete, 3 waiting, 4 deferred).
    virtual int32_t Status() = 0;
    // Note colour number.
    virtual int32_t Color() = 0;
    // The underlying MAPI message, for the MAPI utility library.
    virtual ObjectRef MAPIOBJECT() = 0;
    // Moves the item into `destination` and returns it as it is there. After a failure the
    // item is still in its folder, unchanged. After success this reference stands for the
    // moved item.
    virtual std::shared_ptr<OutlookItem> Move(MAPIFolder& destination) = 0;
    // Deletes the item (the client moves it to the store's deleted-items folder, or removes
    // it for good when it is there already). After a failure the item is unchanged.
    virtual void Delete() = 0;
    // Hex text of the item's entry ID.
    virtual std::string EntryID() = 0;
};
using ItemRef = std::shared_ptr<OutlookItem>;

// The items of one folder, in folder order.
class Items : public Object {
public:
    // Current number of items.
    virtual int32_t Count() = 0;
    // The item at a 1-based position; raises 9 (Subscript out of range) outside 1..Count.
    virtual ItemRef Item(int32_t index) = 0;
    // The folder these items belong to.
    virtual std::shared_ptr<MAPIFolder> Parent() = 0;
};

// The subfolders of a folder, or the top-level folders of a namespace (one per store).
class Folders : public Object {
public:
    virtual int32_t Count() = 0;
    // By 1-based position; raises 9 outside 1..Count.
    virtual std::shared_ptr<MAPIFolder> Item(int32_t index) = 0;
    // By exact name; raises MAPI_E_NOT_FOUND when no folder has that name.
    virtual std::shared_ptr<MAPIFolder> Item(const std::string& name) = 0;
    // Creates a subfolder of the parent's kind and returns it. Raises MAPI_E_COLLISION when
    // a subfolder of that name exists, and MAPI_E_NO_SUPPORT on the namespace's collection.
    // After a failure no folder was created.
    virtual std::shared_ptr<MAPIFolder> Add(const std::string& name) = 0;
};

class MAPIFolder : public Object {
public:
    virtual std::string Name() = 0;
    // Hex text of the folder's store.
    virtual std::string StoreID() = 0;
    // Hex text of the folder's entry ID.
    virtual std::string EntryID() = 0;
    // OlItemType of the items the folder is meant for (0 to 7).
    virtual int32_t DefaultItemType() = 0;
    virtual std::shared_ptr<outlook::Folders> Folders() = 0;
    virtual std::shared_ptr<outlook::Items> Items() = 0;
    // The value a late-bound read of the folder object itself returns. Two references give
    // equal values exactly when they stand for the same folder of the same store.
    virtual Variant DefaultValue() = 0;
};
using FolderRef = std::shared_ptr<MAPIFolder>;

class NameSpace : public Object {
public:
    virtual std::shared_ptr<outlook::Application> Application() = 0;
    // The top-level folder of every open store, in the client's order.
    virtual std::shared_ptr<outlook::Folders> Folders() = 0;
    // The item with the given hex entry ID in the store with the given StoreID (an empty
    // StoreID searches every open store). Raises MAPI_E_NOT_FOUND when there is none and
    // MAPI_E_INVALID_PARAMETER for text that is no entry ID.
    virtual ItemRef GetItemFromID(const std::string& entryIdHex, const std::string& storeId) = 0;
    // The folder with the given hex entry ID in the given store; raises like GetItemFromID.
    virtual FolderRef GetFolderFromID(const std::string& entryIdHex, const std::string& storeId) = 0;
};

// A control on a command bar: popup (type 10) or button (type 1).
class CommandBarControls;
class CommandBarControl : public Object {
public:
    enum Type : int32_t { msoControlButton = 1, msoControlPopup = 10 };
    virtual int32_t Type() = 0;
    virtual int32_t Id() = 0;
    // 1-based position among its bar's or popup's controls.
    virtual int32_t Index() = 0;
    virtual std::string Caption() = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual std::string Tag() = 0;
    virtual void SetTag(const std::string& tag) = 0;
    virtual std::string OnAction() = 0;
    virtual void SetOnAction(const std::string& action) = 0;
    virtual bool Temporary() = 0;
    // The popup's own controls; raises 438 on a button.
    virtual std::shared_ptr<CommandBarControls> Controls() = 0;
    // Raised when a button is clicked: the button and the CancelDefault flag.
    virtual Event<CommandBarControl&, bool&>& Click() = 0;
};

class CommandBarControls : public Object {
public:
    virtual int32_t Count() = 0;
    virtual std::shared_ptr<CommandBarControl> Item(int32_t index) = 0;
    // Adds a control of the given type before the 1-based position `before` (0: at the end).
    // Temporary controls vanish when the client ends. Raises 5 for an unknown type or a
    // position outside the bar; nothing is added then.
    virtual std::shared_ptr<CommandBarControl> Add(int32_t type, int32_t before, bool temporary) = 0;
};

class CommandBar : public Object {
public:
    virtual std::string Name() = 0;
    // The first of the bar's own top-level controls with this tag, or nullptr.
    virtual std::shared_ptr<CommandBarControl> FindControlByTag(const std::string& tag) = 0;
    // The first of the bar's own top-level controls with this id, or nullptr.
    virtual std::shared_ptr<CommandBarControl> FindControlById(int32_t id) = 0;
    virtual std::shared_ptr<CommandBarControls> Controls() = 0;
};

class CommandBars : public Object {
public:
    // The bar with this name; raises 5 when there is none.
    virtual std::shared_ptr<CommandBar> Item(const std::string& name) = 0;
};

class Explorer : public Object {
public:
    virtual std::shared_ptr<outlook::CommandBars> CommandBars() = 0;
    // Raised when the window closes; while it runs the window still counts in Explorers.
    virtual Event<>& Close() = 0;
};

class WindowCollection : public Object {
public:
    virtual int32_t Count() = 0;
};

class Application : public Object {
public:
    // The active explorer window, or nullptr when none is open.
    virtual std::shared_ptr<Explorer> ActiveExplorer() = 0;
    virtual std::shared_ptr<WindowCollection> Explorers() = 0;
    virtual std::shared_ptr<WindowCollection> Inspectors() = 0;
    // The namespace over every open store; raises 5 for any type but "MAPI".
    virtual std::shared_ptr<NameSpace> GetNamespace(const std::string& type) = 0;
    // Version text such as "14.0.0.4760".
    virtual std::string Version() = 0;
};

// What the client tells an add-in about its own loading.
class AddInInst : public Object {
public:
    // The ProgID the add-in was loaded under.
    virtual std::string ProgId() = 0;
};

}  // namespace nubra::outlook
