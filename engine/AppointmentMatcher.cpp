// Appointments: the same start and end (table search on the UTC times), the same subject and
// location ignoring letter case (checked on each candidate), with a looser subject rule for
// birthday and anniversary entries.

#include <string>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "engine/TableSearch.h"
#include "engine/clsFldMon.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"
#include "host/Text.h"

namespace nubra {

namespace {
constexpr const char* kLogPrefix = "clsAppProc.FindAppOnLogicalID: ";
constexpr const char* kPsetidAppointment = "{00062002-0000-0000-C000-000000000046}";
constexpr int16_t kLidLocation = static_cast<int16_t>(0x8208);
constexpr int16_t kLidStart = static_cast<int16_t>(0x820D);
constexpr int16_t kLidEnd = static_cast<int16_t>(0x820E);

std::u16string Upper(std::u16string_view s) { return text::ToUpper(s); }

std::u16string U(const std::string& s) { return text::ToUtf16(s); }

// The first k - 4 characters of the candidate's subject against those of the argument, when
// `word` occurs in the candidate's subject at 1-based position k.
bool AgreesBefore(const std::u16string& candidate, const std::u16string& argument, const char16_t* word,
                  bool& wordFound) {
    const size_t pos = candidate.find(word);
    wordFound = pos != std::u16string::npos;
    if (!wordFound) return false;
    const size_t k = pos + 1;
    if (k < 5) return false;
    const size_t n = k - 4;
    return Upper(std::u16string_view(candidate).substr(0, n)) == Upper(std::u16string_view(argument).substr(0, n));
}
}  // namespace

bool clsFldMon::AppMatchesLogicalID(const outlook::ItemRef& item, const std::string& psSubject,
                                    const std::string& psLocation) {
    const std::u16string s = U(item->Subject());
    const std::u16string p = U(psSubject);
    bool subjectAgrees = Upper(p) == Upper(s);
    if (!subjectAgrees) {
        bool found = false;
        subjectAgrees = AgreesBefore(s, p, u"Birthday", found);
        if (!found) subjectAgrees = AgreesBefore(s, p, u"Anniversary", found);
    }
    if (!subjectAgrees) return false;
    return Upper(U(engine::TrimSpaces(psLocation))) == Upper(U(engine::TrimSpaces(item->Location())));
}

void clsFldMon::GetGMTstartEndTimes(const outlook::ItemRef& poApp, std::string& psStartGMT,
                                    std::string& psEndGMT) {
    engine::ReadGmtDates(poApp, mapi::kProgIdSafeAppointmentItem, kPsetidAppointment, kLidStart, kLidEnd, psStartGMT,
                         psEndGMT, "clsAppProcessor.GetGMTstartEndTimes");
}

SearchResult clsFldMon::FindAppOnLogicalID(const outlook::FolderRef& poFld, std::string& psStart,
                                           std::string& psEnd, std::string& psLocation, std::string& psSubject,
                                           bool& /*pbDuplicates*/, bool /*pbNoQoSCid*/, bool /*pbRestrict*/) {
    int16_t marker = 0;
    Date startDate = 0;
    SearchResult result;
    std::unique_ptr<engine::TableSearch> search;
    try {
        Err().Clear();
        auto items = poFld->Items();
        const int32_t count = items->Count();
        if (count == 0) return result;

        switch (moAppTagFld.Remember(poFld)) {
            case TagFolder::Check::Changed:
                lAppLocationTag = lAppStartTag = lAppEndTag = 0;
                marker = 2;
                break;
            case TagFolder::Check::FirstTime: marker = 3; break;
            case TagFolder::Check::Same: break;
        }
        if (lAppLocationTag == 0) {
            // Outlook 2000 resolves the names through an appointment of the folder; later
            // releases through the folder itself, which always yields a tag.
            if (Variant(gsOlVersion).AsLong() == 2000) {
                if (auto app = engine::FirstItemOfClass(*items, outlook::olAppointment)) {
                    auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeAppointmentItem);
                    safe->SetItem(app);
                    lAppLocationTag = safe->GetNamedPropertyTag(kPsetidAppointment, kLidLocation) |
                                      static_cast<int32_t>(mapi::PT_STRING8);
                    marker = 4;
                    lAppStartTag = safe->GetNamedPropertyTag(kPsetidAppointment, kLidStart) |
                                   static_cast<int32_t>(mapi::PT_SYSTIME);
                    marker = 5;
                    lAppEndTag = safe->GetNamedPropertyTag(kPsetidAppointment, kLidEnd) |
                                 static_cast<int32_t>(mapi::PT_SYSTIME);
                    marker = 6;
                }
            } else {
                marker = 31;
                if (!goredUtil) RaiseError(errnum::kObjectVariableNotSet);
                lAppLocationTag = goredUtil->GetNamedPropertyTag(poFld, kPsetidAppointment, kLidLocation, false) |
                                  static_cast<int32_t>(mapi::PT_STRING8);
                marker = 4;
                lAppStartTag = goredUtil->GetNamedPropertyTag(poFld, kPsetidAppointment, kLidStart, false) |
                               static_cast<int32_t>(mapi::PT_SYSTIME);
                marker = 5;
                lAppEndTag = goredUtil->GetNamedPropertyTag(poFld, kPsetidAppointment, kLidEnd, false) |
                             static_cast<int32_t>(mapi::PT_SYSTIME);
                marker = 6;
            }
            if (lAppLocationTag == 0 || lAppStartTag == 0 || lAppEndTag == 0) {
                engine::Log(std::string(kLogPrefix) + "hex tags in " + poFld->Name() +
                            " not set: no appointmentitem in this folder found while #items = " +
                            std::to_string(count));
                engine::LibraryCleanup();
                return result;
            }
        }

        engine::ReplaceAll(psSubject, engine::kCrLfMarker, engine::kCrLf);
        marker = 7;

        Err().Clear();
        startDate = qoCDate(psStart);
        if (Err().Number != 0) {
            engine::Log(std::string(kLogPrefix) + "error# " + std::to_string(Err().Number) +
                        " while trying to convert " + psStart + " to a valid date");
            Err().Clear();
        }
        const Date endDate = qoCDate(psEnd);

        search = std::make_unique<engine::TableSearch>(poFld, items);
        search->Begin();
        marker = 10;
        search->AddProperty(mapi::RELOP_EQ, lAppStartTag, Variant::FromDate(startDate));
        marker = 11;
        search->AddProperty(mapi::RELOP_EQ, lAppEndTag, Variant::FromDate(endDate));
        marker = 12;
        search->SetColumns({mapi::PR_ENTRYID});
        marker = 13;

        ItemCollection found;
        search->FindWalk([&](const engine::Row& row) {
            marker = 14;
            const std::string hex = search->RowEntryIdHex(row);
            marker = 15;
            auto item = search->OpenItem(hex);
            marker = 16;
            if (AppMatchesLogicalID(item, psSubject, psLocation)) found.push_back(std::move(item));
            return true;
        });
        result.items = std::move(found);
        search->Close(/*clearFilter=*/true);
    } catch (...) {
        const ErrObject& err = engine::SetErrFromCurrentException();
        const int32_t number = err.Number;
        const std::string description = err.Description;
        engine::Log(std::string(kLogPrefix) + "error# (NS) " + std::to_string(number) + " " + description +
                    " linenumber: " + std::to_string(marker) + " Parameters: starttime(gmt) " + psStart + " " +
                    dates::FormatGeneralDate(startDate) + "; endtime(gmt) " + psEnd + "; subject: " + psSubject +
                    "; location: " + psLocation + " locationTag: " + std::to_string(lAppLocationTag));
        // The search objects go with `search`; the library is left as it is for the caller.
        RaiseError(number, "FindAppOnLogicalID: " + description, "FindAppOnLogicalID");
    }
    return result;
}

}  // namespace nubra
