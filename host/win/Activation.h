// Creation by ProgID through the platform's class activation. Kept free of <windows.h>: the
// platform's headers rename RegisterClass and UnregisterClass by macro, and ClassRegistry.cpp,
// which defines the system's functions of those names, uses this.
#pragma once

#include <string>

#include "host/Automation.h"

namespace nubra::win {

// A new object of the class the platform registers under `progId` (in-process or local
// server), as its MAPI library contract (see WrapLibraryObject in MapiDispatch.h) or else as
// a ComObject. Raises 429 when the ProgID is unknown or the class cannot be made (the
// description names the ProgID and the platform's code). Needs an initialised apartment on
// the calling thread.
ObjectRef CreateComObject(const std::string& progId);

}  // namespace nubra::win
