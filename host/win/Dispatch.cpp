#include "host/win/Dispatch.h"

#include <cwctype>

namespace nubra::win {

namespace {

// Asked of an interface pointer to find out whether this module made it; answered with the
// server object itself, without a reference.
constexpr GUID kIidServerSelf = {0x7c1e5a90, 0x3b2d, 0x4f61, {0x9e, 0x47, 0x2a, 0x8d, 0x51, 0xc3, 0x06, 0xbf}};

std::atomic<long> gLiveServers{0};

std::wstring Folded(const wchar_t* name) {
    std::wstring s(name ? name : L"");
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

}  // namespace

// ---- Client side ----------------------------------------------------------------------------

Dispatch::Dispatch(const Variant& object) {
    if (object.IsNothing() || object.IsEmpty()) RaiseError(errnum::kObjectVariableNotSet);
    object_ = DispatchOf(object.AsObject());
    if (!object_) RaiseError(errnum::kObjectVariableNotSet);
}

DISPID Dispatch::IdOf(const char* name) {
    if (auto it = ids_.find(name); it != ids_.end()) return it->second;
    if (!object_) RaiseError(errnum::kObjectVariableNotSet);
    std::wstring wide = Wide(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) RaiseError(errnum::kMemberNotSupported);
    ids_.emplace(name, id);
    return id;
}

Variant Dispatch::Invoke(DISPID id, WORD flags, const std::vector<Variant>& args, const std::string& what) {
    std::vector<const Variant*> given;
    given.reserve(args.size());
    for (const auto& a : args) given.push_back(&a);
    return InvokeWith(id, flags, given, what);
}

Variant Dispatch::CallOptional(const char* name, const std::vector<std::optional<Variant>>& args) {
    std::vector<const Variant*> given;
    given.reserve(args.size());
    for (const auto& a : args) given.push_back(a ? &*a : nullptr);
    return InvokeWith(IdOf(name), DISPATCH_METHOD | DISPATCH_PROPERTYGET, given, name);
}

Variant Dispatch::InvokeWith(DISPID id, WORD flags, const std::vector<const Variant*>& args, const std::string& what) {
    if (!object_) RaiseError(errnum::kObjectVariableNotSet);
    // The platform takes the arguments last first.
    std::vector<VARIANT> reversed(args.size());
    for (auto& v : reversed) VariantInit(&v);
    struct Clear {
        std::vector<VARIANT>& v;
        ~Clear() {
            for (auto& x : v) VariantClear(&x);
        }
    } clear{reversed};
    for (std::size_t i = 0; i < args.size(); ++i) {
        VARIANT* slot = &reversed[args.size() - 1 - i];
        if (args[i]) {
            ToVariant(*args[i], slot);
        } else {
            V_VT(slot) = VT_ERROR;
            V_ERROR(slot) = DISP_E_PARAMNOTFOUND;
        }
    }

    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    ComVariant result;
    EXCEPINFO info{};
    UINT argError = 0;
    const HRESULT hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.get(), &info, &argError);
    if (FAILED(hr)) RaiseHr(hr, what, &info);
    return FromVariant(*result);
}

Variant Dispatch::Get(const char* name, const std::vector<Variant>& args) {
    return Invoke(IdOf(name), DISPATCH_PROPERTYGET | DISPATCH_METHOD, args, name);
}

Variant Dispatch::Call(const char* name, const std::vector<Variant>& args) {
    return Invoke(IdOf(name), DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, name);
}

void Dispatch::Put(const char* name, const Variant& value) {
    const WORD flags = value.type() == Variant::Type::Object ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
    const DISPID id = IdOf(name);
    try {
        Invoke(id, flags, {value}, name);
    } catch (const AutomationError& e) {
        // An object property that takes its value by plain assignment only.
        if (flags != DISPATCH_PROPERTYPUTREF || e.Number() != errnum::kMemberNotSupported) throw;
        Invoke(id, DISPATCH_PROPERTYPUT, {value}, name);
    }
}

Variant Dispatch::Value() { return Invoke(DISPID_VALUE, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, "(default)"); }

// ---- Server side ----------------------------------------------------------------------------

Args::Args(const DISPPARAMS& params) : params_(params), count_(params.cArgs - params.cNamedArgs) {}

VARIANT* Args::Raw(std::size_t i) const {
    if (i >= count_) return nullptr;
    return &params_.rgvarg[params_.cArgs - 1 - i];
}

Variant Args::operator[](std::size_t i) const {
    VARIANT* raw = Raw(i);
    if (!raw || (V_VT(raw) == VT_ERROR && V_ERROR(raw) == DISP_E_PARAMNOTFOUND))
        RaiseError(errnum::kInvalidProcedureCall, "Argument not optional");
    return FromVariant(*raw);
}

Variant Args::Or(std::size_t i, Variant fallback) const {
    VARIANT* raw = Raw(i);
    if (!raw || (V_VT(raw) == VT_ERROR && V_ERROR(raw) == DISP_E_PARAMNOTFOUND)) return fallback;
    return FromVariant(*raw);
}

long DispatchServer::LiveObjects() { return gLiveServers.load(); }

DispatchServer::DispatchServer() { ++gLiveServers; }
DispatchServer::~DispatchServer() { --gLiveServers; }

DispatchServer* DispatchServer::From(IUnknown* unknown) {
    void* self = nullptr;
    if (!unknown || FAILED(unknown->QueryInterface(kIidServerSelf, &self))) return nullptr;
    return static_cast<DispatchServer*>(self);
}

HRESULT DispatchServer::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, kIidServerSelf)) {
        *out = this;
        return S_OK;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
        *out = static_cast<IDispatch*>(this);
    } else if (void* other = QueryOther(iid)) {
        *out = other;  // QueryOther's interface, already counted
        return S_OK;
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG DispatchServer::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG DispatchServer::Release() {
    const long left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT DispatchServer::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT DispatchServer::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

HRESULT DispatchServer::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (i > 0) {
            hr = DISP_E_UNKNOWNNAME;  // named arguments are not supported
            continue;
        }
        auto it = ids_.find(Folded(names[i]));
        if (it == ids_.end()) hr = DISP_E_UNKNOWNNAME;
        else ids[i] = it->second;
    }
    return hr;
}

