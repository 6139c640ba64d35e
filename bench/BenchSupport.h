// What the scan benchmarks share: scratch folders on the file system NUBRA_BENCH_DIR names
// (e.g. /dev/shm, to take the disk's flush latency out of the figures), and the add-in's
// globals set for a profile as the add-in's start sets them.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/clsFldMon.h"
#include "globals/NubraGlobals.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"

namespace nubra::bench {

// A new folder named after `what`; the caller removes it.
inline std::filesystem::path ScratchDir(const std::string& what) {
    const char* base = std::getenv("NUBRA_BENCH_DIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nubra-" + what + "-XXXXXX";
    return ::mkdtemp(tmpl.data());
}

// A scratch folder (ScratchDir) removed with everything in it when this goes.
struct Scratch {
    explicit Scratch(const std::string& what) : dir(ScratchDir(what)) {}
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::filesystem::path dir;
};

// For its lifetime the engine works on `profile`, logging into `logFolder`.
class EngineGlobals {
public:
    EngineGlobals(store::Profile& profile, const std::filesystem::path& logFolder)
        : app_(profile.Application()) {
        dates::SetRegionalLocale("en_US");
        store::RegisterMAPILibrary();
        goLog = std::make_unique<clsLogging>();
        goLog->LogFile(logFolder.string(), "Nubra.log", "", true);
        goErrHandler = std::make_unique<clsErrHandler>();
        goredUtil = CreateObjectAs<mapi::MAPIUtils>(mapi::kProgIdMAPIUtils);
        goOlNameSpace = app_->GetNamespace("MAPI");
        gsOlVersion = "2010";
        gsAppTitle = "Nubrasweep";
    }
    ~EngineGlobals() {
        goOlNameSpace.reset();
        goredUtil.reset();
        goErrHandler.reset();
        goLog.reset();
    }
    EngineGlobals(const EngineGlobals&) = delete;
    EngineGlobals& operator=(const EngineGlobals&) = delete;

private:
    std::shared_ptr<outlook::Application> app_;
};

// The scan of `folder` as a removal run makes it: holding the folder (which groups the
// store's changes) until it is done.
inline int32_t ScanAsARun(clsFldMon& mon, const outlook::FolderRef& folder, ProgressBar& bar) {
    auto run = store::LockFolderForRun(*folder);
    const int32_t removed = mon.RemDuplicatesInFld(folder, bar);
    run->Finish();
    return removed;
}

}  // namespace nubra::bench
