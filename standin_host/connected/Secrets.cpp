#include "standin_host/connected/Secrets.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "standin_host/connected/Common.h"

namespace nubra::connected {
namespace {

[[noreturn]] void Refuse(const std::string& text) { RaiseError(errnum::kMapiNoAccess, text, kSource); }

std::string FromFile(const std::string& path) {
    // Not blocking: opening a FIFO (or a device) must not wait for a writer; it is looked at
    // before anything is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP) Refuse("the password file \"" + path + "\" is a symbolic link; name the file itself");
    if (fd < 0) Refuse("cannot read the password file \"" + path + "\": " + std::strerror(errno));
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Refuse("the password file \"" + path + "\" is not a regular file");
    }
    // A password others may read is no secret; one others may write could be swapped.
    if (st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        ::close(fd);
        Refuse("the password file \"" + path + "\" is not private to this user (chmod 600, owned by the user)");
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 65536) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.empty()) Refuse("the password file \"" + path + "\" is empty");
    return text;
}

std::string FromSecretService(const PasswordKind& kind, const std::string& user, const std::string& host) {
    // Only with a session bus: without one GLib would try to start a bus of its own.
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!bus || !*bus) return {};
    GError* error = nullptr;
    gchar* found = secret_password_lookup_sync(SECRET_SCHEMA_COMPAT_NETWORK, nullptr, &error, "user", user.c_str(),
                                               "server", host.c_str(), "protocol", kind.protocol, nullptr);
    if (error) g_error_free(error);
    if (!found) return {};
    std::string password = found;
    secret_password_free(found);
    return password;
}

std::mutex gRememberedLock;
std::map<std::string, std::string>& Remembered() {
    static std::map<std::string, std::string> passwords;  // by "protocol:user@host"
    return passwords;
}
std::string RememberedKey(const PasswordKind& kind, const std::string& user, const std::string& host) {
    return std::string(kind.protocol) + ":" + user + "@" + host;
}

}  // namespace

void RememberPassword(const PasswordKind& kind, const std::string& user, const std::string& host,
                      const std::string& password) {
    std::lock_guard lock(gRememberedLock);
    if (password.empty()) Remembered().erase(RememberedKey(kind, user, host));
    else Remembered()[RememberedKey(kind, user, host)] = password;
}

std::string LookupPassword(const PasswordKind& kind, const std::string& user, const std::string& host,
                           const std::string& passwordFile, bool onlyAccount) {
    {
        std::lock_guard lock(gRememberedLock);
        if (auto it = Remembered().find(RememberedKey(kind, user, host)); it != Remembered().end()) return it->second;
    }
    // The account's own password file first. The environment's one password would go to every
    // account the profile synchronises, so it serves only an account that is the only one.
    if (!passwordFile.empty()) return FromFile(passwordFile);
    const char* env = std::getenv(kind.envVar);
    if (env && *env && onlyAccount) return env;
    if (auto p = FromSecretService(kind, user, host); !p.empty()) return p;
    const std::string var = kind.envVar;
    Refuse("no password for " + user + "@" + host +
           (env && *env ? " (" + var + " serves a profile with one " + kind.label + " account only)" : "") +
           ": give --password-file FILE (private to you), keep it in the desktop's keyring (secret-tool store "
           "--label=" + kind.label + " protocol " + kind.protocol + " server " + host + " user " + user +
           "), or set " + var);
}

}  // namespace nubra::connected
