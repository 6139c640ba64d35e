#include "standin_host/cli/commands/ConnectedStoreAdded.h"

#include <iostream>

#include "standin_host/cli/Output.h"
#include "standin_host/cli/TerminalControls.h"

namespace nubra::cli {

void ReportConnectedStore(const store::Profile& profile, const store::StoreInfo& info, std::size_t warningsBefore) {
    std::cout << "Store " << Printable(info.displayName) << " (" << Printable(info.kindText) << ", "
              << Printable(info.source) << ") is in the profile; its cache is " << Printable(info.file.string())
              << "\n";
    const auto& warnings = profile.Warnings();
    for (size_t i = warningsBefore; i < warnings.size(); ++i) PrintWarning(warnings[i]);
}

}  // namespace nubra::cli
