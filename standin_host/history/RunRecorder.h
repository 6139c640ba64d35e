// Watches removal runs as they happen, for the history and the dry-run report: which item the
// scan was examining, what was moved or deleted (and where to), what failed. One recorder is
// installed as the store's change observer for as long as it lives; the folders are told
// through BeginFolder and EndFolder, and the scan's steps through the progress bar that
// StepBar wraps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/Controls.h"
#include "host/DialogHost.h"
#include "standin_host/history/History.h"
#include "standin_host/store/ChangeObserver.h"

namespace nubra::store {
class Profile;
}

namespace nubra::history {

class RunRecorder : public store::ChangeObserver {
public:
    // `profile` (observed) is the profile the runs change; items are read there when a folder
    // ends, to describe them.
    explicit RunRecorder(store::Profile& profile);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // A scan step begins: the next item opened by position is the one the scan examines.
    void StepBegins() { armed_ = true; }

    void BeginFolder(const host::FolderNode& node);
    // The folder's record: its removals described, in the order they happened.
    FolderRecord EndFolder(const host::RemovalResult& result, bool failed);

    // Over all folders so far.
    int failedRemovals = 0;   // duplicates left in place: their move and delete both failed
    int deletedInstead = 0;   // duplicates that went to Deleted Items because the move failed
    std::string lastFailure;  // the reason of the last failed move or delete

    void Changed(const store::ItemChange& change) override;
    void Fetched(const std::string& storeId, const std::string& entryId) override;

private:
    struct Seen {
        store::ItemChange change;
        std::string examined;  // entry ID of the item being examined then
        std::string examinedStore;
    };
    store::Profile& profile_;
    store::ChangeObserver* previous_;
    bool armed_ = false;
    bool movePending_ = false;
    std::string examined_, examinedStore_;
    host::FolderNode folder_;
    std::vector<Seen> seen_;
};

// A progress bar that tells the recorder at each step of a scan, and passes everything on.
class StepBar : public ProgressBar {
public:
    StepBar(ProgressBar& inner, RunRecorder& recorder) : inner_(inner), recorder_(recorder) {}
    float Min() const override { return inner_.Min(); }
    void SetMin(float v) override { inner_.SetMin(v); }
    float Max() const override { return inner_.Max(); }
    void SetMax(float v) override { inner_.SetMax(v); }
    float Value() const override { return inner_.Value(); }
    void SetValue(float v) override {
        recorder_.StepBegins();
        inner_.SetValue(v);
    }

private:
    ProgressBar& inner_;
    RunRecorder& recorder_;
};

}  // namespace nubra::history
