#include "standin_host/history/RunRecorder.h"

#include <map>
#include <memory>
#include <vector>

#include "host/Outlook.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/StoreDb.h"

namespace nubra::history {

RunRecorder::RunRecorder(store::Profile& profile, History* history, std::string runId)
    : profile_(profile), history_(history), runId_(std::move(runId)), previous_(store::SetChangeObserver(this)) {}

RunRecorder::~RunRecorder() { store::SetChangeObserver(previous_); }

void RunRecorder::BeginFolder(const host::FolderNode& node) {
    folder_ = node;
    seen_.clear();
    examined_.clear();
    examinedStore_.clear();
    noted_ = 0;
    folderSeq_ = 0;
    if (!history_ || !recordFailure_.empty()) return;
    FolderRecord opened;
    opened.path = node.fullPath;
    try {
        folderSeq_ = history_->BeginFolder(runId_, opened);
    } catch (const AutomationError& e) {
        recordFailure_ = e.Description();
        recordFailureNumber_ = e.Number();
    }
}

void RunRecorder::Fetched(const std::string& storeId, const std::string& entryId) {
    if (previous_) previous_->Fetched(storeId, entryId);
    examined_ = entryId;
    examinedStore_ = storeId;
}

void RunRecorder::Changing(const store::ItemChange& planned) {
    if (previous_) previous_->Changing(planned);
    if (!history_) return;
    if (recordFailure_.empty()) {
        Removal r;
        r.action = std::string(planned.operation) == "Delete" ? "deleting" : "moving";
        r.storeBefore = planned.storeBefore;
        r.entryBefore = planned.entryBefore;
        r.folderBefore = planned.folderBefore;
        r.folderAfter = planned.folderAfter;
        r.duplicateOf = examined_;
        // Where the store groups the removal with others, so does the history with its note
        // (Committing keeps the notes before the store commits).
        const auto store = profile_.StoreById(planned.storeBefore);
        const bool grouped = store && store->GroupingChanges(planned.operation);
        try {
            history_->NoteRemoval(runId_, folderSeq_, noted_ + 1, r, grouped);
            ++noted_;
            if (grouped) groupedIn_.insert(planned.storeBefore);
            return;
        } catch (const AutomationError& e) {
            recordFailure_ = e.Description();
            recordFailureNumber_ = e.Number();
            lostIn_.merge(groupedIn_);
            groupedIn_.clear();
        }
    }
    RaiseError(recordFailureNumber_, "the history cannot record this run, so nothing more is removed: " + recordFailure_,
               "NubraHistory");
}

void RunRecorder::Changed(const store::ItemChange& c) {
    if (previous_) previous_->Changed(c);
    const bool isDelete = std::string(c.operation) == "Delete";
    if (c.kind == store::ItemChange::Failed) {
        lastFailure = c.error;
        if (isDelete) {
            // A duplicate left in place is met again by the scan: counted once.
            failedItems_.insert(c.storeBefore + c.entryBefore);
            failedRemovals = static_cast<int>(failedItems_.size());
        }
        // The note of a removal that did not happen (one the history refused was never made).
        if (history_ && recordFailure_.empty() && noted_ > 0) {
            try {
                history_->DropRemoval(runId_, folderSeq_, noted_--);
            } catch (const AutomationError&) {
                // left as a note: a restore finds the item where it always was
            }
        }
        return;
    }
    seen_.push_back({c, examined_, examinedStore_});
}

void RunRecorder::Committing(const std::string& storeId) {
    if (previous_) previous_->Committing(storeId);
    if (!history_) return;
    if (lostIn_.count(storeId))
        RaiseError(recordFailureNumber_, "the history lost its notes of the last removals: " + recordFailure_,
                   "NubraHistory");
    if (groupedIn_.empty()) return;
    try {
        history_->CommitNotes();
        groupedIn_.clear();
    } catch (const AutomationError& e) {
        lostIn_.merge(groupedIn_);
        groupedIn_.clear();
        if (recordFailure_.empty()) {
            recordFailure_ = e.Description();
            recordFailureNumber_ = e.Number();
        }
        throw;
    }
}

FolderRecord RunRecorder::EndFolder(const host::RemovalResult& result, bool failed) {
    FolderRecord record;
    record.outcome = result.outcome;
    record.removed = result.removed;
    record.failed = failed;
    return Describe(std::move(record));
}

FolderRecord RunRecorder::EndFolderCounted(const std::string& failure) {
    FolderRecord record;
    record.removed = -1;
    record.outcome = failure;
    record.failed = !failure.empty();
    return Describe(std::move(record));
}

FolderRecord RunRecorder::Describe(FolderRecord record) {
    record.path = folder_.fullPath;
    auto ns = profile_.NameSpace();
    std::vector<std::shared_ptr<void>> readTogether;
    if (!seen_.empty())
        for (const auto& store : profile_.StoreDbs()) readTogether.push_back(store->ReadTogether());
    // What the user would recognise an item by, read where it is now; the entry ID of the
    // folder it is in, "" when it is gone for good.
    auto describe = [&](const std::string& entry, const std::string& storeId, std::string* kind, std::string* title,
                        std::string* created) {
        try {
            auto item = ns->GetItemFromID(entry, storeId);
            // Properties only: a connected store would otherwise fetch the whole message.
            const auto data = profile_.ReadItem(*item, store::Profile::Reading::CachedProperties);
            if (kind) *kind = store::KindName(data.Class);
            if (title) *title = store::TitleOf(data);
            if (created) *created = store::UtcText(data.CreationTime);
            return profile_.ParentFolder(*item)->EntryID();
        } catch (const AutomationError&) {
            return std::string();  // gone for good: described by its IDs alone
        }
    };
    // A run's removals come from one folder and go to one or two: each path is looked up once.
    std::map<std::pair<std::string, std::string>, std::string> paths;
    auto pathOf = [&](const std::string& folder, const std::string& storeId) {
        auto [it, added] = paths.try_emplace({folder, storeId});
        if (!added) return it->second;
        try {
            it->second = profile_.FolderPath(*ns->GetFolderFromID(folder, storeId));
        } catch (const AutomationError&) {
            it->second.clear();
        }
        return it->second;
    };
    for (const auto& s : seen_) {
        const auto& c = s.change;
        Removal r;
        r.action = std::string(c.operation) == "Delete" ? "deleted" : "moved";
        r.storeBefore = c.storeBefore;
        r.entryBefore = c.entryBefore;
        r.folderBefore = c.folderBefore;
        r.storeAfter = c.storeAfter;
        r.entryAfter = c.entryAfter;
        r.folderAfter = c.folderAfter;
        r.pathBefore = pathOf(c.folderBefore, c.storeBefore);
        r.pathAfter = c.folderAfter.empty() ? std::string() : pathOf(c.folderAfter, c.storeAfter);
        const std::string now =
            describe(c.entryAfter.empty() ? c.entryBefore : c.entryAfter, c.storeAfter, &r.kind, &r.title, &r.created);
        // A move a connected store put back (its source refused it) did not happen.
        if (r.action == "moved" && now != c.folderAfter) continue;
        // Only notes are deleted by design; anything else went to Deleted Items because it
        // could not be moved into the duplicates folder.
        if (r.action == "deleted" && !r.kind.empty() && r.kind != "note") ++deletedInstead;
        r.duplicateOf = s.examined;
        if (!s.examined.empty()) describe(s.examined, s.examinedStore, nullptr, &r.duplicateOfTitle, nullptr);
        if (record.storeId.empty()) {
            record.storeId = c.storeBefore;
            record.folderId = c.folderBefore;
        }
        record.removals.push_back(std::move(r));
    }
    seen_.clear();
    if (record.removed < 0) {
        record.removed = static_cast<int32_t>(record.removals.size());
        if (!record.failed) record.outcome = std::to_string(record.removed) + " duplicate items removed";
    }
    if (history_ && folderSeq_ > 0) {
        try {
            history_->EndFolder(runId_, folderSeq_, record);
        } catch (const AutomationError& e) {
            if (recordFailure_.empty()) {
                recordFailure_ = e.Description();
                recordFailureNumber_ = e.Number();
            }
        }
    }
    folderSeq_ = 0;
    return record;
}

RecordedRun::RecordedRun(store::Profile& profile, const std::string& command)
    : history_(History::FileFor(profile.Directory())), id_(history_.BeginRun(command)),
      recorder_(std::make_unique<RunRecorder>(profile, &history_, id_)) {}

RecordedRun::~RecordedRun() {
    if (ended_) return;
    try {
        End("failed");
    } catch (const AutomationError&) {
        // shown as interrupted once this process has ended
    }
}

void RecordedRun::End(const std::string& status) {
    ended_ = true;
    history_.EndRun(id_, recorder_->RecordFailure().empty() ? status : "failed");
}

}  // namespace nubra::history
