// The add-in as the client loads it, run without a window: the headless dialog behind tree and
// clean.
#pragma once

#include <memory>

#include "standin_host/client/AddinSetup.h"

namespace nubra::store {
class Profile;
}

namespace nubra::cli {

// tree and clean: registers the add-in on first use, starts the client without a window, lets
// the add-in connect and clicks its command; where the dialog would open, the add-in fills its
// tree and runs the plan (RunAddinCommand). A progress bar is drawn on standard error when it is
// a terminal, labelled with the folder and its place among the plan's folders; with
// `announceLog` the log file is named there before anything runs. Raises what RunAddinCommand
// raises.
client::HeadlessRun RunThroughAddin(const std::shared_ptr<store::Profile>& profile, client::HeadlessPlan plan,
                                    bool announceLog);

}  // namespace nubra::cli
