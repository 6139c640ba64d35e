// The folder scan: visits every item of a folder once, asks the matcher of the item's kind
// for its group and removes all but the oldest of each group.

#include "engine/clsFldMon.h"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "globals/NubraGlobals.h"
#include "engine/EngineSupport.h"
#include "host/Platform.h"

namespace nubra {

namespace {
constexpr const char* kProc = "clsFldMon.RemDuplicatesInFld";
const std::string kLogPrefix = "clsFldMon.RemDuplicatesInFld: ";

using engine::Resume;

std::string UpperAscii(std::string s) {
    // By the byte's value, not the C library's locale: an entry ID is hex, and a call per byte
    // costs more than the test.
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The item's entry ID in upper case, read twice before giving up ("" then): the scan's
// bookkeeping of positions depends on it.
std::string EntryIdOf(const outlook::ItemRef& item) {
    std::string id;
    if (Resume([&] { id = UpperAscii(item->EntryID()); }) || Resume([&] { id = UpperAscii(item->EntryID()); }))
        return id;
    return {};
}

// The matcher of the item's kind; other kinds have no duplicates.
SearchResult MatchItem(clsFldMon& mon, const outlook::FolderRef& fld, int32_t cls, std::string& id1,
                       std::string& id2, std::string& id3, std::string& id4) {
    bool duplicatesFlag = false;
    switch (cls) {
        case outlook::olContact:
            return mon.FindCntOnLogicalID(fld, id1, id2, id3, id4, duplicatesFlag, false, true);
        case outlook::olAppointment:
            return mon.FindAppOnLogicalID(fld, id1, id2, id3, id4, duplicatesFlag, false, false);
        case outlook::olTask:
            return mon.FindTaskOnLogicalID(fld, id1, id2, id3, id4, duplicatesFlag, false, true);
        case outlook::olNote: {
            int32_t colour = Variant(id3).AsLong();
            return mon.FindNoteOnLogicalID(fld, id1, id2, colour, false, true);
        }
        case outlook::olMail:
        case outlook::olPost: {
            Date submitTime = id2.empty() ? 0 : qoCDate(id2);
            return mon.FindMailOnLogicalID(fld, id1, submitTime, id3, duplicatesFlag, false, true);
        }
        default: return {};
    }
}

// The subfolder that receives the duplicates: the last one named exactly so, else a new one.
// Nothing when neither can be had (the caller tries again at the next duplicate).
outlook::FolderRef FindDuplicatesFolder(outlook::MAPIFolder& parent) {
    outlook::FolderRef found;
    std::shared_ptr<outlook::Folders> subfolders;
    if (!Resume([&] { subfolders = parent.Folders(); }) || !subfolders) return nullptr;
    int32_t count = 0;
    Resume([&] { count = subfolders->Count(); });
    for (int32_t i = 1; i <= count; ++i) {
        Resume([&] {
            auto folder = subfolders->Item(i);
            if (folder && folder->Name() == kDuplicatesFolderName) found = folder;
        });
    }
    if (!found) Resume([&] { found = subfolders->Add(kDuplicatesFolderName); });
    return found;
}

// The state of one scan.
struct Scan {
    Scan(const outlook::FolderRef& fld, ProgressBar& bar) : folder(fld), progressBar(bar) {}

    const outlook::FolderRef& folder;
    ProgressBar& progressBar;

    int32_t index = 1;
    int32_t progress = 1;
    int32_t removed = 0;
    int32_t startCount = 0;
    outlook::FolderRef duplicatesFolder;
    // Entry IDs of the visited items still in the folder: exactly the items at positions
    // 1..index. A removal that takes one of them out moves every later item one place up, so
    // the position goes back by one for each; no item is skipped or visited twice.
    std::unordered_set<std::string> visited;

    void ShowProgress() {
        progressBar.SetValue(static_cast<float>(std::clamp(progress, int32_t{0}, startCount)));
    }

    // Keeps the oldest item of the group and removes the others. Returns how many of the
    // removed items had been visited already.
    int32_t RemoveGroup(ItemCollection& group, const outlook::ItemRef& current, bool isNote,
                        const std::string (&ids)[4]) {
        engine::Log(kLogPrefix + std::to_string(group.size() - 1) + " duplicate items found for item with logID's: " +
                    ids[0] + "; " + ids[1] + "; " + ids[2] + "; " + ids[3]);

        // Strictly earlier wins, so of equal creation times the first in the result stays.
        size_t keep = 0;
        bool haveOldest = false;
        Date oldest = 0;
        for (size_t i = 0; i < group.size(); ++i) {
            Date created = 0;
            if (!Resume([&] { created = group[i]->CreationTime(); })) continue;
            if (!haveOldest || created < oldest) {
                keep = i;
                oldest = created;
                haveOldest = true;
            }
        }
        group.erase(group.begin() + static_cast<std::ptrdiff_t>(keep));

        if (!isNote) {
            std::string subject;
            Resume([&] { subject = current->Subject(); });
            engine::Log(kLogPrefix + std::to_string(group.size()) + " duplicates for item " + subject +
                        " will be moved");
        }

        int32_t visitedRemoved = 0;
        for (size_t i = group.size(); i-- > 0;) {
            const outlook::ItemRef& duplicate = group[i];
            const std::string entryId = EntryIdOf(duplicate);
            bool gone = false;
            if (isNote) {
                gone = Resume([&] { duplicate->Delete(); });
            } else {
                if (!duplicatesFolder) duplicatesFolder = FindDuplicatesFolder(*folder);
                try {
                    if (!duplicatesFolder) RaiseError(errnum::kObjectVariableNotSet);
                    duplicate->Move(*duplicatesFolder);
                    gone = true;
                } catch (...) {
                    const ErrObject& err = engine::SetErrFromCurrentException();
                    engine::Log(kLogPrefix + "error# " + std::to_string(err.Number) +
                                " ignored while moving item. Item is deleted, Error = " + err.Description);
                    gone = Resume([&] { duplicate->Delete(); });
                }
            }
            Resume([] { ThePlatform().DoEvents(); });
            // Only an item that really left the folder counts: one whose move and deletion
            // both failed is still there, and a count that included it would report a
            // failure as success.
            if (!gone) continue;
            ++progress;
            ++removed;
            if (!entryId.empty() && visited.erase(entryId) > 0) ++visitedRemoved;
        }
        return visitedRemoved;
    }

    // Remembers the item at the current position as visited. Its identity matters even when
    // the item is skipped: should it later be removed as another item's duplicate, the items
    // behind it move up. A failed read is tried once more, fetching the item again if need be.
    void Visit(outlook::Items& items, const outlook::ItemRef& item) {
        std::string entryId = item ? EntryIdOf(item) : std::string();
        if (entryId.empty()) Resume([&] { entryId = EntryIdOf(items.Item(index)); });
        if (!entryId.empty()) visited.insert(std::move(entryId));
    }
};
}  // namespace

clsFldMon::TagFolder::Check clsFldMon::TagFolder::Remember(const outlook::FolderRef& fld) {
    Variant value = fld->DefaultValue();
    if (!folder) {
        folder = fld;
        defaultValue = std::move(value);
        return Check::FirstTime;
    }
    if (value == defaultValue) return Check::Same;
    folder = fld;
    defaultValue = std::move(value);
    return Check::Changed;
}

int32_t clsFldMon::RemDuplicatesInFld(const outlook::FolderRef& poFld, ProgressBar& pProgBar) {
    Scan scan(poFld, pProgBar);
    int16_t marker = 0;
    // Up to and including the first item's search a failure ends the scan; from then on a
    // failing step is skipped.
    bool firstItemPending = true;
    std::string folderName;
    try {
        Err().Clear();
        folderName = poFld->Name();
        engine::Log(kLogPrefix + "removing duplicate items from folder " + folderName);
        marker = 1;
        auto items = poFld->Items();
        scan.startCount = items->Count();
        scan.visited.reserve(static_cast<size_t>(std::max(scan.startCount, int32_t{0})));

        for (;;) {
            int32_t count = 0;
            if (firstItemPending)
                count = items->Count();
            else if (!Resume([&] { count = items->Count(); }) && !Resume([&] { count = items->Count(); }))
                break;  // read twice in vain: the folder cannot be walked any further
            if (scan.index > count) break;

            if (firstItemPending)
                scan.ShowProgress();
            else
                Resume([&] { scan.ShowProgress(); });

            outlook::ItemRef item;
            std::string ids[4];
            bool visited = false;
            auto fetch = [&] {
                item = items->Item(scan.index);
                scan.Visit(*items, item);
                visited = true;
                GetItemLogicalIDs(item, ids[0], ids[1], ids[2], ids[3]);
            };
            if (firstItemPending) {
                marker = 2;
                fetch();
            } else if (!Resume(fetch)) {
                if (!visited) scan.Visit(*items, item);
                ++scan.index;
                ++scan.progress;
                continue;
            }

            int32_t cls = 0;
            SearchResult group;
            auto match = [&] {
                cls = item->Class();
                group = MatchItem(*this, poFld, cls, ids[0], ids[1], ids[2], ids[3]);
            };
            if (firstItemPending) {
                marker = 3;
                match();
                firstItemPending = false;
            } else if (!Resume(match)) {
                group = SearchResult{};
            }

            int32_t visitedRemoved = 0;
            if (group.items && group.items->size() > 1)
                visitedRemoved = scan.RemoveGroup(*group.items, item, cls == outlook::olNote, ids);
            scan.index = scan.index + 1 - visitedRemoved;
            ++scan.progress;
        }
    } catch (...) {
        engine::SetErrFromCurrentException();
        if (firstItemPending) {
            if (goErrHandler) goErrHandler->LineNumber(marker);
            engine::ReportPendingError(kProc);
            return 0;
        }
        // Past the first item nothing ends the scan but what escaped every step: stop here
        // and report what was removed.
    }
    engine::Log(kLogPrefix + "READY removing duplicates from folder " + folderName);
    return scan.removed;
}

}  // namespace nubra
