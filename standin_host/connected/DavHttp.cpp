#include "standin_host/connected/DavHttp.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "standin_host/connected/Common.h"

namespace nubra::connected {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxHeaderBytes = size_t{64} << 10;
constexpr double kTrickleBytesPerSecond = 1024;

[[noreturn]] void Refuse(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool Unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string Encode(const std::string& text, const char* alsoAllowed) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (Unreserved(c) || (c && std::strchr(alsoAllowed, c))) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// Whether `address` is this machine (a loopback address).
bool Loopback(const sockaddr* address) {
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

// The trust store of every connection whose certificate was not checked yet: the system's
// certificates and `caFile`, loaded once per process and CA file.
gnutls_x509_trust_list_t TrustList(const std::string& caFile) {
    static std::mutex lock;
    static std::map<std::string, gnutls_x509_trust_list_t> lists;  // kept until the process ends
    std::lock_guard hold(lock);
    if (auto it = lists.find(caFile); it != lists.end()) return it->second;
    gnutls_x509_trust_list_t list = nullptr;
    if (gnutls_x509_trust_list_init(&list, 0) < 0) return nullptr;
    gnutls_x509_trust_list_add_system_trust(list, 0, 0);
    if (!caFile.empty()) gnutls_x509_trust_list_add_trust_file(list, caFile.c_str(), nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
    return lists[caFile] = list;
}

// The certificate among the trusted ones that the server's chain `pems` (its own first) leads
// to, in PEM; empty when the chain does not verify against them.
std::string AnchorOf(const std::vector<std::string>& pems, const std::string& caFile) {
    gnutls_x509_trust_list_t list = TrustList(caFile);
    if (!list || pems.empty()) return {};
    std::vector<gnutls_x509_crt_t> chain;
    std::string anchor;
    bool imported = true;
    for (const auto& pem : pems) {
        gnutls_x509_crt_t crt = nullptr;
        const gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                                  static_cast<unsigned>(pem.size())};
        if (gnutls_x509_crt_init(&crt) < 0) {
            imported = false;
            break;
        }
        chain.push_back(crt);
        if (gnutls_x509_crt_import(crt, &data, GNUTLS_X509_FMT_PEM) < 0) {
            imported = false;
            break;
        }
    }
    unsigned status = 0;
    gnutls_x509_crt_t issuer = nullptr;
    if (imported &&
        gnutls_x509_trust_list_verify_crt(list, chain.data(), static_cast<unsigned>(chain.size()), 0, &status, nullptr) == 0 &&
        status == 0 && gnutls_x509_trust_list_get_issuer(list, chain.back(), &issuer, GNUTLS_TL_GET_COPY) == 0) {
        gnutls_datum_t out{};
        if (gnutls_x509_crt_export2(issuer, GNUTLS_X509_FMT_PEM, &out) == 0) {
            anchor.assign(reinterpret_cast<const char*>(out.data), out.size);
            gnutls_free(out.data);
        }
        gnutls_x509_crt_deinit(issuer);
    }
    for (auto crt : chain) gnutls_x509_crt_deinit(crt);
    return anchor;
}

}  // namespace

// ------------------------------------------------------------------ addresses

std::string DavUrl::Canonical() const {
    return std::string(tls ? "https://" : "http://") + Encode(user, "!$&'()*+,;=") + "@" +
           (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port) +
           EncodePath(path);
}

std::string DavUrl::Origin() const {
    return std::string(tls ? "https://" : "http://") + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
           ":" + std::to_string(port);
}

std::string EncodePath(const std::string& path) { return Encode(path, "!$&'()*+,;=:@/"); }

std::string DecodePercent(const std::string& text, bool* ok) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string out;
    if (ok) *ok = true;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int hi = i + 2 < text.size() ? hex(text[i + 1]) : -1, lo = hi >= 0 ? hex(text[i + 2]) : -1;
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
            if (ok) *ok = false;
            out += text[i];
            continue;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

DavUrl ParseDavUrl(const std::string& text) {
    auto bad = [&](const std::string& why) {
        // A password written into the address is not repeated.
        std::string shown = text;
        const size_t scheme = shown.find("://"), at = shown.find('@');
        if (scheme != std::string::npos && at != std::string::npos) {
            const size_t colon = shown.find(':', scheme + 3);
            if (colon < at) shown.replace(colon + 1, at - colon - 1, "***");
        }
        Refuse(errnum::kMapiInvalidParameter,
               "\"" + shown + "\" is no CardDAV/CalDAV account (https://USER@HOST[:PORT][/PATH]): " + why);
    };
    DavUrl url;
    std::string rest;
    if (text.rfind("https://", 0) == 0) {
        rest = text.substr(8);
    } else if (text.rfind("http://", 0) == 0) {
        url.tls = false;
        url.port = 80;
        rest = text.substr(7);
    } else {
        bad("it must start with https://");
    }
    if (rest.find_first_of("?#") != std::string::npos) bad("a query or fragment is not taken");
    if (rest.find_first_of(" \t\r\n") != std::string::npos) bad("it holds white space");
    const size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    const size_t at = authority.rfind('@');
    if (at == std::string::npos || at == 0) bad("the user is missing (USER@HOST)");
    const std::string userPart = authority.substr(0, at);
    if (userPart.find(':') != std::string::npos)
        bad("a password is never taken from the address; give --password-file or the keyring");
    bool ok = true;
    url.user = DecodePercent(userPart, &ok);
    if (!ok) bad("the user is not percent-encoded correctly");
    std::string hostPort = authority.substr(at + 1);
    std::optional<std::string> portText;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) bad("an IPv6 address is not closed with ]");
        url.host = hostPort.substr(1, close - 1);
        const std::string after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') bad("unexpected text after the address");
            portText = after.substr(1);
        }
    } else {
        const size_t colon = hostPort.find(':');
        url.host = hostPort.substr(0, colon);
        if (colon != std::string::npos) portText = hostPort.substr(colon + 1);
    }
    if (url.host.empty()) bad("the host is missing");
    for (char c : url.host)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '_'))
            bad("the host \"" + url.host + "\" holds characters a host name cannot have");
    if (portText) {
        const bool digits = !portText->empty() && portText->size() <= 5 &&
                            portText->find_first_not_of("0123456789") == std::string::npos;
        const int port = digits ? std::stoi(*portText) : 0;
        if (port < 1 || port > 65535) bad("the port must be a number from 1 to 65535");
        url.port = static_cast<uint16_t>(port);
    }
    url.path = DecodePercent(path, &ok);
    if (!ok) bad("the path is not percent-encoded correctly");
    if (url.path.back() != '/') url.path += '/';
    for (size_t from = 0; (from = url.path.find('/', from)) != std::string::npos; ++from) {
        const size_t end = url.path.find('/', from + 1);
        const std::string segment = url.path.substr(from + 1, end == std::string::npos ? std::string::npos : end - from - 1);
        if (segment == "." || segment == "..") bad("the path holds \".\" or \"..\"");
    }
    return url;
}

