#include "standin_host/store/ItemData.h"

#include <cctype>
#include <cstdio>

#include "host/AutomationDates.h"
#include "host/Outlook.h"

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

std::string KindName(int32_t cls) {
    switch (cls) {
        case outlook::olMail: return "mail";
        case outlook::olPost: return "post";
        case outlook::olContact: return "contact";
        case outlook::olAppointment: return "appointment";
        case outlook::olTask: return "task";
        case outlook::olNote: return "note";
        case outlook::olDistributionList: return "distlist";
        case outlook::olActivity: return "journal";
        default: return std::to_string(cls);
    }
}

namespace {
std::string FirstLine(const std::string& s) {
    auto pos = s.find_first_of("\r\n");
    return pos == std::string::npos ? s : s.substr(0, pos);
}
}  // namespace

std::string TitleOf(const ItemData& d) {
    if (d.Class == outlook::olContact) {
        if (d.FullName) return FirstLine(*d.FullName);
        std::string name = d.FirstName.value_or("");
        if (d.LastName) name += (name.empty() ? "" : " ") + *d.LastName;
        return FirstLine(name);
    }
    if (d.Class == outlook::olNote && !d.Subject && d.Body) return FirstLine(*d.Body);
    return FirstLine(d.Subject.value_or(""));
}

std::string UtcText(const std::optional<Date>& d) {
    if (!d) return "-";
    auto p = dates::SplitDate(*d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                  p.second);
    return buf;
}

}  // namespace nubra::store
