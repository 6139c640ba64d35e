#include "standin_host/windows/client/AddinHost.h"

namespace nubra::winclient {

namespace {

constexpr const wchar_t* kAddinsKey = L"Software\\Microsoft\\Office\\Outlook\\Addins";
constexpr LONG kStartupMode = 1;        // ext_cm_Startup
constexpr LONG kHostShutdown = 0;       // ext_dm_HostShutdown
constexpr DWORD kLoadAtStart = 3;

std::string HrText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

std::wstring ReadText(HKEY key, const wchar_t* name) {
    wchar_t buf[1024];
    DWORD size = sizeof buf, type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    buf[std::min<DWORD>(size / sizeof(wchar_t), 1023)] = 0;
    return buf;
}

// What the client hands the add-in as its own entry in the add-ins list.
class AddInObject : public win::DispatchServer {
public:
    explicit AddInObject(std::string progId) {
        Property(L"ProgId", [progId](const win::Args&) { return Variant(progId); });
        Property(L"Connect", [](const win::Args&) { return Variant(true); });
        Property(L"Description", [progId](const win::Args&) { return Variant(progId); });
    }
};

}  // namespace

SAFEARRAY* CustomArray(LONG first) {
    SAFEARRAYBOUND bound{1, 1};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    if (!array) RaiseError(errnum::kOutOfMemory);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = first;
    LONG index = 1;
    SafeArrayPutElement(array, &index, &v);
    return array;
}

std::vector<AddinKey> ReadAddinKeys() {
    std::vector<AddinKey> keys;
    HKEY addins = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kAddinsKey, 0, KEY_READ, &addins) != ERROR_SUCCESS) return keys;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(addins, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        AddinKey k;
        k.progId = win::Utf8(name);
        HKEY key = nullptr;
        if (RegOpenKeyExW(addins, name, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            k.friendlyName = win::Utf8(ReadText(key, L"FriendlyName").c_str());
            k.description = win::Utf8(ReadText(key, L"Description").c_str());
            DWORD value = 0, size = sizeof value, type = 0;
            if (RegQueryValueExW(key, L"LoadBehavior", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                    ERROR_SUCCESS &&
                type == REG_DWORD) {
                k.hasLoadBehavior = true;
                k.loadBehavior = value;
            }
            RegCloseKey(key);
        }
        keys.push_back(std::move(k));
    }
    RegCloseKey(addins);
    return keys;
}

int AddinHost::ConnectAtStart(ApplicationObject& app, std::ostream& log) {
    for (const auto& key : ReadAddinKeys()) {
        if (!key.hasLoadBehavior || (key.loadBehavior & kLoadAtStart) != kLoadAtStart) {
            log << "add-in " << key.progId << ": not loaded at start (LoadBehavior " << key.loadBehavior << ")\n";
            continue;
        }
        const std::wstring progId = win::Wide(key.progId);
        CLSID clsid{};
        HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
        if (FAILED(hr)) {
            log << "add-in " << key.progId << ": CLSIDFromProgID failed " << HrText(hr) << "\n";
            continue;
        }
        win::ComRef<IUnknown> object;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(object.put()));
        if (FAILED(hr)) {
            log << "add-in " << key.progId << ": CoCreateInstance failed " << HrText(hr) << "\n";
            continue;
        }
        auto connection = object.As<win::IDTExtensibility2>(win::kIidDTExtensibility2);
        if (!connection) {
            log << "add-in " << key.progId << ": no IDTExtensibility2\n";
            continue;
        }
        wchar_t clsidText[64];
        StringFromGUID2(clsid, clsidText, 64);
        const std::wstring server = std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32";
        HKEY serverKey = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_READ, &serverKey) == ERROR_SUCCESS) {
            modules.push_back(ReadText(serverKey, nullptr));
            RegCloseKey(serverKey);
        }
        auto addInInst = win::MakeServer<AddInObject>(key.progId);
        SAFEARRAY* custom = CustomArray(1);
        hr = connection->OnConnection(static_cast<IDispatch*>(&app), kStartupMode, static_cast<IDispatch*>(addInInst.get()),
                                      &custom);
        SafeArrayDestroy(custom);
        if (FAILED(hr)) {
            log << "add-in " << key.progId << ": OnConnection failed " << HrText(hr) << "\n";
            continue;
        }
        loaded_.push_back({key.progId, connection, win::ComRef<IDispatch>(static_cast<IDispatch*>(addInInst.get()))});
    }
    for (auto& a : loaded_) {
        SAFEARRAY* custom = CustomArray(1);
        const HRESULT hr = a.connection->OnStartupComplete(&custom);
        SafeArrayDestroy(custom);
        if (FAILED(hr)) log << "add-in " << a.progId << ": OnStartupComplete failed " << HrText(hr) << "\n";
    }
    return static_cast<int>(loaded_.size());
}

bool AddinHost::Shutdown(std::ostream& log) {
    bool ok = true;
    for (auto& a : loaded_) {
        SAFEARRAY* custom = CustomArray(1);
        const HRESULT hr = a.connection->OnBeginShutdown(&custom);
        SafeArrayDestroy(custom);
        if (FAILED(hr)) {
            log << "add-in " << a.progId << ": OnBeginShutdown failed " << HrText(hr) << "\n";
            ok = false;
        }
    }
    for (auto& a : loaded_) {
        SAFEARRAY* custom = CustomArray(1);
        const HRESULT hr = a.connection->OnDisconnection(kHostShutdown, &custom);
        SafeArrayDestroy(custom);
        if (FAILED(hr)) {
            log << "add-in " << a.progId << ": OnDisconnection failed " << HrText(hr) << "\n";
            ok = false;
        }
    }
    loaded_.clear();
    return ok;
}

}  // namespace nubra::winclient
