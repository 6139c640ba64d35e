#include "addin/Addinconnect.h"

#include "globals/NubraGlobals.h"
#include "engine/clsFldMon.h"

namespace nubra {

namespace {
constexpr const char* kConnectProc = "Connect:IDTExtensibility2_OnConnection";

template <typename F>
void IgnoreFailure(F&& step) {
    try {
        step();
    } catch (...) {
    }
}
}  // namespace

void ReleaseGlobals() {
    addin::WhenNoScanRuns([] {
        // The dialog works with the globals; it must not outlive them.
        addin::CloseDialog();
        IgnoreFailure([] { goFldMon.reset(); });
        IgnoreFailure([] { goOlNameSpace.reset(); });
        IgnoreFailure([] { goredUtil.reset(); });
        IgnoreFailure([] { goErrHandler.reset(); });
        IgnoreFailure([] { goLog.reset(); });
    });
}

Addinconnect::~Addinconnect() {
    moExplorerClose_.reset();
    moExplorer.reset();
    moNubraClass.reset();
    moOutl.reset();
}

void Addinconnect::OnConnection(std::shared_ptr<outlook::Application> Application, int32_t, ObjectRef AddInInst,
                                outlook::CustomArray& custom) {
    moOutl = Application;
    Init();
    try {
        if (goLog) goLog->WriteToLog("Connect:OnConnection event: start Nubra add-in ");
        auto inst = std::dynamic_pointer_cast<outlook::AddInInst>(AddInInst);
        if (!AddInInst) RaiseError(errnum::kObjectVariableNotSet);
        if (!inst) RaiseError(errnum::kMemberNotSupported);
        gsProgId = inst->ProgId();
        // Compared as the automation layer compares a value with the number 1.
        if (custom.Item(1).AsDouble() == 1.0) {
            if (!moOutl) RaiseError(errnum::kObjectVariableNotSet);
            moExplorer = moOutl->ActiveExplorer();
            if (moExplorer) {
                moExplorerClose_ = moExplorer->Close().Subscribe([this] { moExplorer_Close(); });
                moNubraClass = std::make_shared<clsNubra>();
                moNubraClass->OutlookApp(Application);
            }
        }
    } catch (const AutomationError& e) {
        Err().Set(e);
        if (goErrHandler) goErrHandler->HandleError(kConnectProc);
    } catch (const std::exception& e) {
        Err().Set(AutomationError(errnum::kMapiCallFailed, e.what()));
        if (goErrHandler) goErrHandler->HandleError(kConnectProc);
    }
}

void Addinconnect::OnDisconnection(int32_t, outlook::CustomArray&) {}
void Addinconnect::OnAddInsUpdate(outlook::CustomArray&) {}
void Addinconnect::OnStartupComplete(outlook::CustomArray&) {}
void Addinconnect::OnBeginShutdown(outlook::CustomArray&) { ShutDownAddin(); }

void Addinconnect::moExplorer_Close() {
    const int32_t explorers = moOutl->Explorers()->Count();
    const int32_t inspectors = moOutl->Inspectors()->Count();
    if (explorers <= 1 && inspectors == 0) ShutDownAddin();
}

void Addinconnect::ShutDownAddin() {
    if (goLog) goLog->WriteToLog("Nubra has ended; cleanup runs");
    if (moOutl) moOutl.reset();
    if (moExplorer) {
        moExplorerClose_.reset();
        moExplorer.reset();
    }
    if (moNubraClass) moNubraClass.reset();
    ReleaseGlobals();
}

}  // namespace nubra
