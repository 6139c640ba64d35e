// The stand-in mail client: the application over a profile with its explorer and inspector
// windows, and the add-ins the registry names, loaded and connected at start-up and shut down
// when the client ends.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/AddinHost.h"
#include "host/Outlook.h"
#include "standin_host/client/CommandBars.h"

namespace nubra::store {
class Application;
class Profile;
}  // namespace nubra::store

namespace nubra::client {

class Client;

// A window showing a folder list (or nothing, headless) with its own command bars.
class ExplorerImpl : public outlook::Explorer {
public:
    ExplorerImpl() : bars_(MakeExplorerCommandBars()) {}
    std::shared_ptr<outlook::CommandBars> CommandBars() override { return bars_; }
    Event<>& Close() override { return close_; }
    const std::shared_ptr<CommandBarsImpl>& Bars() const { return bars_; }
    // The bar named "Menu bar".
    std::shared_ptr<CommandBarImpl> MenuBar() const;
    bool IsOpen() const { return open_; }

private:
    friend class Client;
    std::shared_ptr<CommandBarsImpl> bars_;
    Event<> close_;
    bool open_ = true;
};

// A window showing one item.
class InspectorImpl : public Object {
public:
    explicit InspectorImpl(outlook::ItemRef item) : item_(std::move(item)) {}
    const outlook::ItemRef& Item() const { return item_; }

private:
    outlook::ItemRef item_;
};

// The client's Explorers or Inspectors: counts the windows of one kind that are open.
class WindowList : public outlook::WindowCollection {
public:
    explicit WindowList(std::function<int32_t()> count) : count_(std::move(count)) {}
    int32_t Count() override { return count_(); }

private:
    std::function<int32_t()> count_;
};

// One add-in named in the registry.
struct LoadedAddin {
    std::string progId;
    std::string friendlyName;
    std::filesystem::path module;
    void* handle = nullptr;
    std::shared_ptr<outlook::IDTExtensibility2> connection;
    // Why it did not load or connect (empty when it runs).
    std::string failure;

    // An export of the module, or null.
    void* Symbol(const char* name) const;
};

class Client {
public:
    // `registryFile`: where the add-ins are registered (Registry::DefaultFile() for the user's).
    Client(std::shared_ptr<store::Profile> profile, std::filesystem::path registryFile);
    // Ends the client if Quit was not called (without waiting for busy add-ins).
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const std::shared_ptr<store::Application>& App() const { return app_; }

    // Opens an explorer window and makes it the active one.
    std::shared_ptr<ExplorerImpl> OpenExplorer();
    // Loads every add-in the registry lists with LoadBehavior 3 and connects it (start-up
    // mode, `custom` = 1-based array holding 1). Raises what reading the registry raises; an
    // add-in that fails to load or connect is kept with its failure and not connected.
    void LoadAddins();
    const std::vector<LoadedAddin>& Addins() const { return addins_; }
    // The connected add-in with this ProgID (letter case ignored), or null.
    const LoadedAddin* Addin(const std::string& progId) const;

    std::shared_ptr<InspectorImpl> OpenInspector(outlook::ItemRef item);
    void CloseInspector(const std::shared_ptr<InspectorImpl>& inspector);

    // True while an add-in reports work that must not be cut short (a running scan).
    bool Busy() const;

    // Closes an explorer: raises its Close while it still counts among the explorers, then
    // drops it; its temporary controls vanish. When no window remains the client quits.
    // Refused (false) while an add-in is busy.
    bool CloseExplorer(const std::shared_ptr<ExplorerImpl>& explorer);
    // Ends the client: closes every window, then OnBeginShutdown and OnDisconnection to every
    // connected add-in, releases them and unloads their modules. Refused (false) while an
    // add-in is busy. Harmless when the client has ended already.
    bool Quit();
    bool Ended() const { return ended_; }

    int32_t ExplorerCount() const { return static_cast<int32_t>(explorers_.size()); }
    int32_t InspectorCount() const { return static_cast<int32_t>(inspectors_.size()); }

    // Called once when the client has ended (the window system leaves its event loop).
    std::function<void()> onEnded;
    // Told about each add-in that failed to load or connect.
    std::function<void(const LoadedAddin&)> onAddinFailure;

private:
    void Shutdown();
    void MaybeQuit();
    void SetActive();

    std::shared_ptr<store::Profile> profile_;
    std::filesystem::path registryFile_;
    std::shared_ptr<store::Application> app_;
    std::vector<std::shared_ptr<ExplorerImpl>> explorers_;
    std::vector<std::shared_ptr<InspectorImpl>> inspectors_;
    std::vector<LoadedAddin> addins_;
    bool ended_ = false;
    bool quitting_ = false;
};

}  // namespace nubra::client
