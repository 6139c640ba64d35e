#include "standin_host/client/StoreChanges.h"

#include "standin_host/store/ChangeObserver.h"

namespace nubra::client {

namespace {

// Installed once and never removed: an observer installed later (the command line's run
// recorder) keeps a pointer to it as the one to put back, so it must outlive every such one.
class ChangeFeed : public store::ChangeObserver {
public:
    ChangeFeed() : previous_(store::SetChangeObserver(this)) {}

    void Changed(const store::ItemChange& change) override {
        if (previous_) previous_->Changed(change);
        changed.Raise();
    }
    void Fetched(const std::string& storeId, const std::string& entryId) override {
        if (previous_) previous_->Fetched(storeId, entryId);
    }

    Event<> changed;

private:
    store::ChangeObserver* previous_;
};

}  // namespace

std::unique_ptr<Subscription> WatchStoreChanges(std::function<void()> changed) {
    static ChangeFeed* const feed = new ChangeFeed;  // reachable through the store's pointer
    return feed->changed.Subscribe(std::move(changed));
}

}  // namespace nubra::client
