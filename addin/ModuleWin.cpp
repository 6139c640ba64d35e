// The add-in module as the platform's in-process server: the four exports, the class factories
// of Nubra.Addinconnect and Nubra.clsNubra, and the two classes as the client sees them — the
// connection interface (dual, through the module's type library) and the menu-entry class.
// Everything the classes do is the system's own Addinconnect and clsNubra; this file only
// translates between the platform's calls and the system's.
#include <cstring>
#include <new>
#include <memory>
#include <string>

#include "addin/AddinState.h"
#include "addin/Addinconnect.h"
#include "addin/Registration.h"
#include "addin/clsNubra.h"
#include "host/AddinRegistry.h"
#include "host/win/Dispatch.h"
#include "host/win/Extensibility.h"
#include "host/win/OutlookDispatch.h"
#include "host/win/UserRegistry.h"

namespace nubra::addin {

#ifdef NUBRA_MODULE_WITH_WIN32_DIALOG
// Shows the Win32 dialog when the menu command is clicked (ModuleWin32Dialog.cpp).
void InstallWin32DialogHooks();
#endif

namespace {

using win::ComRef;

HMODULE gModule = nullptr;
std::atomic<long> gLocks{0};
std::atomic<long> gServers{0};

// {5A0E7C3D-92B1-4F68-A4D7-1C3B8E6F2095}: the menu-entry class's interface in the type library.
constexpr GUID kIidClsNubra = {0x5A0E7C3D, 0x92B1, 0x4F68, {0xA4, 0xD7, 0x1C, 0x3B, 0x8E, 0x6F, 0x20, 0x95}};

GUID GuidOf(const char* text) {
    GUID g{};
    CLSIDFromString(win::Wide(text).c_str(), &g);
    return g;
}

std::string ModulePath() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(gModule, path, static_cast<DWORD>(std::size(path)));
    return win::Utf8(path, n);
}

// The failure code for the client, with the error's text left where the platform's error
// object carries it.
HRESULT Failed(const AutomationError& e) {
    ComRef<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        const std::wstring text = win::Wide(e.Description());
        const std::wstring source = win::Wide(e.Source().empty() ? std::string(kProgIdConnect) : e.Source());
        create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
        create->SetSource(const_cast<LPOLESTR>(source.c_str()));
        if (auto info = create.As<IErrorInfo>(IID_IErrorInfo)) SetErrorInfo(0, info.get());
    }
    return win::FailureCodeOf(e.Number());
}

template <typename F>
HRESULT Guarded(F&& call) {
    try {
        call();
        return S_OK;
    } catch (const AutomationError& e) {
        return Failed(e);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        return Failed(AutomationError(errnum::kMapiCallFailed, e.what()));
    }
}

// The client's `custom` array with its own lower bound.
outlook::CustomArray CustomOf(SAFEARRAY** custom) {
    SAFEARRAY* array = custom ? *custom : nullptr;
    if (!array || SafeArrayGetDim(array) != 1) return {};
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    std::vector<Variant> values;
    for (LONG i = lower; i <= upper; ++i) {
        win::ComVariant element;
        if (FAILED(SafeArrayGetElement(array, &i, element.get()))) RaiseError(errnum::kTypeMismatch);
        values.push_back(win::FromVariant(*element));
    }
    return outlook::CustomArray(lower, std::move(values));
}

// A dual interface's IDispatch half, served from the module's type library.
class TypeInfoHolder {
public:
    explicit TypeInfoHolder(const GUID& iid) {
        ComRef<ITypeLib> lib;
        if (SUCCEEDED(LoadTypeLibEx(win::Wide(ModulePath()).c_str(), REGKIND_NONE, lib.put())))
            lib->GetTypeInfoOfGuid(iid, info_.put());
    }
    HRESULT Count(UINT* n) const {
        if (!n) return E_POINTER;
        *n = info_ ? 1 : 0;
        return S_OK;
    }
    HRESULT Get(UINT index, ITypeInfo** out) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (index != 0 || !info_) return DISP_E_BADINDEX;
        *out = info_.get();
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT Ids(LPOLESTR* names, UINT count, DISPID* ids) const {
        return info_ ? DispGetIDsOfNames(info_.get(), names, count, ids) : E_NOTIMPL;
    }
    HRESULT Invoke(void* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                   UINT* argError) const {
        return info_ ? DispInvoke(self, info_.get(), id, flags, params, result, info, argError) : E_NOTIMPL;
    }

private:
    ComRef<ITypeInfo> info_;
};