int DavTimeoutSeconds(const std::string& option) { return TimeoutSetting("NUBRA_DAV_TIMEOUT", option); }

// ------------------------------------------------------------------ one request

// What one request has taken and why it was stopped, shared with libcurl's callbacks.
struct DavHttp::Transfer {
    HttpAnswer answer;
    size_t maxBody = 0;
    size_t headerBytes = 0;
    bool plainToLoopbackOnly = false;
    std::string stopped;  // why our callbacks ended the transfer
    int timeoutMs = 60000;
    Clock::time_point start = Clock::now(), progress = start;
    curl_off_t moved = 0;

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        const size_t n = size * count;
        if (t.answer.body.size() + n > t.maxBody) {
            t.stopped = "sent more than " + std::to_string(t.maxBody >> 10) + " KiB";
            return 0;  // ends the transfer
        }
        t.answer.body.append(data, n);
        return n;
    }
    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto& t = *static_cast<Transfer*>(self);
        const size_t n = size * count;
        t.headerBytes += n;
        if (t.headerBytes > kMaxHeaderBytes) {
            t.stopped = "sent header lines of more than 64 KiB";
            return 0;
        }
        std::string line(data, n);
        if (line.rfind("HTTP/", 0) == 0) t.answer.headers.clear();  // a new answer (after 100 Continue)
        const size_t colon = line.find(':');
        if (colon == std::string::npos) return n;
        std::string name = line.substr(0, colon), value = line.substr(colon + 1);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) value.pop_back();
        t.answer.headers[name] = value;
        return n;
    }
    static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) {
        (void)dlTotal, (void)ulTotal;
        auto& t = *static_cast<Transfer*>(self);
        const auto now = Clock::now();
        if (dlNow + ulNow != t.moved) {
            t.moved = dlNow + ulNow;
            t.progress = now;
        }
        const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
        if (ms(now - t.progress) > t.timeoutMs) {
            t.stopped = "sent nothing for " + std::to_string(t.timeoutMs / 1000) + " s";
            return 1;
        }
        // An answer that comes, but too slowly (one that does not come at all is caught above).
        const auto elapsed = ms(now - t.start);
        if (dlNow > 0 && elapsed > t.timeoutMs &&
            static_cast<double>(dlNow) * 1000 / static_cast<double>(elapsed) < kTrickleBytesPerSecond) {
            t.stopped = "answers slower than 1 KiB a second";
            return 1;
        }
        return 0;
    }
    static curl_socket_t OnOpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address) {
        auto& t = *static_cast<Transfer*>(self);
        if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
        if (t.plainToLoopbackOnly && !Loopback(&address->addr)) {
            t.stopped = "is not on this machine, and http:// (without TLS) is only for a server on this machine";
            return CURL_SOCKET_BAD;
        }
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }
};

