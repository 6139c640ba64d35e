#include "standin_host/connected/ImapSession.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <libetpan/libetpan.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <span>

#include "standin_host/connected/Common.h"

namespace nubra::connected {

using Clock = std::chrono::steady_clock;

namespace {
// Each complete line, and each this much of a literal, is progress (see ImapSession.h).
constexpr uint64_t kProgressBytes = 64 * 1024;
// The slowest average an answer may keep up after its first time limit.
constexpr uint64_t kMinBytesPerSecond = 1024;

std::string SizeText(uint64_t bytes) {
    if (bytes >= (uint64_t{1} << 20) && bytes % (uint64_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}
}  // namespace

// What the server sends for the command under way, measured before libetpan sees a byte: the
// limits and the deadlines of ImapSession.h. A limit crossed or a deadline passed breaks the
// stream for good.
struct Watch {
    int commandMs = 60000, greetingMs = 30000;
    uint64_t lineLimit = kMaxLineBytes;
    uint64_t literalLimit = kMaxFieldsBytes;
    uint64_t answerLimit = kMaxAnswerBytes;

    enum class Broken { No, Closed, Error, Late, Limit };
    Broken broken = Broken::No;
    std::string why;  // what happened, for the error (never server text)

    bool greeting = true;  // nothing was sent yet
    Clock::time_point start = Clock::now(), progress = start;
    uint64_t answerBytes = 0;
    // The stream's state: within a line (its length so far and its last bytes, where a
    // literal is announced) or within a literal (what is left of it).
    size_t lineBytes = 0;
    std::string tail;
    uint64_t literalLeft = 0, literalDone = 0;
    // What came before each NUL byte of this answer (the first few): a name that libetpan
    // hands over as a C string ends there.
    std::string recent;
    std::vector<std::string> beforeNul;

    // A command is being sent: its answer starts now.
    void Begin() {
        greeting = false;
        start = progress = Clock::now();
        answerBytes = 0;
        beforeNul.clear();
    }
    int LimitMs() const { return greeting ? std::min(greetingMs, commandMs) : commandMs; }
    // Milliseconds left until the deadline (at least one); when none are, the stream is broken.
    int Remaining() {
        const auto now = Clock::now();
        const auto limit = std::chrono::milliseconds(LimitMs());
        const auto idle = progress + limit;
        const auto slow = start + limit + std::chrono::milliseconds(answerBytes * 1000 / kMinBytesPerSecond);
        if (now < idle && now < slow) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(std::min(idle, slow) - now).count();
            return static_cast<int>(std::min<int64_t>(left, INT_MAX));
        }
        const auto seconds = std::to_string((LimitMs() + 999) / 1000) + " s";
        if (greeting) Break(Broken::Late, "did not greet within " + seconds);
        else if (now >= idle) Break(Broken::Late, "sent nothing that counts for " + seconds);
        else
            Break(Broken::Late, "answered too slowly: " + std::to_string(answerBytes) + " bytes in " +
                                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()) +
                                    " s");
        return 0;
    }
    void Break(Broken kind, std::string text) {
        if (broken != Broken::No) return;
        broken = kind;
        why = std::move(text);
    }

    void Note(const char* p, size_t n) {
        for (const char* z = static_cast<const char*>(std::memchr(p, 0, n)); z && beforeNul.size() < 64;
             z = static_cast<const char*>(std::memchr(z + 1, 0, static_cast<size_t>(p + n - z - 1)))) {
            std::string before = recent + std::string(p, static_cast<size_t>(z - p));
            if (before.size() > 1024) before.erase(0, before.size() - 1024);
            beforeNul.push_back(std::move(before));
        }
        if (n >= 1024) recent.assign(p + n - 1024, 1024);
        else {
            recent.append(p, n);
            if (recent.size() > 2048) recent.erase(0, recent.size() - 1024);
        }
    }

    // The literal announced at the end of a line ("… {123}\r\n"), if any.
    static std::optional<uint64_t> Announced(std::string_view line) {
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.back() != '}') return std::nullopt;
        line.remove_suffix(1);
        size_t digits = 0;
        while (digits < line.size() && line[line.size() - 1 - digits] >= '0' && line[line.size() - 1 - digits] <= '9')
            ++digits;
        if (digits == 0 || digits == line.size() || line[line.size() - 1 - digits] != '{') return std::nullopt;
        if (digits > 19) return UINT64_MAX;
        return std::strtoull(std::string(line.substr(line.size() - digits)).c_str(), nullptr, 10);
    }

    // Measures `n` bytes just received; false (the stream broken) when they cross a limit.
    bool Take(const char* p, size_t n) {
        answerBytes += n;
        if (answerBytes > answerLimit) {
            Break(Broken::Limit, "sent more than " + SizeText(answerLimit) + " in one answer");
            return false;
        }
        const auto now = Clock::now();
        while (n > 0) {
            if (literalLeft > 0) {
                const size_t k = static_cast<size_t>(std::min<uint64_t>(literalLeft, n));
                Note(p, k);
                literalLeft -= k;
                literalDone += k;
                if (literalLeft == 0 || literalDone >= kProgressBytes) {
                    progress = now;
                    literalDone = 0;
                }
                p += k;
                n -= k;
                continue;
            }
            const auto* eol = static_cast<const char*>(std::memchr(p, '\n', n));
            const size_t k = eol ? static_cast<size_t>(eol - p) + 1 : n;
            Note(p, k);
            lineBytes += k;
            if (lineBytes > lineLimit) {
                Break(Broken::Limit, "sent a line longer than " + SizeText(lineLimit));
                return false;
            }
            tail.append(p + (k > 32 ? k - 32 : 0), std::min<size_t>(k, 32));
            if (tail.size() > 32) tail.erase(0, tail.size() - 32);
            p += k;
            n -= k;
            if (!eol) continue;
            progress = now;
            lineBytes = 0;
            const auto literal = Announced(tail);
            tail.clear();
            if (!literal) continue;
            if (*literal > literalLimit) {
                Break(Broken::Limit, "announced " + (*literal == UINT64_MAX ? std::string("a literal beyond 2^64 bytes")
                                                                              : "a literal of " + std::to_string(*literal) + " bytes") +
                                         ", more than the " + SizeText(literalLimit) + " taken here");
                return false;
            }
            literalLeft = *literal;
            literalDone = 0;
        }
        return true;
    }
};