HRESULT DispatchServer::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* info, UINT* argError) {
    if (argError) *argError = 0;
    auto it = members_.find(id);
    if (it == members_.end()) return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const DISPPARAMS& p = params ? *params : none;
    // Hold the object while its member runs: the member may drop the caller's last reference.
    AddRef();
    struct Hold {
        DispatchServer* s;
        ~Hold() { s->Release(); }
    } hold{this};
    try {
        const Member& m = it->second;
        Variant value;
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            if (!m.put) return DISP_E_MEMBERNOTFOUND;
            if (p.cArgs < 1) return DISP_E_BADPARAMCOUNT;
            m.put(FromVariant(p.rgvarg[0]));
            return S_OK;
        }
        Args args(p);
        if ((flags & DISPATCH_METHOD) && m.call) value = m.call(args);
        else if ((flags & DISPATCH_PROPERTYGET) && m.get) value = m.get(args);
        else if (m.call) value = m.call(args);
        else return DISP_E_MEMBERNOTFOUND;
        if (result) ToVariant(value, result);
        return S_OK;
    } catch (const AutomationError& e) {
        return ReportError(e, info);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        return ReportError(AutomationError(errnum::kMapiCallFailed, e.what()), info);
    }
}

void DispatchServer::Property(const wchar_t* name, Getter get, Putter put, DISPID id) {
    if (id == -1) id = next_++;
    ids_[Folded(name)] = id;
    members_[id] = Member{std::move(get), std::move(put), {}};
}

void DispatchServer::Function(const wchar_t* name, Method call, DISPID id) {
    if (id == -1) id = next_++;
    ids_[Folded(name)] = id;
    members_[id] = Member{{}, {}, std::move(call)};
}

// ---- Events -----------------------------------------------------------------------------------