// One dual interface `I` with interface id `iid`, its IDispatch half served from the type library.
template <typename I>
class DualServer : public win::Counted<I> {
public:
    explicit DualServer(const GUID& iid) : win::Counted<I>(iid), types_(iid) { ++gServers; }
    ~DualServer() override { --gServers; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return types_.Count(n); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override { return types_.Get(index, out); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return types_.Ids(names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT* argError) override {
        return types_.Invoke(static_cast<I*>(this), id, flags, params, result, info, argError);
    }

private:
    TypeInfoHolder types_;
};

// Nubra.Addinconnect: the connection interface over the system's Addinconnect.
class ConnectServer : public DualServer<win::IDTExtensibility2> {
public:
    ConnectServer() : DualServer(win::kIidDTExtensibility2) {}

    HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* Application, LONG ConnectMode, IDispatch* AddInInst,
                                           SAFEARRAY** custom) override {
        return Guarded([&] {
            auto args = CustomOf(custom);
            connect_->OnConnection(win::WrapApplication(Application), ConnectMode, win::WrapAddInInst(AddInInst),
                                   args);
        });
    }
    HRESULT STDMETHODCALLTYPE OnDisconnection(LONG RemoveMode, SAFEARRAY** custom) override {
        return Guarded([&] {
            auto args = CustomOf(custom);
            connect_->OnDisconnection(RemoveMode, args);
        });
    }
    HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY** custom) override {
        return Guarded([&] {
            auto args = CustomOf(custom);
            connect_->OnAddInsUpdate(args);
        });
    }
    HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY** custom) override {
        return Guarded([&] {
            auto args = CustomOf(custom);
            connect_->OnStartupComplete(args);
        });
    }
    HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY** custom) override {
        return Guarded([&] {
            auto args = CustomOf(custom);
            connect_->OnBeginShutdown(args);
        });
    }

private:
    std::unique_ptr<Addinconnect> connect_ = std::make_unique<Addinconnect>();
};

// The menu-entry class's interface as the type library describes it.
class IClsNubra : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE putref_OutlookApp(IDispatch* pApp) = 0;
};

// Nubra.clsNubra: the system's clsNubra for a client that creates it by ProgID.
class NubraServer : public DualServer<IClsNubra> {
public:
    NubraServer() : DualServer(kIidClsNubra) {}
    HRESULT STDMETHODCALLTYPE putref_OutlookApp(IDispatch* pApp) override {
        return Guarded([&] { nubra_->OutlookApp(win::WrapApplication(pApp)); });
    }

private:
    std::shared_ptr<clsNubra> nubra_ = std::make_shared<clsNubra>();
};

template <typename T>
class Factory : public win::Counted<IClassFactory> {
public:
    Factory() : Counted(IID_IClassFactory) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        T* made = nullptr;
        const HRESULT hr = Guarded([&] { made = new T(); });
        if (FAILED(hr)) return hr;
        const HRESULT q = made->QueryInterface(iid, out);
        made->Release();
        return q;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ++gLocks;
        else --gLocks;
        return S_OK;
    }

private:
    LiveObject live_;
};

int32_t Report(const std::exception& e) {
    // The registration tool shows only the code; the text goes where a debugger sees it.
    OutputDebugStringW(win::Wide(std::string("Nubra: ") + e.what() + "\n").c_str());
    return SELFREG_E_CLASS;
}

[[maybe_unused]] const bool gHooksInstalled = [] {
#ifdef NUBRA_MODULE_WITH_WIN32_DIALOG
    InstallWin32DialogHooks();
#endif
    return true;
}();

}  // namespace
}  // namespace nubra::addin

using namespace nubra;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        addin::gModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    try {
        host::SetAddinRegistryProvider(win::UserRegistryProvider());
        const std::string module = addin::ModulePath();
        host::UpdateAddinRegistry([&](host::AddinRegistry& reg) { addin::RegisterServer(reg, module); });
        return S_OK;
    } catch (const std::exception& e) {
        return addin::Report(e);
    }
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    try {
        host::SetAddinRegistryProvider(win::UserRegistryProvider());
        host::UpdateAddinRegistry([](host::AddinRegistry& reg) { addin::UnregisterServer(reg); });
        return S_OK;
    } catch (const std::exception& e) {
        return addin::Report(e);
    }
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    IClassFactory* factory = nullptr;
    if (IsEqualCLSID(clsid, addin::GuidOf(addin::kClsidConnect)))
        factory = new (std::nothrow) addin::Factory<addin::ConnectServer>();
    else if (IsEqualCLSID(clsid, addin::GuidOf(addin::kClsidNubra)))
        factory = new (std::nothrow) addin::Factory<addin::NubraServer>();
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return addin::LiveObjects() == 0 && addin::gServers == 0 && addin::gLocks == 0 &&
                   win::DispatchServer::LiveObjects() == 0 && !addin::Busy()
               ? S_OK
               : S_FALSE;
}