namespace {

// ------------------------------------------------------------------ streams under libetpan
// libetpan reads and writes through a "low" stream; ours is GnuTLS with the peer's certificate
// checked against the system's trust store (and a CA file) and the host name, so nothing is
// said to a server whose certificate does not hold, or the plain socket (imap:// before
// STARTTLS, or --allow-plain). Either way a write to a connection the server dropped fails
// with EPIPE instead of raising SIGPIPE, which would end the whole program in the middle of a
// run. The socket does not block: every wait is a poll up to the watch's deadline, so that no
// single read can outlast it (a TLS record trickled in byte by byte included).
struct StreamLow {
    int fd = -1;
    gnutls_session_t session = nullptr;  // none: the plain socket
    gnutls_certificate_credentials_t credentials = nullptr;
    Watch* watch = nullptr;  // the session's
};

// Waits up to the watch's deadline for `events`; false (the stream broken) when it passed.
bool WaitFor(int fd, short events, Watch& w) {
    for (;;) {
        const int left = w.Remaining();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, left);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) {
            w.Break(Watch::Broken::Error, std::strerror(errno));
            return false;
        }
    }
}

ssize_t StreamRead(mailstream_low* s, void* buf, size_t count) {
    auto* t = static_cast<StreamLow*>(s->data);
    Watch& w = *t->watch;
    while (w.broken == Watch::Broken::No) {
        ssize_t n;
        bool again = false;
        if (!t->session) {
            n = ::recv(t->fd, buf, count, 0);
            if (n < 0 && errno == EINTR) continue;
            again = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (n < 0 && !again) w.Break(Watch::Broken::Error, std::strerror(errno));
        } else {
            n = gnutls_record_recv(t->session, buf, count);
            if (n == GNUTLS_E_INTERRUPTED) continue;
            again = n == GNUTLS_E_AGAIN;
            // A warning alert; endless ones are held to the deadline like any other data.
            if (n < 0 && !again && !gnutls_error_is_fatal(static_cast<int>(n))) {
                w.Remaining();
                continue;
            }
            if (n == GNUTLS_E_PREMATURE_TERMINATION) w.Break(Watch::Broken::Closed, {});
            else if (n < 0 && !again) w.Break(Watch::Broken::Error, gnutls_strerror(static_cast<int>(n)));
        }
        // The end of the stream is final: libetpan would otherwise ask again and again.
        if (n == 0) w.Break(Watch::Broken::Closed, {});
        if (n > 0) return w.Take(static_cast<const char*>(buf), static_cast<size_t>(n)) ? n : -1;
        if (again) WaitFor(t->fd, POLLIN, w);
    }
    return -1;
}
ssize_t StreamWrite(mailstream_low* s, const void* buf, size_t count) {
    auto* t = static_cast<StreamLow*>(s->data);
    Watch& w = *t->watch;
    if (w.broken == Watch::Broken::No) w.Begin();
    while (w.broken == Watch::Broken::No) {
        if (!t->session) {
            const ssize_t n = ::send(t->fd, buf, count, MSG_NOSIGNAL);
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) w.Break(Watch::Broken::Error, std::strerror(errno));
            else WaitFor(t->fd, POLLOUT, w);
            continue;
        }
        const ssize_t n = gnutls_record_send(t->session, buf, count);
        if (n >= 0) return n;
        if (n == GNUTLS_E_INTERRUPTED) continue;
        if (n != GNUTLS_E_AGAIN) w.Break(Watch::Broken::Error, gnutls_strerror(static_cast<int>(n)));
        else WaitFor(t->fd, POLLOUT, w);
    }
    return -1;
}
int StreamClose(mailstream_low* s) {
    auto* t = static_cast<StreamLow*>(s->data);
    // A polite close only on a sound connection, and never waiting for the server.
    if (t->session && t->watch->broken == Watch::Broken::No) gnutls_bye(t->session, GNUTLS_SHUT_WR);
    if (t->fd >= 0) ::close(t->fd);
    t->fd = -1;
    return 0;
}
int StreamFd(mailstream_low* s) { return static_cast<StreamLow*>(s->data)->fd; }
void StreamFree(mailstream_low* s) {
    auto* t = static_cast<StreamLow*>(s->data);
    if (t->session) gnutls_deinit(t->session);
    if (t->credentials) gnutls_certificate_free_credentials(t->credentials);
    delete t;
    std::free(s);
}
void StreamCancel(mailstream_low*) {}
struct mailstream_cancel* StreamGetCancel(mailstream_low*) { return nullptr; }
carray* StreamChain(mailstream_low*) { return nullptr; }
int StreamIdle(mailstream_low*) { return -1; }

