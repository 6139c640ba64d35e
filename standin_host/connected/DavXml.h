// The XML of WebDAV answers, read through libxml2 without the network, without a document type
// (a server's DTD or entity is refused outright, so no entity is ever expanded) and at most
// kMaxDavXmlDepth levels deep; and the XML of our requests.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace nubra::connected {

inline constexpr int kMaxDavXmlDepth = 64;

inline constexpr const char* kDavNs = "DAV:";
inline constexpr const char* kCalDavNs = "urn:ietf:params:xml:ns:caldav";
inline constexpr const char* kCardDavNs = "urn:ietf:params:xml:ns:carddav";
inline constexpr const char* kCalServerNs = "http://calendarserver.org/ns/";
// Our own dead property on a duplicates collection: the path of the collection it holds the
// duplicates of.
inline constexpr const char* kNubraNs = "urn:x-nubrasweep:dav";

// One property of a response, as far as the drivers read properties: its text (all text inside
// it, trimmed of white space at both ends unless `raw`), the DAV:href elements inside it, the
// names ("{namespace}local") of its child elements, and the "name" attribute of CalDAV comp
// elements inside it.
struct DavProp {
    std::string text;
    std::vector<std::string> hrefs;
    std::vector<std::string> children;
    std::vector<std::string> comps;
    bool Has(const std::string& child) const;
};

struct DavResponse {
    std::string href;
    int status = 0;  // the response's own status (a member gone in a sync report: 404), else 0
    std::map<std::string, DavProp> props;  // of the propstats with status 2xx, by "{namespace}local"
    const DavProp* Prop(const char* ns, const char* local) const;
};

struct Multistatus {
    std::vector<DavResponse> responses;
    std::string syncToken;  // DAV:sync-token of a sync report
};

// Reads a 207 answer. Raises kMapiCallFailed naming `server` and `what` for a body that is no
// such XML, declares a document type or goes deeper than kMaxDavXmlDepth.
Multistatus ParseMultistatus(const std::string& xml, const std::string& server, const std::string& what);

// The names ("{namespace}local") of the elements directly inside the root of an XML error body
// (RFC 4918's DAV:error: its preconditions); empty for a body that is no such XML.
std::vector<std::string> ErrorConditions(const std::string& xml);

// `text` fit for an XML text node or attribute.
std::string XmlEscape(const std::string& text);

}  // namespace nubra::connected
