#include "host/win/UserRegistry.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/win/Com.h"

namespace nubra::win {

namespace {

constexpr std::string_view kRoot = "HKEY_CURRENT_USER\\";

std::wstring SubKey(const std::string& key) {
    if (key.compare(0, kRoot.size(), kRoot) != 0)
        RaiseError(errnum::kInvalidProcedureCall, "Only the user's own registry can be changed: " + key, "Nubra");
    return Wide(std::string_view(key).substr(kRoot.size()));
}

[[noreturn]] void RaiseRegistry(LSTATUS status, const std::string& what, const std::string& key) {
    RaiseError(ErrorNumberOf(HRESULT_FROM_WIN32(static_cast<DWORD>(status))),
               "The registry key " + key + " could not be " + what + " (error " + std::to_string(status) + ")",
               "Nubra");
}

// What a value held before the change: nothing, or its type and bytes.
struct OldValue {
    std::wstring key, name;
    std::optional<std::pair<DWORD, std::vector<BYTE>>> data;
};

class Recorder : public host::AddinRegistry {
public:
    struct Set {
        std::string key;
        std::string name;
        std::variant<std::string, uint32_t> value;
    };
    struct Delete {
        std::string key;
    };
    void SetString(const std::string& key, const std::string& name, const std::string& value) override {
        steps.emplace_back(Set{key, name, value});
    }
    void SetDword(const std::string& key, const std::string& name, uint32_t value) override {
        steps.emplace_back(Set{key, name, value});
    }
    bool DeleteTree(const std::string& key) override {
        HKEY h = nullptr;
        const bool exists = RegOpenKeyExW(HKEY_CURRENT_USER, SubKey(key).c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS;
        if (h) RegCloseKey(h);
        steps.emplace_back(Delete{key});
        return exists;
    }
    std::vector<std::variant<Set, Delete>> steps;
};
using Step = std::variant<Recorder::Set, Recorder::Delete>;

// Writes the recorded steps, remembering how to undo each.
class Writer {
public:
    explicit Writer(HKEY root) : root_(root) {}
    ~Writer() {
        if (!done_) Undo();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    // Writes `steps`; undone when the writer goes without Keep().
    void Run(const std::vector<Step>& steps) {
        for (const auto& step : steps) {
            if (const auto* set = std::get_if<Recorder::Set>(&step)) Write(*set);
            else Remove(std::get<Recorder::Delete>(step).key);
        }
    }
    void Keep() { done_ = true; }

private:
    void Write(const Recorder::Set& set) {
        const std::wstring sub = SubKey(set.key);
        CreatePath(sub, set.key);
        HKEY h = nullptr;
        LSTATUS s = RegOpenKeyExW(root_, sub.c_str(), 0, KEY_READ | KEY_WRITE, &h);
        if (s != ERROR_SUCCESS) RaiseRegistry(s, "opened", set.key);
        const std::wstring name = Wide(set.name);
        OldValue old{sub, name, std::nullopt};
        DWORD type = 0, size = 0;
        if (RegQueryValueExW(h, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<BYTE> bytes(size);
            RegQueryValueExW(h, name.c_str(), nullptr, &type, bytes.data(), &size);
            old.data.emplace(type, std::move(bytes));
        }
        if (const auto* text = std::get_if<std::string>(&set.value)) {
            const std::wstring w = Wide(*text);
            s = RegSetValueExW(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                               static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
        } else {
            const DWORD v = std::get<uint32_t>(set.value);
            s = RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
        }
        RegCloseKey(h);
        if (s != ERROR_SUCCESS) RaiseRegistry(s, "written", set.key);
        oldValues_.push_back(std::move(old));
    }

    // Creates the missing keys of `sub` from the top down and notes the first one made.
    void CreatePath(const std::wstring& sub, const std::string& key) {
        for (std::size_t pos = 0; pos != std::wstring::npos;) {
            pos = sub.find(L'\\', pos + 1);
            const std::wstring part = sub.substr(0, pos);
            HKEY h = nullptr;
            if (RegOpenKeyExW(root_, part.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS) {
                RegCloseKey(h);
                continue;
            }
            // The first missing key: it and everything below it are new, and go with it on undo.
            createdKeys_.push_back(part);
            const LSTATUS s =
                RegCreateKeyExW(root_, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
            if (s != ERROR_SUCCESS) RaiseRegistry(s, "created", key);
            RegCloseKey(h);
            return;
        }
    }

    void Remove(const std::string& key) {
        // Removing is the last thing unregistering does; what it removed is not put back.
        const LSTATUS s = RegDeleteTreeW(root_, SubKey(key).c_str());
        if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) RaiseRegistry(s, "removed", key);
    }

    void Undo() {
        for (auto it = oldValues_.rbegin(); it != oldValues_.rend(); ++it) {
            HKEY h = nullptr;
            if (RegOpenKeyExW(root_, it->key.c_str(), 0, KEY_WRITE, &h) != ERROR_SUCCESS) continue;
            if (it->data)
                RegSetValueExW(h, it->name.c_str(), 0, it->data->first, it->data->second.data(),
                               static_cast<DWORD>(it->data->second.size()));
            else
                RegDeleteValueW(h, it->name.c_str());
            RegCloseKey(h);
        }
        for (auto it = createdKeys_.rbegin(); it != createdKeys_.rend(); ++it)
            RegDeleteTreeW(root_, it->c_str());
    }

    HKEY root_;
    std::vector<OldValue> oldValues_;
    std::vector<std::wstring> createdKeys_;
    bool done_ = false;
};

constexpr std::string_view kUserClasses = "HKEY_CURRENT_USER\\Software\\Classes\\";

const std::string& KeyOf(const Step& step) {
    if (const auto* set = std::get_if<Recorder::Set>(&step)) return set->key;
    return std::get<Recorder::Delete>(step).key;
}

// The steps that concern the user's classes.
std::vector<Step> ClassSteps(const std::vector<Step>& steps) {
    std::vector<Step> out;
    for (const auto& step : steps)
        if (KeyOf(step).compare(0, kUserClasses.size(), kUserClasses) == 0) out.push_back(step);
    return out;
}

// Whether the platform's merged view of the classes (HKEY_CLASSES_ROOT) shows what the user's
// classes hold: Windows merges them; Wine 8 shows the machine's classes alone. Asked after the
// user's classes were written.
bool UserClassesMerged(const std::vector<Step>& classSteps) {
    for (const auto& step : classSteps) {
        const auto* set = std::get_if<Recorder::Set>(&step);
        if (!set) continue;
        HKEY h = nullptr;
        const std::wstring sub = Wide(std::string_view(set->key).substr(kUserClasses.size()));
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
        RegCloseKey(h);
        return true;
    }
    // Nothing written, only removed: remove from both (a key missing there is no failure).
    return false;
}

}  // namespace

host::AddinRegistryProvider UserRegistryProvider() {
    return [](const std::function<void(host::AddinRegistry&)>& change) {
        Recorder recorder;
        change(recorder);  // what it raises passes on; nothing was written yet
        Writer user(HKEY_CURRENT_USER);
        user.Run(recorder.steps);
        // Where the platform does not read the user's classes, the classes go where it reads
        // them (the machine's), or nothing could create them by ProgID; removing takes both.
        const auto classSteps = ClassSteps(recorder.steps);
        Writer machine(HKEY_LOCAL_MACHINE);
        if (!classSteps.empty() && !UserClassesMerged(classSteps)) machine.Run(classSteps);
        user.Keep();
        machine.Keep();
    };
}

}  // namespace nubra::win