mailstream_low_driver gStreamDriver = {StreamRead,      StreamWrite, StreamClose, StreamFd,   StreamFree, StreamCancel,
                                       StreamGetCancel, StreamChain, StreamIdle,  StreamIdle, StreamIdle};

// The plain socket `fd` (taken over: closed on failure) as a stream.
mailstream_low* OpenPlain(int fd, Watch& watch) {
    auto t = std::make_unique<StreamLow>();
    t->fd = fd;
    t->watch = &watch;
    mailstream_low* low = mailstream_low_new(t.get(), &gStreamDriver);
    if (!low) {
        ::close(fd);
        RaiseError(errnum::kOutOfMemory, "out of memory", kSource);
    }
    t.release();
    return low;
}

[[noreturn]] void Refuse(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

// A TLS stream over `fd` (taken over: closed on failure), verified for `host`; the handshake
// within the watch's deadline.
mailstream_low* OpenTls(int fd, const std::string& host, const std::string& server, const std::string& caFile,
                        Watch& watch) {
    auto t = std::make_unique<StreamLow>();
    t->fd = fd;
    t->watch = &watch;
    auto fail = [&](int32_t number, const std::string& what) {
        if (t->session) gnutls_deinit(t->session);
        if (t->credentials) gnutls_certificate_free_credentials(t->credentials);
        ::close(fd);
        t->session = nullptr;
        t->credentials = nullptr;
        Refuse(number, what);
    };
    if (gnutls_certificate_allocate_credentials(&t->credentials) < 0) fail(errnum::kMapiNoAccess, "cannot set up TLS for " + server);
    if (gnutls_certificate_set_x509_system_trust(t->credentials) < 0 && caFile.empty())
        fail(errnum::kMapiNoAccess, "the system's trusted certificates cannot be read (TLS to " + server + ")");
    if (!caFile.empty() &&
        gnutls_certificate_set_x509_trust_file(t->credentials, caFile.c_str(), GNUTLS_X509_FMT_PEM) <= 0)
        fail(errnum::kMapiNoAccess, "the CA file \"" + caFile + "\" holds no certificate that can be read");
    if (gnutls_init(&t->session, GNUTLS_CLIENT | GNUTLS_NO_SIGNAL | GNUTLS_NONBLOCK) < 0)
        fail(errnum::kMapiNoAccess, "cannot set up TLS for " + server);
    gnutls_set_default_priority(t->session);
    gnutls_credentials_set(t->session, GNUTLS_CRD_CERTIFICATE, t->credentials);
    gnutls_server_name_set(t->session, GNUTLS_NAME_DNS, host.data(), host.size());
    // The chain up to a trusted root, dates, and the host name.
    gnutls_session_set_verify_cert(t->session, host.c_str(), 0);
    gnutls_transport_set_int(t->session, fd);
    int rc;
    for (;;) {
        rc = gnutls_handshake(t->session);
        if (rc >= 0 || gnutls_error_is_fatal(rc)) break;
        // Waiting for the server, or a warning alert: either way within the deadline.
        const bool more = rc == GNUTLS_E_AGAIN
                              ? WaitFor(fd, gnutls_record_get_direction(t->session) ? POLLOUT : POLLIN, watch)
                              : watch.Remaining() > 0;
        if (!more) fail(errnum::kMapiCallFailed, "the server " + server + " " + watch.why + " (TLS handshake)");
    }
    if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        const unsigned status = gnutls_session_get_verify_cert_status(t->session);
        gnutls_datum_t text{};
        std::string why = "not trusted";
        if (gnutls_certificate_verification_status_print(status, gnutls_certificate_type_get(t->session), &text, 0) == 0) {
            why = reinterpret_cast<const char*>(text.data);
            gnutls_free(text.data);
        }
        fail(errnum::kMapiNoAccess, "the certificate of " + server + " was refused: " + why +
                                        " (give the server's CA with --ca-file if it is a private one)");
    }
    if (rc < 0) fail(errnum::kMapiNoAccess, "the TLS handshake with " + server + " failed: " + gnutls_strerror(rc));
    mailstream_low* low = mailstream_low_new(t.get(), &gStreamDriver);
    if (!low) fail(errnum::kOutOfMemory, "out of memory");
    t.release();
    return low;
}

// A connected socket that does not block.
int ConnectTcp(const std::string& host, uint16_t port, int timeoutSeconds, const std::string& server) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int g = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (g != 0) Refuse(errnum::kMapiCallFailed, "cannot find the server " + server + ": " + gai_strerror(g));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
    std::string last = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, timeoutSeconds * 1000);
            int err = 0;
            socklen_t len = sizeof err;
            if (rc == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
            else {
                errno = rc == 0 ? ETIMEDOUT : err;
                rc = -1;
            }
        }
        if (rc == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        last = std::strerror(errno);
        ::close(fd);
    }
    Refuse(errnum::kMapiCallFailed, "cannot reach the server " + server + ": " + last);
}

// Whether the peer of socket `fd` is this machine (a loopback address).
bool OnThisMachine(int fd) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
    if (peer.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr) >> 24) == 127;
    if (peer.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
    }
    return false;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

int64_t InternalDateMs(const mailimap_date_time* d) {
    if (!d) return 0;
    tm t{};
    t.tm_year = d->dt_year - 1900;
    t.tm_mon = d->dt_month - 1;
    t.tm_mday = d->dt_day;
    t.tm_hour = d->dt_hour;
    t.tm_min = d->dt_min;
    t.tm_sec = d->dt_sec;
    const int zone = d->dt_zone;  // +0130 as 130
    const int offsetMinutes = (zone / 100) * 60 + zone % 100;
    return (static_cast<int64_t>(::timegm(&t)) - int64_t{offsetMinutes} * 60) * 1000;
}

