// Events raised by host objects (an explorer's Close, a button's Click). A subscriber keeps the
// returned Subscription; releasing it ends the subscription, as releasing a WithEvents
// reference does.
#pragma once

#include <functional>
#include <map>
#include <memory>

namespace nubra {

class Subscription {
public:
    virtual ~Subscription() = default;
};

template <typename... Args>
class Event {
public:
    using Handler = std::function<void(Args...)>;

    [[nodiscard]] std::unique_ptr<Subscription> Subscribe(Handler handler) {
        auto id = next_++;
        (*handlers_)[id] = std::move(handler);
        return std::make_unique<Token>(handlers_, id);
    }

    // Calls every current subscriber in subscription order. A handler may end subscriptions
    // (its own included) while the event runs.
    void Raise(Args... args) {
        auto snapshot = *handlers_;
        for (auto& [id, handler] : snapshot) {
            if (handlers_->count(id)) handler(args...);
        }
    }

    bool HasSubscribers() const { return !handlers_->empty(); }

private:
    using Map = std::map<unsigned, Handler>;
    struct Token : Subscription {
        Token(std::weak_ptr<Map> m, unsigned i) : map(std::move(m)), id(i) {}
        ~Token() override {
            if (auto m = map.lock()) m->erase(id);
        }
        std::weak_ptr<Map> map;
        unsigned id;
    };
    std::shared_ptr<Map> handlers_ = std::make_shared<Map>();
    unsigned next_ = 1;
};

}  // namespace nubra
