// Late binding on the platform: calling an object's members by name (the client side), making
// an object whose members are called by name (the server side), and events through connection
// points in both directions.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/win/Com.h"

namespace nubra::win {

// ---- Client side ----------------------------------------------------------------------------

// Calls the members of one object by name. Every call raises AutomationError when the object
// fails it (its number, text and source; see RaiseHr) and leaves the object as the object
// leaves it; 438 when the object has no member of that name.
class Dispatch {
public:
    Dispatch() = default;
    explicit Dispatch(ComRef<IDispatch> object) : object_(std::move(object)) {}
    // Raises 91 when `object` is Nothing or offers no IDispatch (13).
    explicit Dispatch(const Variant& object);

    explicit operator bool() const noexcept { return static_cast<bool>(object_); }
    const ComRef<IDispatch>& Object() const noexcept { return object_; }

    // A property read (or a method call where the member is a method).
    Variant Get(const char* name, const std::vector<Variant>& args = {});
    // A method call (or a property read where the member is a property).
    Variant Call(const char* name, const std::vector<Variant>& args = {});
    // A method call where some optional arguments are left out (std::nullopt): they go as
    // VT_ERROR DISP_E_PARAMNOTFOUND, so that the callee applies its own defaults.
    Variant CallOptional(const char* name, const std::vector<std::optional<Variant>>& args);
    // A property write; objects are set by reference.
    void Put(const char* name, const Variant& value);
    // The object's default member (DISPID_VALUE) read.
    Variant Value();
    // A member by number; `args` in their natural order.
    Variant Invoke(DISPID id, WORD flags, const std::vector<Variant>& args, const std::string& what);
    // The number of a member; raises 438 when there is none.
    DISPID IdOf(const char* name);

private:
    // `args` in their natural order; a null entry is an omitted argument.
    Variant InvokeWith(DISPID id, WORD flags, const std::vector<const Variant*>& args, const std::string& what);

    ComRef<IDispatch> object_;
    std::map<std::string, DISPID, std::less<>> ids_;
};

// ---- Server side ----------------------------------------------------------------------------

// The arguments of one call, in their natural order (the platform hands them reversed).
class Args {
public:
    explicit Args(const DISPPARAMS& params);
    std::size_t size() const noexcept { return count_; }
    // The argument at `i` as a Variant; raises 449-like 5 when it was not given and has no
    // default.
    Variant operator[](std::size_t i) const;
    // The argument at `i`, or `fallback` when it was omitted.
    Variant Or(std::size_t i, Variant fallback) const;
    // The raw argument (null when absent), for by-reference arguments.
    VARIANT* Raw(std::size_t i) const;

private:
    const DISPPARAMS& params_;
    std::size_t count_;
};

// An object whose members are called by name: a subclass registers its properties and methods
// in its constructor. The object counts its references and deletes itself at the last
// Release. A member that raises AutomationError fails the call with that number and text.
class DispatchServer : public IDispatch {
public:
    using Getter = std::function<Variant(const Args&)>;
    using Putter = std::function<void(const Variant&)>;
    using Method = std::function<Variant(const Args&)>;

    // The live objects of this module (a module may be unloaded only when none lives).
    static long LiveObjects();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT* argError) override;

    // The server object behind an interface pointer of this module, or null for anyone else's.
    static DispatchServer* From(IUnknown* unknown);
    // Wrapped as the system's object reference (the caller's new reference).
    ObjectRef AsObject() { return WrapObject(static_cast<IDispatch*>(this)); }

protected:
    DispatchServer();
    virtual ~DispatchServer();
    DispatchServer(const DispatchServer&) = delete;
    DispatchServer& operator=(const DispatchServer&) = delete;

    // Registers a property (get, optionally put) or a method under `name` (matched without
    // regard to case). `id` 0 gives the default member; -1 picks the next free number.
    void Property(const wchar_t* name, Getter get, Putter put = {}, DISPID id = -1);
    void Function(const wchar_t* name, Method call, DISPID id = -1);
    // Further interfaces the object answers for (events, connection points).
    virtual void* QueryOther(REFIID) { return nullptr; }

private:
    struct Member {
        Getter get;
        Putter put;
        Method call;
    };
    std::map<std::wstring, DISPID> ids_;
    std::map<DISPID, Member> members_;
    DISPID next_ = 1;
    std::atomic<long> refs_{1};
};

// A new server object of type T with one reference, owned by the caller.
template <typename T, typename... A>
ComRef<T> MakeServer(A&&... args) {
    return ComRef<T>::Adopt(new T(std::forward<A>(args)...));
}

// One outgoing event interface of a server object: the sinks that asked to be told, through
// IConnectionPoint. A server offering events answers IConnectionPointContainer with
// Container() from QueryOther.
class EventSource {
public:
    EventSource(IUnknown& owner, const IID& events);
    ~EventSource();
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // The container interface to hand out for IID_IConnectionPointContainer (AddRef'd).
    IConnectionPointContainer* Container();
    // Calls member `id` of every sink with `args` (natural order; by-reference arguments
    // are passed as given). Failures of a sink are ignored: one listener must not stop the
    // others.
    void Fire(DISPID id, std::vector<VARIANT> args);
    std::size_t Sinks() const;

private:
    class Point;
    Point* point_;
};

// A subscription to one event interface of an object: the handler gets every event member's
// number and arguments. Ends (Unadvise) when it goes.
class EventSink {
public:
    using Handler = std::function<void(DISPID id, const DISPPARAMS& params)>;
    // Raises what the object raises when it offers no such events (the failure code's number).
    EventSink(const ComRef<IDispatch>& source, const IID& events, Handler handler);
    ~EventSink();
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

private:
    class Listener;
    ComRef<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    Listener* listener_ = nullptr;
};

}  // namespace nubra::win
