// The mail client's application object over a profile. The store supplies the namespace and
// the version; windows belong to the client layer, which hands its explorer and window
// collections in through the setters (or overrides the virtual members in a subclass).
#pragma once

#include <memory>
#include <string>

#include "host/Outlook.h"

namespace nubra::store {

class Profile;

class Application : public outlook::Application,
                    public std::enable_shared_from_this<Application> {
public:
    // The application keeps the profile open while it lives.
    explicit Application(std::shared_ptr<Profile> profile);

    // The explorer set with SetActiveExplorer, else nullptr (a headless run has no window).
    std::shared_ptr<outlook::Explorer> ActiveExplorer() override;
    // The collections set with SetExplorers / SetInspectors, else collections counting 0.
    std::shared_ptr<outlook::WindowCollection> Explorers() override;
    std::shared_ptr<outlook::WindowCollection> Inspectors() override;
    // The namespace over every store of the profile (the same object while anyone holds it;
    // it keeps the application alive). Raises 5 for any type other than "MAPI" (letter case
    // ignored).
    std::shared_ptr<outlook::NameSpace> GetNamespace(const std::string& type) override;
    // The environment variable NUBRA_HOST_VERSION when set and not empty, else "14.0.0.4760".
    std::string Version() override;

    // Hooks for the client layer; nullptr restores the headless default.
    void SetActiveExplorer(std::shared_ptr<outlook::Explorer> explorer);
    void SetExplorers(std::shared_ptr<outlook::WindowCollection> explorers);
    void SetInspectors(std::shared_ptr<outlook::WindowCollection> inspectors);

    const std::shared_ptr<Profile>& GetProfile() const { return profile_; }

private:
    std::shared_ptr<Profile> profile_;
    std::weak_ptr<outlook::NameSpace> ns_;
    std::shared_ptr<outlook::Explorer> explorer_;
    std::shared_ptr<outlook::WindowCollection> explorers_;
    std::shared_ptr<outlook::WindowCollection> inspectors_;
};

}  // namespace nubra::store