class EventSource::Point : public IConnectionPoint, public IConnectionPointContainer {
public:
    Point(IUnknown& owner, const IID& events) : owner_(owner), events_(events) {}
    virtual ~Point() = default;

    // Both interfaces live as long as the owner: they count on it.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IConnectionPoint)) *out = static_cast<IConnectionPoint*>(this);
        else if (IsEqualIID(iid, IID_IConnectionPointContainer)) *out = static_cast<IConnectionPointContainer*>(this);
        else return owner_.QueryInterface(iid, out);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = events_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        *out = this;
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        if (!sink || !cookie) return E_POINTER;
        ComRef<IDispatch> disp;
        if (FAILED(sink->QueryInterface(events_, reinterpret_cast<void**>(disp.put())))) {
            if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(disp.put()))))
                return CONNECT_E_CANNOTCONNECT;
        }
        *cookie = ++lastCookie_;
        sinks_.emplace(*cookie, std::move(disp));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        return sinks_.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, events_)) return CONNECT_E_NOCONNECTION;
        *out = this;
        AddRef();
        return S_OK;
    }

    void Fire(DISPID id, std::vector<VARIANT>& args) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        // A sink may unadvise (itself or another) while it runs.
        auto snapshot = sinks_;
        for (auto& [cookie, sink] : snapshot) {
            if (!sinks_.count(cookie)) continue;
            ComVariant ignored;
            sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, ignored.get(), nullptr, nullptr);
        }
    }
    std::size_t Count() const { return sinks_.size(); }

private:
    IUnknown& owner_;
    IID events_;
    std::map<DWORD, ComRef<IDispatch>> sinks_;
    DWORD lastCookie_ = 0;
};

EventSource::EventSource(IUnknown& owner, const IID& events) : point_(new Point(owner, events)) {}
EventSource::~EventSource() { delete point_; }

IConnectionPointContainer* EventSource::Container() {
    point_->AddRef();
    return point_;
}

void EventSource::Fire(DISPID id, std::vector<VARIANT> args) { point_->Fire(id, args); }
std::size_t EventSource::Sinks() const { return point_->Count(); }

class EventSink::Listener : public DispatchServer {
public:
    Listener(const IID& events, Handler handler) : events_(events), handler_(std::move(handler)) {}
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO* info,
                                     UINT*) override {
        if (!handler_) return S_OK;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        // The handler may end the subscription (and so Detach and Release this listener)
        // while it runs: it runs on a copy, with the listener held.
        AddRef();
        struct Hold {
            Listener* l;
            ~Hold() { l->Release(); }
        } hold{this};
        const Handler handler = handler_;
        try {
            handler(id, params ? *params : none);
            return S_OK;
        } catch (const AutomationError& e) {
            return ReportError(e, info);
        } catch (const std::exception&) {
            return E_FAIL;
        }
    }
    void Detach() { handler_ = nullptr; }

protected:
    void* QueryOther(REFIID iid) override {
        if (!IsEqualIID(iid, events_)) return nullptr;
        AddRef();
        return static_cast<IDispatch*>(this);
    }

private:
    IID events_;
    Handler handler_;
};

EventSink::EventSink(const ComRef<IDispatch>& source, const IID& events, Handler handler) {
    auto container = source.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    if (!container) RaiseError(errnum::kMemberNotSupported, "The object raises no events");
    Check(container->FindConnectionPoint(events, point_.put()), "FindConnectionPoint");
    listener_ = new Listener(events, std::move(handler));
    const HRESULT hr = point_->Advise(static_cast<IDispatch*>(listener_), &cookie_);
    if (FAILED(hr)) {
        listener_->Release();
        listener_ = nullptr;
        RaiseHr(hr, "Advise");
    }
}

EventSink::~EventSink() {
    if (point_ && cookie_) point_->Unadvise(cookie_);
    if (listener_) {
        // A source that still holds the listener must not reach the handler's captures.
        listener_->Detach();
        listener_->Release();
    }
}

}  // namespace nubra::win
