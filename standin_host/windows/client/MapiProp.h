// The MAPIOBJECT of an item or folder: the platform's IMAPIProp over its properties, as the
// MAPI utility library reads them (GetProps, GetIDsFromNames, GetNamesFromIDs; every other
// member answers MAPI_E_NO_SUPPORT). Results are allocated with MAPIAllocateBuffer so that the
// caller frees them with MAPIFreeBuffer.
#pragma once

#include <memory>

#include "host/win/Com.h"
#include "standin_host/windows/client/Store.h"

namespace nubra::winclient {

// A new IMAPIProp (as IUnknown, one reference for the caller) over the item.
win::ComRef<IUnknown> MakeItemProp(std::shared_ptr<Item> item);
// Over the folder (its display name and entry ID).
win::ComRef<IUnknown> MakeFolderProp(Folder& folder);

}  // namespace nubra::winclient
