// For tests of the dialog without the add-in module: the system as the dialog finds it inside
// the mail client (the globals made by Init, the namespace over a profile, the client's release
// year). Releasing happens in the order the add-in's clean-up uses.
#pragma once

#include <memory>
#include <string>

#include "host/Outlook.h"
#include "host/Platform.h"

namespace nubra::store {
class Profile;
}

namespace nubra::session {

class SystemSession {
public:
    // Installs `platform` (observed; it must outlive the session), registers the MAPI
    // library, runs Init and opens the namespace of `profile`. Raises what Init or the
    // namespace raises; whatever was set up before the failure is released again.
    SystemSession(const std::shared_ptr<store::Profile>& profile, Platform& platform);
    ~SystemSession();
    SystemSession(const SystemSession&) = delete;
    SystemSession& operator=(const SystemSession&) = delete;

    // Releases the globals (goFldMon, goOlNameSpace, goredUtil, goErrHandler, goLog) and
    // restores the default platform. Harmless when called again.
    void Release();

private:
    bool armed_ = false;
    std::shared_ptr<outlook::Application> app_;
};

}  // namespace nubra::session
