// Loads the add-ins as the desktop client does: the keys under
// HKCU\Software\Microsoft\Office\Outlook\Addins name them by ProgID; those whose LoadBehavior
// says "load at start" (3) are created through the platform's class activation and connected
// through IDTExtensibility2, and disconnected and released at shutdown.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "host/win/Extensibility.h"
#include "standin_host/windows/client/ObjectModel.h"

namespace nubra::winclient {

struct AddinKey {
    std::string progId;
    std::string friendlyName, description;
    bool hasLoadBehavior = false;
    DWORD loadBehavior = 0;
};

// The add-in keys of the user's registry, in the registry's order.
std::vector<AddinKey> ReadAddinKeys();

class AddinHost {
public:
    // Connects every add-in to load at start (OnConnection, start mode 1, then
    // OnStartupComplete); what failed is written to `log`. Returns the number connected.
    int ConnectAtStart(ApplicationObject& app, std::ostream& log);
    // OnBeginShutdown, OnDisconnection (the host shuts down) and the release of every add-in.
    // Returns false (and says why on `log`) when a call failed.
    bool Shutdown(std::ostream& log);
    // The module each connected add-in's class lives in (its InprocServer32), for the check
    // that it may be unloaded afterwards.
    std::vector<std::wstring> modules;

private:
    struct Loaded {
        std::string progId;
        win::ComRef<win::IDTExtensibility2> connection;
        win::ComRef<IDispatch> addInInst;
    };
    std::vector<Loaded> loaded_;
};

// A 1-based array of one VARIANT holding `first`, as the client passes to the connection
// interface (the caller destroys it).
SAFEARRAY* CustomArray(LONG first);

}  // namespace nubra::winclient
