// store add-vdir: address books and calendars (a vdir, as vdirsyncer, khard and khal keep
// them) attached to be cleaned in place.
#include "standin_host/cli/commands/ConnectedStoreAdded.h"
#include "standin_host/connected/Connected.h"

namespace nubra::cli {

CommandSpec StoreAddVdirCommand() {
    return TreeStoreCommand("store add-vdir",
                            "Attach a vdir to clean in place: a folder of address books and calendars, each a folder "
                            "of .vcf or .ics files",
                            "The vdir's top folder (its collections are the folders in it)",
                            [](store::Profile& p, const std::filesystem::path& dir, const std::string& name) {
                                return connected::AddVdirStore(p, dir, name);
                            });
}

}  // namespace nubra::cli
