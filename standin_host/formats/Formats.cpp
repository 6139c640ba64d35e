#include "standin_host/formats/Formats.h"

namespace nubra::formats {

int32_t DefaultItemTypeForContainerClass(const std::string& containerClass) {
    auto is = [&](const char* prefix) {
        std::string p = prefix;
        return containerClass == p || containerClass.rfind(p + ".", 0) == 0;
    };
    if (is("IPF.Appointment")) return 1;
    if (is("IPF.Contact")) return 2;
    if (is("IPF.Task")) return 3;
    if (is("IPF.Journal")) return 4;
    if (is("IPF.StickyNote")) return 5;
    return 0;
}

size_t CountItems(const FolderData& folder) {
    size_t n = folder.items.size();
    for (const auto& sub : folder.subfolders) n += CountItems(sub);
    return n;
}

}  // namespace nubra::formats
