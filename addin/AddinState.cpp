#include "addin/AddinState.h"

#include <vector>

#include "addin/NubraGlobals.h"
#include "engine/clsFldMon.h"

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

class Services : public DialogServices {
public:
    std::shared_ptr<outlook::NameSpace> NameSpace() override {
        if (!goOlNameSpace) RaiseError(errnum::kObjectVariableNotSet);
        return goOlNameSpace;
    }
    int32_t RemDuplicatesInFld(const outlook::FolderRef& folder, ProgressBar& bar) override {
        if (!goFldMon) RaiseError(errnum::kObjectVariableNotSet);
        int32_t n = 0;
        {
            ScanGuard scanning;
            n = goFldMon->RemDuplicatesInFld(folder, bar);
        }
        return n;
    }
    void HandleError(const std::string& procedure) override {
        if (goErrHandler) goErrHandler->HandleError(procedure);
    }
    std::string LogFile() override { return goLog ? goLog->FullPath() : std::string(); }
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
