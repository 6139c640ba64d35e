// The MAPI utility library's contracts (host/MAPIUtils.h) over the library's own objects,
// reached by late binding, and the creation of objects by ProgID through the platform's class
// activation. Objects handed to the library (an item, its MAPIOBJECT, a folder's items, a
// folder) go as the interface pointers they stand for.
#pragma once

#include <string>

#include "host/win/OutlookDispatch.h"

namespace nubra::win {

// The library object `object` made for `progId` as the matching contract (MAPIUtils,
// MAPITable, SafeItem; ProgIDs compared without regard to letter case); nullptr for a ProgID
// that is not the library's.
ObjectRef WrapLibraryObject(const std::string& progId, ComRef<IDispatch> object);

// A new object of the class the platform registers under `progId` (in-process or local
// server), as its library contract (WrapLibraryObject) or else as a ComObject. Raises 429
// when the ProgID is unknown or the class cannot be made (the description names the ProgID
// and the platform's code). Needs an initialised apartment on the calling thread.
ObjectRef CreateComObject(const std::string& progId);

}  // namespace nubra::win
