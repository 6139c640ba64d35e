// The counting and interface look-up of a plain object of the platform (one interface besides
// IUnknown, no IDispatch): it deletes itself at its last Release.
#pragma once

#include <atomic>

#include "host/win/Com.h"

namespace nubra::winclient {

template <typename Interface>
class Counted : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_)) {
            *out = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

protected:
    explicit Counted(const IID& iid) : iid_(iid) {}
    virtual ~Counted() = default;

private:
    const IID iid_;
    std::atomic<long> refs_{1};
};

}  // namespace nubra::winclient
