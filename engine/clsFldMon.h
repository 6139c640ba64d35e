// The duplicate engine: walks one folder, computes each item's logical ID, finds the items of
// the same folder that carry the same logical ID with a kind-specific table search, keeps the
// oldest of each group and moves the others into "Nubra_Duplicate_Items" (notes are deleted).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/Automation.h"
#include "host/Controls.h"
#include "host/Outlook.h"

namespace nubra {

using ItemCollection = std::vector<outlook::ItemRef>;

// What a matcher hands back: nothing, a collection of items in table order (possibly empty),
// or one item. An empty collection and nothing are different answers.
struct SearchResult {
    std::optional<ItemCollection> items;  // collect mode
    outlook::ItemRef item;                // single mode

    bool IsNothing() const { return !items && !item; }
    bool IsCollection() const { return items.has_value(); }
    // Number of items held: the collection's size, 1 for a single item, 0 for nothing.
    size_t Count() const { return items ? items->size() : (item ? 1 : 0); }
};

// Name of the subfolder that receives the duplicates of a scanned folder.
inline constexpr const char* kDuplicatesFolderName = "Nubra_Duplicate_Items";

class clsFldMon {
public:
    clsFldMon() = default;

    // Removes the duplicates of `poFld` and returns how many were moved or deleted. Writes
    // only the Value of `pProgBar`, whose range the caller set to the folder's item count.
    int32_t RemDuplicatesInFld(const outlook::FolderRef& poFld, ProgressBar& pProgBar);

    // The four strings that identify an item of its kind. Raises 920 when they cannot be
    // computed; strings written before the failure keep their values.
    void GetItemLogicalIDs(const outlook::ItemRef& poItem, std::string& psLogID1, std::string& psLogID2,
                           std::string& psLogID3, std::string& psLogID4);

    // Contacts whose first, last and company name and first e-mail address equal the given
    // (trimmed) strings exactly.
    SearchResult FindCntOnLogicalID(const outlook::FolderRef& poOlFld, std::string& psFirstName,
                                    std::string& psLastName, std::string& psCompany, std::string& psEmail,
                                    bool& pbDuplicates, bool pbNoQoSCid = false, bool pbRestrict = false);

    // Appointments with the same start and end (GMT text) and the same subject and location,
    // both compared without regard to case. Always a collection (or nothing). " CrLf " in
    // psSubject is turned into a line break in the caller's string. Raises what fails.
    SearchResult FindAppOnLogicalID(const outlook::FolderRef& poFld, std::string& psStart, std::string& psEnd,
                                    std::string& psLocation, std::string& psSubject, bool& pbDuplicates,
                                    bool pbNoQoSCid = false, bool pbRestrict = false);

    // Tasks with the same status, start and due dates (empty text: no such date) and the
    // exact same subject. " CrLf " in psSubject becomes a line break in the caller's string.
    // Raises what fails.
    SearchResult FindTaskOnLogicalID(const outlook::FolderRef& poOlFld, std::string& psStart, std::string& psDue,
                                     std::string& psStatus, std::string& psSubject, bool& pbDuplicates,
                                     bool pbNoQoSCid = false, bool pbRestrict = false);

    // Notes with the same subject, colour and text (line breaks CR LF ignored).
    SearchResult FindNoteOnLogicalID(const outlook::FolderRef& poFld, std::string& psSubject, std::string& psBody,
                                     int32_t& plColor, bool pbNoQoSCid = false, bool pbRestrict = false);

    // Mail and post items: same internet message ID; else same subject with a submit time
    // within one second; else (unsent) same subject among unsent mail and post items.
    // " CrLf " in psSubject becomes a line break in the caller's string when the subject is
    // searched.
    SearchResult FindMailOnLogicalID(const outlook::FolderRef& poFld, std::string& psIntMsgID, Date& pdSubmitTime,
                                     std::string& psSubject, bool& pbDuplicates, bool pbNoQoSCid = false,
                                     bool pbRestrict = false);

    // Start and end of an appointment as GMT text ("" for a missing value).
    void GetGMTstartEndTimes(const outlook::ItemRef& poApp, std::string& psStartGMT, std::string& psEndGMT);
    // Start and due date of a task as GMT text ("" for a missing date).
    void GetGMTstartdueDates(const outlook::ItemRef& poTask, std::string& psStartDateGMT,
                             std::string& psDueDateGMT);

private:
    bool CntMatchesLogicalID(const outlook::ItemRef& item, const std::string& psEmail,
                             const std::string& psFirstName, const std::string& psLastName,
                             const std::string& psCompany);
    bool AppMatchesLogicalID(const outlook::ItemRef& item, const std::string& psSubject,
                             const std::string& psLocation);
    bool NoteMatchesLogicalID(const outlook::ItemRef& item, const std::string& psBody);

    // The folder a group of cached named-property tags was resolved for.
    struct TagFolder {
        outlook::FolderRef folder;
        Variant defaultValue;
        // Remembers `fld` when nothing is remembered yet or when it is another folder than the
        // remembered one. True when the remembered folder was replaced (the tags must be reset).
        enum class Check { Same, FirstTime, Changed };
        Check Remember(const outlook::FolderRef& fld);
    };

    int32_t lNoteColorTag = 0;
    TagFolder moNoteTagFld;
    int32_t lPrEmailTag = 0;
    TagFolder moCntTagFld;
    int32_t lAppLocationTag = 0;
    int32_t lAppStartTag = 0;
    int32_t lAppEndTag = 0;
    TagFolder moAppTagFld;
    int32_t lTaskStatusTag = 0;
    int32_t lTaskStartTag = 0;
    int32_t lTaskDueTag = 0;
    TagFolder moTaskTagFld;
};

}  // namespace nubra