DavHttp::DavHttp(const DavUrl& url, const DavOptions& options, const std::string& password)
    : url_(url), options_(options), password_(password),
      server_(url.user + "@" + (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) + ":" +
              std::to_string(url.port)) {
    if (!url.tls && !options.allowPlain)
        Refuse(errnum::kMapiNoAccess,
               "the server " + server_ + " would be reached without TLS (http://); use https://");
    GlobalInit();
    auth_ = CURLAUTH_BASIC;
}

DavHttp::~DavHttp() {
    if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
    ForgetAnchor();
}

void DavHttp::ForgetAnchor() {
    if (anchorFd_ >= 0) ::close(anchorFd_);
    anchorFd_ = -1;
    anchorPath_.clear();
}

// Keeps the trusted certificate the server's chain leads to (in a file of this process's
// memory), so that the next connections are verified against it alone. Nothing is kept when
// it cannot be told.
void DavHttp::LearnAnchor() {
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(static_cast<CURL*>(curl_), CURLINFO_CERTINFO, &info) != CURLE_OK || !info) return;
    std::vector<std::string> pems;
    for (int i = 0; i < info->num_of_certs; ++i)
        for (curl_slist* s = info->certinfo[i]; s; s = s->next)
            if (std::strncmp(s->data, "Cert:", 5) == 0) pems.emplace_back(s->data + 5);
    const std::string anchor = AnchorOf(pems, options_.caFile);
    if (anchor.empty()) return;
    const int fd = ::memfd_create("nubra-dav-anchor", MFD_CLOEXEC);
    if (fd < 0) return;
    if (::write(fd, anchor.data(), anchor.size()) != static_cast<ssize_t>(anchor.size())) {
        ::close(fd);
        return;
    }
    anchorFd_ = fd;
    anchorPath_ = "/proc/self/fd/" + std::to_string(fd);
}

