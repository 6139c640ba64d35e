#include "globals/NubraGlobals.h"
#include "engine/clsFldMon.h"
#include "host/ClassRegistry.h"

namespace nubra {

// Lives here rather than with the other globals: only this module knows the engine's class.
std::unique_ptr<clsFldMon> goFldMon;

void Init() {
    goLog = std::make_unique<clsLogging>();
    std::string folder = GetAppDataFolder();
    folder = folder.empty() ? AddinModuleFolder() + "/LOG" : folder + "/Nubra";
    goLog->LogFile(folder, "Nubra.log", "", true);
    goLog->PrintToDebugWindow(true);
    if (const std::string refusal = CommonFolderRefusal(); !refusal.empty())
        goLog->WriteToLog("AddinGlobals.Init: the shared log folder is not used: " + refusal);

    goFldMon = std::make_unique<clsFldMon>();
    goErrHandler = std::make_unique<clsErrHandler>();

    gsAppTitle = "Nubrasweep";

    ObjectRef util = CreateObject(mapi::kProgIdMAPIUtils);
    if (util) {
        goredUtil = std::dynamic_pointer_cast<mapi::MAPIUtils>(util);
        if (!goredUtil) RaiseError(errnum::kTypeMismatch);
    } else {
        goredUtil.reset();
        if (goLog) goLog->WriteToLog("AddinGlobals.Init: goredUtil could NOT be created");
    }
}

}  // namespace nubra
