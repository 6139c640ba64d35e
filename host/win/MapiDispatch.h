// The MAPI utility library's contracts (host/MAPIUtils.h) over the library's own objects,
// reached by late binding; the platform's class activation (Activation.h) hands them out.
// Objects handed to the library (an item, its MAPIOBJECT, a folder's items, a folder) go as
// the interface pointers they stand for.
#pragma once

#include <string>

#include "host/win/Activation.h"
#include "host/win/OutlookDispatch.h"

namespace nubra::win {

// The library object `object` made for `progId` as the matching contract (MAPIUtils,
// MAPITable, SafeItem; ProgIDs compared without regard to letter case); nullptr for a ProgID
// that is not the library's.
ObjectRef WrapLibraryObject(const std::string& progId, ComRef<IDispatch> object);

}  // namespace nubra::win
