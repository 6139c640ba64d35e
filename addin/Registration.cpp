#include "addin/Registration.h"



namespace nubra::addin {

namespace {
using host::kClassesKey;

struct ClassInfo {
    const char* progId;
    const char* clsid;
};
constexpr ClassInfo kClasses[] = {{kProgIdConnect, kClsidConnect}, {kProgIdNubra, kClsidNubra}};

std::string Classes(const std::string& rest) { return std::string(kClassesKey) + "\\" + rest; }
}  // namespace

std::string AddinKey() { return std::string(host::kOutlookAddinsKey) + "\\" + kProgIdConnect; }

void RegisterServer(host::AddinRegistry& reg, const std::string& modulePath) {
    reg.SetString(AddinKey(), "FriendlyName", kFriendlyName);
    reg.SetString(AddinKey(), "Description", kDescription);
    reg.SetDword(AddinKey(), "LoadBehavior", kLoadBehavior);
    for (const auto& c : kClasses) {
        reg.SetString(Classes(c.progId), "", c.progId);
        reg.SetString(Classes(std::string(c.progId) + "\\CLSID"), "", c.clsid);
        const std::string clsidKey = Classes(std::string("CLSID\\") + c.clsid);
        reg.SetString(clsidKey, "", c.progId);
        reg.SetString(clsidKey + "\\InprocServer32", "", modulePath);
        reg.SetString(clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment");
        reg.SetString(clsidKey + "\\ProgID", "", c.progId);
        reg.SetString(clsidKey + "\\TypeLib", "", kLibId);
    }
    const std::string lib = Classes(std::string("TypeLib\\") + kLibId + "\\1.0");
    reg.SetString(lib, "", kTypeLibDescription);
#ifdef _WIN32
    reg.SetString(lib + "\\0\\win64", "", modulePath);
#else
    reg.SetString(lib + "\\0\\linux64", "", modulePath);
#endif
    reg.SetString(lib + "\\FLAGS", "", "0");
    reg.SetString(lib + "\\HELPDIR", "", "");
}

void UnregisterServer(host::AddinRegistry& reg) {
    reg.DeleteTree(AddinKey());
    for (const auto& c : kClasses) {
        reg.DeleteTree(Classes(c.progId));
        reg.DeleteTree(Classes(std::string("CLSID\\") + c.clsid));
    }
    reg.DeleteTree(Classes(std::string("TypeLib\\") + kLibId));
}

}  // namespace nubra::addin