// A set of the given UIDs as intervals.
mailimap_set* SetOf(const std::vector<uint32_t>& uids, size_t from, size_t to) {
    mailimap_set* set = mailimap_set_new_empty();
    size_t i = from;
    while (i < to) {
        size_t j = i;
        while (j + 1 < to && uids[j + 1] == uids[j] + 1) ++j;
        mailimap_set_add_interval(set, uids[i], uids[j]);
        i = j + 1;
    }
    return set;
}

template <typename T, void (*F)(T*)>
struct Freer {
    void operator()(T* p) const {
        if (p) F(p);
    }
};
using SetPtr = std::unique_ptr<mailimap_set, Freer<mailimap_set, mailimap_set_free>>;

// Keeps a command line well below the servers' limits (Dovecot's is 64 KiB).
constexpr size_t kUidsPerCommand = 1000;

// Calls `each` with the sets of `uids`, kUidsPerCommand at a time, and the UIDs each names (it
// may take a set over by releasing it). Refuses UID 0 before anything is sent
// (RequireKnownUid).
template <typename Each>
void InPieces(const std::vector<uint32_t>& uids, Each&& each) {
    for (uint32_t uid : uids) RequireKnownUid(uid);
    for (size_t from = 0; from < uids.size(); from += kUidsPerCommand) {
        const size_t to = std::min(uids.size(), from + kUidsPerCommand);
        SetPtr set(SetOf(uids, from, to));
        each(set, std::span<const uint32_t>(uids).subspan(from, to - from));
    }
}

// Every UID a set from the server names, in its order; nullopt when it names "*" or more than
// `most` UIDs: it is never expanded past what the command asked about.
std::optional<std::vector<uint32_t>> UidsOf(mailimap_set* set, size_t most) {
    std::vector<uint32_t> uids;
    if (!set || !set->set_list) return uids;
    uint64_t count = 0;
    for (clistiter* it = clist_begin(set->set_list); it; it = clist_next(it)) {
        auto* item = static_cast<mailimap_set_item*>(clist_content(it));
        if (item->set_first == 0 || item->set_last == 0) return std::nullopt;
        count += uint64_t{std::max(item->set_first, item->set_last)} - std::min(item->set_first, item->set_last) + 1;
        if (count > most) return std::nullopt;
    }
    for (clistiter* it = clist_begin(set->set_list); it; it = clist_next(it)) {
        auto* item = static_cast<mailimap_set_item*>(clist_content(it));
        const uint32_t lo = std::min(item->set_first, item->set_last), hi = std::max(item->set_first, item->set_last);
        for (uint64_t u = lo; u <= hi; ++u) uids.push_back(static_cast<uint32_t>(u));
    }
    return uids;
}

// Limits of its own for one command (a whole message, the UIDs of a whole folder); the usual
// ones again after it.
class Allowance {
public:
    Allowance(Watch& w, uint64_t line, uint64_t literal, uint64_t answer)
        : w_(w), line_(w.lineLimit), literal_(w.literalLimit), answer_(w.answerLimit) {
        w.lineLimit = line, w.literalLimit = literal, w.answerLimit = answer;
    }
    ~Allowance() { w_.lineLimit = line_, w_.literalLimit = literal_, w_.answerLimit = answer_; }
    Allowance(const Allowance&) = delete;
    Allowance& operator=(const Allowance&) = delete;

private:
    Watch& w_;
    uint64_t line_, literal_, answer_;
};

// Whether `context` (the bytes before a NUL) ends with as much of `name` as it holds, as the
// name or as a quoted string: then the NUL may have cut `name`.
bool MayBeCut(const std::string& context, const std::string& name) {
    std::string quoted;
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    for (const std::string* form : {&name, static_cast<const std::string*>(&quoted)}) {
        const size_t k = std::min(form->size(), context.size());
        if (k > 0 && context.compare(context.size() - k, k, *form, form->size() - k, k) == 0) return true;
    }
    return false;
}

}  // namespace

void RequireKnownUid(uint32_t uid) {
    // libetpan writes UID 0 as "*", the newest message of the folder.
    if (uid == 0)
        RaiseError(errnum::kMapiNotFound,
                   "the message's UID on the server is not known yet; it is found again at the next synchronisation",
                   kSource);
}

std::string ImapUrl::Canonical() const {
    return std::string(tls ? "imaps://" : "imap://") + user + "@" + host + ":" + std::to_string(port) + "/";
}

