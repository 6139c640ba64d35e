// The creatable objects of the library, each a new object with one reference the caller owns.
#pragma once

#include "host/win/Com.h"
#include "standin_host/windows/qoMoreUtils/qoMoreUtilsIds.h"

namespace qomoreutils {

// qoMAPIUtils: GetOneProperty, GetNamedPropertyTag, BinaryToHex, Cleanup.
nubra::win::ComRef<IDispatch> NewUtils();
// qoMAPITable: Item, Columns, Filter, GoToFirst, GetRow (its filter and restrictions come
// from it).
nubra::win::ComRef<IDispatch> NewTable();
// A safe item wrapper of `kind` (one of the Safe... kinds).
nubra::win::ComRef<IDispatch> NewSafeItem(ClassKind kind);

// The object of a class.
nubra::win::ComRef<IDispatch> NewObject(ClassKind kind);

}  // namespace qomoreutils
