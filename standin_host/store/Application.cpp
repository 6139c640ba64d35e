#include "standin_host/store/Application.h"

#include <cstdlib>
#include <strings.h>

#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/Profile.h"

namespace nubra::store {

namespace {
class NoWindows : public outlook::WindowCollection {
public:
    int32_t Count() override { return 0; }
};
}  // namespace

Application::Application(std::shared_ptr<Profile> profile) : profile_(std::move(profile)) {}

std::shared_ptr<outlook::Explorer> Application::ActiveExplorer() { return explorer_; }

std::shared_ptr<outlook::WindowCollection> Application::Explorers() {
    return explorers_ ? explorers_ : std::make_shared<NoWindows>();
}

std::shared_ptr<outlook::WindowCollection> Application::Inspectors() {
    return inspectors_ ? inspectors_ : std::make_shared<NoWindows>();
}

std::shared_ptr<outlook::NameSpace> Application::GetNamespace(const std::string& type) {
    if (strcasecmp(type.c_str(), "MAPI") != 0) RaiseError(errnum::kInvalidProcedureCall);
    if (auto ns = ns_.lock()) return ns;
    std::shared_ptr<outlook::NameSpace> ns =
        std::make_shared<NameSpaceImpl>(profile_, std::static_pointer_cast<outlook::Application>(shared_from_this()));
    ns_ = ns;
    return ns;
}

std::string Application::Version() {
    const char* v = std::getenv("NUBRA_HOST_VERSION");
    return (v && *v) ? std::string(v) : std::string("14.0.0.4760");
}

void Application::SetActiveExplorer(std::shared_ptr<outlook::Explorer> explorer) {
    explorer_ = std::move(explorer);
}
void Application::SetExplorers(std::shared_ptr<outlook::WindowCollection> explorers) {
    explorers_ = std::move(explorers);
}
void Application::SetInspectors(std::shared_ptr<outlook::WindowCollection> inspectors) {
    inspectors_ = std::move(inspectors);
}

}  // namespace nubra::store
