#include "tests/support/SystemSession.h"

#include "addin/clsNubra.h"
#include "engine/clsFldMon.h"
#include "globals/NubraGlobals.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"

namespace nubra::session {

SystemSession::SystemSession(const std::shared_ptr<store::Profile>& profile, Platform& platform) {
    SetPlatform(&platform);
    armed_ = true;
    try {
        store::RegisterMAPILibrary();
        Init();
        app_ = profile->Application();
        goOlNameSpace = app_->GetNamespace("MAPI");
        gsOlVersion = clsNubra::ReleaseYear(goOlNameSpace->Application()->Version(), gsOlVersion);
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
