// The client's object model and command bars (host/Outlook.h) over the client's own objects,
// reached by late binding: every contract member calls the client's member of the same name.
// The client's failures come through with its numbers (see Dispatch); where the client's
// answer and the contract's differ, the adapter converts (each member says how).
//
// Every adapter is also a ComBacked: handing one back to the client or to the MAPI library
// (a Move destination, a table's items, a safe item's item) passes the client's own object.
// Adapters are made with std::make_shared and live on the client's user-interface thread.
#pragma once

#include <memory>

#include "host/Outlook.h"
#include "host/win/Dispatch.h"

namespace nubra::win {

// Base of the adapters over an object reached by late binding.
class LateBound : public ComBacked {
public:
    explicit LateBound(ComRef<IDispatch> object) : object_(std::move(object)) {}
    ComRef<IDispatch> AsDispatch() override { return object_.Object(); }

protected:
    Dispatch object_;
};

// The IDispatch of an object a member returned; empty for Nothing and Empty. Raises 13 for a
// value that is no object or an object without IDispatch.
ComRef<IDispatch> DispatchOfValue(const Variant& value);

// An adapter of type A over the object a member returned; nullptr for Nothing and Empty.
// Raises like DispatchOfValue.
template <typename A>
std::shared_ptr<A> WrapValue(const Variant& value) {
    auto object = DispatchOfValue(value);
    if (!object) return nullptr;
    return std::make_shared<A>(std::move(object));
}

// The entry points of the add-in module: the objects the client hands to OnConnection.
// The client's Application as the contract (nullptr for a null pointer); every object reached
// from it is an adapter too. Takes a reference of its own.
std::shared_ptr<outlook::Application> WrapApplication(IDispatch* application);
// The client's AddInInst as an outlook::AddInInst (nullptr for a null pointer).
ObjectRef WrapAddInInst(IDispatch* addInInst);

}  // namespace nubra::win
