#include "addin/clsNubra.h"

#include "globals/NubraGlobals.h"

namespace nubra {

namespace {
constexpr const char* kMenuBar = "Menu bar";
constexpr const char* kPopupTag = "mnuNubrapopup";
constexpr const char* kButtonTag = "mnuNubra";
constexpr int32_t kInsertBeforeId = 30010;
}  // namespace

clsNubra::~clsNubra() {
    moApp.reset();
    moNubraClick_.reset();
    moNubra.reset();
}

void clsNubra::moNubra_Click(outlook::CommandBarControl&, bool&) { addin::ShowDialog(); }

std::string clsNubra::ReleaseYear(const std::string& version, const std::string& current) {
    const std::string first = version.substr(0, 2);
    if (first == "9.") return "2000";
    if (first == "10") return "2002";
    if (first == "11") return "2003";
    if (first == "12") return "2007";
    if (first == "14") return "2010";
    return current;
}

void clsNubra::OutlookApp(const std::shared_ptr<outlook::Application>& pApp) {
    moApp = pApp;
    if (!moApp) RaiseError(errnum::kObjectVariableNotSet);
    goOlNameSpace = moApp->GetNamespace("MAPI");
    auto app = goOlNameSpace->Application();
    if (!app) RaiseError(errnum::kObjectVariableNotSet);
    gsOlVersion = ReleaseYear(app->Version(), gsOlVersion);
    CreateMenu();
}

void clsNubra::CreateMenu() {
    std::shared_ptr<outlook::Explorer> explorer;
    std::shared_ptr<outlook::CommandBars> bars;
    std::shared_ptr<outlook::CommandBar> bar;
    std::shared_ptr<outlook::CommandBarControls> controls;
    std::shared_ptr<outlook::CommandBarControl> popup;
    std::shared_ptr<outlook::CommandBarControls> popupControls;
    auto release = [&] {
        popupControls.reset();
        popup.reset();
        controls.reset();
        bar.reset();
        bars.reset();
        explorer.reset();
    };
    try {
        explorer = moApp->ActiveExplorer();
        if (!explorer) RaiseError(errnum::kObjectVariableNotSet);
        bars = explorer->CommandBars();
        if (!bars) RaiseError(errnum::kObjectVariableNotSet);
        bar = bars->Item(kMenuBar);
        if (!bar) RaiseError(errnum::kObjectVariableNotSet);
        // Already there (the add-in was connected before while the window stayed open).
        if (bar->FindControlByTag(kPopupTag)) {
            release();
            return;
        }
        controls = bar->Controls();
        auto anchor = bar->FindControlById(kInsertBeforeId);
        if (!anchor) RaiseError(errnum::kObjectVariableNotSet);
        const int32_t before = anchor->Index();
        anchor.reset();

        popup = controls->Add(outlook::CommandBarControl::msoControlPopup, before, true);
        popup->SetCaption("&Nubra");
        popup->SetTag(kPopupTag);

        popupControls = popup->Controls();
        moNubra = popupControls->Add(outlook::CommandBarControl::msoControlButton, 0, true);
        moNubraClick_ = moNubra->Click().Subscribe(
            [this](outlook::CommandBarControl& ctrl, bool& cancel) { moNubra_Click(ctrl, cancel); });
        moNubra->SetCaption("&Remove duplicate items...");
        moNubra->SetTag(kButtonTag);
        moNubra->SetOnAction("<!" + gsProgId + ">");
    } catch (const AutomationError& e) {
        Err().Set(e);
        if (goErrHandler) goErrHandler->HandleError("clsNubra.CreateMenu");
    } catch (const std::exception& e) {
        Err().Set(AutomationError(errnum::kMapiCallFailed, e.what()));
        if (goErrHandler) goErrHandler->HandleError("clsNubra.CreateMenu");
    }
    release();
}

}  // namespace nubra
