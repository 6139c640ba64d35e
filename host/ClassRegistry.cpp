#include "host/ClassRegistry.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#ifdef _WIN32
#include "host/win/Activation.h"
#endif

namespace nubra {
namespace {
std::string Fold(const std::string& s) {
    std::string r = s;
    std::transform(r.begin(), r.end(), r.begin(), [](unsigned char c) { return std::tolower(c); });
    return r;
}
struct Registry {
    std::mutex mutex;
    std::map<std::string, ObjectFactory> factories;
};
Registry& TheRegistry() {
    static Registry r;
    return r;
}
}  // namespace

void RegisterClass(const std::string& progId, ObjectFactory factory) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.factories[Fold(progId)] = std::move(factory);
}

void UnregisterClass(const std::string& progId) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.factories.erase(Fold(progId));
}

bool IsClassRegistered(const std::string& progId) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    return r.factories.count(Fold(progId)) > 0;
}

ObjectRef CreateObject(const std::string& progId) {
    ObjectFactory factory;
    {
        auto& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        auto it = r.factories.find(Fold(progId));
        if (it == r.factories.end()) {
#ifdef _WIN32
            // Not ours: the platform's registered classes (the MAPI library, say). Classes
            // registered here keep priority, so that tests and hosts can stand in for them.
            factory = [&progId] { return win::CreateComObject(progId); };
#else
            RaiseError(errnum::kCannotCreateObject);
#endif
        } else {
            factory = it->second;
        }
    }
    return factory();
}

}  // namespace nubra
