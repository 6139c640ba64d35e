#include "host/win/OutlookDispatch.h"

#include <optional>

namespace nubra::win {

namespace {

using namespace outlook;

// The explorer's events (ExplorerEvents_10) and its Close member.
constexpr IID kIidExplorerEvents = {0x0006300F, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr DISPID kDispidExplorerClose = 0xF008;
// A button's events (_CommandBarButtonEvents) and its Click member.
constexpr IID kIidButtonEvents = {0x000C0351, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr DISPID kDispidButtonClick = 1;

// Runs `call`; a failure numbered in `from` (or a Nothing result) becomes failure `to`, with
// `description` (else the client's own) and the client's source. Other failures pass as they
// are.
template <typename F>
Variant Converting(F&& call, std::initializer_list<int32_t> from, int32_t to, const std::string& description) {
    Variant result;
    try {
        result = call();
    } catch (const AutomationError& e) {
        for (int32_t n : from) {
            if (e.Number() == n) RaiseError(to, description.empty() ? e.Description() : description, e.Source());
        }
        throw;
    }
    if (result.IsNothing() || result.IsEmpty()) RaiseError(to, description);
    return result;
}

// The same object? (The platform's rule: the same IUnknown.)
bool SameObject(IDispatch* a, IDispatch* b) {
    if (!a || !b) return a == b;
    ComRef<IUnknown> ua, ub;
    a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ua.put()));
    b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ub.put()));
    return ua.get() == ub.get();
}

// Writes a Boolean through a by-reference argument; an argument passed by value is left alone.
void WriteBack(VARIANT* arg, bool value) {
    if (!arg) return;
    const VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
    if (V_VT(arg) == (VT_BYREF | VT_BOOL)) {
        *V_BOOLREF(arg) = b;
    } else if (V_VT(arg) == (VT_BYREF | VT_VARIANT)) {
        VARIANT* target = V_VARIANTREF(arg);
        VariantClear(target);
        V_VT(target) = VT_BOOL;
        V_BOOL(target) = b;
    }
}

class ItemAdapter final : public OutlookItem, public LateBound, public std::enable_shared_from_this<ItemAdapter> {
public:
    using LateBound::LateBound;
    int32_t Class() override { return object_.Get("Class").AsLong(); }
    std::string Subject() override { return object_.Get("Subject").AsString(); }
    Date CreationTime() override { return object_.Get("CreationTime").AsDate(); }
    std::string Location() override { return object_.Get("Location").AsString(); }
    std::string FirstName() override { return object_.Get("FirstName").AsString(); }
    std::string LastName() override { return object_.Get("LastName").AsString(); }
    std::string CompanyName() override { return object_.Get("CompanyName").AsString(); }
    int32_t Status() override { return object_.Get("Status").AsLong(); }
    int32_t Color() override { return object_.Get("Color").AsLong(); }
    // The MAPI message as the client gives it: an interface pointer (a ComObject), usually
    // without IDispatch; nullptr when the client gives Nothing.
    ObjectRef MAPIOBJECT() override { return object_.Get("MAPIOBJECT").AsObject(); }
    // Passes the destination's own object. The client returns the moved item (a new object):
    // this adapter stands for it from then on, as the contract wants. Raises 13 for a
    // destination that is no adapter over a client object.
    ItemRef Move(MAPIFolder& destination) override {
        auto* backed = dynamic_cast<ComBacked*>(&destination);
        if (!backed) RaiseError(errnum::kTypeMismatch);
        const ObjectRef folder = WrapObject(backed->AsDispatch().get());
        if (!folder) RaiseError(errnum::kObjectVariableNotSet);
        auto moved = DispatchOfValue(object_.Call("Move", {Variant(folder)}));
        if (moved) object_ = Dispatch(std::move(moved));
        return shared_from_this();
    }
    void Delete() override { object_.Call("Delete"); }
    std::string EntryID() override { return object_.Get("EntryID").AsString(); }
};

