// Contacts: first name, last name, company and first e-mail address, all four equal as exact
// text after trimming. The table search narrows on the parts that are not empty; the check of
// each candidate decides.

#include <string>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "engine/TableSearch.h"
#include "engine/clsFldMon.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"

namespace nubra {

namespace {
constexpr const char* kProc = "clsCntProc.FindCntOnLogicalID";
constexpr const char* kLogPrefix = "clsCntProc.FindCntOnLogicalID: ";
constexpr const char* kPsetidAddress = "{00062004-0000-0000-C000-000000000046}";
constexpr int16_t kLidEmail1Address = static_cast<int16_t>(0x8083);
}  // namespace

bool clsFldMon::CntMatchesLogicalID(const outlook::ItemRef& item, const std::string& psEmail,
                                    const std::string& psFirstName, const std::string& psLastName,
                                    const std::string& psCompany) {
    using engine::TrimSpaces;
    auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeContactItem);
    safe->SetItem(item);
    if (item->Class() != outlook::olContact) return false;
    return TrimSpaces(psEmail) == TrimSpaces(safe->Email1Address()) &&
           TrimSpaces(psFirstName) == TrimSpaces(safe->FirstName()) &&
           TrimSpaces(psLastName) == TrimSpaces(safe->LastName()) &&
           TrimSpaces(psCompany) == TrimSpaces(safe->CompanyName());
}

SearchResult clsFldMon::FindCntOnLogicalID(const outlook::FolderRef& poOlFld, std::string& psFirstName,
                                           std::string& psLastName, std::string& psCompany, std::string& psEmail,
                                           bool& pbDuplicates, bool /*pbNoQoSCid*/, bool pbRestrict) {
    using engine::TrimSpaces;
    SearchResult result;
    std::unique_ptr<engine::TableSearch> search;
    try {
        Err().Clear();
        auto items = poOlFld->Items();
        if (items->Count() == 0) return result;
        // Without any of the four parts the search would have no condition and every such
        // contact would match every other: different people known only by a display name
        // would be taken for copies. Missing a duplicate is safe; moving a stranger is not.
        if (TrimSpaces(psFirstName).empty() && TrimSpaces(psLastName).empty() && TrimSpaces(psCompany).empty() &&
            TrimSpaces(psEmail).empty()) {
            engine::Log(std::string(kLogPrefix) +
                        "contact has no first name, last name, company or e-mail so looking for duplicates is "
                        "not possible");
            return result;
        }

        if (moCntTagFld.Remember(poOlFld) == TagFolder::Check::Changed) lPrEmailTag = 0;
        if (lPrEmailTag == 0) {
            if (auto contact = engine::FirstItemOfClass(*items, outlook::olContact)) {
                auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeContactItem);
                safe->SetItem(contact);
                lPrEmailTag = safe->GetNamedPropertyTag(kPsetidAddress, kLidEmail1Address) |
                              static_cast<int32_t>(mapi::PT_STRING8);
                safe.reset();
                engine::Log("FindCntOnLogicalID: hex email tag: " + engine::HexTag(lPrEmailTag));
            }
        }
        if (lPrEmailTag == 0) {
            engine::Log("FindCntOnLogicalID: hex lPrEmailTag tag in " + poOlFld->Name() +
                        " not set: no contactitem in this folder found while #items = " +
                        std::to_string(items->Count()));
            engine::LibraryCleanup();
            return result;
        }

        search = std::make_unique<engine::TableSearch>(poOlFld, items);
        search->Begin();
        // An empty part puts no condition on its property; the candidate check requires the
        // candidate's value to be blank then.
        if (!psFirstName.empty()) search->AddProperty(mapi::RELOP_EQ, mapi::PR_GIVEN_NAME, Variant(psFirstName));
        if (!psLastName.empty()) search->AddProperty(mapi::RELOP_EQ, mapi::PR_SURNAME, Variant(psLastName));
        if (!psCompany.empty()) search->AddProperty(mapi::RELOP_EQ, mapi::PR_COMPANY_NAME, Variant(psCompany));
        if (!psEmail.empty()) search->AddProperty(mapi::RELOP_EQ, lPrEmailTag, Variant(psEmail));
        search->SetColumns({mapi::PR_ENTRYID});

        if (pbRestrict) {
            ItemCollection found;
            search->RestrictedWalk([&](const engine::Row& row) {
                auto item = search->OpenRow(row);
                if (CntMatchesLogicalID(item, psEmail, psFirstName, psLastName, psCompany))
                    found.push_back(std::move(item));
                return true;
            });
            result.items = std::move(found);
        } else {
            search->FindWalk([&](const engine::Row& row) {
                auto item = search->OpenRow(row);
                if (!CntMatchesLogicalID(item, psEmail, psFirstName, psLastName, psCompany)) return true;
                if (!result.item) {
                    result.item = std::move(item);
                    return true;
                }
                pbDuplicates = true;
                return false;
            });
        }
        search->Close();
    } catch (...) {
        engine::SetErrFromCurrentException();
        engine::ReportPendingError(kProc);
        if (search) search->Close();
        else engine::LibraryCleanup();
        // A collection is handed out only after the last row; a single match found before
        // the failure stays the result.
        result.items.reset();
    }
    return result;
}

}  // namespace nubra
