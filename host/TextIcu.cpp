// Text services on ICU (Linux).
#include "host/Text.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace nubra::text {
namespace {
std::u16string FromUnicodeString(const icu::UnicodeString& u) {
    return std::u16string(u.getBuffer(), static_cast<size_t>(u.length()));
}
}  // namespace

std::u16string ToUtf16(std::string_view utf8) {
    return FromUnicodeString(
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size()))));
}

std::u16string ToUpper(std::u16string_view s) {
    icu::UnicodeString u(s.data(), static_cast<int32_t>(s.size()));
    u.toUpper(icu::Locale::getRoot());
    return FromUnicodeString(u);
}

}  // namespace nubra::text
