// The client's command bars: an in-memory model of bars, popups and buttons that add-ins
// extend through the object model, and that a window (or nothing, when headless) renders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Events.h"
#include "host/Outlook.h"

namespace nubra::client {

class CommandBarControlsImpl;

class CommandBarControlImpl : public outlook::CommandBarControl,
                              public std::enable_shared_from_this<CommandBarControlImpl> {
public:
    CommandBarControlImpl(int32_t type, int32_t id, bool temporary, std::shared_ptr<Event<>> changed);

    int32_t Type() override { return type_; }
    int32_t Id() override { return id_; }
    // Raises -2147467259 when the control was removed from its bar.
    int32_t Index() override;
    std::string Caption() override { return caption_; }
    void SetCaption(const std::string& caption) override;
    std::string Tag() override { return tag_; }
    void SetTag(const std::string& tag) override;
    std::string OnAction() override { return onAction_; }
    void SetOnAction(const std::string& action) override { onAction_ = action; }
    bool Temporary() override { return temporary_; }
    std::shared_ptr<outlook::CommandBarControls> Controls() override;
    Event<outlook::CommandBarControl&, bool&>& Click() override { return click_; }

    // What the window does when the user picks the control: raises Click on a button.
    // Returns the CancelDefault flag the handlers left.
    bool Execute();

    // Removes the control from its bar or popup.
    void Delete();

    // For renderers: the popup's controls (null for a button).
    const std::shared_ptr<CommandBarControlsImpl>& Children() const { return children_; }

private:
    friend class CommandBarControlsImpl;
    int32_t type_;
    int32_t id_;
    bool temporary_;
    std::string caption_, tag_, onAction_;
    std::weak_ptr<CommandBarControlsImpl> owner_;
    std::shared_ptr<CommandBarControlsImpl> children_;
    std::shared_ptr<Event<>> changed_;
    Event<outlook::CommandBarControl&, bool&> click_;
};

class CommandBarControlsImpl : public outlook::CommandBarControls,
                               public std::enable_shared_from_this<CommandBarControlsImpl> {
public:
    explicit CommandBarControlsImpl(std::shared_ptr<Event<>> changed) : changed_(std::move(changed)) {}

    int32_t Count() override { return static_cast<int32_t>(items_.size()); }
    // Raises 9 outside 1..Count.
    std::shared_ptr<outlook::CommandBarControl> Item(int32_t index) override;
    std::shared_ptr<outlook::CommandBarControl> Add(int32_t type, int32_t before, bool temporary) override;

    // A built-in control (not temporary) with the client's own id, at the end.
    std::shared_ptr<CommandBarControlImpl> AddBuiltIn(int32_t type, int32_t id, const std::string& caption);
    // Drops every temporary control, here and inside popups.
    void RemoveTemporary();

    const std::vector<std::shared_ptr<CommandBarControlImpl>>& Items() const { return items_; }
    void Remove(const CommandBarControlImpl* control);
    int32_t IndexOf(const CommandBarControlImpl* control) const;

private:
    std::vector<std::shared_ptr<CommandBarControlImpl>> items_;
    std::shared_ptr<Event<>> changed_;
};

class CommandBarImpl : public outlook::CommandBar {
public:
    CommandBarImpl(std::string name, std::shared_ptr<Event<>> changed);
    std::string Name() override { return name_; }
    std::shared_ptr<outlook::CommandBarControl> FindControlByTag(const std::string& tag) override;
    std::shared_ptr<outlook::CommandBarControl> FindControlById(int32_t id) override;
    std::shared_ptr<outlook::CommandBarControls> Controls() override { return controls_; }
    const std::shared_ptr<CommandBarControlsImpl>& ControlsImpl() const { return controls_; }

private:
    std::string name_;
    std::shared_ptr<CommandBarControlsImpl> controls_;
};

class CommandBarsImpl : public outlook::CommandBars {
public:
    CommandBarsImpl();
    // By name, ignoring letter case; raises 5 when there is none.
    std::shared_ptr<outlook::CommandBar> Item(const std::string& name) override;

    std::shared_ptr<CommandBarImpl> AddBar(const std::string& name);
    const std::vector<std::shared_ptr<CommandBarImpl>>& Bars() const { return bars_; }
    // Drops the temporary controls of every bar (the window that shows them has ended).
    void RemoveTemporary();
    // Raised after any control was added, removed or renamed.
    Event<>& Changed() { return *changed_; }

private:
    std::shared_ptr<Event<>> changed_;
    std::vector<std::shared_ptr<CommandBarImpl>> bars_;
};

// Ids of the client's built-in controls.
namespace builtin {
inline constexpr int32_t kFile = 30002;
inline constexpr int32_t kEdit = 30003;
inline constexpr int32_t kView = 30004;
inline constexpr int32_t kGo = 30131;
inline constexpr int32_t kTools = 30007;
inline constexpr int32_t kActions = 30132;
inline constexpr int32_t kHelp = 30010;
inline constexpr int32_t kExit = 752;
inline constexpr int32_t kCloseItem = 923;
inline constexpr int32_t kAbout = 927;
}  // namespace builtin

// The explorer's bars: "Menu bar" with File, Edit, View, Go, Tools, Actions and Help (Help has
// id 30010); File holds "E&xit", Help "&About".
std::shared_ptr<CommandBarsImpl> MakeExplorerCommandBars();

// The tag of the add-in's "Remove duplicate items..." button.
inline constexpr const char* kAddinCommandTag = "mnuNubra";

// The control with this tag anywhere on the bar (popups searched too), or null.
std::shared_ptr<CommandBarControlImpl> FindControlDeep(const CommandBarImpl& bar, const std::string& tag);

}  // namespace nubra::client
