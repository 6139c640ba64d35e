// One connection to a CardDAV/CalDAV server: HTTP through libcurl (its GnuTLS build, which
// libetpan's development package requires), the server's certificate verified against the
// system's trust store plus a CA file, with the host name. The first connection is verified
// against all of them; the trusted certificate its chain leads to is kept, and later
// connections are verified against that one alone (the full chain and the host name each
// time): libcurl's GnuTLS build would load the whole trust store again for each connection,
// some 25 ms, and a server without keep-alive (Radicale) makes one per request. A
// certificate that no longer verifies against it is checked against all of them again. Every failure raises an AutomationError naming the
// server (never the password, which is also taken out of anything the server says):
// kMapiNoAccess for a refused certificate or password, kMapiCallFailed for a server that
// cannot be reached, drops the connection, stalls or sends more than is taken.
//
// A server is not trusted with time or memory:
// - connecting (with the TLS handshake) must succeed within 30 s, or the request limit when
//   that is shorter;
// - an answer must keep moving: a request fails when `timeoutSeconds` (default 60; the
//   account's "timeout" option, NUBRA_DAV_TIMEOUT for one process) pass without a byte going
//   either way, or when after its first `timeoutSeconds` the answer has come slower than 1 KiB
//   a second on average;
// - an answer's body is taken up to the caller's limit and its header lines up to 64 KiB: one
//   beyond fails the request, and the connection is not used again;
// - no redirect is followed here (discovery follows those to the same server itself), no proxy
//   is used, nothing is decompressed, and plain http:// reaches only this machine (the address
//   connected to is looked at before anything is sent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nubra::connected {

struct DavUrl {
    bool tls = true;  // https://; http:// only for a server on this machine
    std::string user;  // as people write it (percent-decoded)
    std::string host;  // a name, an IPv4 address or an IPv6 address without brackets
    uint16_t port = 443;
    std::string path = "/";  // where discovery starts, percent-decoded, ending in '/'
    // https://USER@HOST:PORT/PATH/ (the user and path percent-encoded where they must be)
    std::string Canonical() const;
    // https://HOST:PORT, which requests are sent to
    std::string Origin() const;
};
// Raises kMapiInvalidParameter for anything but http[s]://USER@HOST[:PORT][/PATH] (no
// password, query or fragment).
DavUrl ParseDavUrl(const std::string& url);

// A path as a URL carries it: every byte that is not unreserved, a sub-delimiter, ':', '@' or
// '/' percent-encoded.
std::string EncodePath(const std::string& path);
// `text` with its %XX sequences decoded; `ok` (when given) false for a broken one or one that
// makes a NUL, which stays as it is.
std::string DecodePercent(const std::string& text, bool* ok = nullptr);

inline constexpr size_t kMaxDavXmlBytes = size_t{64} << 20;   // a multistatus answer
inline constexpr size_t kMaxDavItemBytes = size_t{8} << 20;   // a contact, event or to-do
inline constexpr size_t kMaxDavErrorBytes = size_t{64} << 10; // the body of a refusal

struct DavOptions {
    std::string caFile;        // PEM, trusted besides the system's store
    bool allowPlain = false;   // http:// allowed (to this machine only)
    int timeoutSeconds = 60;   // a request without progress (see above)
    int connectSeconds = 30;   // connecting and the TLS handshake
};
// The request limit for this process: NUBRA_DAV_TIMEOUT, else `option` (the account's
// "timeout"), else 60. Raises kMapiInvalidParameter naming the setting when it is no number of
// seconds from 1 to 3600.
int DavTimeoutSeconds(const std::string& option);

struct HttpAnswer {
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // by lower-case name; the last of a name
    std::string Header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

class DavHttp {
public:
    // Nothing is sent yet. `password` is kept for the requests and to take it out of what the
    // server says.
    DavHttp(const DavUrl& url, const DavOptions& options, const std::string& password);
    ~DavHttp();
    DavHttp(const DavHttp&) = delete;
    DavHttp& operator=(const DavHttp&) = delete;

    // Sends `method` for `path` (percent-encoded, from the server's root) with `headers`
    // ("Name: value") and `body`, and returns the answer with its body (up to `maxBody` bytes).
    // A 401 raises kMapiNoAccess (the password was refused); any other status is the caller's.
    // Raises as said above; the connection is then closed and the next request connects anew.
    HttpAnswer Request(const std::string& method, const std::string& path, const std::vector<std::string>& headers,
                       const std::string& body, size_t maxBody);

    // `text` from the server fit for a message: the password taken out, control characters
    // replaced, cut at 300 bytes.
    std::string Redact(std::string text) const;
    // "USER@HOST:PORT", for messages.
    const std::string& Server() const { return server_; }

private:
    struct Transfer;
    [[noreturn]] void Fail(int code, const Transfer& t, const std::string& what);
    void LearnAnchor();
    void ForgetAnchor();

    DavUrl url_;
    DavOptions options_;
    std::string password_;
    std::string server_;
    void* curl_ = nullptr;  // CURL*, kept between requests for the open connection
    long auth_ = 0;         // the HTTP authentication the server asked for, once known
    // The trusted certificate the server's chain led to at the first connection, in a file of
    // this process's memory: later connections are verified against it alone.
    int anchorFd_ = -1;
    std::string anchorPath_;
};

}  // namespace nubra::connected
