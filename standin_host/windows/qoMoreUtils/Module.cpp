// qoMoreUtils.dll as an in-process server: its class factories and its registration for the
// current user (HKCU\Software\Classes), as regsvr32 asks for it. Where the platform does not
// read the current user's classes (Wine 8 takes HKEY_CLASSES_ROOT from the machine's classes
// alone), the same entries go into HKLM\Software\Classes as well.

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "host/win/Dispatch.h"
#include "standin_host/windows/qoMoreUtils/Objects.h"

namespace qomoreutils {

using nubra::win::ComRef;

namespace {

HMODULE gModule = nullptr;
// Locks (IClassFactory::LockServer) and references to the class factories.
std::atomic<long> gLocks{0};

const wchar_t* const kClassesKey = L"Software\\Classes\\";

class Factory : public IClassFactory {
public:
    explicit constexpr Factory(ClassKind kind) : kind_(kind) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // The factories live as long as the module; a reference to one keeps the module loaded.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++gLocks); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--gLocks); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        try {
            const ComRef<IDispatch> object = NewObject(kind_);
            return object->QueryInterface(iid, out);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ++gLocks;
        else --gLocks;
        return S_OK;
    }

private:
    ClassKind kind_;
};

Factory gFactories[] = {Factory(ClassKind::Utils),           Factory(ClassKind::Table),
                        Factory(ClassKind::SafeMail),        Factory(ClassKind::SafePost),
                        Factory(ClassKind::SafeContact),     Factory(ClassKind::SafeAppointment),
                        Factory(ClassKind::SafeTask)};
static_assert(std::size(gFactories) == std::size(kClasses));

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ModulePath() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(gModule, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return std::wstring(path.data(), n);
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

// One registry value the registration writes: key (under HKCU\Software\Classes), value name
// (empty for the default value) and data.
struct Entry {
    std::wstring key;
    std::wstring name;
    std::wstring data;
};

// Everything the registration of one class writes, parents before children.
std::vector<Entry> EntriesOf(const ClassInfo& c, const std::wstring& path) {
    const std::wstring clsid = GuidText(c.clsid);
    const std::wstring classKey = L"CLSID\\" + clsid;
    return {
        {c.progId, L"", c.name},
        {std::wstring(c.progId) + L"\\CLSID", L"", clsid},
        {classKey, L"", c.name},
        {classKey + L"\\InprocServer32", L"", path},
        {classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {classKey + L"\\ProgID", L"", c.progId},
    };
}

LONG Write(HKEY root, const Entry& e) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, (kClassesKey + e.key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, e.name.empty() ? nullptr : e.name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(e.data.c_str()),
                        static_cast<DWORD>((e.data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc;
}

// The text of a value, or false when there is none (or it is no text).
bool Read(HKEY root, const std::wstring& keyPath, const std::wstring& name, std::wstring& data) {
    wchar_t buffer[1024];
    DWORD size = sizeof buffer - sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = RegGetValueW(root, (kClassesKey + keyPath).c_str(),
                                 name.empty() ? nullptr : name.c_str(), RRF_RT_REG_SZ, &type, buffer, &size);
    if (rc != ERROR_SUCCESS) return false;
    data.assign(buffer, size / sizeof(wchar_t));
    while (!data.empty() && data.back() == L'\0') data.pop_back();
    return true;
}

// Removes one value the registration wrote, when it still holds what was written, then the
// key if nothing else is left in it. What others put there stays.
void Remove(HKEY root, const Entry& e) {
    std::wstring data;
    if (!Read(root, e.key, e.name, data) || _wcsicmp(data.c_str(), e.data.c_str()) != 0) return;
    const std::wstring path = kClassesKey + e.key;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, e.name.empty() ? nullptr : e.name.c_str());
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    if (subkeys == 0 && values == 0) RegDeleteKeyW(root, path.c_str());
}

void Unregister(HKEY root, const std::wstring& path) {
    for (const ClassInfo& c : kClasses) {
        // A ProgID that another server took over keeps its name and class.
        std::wstring clsid;
        const bool ours = Read(root, std::wstring(c.progId) + L"\\CLSID", L"", clsid) &&
                          _wcsicmp(clsid.c_str(), GuidText(c.clsid).c_str()) == 0;
        auto entries = EntriesOf(c, path);
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            if (!ours && (it->key == c.progId || it->key == std::wstring(c.progId) + L"\\CLSID")) continue;
            // Our class's own key holds whatever path the last registration wrote.
            if (it->key.ends_with(L"\\InprocServer32") && it->name.empty()) Read(root, it->key, L"", it->data);
            Remove(root, *it);
        }
    }
}

// Every class registered under `root`; false when a value could not be written.
bool Register(HKEY root, const std::wstring& path) {
    for (const ClassInfo& c : kClasses) {
        for (const Entry& e : EntriesOf(c, path)) {
            if (Write(root, e) != ERROR_SUCCESS) return false;
        }
    }
    return true;
}

// Whether the platform's merged view of the classes shows what the current user registered.
bool UserClassesSeen() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kClasses[0].progId, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

ComRef<IDispatch> NewObject(ClassKind kind) {
    switch (kind) {
        case ClassKind::Utils: return NewUtils();
        case ClassKind::Table: return NewTable();
        default: return NewSafeItem(kind);
    }
}

}  // namespace qomoreutils

using namespace qomoreutils;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (std::size_t i = 0; i < std::size(kClasses); ++i) {
        if (IsEqualCLSID(clsid, kClasses[i].clsid)) return gFactories[i].QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return nubra::win::DispatchServer::LiveObjects() == 0 && gLocks.load() == 0 ? S_OK : S_FALSE;
}

// Registers every class, or none: a failure part way removes what was written.
STDAPI DllRegisterServer() {
    const std::wstring path = ModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    if (Register(HKEY_CURRENT_USER, path) && (UserClassesSeen() || Register(HKEY_LOCAL_MACHINE, path))) return S_OK;
    Unregister(HKEY_CURRENT_USER, path);
    Unregister(HKEY_LOCAL_MACHINE, path);
    return SELFREG_E_CLASS;
}

// Removes what DllRegisterServer wrote, from the current user's classes and the machine's.
STDAPI DllUnregisterServer() {
    const std::wstring path = ModulePath();
    Unregister(HKEY_CURRENT_USER, path);
    Unregister(HKEY_LOCAL_MACHINE, path);
    return S_OK;
}
