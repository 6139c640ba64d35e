// Text services on Win32 (Windows).
#include "host/Text.h"

#include <windows.h>

#include <climits>

namespace nubra::text {
namespace {
// The characters of `s`, at most INT_MAX (what the Win32 calls take).
int Length(size_t size) { return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }
}  // namespace

std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = Length(utf8.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, out.data(), needed);
    return out;
}

std::string Utf8(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int n = Length(wide.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), needed, nullptr, nullptr);
    return out;
}

std::u16string ToUtf16(std::string_view utf8) {
    const std::wstring w = Wide(utf8);
    return std::u16string(w.begin(), w.end());
}

std::u16string ToUpper(std::u16string_view s) {
    if (s.empty()) return {};
    const std::wstring in(s.begin(), s.end());
    const int n = Length(in.size());
    // The invariant locale: the same upper case whatever the user's language.
    const DWORD flags = LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING;
    const int needed = ::LCMapStringEx(LOCALE_NAME_INVARIANT, flags, in.data(), n, nullptr, 0, nullptr, nullptr, 0);
    if (needed <= 0) return std::u16string(s);
    std::wstring out(static_cast<size_t>(needed), L'\0');
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, flags, in.data(), n, out.data(), needed, nullptr, nullptr, 0);
    return std::u16string(out.begin(), out.end());
}

}  // namespace nubra::text
