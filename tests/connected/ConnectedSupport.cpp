#include "tests/connected/ConnectedSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace nubra::connected_tests {
namespace {

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
}

// A port nobody listens on now (the kernel's pick for port 0).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Listening(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, const fs::path* out,
            const fs::path* err) {
    std::vector<std::string> args = argv;
    std::vector<char*> raw;
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        const int o = ::open(out ? out->c_str() : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err ? err->c_str() : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

Result RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    char tmpl[] = "/tmp/nubra-run-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    const fs::path out = dir / "out", err = dir / "err";
    const int status = WaitFor(Spawn(argv, env, &out, &err));
    Result r;
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(out);
    r.err = Slurp(err);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return r;
}

pid_t StartProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    return Spawn(argv, env, nullptr, nullptr);
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::map<std::string, std::string> User::env() const {
    return {{"NUBRA_PROFILE", (dir / "profile").string()},
            {"XDG_CACHE_HOME", (dir / "cache").string()},
            {"XDG_CONFIG_HOME", (dir / "config").string()},
            {"XDG_DATA_HOME", (dir / "data").string()},
            {"NUBRA_COMMON_APPDATA", (dir / "appdata").string()},
            {"DBUS_SESSION_BUS_ADDRESS", ""}};
}

Result User::Run(const std::vector<std::string>& args, std::map<std::string, std::string> extra) const {
    fs::create_directories(dir / "appdata");
    std::vector<std::string> argv{NUBRASWEEP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    auto e = env();
    for (auto& [k, v] : extra) e[k] = v;
    return RunProgram(argv, e);
}

pid_t User::Start(const std::vector<std::string>& args, std::map<std::string, std::string> extra) const {
    fs::create_directories(dir / "appdata");
    std::vector<std::string> argv{NUBRASWEEP_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    auto e = env();
    for (auto& [k, v] : extra) e[k] = v;
    return StartProgram(argv, e);
}

int GenerateCorpus(const fs::path& dir, int count, int seed) {
    const auto r = RunProgram({"python3", NUBRA_GENCORPUS, "-o", dir.string(), "--seed", std::to_string(seed),
                               std::to_string(count)});
    const auto pos = r.out.find("\nduplicates=");
    return pos == std::string::npos ? -1 : std::stoi(r.out.substr(pos + 12));
}

std::vector<std::string> MessageFiles(const fs::path& maildir) {
    std::vector<std::string> names;
    for (const char* sub : {"cur", "new"}) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(maildir / sub, ec)) names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

Dovecot::Dovecot(const fs::path& dir, Options options) : dir_(dir) {
    if (::access("/usr/sbin/dovecot", X_OK) != 0) {
        why_ = "Dovecot is not installed (scripts/install-deps installs dovecot-imapd)";
        return;
    }
    fs::create_directories(dir_ / "run");
    fs::create_directories(dir_ / "home");
    ca_ = dir_ / "cert.pem";
    // A self-signed certificate for the loopback address, made for this server alone.
    const auto cert = RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                  (dir_ / "key.pem").string(), "-out", ca_.string(), "-days", "2", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    if (cert.exit != 0) {
        why_ = "openssl could not make a certificate: " + cert.err;
        return;
    }
    // As root the mail belongs to an unprivileged user (Dovecot refuses uid 0); otherwise to us.
    const bool root = ::geteuid() == 0;
    const passwd* me = ::getpwuid(::geteuid());
    const std::string self = me ? me->pw_name : "nobody";
    const std::string mailUser = root ? "nobody" : self;
    std::string caps;
    if (!options.move || !options.uidplus)
        caps = std::string("imap_capability = IMAP4rev1 LITERAL+ SASL-IR ID ENABLE IDLE CHILDREN NAMESPACE UNSELECT "
                           "CONDSTORE SPECIAL-USE LIST-EXTENDED") +
               (options.uidplus ? " UIDPLUS" : "") + (options.move ? " MOVE" : "") + "\n";
    imapPort_ = FreePort();
    imapsPort_ = FreePort();
    const std::string d = dir_.string();
    Write(dir_ / "dovecot.conf",
          "base_dir = " + d + "/run\n"
          "state_dir = " + d + "/run/state\n"
          "log_path = " + d + "/dovecot.log\n"
          "protocols = imap\n"
          "listen = 127.0.0.1\n"
          "ssl = yes\n"
          "ssl_cert = <" + d + "/cert.pem\n"
          "ssl_key = <" + d + "/key.pem\n"
          "ssl_dh = </usr/share/dovecot/dh.pem\n"
          "disable_plaintext_auth = no\n"
          "auth_mechanisms = plain login\n"
          "default_internal_user = " + (root ? std::string("dovecot") : self) + "\n"
          "default_login_user = " + (root ? std::string("dovenull") : self) + "\n"
          "first_valid_uid = 1\n"
          // A test server: no flush to disk per message (APPEND of a large corpus, each MOVE).
          "mail_fsync = never\n" + caps + options.settings +
          "service imap-login {\n  chroot =\n  inet_listener imap {\n    address = 127.0.0.1\n    port = " +
          std::to_string(imapPort_) + "\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = " +
          std::to_string(imapsPort_) + "\n    ssl = yes\n  }\n}\n"
          "service anvil {\n  chroot =\n}\n"
          // Every user's password is "pw-" and its name: users are made without touching a
          // file that Dovecot reads again at most once a second.
          "passdb {\n  driver = static\n  args = password=pw-%u\n}\n"
          "userdb {\n  driver = static\n  args = uid=" + mailUser + " gid=" + (root ? std::string("nogroup") : self) +
          " home=" + d + "/home/%u\n}\n"
          "mail_location = maildir:~/Maildir\n"
          "namespace inbox {\n  inbox = yes\n  separator = /\n  mailbox Trash {\n    special_use = \\Trash\n  }\n}\n");
    if (root) {
        // Dovecot's own processes run as its users: they must reach the configuration and the
        // homes inside our private temporary folder.
        RunProgram({"chown", "-R", "nobody:nogroup", (dir_ / "home").string()});
        for (fs::path p = dir_; p.has_relative_path() && p != fs::temp_directory_path(); p = p.parent_path())
            fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    }
    pid_ = StartProgram({"/usr/sbin/dovecot", "-F", "-c", (dir_ / "dovecot.conf").string()});
    for (int i = 0; i < 100 && !(Listening(imapsPort_) && Listening(imapPort_)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!Listening(imapsPort_)) {
        why_ = "Dovecot did not start: " + Slurp(dir_ / "dovecot.log");
        ::kill(pid_, SIGKILL);
        WaitFor(pid_);
        pid_ = -1;
    }
}

Dovecot::~Dovecot() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    WaitFor(pid_);
}

int Dovecot::DropConnections() const {
    int ended = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // "pid (comm) state ppid ...": the server's own imap children only.
        const std::string stat = Slurp(e.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos || stat.find("(imap)") == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == pid_ && ::kill(std::stoi(name), SIGKILL) == 0) ++ended;
    }
    return ended;
}

std::string Dovecot::Url(const std::string& user) const {
    return "imaps://" + user + "@127.0.0.1:" + std::to_string(imapsPort_) + "/";
}

void Dovecot::CopyUser(const std::string& from, const std::string& to) {
    // cp -a: Dovecot's Maildir keeps each message's arrival time (INTERNALDATE) as its file's
    // modification time.
    RunProgram({"cp", "-a", (dir_ / "home" / from).string(), (dir_ / "home" / to).string()});
    if (::geteuid() == 0) RunProgram({"chown", "-R", "nobody:nogroup", (dir_ / "home" / to).string()});
}

void Dovecot::AddUser(const std::string& user) {
    fs::create_directories(dir_ / "home" / user);
    if (::geteuid() == 0) RunProgram({"chown", "-R", "nobody:nogroup", (dir_ / "home" / user).string()});
}

fs::path Dovecot::Maildir(const std::string& user) const { return dir_ / "home" / user / "Maildir"; }

std::vector<std::string> Dovecot::ToolArgv(const std::string& user, const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"python3", NUBRA_IMAP_TOOL, std::to_string(imapsPort_), ca_.string(), user,
                                  Password(user)};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Result Dovecot::Tool(const std::string& user, const std::vector<std::string>& args) const {
    return RunProgram(ToolArgv(user, args));
}

std::map<std::string, std::vector<std::string>> Dovecot::Contents(const std::string& user) const {
    std::map<std::string, std::vector<std::string>> boxes;
    const auto r = Tool(user, {"dump"});
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        boxes[line.substr(0, tab)].push_back(line.substr(tab + 1));
    }
    for (auto& [box, ids] : boxes) std::sort(ids.begin(), ids.end());
    return boxes;
}

Radicale::Radicale(const fs::path& dir, bool plain) : dir_(dir), plain_(plain) {
    if (::access("/usr/bin/radicale", X_OK) != 0) {
        why_ = "Radicale is not installed (scripts/install-deps installs radicale)";
        return;
    }
    fs::create_directories(dir_ / "storage");
    ca_ = dir_ / "cert.pem";
    NewCertificate();
    if (!fs::exists(ca_)) return;
    Write(dir_ / "users", "");
    port_ = FreePort();
    const std::string d = dir_.string();
    Write(dir_ / "config",
          "[server]\nhosts = 127.0.0.1:" + std::to_string(port_) + "\n" +
              (plain ? "ssl = False\n" : "ssl = True\ncertificate = " + d + "/cert.pem\nkey = " + d + "/key.pem\n") +
              "[auth]\ntype = htpasswd\nhtpasswd_filename = " + d + "/users\nhtpasswd_encryption = plain\ndelay = 0\n"
              "[storage]\nfilesystem_folder = " + d + "/storage\n"
              "[rights]\ntype = owner_only\n"
              "[web]\ntype = none\n"
              "[logging]\nlevel = warning\n");
    // A test server: no flush to disk per change (an option Radicale takes only from code).
    Write(dir_ / "serve.py",
          "import sys\nfrom radicale import config, server\n"
          "c = config.load([(sys.argv[1], False)])\n"
          "c.update({'storage': {'_filesystem_fsync': 'False'}}, 'test', privileged=True)\n"
          "server.serve(c)\n");
    Start();
}

void Radicale::NewCertificate() {
    std::error_code none;
    fs::copy_file(ca_, OldCaFile(), fs::copy_options::overwrite_existing, none);
    const auto cert = RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                  "-nodes", "-keyout", (dir_ / "key.pem").string(), "-out", ca_.string(), "-days", "2",
                                  "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    if (cert.exit != 0) {
        why_ = "openssl could not make a certificate: " + cert.err;
        fs::remove(ca_, none);
    }
}

bool Radicale::Start() {
    const fs::path log = dir_ / "radicale.log";
    pid_ = Spawn({"/usr/bin/python3", (dir_ / "serve.py").string(), (dir_ / "config").string()}, {}, nullptr, &log);
    for (int i = 0; i < 1000 && !Listening(port_); ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Listening(port_)) {
        why_ = "Radicale did not start: " + Slurp(log);
        Stop();
        return false;
    }
    return true;
}

void Radicale::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    WaitFor(pid_);
    pid_ = -1;
}

Radicale::~Radicale() { Stop(); }

void Radicale::AddUser(const std::string& user) {
    std::ofstream(dir_ / "users", std::ios::app) << user << ":" << Password(user) << "\n";
}

std::string Radicale::Url(const std::string& user) const {
    return std::string(plain_ ? "http://" : "https://") + user + "@127.0.0.1:" + std::to_string(port_) + "/";
}

Result Radicale::Tool(const std::string& user, const std::vector<std::string>& args) const {
    // The system's Python, which Radicale runs on too.
    std::vector<std::string> argv{"/usr/bin/python3", NUBRA_DAV_TOOL, std::to_string(port_), ca_.string(), user,
                                  Password(user)};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

}  // namespace nubra::connected_tests
