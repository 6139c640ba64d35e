#include "addin/AddinState.h"

#include <memory>
#include <vector>

#include "globals/NubraGlobals.h"
#include "ui/FolderTree.h"
#include "ui/RemovalRun.h"
#include "ui/TreeNodeList.h"

namespace nubra::addin {

namespace {
int gLiveObjects = 0;
int gScans = 0;
std::function<bool()> gProbe;
std::vector<std::function<void()>> gPending;
std::function<void(std::function<void()>)> gPoster;
ShowDialogHook gShowHook;
std::function<void()> gCloseHook;

void Kick() {
    if (gPoster) gPoster([] { RunPendingIfIdle(); });
}

// What the hook of a host without windows is handed: the dialog's tree and its run.
class Services : public DialogServices {
public:
    std::vector<host::FolderNode> FolderTree() override {
        nodes_ = std::make_unique<ui::TreeNodeList>();
        tree_ = std::make_unique<ui::FolderTree>(*nodes_);
        tree_->FillTreeView();
        std::vector<host::FolderNode> out;
        for (int i = 1; i <= nodes_->Count(); ++i) {
            const auto& node = nodes_->At(i);
            host::FolderNode n{node.Key(), node.FullPath(), node.Image(), node.Index()};
            if (const auto id = tree_->IdentityOf(node.Key())) {
                n.storeId = id->storeId;
                n.entryId = id->entryId;
            }
            out.push_back(std::move(n));
        }
        return out;
    }
    host::RemovalResult RemoveDuplicates(const std::string& nodeKey, ProgressBar& bar) override {
        const auto* node = nodes_ ? nodes_->Find(nodeKey) : nullptr;
        if (!node) RaiseError(errnum::kObjectVariableNotSet);
        auto folder = ui::FolderOfNode(*tree_, *node);
        std::unique_ptr<ScanGuard> scanning;
        ui::RemovalRun run({}, [&](bool on) {
            if (on) scanning = std::make_unique<ScanGuard>();
            else scanning.reset();
        });
        return run.Run(folder, bar);
    }
    void HandleError(const std::string& procedure) override {
        if (goErrHandler) goErrHandler->HandleError(procedure);
    }
    std::string LogFile() override { return goLog ? goLog->FullPath() : std::string(); }

private:
    std::unique_ptr<ui::TreeNodeList> nodes_;
    std::unique_ptr<ui::FolderTree> tree_;
};
}  // namespace

LiveObject::LiveObject() { ++gLiveObjects; }
LiveObject::LiveObject(const LiveObject&) { ++gLiveObjects; }
LiveObject::~LiveObject() { --gLiveObjects; }
int LiveObjects() { return gLiveObjects; }

ScanGuard::ScanGuard() { ++gScans; }
ScanGuard::~ScanGuard() {
    if (--gScans == 0 && !gPending.empty()) {
        if (gPoster) Kick();
        else RunPendingIfIdle();
    }
}

bool ScanRunning() { return gScans > 0 || (gProbe && gProbe()); }
void SetScanProbe(std::function<bool()> probe) { gProbe = std::move(probe); }

void WhenNoScanRuns(std::function<void()> work) {
    if (!ScanRunning()) {
        work();
        return;
    }
    gPending.push_back(std::move(work));
    Kick();
}

void RunPendingIfIdle() {
    if (gPending.empty()) return;
    if (ScanRunning()) {
        Kick();
        return;
    }
    auto work = std::move(gPending);
    gPending.clear();
    for (auto& w : work) w();
}

void SetLaterPoster(std::function<void(std::function<void()>)> poster) { gPoster = std::move(poster); }

bool Busy() { return ScanRunning() || !gPending.empty(); }

void SetShowDialogHook(ShowDialogHook hook) { gShowHook = std::move(hook); }
bool HasShowDialogHook() { return static_cast<bool>(gShowHook); }

void ShowDialog() {
    if (!gShowHook) RaiseError(errnum::kInvalidProcedureCall, "This host cannot show the dialog", "Nubra");
    // A copy: the hook may install another one while it runs.
    auto hook = gShowHook;
    Services services;
    hook(services);
}

void SetCloseDialogHook(std::function<void()> hook) { gCloseHook = std::move(hook); }

void CloseDialog() {
    if (!gCloseHook) return;
    try {
        gCloseHook();
    } catch (...) {
    }
}

}  // namespace nubra::addin
