// The automation vocabulary of host/Automation.h on the platform's own terms: counted
// interface references, text between UTF-8 and the platform's wide strings, VARIANT to and
// from Variant, and failure codes to and from AutomationError. Shared by the add-in module,
// the MAPI utility library and every program that talks to them.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "host/Automation.h"

namespace nubra::win {

// A counted reference to an interface: releases what it holds when it goes.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    // Takes a new reference of its own to `p` (AddRef).
    explicit ComRef(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    // Takes over a reference the caller already owns (no AddRef).
    static ComRef Adopt(T* p) {
        ComRef r;
        r.p_ = p;
        return r;
    }
    ComRef(const ComRef& o) : ComRef(o.p_) {}
    ComRef(ComRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComRef& operator=(ComRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComRef() {
        if (p_) p_->Release();
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Releases what is held and gives the slot an out-parameter can fill.
    T** put() noexcept {
        *this = ComRef();
        return &p_;
    }
    // Hands the reference to the caller (who must release it).
    T* detach() noexcept { return std::exchange(p_, nullptr); }

    // The same object under another interface; empty when it does not offer it.
    template <typename U>
    ComRef<U> As(REFIID iid) const {
        ComRef<U> r;
        if (p_) p_->QueryInterface(iid, reinterpret_cast<void**>(r.put()));
        return r;
    }

private:
    T* p_ = nullptr;
};

// The counting and interface look-up of an object of ours that offers one interface (and
// IUnknown, and IDispatch where the interface is a dual one): it deletes itself at its last
// Release. Objects whose members are called by name use DispatchServer instead.
template <typename Interface>
class Counted : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        const bool dual = std::is_base_of_v<IDispatch, Interface> && IsEqualIID(iid, IID_IDispatch);
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, iid_) && !dual) return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
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

// UTF-8 and the platform's UTF-16.
std::wstring Wide(std::string_view utf8);
std::string Utf8(const wchar_t* text, std::size_t length);
std::string Utf8(const wchar_t* text);
// A new BSTR the caller owns (SysFreeString).
BSTR NewBstr(std::string_view utf8);

// An object reached through the platform's object activation (an interface pointer), as the
// system's Variant carries it.
class ComObject : public Object {
public:
    explicit ComObject(ComRef<IUnknown> unknown) : unknown_(std::move(unknown)) {}
    IUnknown* Unknown() const noexcept { return unknown_.get(); }
    // Its IDispatch; empty when the object offers none.
    ComRef<IDispatch> Dispatch() const { return unknown_.As<IDispatch>(IID_IDispatch); }

private:
    ComRef<IUnknown> unknown_;
};

// An object of ours (an adapter over a client object, say) that can be handed back to the
// platform: it gives the interface pointer it stands for.
class ComBacked {
public:
    virtual ~ComBacked() = default;
    virtual ComRef<IDispatch> AsDispatch() = 0;
};

// Wraps an interface pointer as an object reference (nullptr for a null pointer).
ObjectRef WrapObject(IUnknown* unknown);
// The IDispatch an object reference stands for: a ComObject's, a ComBacked's; empty for
// nullptr. Raises 13 for an object that has none.
ComRef<IDispatch> DispatchOf(const ObjectRef& object);

// A VARIANT that clears itself.
class ComVariant {
public:
    ComVariant() { VariantInit(&v_); }
    explicit ComVariant(const Variant& value);
    ComVariant(const ComVariant&) = delete;
    ComVariant& operator=(const ComVariant&) = delete;
    ~ComVariant() { VariantClear(&v_); }
    VARIANT* get() noexcept { return &v_; }
    const VARIANT& operator*() const noexcept { return v_; }
    VARIANT* Release() noexcept { return &v_; }

private:
    VARIANT v_;
};

// VARIANT to Variant: by-reference values are read through; an array of bytes gives Bytes,
// other one-dimensional arrays give Array; objects become ComObject references; VT_ERROR
// DISP_E_PARAMNOTFOUND (an omitted optional argument) gives Empty. Raises 13 for a type the
// system has no counterpart for.
Variant FromVariant(const VARIANT& value);
// Variant to VARIANT (`out` must be initialised; it is cleared first). An interface pointer
// without IDispatch travels as VT_UNKNOWN; raises 13 for an object of ours that stands for no
// interface pointer.
void ToVariant(const Variant& value, VARIANT* out);

// The system's error number for a failure code: the run-time's own errors (FACILITY_CONTROL)
// by their small number, the automation layer's DISP_E_* codes by the run-time error they
// stand for, anything else as the signed code itself.
int32_t ErrorNumberOf(HRESULT hr);
// The failure code that carries an error number back to the platform.
HRESULT FailureCodeOf(int32_t number);

// Raises the failure `hr` of a call to `what`, with the text and source of `info` when the
// callee filled one in (info is cleared afterwards), else the system's own description.
[[noreturn]] void RaiseHr(HRESULT hr, const std::string& what, EXCEPINFO* info = nullptr);
// Raises `hr` when it is a failure.
inline void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) RaiseHr(hr, what);
}

// Fills `info` (may be null) from the error being handled and returns the code for the
// caller: DISP_E_EXCEPTION when `info` was given, else the error's own failure code. Use in a
// catch block of a server method.
HRESULT ReportError(const AutomationError& error, EXCEPINFO* info);

// Initialises the platform's object library for the calling thread (single-threaded
// apartment) for as long as it lives.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_ = false;
};

}  // namespace nubra::win
