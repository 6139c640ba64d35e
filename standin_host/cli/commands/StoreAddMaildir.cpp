// store add-maildir: a Maildir tree attached to be cleaned in place.
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"

namespace nubra::cli {

CommandSpec StoreAddMaildirCommand() {
    return TreeStoreCommand("store add-maildir",
                            "Attach a Maildir tree to clean in place (Maildir++ or nested maildirs, detected)",
                            "The Maildir's top folder",
                            [](store::Profile& p, const std::filesystem::path& dir, const std::string& name) {
                                return connected::AddMaildirStore(p, dir, name);
                            });
}

}  // namespace nubra::cli