class ItemsAdapter final : public Items, public LateBound {
public:
    using LateBound::LateBound;
    int32_t Count() override { return object_.Get("Count").AsLong(); }
    ItemRef Item(int32_t index) override { return WrapValue<ItemAdapter>(object_.Call("Item", {index})); }
    std::shared_ptr<MAPIFolder> Parent() override;
};

class FoldersAdapter final : public Folders, public LateBound {
public:
    using LateBound::LateBound;
    int32_t Count() override { return object_.Get("Count").AsLong(); }
    std::shared_ptr<MAPIFolder> Item(int32_t index) override;
    // A client that answers a missing name with "out of range" (9) or Nothing is read as
    // MAPI_E_NOT_FOUND, the contract's answer.
    std::shared_ptr<MAPIFolder> Item(const std::string& name) override;
    std::shared_ptr<MAPIFolder> Add(const std::string& name) override;
};

class FolderAdapter final : public MAPIFolder, public LateBound {
public:
    using LateBound::LateBound;
    std::string Name() override { return object_.Get("Name").AsString(); }
    std::string StoreID() override { return object_.Get("StoreID").AsString(); }
    std::string EntryID() override { return object_.Get("EntryID").AsString(); }
    int32_t DefaultItemType() override { return object_.Get("DefaultItemType").AsLong(); }
    std::shared_ptr<outlook::Folders> Folders() override { return WrapValue<FoldersAdapter>(object_.Get("Folders")); }
    std::shared_ptr<outlook::Items> Items() override { return WrapValue<ItemsAdapter>(object_.Get("Items")); }
    // The default member (DISPID_VALUE), read as a late-bound read of the object does.
    Variant DefaultValue() override { return object_.Value(); }
};

std::shared_ptr<MAPIFolder> ItemsAdapter::Parent() { return WrapValue<FolderAdapter>(object_.Get("Parent")); }

std::shared_ptr<MAPIFolder> FoldersAdapter::Item(int32_t index) {
    return WrapValue<FolderAdapter>(object_.Call("Item", {index}));
}

std::shared_ptr<MAPIFolder> FoldersAdapter::Item(const std::string& name) {
    return WrapValue<FolderAdapter>(Converting([&] { return object_.Call("Item", {name}); },
                                               {errnum::kSubscriptOutOfRange}, errnum::kMapiNotFound,
                                               "No folder is named " + name));
}

std::shared_ptr<MAPIFolder> FoldersAdapter::Add(const std::string& name) {
    return WrapValue<FolderAdapter>(object_.Call("Add", {name}));
}

class NameSpaceAdapter final : public NameSpace, public LateBound {
public:
    using LateBound::LateBound;
    std::shared_ptr<outlook::Application> Application() override;
    std::shared_ptr<outlook::Folders> Folders() override { return WrapValue<FoldersAdapter>(object_.Get("Folders")); }
    // An empty StoreID leaves the client's argument out (the client then looks in every store).
    ItemRef GetItemFromID(const std::string& entryIdHex, const std::string& storeId) override {
        return WrapValue<ItemAdapter>(object_.CallOptional("GetItemFromID", {entryIdHex, Store(storeId)}));
    }
    FolderRef GetFolderFromID(const std::string& entryIdHex, const std::string& storeId) override {
        return WrapValue<FolderAdapter>(object_.CallOptional("GetFolderFromID", {entryIdHex, Store(storeId)}));
    }

private:
    static std::optional<Variant> Store(const std::string& storeId) {
        if (storeId.empty()) return std::nullopt;
        return Variant(storeId);
    }
};

