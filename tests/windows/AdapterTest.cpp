// The adapters of host/win over objects that play the client and the MAPI library: what the
// end-to-end run over the test client does not reach. The client's answers the contracts
// convert (a missing folder, bar or position), optional arguments left out, CancelDefault
// written back through either by-reference form, an event handler that drops the last
// reference to its adapter, objects handed back as the client's own, and no reference or
// connection left behind.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"
#include "host/win/MapiDispatch.h"
#include "host/win/OutlookDispatch.h"

// <windows.h> renames these by macro; the test calls the system's own.
#undef RegisterClass
#undef UnregisterClass

using namespace nubra;
using namespace nubra::win;

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::printf("FAILED: %s\n", what.c_str());
}
#define CHECK(c) Check(static_cast<bool>(c), std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #c)

constexpr IID kExplorerEvents = {0x0006300F, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID kButtonEvents = {0x000C0351, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// "-" for an argument left out, else its text.
std::string Arg(const Args& a, std::size_t i) {
    VARIANT* v = a.Raw(i);
    if (!v || (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND)) return "-";
    return a[i].AsString();
}

DispatchServer* ServerOf(const Variant& v) { return DispatchServer::From(DispatchOf(v.AsObject()).get()); }
DispatchServer* ServerOf(const std::shared_ptr<Object>& adapter) {
    return DispatchServer::From(std::dynamic_pointer_cast<ComBacked>(adapter)->AsDispatch().get());
}

// An object with IUnknown only, as a MAPI message is.
struct Bare final : IUnknown {
    long refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --refs;
        if (!left) delete this;
        return static_cast<ULONG>(left);
    }
};

struct Fake : DispatchServer {
    using DispatchServer::Function;
    using DispatchServer::Property;
};

struct Item : Fake {
    Bare* message = new Bare;
    DispatchServer* movedTo = nullptr;
    Item() {
        Property(L"Subject", [](const Args&) { return Variant("one"); });
        Property(L"MAPIOBJECT", [this](const Args&) { return Variant(WrapObject(message)); });
        Function(L"Move", [this](const Args& a) {
            movedTo = ServerOf(a[0]);
            auto moved = MakeServer<Fake>();
            moved->Property(L"Subject", [](const Args&) { return Variant("one, moved"); });
            return Variant(moved->AsObject());
        });
    }
    ~Item() override { message->Release(); }
};

struct Items : Fake {
    ComRef<Item> item = MakeServer<Item>();
    Items() {
        Function(L"Item", [this](const Args& a) {
            if (a[0].AsLong() != 1) RaiseError(errnum::kSubscriptOutOfRange);
            return Variant(item->AsObject());
        });
    }
};

// How a client may answer Folders.Item for a name it does not have.
enum class Missing { NotFound, OutOfRange, Nothing };

struct Folder : Fake {
    ComRef<Items> items = MakeServer<Items>();
    explicit Folder(std::string name) {
        Property(L"Name", [name](const Args&) { return Variant(name); }, {}, DISPID_VALUE);
        Property(L"Items", [this](const Args&) { return Variant(items->AsObject()); });
    }
};

struct Folders : Fake {
    ComRef<Folder> inbox = MakeServer<Folder>("Inbox");
    Missing missing = Missing::NotFound;
    Folders() {
        Function(
            L"Item",
            [this](const Args& a) {
                if (a[0].AsString() == "Inbox") return Variant(inbox->AsObject());
                if (missing == Missing::Nothing) return Variant::Nothing();
                RaiseError(missing == Missing::NotFound ? errnum::kMapiNotFound : errnum::kSubscriptOutOfRange);
            },
            DISPID_VALUE);
    }
};

struct Controls;
struct Control : Fake {
    EventSource events{*static_cast<IDispatch*>(this), kButtonEvents};
    bool button;
    explicit Control(bool isButton) : button(isButton) {
        Property(L"Id", [](const Args&) { return Variant(int32_t(30010)); });
        if (!button) Property(L"Controls", [](const Args&) { return Variant(MakeServer<Fake>()->AsObject()); });
    }
    void* QueryOther(REFIID iid) override {
        return button && IsEqualIID(iid, IID_IConnectionPointContainer) ? events.Container() : nullptr;
    }
    // Click(Ctrl, ByRef CancelDefault) as the client raises it; the CancelDefault it gets back.
    bool Click(VARTYPE byRef) {
        VARIANT_BOOL flag = VARIANT_FALSE;
        VARIANT inner, ctrl, cancel;
        VariantInit(&inner);
        V_VT(&inner) = VT_BOOL;
        V_BOOL(&inner) = VARIANT_FALSE;
        VariantInit(&ctrl);
        V_VT(&ctrl) = VT_DISPATCH;
        V_DISPATCH(&ctrl) = this;
        VariantInit(&cancel);
        V_VT(&cancel) = VT_BYREF | byRef;
        if (byRef == VT_VARIANT) V_VARIANTREF(&cancel) = &inner;
        else V_BOOLREF(&cancel) = &flag;
        events.Fire(1, {ctrl, cancel});
        return (byRef == VT_VARIANT ? V_BOOL(&inner) : flag) != VARIANT_FALSE;
    }
};

// Logs the arguments of FindControl and Add; refuses an unknown type or position as the
// client does, with an invalid argument.
struct Bar : Fake {
    std::vector<std::string> log;
    ComRef<Control> anchor = MakeServer<Control>(false);
    ComRef<Control> button = MakeServer<Control>(true);
    Bar() {
        Function(L"FindControl", [this](const Args& a) {
            log.push_back("Find " + Arg(a, 0) + " " + Arg(a, 1) + " " + Arg(a, 2) + " " + Arg(a, 3) + " " + Arg(a, 4));
            return Arg(a, 1) == "30010" ? Variant(anchor->AsObject()) : Variant::Nothing();
        });
        Property(L"Controls", [this](const Args&) { return Variant(AsObject()); });
        Function(L"Add", [this](const Args& a) {
            log.push_back("Add " + Arg(a, 0) + " " + Arg(a, 1) + " " + Arg(a, 2) + " " + Arg(a, 3) + " " + Arg(a, 4));
            if (a[0].AsLong() != 1 || a.Or(3, Variant(int32_t(1))).AsLong() > 2)
                RaiseError(errnum::kMapiInvalidParameter, "The parameter is incorrect.");
            return Variant(button->AsObject());
        });
        Function(
            L"Item",
            [this](const Args& a) {
                if (a[0].AsString() != "Menu bar") RaiseError(errnum::kMapiInvalidParameter, "The parameter is incorrect.");
                return Variant(AsObject());
            },
            DISPID_VALUE);
    }
};

struct Explorer : Fake {
    EventSource events{*static_cast<IDispatch*>(this), kExplorerEvents};
    ComRef<Bar> bar = MakeServer<Bar>();
    Explorer() { Property(L"CommandBars", [this](const Args&) { return Variant(bar->AsObject()); }); }
    void* QueryOther(REFIID iid) override {
        return IsEqualIID(iid, IID_IConnectionPointContainer) ? events.Container() : nullptr;
    }
};

struct App : Fake {
    ComRef<Explorer> explorer = MakeServer<Explorer>();
    ComRef<Folders> folders = MakeServer<Folders>();
    std::vector<std::string> log;
    App() {
        Function(L"ActiveExplorer", [this](const Args&) { return Variant(explorer->AsObject()); });
        Function(L"GetNamespace", [this](const Args& a) {
            if (a[0].AsString() != "MAPI") RaiseError(errnum::kInvalidProcedureCall);
            return Variant(AsObject());  // the namespace's members live here too
        });
        Property(L"Folders", [this](const Args&) { return Variant(folders->AsObject()); });
        Function(L"GetItemFromID", [this](const Args& a) {
            log.push_back("GetItemFromID " + Arg(a, 0) + " " + Arg(a, 1));
            return Variant(folders->inbox->items->item->AsObject());
        });
    }
};

// The library: logs how objects arrive.
struct Library : Fake {
    std::vector<std::string> log;
    Library() {
        Function(L"GetOneProperty", [this](const Args& a) {
            log.push_back(V_VT(a.Raw(0)) == VT_UNKNOWN ? "unknown" : "dispatch");
            return Variant();
        });
        Function(L"Cleanup", [](const Args&) -> Variant { RaiseError(errnum::kMapiCallFailed, "cleanup failed"); });
        Property(L"Item", {}, [this](const Variant& v) { received = ServerOf(v); });
    }
    DispatchServer* received = nullptr;
};

void Run() {
    auto fake = MakeServer<App>();
    auto app = WrapApplication(fake.get());
    auto ns = app->GetNamespace("MAPI");
    auto folders = ns->Folders();
    auto inbox = folders->Item("Inbox");
    auto items = inbox->Items();
    auto item = items->Item(1);
    auto bar = app->ActiveExplorer()->CommandBars()->Item("Menu bar");
    auto controls = bar->Controls();
    auto popup = bar->FindControlById(30010);

    struct Failure {
        const char* what;
        int32_t number;
        std::function<void()> call;
    };
    const Failure cases[] = {
        {"a member the object lacks", errnum::kMemberNotSupported, [&] { item->Location(); }},
        {"an item past the end", errnum::kSubscriptOutOfRange, [&] { items->Item(2); }},
        {"a namespace other than MAPI", errnum::kInvalidProcedureCall, [&] { app->GetNamespace("X"); }},
        {"a missing folder, client says not found", errnum::kMapiNotFound, [&] { folders->Item("X"); }},
        {"a missing folder, client says out of range", errnum::kMapiNotFound,
         [&] {
             fake->folders->missing = Missing::OutOfRange;
             folders->Item("X");
         }},
        {"a missing folder, client gives Nothing", errnum::kMapiNotFound,
         [&] {
             fake->folders->missing = Missing::Nothing;
             folders->Item("X");
         }},
        {"a missing bar", errnum::kInvalidProcedureCall, [&] { app->ActiveExplorer()->CommandBars()->Item("X"); }},
        {"a control of an unknown type", errnum::kInvalidProcedureCall, [&] { controls->Add(7, 0, true); }},
        {"a control past the end", errnum::kInvalidProcedureCall, [&] { controls->Add(1, 9, true); }},
        {"the controls of a button", errnum::kMemberNotSupported, [&] { controls->Add(1, 0, true)->Controls(); }},
        {"the click of a popup", errnum::kMemberNotSupported, [&] { (void)popup->Click(); }},
        {"a class nobody registered", errnum::kCannotCreateObject, [] { CreateObject("No.Such.Class"); }},
    };
    for (const auto& f : cases) {
        try {
            f.call();
            Check(false, std::string(f.what) + ": no error");
        } catch (const AutomationError& e) {
            Check(e.Number() == f.number, std::string(f.what) + ": error " + std::to_string(e.Number()) + " (" +
                                              e.Description() + "), want " + std::to_string(f.number));
        }
    }

    // Optional arguments left out: FindControl's Type and Visible, Add's Id and Parameter (and
    // Before for 0); Recursive False. An empty StoreID leaves the store out.
    fake->explorer->bar->log.clear();
    CHECK(!bar->FindControlByTag("mnuNubrapopup"));
    bar->FindControlById(30010);
    controls->Add(1, 0, true);
    controls->Add(1, 2, false);
    CHECK((fake->explorer->bar->log == std::vector<std::string>{"Find - - mnuNubrapopup - False", "Find - 30010 - - False",
                                                      "Add 1 - - - True", "Add 1 - - 2 False"}));
    ns->GetItemFromID("00AB", "");
    ns->GetItemFromID("00AB", "5707");
    CHECK((fake->log == std::vector<std::string>{"GetItemFromID 00AB -", "GetItemFromID 00AB 5707"}));

    // Objects handed back go as the client's own: the Move destination, the table's items,
    // the MAPIOBJECT (no IDispatch) and the item.
    auto library = MakeServer<Library>();
    auto utils = std::dynamic_pointer_cast<mapi::MAPIUtils>(
        WrapLibraryObject("qoMoreUtils.qoMAPIUtils", ComRef<IDispatch>(library.get())));
    auto table = std::dynamic_pointer_cast<mapi::MAPITable>(
        WrapLibraryObject("QOMOREUTILS.qoMAPITable", ComRef<IDispatch>(library.get())));
    auto safe = std::dynamic_pointer_cast<mapi::SafeItem>(
        WrapLibraryObject("qoMoreUtils.qoSafetaskItem", ComRef<IDispatch>(library.get())));
    CHECK(utils && table && safe && !WrapLibraryObject("Other.Class", ComRef<IDispatch>(library.get())));
    CHECK(utils->GetOneProperty(item->MAPIOBJECT(), mapi::PR_SUBJECT).IsEmpty());
    utils->GetOneProperty(item, mapi::PR_SUBJECT);
    CHECK((library->log == std::vector<std::string>{"unknown", "dispatch"}));
    utils->Cleanup();  // never fails
    table->SetItem(items);
    CHECK(library->received == static_cast<DispatchServer*>(fake->folders->inbox->items.get()));
    safe->SetItem(item);
    CHECK(library->received == static_cast<DispatchServer*>(fake->folders->inbox->items->item.get()));
    auto moved = item->Move(*inbox);
    CHECK(fake->folders->inbox->items->item->movedTo == ServerOf(inbox));
    CHECK(moved == item && item->Subject() == "one, moved");

    // Click: every subscriber runs, CancelDefault goes back through either form, and the
    // connection ends with the adapter.
    {
        auto button = controls->Add(1, 0, true);
        Control& client = *fake->explorer->bar->button.get();
        int seen = 0;
        auto first = button->Click().Subscribe([&](outlook::CommandBarControl& c, bool& cancel) {
            seen += &c == button.get();
            cancel = true;
        });
        auto second = button->Click().Subscribe([&](outlook::CommandBarControl&, bool& cancel) { seen += cancel; });
        CHECK(client.events.Sinks() == 1);
        CHECK(client.Click(VT_BOOL) && client.Click(VT_VARIANT) && seen == 4);
        first.reset();
        CHECK(!client.Click(VT_BOOL) && seen == 4);
        second.reset();
        button.reset();
        CHECK(client.events.Sinks() == 0);
    }

    // Close: a handler may drop the last reference to the explorer adapter while it runs.
    {
        auto explorer = app->ActiveExplorer();
        int closes = 0;
        std::unique_ptr<Subscription> subscription;
        subscription = explorer->Close().Subscribe([&] {
            ++closes;
            subscription.reset();
            explorer.reset();
        });
        fake->explorer->events.Fire(0xF007, {});
        CHECK(closes == 0 && fake->explorer->events.Sinks() == 1);
        fake->explorer->events.Fire(0xF008, {});
        CHECK(closes == 1 && fake->explorer->events.Sinks() == 0);
    }

    // A handler that ends its own subscription keeps what it holds until it returns.
    {
        auto source = MakeServer<Explorer>();
        bool running = false, releasedWhileRunning = false;
        struct Probe {
            bool& running;
            bool& released;
            ~Probe() { released = released || running; }
        };
        std::shared_ptr<Probe> probe(new Probe{running, releasedWhileRunning});
        std::unique_ptr<EventSink> sink;
        sink = std::make_unique<EventSink>(ComRef<IDispatch>(source.get()), kExplorerEvents,
                                           [probe, &sink, &running](DISPID, const DISPPARAMS&) {
                                               running = true;
                                               sink.reset();
                                               running = false;
                                           });
        probe.reset();
        source->events.Fire(0xF008, {});
        CHECK(!sink && !releasedWhileRunning && source->events.Sinks() == 0);
    }

    // Classes registered in-process come before the platform's.
    CHECK(std::dynamic_pointer_cast<ComObject>(CreateObject("Scripting.Dictionary")));
    RegisterClass("scripting.dictionary", [] { return std::make_shared<Object>(); });
    CHECK(!std::dynamic_pointer_cast<ComObject>(CreateObject("Scripting.Dictionary")));
    UnregisterClass("Scripting.Dictionary");
}

}  // namespace

int main() {
    {
        ComApartment apartment;
        Run();
        CHECK(DispatchServer::LiveObjects() == 0);
    }
    std::printf(failures ? "%d check(s) failed\n" : "all checks passed\n", failures);
    return failures ? 1 : 0;
}