ImapUrl ParseImapUrl(const std::string& text) {
    ImapUrl u;
    std::string rest;
    // A password written into the address (user:password@) is not repeated in the error.
    std::string shown = text;
    if (const auto scheme = shown.find("://"), at = shown.rfind('@'); scheme != std::string::npos && at != std::string::npos) {
        if (const auto colon = shown.find(':', scheme + 3); colon < at) shown.replace(colon + 1, at - colon - 1, "***");
    }
    auto bad = [&](const std::string& why) {
        Refuse(errnum::kMapiInvalidParameter,
               "\"" + shown + "\" is no IMAP account address (imaps://USER@HOST[:PORT]/): " + why);
    };
    if (text.rfind("imaps://", 0) == 0) {
        u.tls = true;
        u.port = 993;
        rest = text.substr(8);
    } else if (text.rfind("imap://", 0) == 0) {
        u.tls = false;
        u.port = 143;
        rest = text.substr(7);
    } else {
        bad("it must begin with imaps:// or imap://");
    }
    if (auto slash = rest.find('/'); slash != std::string::npos) {
        if (slash + 1 != rest.size()) bad("folders cannot be named in it");
        rest.resize(slash);
    }
    const auto at = rest.rfind('@');
    if (at == std::string::npos || at == 0) bad("the user name is missing");
    u.user = rest.substr(0, at);
    if (u.user.find(':') != std::string::npos) bad("a password must not be written in it");
    std::string hostPort = rest.substr(at + 1);
    if (!hostPort.empty() && hostPort.front() == '[') {
        const auto close = hostPort.find(']');
        if (close == std::string::npos) bad("unclosed [");
        u.host = hostPort.substr(1, close - 1);
        hostPort = hostPort.substr(close + 1);
        if (!hostPort.empty() && hostPort.front() != ':') bad("bad port");
    } else {
        const auto colon = hostPort.find(':');
        u.host = hostPort.substr(0, colon);
        hostPort = colon == std::string::npos ? "" : hostPort.substr(colon);
    }
    if (!hostPort.empty()) {
        const std::string port = hostPort.substr(1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) == 0 || std::stoul(port) > 65535)
            bad("bad port");
        u.port = static_cast<uint16_t>(std::stoul(port));
    }
    if (u.host.empty()) bad("the host is missing");
    return u;
}

int ImapTimeoutSeconds(const std::string& option) { return TimeoutSetting("NUBRA_IMAP_TIMEOUT", option); }

ImapSession::ImapSession(const ImapUrl& url, const ImapConnectOptions& options, const std::string& password)
    : watch_(std::make_unique<Watch>()), server_(url.user + "@" + url.host + ":" + std::to_string(url.port)),
      password_(password) {
    watch_->commandMs = options.timeoutSeconds * 1000;
    watch_->greetingMs = options.greetingSeconds * 1000;
    const int fd = ConnectTcp(url.host, url.port, std::min(options.greetingSeconds, options.timeoutSeconds), server_);
    watch_->start = watch_->progress = Clock::now();
    imap_ = mailimap_new(0, nullptr);
    if (!imap_) {
        ::close(fd);
        Refuse(errnum::kOutOfMemory, "out of memory");
    }
    try {
        mailstream_low* low = url.tls ? OpenTls(fd, url.host, server_, options.caFile, *watch_) : OpenPlain(fd, *watch_);
        mailstream* stream = mailstream_new(low, 8192);
        if (!stream) {
            mailstream_low_close(low);
            mailstream_low_free(low);
            Refuse(errnum::kOutOfMemory, "out of memory");
        }
        const int rc = mailimap_connect(imap_, stream);
        if (rc != MAILIMAP_NO_ERROR_NON_AUTHENTICATED && rc != MAILIMAP_NO_ERROR_AUTHENTICATED) Fail(rc, "greeting");
        if (!url.tls) {
            RefreshCapabilities();
            if (mailimap_has_extension(imap_, const_cast<char*>("STARTTLS"))) {
                Check(mailimap_starttls(imap_), "STARTTLS");
                mailstream_low* plain = mailstream_get_low(imap_->imap_stream);
                const int sfd = mailstream_low_get_fd(plain);
                // The socket stays; only the plain stream over it goes.
                mailstream_low* tls = OpenTls(::dup(sfd), url.host, server_, options.caFile, *watch_);
                mailstream_low_close(plain);
                mailstream_low_free(plain);
                mailstream_set_low(imap_->imap_stream, tls);
            } else if (!options.allowPlain || !OnThisMachine(mailstream_low_get_fd(mailstream_get_low(imap_->imap_stream)))) {
                // Anyone on the way could strip STARTTLS from the answer: plain text only where
                // there is no way in between.
                Refuse(errnum::kMapiNoAccess, "the server " + server_ +
                                                  " offers no STARTTLS, so the password would go unencrypted; use "
                                                  "imaps:// (--allow-plain serves only a test server on this machine)");
            }
        }
        const int login = mailimap_login(imap_, url.user.c_str(), password.c_str());
        if (login == MAILIMAP_ERROR_LOGIN)
            Refuse(errnum::kMapiNoAccess, "the server " + server_ + " refused the login of " + url.user +
                                              " (wrong password?): " +
                                              Redact(Trim(imap_->imap_response ? imap_->imap_response : "")));
        Check(login, "LOGIN");
        RefreshCapabilities();
    } catch (...) {
        mailimap_free(imap_);
        imap_ = nullptr;
        throw;
    }
}

ImapSession::~ImapSession() {
    if (!imap_) return;
    // A goodbye only on a sound connection, and not waiting long for it.
    if (watch_->broken == Watch::Broken::No) {
        watch_->commandMs = std::min(watch_->commandMs, 5000);
        mailimap_logout(imap_);
    }
    mailimap_free(imap_);
}

std::string ImapSession::Redact(std::string text) const {
    if (password_.empty()) return text;
    std::string quoted;
    for (char c : password_) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    for (const std::string& secret : {quoted, password_}) {
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), "***");
    }
    return text;
}

