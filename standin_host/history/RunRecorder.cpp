#include "standin_host/history/RunRecorder.h"

#include <map>

#include "host/Outlook.h"
#include "standin_host/store/Profile.h"

namespace nubra::history {

RunRecorder::RunRecorder(store::Profile& profile)
    : profile_(profile), previous_(store::SetChangeObserver(this)) {}

RunRecorder::~RunRecorder() { store::SetChangeObserver(previous_); }

void RunRecorder::BeginFolder(const host::FolderNode& node) {
    folder_ = node;
    seen_.clear();
    examined_.clear();
    examinedStore_.clear();
    movePending_ = false;
}

void RunRecorder::Fetched(const std::string& storeId, const std::string& entryId) {
    if (previous_) previous_->Fetched(storeId, entryId);
    examined_ = entryId;
    examinedStore_ = storeId;
}

void RunRecorder::Changed(const store::ItemChange& c) {
    if (previous_) previous_->Changed(c);
    const bool isDelete = std::string(c.operation) == "Delete";
    if (c.kind == store::ItemChange::Failed) {
        lastFailure = c.error;
        if (isDelete) ++failedRemovals;
        else movePending_ = true;
        return;
    }
    // The engine deletes a duplicate that it could not move.
    if (isDelete && movePending_) ++deletedInstead;
    movePending_ = false;
    seen_.push_back({c, examined_, examinedStore_});
}

FolderRecord RunRecorder::EndFolder(const host::RemovalResult& result, bool failed) {
    FolderRecord record;
    record.path = folder_.fullPath;
    record.outcome = result.outcome;
    record.removed = result.removed;
    record.failed = failed;
    auto ns = profile_.NameSpace();
    // What the user would recognise an item by, read where it is now.
    auto describe = [&](const std::string& entry, const std::string& storeId, std::string* kind, std::string* title,
                        std::string* created) {
        try {
            auto item = ns->GetItemFromID(entry, storeId);
            // Properties only: a connected store would otherwise fetch the whole message.
            const auto data = profile_.ReadItem(*item, store::Profile::Reading::CachedProperties);
            if (kind) *kind = store::KindName(data.Class);
            if (title) *title = store::TitleOf(data);
            if (created) *created = store::UtcText(data.CreationTime);
        } catch (const AutomationError&) {
            // gone for good: described by its IDs alone
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
        describe(c.entryAfter.empty() ? c.entryBefore : c.entryAfter, c.storeAfter, &r.kind, &r.title, &r.created);
        r.duplicateOf = s.examined;
        if (!s.examined.empty()) describe(s.examined, s.examinedStore, nullptr, &r.duplicateOfTitle, nullptr);
        if (record.storeId.empty()) {
            record.storeId = c.storeBefore;
            record.folderId = c.folderBefore;
        }
        record.removals.push_back(std::move(r));
    }
    seen_.clear();
    return record;
}

}  // namespace nubra::history
