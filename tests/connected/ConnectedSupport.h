// What the connected-store tests share: running nubrasweep (and the second IMAP and DAV
// clients) as a user runs them, a Dovecot and a Radicale started on 127.0.0.1 on free ports
// with their configuration, users and self-signed certificate in a temporary folder, and
// generated mail.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace nubra::connected_tests {

namespace fs = std::filesystem;

struct Result {
    int exit = -1;
    std::string out, err;
};

// Runs `argv` with `env` added to the environment, standard input closed.
Result RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
// Starts it without waiting (output discarded); the caller waits.
pid_t StartProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
int WaitFor(pid_t pid);  // the exit status as waitpid gives it

// One user's environment for nubrasweep: profile, cache, configuration and log in `dir`.
struct User {
    fs::path dir;
    std::map<std::string, std::string> env() const;
    Result Run(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {}) const;
    pid_t Start(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {}) const;
};

// `count` mails from the shared corpus generator as a Maildir in `dir`; returns the number of
// duplicates it says it made.
int GenerateCorpus(const fs::path& dir, int count, int seed);

// Message files of a maildir folder (cur/ and new/), by name.
std::vector<std::string> MessageFiles(const fs::path& maildir);

class Dovecot {
public:
    struct Options {
        bool move = true;     // offer MOVE
        bool uidplus = true;  // offer UIDPLUS
        std::string settings;  // more lines of configuration
    };
    // Skips (returns false from Started) when Dovecot is not installed.
    Dovecot(const fs::path& dir, Options options);
    explicit Dovecot(const fs::path& dir) : Dovecot(dir, Options{}) {}
    ~Dovecot();
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    bool Started() const { return pid_ > 0; }
    const std::string& Why() const { return why_; }
    int ImapsPort() const { return imapsPort_; }
    int ImapPort() const { return imapPort_; }
    const fs::path& CaFile() const { return ca_; }
    // The account address nubrasweep takes for `user`.
    std::string Url(const std::string& user) const;
    // Makes the home of a user (every user's password is "pw-<user>"); its mail is in
    // Maildir(user).
    void AddUser(const std::string& user);
    fs::path Maildir(const std::string& user) const;
    // A new user holding a copy of `from`'s mail (same UIDs), made while no client uses it.
    void CopyUser(const std::string& from, const std::string& to);
    static std::string Password(const std::string& user) { return "pw-" + user; }

    // Ends every IMAP session the server is serving (its imap processes, by process id): to
    // clients, the server dropped the connection. Returns how many were ended.
    int DropConnections() const;

    // The second, independent client (tests/connected/imap_tool.py).
    Result Tool(const std::string& user, const std::vector<std::string>& args) const;
    std::vector<std::string> ToolArgv(const std::string& user, const std::vector<std::string>& args) const;
    // mailbox -> "Message-ID TAB INTERNALDATE TAB size" of each message (sorted), as the
    // server shows them.
    std::map<std::string, std::vector<std::string>> Contents(const std::string& user) const;

private:
    fs::path dir_, ca_;
    pid_t pid_ = -1;
    int imapsPort_ = 0, imapPort_ = 0;
    std::string why_;
};

// A Radicale (CardDAV/CalDAV) started on 127.0.0.1 on a free port with its configuration,
// users (a plain htpasswd file) and self-signed certificate in a temporary folder, and the
// second, independent client (tests/connected/dav_tool.py) for it.
class Radicale {
public:
    // Skips (returns false from Started) when Radicale is not installed. `plain`: without TLS.
    explicit Radicale(const fs::path& dir, bool plain = false);
    ~Radicale();
    Radicale(const Radicale&) = delete;
    Radicale& operator=(const Radicale&) = delete;

    bool Started() const { return pid_ > 0; }
    const std::string& Why() const { return why_; }
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    const fs::path& CaFile() const { return ca_; }
    // The account address nubrasweep takes for `user` (at the server's root: discovery finds
    // the rest).
    std::string Url(const std::string& user) const;
    // Makes user `user`, whose password is Password(user).
    void AddUser(const std::string& user);
    static std::string Password(const std::string& user) { return "pw-" + user; }
    // Ends the server: clients see their connections dropped. Start starts it again on the
    // same port and storage; false when it does not come up.
    void Stop();
    bool Start();
    // A new self-signed certificate for the server from its next Start; the old one stays
    // in OldCaFile().
    void NewCertificate();
    fs::path OldCaFile() const { return dir_ / "old-cert.pem"; }
    // The files Radicale keeps a collection's items in.
    fs::path Storage(const std::string& user) const { return dir_ / "storage" / "collection-root" / user; }

    Result Tool(const std::string& user, const std::vector<std::string>& args) const;

private:
    fs::path dir_, ca_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool plain_ = false;
    std::string why_;
};

}  // namespace nubra::connected_tests
