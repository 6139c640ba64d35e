#include "standin_host/connected/ImapSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <libetpan/libetpan.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "standin_host/connected/Common.h"

namespace nubra::connected {
namespace {

// ------------------------------------------------------------------ streams under libetpan
// libetpan reads and writes through a "low" stream; ours is GnuTLS with the peer's certificate
// checked against the system's trust store (and a CA file) and the host name, so nothing is
// said to a server whose certificate does not hold, or the plain socket (imap:// before
// STARTTLS, or --allow-plain). Either way a write to a connection the server dropped fails
// with EPIPE instead of raising SIGPIPE, which would end the whole program in the middle of a
// run.
struct StreamLow {
    int fd = -1;
    gnutls_session_t session = nullptr;  // none: the plain socket
    gnutls_certificate_credentials_t credentials = nullptr;
    int timeoutMs = 30000;
};

// libetpan may make the socket non-blocking: wait for it (up to the time-out) and try again.
bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc == 1;
}

ssize_t StreamRead(mailstream_low* s, void* buf, size_t count) {
    auto* t = static_cast<StreamLow*>(s->data);
    for (;;) {
        if (!t->session) {
            const ssize_t n = ::recv(t->fd, buf, count, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(t->fd, POLLIN, t->timeoutMs)) continue;
            return n;
        }
        const ssize_t n = gnutls_record_recv(t->session, buf, count);
        if (n == GNUTLS_E_INTERRUPTED) continue;
        if (n == GNUTLS_E_AGAIN && WaitFor(t->fd, POLLIN, t->timeoutMs)) continue;
        return n < 0 ? -1 : n;
    }
}
ssize_t StreamWrite(mailstream_low* s, const void* buf, size_t count) {
    auto* t = static_cast<StreamLow*>(s->data);
    for (;;) {
        if (!t->session) {
            const ssize_t n = ::send(t->fd, buf, count, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(t->fd, POLLOUT, t->timeoutMs)) continue;
            return n;
        }
        const ssize_t n = gnutls_record_send(t->session, buf, count);
        if (n == GNUTLS_E_INTERRUPTED) continue;
        if (n == GNUTLS_E_AGAIN && WaitFor(t->fd, POLLOUT, t->timeoutMs)) continue;
        return n < 0 ? -1 : n;
    }
}
int StreamClose(mailstream_low* s) {
    auto* t = static_cast<StreamLow*>(s->data);
    if (t->session) gnutls_bye(t->session, GNUTLS_SHUT_WR);
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
mailstream_low* OpenPlain(int fd, int timeoutSeconds) {
    auto t = std::make_unique<StreamLow>();
    t->fd = fd;
    t->timeoutMs = timeoutSeconds * 1000;
    mailstream_low* low = mailstream_low_new(t.get(), &gStreamDriver);
    if (!low) {
        ::close(fd);
        RaiseError(errnum::kOutOfMemory, "out of memory", kSource);
    }
    t.release();
    return low;
}

[[noreturn]] void Refuse(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

// A TLS stream over `fd` (taken over: closed on failure), verified for `host`.
mailstream_low* OpenTls(int fd, const std::string& host, const std::string& server, const std::string& caFile,
                        int timeoutSeconds) {
    auto t = std::make_unique<StreamLow>();
    t->fd = fd;
    t->timeoutMs = timeoutSeconds * 1000;
    auto fail = [&](const std::string& what) {
        if (t->session) gnutls_deinit(t->session);
        if (t->credentials) gnutls_certificate_free_credentials(t->credentials);
        ::close(fd);
        t->session = nullptr;
        t->credentials = nullptr;
        Refuse(errnum::kMapiNoAccess, what);
    };
    if (gnutls_certificate_allocate_credentials(&t->credentials) < 0) fail("cannot set up TLS for " + server);
    if (gnutls_certificate_set_x509_system_trust(t->credentials) < 0 && caFile.empty())
        fail("the system's trusted certificates cannot be read (TLS to " + server + ")");
    if (!caFile.empty() &&
        gnutls_certificate_set_x509_trust_file(t->credentials, caFile.c_str(), GNUTLS_X509_FMT_PEM) <= 0)
        fail("the CA file \"" + caFile + "\" holds no certificate that can be read");
    if (gnutls_init(&t->session, GNUTLS_CLIENT | GNUTLS_NO_SIGNAL) < 0) fail("cannot set up TLS for " + server);
    gnutls_set_default_priority(t->session);
    gnutls_credentials_set(t->session, GNUTLS_CRD_CERTIFICATE, t->credentials);
    gnutls_server_name_set(t->session, GNUTLS_NAME_DNS, host.data(), host.size());
    // The chain up to a trusted root, dates, and the host name.
    gnutls_session_set_verify_cert(t->session, host.c_str(), 0);
    gnutls_transport_set_int(t->session, fd);
    int rc;
    do {
        rc = gnutls_handshake(t->session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc));
    if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        const unsigned status = gnutls_session_get_verify_cert_status(t->session);
        gnutls_datum_t text{};
        std::string why = "not trusted";
        if (gnutls_certificate_verification_status_print(status, gnutls_certificate_type_get(t->session), &text, 0) == 0) {
            why = reinterpret_cast<const char*>(text.data);
            gnutls_free(text.data);
        }
        fail("the certificate of " + server + " was refused: " + why +
             " (give the server's CA with --ca-file if it is a private one)");
    }
    if (rc < 0) fail("the TLS handshake with " + server + " failed: " + gnutls_strerror(rc));
    mailstream_low* low = mailstream_low_new(t.get(), &gStreamDriver);
    if (!low) fail("out of memory");
    t.release();
    return low;
}

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
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            timeval tv{timeoutSeconds, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
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

// Calls `each` with the sets of `uids`, kUidsPerCommand at a time (it may take a set over by
// releasing it). Refuses UID 0 before anything is sent (RequireKnownUid).
template <typename Each>
void InPieces(const std::vector<uint32_t>& uids, Each&& each) {
    for (uint32_t uid : uids) RequireKnownUid(uid);
    for (size_t from = 0; from < uids.size(); from += kUidsPerCommand) {
        SetPtr set(SetOf(uids, from, std::min(uids.size(), from + kUidsPerCommand)));
        each(set);
    }
}

// Every UID a set names, in its order (a set the server sent names no "*").
std::vector<uint32_t> UidsOf(mailimap_set* set) {
    std::vector<uint32_t> uids;
    if (!set || !set->set_list) return uids;
    for (clistiter* it = clist_begin(set->set_list); it; it = clist_next(it)) {
        auto* item = static_cast<mailimap_set_item*>(clist_content(it));
        if (item->set_first == 0 || item->set_last == 0) continue;
        const uint32_t lo = std::min(item->set_first, item->set_last), hi = std::max(item->set_first, item->set_last);
        for (uint64_t u = lo; u <= hi; ++u) uids.push_back(static_cast<uint32_t>(u));
    }
    return uids;
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

ImapSession::ImapSession(const ImapUrl& url, const ImapConnectOptions& options, const std::string& password)
    : server_(url.user + "@" + url.host + ":" + std::to_string(url.port)) {
    const int fd = ConnectTcp(url.host, url.port, options.timeoutSeconds, server_);
    imap_ = mailimap_new(0, nullptr);
    if (!imap_) {
        ::close(fd);
        Refuse(errnum::kOutOfMemory, "out of memory");
    }
    mailimap_set_timeout(imap_, options.timeoutSeconds);
    try {
        mailstream_low* low = url.tls ? OpenTls(fd, url.host, server_, options.caFile, options.timeoutSeconds) : OpenPlain(fd, options.timeoutSeconds);
        if (!low) {
            ::close(fd);
            Refuse(errnum::kOutOfMemory, "out of memory");
        }
        mailstream* stream = mailstream_new(low, 8192);
        const int rc = mailimap_connect(imap_, stream);
        if (rc != MAILIMAP_NO_ERROR_NON_AUTHENTICATED && rc != MAILIMAP_NO_ERROR_AUTHENTICATED)
            Fail(rc, "the server did not greet");
        if (!url.tls) {
            RefreshCapabilities();
            if (mailimap_has_extension(imap_, const_cast<char*>("STARTTLS"))) {
                Check(mailimap_starttls(imap_), "STARTTLS");
                mailstream_low* plain = mailstream_get_low(imap_->imap_stream);
                const int sfd = mailstream_low_get_fd(plain);
                // The socket stays; only the plain stream over it goes.
                mailstream_low* tls = OpenTls(::dup(sfd), url.host, server_, options.caFile, options.timeoutSeconds);
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
                                              " (wrong password?): " + Trim(imap_->imap_response ? imap_->imap_response : ""));
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
    mailimap_logout(imap_);
    mailimap_free(imap_);
}

void ImapSession::Fail(int rc, const std::string& what) {
    std::string said = imap_ && imap_->imap_response ? Trim(imap_->imap_response) : std::string();
    if (rc == MAILIMAP_ERROR_STREAM || rc == MAILIMAP_ERROR_CONNECTION_REFUSED || rc == MAILIMAP_ERROR_PARSE)
        Refuse(errnum::kMapiCallFailed, "the connection to " + server_ + " was lost (" + what + ")");
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
std::vector<uint32_t> SearchResult(clist* result) {
    std::vector<uint32_t> out;
    for (clistiter* it = result ? clist_begin(result) : nullptr; it; it = clist_next(it))
        out.push_back(*static_cast<uint32_t*>(clist_content(it)));
    if (result) mailimap_search_result_free(result);
    std::sort(out.begin(), out.end());
    return out;
}
}  // namespace

std::vector<uint32_t> ImapSession::UidSearchAll() {
    mailimap_search_key* key = mailimap_search_key_new_all();
    clist* result = nullptr;
    const int rc = mailimap_uid_search(imap_, nullptr, key, &result);
    mailimap_search_key_free(key);
    Check(rc, "UID SEARCH in " + selected_);
    return SearchResult(result);
}

std::vector<uint32_t> ImapSession::UidSearchIn(const std::vector<uint32_t>& uids) {
    std::vector<uint32_t> present;
    InPieces(uids, [&](SetPtr& set) {
        mailimap_search_key* key = mailimap_search_key_new_uid(set.release());
        clist* result = nullptr;
        const int rc = mailimap_uid_search(imap_, nullptr, key, &result);
        mailimap_search_key_free(key);
        Check(rc, "UID SEARCH in " + selected_);
        auto some = SearchResult(result);
        present.insert(present.end(), some.begin(), some.end());
    });
    std::sort(present.begin(), present.end());
    return present;
}

std::vector<uint32_t> ImapSession::UidSearchFrom(uint32_t from) {
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

void ImapSession::Fetch(const std::vector<uint32_t>& uids, const std::vector<std::string>& fields,
                        const std::function<void(Message&&)>& each) {
    // Pieces keep the parsed answer small, whatever the size of the folder.
    const size_t piece = fields.empty() ? 50 : 1000;
    for (size_t from = 0; from < uids.size(); from += piece) {
        const size_t to = std::min(uids.size(), from + piece);
        SetPtr set(SetOf(uids, from, to));
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
        Check(rc, "UID FETCH in " + selected_);
        std::vector<Message> messages;
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
            if (m.uid != 0 && body) messages.push_back(std::move(m));
        }
        if (result) mailimap_fetch_list_free(result);
        for (auto& m : messages) each(std::move(m));
    }
}

ImapSession::UidPairs ImapSession::UidTransfer(bool move, const std::vector<uint32_t>& uids, const std::string& dest) {
    UidPairs told;
    InPieces(uids, [&](SetPtr& set) {
        uint32_t validity = 0;
        mailimap_set* src = nullptr;
        mailimap_set* dst = nullptr;
        const int rc = (move ? mailimap_uidplus_uid_move : mailimap_uidplus_uid_copy)(imap_, set.get(), dest.c_str(),
                                                                                      &validity, &src, &dst);
        SetPtr srcGuard(src), dstGuard(dst);
        Check(rc, std::string(move ? "UID MOVE" : "UID COPY") + " into " + dest);
        // Both sets list the messages in the same order.
        const auto olds = UidsOf(src), news = UidsOf(dst);
        for (size_t i = 0; i < olds.size() && i < news.size(); ++i) told.emplace_back(olds[i], news[i]);
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
    InPieces(uids, [&](SetPtr& set) {
        mailimap_flag_list* flags = mailimap_flag_list_new_empty();
        mailimap_flag_list_add(flags, mailimap_flag_new_deleted());
        mailimap_store_att_flags* att = mailimap_store_att_flags_new_add_flags_silent(flags);
        const int rc = mailimap_uid_store(imap_, set.get(), att);
        mailimap_store_att_flags_free(att);
        Check(rc, "UID STORE \\Deleted in " + selected_);
    });
}

void ImapSession::UidExpunge(const std::vector<uint32_t>& uids) {
    InPieces(uids, [&](SetPtr& set) { Check(mailimap_uid_expunge(imap_, set.get()), "UID EXPUNGE in " + selected_); });
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
