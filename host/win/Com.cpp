#include "host/win/Com.h"

#include "host/Text.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace nubra::win {

std::wstring Wide(std::string_view utf8) { return text::Wide(utf8); }

// The platform's text services do the converting; these take what the platform's calls give.
std::string Utf8(const wchar_t* wide, std::size_t length) {
    return wide ? text::Utf8(std::wstring_view(wide, length)) : std::string{};
}

std::string Utf8(const wchar_t* wide) { return wide ? Utf8(wide, wcslen(wide)) : std::string{}; }

BSTR NewBstr(std::string_view utf8) {
    const std::wstring w = Wide(utf8);
    BSTR b = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    if (!b) RaiseError(errnum::kOutOfMemory);
    return b;
}

ObjectRef WrapObject(IUnknown* unknown) {
    if (!unknown) return nullptr;
    return std::make_shared<ComObject>(ComRef<IUnknown>(unknown));
}

ComRef<IDispatch> DispatchOf(const ObjectRef& object) {
    if (!object) return {};
    if (auto com = std::dynamic_pointer_cast<ComObject>(object)) {
        if (auto disp = com->Dispatch()) return disp;
    } else if (auto backed = std::dynamic_pointer_cast<ComBacked>(object)) {
        if (auto disp = backed->AsDispatch()) return disp;
    }
    RaiseError(errnum::kTypeMismatch);
}

ComVariant::ComVariant(const Variant& value) {
    VariantInit(&v_);
    ToVariant(value, &v_);
}

namespace {

Variant FromSafeArray(SAFEARRAY* array, VARTYPE elementType) {
    if (!array || SafeArrayGetDim(array) != 1) RaiseError(errnum::kTypeMismatch);
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const std::size_t count = upper >= lower ? static_cast<std::size_t>(upper - lower + 1) : 0;
    if (elementType == VT_UI1) {
        std::vector<uint8_t> bytes(count);
        void* data = nullptr;
        Check(SafeArrayAccessData(array, &data), "SafeArrayAccessData");
        if (count) std::memcpy(bytes.data(), data, count);
        SafeArrayUnaccessData(array);
        return Variant(std::move(bytes));
    }
    std::vector<Variant> values;
    values.reserve(count);
    for (LONG i = lower; i <= upper; ++i) {
        ComVariant element;
        if (elementType == VT_VARIANT) {
            Check(SafeArrayGetElement(array, &i, element.get()), "SafeArrayGetElement");
        } else {
            // Typed elements (Long, String, ...) are read into a VARIANT of that type.
            V_VT(element.get()) = elementType;
            Check(SafeArrayGetElement(array, &i, &V_I4(element.get())), "SafeArrayGetElement");
        }
        values.push_back(FromVariant(*element));
    }
    return Variant(std::move(values));
}

SAFEARRAY* ToSafeArray(const Variant& value) {
    if (value.type() == Variant::Type::Bytes) {
        const auto& bytes = value.AsBytes();
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (!array) RaiseError(errnum::kOutOfMemory);
        if (!bytes.empty()) {
            void* data = nullptr;
            SafeArrayAccessData(array, &data);
            std::memcpy(data, bytes.data(), bytes.size());
            SafeArrayUnaccessData(array);
        }
        return array;
    }
    const auto& values = value.AsArray();
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
    if (!array) RaiseError(errnum::kOutOfMemory);
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
        try {
            ComVariant element(values[static_cast<std::size_t>(i)]);
            SafeArrayPutElement(array, &i, element.get());
        } catch (...) {
            SafeArrayDestroy(array);
            throw;
        }
    }
    return array;
}

}  // namespace

