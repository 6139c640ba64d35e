// One IMAP connection through libetpan: TCP, TLS through GnuTLS with the certificate verified
// against the system trust store (plus a CA file), STARTTLS, login, and the commands the IMAP
// store needs. Every failure raises an AutomationError naming the server (never the password,
// which is also taken out of anything the server says): kMapiNoAccess for a refused
// certificate or login, kMapiCallFailed for a server that cannot be reached, drops the
// connection, answers NO, stalls, lies or sends more than is taken.
//
// A server is not trusted with time or memory. Every byte it sends passes our own stream
// under libetpan, which ends the connection (and the session: every later call raises the
// same error) when
// - a line of an answer (outside literals) is longer than kMaxLineBytes (1 MiB; the UIDs of a
//   whole folder, kMaxSearchLineBytes: 16 MiB, some two million messages);
// - a literal announces more than the command takes: kMaxMessageBytes (256 MiB) for a whole
//   message (the IMAP store does not even ask for a message whose size is above it, and says
//   which), kMaxFieldsBytes (16 MiB) for anything else (header fields, names);
// - one command's answer brings more than kMaxAnswerBytes (64 MiB; a whole-message fetch
//   kMaxMessageBytes more);
// - the connection ends (end of stream and errors are final: nothing is read again);
// - time runs out. The greeting (with the TLS handshake) must come within 30 s, or the
//   command limit when that is shorter. A command's answer must keep moving: it fails when
//   `timeoutSeconds` (default 60; the store's "timeout" option from `store add-imap
//   --timeout`, NUBRA_IMAP_TIMEOUT for one process) pass without progress, progress being a complete line or 64 KiB of a literal,
//   or when, after its first `timeoutSeconds`, it has come slower than 1 KiB a second on
//   average: a server that trickles bytes, or useless lines, cannot hold a command for ever.
// Answers are also checked against what was asked: a FETCH answer for a UID not asked for is
// dropped (one repeated replaces the first), a SEARCH answer names only UIDs asked about, and
// a COPYUID that names messages not asked for, or more than were asked, fails the command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

inline constexpr size_t kMaxLineBytes = size_t{1} << 20;
inline constexpr size_t kMaxSearchLineBytes = size_t{16} << 20;
inline constexpr size_t kMaxFieldsBytes = size_t{16} << 20;
inline constexpr size_t kMaxMessageBytes = size_t{256} << 20;
inline constexpr size_t kMaxAnswerBytes = size_t{64} << 20;

struct ImapConnectOptions {
    std::string caFile;       // PEM, trusted besides the system's store
    bool allowPlain = false;  // imap:// may stay unencrypted when STARTTLS is not offered
    int timeoutSeconds = 60;  // a command's answer without progress (see above)
    int greetingSeconds = 30; // connecting, the TLS handshake and the greeting
};
// The command limit for this process: NUBRA_IMAP_TIMEOUT, else `option` (the store's
// "timeout"), else 60. Raises kMapiInvalidParameter naming the setting when it is no number of
// seconds from 1 to 3600.
int ImapTimeoutSeconds(const std::string& option);

struct Watch;

// Raises kMapiNotFound for UID 0, a message whose UID is not known yet: a command for it must
// never reach the server.
void RequireKnownUid(uint32_t uid);

class ImapSession {
public:
    // Connects, secures and logs in. `password` is kept only to take it out of what the server
    // says (an echo in an error).
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
        // Its name held a NUL (libetpan cuts it there), or it could be the cut one: two
        // mailboxes may stand for one name, so the name is not to be used.
        bool cut = false;
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
    // the named header fields (or, without fields, the whole message), in pieces. `each` gets
    // each message asked for that the server sent, once, in UID order.
    void Fetch(const std::vector<uint32_t>& uids, const std::vector<std::string>& fields,
               const std::function<void(Message&&)>& each);

    // Of `uids` (ascending, of the selected mailbox), those that are still there.
    std::vector<uint32_t> UidSearchIn(const std::vector<uint32_t>& uids);

    // UID MOVE or UID COPY of `uids` (ascending; UID 0 refused) into `dest`, in pieces: the old and new
    // UID of each message the server told of (COPYUID); those it did not tell of are missing.
    // A COPYUID naming a message not asked for (or one twice) raises kMapiCallFailed after the
    // command: what the server did is then unknown.
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
    std::string Redact(std::string text) const;
    void RefreshCapabilities();
    UidPairs UidTransfer(bool move, const std::vector<uint32_t>& uids, const std::string& dest);

    std::unique_ptr<Watch> watch_;  // shared by the plain and the TLS stream (STARTTLS)
    mailimap* imap_ = nullptr;
    std::string server_;  // user@host:port, for messages
    std::string password_;
    std::string selected_;
};

}  // namespace nubra::connected