std::string DavHttp::Redact(std::string text) const {
    if (!password_.empty())
        for (size_t at = text.find(password_); at != std::string::npos; at = text.find(password_, at + 3))
            text.replace(at, password_.size(), "***");
    for (auto& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    if (text.size() > 300) {
        size_t cut = 300;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
        text = text.substr(0, cut) + "...";
    }
    return text;
}

void DavHttp::Fail(int code, const Transfer& t, const std::string& what) {
    // A connection in an unknown state is not used again.
    curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_ = nullptr;
    const auto rc = static_cast<CURLcode>(code);
    const std::string said = Redact(curl_easy_strerror(rc));
    const std::string who = "the server " + server_;
    if (!t.stopped.empty())
        Refuse(errnum::kMapiCallFailed, who + " " + t.stopped + " (" + what + "); the connection was closed");
    switch (rc) {
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            Refuse(errnum::kMapiNoAccess, who + " showed a certificate that is not trusted for \"" + url_.host +
                                              "\" (" + said + "); give its CA with --ca-file when it is yours");
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            Refuse(errnum::kMapiCallFailed, "cannot reach " + who + ": " + said);
        case CURLE_OPERATION_TIMEDOUT:
            Refuse(errnum::kMapiCallFailed, who + " did not answer in time (" + what + ")");
        case CURLE_SSL_CONNECT_ERROR:
            Refuse(errnum::kMapiCallFailed, "the TLS handshake with " + who + " failed: " + said);
        default:
            Refuse(errnum::kMapiCallFailed, who + " dropped the connection (" + what + "): " + said);
    }
}

HttpAnswer DavHttp::Request(const std::string& method, const std::string& path, const std::vector<std::string>& headers,
                            const std::string& body, size_t maxBody) {
    for (int attempt = 0;; ++attempt) {
        if (!curl_) {
            curl_ = curl_easy_init();
            if (!curl_) Refuse(errnum::kOutOfMemory, "out of memory");
        }
        CURL* c = static_cast<CURL*>(curl_);
        curl_easy_reset(c);  // the open connection and the TLS session stay
        Transfer t;
        t.maxBody = maxBody;
        t.timeoutMs = options_.timeoutSeconds * 1000;
        t.plainToLoopbackOnly = !url_.tls;
        const std::string target = url_.Origin() + path;
        char error[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(c, CURLOPT_URL, target.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, url_.tls ? "https" : "http");
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!anchorPath_.empty()) {
            // Verified against the one trusted certificate this server's chain led to at the first
            // connection: libcurl's GnuTLS build loads the whole trust store again for every
            // connection (some 25 ms), and a server without keep-alive makes one per request.
            curl_easy_setopt(c, CURLOPT_CAINFO, anchorPath_.c_str());
            curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
        } else if (url_.tls) {
            // The CA file is trusted besides the system's certificates (libcurl's CA folder).
            if (!options_.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.caFile.c_str());
            curl_easy_setopt(c, CURLOPT_CERTINFO, 1L);
        }
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::min(options_.connectSeconds, options_.timeoutSeconds)) * 1000);
        curl_easy_setopt(c, CURLOPT_USERAGENT, "nubrasweep");
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, auth_);
        curl_easy_setopt(c, CURLOPT_USERNAME, url_.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str());
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &Transfer::OnOpenSocket);
        curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &t);
        if (method == "HEAD") {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        } else if (method != "GET") {
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        }
        curl_slist* list = nullptr;
        for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
        list = curl_slist_append(list, "Expect:");  // no second's wait for 100 Continue
        if (method != "GET" && method != "HEAD" && body.empty()) list = curl_slist_append(list, "Content-Type:");
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
        const CURLcode rc = curl_easy_perform(c);
        curl_slist_free_all(list);
        if ((rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE) && !anchorPath_.empty()) {
            // Another certificate now (or the anchor cannot be read): the whole trust store decides.
            ForgetAnchor();
            --attempt;
            continue;
        }
        if (rc != CURLE_OK) Fail(rc, t, method + " " + DecodePercent(path));
        if (url_.tls && anchorPath_.empty()) LearnAnchor();
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &t.answer.status);
        if (t.answer.status == 401) {
            // Basic is sent at once; a server that takes only Digest is asked again with it.
            long offered = 0;
            curl_easy_getinfo(c, CURLINFO_HTTPAUTH_AVAIL, &offered);
            if (attempt == 0 && auth_ == static_cast<long>(CURLAUTH_BASIC) && (offered & CURLAUTH_DIGEST) &&
                !(offered & CURLAUTH_BASIC)) {
                auth_ = static_cast<long>(CURLAUTH_DIGEST);
                continue;
            }
            Refuse(errnum::kMapiNoAccess, "the server " + server_ + " refused the password of \"" + url_.user + "\"");
        }
        return std::move(t.answer);
    }
}

}  // namespace nubra::connected
