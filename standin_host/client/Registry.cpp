#include "standin_host/client/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "host/Automation.h"

namespace nubra::client {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHeader = "Nubrasweep registry 1";

[[noreturn]] void Corrupt(const std::string& file, int line, const std::string& what) {
    RaiseError(kRegistryCorrupt,
               "The registry file " + file + " is damaged (line " + std::to_string(line) + ": " + what +
                   "); it was left as it is",
               "Registry");
}

[[noreturn]] void Access(const fs::path& file, const std::string& what, int err) {
    RaiseError(kRegistryAccess, "The registry file " + file.string() + " cannot be " + what + ": " +
                                    std::strerror(err),
               "Registry");
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out + "\"";
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote.
bool Unquote(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"') return true;
        if (c == '\\') {
            if (pos >= line.size()) return false;
            switch (line[pos++]) {
                case '\\': out += '\\'; break;
                case '"': out += '"'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                default: return false;
            }
        } else {
            out += c;
        }
    }
    return false;
}

bool ValidKeyPath(const std::string& key) {
    if (key.empty() || key.front() == '\\' || key.back() == '\\') return false;
    if (key.find("\\\\") != std::string::npos) return false;
    return std::none_of(key.begin(), key.end(), [](unsigned char c) { return c < 0x20 || c == '[' || c == ']'; });
}

std::string Parent(const std::string& key) {
    auto pos = key.rfind('\\');
    return pos == std::string::npos ? std::string() : key.substr(0, pos);
}

}  // namespace

fs::path Registry::DefaultFile() {
    fs::path base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) base = x;
    else if (const char* h = std::getenv("HOME"); h && *h) base = fs::path(h) / ".config";
    else RaiseError(kRegistryAccess, "No folder for the registry: set XDG_CONFIG_HOME or HOME", "Registry");
    return base / "nubrasweep" / "registry.reg";
}

std::string Registry::Fold(const std::string& s) {
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

Registry::Key& Registry::Ensure(const std::string& key) {
    if (!ValidKeyPath(key)) RaiseError(errnum::kInvalidProcedureCall, "Invalid registry key name: " + key, "Registry");
    auto folded = Fold(key);
    auto it = keys_.find(folded);
    if (it != keys_.end()) return it->second;
    if (auto parent = Parent(key); !parent.empty()) Ensure(parent);
    auto& k = keys_[folded];
    k.name = key;
    return k;
}

const Registry::Key* Registry::Find(const std::string& key) const {
    auto it = keys_.find(Fold(key));
    return it == keys_.end() ? nullptr : &it->second;
}

bool Registry::KeyExists(const std::string& key) const { return Find(key) != nullptr; }

void Registry::CreateKey(const std::string& key) { Ensure(key); }

bool Registry::DeleteTree(const std::string& key) {
    const auto folded = Fold(key);
    if (!keys_.count(folded)) return false;
    const auto prefix = folded + "\\";
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (it->first == folded || it->first.compare(0, prefix.size(), prefix) == 0) it = keys_.erase(it);
        else ++it;
    }
    return true;
}

bool Registry::DeleteKeyIfEmpty(const std::string& key) {
    const auto* k = Find(key);
    if (!k || !k->values.empty() || !SubKeys(key).empty()) return false;
    keys_.erase(Fold(key));
    return true;
}

std::vector<std::string> Registry::SubKeys(const std::string& key) const {
    std::vector<std::string> out;
    const auto prefix = Fold(key) + "\\";
    for (const auto& [folded, k] : keys_) {
        if (folded.compare(0, prefix.size(), prefix) != 0) continue;
        if (folded.find('\\', prefix.size()) != std::string::npos) continue;
        out.push_back(k.name.substr(prefix.size()));
    }
    return out;
}

void Registry::SetString(const std::string& key, const std::string& name, const std::string& value) {
    Ensure(key).values[Fold(name)] = {name, value};
}

void Registry::SetDword(const std::string& key, const std::string& name, uint32_t value) {
    Ensure(key).values[Fold(name)] = {name, value};
}

std::optional<RegValue> Registry::Get(const std::string& key, const std::string& name) const {
    const auto* k = Find(key);
    if (!k) return std::nullopt;
    auto it = k->values.find(Fold(name));
    if (it == k->values.end()) return std::nullopt;
    return it->second.second;
}

std::optional<std::string> Registry::GetString(const std::string& key, const std::string& name) const {
    auto v = Get(key, name);
    if (!v || !std::holds_alternative<std::string>(*v)) return std::nullopt;
    return std::get<std::string>(*v);
}

std::optional<uint32_t> Registry::GetDword(const std::string& key, const std::string& name) const {
    auto v = Get(key, name);
    if (!v || !std::holds_alternative<uint32_t>(*v)) return std::nullopt;
    return std::get<uint32_t>(*v);
}

bool Registry::DeleteValue(const std::string& key, const std::string& name) {
    auto it = keys_.find(Fold(key));
    if (it == keys_.end()) return false;
    return it->second.values.erase(Fold(name)) > 0;
}

