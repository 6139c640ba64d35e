// Mail and post items: a received mail is identified by its internet message ID, a sent one by
// subject and submit time (to the second), an unsent one by its subject among unsent items.

#include <string>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "engine/TableSearch.h"
#include "engine/clsFldMon.h"
#include "host/AutomationDates.h"
#include "host/MAPIUtils.h"

namespace nubra {

namespace {
constexpr const char* kProc = "clsMailProc.FindMailOnLogicalID";
constexpr const char* kLogPrefix = "clsMailProc.FindMailOnLogicalID: ";

bool IsMailOrPost(const outlook::ItemRef& item) {
    const int32_t cls = item->Class();
    return cls == outlook::olMail || cls == outlook::olPost;
}

// A candidate of an unsent item: another unsent mail or post. An empty message ID counts as
// none (importers store one for drafts), so it is checked here rather than by the table, which
// can only tell a present property from an absent one.
bool IsUnsentMailOrPost(const outlook::ItemRef& item) {
    if (!IsMailOrPost(item)) return false;
    if (!goredUtil) RaiseError(errnum::kObjectVariableNotSet);
    return goredUtil->GetOneProperty(item->MAPIOBJECT(), mapi::PR_INTERNET_MESSAGE_ID).AsString().empty();
}

// One second either side, in whole milliseconds so that the bounds stay exact seconds.
Date ShiftSeconds(Date d, int seconds) {
    return dates::FromUnixMillis(dates::ToUnixMillis(d) + int64_t{seconds} * 1000);
}
}  // namespace

SearchResult clsFldMon::FindMailOnLogicalID(const outlook::FolderRef& poFld, std::string& psIntMsgID,
                                            Date& pdSubmitTime, std::string& psSubject, bool& pbDuplicates,
                                            bool /*pbNoQoSCid*/, bool pbRestrict) {
    SearchResult result;
    std::unique_ptr<engine::TableSearch> search;
    try {
        Err().Clear();
        auto items = poFld->Items();
        if (items->Count() == 0) return result;

        search = std::make_unique<engine::TableSearch>(poFld, items);
        search->Begin();

        // An unsent item has neither an internet message ID nor a submit time; its subject
        // alone must not pull in sent or received mail, nor items of other kinds.
        bool unsentOnly = false;
        if (!psIntMsgID.empty()) {
            search->AddProperty(mapi::RELOP_EQ, mapi::PR_INTERNET_MESSAGE_ID, Variant(psIntMsgID));
        } else {
            engine::ReplaceAll(psSubject, engine::kCrLfMarker, engine::kCrLf);
            search->AddProperty(mapi::RELOP_EQ, mapi::PR_SUBJECT, Variant(psSubject));
            if (pdSubmitTime == 0) {
                engine::Log(std::string(kLogPrefix) + "item has no client_submittime so is not sent");
                if (psSubject.empty()) {
                    engine::Log(std::string(kLogPrefix) +
                                "item also has no subject so looking for duplicates is not possible");
                    search->Close();
                    return result;
                }
                search->AddNotExist(mapi::PR_CLIENT_SUBMIT_TIME);
                unsentOnly = true;
            } else {
                search->AddProperty(mapi::RELOP_GE, mapi::PR_CLIENT_SUBMIT_TIME,
                                    Variant::FromDate(ShiftSeconds(pdSubmitTime, -1)));
                search->AddProperty(mapi::RELOP_LE, mapi::PR_CLIENT_SUBMIT_TIME,
                                    Variant::FromDate(ShiftSeconds(pdSubmitTime, 1)));
            }
        }
        search->SetColumns({mapi::PR_ENTRYID, mapi::PR_SUBJECT});

        if (pbRestrict) {
            ItemCollection found;
            search->RestrictedWalk([&](const engine::Row& row) {
                auto item = search->OpenRow(row);
                if (!unsentOnly || IsUnsentMailOrPost(item)) found.push_back(std::move(item));
                return true;
            });
            result.items = std::move(found);
        } else {
            bool any = false;
            try {
                any = search->FindFirst();
            } catch (...) {
                const ErrObject& err = engine::SetErrFromCurrentException();
                engine::Log(std::string(kLogPrefix) + "FindFirst error# " + std::to_string(err.Number) + " " +
                            err.Description);
                search->Close();
                return SearchResult{};
            }
            while (any) {
                engine::Row row = search->GetRow();
                if (row.empty()) break;
                if (result.item) {
                    // A further row: without the unsent rule any row counts, with it only
                    // another unsent mail or post item.
                    if (!unsentOnly || IsUnsentMailOrPost(search->OpenRow(row))) {
                        pbDuplicates = true;
                        break;
                    }
                } else {
                    std::string hex = search->RowEntryIdHex(row);
                    outlook::ItemRef item;
                    try {
                        item = search->OpenItem(hex);
                    } catch (...) {
                        const ErrObject& err = engine::SetErrFromCurrentException();
                        const std::string subject = row.size() > 1 ? row[1].AsString() : std::string();
                        engine::Log(std::string(kLogPrefix) + "error# " + std::to_string(err.Number) + " " +
                                    err.Description + " item subject: " + subject + " item EntryID: " + hex);
                        throw;
                    }
                    if (!unsentOnly || IsUnsentMailOrPost(item)) {
                        result.item = std::move(item);
                        if (!unsentOnly) {
                            // Rows are taken as they are: any further row is a duplicate.
                            if (search->FindNext()) {
                                if (!search->GetRow().empty()) pbDuplicates = true;
                            }
                            break;
                        }
                    }
                }
                any = search->FindNext();
            }
        }
        search->Close();
    } catch (...) {
        engine::SetErrFromCurrentException();
        engine::ReportPendingError(kProc);
        if (search) search->Close();
        else engine::LibraryCleanup();
        result.items.reset();
    }
    return result;
}

}  // namespace nubra