void ImapSession::Fail(int rc, const std::string& what) {
    const Watch& w = *watch_;
    switch (w.broken) {
        case Watch::Broken::No: break;
        case Watch::Broken::Closed: Refuse(errnum::kMapiCallFailed, "the connection to " + server_ + " was lost (" + what + ")");
        case Watch::Broken::Error:
            Refuse(errnum::kMapiCallFailed, "the connection to " + server_ + " was lost (" + what + "): " + w.why);
        case Watch::Broken::Late:
        case Watch::Broken::Limit:
            Refuse(errnum::kMapiCallFailed, "the server " + server_ + " " + w.why + " (" + what + "); the connection was ended");
    }
    std::string said = imap_ && imap_->imap_response ? Redact(Trim(imap_->imap_response)) : std::string();
    if (rc == MAILIMAP_ERROR_STREAM || rc == MAILIMAP_ERROR_CONNECTION_REFUSED || rc == MAILIMAP_ERROR_PARSE ||
        rc == MAILIMAP_ERROR_FATAL) {
        // What follows cannot be told apart from the rest of this answer (or the server said
        // goodbye): the connection is not used again.
        watch_->Break(Watch::Broken::Closed, {});
        Refuse(errnum::kMapiCallFailed, "the connection to " + server_ + " was lost (" + what + ")" +
                                            (rc == MAILIMAP_ERROR_FATAL && !said.empty() ? ": " + said : ""));
    }
    Refuse(errnum::kMapiCallFailed,
           "the server " + server_ + " refused " + what + (said.empty() ? "" : ": " + said));
}

void ImapSession::Check(int rc, const std::string& what) {
    if (rc != MAILIMAP_NO_ERROR) Fail(rc, what);
}

void ImapSession::RefreshCapabilities() {
    mailimap_capability_data* caps = nullptr;
    Check(mailimap_capability(imap_, &caps), "CAPABILITY");
    if (caps) mailimap_capability_data_free(caps);
}

bool ImapSession::Has(const char* capability) { return mailimap_has_extension(imap_, const_cast<char*>(capability)) != 0; }
bool ImapSession::HasMove() { return Has("MOVE"); }
bool ImapSession::HasUidPlus() { return mailimap_has_uidplus(imap_) != 0; }
bool ImapSession::HasCondStore() { return mailimap_has_condstore(imap_) != 0; }

std::vector<ImapSession::Mailbox> ImapSession::List() {
    clist* result = nullptr;
    Check(mailimap_list(imap_, "", "*", &result), "LIST");
    std::vector<Mailbox> out;
    for (clistiter* it = result ? clist_begin(result) : nullptr; it; it = clist_next(it)) {
        auto* mb = static_cast<mailimap_mailbox_list*>(clist_content(it));
        Mailbox m;
        m.name = mb->mb_name;
        m.delimiter = mb->mb_delimiter;
        if (mb->mb_flag) {
            if (mb->mb_flag->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG &&
                mb->mb_flag->mbf_sflag == MAILIMAP_MBX_LIST_SFLAG_NOSELECT)
                m.selectable = false;
            for (clistiter* f = mb->mb_flag->mbf_oflags ? clist_begin(mb->mb_flag->mbf_oflags) : nullptr; f;
                 f = clist_next(f)) {
                auto* o = static_cast<mailimap_mbx_list_oflag*>(clist_content(f));
                if (o->of_type != MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT || !o->of_flag_ext) continue;
                std::string flag = o->of_flag_ext;
                if (!flag.empty() && flag[0] == '\\') flag.erase(0, 1);
                if (strcasecmp(flag.c_str(), "Trash") == 0) m.trash = true;
                if (strcasecmp(flag.c_str(), "NonExistent") == 0 || strcasecmp(flag.c_str(), "Noselect") == 0)
                    m.selectable = false;
            }
        }
        for (const auto& before : watch_->beforeNul) m.cut = m.cut || MayBeCut(before, m.name);
        out.push_back(std::move(m));
    }
    if (result) mailimap_list_result_free(result);
    return out;
}

ImapSession::Status ImapSession::StatusOf(const std::string& mailbox) {
    mailimap_status_att_list* atts = mailimap_status_att_list_new_empty();
    mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_MESSAGES);
    mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_UIDNEXT);
    mailimap_status_att_list_add(atts, MAILIMAP_STATUS_ATT_UIDVALIDITY);
    mailimap_mailbox_data_status* data = nullptr;
    const int rc = mailimap_status(imap_, mailbox.c_str(), atts, &data);
    mailimap_status_att_list_free(atts);
    Check(rc, "STATUS " + mailbox);
    Status s;
    for (clistiter* it = data && data->st_info_list ? clist_begin(data->st_info_list) : nullptr; it; it = clist_next(it)) {
        auto* info = static_cast<mailimap_status_info*>(clist_content(it));
        if (info->st_att == MAILIMAP_STATUS_ATT_MESSAGES) s.messages = info->st_value;
        if (info->st_att == MAILIMAP_STATUS_ATT_UIDNEXT) s.uidNext = info->st_value;
        if (info->st_att == MAILIMAP_STATUS_ATT_UIDVALIDITY) s.uidValidity = info->st_value;
    }
    if (data) mailimap_mailbox_data_status_free(data);
    return s;
}

ImapSession::Status ImapSession::Select(const std::string& mailbox) {
    Status s;
    int rc;
    if (HasCondStore()) rc = mailimap_select_condstore(imap_, mailbox.c_str(), &s.highestModSeq);
    else rc = mailimap_select(imap_, mailbox.c_str());
    if (rc != MAILIMAP_NO_ERROR) {
        selected_.clear();
        Fail(rc, "SELECT " + mailbox);
    }
    selected_ = mailbox;
    if (auto* sel = imap_->imap_selection_info) {
        s.uidValidity = sel->sel_uidvalidity;
        s.uidNext = sel->sel_uidnext;
        s.messages = sel->sel_exists;
    }
    return s;
}