class ControlAdapter final : public CommandBarControl,
                             public LateBound,
                             public std::enable_shared_from_this<ControlAdapter> {
public:
    using LateBound::LateBound;
    int32_t Type() override { return object_.Get("Type").AsLong(); }
    int32_t Id() override { return object_.Get("Id").AsLong(); }
    int32_t Index() override { return object_.Get("Index").AsLong(); }
    std::string Caption() override { return object_.Get("Caption").AsString(); }
    void SetCaption(const std::string& caption) override { object_.Put("Caption", caption); }
    std::string Tag() override { return object_.Get("Tag").AsString(); }
    void SetTag(const std::string& tag) override { object_.Put("Tag", tag); }
    std::string OnAction() override { return object_.Get("OnAction").AsString(); }
    void SetOnAction(const std::string& action) override { object_.Put("OnAction", action); }
    bool Temporary() override { return object_.Get("Temporary").AsBool(); }
    std::shared_ptr<CommandBarControls> Controls() override;
    // Subscribes to the button's events the first time it is asked for (raises what the
    // client raises when the control has none: a popup, say). The handlers get the clicked
    // control (this adapter when the client names this control) and the CancelDefault flag,
    // which is written back to the client.
    Event<CommandBarControl&, bool&>& Click() override {
        if (!clickSink_) {
            std::weak_ptr<ControlAdapter> weak = weak_from_this();
            clickSink_ = std::make_unique<EventSink>(
                object_.Object(), kIidButtonEvents,
                [weak](DISPID id, const DISPPARAMS& params) {
                    if (id != kDispidButtonClick) return;
                    // The adapter stays while its handlers run, even when one drops the last
                    // reference to it.
                    auto self = weak.lock();
                    if (!self) return;
                    Args args(params);
                    std::shared_ptr<ControlAdapter> clicked = self;
                    if (VARIANT* ctrl = args.Raw(0)) {
                        auto other = DispatchOfValue(FromVariant(*ctrl));
                        if (other && !SameObject(other.get(), self->object_.Object().get()))
                            clicked = std::make_shared<ControlAdapter>(std::move(other));
                    }
                    VARIANT* cancelArg = args.Raw(1);
                    bool cancel = cancelArg ? args[1].AsBool() : false;
                    self->click_.Raise(*clicked, cancel);
                    WriteBack(cancelArg, cancel);
                });
        }
        return click_;
    }

private:
    Event<CommandBarControl&, bool&> click_;
    std::unique_ptr<EventSink> clickSink_;  // after click_: the subscription ends first
};

class CommandBarControlsAdapter final : public CommandBarControls, public LateBound {
public:
    using LateBound::LateBound;
    int32_t Count() override { return object_.Get("Count").AsLong(); }
    std::shared_ptr<CommandBarControl> Item(int32_t index) override {
        return WrapValue<ControlAdapter>(object_.Call("Item", {index}));
    }
    // Add(Type, Id, Parameter, Before, Temporary) with Id and Parameter left out, and Before
    // too for 0 (at the end). A client that refuses the type or the position with an invalid
    // argument (E_INVALIDARG) or "out of range" is read as 5, the contract's answer.
    std::shared_ptr<CommandBarControl> Add(int32_t type, int32_t before, bool temporary) override {
        std::optional<Variant> where;
        if (before != 0) where = Variant(before);
        return WrapValue<ControlAdapter>(Converting(
            [&] { return object_.CallOptional("Add", {Variant(type), std::nullopt, std::nullopt, where, temporary}); },
            {errnum::kSubscriptOutOfRange, errnum::kMapiInvalidParameter}, errnum::kInvalidProcedureCall, {}));
    }
};

std::shared_ptr<CommandBarControls> ControlAdapter::Controls() {
    return WrapValue<CommandBarControlsAdapter>(object_.Get("Controls"));
}

class CommandBarAdapter final : public CommandBar, public LateBound {
public:
    using LateBound::LateBound;
    std::string Name() override { return object_.Get("Name").AsString(); }
    // FindControl(Type, Id, Tag, Visible, Recursive) with Recursive False: the bar's own
    // top-level controls only.
    std::shared_ptr<CommandBarControl> FindControlByTag(const std::string& tag) override {
        return Find(std::nullopt, Variant(tag));
    }
    std::shared_ptr<CommandBarControl> FindControlById(int32_t id) override { return Find(Variant(id), std::nullopt); }
    std::shared_ptr<CommandBarControls> Controls() override {
        return WrapValue<CommandBarControlsAdapter>(object_.Get("Controls"));
    }

private:
    std::shared_ptr<CommandBarControl> Find(std::optional<Variant> id, std::optional<Variant> tag) {
        return WrapValue<ControlAdapter>(
            object_.CallOptional("FindControl", {std::nullopt, std::move(id), std::move(tag), std::nullopt, false}));
    }
};

