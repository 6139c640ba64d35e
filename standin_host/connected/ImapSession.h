// One IMAP connection through libetpan: TCP with time-outs, TLS through GnuTLS with the
// certificate verified against the system trust store (plus a CA file), STARTTLS, login, and
// the commands the IMAP store needs. Every failure raises an AutomationError naming the
// server (never the password): kMapiNoAccess for a refused certificate or login,
// kMapiCallFailed for a server that cannot be reached, drops the connection or answers NO.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct mailimap;

namespace nubra::connected {

struct ImapUrl {
    bool tls = true;  // imaps:// (TLS from the start); imap:// is STARTTLS
    std::string user, host;
    uint16_t port = 993;
    // imaps://user@host:port/
    std::string Canonical() const;
};
// Raises kMapiInvalidParameter for anything but imap[s]://USER@HOST[:PORT][/].
ImapUrl ParseImapUrl(const std::string& url);

struct ImapConnectOptions {
    std::string caFile;       // PEM, trusted besides the system's store
    bool allowPlain = false;  // imap:// may stay unencrypted when STARTTLS is not offered
    int timeoutSeconds = 30;  // for connecting and for each answer
};

// Raises kMapiNotFound for UID 0, a message whose UID is not known yet: a command for it must
// never reach the server.
void RequireKnownUid(uint32_t uid);

class ImapSession {
public:
    // Connects, secures and logs in. `password` is used once and not kept.
    ImapSession(const ImapUrl& url, const ImapConnectOptions& options, const std::string& password);
    ~ImapSession();
    ImapSession(const ImapSession&) = delete;
    ImapSession& operator=(const ImapSession&) = delete;

    bool Has(const char* capability);  // after login
    bool HasMove();
    bool HasUidPlus();
    bool HasCondStore();

    struct Mailbox {
        std::string name;
        char delimiter = 0;
        bool selectable = true;
        bool trash = false;  // \Trash (special use)
    };
    std::vector<Mailbox> List();

    struct Status {
        uint32_t uidValidity = 0, uidNext = 0, messages = 0;
        uint64_t highestModSeq = 0;
    };
    Status StatusOf(const std::string& mailbox);
    Status Select(const std::string& mailbox);  // with CONDSTORE when offered
    const std::string& Selected() const { return selected_; }

    std::vector<uint32_t> UidSearchAll();
    // UIDs from `from` on (the search's own range), for finding what arrived since.
    std::vector<uint32_t> UidSearchFrom(uint32_t from);

    struct Message {
        uint32_t uid = 0;
        std::string header;    // the fetched header fields, or the whole message
        int64_t internalDateMs = 0;
        uint32_t size = 0;
        std::string flags;     // space separated
    };
    // UID FETCH of `uids` (of the selected mailbox) with INTERNALDATE, RFC822.SIZE, FLAGS and
    // the named header fields (or, without fields, the whole message), in pieces.
    void Fetch(const std::vector<uint32_t>& uids, const std::vector<std::string>& fields,
               const std::function<void(Message&&)>& each);

    // Of `uids` (ascending, of the selected mailbox), those that are still there.
    std::vector<uint32_t> UidSearchIn(const std::vector<uint32_t>& uids);

    // UID MOVE or UID COPY of `uids` (ascending; UID 0 refused) into `dest`, in pieces: the old and new
    // UID of each message the server told of (COPYUID); those it did not tell of are missing.
    using UidPairs = std::vector<std::pair<uint32_t, uint32_t>>;
    UidPairs UidMove(const std::vector<uint32_t>& uids, const std::string& dest);
    UidPairs UidCopy(const std::vector<uint32_t>& uids, const std::string& dest);
    void UidMarkDeleted(const std::vector<uint32_t>& uids);
    void UidExpunge(const std::vector<uint32_t>& uids);  // UIDPLUS: only these messages
    void Create(const std::string& mailbox);
    void Subscribe(const std::string& mailbox);
    void Unsubscribe(const std::string& mailbox);
    // DELETE; a selected mailbox is let go first (not every server deletes the selected one).
    void Delete(const std::string& mailbox);

    const std::string& Server() const { return server_; }

private:
    [[noreturn]] void Fail(int rc, const std::string& what);
    void Check(int rc, const std::string& what);
    void RefreshCapabilities();
    UidPairs UidTransfer(bool move, const std::vector<uint32_t>& uids, const std::string& dest);

    mailimap* imap_ = nullptr;
    std::string server_;  // user@host:port, for messages
    std::string selected_;
};

}  // namespace nubra::connected
