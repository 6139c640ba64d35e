// Tells the windows that items of this process's stores moved or went, whoever moved them: the
// add-in's run, a restore, the window itself. Listens as the store's change observer and passes
// every notification on to the observer it found installed.
#pragma once

#include <functional>
#include <memory>

#include "host/Events.h"

namespace nubra::client {

// Calls `changed` after each move or delete of an item in this process (also one that
// failed), from inside the store's notification: it must not change the stores, only note that
// the views are stale. On the thread that owns the stores.
[[nodiscard]] std::unique_ptr<Subscription> WatchStoreChanges(std::function<void()> changed);

}  // namespace nubra::client
