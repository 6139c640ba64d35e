#include "standin_host/client/CommandBars.h"

#include <strings.h>

#include <algorithm>

namespace nubra::client {

namespace {
using outlook::CommandBarControl;
}

CommandBarControlImpl::CommandBarControlImpl(int32_t type, int32_t id, bool temporary,
                                             std::shared_ptr<Event<>> changed)
    : type_(type), id_(id), temporary_(temporary), changed_(std::move(changed)) {
    if (type_ == CommandBarControl::msoControlPopup) children_ = std::make_shared<CommandBarControlsImpl>(changed_);
}

int32_t CommandBarControlImpl::Index() {
    auto owner = owner_.lock();
    const int32_t index = owner ? owner->IndexOf(this) : 0;
    if (index == 0) RaiseError(errnum::kMapiCallFailed, "The control has been deleted", "CommandBars");
    return index;
}

void CommandBarControlImpl::SetCaption(const std::string& caption) {
    caption_ = caption;
    changed_->Raise();
}

void CommandBarControlImpl::Delete() {
    if (auto owner = owner_.lock()) owner->Remove(this);
    owner_.reset();
}

void CommandBarControlImpl::SetTag(const std::string& tag) { tag_ = tag; }

std::shared_ptr<outlook::CommandBarControls> CommandBarControlImpl::Controls() {
    if (!children_) RaiseError(errnum::kMemberNotSupported);
    return children_;
}

bool CommandBarControlImpl::Execute() {
    bool cancel = false;
    if (type_ == CommandBarControl::msoControlButton) {
        // Handlers may drop the control (and their own subscription) while the event runs.
        auto self = shared_from_this();
        click_.Raise(*self, cancel);
    }
    return cancel;
}

std::shared_ptr<outlook::CommandBarControl> CommandBarControlsImpl::Item(int32_t index) {
    if (index < 1 || index > Count()) RaiseError(errnum::kSubscriptOutOfRange);
    return items_[static_cast<std::size_t>(index - 1)];
}

std::shared_ptr<outlook::CommandBarControl> CommandBarControlsImpl::Add(int32_t type, int32_t before, bool temporary) {
    if (type != CommandBarControl::msoControlButton && type != CommandBarControl::msoControlPopup)
        RaiseError(errnum::kInvalidProcedureCall);
    if (before < 0 || before > Count() + 1) RaiseError(errnum::kInvalidProcedureCall);
    // Controls an add-in creates carry id 1 (custom), as the client gives them.
    auto control = std::make_shared<CommandBarControlImpl>(type, 1, temporary, changed_);
    control->owner_ = weak_from_this();
    const auto pos = before == 0 ? items_.end() : items_.begin() + (before - 1);
    items_.insert(pos, control);
    changed_->Raise();
    return control;
}

std::shared_ptr<CommandBarControlImpl> CommandBarControlsImpl::AddBuiltIn(int32_t type, int32_t id,
                                                                         const std::string& caption) {
    auto control = std::make_shared<CommandBarControlImpl>(type, id, false, changed_);
    control->owner_ = weak_from_this();
    control->caption_ = caption;
    items_.push_back(control);
    changed_->Raise();
    return control;
}

void CommandBarControlsImpl::RemoveTemporary() {
    const auto before = items_.size();
    std::erase_if(items_, [](const auto& c) { return c->Temporary(); });
    for (auto& c : items_)
        if (c->Children()) c->Children()->RemoveTemporary();
    if (items_.size() != before) changed_->Raise();
}

void CommandBarControlsImpl::Remove(const CommandBarControlImpl* control) {
    if (std::erase_if(items_, [&](const auto& c) { return c.get() == control; }) > 0) changed_->Raise();
}

int32_t CommandBarControlsImpl::IndexOf(const CommandBarControlImpl* control) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == control) return static_cast<int32_t>(i + 1);
    return 0;
}

CommandBarImpl::CommandBarImpl(std::string name, std::shared_ptr<Event<>> changed)
    : name_(std::move(name)), controls_(std::make_shared<CommandBarControlsImpl>(std::move(changed))) {}

std::shared_ptr<outlook::CommandBarControl> CommandBarImpl::FindControlByTag(const std::string& tag) {
    for (const auto& c : controls_->Items())
        if (c->Tag() == tag) return c;
    return nullptr;
}

std::shared_ptr<outlook::CommandBarControl> CommandBarImpl::FindControlById(int32_t id) {
    for (const auto& c : controls_->Items())
        if (c->Id() == id) return c;
    return nullptr;
}

CommandBarsImpl::CommandBarsImpl() : changed_(std::make_shared<Event<>>()) {}

std::shared_ptr<outlook::CommandBar> CommandBarsImpl::Item(const std::string& name) {
    for (const auto& b : bars_)
        if (strcasecmp(b->Name().c_str(), name.c_str()) == 0) return b;
    RaiseError(errnum::kInvalidProcedureCall);
}

std::shared_ptr<CommandBarImpl> CommandBarsImpl::AddBar(const std::string& name) {
    auto bar = std::make_shared<CommandBarImpl>(name, changed_);
    bars_.push_back(bar);
    return bar;
}

void CommandBarsImpl::RemoveTemporary() {
    for (auto& b : bars_) b->ControlsImpl()->RemoveTemporary();
}

std::shared_ptr<CommandBarsImpl> MakeExplorerCommandBars() {
    auto bars = std::make_shared<CommandBarsImpl>();
    auto menu = bars->AddBar("Menu bar");
    auto& top = *menu->ControlsImpl();
    using C = outlook::CommandBarControl;
    auto file = top.AddBuiltIn(C::msoControlPopup, builtin::kFile, "&File");
    file->Children()->AddBuiltIn(C::msoControlButton, builtin::kExit, "E&xit");
    top.AddBuiltIn(C::msoControlPopup, builtin::kEdit, "&Edit");
    top.AddBuiltIn(C::msoControlPopup, builtin::kView, "&View");
    top.AddBuiltIn(C::msoControlPopup, builtin::kGo, "&Go");
    top.AddBuiltIn(C::msoControlPopup, builtin::kTools, "&Tools");
    top.AddBuiltIn(C::msoControlPopup, builtin::kActions, "&Actions");
    auto help = top.AddBuiltIn(C::msoControlPopup, builtin::kHelp, "&Help");
    help->Children()->AddBuiltIn(C::msoControlButton, builtin::kAbout, "&About");
    bars->AddBar("Standard");
    return bars;
}

std::shared_ptr<CommandBarControlImpl> FindControlDeep(const CommandBarImpl& bar, const std::string& tag) {
    std::vector<std::shared_ptr<CommandBarControlsImpl>> pending{bar.ControlsImpl()};
    while (!pending.empty()) {
        auto controls = pending.back();
        pending.pop_back();
        for (const auto& c : controls->Items()) {
            if (c->Tag() == tag) return c;
            if (c->Children()) pending.push_back(c->Children());
        }
    }
    return nullptr;
}

}  // namespace nubra::client
