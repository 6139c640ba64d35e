// Tasks: the same status, start date and due date (table search; a missing date matches only
// a missing date) and the exact same subject (checked on each candidate).

#include <string>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "engine/TableSearch.h"
#include "engine/clsFldMon.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"

namespace nubra {

namespace {
constexpr const char* kLogPrefix = "clsAppProc.FindTaskOnLogicalID: ";
constexpr const char* kPsetidTask = "{00062003-0000-0000-C000-000000000046}";
// The task finder's own spelling of the wrapper's ProgID (ProgIDs ignore case).
constexpr const char* kProgIdSafeTaskItemAsFinder = "qoMoreUtils.qoSafetaskItem";
constexpr int16_t kLidStatus = static_cast<int16_t>(0x8101);
constexpr int16_t kLidStartDate = static_cast<int16_t>(0x8104);
constexpr int16_t kLidDueDate = static_cast<int16_t>(0x8105);
}  // namespace

void clsFldMon::GetGMTstartdueDates(const outlook::ItemRef& poTask, std::string& psStartDateGMT,
                                    std::string& psDueDateGMT) {
    engine::ReadGmtDates(poTask, mapi::kProgIdSafeTaskItem, kPsetidTask, kLidStartDate, kLidDueDate, psStartDateGMT,
                         psDueDateGMT, "clsAppProcessor.GetGMTstartdueDates");
}

SearchResult clsFldMon::FindTaskOnLogicalID(const outlook::FolderRef& poOlFld, std::string& psStart,
                                            std::string& psDue, std::string& psStatus, std::string& psSubject,
                                            bool& pbDuplicates, bool /*pbNoQoSCid*/, bool pbRestrict) {
    int16_t marker = 0;
    SearchResult result;
    std::unique_ptr<engine::TableSearch> search;
    try {
        Err().Clear();
        auto items = poOlFld->Items();
        const int32_t count = items->Count();
        if (count == 0) return result;

        if (moTaskTagFld.Remember(poOlFld) == TagFolder::Check::Changed)
            lTaskStatusTag = lTaskStartTag = lTaskDueTag = 0;
        marker = 1;
        if (lTaskStatusTag == 0) {
            if (auto task = engine::FirstItemOfClass(*items, outlook::olTask)) {
                auto safe = CreateObjectAs<mapi::SafeItem>(kProgIdSafeTaskItemAsFinder);
                safe->SetItem(task);
                marker = 2;
                lTaskStatusTag =
                    safe->GetNamedPropertyTag(kPsetidTask, kLidStatus) | static_cast<int32_t>(mapi::PT_LONG);
                marker = 3;
                lTaskStartTag =
                    safe->GetNamedPropertyTag(kPsetidTask, kLidStartDate) | static_cast<int32_t>(mapi::PT_SYSTIME);
                marker = 4;
                lTaskDueTag =
                    safe->GetNamedPropertyTag(kPsetidTask, kLidDueDate) | static_cast<int32_t>(mapi::PT_SYSTIME);
                marker = 5;
                engine::Log(std::string(kLogPrefix) + "hex Start tag: " + engine::HexTag(lTaskStartTag) +
                            " DueTag: " + engine::HexTag(lTaskDueTag) +
                            " StatusTag: " + engine::HexTag(lTaskStatusTag));
            }
            if (lTaskStatusTag == 0) {
                engine::Log(std::string(kLogPrefix) + "hex tags in " + poOlFld->Name() +
                            " not set: no taskitem in this folder found while #items = " + std::to_string(count));
                engine::LibraryCleanup();
                return result;
            }
            marker = 8;
        }

        marker = 9;
        engine::ReplaceAll(psSubject, engine::kCrLfMarker, engine::kCrLf);
        marker = 10;

        search = std::make_unique<engine::TableSearch>(poOlFld, items);
        search->BindTable();
        marker = 11;
        search->ClearFilter();
        search->MakeAnd();
        // The status goes in as the decimal text the logical ID holds.
        search->AddProperty(mapi::RELOP_EQ, lTaskStatusTag, Variant(psStatus));
        marker = 12;
        if (!psStart.empty())
            search->AddProperty(mapi::RELOP_EQ, lTaskStartTag, Variant::FromDate(qoCDate(psStart)));
        else
            search->AddNotExist(lTaskStartTag);
        marker = 13;
        if (!psDue.empty())
            search->AddProperty(mapi::RELOP_EQ, lTaskDueTag, Variant::FromDate(qoCDate(psDue)));
        else
            search->AddNotExist(lTaskDueTag);
        // The exact subject check below decides; this condition only lets the store narrow the
        // candidates by its index, so that tasks sharing a status and dates (undated tasks above
        // all) are not each opened for every task of the folder. The store's comparison ignores
        // letter case, so it never drops a task the exact check would keep; a task without a
        // subject has no such property to compare, hence no condition then.
        if (!psSubject.empty()) search->AddProperty(mapi::RELOP_EQ, mapi::PR_SUBJECT, Variant(psSubject));
        marker = 14;
        search->SetColumns({mapi::PR_ENTRYID});
        marker = 17;

        search->FindWalk([&](const engine::Row& row) {
            auto item = search->OpenRow(row);
            marker = 18;
            const std::string subject = item->Subject();
            marker = 19;
            bool goOn = true;
            if (subject == psSubject) {
                if (!pbRestrict) {
                    if (!result.item) {
                        result.item = std::move(item);
                    } else {
                        pbDuplicates = true;
                        goOn = false;
                    }
                } else {
                    if (!result.items) result.items.emplace();
                    result.items->push_back(std::move(item));
                }
            }
            marker = 20;
            return goOn;
        });
        search->Close();
    } catch (...) {
        const ErrObject& err = engine::SetErrFromCurrentException();
        const int32_t number = err.Number;
        const std::string description = err.Description;
        engine::Log(std::string(kLogPrefix) + "error# " + std::to_string(number) + " " + description +
                    " line#: " + std::to_string(marker));
        RaiseError(number, "FindTaskOnLogicalID: " + description, "FindTaskOnLogicalID");
    }
    return result;
}

}  // namespace nubra