class CommandBarsAdapter final : public CommandBars, public LateBound {
public:
    using LateBound::LateBound;
    // A missing bar the client answers with an invalid argument (E_INVALIDARG), "out of
    // range" or Nothing is read as 5, the contract's answer.
    std::shared_ptr<CommandBar> Item(const std::string& name) override {
        return WrapValue<CommandBarAdapter>(Converting(
            [&] { return object_.Call("Item", {name}); },
            {errnum::kSubscriptOutOfRange, errnum::kMapiInvalidParameter}, errnum::kInvalidProcedureCall, {}));
    }
};

class ExplorerAdapter final : public Explorer, public LateBound, public std::enable_shared_from_this<ExplorerAdapter> {
public:
    using LateBound::LateBound;
    std::shared_ptr<outlook::CommandBars> CommandBars() override {
        return WrapValue<CommandBarsAdapter>(object_.Get("CommandBars"));
    }
    // Subscribes to the window's events the first time it is asked for; raises what the
    // client raises when it offers none.
    Event<>& Close() override {
        if (!closeSink_) {
            std::weak_ptr<ExplorerAdapter> weak = weak_from_this();
            closeSink_ = std::make_unique<EventSink>(object_.Object(), kIidExplorerEvents,
                                                     [weak](DISPID id, const DISPPARAMS&) {
                                                         if (id != kDispidExplorerClose) return;
                                                         // Held while the handlers run (see Click).
                                                         if (auto self = weak.lock()) self->close_.Raise();
                                                     });
        }
        return close_;
    }

private:
    Event<> close_;
    std::unique_ptr<EventSink> closeSink_;  // after close_: the subscription ends first
};

class WindowsAdapter final : public WindowCollection, public LateBound {
public:
    using LateBound::LateBound;
    int32_t Count() override { return object_.Get("Count").AsLong(); }
};

class ApplicationAdapter final : public outlook::Application, public LateBound {
public:
    using LateBound::LateBound;
    std::shared_ptr<Explorer> ActiveExplorer() override {
        return WrapValue<ExplorerAdapter>(object_.Call("ActiveExplorer"));
    }
    std::shared_ptr<WindowCollection> Explorers() override { return WrapValue<WindowsAdapter>(object_.Get("Explorers")); }
    std::shared_ptr<WindowCollection> Inspectors() override {
        return WrapValue<WindowsAdapter>(object_.Get("Inspectors"));
    }
    std::shared_ptr<NameSpace> GetNamespace(const std::string& type) override {
        return WrapValue<NameSpaceAdapter>(object_.Call("GetNamespace", {type}));
    }
    std::string Version() override { return object_.Get("Version").AsString(); }
};

std::shared_ptr<outlook::Application> NameSpaceAdapter::Application() {
    return WrapValue<ApplicationAdapter>(object_.Get("Application"));
}

class AddInInstAdapter final : public AddInInst, public LateBound {
public:
    using LateBound::LateBound;
    std::string ProgId() override { return object_.Get("ProgId").AsString(); }
};

}  // namespace

ComRef<IDispatch> DispatchOfValue(const Variant& value) {
    if (value.IsNothing() || value.IsEmpty()) return {};
    return DispatchOf(value.AsObject());
}

std::shared_ptr<outlook::Application> WrapApplication(IDispatch* application) {
    if (!application) return nullptr;
    return std::make_shared<ApplicationAdapter>(ComRef<IDispatch>(application));
}

ObjectRef WrapAddInInst(IDispatch* addInInst) {
    if (!addInInst) return nullptr;
    return std::make_shared<AddInInstAdapter>(ComRef<IDispatch>(addInInst));
}

}  // namespace nubra::win
