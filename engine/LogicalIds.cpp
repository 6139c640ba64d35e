// Logical IDs: the up to four strings per item that its kind's matcher searches for.

#include <string>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "engine/clsFldMon.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"

namespace nubra {

using engine::TrimSpaces;

void clsFldMon::GetItemLogicalIDs(const outlook::ItemRef& poItem, std::string& psLogID1, std::string& psLogID2,
                                  std::string& psLogID3, std::string& psLogID4) {
    std::shared_ptr<mapi::SafeItem> safe;
    try {
        if (!poItem) RaiseError(errnum::kObjectVariableNotSet);
        const int32_t cls = poItem->Class();
        switch (cls) {
            case outlook::olContact:
                psLogID1 = TrimSpaces(poItem->FirstName());
                psLogID2 = TrimSpaces(poItem->LastName());
                psLogID3 = TrimSpaces(poItem->CompanyName());
                safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeContactItem);
                safe->SetItem(poItem);
                psLogID4 = TrimSpaces(safe->Email1Address());
                break;
            case outlook::olAppointment:
                GetGMTstartEndTimes(poItem, psLogID1, psLogID2);
                psLogID3 = TrimSpaces(poItem->Location());
                psLogID4 = TrimSpaces(poItem->Subject());
                break;
            case outlook::olTask:
                GetGMTstartdueDates(poItem, psLogID1, psLogID2);
                psLogID3 = std::to_string(poItem->Status());
                psLogID4 = TrimSpaces(poItem->Subject());
                break;
            case outlook::olNote:
                psLogID1 = TrimSpaces(poItem->Subject());
                safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeMailItem);
                safe->SetItem(poItem);
                psLogID2 = TrimSpaces(safe->Body());
                psLogID3 = std::to_string(poItem->Color());
                psLogID4.clear();
                break;
            case outlook::olMail:
            case outlook::olPost: {
                if (!goredUtil) RaiseError(errnum::kObjectVariableNotSet);
                ObjectRef mapiObject = poItem->MAPIOBJECT();
                psLogID1 = goredUtil->GetOneProperty(mapiObject, mapi::PR_INTERNET_MESSAGE_ID).AsString();
                // The submit time in the general date form; the scan reads it back as a date.
                psLogID2 = engine::GmtText(goredUtil->GetOneProperty(mapiObject, mapi::PR_CLIENT_SUBMIT_TIME));
                psLogID3 = TrimSpaces(poItem->Subject());
                psLogID4.clear();
                break;
            }
            default:
                psLogID1.clear();
                psLogID2.clear();
                psLogID3.clear();
                psLogID4.clear();
                break;
        }
    } catch (...) {
        const ErrObject& err = engine::SetErrFromCurrentException();
        const int32_t number = err.Number;
        const std::string description = err.Description;
        engine::Log("ItemGeneral.GetItemLogicalIDs: (MAPI) error# ingnored " + std::to_string(number) +
                    ". Raising err 920. Err = " + description);
        safe.reset();
        RaiseError(errnum::kLogicalIdFailed, description, "ItemGeneral.GetItemLogicalIDs");
    }
}

}  // namespace nubra
