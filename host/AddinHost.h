// How the mail client loads an add-in: the in-process server's exported entry points, the
// class factory they hand out and the connection interface the client calls from start-up to
// shutdown. Both sides (the client and every add-in module) build against this header only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/Outlook.h"

namespace nubra::com {

// Result codes of the entry points, in the platform's numbering.
inline constexpr int32_t S_OK = 0;
inline constexpr int32_t S_FALSE = 1;
inline constexpr int32_t E_POINTER = static_cast<int32_t>(0x80004003u);
inline constexpr int32_t E_UNEXPECTED = static_cast<int32_t>(0x8000FFFFu);
inline constexpr int32_t CLASS_E_CLASSNOTAVAILABLE = static_cast<int32_t>(0x80040111u);
inline constexpr int32_t SELFREG_E_CLASS = static_cast<int32_t>(0x80040201u);

// Makes new objects of one class.
class IClassFactory : public Object {
public:
    // A new object; raises what the class's construction raises.
    virtual ObjectRef CreateInstance() = 0;
};
using ClassFactoryRef = std::shared_ptr<IClassFactory>;

// Signatures of the module's exports (looked up by name).
using DllRegisterServerFn = int32_t (*)();
using DllUnregisterServerFn = int32_t (*)();
// `clsid` is the class identifier as braced text; on success *factory receives the factory.
using DllGetClassObjectFn = int32_t (*)(const char* clsid, ClassFactoryRef* factory);
// S_OK when no object of the module lives and nothing of it runs, else S_FALSE.
using DllCanUnloadNowFn = int32_t (*)();

}  // namespace nubra::com

namespace nubra::outlook {

// The client's `custom` argument: an array of variants with its own lower bound (the client
// passes a 1-based array).
class CustomArray {
public:
    CustomArray() = default;
    CustomArray(int32_t lbound, std::vector<Variant> values) : lbound_(lbound), values_(std::move(values)) {}
    int32_t LBound() const { return lbound_; }
    int32_t UBound() const { return lbound_ + static_cast<int32_t>(values_.size()) - 1; }
    // Raises 9 (Subscript out of range) outside LBound..UBound.
    const Variant& Item(int32_t index) const {
        if (index < lbound_ || index > UBound()) RaiseError(errnum::kSubscriptOutOfRange);
        return values_[static_cast<std::size_t>(index - lbound_)];
    }

private:
    int32_t lbound_ = 0;
    std::vector<Variant> values_;
};

// ConnectMode values the client reports.
enum ext_ConnectMode : int32_t { ext_cm_AfterStartup = 0, ext_cm_Startup = 1 };
// RemoveMode values.
enum ext_DisconnectMode : int32_t { ext_dm_HostShutdown = 0, ext_dm_UserClosed = 1 };

// The add-in connection interface. Every call comes on the client's user-interface thread; a
// call that raises is a failed call (for OnConnection: the add-in did not start).
class IDTExtensibility2 : public Object {
public:
    // `AddInInst` is reached by name (its ProgId).
    virtual void OnConnection(std::shared_ptr<outlook::Application> Application, int32_t ConnectMode,
                              ObjectRef AddInInst, CustomArray& custom) = 0;
    virtual void OnDisconnection(int32_t RemoveMode, CustomArray& custom) = 0;
    virtual void OnAddInsUpdate(CustomArray& custom) = 0;
    virtual void OnStartupComplete(CustomArray& custom) = 0;
    virtual void OnBeginShutdown(CustomArray& custom) = 0;
};

}  // namespace nubra::outlook
