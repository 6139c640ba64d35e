// Object creation by ProgID, the stand-in for the platform's class activation. Hosts and
// libraries register their creatable classes; ProgIDs compare without regard to letter case.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/Automation.h"

namespace nubra {

using ObjectFactory = std::function<ObjectRef()>;

// Registers (or replaces) the factory for a ProgID.
void RegisterClass(const std::string& progId, ObjectFactory factory);
// Removes a ProgID; unknown ProgIDs are ignored.
void UnregisterClass(const std::string& progId);
// True when a factory is registered for the ProgID.
bool IsClassRegistered(const std::string& progId);

// A new object of the class registered under `progId`. Raises 429 (ActiveX component can't
// create object) when no class is registered, and passes on what the factory raises. On
// Windows a ProgID not registered here goes to the platform's class activation (see
// host/win/Activation.h), which raises 429 in turn when it knows no such class. A
// factory that reports no failure but makes no object gives nothing (an empty reference), as
// the platform's creation does; callers that need the object check for it.
ObjectRef CreateObject(const std::string& progId);

// CreateObject cast to the interface the caller expects; raises 13 when the object does not
// offer it, 429 when no object was made.
template <typename T>
std::shared_ptr<T> CreateObjectAs(const std::string& progId) {
    auto made = CreateObject(progId);
    if (!made) RaiseError(errnum::kCannotCreateObject);
    auto obj = std::dynamic_pointer_cast<T>(made);
    if (!obj) RaiseError(errnum::kTypeMismatch);
    return obj;
}

}  // namespace nubra