namespace {
// The UIDs of a SEARCH answer, ascending, each once; only those of `asked` when given.
std::vector<uint32_t> SearchResult(clist* result, std::span<const uint32_t> asked = {}) {
    std::vector<uint32_t> out;
    for (clistiter* it = result ? clist_begin(result) : nullptr; it; it = clist_next(it))
        out.push_back(*static_cast<uint32_t*>(clist_content(it)));
    if (result) mailimap_search_result_free(result);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    std::erase(out, 0u);  // no message has it
    if (!asked.empty()) {
        const std::set<uint32_t> wanted(asked.begin(), asked.end());
        std::erase_if(out, [&](uint32_t u) { return !wanted.count(u); });
    }
    return out;
}
}  // namespace

std::vector<uint32_t> ImapSession::UidSearchAll() {
    const Allowance numbers(*watch_, kMaxSearchLineBytes, kMaxFieldsBytes, kMaxAnswerBytes);
    mailimap_search_key* key = mailimap_search_key_new_all();
    clist* result = nullptr;
    const int rc = mailimap_uid_search(imap_, nullptr, key, &result);
    mailimap_search_key_free(key);
    Check(rc, "UID SEARCH in " + selected_);
    return SearchResult(result);
}

std::vector<uint32_t> ImapSession::UidSearchIn(const std::vector<uint32_t>& uids) {
    std::vector<uint32_t> present;
    InPieces(uids, [&](SetPtr& set, std::span<const uint32_t> piece) {
        mailimap_search_key* key = mailimap_search_key_new_uid(set.release());
        clist* result = nullptr;
        const int rc = mailimap_uid_search(imap_, nullptr, key, &result);
        mailimap_search_key_free(key);
        Check(rc, "UID SEARCH in " + selected_);
        auto some = SearchResult(result, piece);
        present.insert(present.end(), some.begin(), some.end());
    });
    std::sort(present.begin(), present.end());
    return present;
}

std::vector<uint32_t> ImapSession::UidSearchFrom(uint32_t from) {
    const Allowance numbers(*watch_, kMaxSearchLineBytes, kMaxFieldsBytes, kMaxAnswerBytes);
    mailimap_search_key* key = mailimap_search_key_new_uid(mailimap_set_new_interval(from, 0));
    clist* result = nullptr;
    const int rc = mailimap_uid_search(imap_, nullptr, key, &result);
    mailimap_search_key_free(key);
    Check(rc, "UID SEARCH in " + selected_);
    auto uids = SearchResult(result);
    // "n:*" also names the last message when all are below n.
    std::erase_if(uids, [&](uint32_t u) { return u < from; });
    return uids;
}

void ImapSession::Fetch(const std::vector<uint32_t>& asked, const std::vector<std::string>& fields,
                        const std::function<void(Message&&)>& each) {
    std::vector<uint32_t> uids = asked;
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    std::erase(uids, 0u);  // libetpan would send "*"
    // A whole message may be up to kMaxMessageBytes; header fields stay within the usual limits.
    std::optional<Allowance> allowance;
    if (fields.empty()) allowance.emplace(*watch_, kMaxLineBytes, kMaxMessageBytes, kMaxAnswerBytes + kMaxMessageBytes);
    // Pieces keep the parsed answer small, whatever the size of the folder.
    const size_t piece = fields.empty() ? 50 : 1000;
    for (size_t from = 0; from < uids.size(); from += piece) {
        const size_t to = std::min(uids.size(), from + piece);
        SetPtr set(SetOf(uids, from, to));
        const std::set<uint32_t> wanted(uids.begin() + static_cast<ptrdiff_t>(from), uids.begin() + static_cast<ptrdiff_t>(to));
        mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
        mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_uid());
        mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_internaldate());
        mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_rfc822_size());
        mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_flags());
        mailimap_section* section = nullptr;
        if (fields.empty()) {
            section = mailimap_section_new(nullptr);
        } else {
            clist* names = clist_new();
            for (const auto& f : fields) clist_append(names, ::strdup(f.c_str()));
            section = mailimap_section_new_header_fields(mailimap_header_list_new(names));
        }
        mailimap_fetch_type_new_fetch_att_list_add(type, mailimap_fetch_att_new_body_peek_section(section));
        clist* result = nullptr;
        const int rc = mailimap_uid_fetch(imap_, set.get(), type, &result);
        mailimap_fetch_type_free(type);
        Check(rc, "UID FETCH of " + std::to_string(to - from) + (to - from == 1 ? " message" : " messages") + " (UID " +
                      std::to_string(uids[from]) + (to - from > 1 ? " to " + std::to_string(uids[to - 1]) : "") +
                      ") in " + selected_);
        // Only the messages asked for, each once: a repeated answer replaces the first.
        std::map<uint32_t, Message> messages;
        for (clistiter* it = result ? clist_begin(result) : nullptr; it; it = clist_next(it)) {
            auto* att = static_cast<mailimap_msg_att*>(clist_content(it));
            Message m;
            bool body = false;
            for (clistiter* a = clist_begin(att->att_list); a; a = clist_next(a)) {
                auto* item = static_cast<mailimap_msg_att_item*>(clist_content(a));
                if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn &&
                    item->att_data.att_dyn->att_list) {
                    for (clistiter* f = clist_begin(item->att_data.att_dyn->att_list); f; f = clist_next(f)) {
                        auto* ff = static_cast<mailimap_flag_fetch*>(clist_content(f));
                        if (!ff->fl_flag) continue;
                        static const char* names[] = {"\\Answered", "\\Flagged", "\\Deleted", "\\Seen", "\\Draft"};
                        std::string name = ff->fl_flag->fl_type <= MAILIMAP_FLAG_DRAFT ? names[ff->fl_flag->fl_type]
                                           : ff->fl_flag->fl_data.fl_keyword ? ff->fl_flag->fl_data.fl_keyword
                                                                              : "";
                        if (!name.empty()) m.flags += (m.flags.empty() ? "" : " ") + name;
                    }
                }
                if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC) continue;
                auto* st = item->att_data.att_static;
                switch (st->att_type) {
                    case MAILIMAP_MSG_ATT_UID: m.uid = st->att_data.att_uid; break;
                    case MAILIMAP_MSG_ATT_INTERNALDATE: m.internalDateMs = InternalDateMs(st->att_data.att_internal_date); break;
                    case MAILIMAP_MSG_ATT_RFC822_SIZE: m.size = st->att_data.att_rfc822_size; break;
                    case MAILIMAP_MSG_ATT_BODY_SECTION:
                        if (st->att_data.att_body_section && st->att_data.att_body_section->sec_body_part) {
                            m.header.assign(st->att_data.att_body_section->sec_body_part,
                                            st->att_data.att_body_section->sec_length);
                            body = true;
                        }
                        break;
                    default: break;
                }
            }
            // A FETCH that only tells of a flag change (another client) carries no section.
            if (body && wanted.count(m.uid)) messages[m.uid] = std::move(m);
        }
        if (result) mailimap_fetch_list_free(result);
        for (auto& [uid, m] : messages) each(std::move(m));
    }
}

