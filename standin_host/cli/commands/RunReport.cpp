#include "standin_host/cli/commands/RunReport.h"

namespace nubra::cli {

nlohmann::json RemovalJson(const std::string& folder, const history::Removal& r) {
    return {{"folder", folder},
            {"kind", r.kind},
            {"title", r.title},
            {"created", r.created},
            {"action", r.action},
            {"entryId", r.entryBefore},
            {"from", r.pathBefore},
            {"to", r.pathAfter},
            {"duplicateOf", {{"entryId", r.duplicateOf}, {"title", r.duplicateOfTitle}}}};
}

}  // namespace nubra::cli
