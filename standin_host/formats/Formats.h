// Items and folders read from files, as the readers hand them over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "standin_host/store/ItemData.h"

namespace nubra::formats {

using store::ItemData;

// A folder with its items and subfolders, for sources that have a hierarchy (Maildir++,
// .pst/.ost). `defaultItemType` is the OlItemType the container class stands for.
struct FolderData {
    std::string name;
    std::string containerClass;  // "IPF.Note", "IPF.Contact", ... (empty: mail)
    int32_t defaultItemType = 0;
    std::vector<ItemData> items;
    std::vector<FolderData> subfolders;
};

// OlItemType for a container class: IPF.Note 0, IPF.Appointment 1, IPF.Contact 2, IPF.Task 3,
// IPF.Journal 4, IPF.StickyNote 5; anything else 0.
int32_t DefaultItemTypeForContainerClass(const std::string& containerClass);

// Total items in a folder and its subfolders.
size_t CountItems(const FolderData& folder);

// Raw properties the readers keep beside the named fields.
inline constexpr uint32_t PR_SENDER_EMAIL_ADDRESS = 0x0C1F001E;
inline constexpr uint32_t PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
inline constexpr uint32_t PR_CREATION_TIME = 0x30070040;
inline constexpr uint32_t PR_BODY_HTML = 0x1013001E;
inline constexpr uint32_t PR_CONTAINER_CLASS = 0x3613001E;
inline constexpr uint32_t PR_MESSAGE_CLASS = 0x001A001E;

}  // namespace nubra::formats