ImapSession::UidPairs ImapSession::UidTransfer(bool move, const std::vector<uint32_t>& uids, const std::string& dest) {
    UidPairs told;
    InPieces(uids, [&](SetPtr& set, std::span<const uint32_t> piece) {
        uint32_t validity = 0;
        mailimap_set* src = nullptr;
        mailimap_set* dst = nullptr;
        const int rc = (move ? mailimap_uidplus_uid_move : mailimap_uidplus_uid_copy)(imap_, set.get(), dest.c_str(),
                                                                                      &validity, &src, &dst);
        SetPtr srcGuard(src), dstGuard(dst);
        const std::string what = std::string(move ? "UID MOVE" : "UID COPY") + " of " + std::to_string(piece.size()) +
                                 " messages from " + selected_ + " into " + dest;
        Check(rc, what);
        // Both sets list the messages in the same order, each a message asked about, once.
        const auto olds = UidsOf(src, piece.size()), news = UidsOf(dst, piece.size());
        bool sound = olds && news && olds->size() == news->size();
        const std::set<uint32_t> askedFor(piece.begin(), piece.end());
        std::set<uint32_t> seenOld, seenNew;
        for (size_t i = 0; sound && i < olds->size(); ++i)
            sound = askedFor.count((*olds)[i]) && seenOld.insert((*olds)[i]).second && seenNew.insert((*news)[i]).second;
        if (!sound)
            Refuse(errnum::kMapiCallFailed, "the server " + server_ + " answered " + what +
                                                " with a COPYUID that does not match the messages asked for; what it "
                                                "did is looked for on the server");
        for (size_t i = 0; i < olds->size(); ++i) told.emplace_back((*olds)[i], (*news)[i]);
    });
    return told;
}

ImapSession::UidPairs ImapSession::UidMove(const std::vector<uint32_t>& uids, const std::string& dest) {
    return UidTransfer(true, uids, dest);
}
ImapSession::UidPairs ImapSession::UidCopy(const std::vector<uint32_t>& uids, const std::string& dest) {
    return UidTransfer(false, uids, dest);
}

void ImapSession::UidMarkDeleted(const std::vector<uint32_t>& uids) {
    InPieces(uids, [&](SetPtr& set, std::span<const uint32_t>) {
        mailimap_flag_list* flags = mailimap_flag_list_new_empty();
        mailimap_flag_list_add(flags, mailimap_flag_new_deleted());
        mailimap_store_att_flags* att = mailimap_store_att_flags_new_add_flags_silent(flags);
        const int rc = mailimap_uid_store(imap_, set.get(), att);
        mailimap_store_att_flags_free(att);
        Check(rc, "UID STORE \\Deleted in " + selected_);
    });
}

void ImapSession::UidExpunge(const std::vector<uint32_t>& uids) {
    InPieces(uids, [&](SetPtr& set, std::span<const uint32_t>) { Check(mailimap_uid_expunge(imap_, set.get()), "UID EXPUNGE in " + selected_); });
}

void ImapSession::Create(const std::string& mailbox) { Check(mailimap_create(imap_, mailbox.c_str()), "CREATE " + mailbox); }
void ImapSession::Subscribe(const std::string& mailbox) {
    Check(mailimap_subscribe(imap_, mailbox.c_str()), "SUBSCRIBE " + mailbox);
}
void ImapSession::Unsubscribe(const std::string& mailbox) {
    Check(mailimap_unsubscribe(imap_, mailbox.c_str()), "UNSUBSCRIBE " + mailbox);
}
void ImapSession::Delete(const std::string& mailbox) {
    if (selected_ == mailbox) {
        selected_.clear();
        Check(mailimap_examine(imap_, "INBOX"), "EXAMINE INBOX");
        selected_ = "INBOX";
    }
    Check(mailimap_delete(imap_, mailbox.c_str()), "DELETE " + mailbox);
}

}  // namespace nubra::connected