Variant FromVariant(const VARIANT& value) {
    VARTYPE vt = V_VT(&value);
    if (vt == (VT_BYREF | VT_VARIANT)) return FromVariant(*V_VARIANTREF(&value));
    if (vt & VT_BYREF) {
        // Read a by-reference value through a copy of the value it points at.
        ComVariant copy;
        Check(VariantCopyInd(copy.get(), const_cast<VARIANT*>(&value)), "VariantCopyInd");
        return FromVariant(*copy);
    }
    if (vt & VT_ARRAY) return FromSafeArray(V_ARRAY(&value), static_cast<VARTYPE>(vt & VT_TYPEMASK));
    switch (vt) {
        case VT_EMPTY: return Variant();
        case VT_NULL: return Variant();
        case VT_BOOL: return Variant(V_BOOL(&value) != VARIANT_FALSE);
        case VT_I1: return Variant(static_cast<int16_t>(V_I1(&value)));
        case VT_UI1: return Variant(static_cast<int16_t>(V_UI1(&value)));
        case VT_I2: return Variant(static_cast<int16_t>(V_I2(&value)));
        case VT_UI2: return Variant(static_cast<int32_t>(V_UI2(&value)));
        case VT_I4: return Variant(static_cast<int32_t>(V_I4(&value)));
        case VT_INT: return Variant(static_cast<int32_t>(V_INT(&value)));
        case VT_UI4: return Variant(static_cast<int32_t>(V_UI4(&value)));
        case VT_UINT: return Variant(static_cast<int32_t>(V_UINT(&value)));
        case VT_R4: return Variant(static_cast<double>(V_R4(&value)));
        case VT_R8: return Variant(V_R8(&value));
        case VT_DATE: return Variant::FromDate(V_DATE(&value));
        case VT_BSTR: return Variant(Utf8(V_BSTR(&value), SysStringLen(V_BSTR(&value))));
        case VT_DISPATCH:
            return V_DISPATCH(&value) ? Variant(WrapObject(V_DISPATCH(&value))) : Variant::Nothing();
        case VT_UNKNOWN: return V_UNKNOWN(&value) ? Variant(WrapObject(V_UNKNOWN(&value))) : Variant::Nothing();
        case VT_ERROR:
            if (V_ERROR(&value) == DISP_E_PARAMNOTFOUND) return Variant();
            return Variant(static_cast<int32_t>(V_ERROR(&value)));
        default: {
            // Currency, decimal and the 64-bit integers: as a double, the way the system reads them.
            ComVariant asDouble;
            if (SUCCEEDED(VariantChangeType(asDouble.get(), const_cast<VARIANT*>(&value), 0, VT_R8)))
                return Variant(V_R8(asDouble.get()));
            RaiseError(errnum::kTypeMismatch);
        }
    }
}

void ToVariant(const Variant& value, VARIANT* out) {
    VariantClear(out);
    switch (value.type()) {
        case Variant::Type::Empty: V_VT(out) = VT_EMPTY; return;
        case Variant::Type::Nothing:
            V_VT(out) = VT_DISPATCH;
            V_DISPATCH(out) = nullptr;
            return;
        case Variant::Type::Boolean:
            V_VT(out) = VT_BOOL;
            V_BOOL(out) = value.AsBool() ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        case Variant::Type::Integer:
            V_VT(out) = VT_I2;
            V_I2(out) = static_cast<SHORT>(value.AsLong());
            return;
        case Variant::Type::Long:
            V_VT(out) = VT_I4;
            V_I4(out) = value.AsLong();
            return;
        case Variant::Type::Double:
            V_VT(out) = VT_R8;
            V_R8(out) = value.AsDouble();
            return;
        case Variant::Type::Date:
            V_VT(out) = VT_DATE;
            V_DATE(out) = value.AsDate();
            return;
        case Variant::Type::String:
            V_BSTR(out) = NewBstr(value.AsString());
            V_VT(out) = VT_BSTR;
            return;
        case Variant::Type::Bytes:
            V_ARRAY(out) = ToSafeArray(value);
            V_VT(out) = VT_ARRAY | VT_UI1;
            return;
        case Variant::Type::Array:
            V_ARRAY(out) = ToSafeArray(value);
            V_VT(out) = VT_ARRAY | VT_VARIANT;
            return;
        case Variant::Type::Object: {
            const ObjectRef object = value.AsObject();
            // An object with no IDispatch (a MAPI message, say) travels as what it is.
            if (auto com = std::dynamic_pointer_cast<ComObject>(object); com && !com->Dispatch()) {
                V_UNKNOWN(out) = com->Unknown();
                V_UNKNOWN(out)->AddRef();
                V_VT(out) = VT_UNKNOWN;
                return;
            }
            V_DISPATCH(out) = DispatchOf(object).detach();
            V_VT(out) = VT_DISPATCH;
            return;
        }
    }
}

