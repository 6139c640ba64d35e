// Decorators over the object model and the MAPI utility library that number every call the
// engine makes and let the Nth raise, as a client or library failing at any instant would.
// Objects handed out are decorated too; anything passed back into the real host is unwrapped
// first, so the real store still sees its own objects.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/MAPIUtils.h"
#include "host/Outlook.h"

namespace nubra::proof {

struct CallCounter {
    int64_t calls = 0;
    int64_t failAt = 0;  // 0: never
    std::string failedOp;
    bool recordOps = false;
    std::vector<std::string> ops;  // the name of every call, when recordOps
    // Set by the progress bar at each step of a scan: the next Items.Item call is the scan
    // fetching the item it examines, whose entry ID then goes into `examined`.
    bool scanStep = false;
    std::vector<std::string> examined;

    // Counts one call of `op`; raises when it is the chosen one.
    void Tick(const char* op);
};

// The folder and namespace the engine is handed, decorated.
outlook::FolderRef CountingFolder(outlook::FolderRef real, CallCounter& counter);
std::shared_ptr<outlook::NameSpace> CountingNameSpace(std::shared_ptr<outlook::NameSpace> real,
                                                      CallCounter& counter);
std::shared_ptr<mapi::MAPIUtils> CountingUtils(std::shared_ptr<mapi::MAPIUtils> real, CallCounter& counter);

// Replaces the library's table and safe-item classes with counting ones while it lives.
class CountingLibrary {
public:
    explicit CountingLibrary(CallCounter& counter);
    ~CountingLibrary();
    CountingLibrary(const CountingLibrary&) = delete;
    CountingLibrary& operator=(const CountingLibrary&) = delete;
};

}  // namespace nubra::proof
