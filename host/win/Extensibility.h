// The add-in connection interface the desktop client calls, as the platform lays it out: a
// dual interface (IDispatch first, then the five members in this order), so that the client
// may call it through its table of members or by number (1 to 5). The add-in module implements
// it; a client (the test client) calls it.
#pragma once

#include "host/win/Com.h"

namespace nubra::win {

// {B65AD801-ABAF-11D0-BB8B-00A0C90F2744}
inline constexpr GUID kIidDTExtensibility2 = {0xB65AD801, 0xABAF, 0x11D0, {0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27, 0x44}};

// Member numbers for calls through IDispatch.
enum ExtensibilityDispId : DISPID {
    kDispOnConnection = 1,
    kDispOnDisconnection = 2,
    kDispOnAddInsUpdate = 3,
    kDispOnStartupComplete = 4,
    kDispOnBeginShutdown = 5,
};

// `custom` is a by-reference array of VARIANT (the client passes a 1-based one). A failed call
// returns a failure code (for OnConnection: the add-in did not start).
class IDTExtensibility2 : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* Application, LONG ConnectMode, IDispatch* AddInInst,
                                                   SAFEARRAY** custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnDisconnection(LONG RemoveMode, SAFEARRAY** custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY** custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY** custom) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY** custom) = 0;
};

}  // namespace nubra::win
