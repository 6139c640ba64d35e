// The regional part of automation dates on Windows: the automation layer itself. The general
// date is what VarBstrFromDate writes and date text is read by VarDateFromStr, both under the
// user's regional settings (LOCALE_USER_DEFAULT); local time is the system's time zone. The
// calendar arithmetic is shared (AutomationDates.cpp).
#include "host/AutomationDates.h"

#include <windows.h>
#include <oleauto.h>

#include <mutex>
#include <optional>

#include "host/DateArithmetic.h"
#include "host/Text.h"

namespace nubra::dates {

using namespace detail;

namespace {

std::mutex gLocaleMutex;
std::optional<std::string> gLocale;  // set by SetRegionalLocale

// The user's regional settings as a locale name in the "en_US" form.
std::string UserLocaleName() {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (::GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) <= 0) return "en_US";
    std::string s = text::Utf8(name);
    for (char& c : s)
        if (c == '-') c = '_';
    return s;
}

SYSTEMTIME ToSystemTime(Date d) {
    FILETIME ft{};
    const uint64_t ticks = static_cast<uint64_t>(DateToFileTime(d));
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME st{};
    if (!::FileTimeToSystemTime(&ft, &st)) RaiseError(errnum::kOverflow);
    return st;
}

Date FromSystemTime(const SYSTEMTIME& st) {
    FILETIME ft{};
    if (!::SystemTimeToFileTime(&st, &ft)) RaiseError(errnum::kOverflow);
    return FileTimeToDate(static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime));
}

// The zone's standard offset, for dates the system's conversions do not cover (before 1601).
Date ShiftByBias(Date d, int direction) {
    TIME_ZONE_INFORMATION tz{};
    if (::GetTimeZoneInformation(&tz) == TIME_ZONE_ID_INVALID) return d;
    // Bias is UTC minus local, in minutes.
    return FromUnixMillis(ToUnixMillis(d) - direction * static_cast<int64_t>(tz.Bias) * 60'000);
}

}  // namespace

Date UtcToLocal(Date utc) {
    if (DateToFileTime(utc) < 0) return ShiftByBias(utc, 1);
    const SYSTEMTIME u = ToSystemTime(utc);
    SYSTEMTIME local{};
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &u, &local)) return ShiftByBias(utc, 1);
    return FromSystemTime(local);
}

// A local time that occurs twice or is skipped by a change is read as the system reads it.
Date LocalToUtc(Date local) {
    if (DateToFileTime(local) < 0) return ShiftByBias(local, -1);
    const SYSTEMTIME l = ToSystemTime(local);
    SYSTEMTIME utc{};
    if (!::TzSpecificLocalTimeToSystemTime(nullptr, &l, &utc)) return ShiftByBias(local, -1);
    return FromSystemTime(utc);
}

Date Now() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return FromSystemTime(st);
}

// The user's regional settings apply on Windows whatever is set here: the name is recorded so
// that RegionalLocale reports it, and an empty name reports the user's settings again.
void SetRegionalLocale(const std::string& locale) {
    std::lock_guard lock(gLocaleMutex);
    if (locale.empty())
        gLocale.reset();
    else
        gLocale = locale;
}

std::string RegionalLocale() {
    std::lock_guard lock(gLocaleMutex);
    return gLocale ? *gLocale : UserLocaleName();
}

std::string FormatGeneralDate(Date d) {
    // The general date shows whole seconds.
    const DayTime dt = WholeSeconds(d);
    BSTR text = nullptr;
    const HRESULT hr = ::VarBstrFromDate(Compose(dt.day, dt.ms), LOCALE_USER_DEFAULT, 0, &text);
    if (hr == E_OUTOFMEMORY) RaiseError(errnum::kOutOfMemory);
    if (FAILED(hr) || !text) RaiseError(errnum::kOverflow);
    std::string out = text::Utf8(std::wstring_view(text, ::SysStringLen(text)));
    ::SysFreeString(text);
    return out;
}

Date ParseDate(std::string_view text) {
    // The text up to a NUL, as the automation layer sees a string.
    std::wstring wide = text::Wide(text.substr(0, text.find('\0')));
    DATE d = 0;
    const HRESULT hr = ::VarDateFromStr(wide.data(), LOCALE_USER_DEFAULT, 0, &d);
    if (hr == E_OUTOFMEMORY) RaiseError(errnum::kOutOfMemory);
    // DISP_E_TYPEMISMATCH (no date) and DISP_E_OVERFLOW (a date out of range) alike.
    if (FAILED(hr)) RaiseError(errnum::kTypeMismatch);
    return d;
}

}  // namespace nubra::dates
