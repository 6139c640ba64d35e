// The connection class the client creates and calls from start-up to shutdown: starts the
// global objects, hands the application to clsNubra (the menu entry), watches the window that
// was active at connection and cleans everything up when the client ends.
#pragma once

#include <memory>

#include "addin/AddinState.h"
#include "addin/clsNubra.h"
#include "host/AddinHost.h"
#include "host/Events.h"

namespace nubra {

class Addinconnect : public outlook::IDTExtensibility2 {
public:
    Addinconnect() = default;
    ~Addinconnect() override;
    Addinconnect(const Addinconnect&) = delete;
    Addinconnect& operator=(const Addinconnect&) = delete;

    // Raises what Init raises (the add-in does not start then); later failures are reported
    // through HandleError("Connect:IDTExtensibility2_OnConnection") and the call succeeds.
    void OnConnection(std::shared_ptr<outlook::Application> Application, int32_t ConnectMode, ObjectRef AddInInst,
                      outlook::CustomArray& custom) override;
    void OnDisconnection(int32_t RemoveMode, outlook::CustomArray& custom) override;
    void OnAddInsUpdate(outlook::CustomArray& custom) override;
    void OnStartupComplete(outlook::CustomArray& custom) override;
    // Cleans up (nothing happens when that was done already).
    void OnBeginShutdown(outlook::CustomArray& custom) override;

    // The watched explorer's Close: cleans up when no explorer (besides the closing one) and
    // no inspector remains.
    void moExplorer_Close();

    // For the client's and the tests' view of the state.
    bool WatchesExplorer() const { return static_cast<bool>(moExplorer); }
    const std::shared_ptr<clsNubra>& NubraClass() const { return moNubraClass; }

private:
    void ShutDownAddin();

    std::shared_ptr<outlook::Application> moOutl;
    std::shared_ptr<outlook::Explorer> moExplorer;
    std::unique_ptr<Subscription> moExplorerClose_;
    std::shared_ptr<clsNubra> moNubraClass;
    addin::LiveObject live_;
};

// Releases the global objects in the order goFldMon, goOlNameSpace, goredUtil, goErrHandler,
// goLog, ignoring failures. An open dialog is closed first. While a folder scan runs the
// release waits until it has ended: the scan works with these objects.
void ReleaseGlobals();

}  // namespace nubra
