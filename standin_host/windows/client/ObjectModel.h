// The client's automation object model over the store, as objects whose members are called by
// name (win::DispatchServer), with the member names the add-in's adapters use: Application,
// NameSpace, Folders, MAPIFolder, Items, the items, PropertyAccessor, Explorer with its
// command bars and events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/win/Dispatch.h"
#include "standin_host/windows/client/Store.h"

namespace nubra::winclient {

class ApplicationObject;
class ExplorerObject;
class ControlsObject;

// A command bar control: popup (type 10, has Controls) or button (type 1, raises Click).
class ControlObject : public win::DispatchServer {
public:
    ControlObject(ControlsObject* parent, int32_t type, int32_t id, std::string caption, bool temporary);
    ~ControlObject() override;

    int32_t type;
    int32_t id;
    std::string caption, tag, onAction;
    bool temporary;
    ControlsObject* parent;  // null once deleted
    win::ComRef<ControlsObject> children;  // popups only

    // Presses the button: tells the Click sinks (CancelDefault by reference); returns it.
    bool Click();
    std::size_t ClickSinks() const { return clickEvents_.Sinks(); }
    long References();

protected:
    void* QueryOther(REFIID iid) override;

private:
    win::EventSource clickEvents_;
};

class ControlsObject : public win::DispatchServer {
public:
    ControlsObject();
    std::vector<win::ComRef<ControlObject>> controls;
    // Adds a control; `before` 1-based, 0 at the end.
    ControlObject& Add(int32_t type, int32_t id, const std::string& caption, int32_t before, bool temporary);
    // The first control, at any depth when `recursive`, for which `match` holds.
    ControlObject* Find(const std::function<bool(ControlObject&)>& match, bool recursive);
};

class ExplorerObject : public win::DispatchServer {
public:
    explicit ExplorerObject(ApplicationObject& app);
    ~ExplorerObject() override;
    // The "Menu bar" of the explorer.
    ControlsObject& MenuBar() { return *menuBar_.get(); }
    // Closes the window: the Close sinks hear it while it still counts among the explorers.
    void Close();
    bool open = true;
    std::size_t CloseSinks() const { return closeEvents_.Sinks(); }

protected:
    void* QueryOther(REFIID iid) override;

private:
    ApplicationObject& app_;
    win::ComRef<ControlsObject> menuBar_;
    win::EventSource closeEvents_;
};

class ApplicationObject : public win::DispatchServer {
public:
    explicit ApplicationObject(Session& session);
    ~ApplicationObject() override;
    Session& session;
    win::ComRef<ExplorerObject> explorer;
    // Drops the explorer (after it was closed), so that nothing of ours holds the menu.
    void ForgetExplorer() { explorer = {}; }
};

// The references an object of ours has right now (what AddRef/Release report).
long ReferencesOf(IUnknown* object);

}  // namespace nubra::winclient