int32_t ErrorNumberOf(HRESULT hr) {
    if (HRESULT_FACILITY(hr) == FACILITY_CONTROL) return static_cast<int32_t>(HRESULT_CODE(hr));
    switch (hr) {
        case DISP_E_MEMBERNOTFOUND:
        case DISP_E_UNKNOWNNAME: return errnum::kMemberNotSupported;
        case DISP_E_TYPEMISMATCH: return errnum::kTypeMismatch;
        case DISP_E_BADINDEX: return errnum::kSubscriptOutOfRange;
        case DISP_E_OVERFLOW: return errnum::kOverflow;
        case DISP_E_BADPARAMCOUNT:
        case DISP_E_PARAMNOTOPTIONAL: return errnum::kInvalidProcedureCall;
        case E_OUTOFMEMORY: return errnum::kOutOfMemory;
        case REGDB_E_CLASSNOTREG:
        case CO_E_CLASSSTRING: return errnum::kCannotCreateObject;
        default: return static_cast<int32_t>(hr);
    }
}

HRESULT FailureCodeOf(int32_t number) {
    if (number < 0) return static_cast<HRESULT>(number);
    // Run-time error numbers travel as the run-time's own codes.
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, static_cast<unsigned>(number) & 0xFFFF);
}

[[noreturn]] void RaiseHr(HRESULT hr, const std::string& what, EXCEPINFO* info) {
    if (hr == DISP_E_EXCEPTION && info) {
        if (info->pfnDeferredFillIn) info->pfnDeferredFillIn(info);
        const HRESULT code = info->scode != 0 ? info->scode : (info->wCode != 0 ? FailureCodeOf(info->wCode) : E_FAIL);
        std::string description = info->bstrDescription ? Utf8(info->bstrDescription) : std::string{};
        std::string source = info->bstrSource ? Utf8(info->bstrSource) : std::string{};
        SysFreeString(info->bstrDescription);
        SysFreeString(info->bstrSource);
        SysFreeString(info->bstrHelpFile);
        *info = EXCEPINFO{};
        const int32_t number = ErrorNumberOf(code);
        if (description.empty()) description = DefaultErrorDescription(number);
        if (description.empty()) description = what + " failed";
        RaiseError(number, std::move(description), std::move(source));
    }
    const int32_t number = ErrorNumberOf(hr);
    std::string description = DefaultErrorDescription(number);
    if (description.empty()) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        description = what + " failed (" + code + ")";
    }
    RaiseError(number, std::move(description));
}

HRESULT ReportError(const AutomationError& error, EXCEPINFO* info) {
    const HRESULT code = FailureCodeOf(error.Number());
    if (!info) return code;
    *info = EXCEPINFO{};
    info->scode = code;
    info->bstrDescription = SysAllocString(Wide(error.Description()).c_str());
    info->bstrSource = SysAllocString(Wide(error.Source()).c_str());
    return DISP_E_EXCEPTION;
}

ComApartment::ComApartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    initialised_ = SUCCEEDED(hr);
}

ComApartment::~ComApartment() {
    if (initialised_) CoUninitialize();
}

}  // namespace nubra::win
