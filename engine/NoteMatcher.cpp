// Notes: same subject and colour (table search), same text apart from CR LF line breaks and
// surrounding spaces (checked on each candidate).

#include <string>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "engine/TableSearch.h"
#include "engine/clsFldMon.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"

namespace nubra {

namespace {
constexpr const char* kProc = "clsMailProc.FindNoteOnLogicalID";
constexpr const char* kLogPrefix = "clsAppProc.FindNoteOnLogicalID: ";
constexpr const char* kPsetidNote = "{0006200E-0000-0000-C000-000000000046}";
constexpr int16_t kLidNoteColor = static_cast<int16_t>(0x8B00);

std::string NormaliseNoteText(std::string text) {
    engine::ReplaceAll(text, engine::kCrLf, "");
    return engine::TrimSpaces(text);
}
}  // namespace

bool clsFldMon::NoteMatchesLogicalID(const outlook::ItemRef& item, const std::string& psBody) {
    auto safe = CreateObjectAs<mapi::SafeItem>(mapi::kProgIdSafeMailItem);
    safe->SetItem(item);
    const std::string body = NormaliseNoteText(safe->Body());
    const bool matches = item->Class() == outlook::olNote && body == NormaliseNoteText(psBody);
    return matches;
}

SearchResult clsFldMon::FindNoteOnLogicalID(const outlook::FolderRef& poFld, std::string& psSubject,
                                            std::string& psBody, int32_t& plColor, bool /*pbNoQoSCid*/,
                                            bool pbRestrict) {
    SearchResult result;
    std::unique_ptr<engine::TableSearch> search;
    try {
        Err().Clear();
        auto items = poFld->Items();
        if (items->Count() == 0) return result;

        if (moNoteTagFld.Remember(poFld) == TagFolder::Check::Changed) lNoteColorTag = 0;
        if (lNoteColorTag == 0) {
            if (auto note = engine::FirstItemOfClass(*items, outlook::olNote)) {
                if (!goredUtil) RaiseError(errnum::kObjectVariableNotSet);
                lNoteColorTag = goredUtil->GetNamedPropertyTag(note, kPsetidNote, kLidNoteColor, false) |
                                static_cast<int32_t>(mapi::PT_LONG);
                engine::Log(std::string(kLogPrefix) + "hex Color tag: " + engine::HexTag(lNoteColorTag));
            }
        }
        if (lNoteColorTag == 0) {
            engine::Log(std::string(kLogPrefix) + "hex tag in " + poFld->Name() +
                        " not set: no noteitem in this folder found");
            engine::LibraryCleanup();
            return result;
        }

        search = std::make_unique<engine::TableSearch>(poFld, items);
        search->Begin();
        search->AddProperty(mapi::RELOP_EQ, mapi::PR_CONVERSATION_TOPIC, Variant(psSubject));
        search->AddProperty(mapi::RELOP_EQ, lNoteColorTag, Variant(plColor));
        search->SetColumns({mapi::PR_ENTRYID});

        if (pbRestrict) {
            ItemCollection found;
            search->RestrictedWalk([&](const engine::Row& row) {
                auto item = search->OpenRow(row);
                if (NoteMatchesLogicalID(item, psBody)) found.push_back(std::move(item));
                return true;
            });
            result.items = std::move(found);
        } else {
            search->FindWalk([&](const engine::Row& row) {
                auto item = search->OpenRow(row);
                if (!NoteMatchesLogicalID(item, psBody)) return true;
                result.item = std::move(item);
                return false;
            });
        }
        search->Close();
    } catch (...) {
        engine::SetErrFromCurrentException();
        engine::ReportPendingError(kProc);
        if (search) search->Close();
        else engine::LibraryCleanup();
        result = SearchResult{};
    }
    return result;
}

}  // namespace nubra