std::string Registry::ToText() const {
    std::ostringstream out;
    out << kHeader << "\n";
    for (const auto& [folded, k] : keys_) {
        out << "\n[" << k.name << "]\n";
        for (const auto& [vfold, nv] : k.values) {
            const auto& [name, value] = nv;
            out << (name.empty() ? std::string("@") : Quote(name)) << "=";
            if (std::holds_alternative<std::string>(value)) {
                out << Quote(std::get<std::string>(value));
            } else {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%08x", std::get<uint32_t>(value));
                out << "dword:" << buf;
            }
            out << "\n";
        }
    }
    return out.str();
}

Registry Registry::FromText(const std::string& text, const std::string& file) {
    Registry reg;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    bool header = false;
    std::string current;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == ';') continue;
        if (!header) {
            if (line != kHeader) Corrupt(file, lineNo, "expected the header \"" + std::string(kHeader) + "\"");
            header = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') Corrupt(file, lineNo, "a key line must end with ]");
            current = line.substr(1, line.size() - 2);
            if (!ValidKeyPath(current)) Corrupt(file, lineNo, "invalid key name");
            if (!seen.insert(Fold(current)).second) Corrupt(file, lineNo, "key given twice");
            reg.Ensure(current);
            continue;
        }
        if (current.empty()) Corrupt(file, lineNo, "a value before the first key");
        std::size_t pos = 0;
        std::string name;
        if (line.front() == '@') {
            pos = 1;
        } else if (!Unquote(line, pos, name)) {
            Corrupt(file, lineNo, "expected a quoted value name or @");
        }
        if (pos >= line.size() || line[pos] != '=') Corrupt(file, lineNo, "expected = after the value name");
        ++pos;
        if (reg.Get(current, name)) Corrupt(file, lineNo, "value given twice");
        if (line.compare(pos, 6, "dword:") == 0) {
            const std::string hex = line.substr(pos + 6);
            if (hex.size() != 8 || !std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c); }))
                Corrupt(file, lineNo, "a dword needs eight hex digits");
            reg.SetDword(current, name, static_cast<uint32_t>(std::stoul(hex, nullptr, 16)));
        } else {
            std::string value;
            if (!Unquote(line, pos, value) || pos != line.size()) Corrupt(file, lineNo, "expected a quoted text or dword:");
            reg.SetString(current, name, value);
        }
    }
    if (!header && lineNo > 0 && !text.empty()) {
        // Only blank lines and comments: treat as empty only when truly blank.
        if (text.find_first_not_of(" \t\r\n") != std::string::npos) Corrupt(file, 1, "no header");
    }
    return reg;
}

Registry Registry::Load(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (!fs::exists(file, ec)) return Registry{};
        Access(file, "read", errno);
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    if (in.bad()) Access(file, "read", errno);
    const std::string text = buf.str();
    if (text.find('\0') != std::string::npos) Corrupt(file.string(), 1, "binary content");
    return FromText(text, file.string());
}

namespace {

// An exclusive lock on "<file>.lock" for the life of the object.
class FileLock {
public:
    explicit FileLock(const fs::path& file) {
        auto lockFile = file;
        lockFile += ".lock";
        fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) Access(lockFile, "locked", errno);
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int err = errno;
                ::close(fd_);
                Access(lockFile, "locked", err);
            }
        }
    }
    ~FileLock() {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

void WriteAtomically(const fs::path& file, const std::string& text) {
    auto tmp = file;
    tmp += ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Access(file, "written", errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            Access(file, "written", err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Access(file, "written", err);
    }
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Access(file, "written", err);
    }
    // The rename itself must survive a crash as well.
    int dfd = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace

void Registry::Update(const fs::path& file, const std::function<void(Registry&)>& change) {
    std::error_code ec;
    if (!file.parent_path().empty()) {
        fs::create_directories(file.parent_path(), ec);
        if (ec) Access(file.parent_path(), "created", ec.value());
    }
    FileLock lock(file);
    Registry reg = Load(file);
    const std::string before = reg.ToText();
    change(reg);
    const std::string after = reg.ToText();
    if (after == before && fs::exists(file, ec)) return;
    WriteAtomically(file, after);
}

std::optional<ServerRegistration> FindServer(const Registry& registry, const std::string& progId) {
    const std::string classes = kClassesKey;
    auto clsid = registry.GetString(classes + "\\" + progId + "\\CLSID", "");
    if (!clsid || clsid->empty()) return std::nullopt;
    auto module = registry.GetString(classes + "\\CLSID\\" + *clsid + "\\InprocServer32", "");
    if (!module || module->empty()) return std::nullopt;
    return ServerRegistration{*clsid, *module};
}

void InstallAsAddinRegistry() {
    host::SetAddinRegistryProvider([](const std::function<void(host::AddinRegistry&)>& change) {
        Registry::Update(Registry::DefaultFile(), [&](Registry& r) { change(r); });
    });
}

}  // namespace nubra::client
