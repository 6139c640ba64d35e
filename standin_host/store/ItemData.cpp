#include "standin_host/store/ItemData.h"

#include <cctype>

namespace nubra::store {

namespace {
struct ClassName {
    int32_t olClass;
    const char* messageClass;
};
constexpr ClassName kClasses[] = {
    {43, "IPM.Note"},  {45, "IPM.Post"},        {40, "IPM.Contact"},  {26, "IPM.Appointment"},
    {48, "IPM.Task"},  {44, "IPM.StickyNote"},  {69, "IPM.DistList"}, {42, "IPM.Activity"},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
}  // namespace

std::string MessageClassFor(int32_t olClass) {
    for (const auto& c : kClasses)
        if (c.olClass == olClass) return c.messageClass;
    return {};
}

// A message class names its kind, optionally followed by "." and a custom form's name
// ("IPM.Note.SMIME", "IPM.Contact.MyForm"); letter case does not matter.
int32_t ClassForMessageClass(const std::string& messageClass) {
    for (const auto& c : kClasses) {
        std::string_view base = c.messageClass;
        std::string_view mc = messageClass;
        if (EqualNoCase(mc, base)) return c.olClass;
        if (mc.size() > base.size() && mc[base.size()] == '.' && EqualNoCase(mc.substr(0, base.size()), base))
            return c.olClass;
    }
    return 0;
}

}  // namespace nubra::store
