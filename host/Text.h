// Text services of the platform the system needs beyond plain bytes: UTF-8 as UTF-16 and the
// language-neutral upper case. ICU provides them on Linux (TextIcu.cpp), Win32 on Windows
// (TextWin.cpp).
#pragma once

#include <string>
#include <string_view>

namespace nubra::text {

// UTF-8 text as UTF-16; every ill-formed sequence becomes U+FFFD. Never raises.
std::u16string ToUtf16(std::string_view utf8);

// The upper case of `s` by the language-neutral rules (no Turkish dotless i and the like).
// ICU also writes the letters whose upper case is longer in full (ß as SS); Win32 maps one
// character to one and leaves those as they are. Never raises.
std::u16string ToUpper(std::u16string_view s);

#ifdef _WIN32
// The Win32 API's wide text of UTF-8 text (ill-formed sequences become U+FFFD), and UTF-8 of
// wide text (unpaired surrogates become U+FFFD). Never raise.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
#endif

}  // namespace nubra::text
