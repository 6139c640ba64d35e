#include "standin_host/session/SystemSession.h"

#include <map>

#include "addin/NubraGlobals.h"
#include "engine/clsFldMon.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"

namespace nubra::session {

std::string ReleaseYear(const std::string& version, const std::string& current) {
    static const std::map<std::string, std::string> years = {
        {"9.", "2000"}, {"10", "2002"}, {"11", "2003"}, {"12", "2007"}, {"14", "2010"}};
    auto it = years.find(version.substr(0, 2));
    return it == years.end() ? current : it->second;
}

SystemSession::SystemSession(const std::shared_ptr<store::Profile>& profile, Platform& platform) {
    SetPlatform(&platform);
    armed_ = true;
    try {
        store::RegisterMAPILibrary();
        Init();
        app_ = profile->Application();
        goOlNameSpace = app_->GetNamespace("MAPI");
        gsOlVersion = ReleaseYear(goOlNameSpace->Application()->Version(), gsOlVersion);
    } catch (...) {
        Release();
        throw;
    }
}

SystemSession::~SystemSession() { Release(); }

void SystemSession::Release() {
    if (!armed_) return;
    armed_ = false;
    goFldMon.reset();
    goOlNameSpace.reset();
    goredUtil.reset();
    goErrHandler.reset();
    goLog.reset();
    app_.reset();
    SetPlatform(nullptr);
}

}  // namespace nubra::session
