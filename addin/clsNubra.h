// The bridge between the client's window and the dialog: puts the popup "&Nubra" with the
// command "&Remove duplicate items..." on the active explorer's menu bar and shows the dialog
// when the command is clicked.
#pragma once

#include <memory>
#include <string>

#include "addin/AddinState.h"
#include "host/Events.h"
#include "host/Outlook.h"

namespace nubra {

class clsNubra : public Object {
public:
    clsNubra() = default;
    // Releases moApp and moNubra (which ends the click subscription); the menu controls stay.
    ~clsNubra() override;
    clsNubra(const clsNubra&) = delete;
    clsNubra& operator=(const clsNubra&) = delete;

    // The button's Click: shows the dialog (modeless, single instance). Ctrl and CancelDefault
    // are neither read nor changed. Handles no errors itself.
    void moNubra_Click(outlook::CommandBarControl& Ctrl, bool& CancelDefault);

    // Keeps the application, opens goOlNameSpace, records gsOlVersion and builds the menu.
    // Failures before the menu is built are raised to the caller.
    void OutlookApp(const std::shared_ptr<outlook::Application>& pApp);

    // The release year for a version text; `current` for a version the table does not know.
    static std::string ReleaseYear(const std::string& version, const std::string& current);

    // True while the instance holds its menu button.
    bool HoldsButton() const { return static_cast<bool>(moNubra); }

private:
    // Builds the menu entry; reports its failures through HandleError("clsNubra.CreateMenu").
    void CreateMenu();

    std::shared_ptr<outlook::Application> moApp;
    std::shared_ptr<outlook::CommandBarControl> moNubra;
    std::unique_ptr<Subscription> moNubraClick_;
    addin::LiveObject live_;
};

}  // namespace nubra
