#include "standin_host/connected/DavXml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "standin_host/connected/Common.h"

namespace nubra::connected {
namespace {

using Doc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

void InitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

std::string NameOf(const xmlNode* n) {
    const char* ns = n->ns && n->ns->href ? reinterpret_cast<const char*>(n->ns->href) : "";
    return std::string("{") + ns + "}" + reinterpret_cast<const char*>(n->name);
}

bool Is(const xmlNode* n, const char* ns, const char* local) {
    return n->type == XML_ELEMENT_NODE && n->ns && n->ns->href &&
           std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0 &&
           std::strcmp(reinterpret_cast<const char*>(n->name), local) == 0;
}

std::string Trimmed(std::string s) {
    const char* ws = " \t\r\n";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string TextOf(const xmlNode* n) {
    xmlChar* c = xmlNodeGetContent(n);
    std::string s = c ? reinterpret_cast<const char*>(c) : "";
    xmlFree(c);
    return s;
}

// "HTTP/1.1 404 Not Found" -> 404
int StatusOf(const std::string& line) {
    const size_t sp = line.find(' ');
    if (sp == std::string::npos) return 0;
    return std::atoi(line.c_str() + sp + 1);
}

// The deepest level under `n` (n itself: 1), walking without recursion.
int DepthOf(const xmlNode* root) {
    int deepest = 0, depth = 1;
    const xmlNode* n = root;
    while (n) {
        if (depth > deepest) deepest = depth;
        if (n->children) {
            n = n->children;
            ++depth;
            continue;
        }
        while (n && !n->next && n != root) {
            n = n->parent;
            --depth;
        }
        if (!n || n == root) break;
        n = n->next;
    }
    return deepest;
}

// Parses `xml` as a document without DTD and entities; null when it is none.
Doc Parse(const std::string& xml, std::string& why) {
    InitOnce();
    // A document type could declare entities; WebDAV never needs one.
    if (xml.find("<!DOCTYPE") != std::string::npos || xml.find("<!ENTITY") != std::string::npos) {
        why = "it declares a document type";
        return Doc(nullptr, xmlFreeDoc);
    }
    Doc doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "answer.xml", nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA),
            xmlFreeDoc);
    if (!doc || !xmlDocGetRootElement(doc.get())) {
        why = "it is no XML";
        return Doc(nullptr, xmlFreeDoc);
    }
    if (doc->intSubset || doc->extSubset) {
        why = "it declares a document type";
        return Doc(nullptr, xmlFreeDoc);
    }
    if (DepthOf(xmlDocGetRootElement(doc.get())) > kMaxDavXmlDepth) {
        why = "it is nested deeper than " + std::to_string(kMaxDavXmlDepth) + " levels";
        return Doc(nullptr, xmlFreeDoc);
    }
    return doc;
}

DavProp PropOf(const xmlNode* p) {
    DavProp prop;
    prop.text = TextOf(p);
    for (const xmlNode* c = p->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        prop.children.push_back(NameOf(c));
        if (Is(c, kDavNs, "href")) prop.hrefs.push_back(Trimmed(TextOf(c)));
        if (Is(c, kCalDavNs, "comp")) {
            xmlChar* name = xmlGetProp(c, reinterpret_cast<const xmlChar*>("name"));
            if (name) prop.comps.push_back(reinterpret_cast<const char*>(name));
            xmlFree(name);
        }
        // An href one level further in (current-user-principal, the home sets).
        for (const xmlNode* g = c->children; g; g = g->next)
            if (Is(g, kDavNs, "href")) prop.hrefs.push_back(Trimmed(TextOf(g)));
    }
    return prop;
}

}  // namespace

bool DavProp::Has(const std::string& child) const {
    for (const auto& c : children)
        if (c == child) return true;
    return false;
}

const DavProp* DavResponse::Prop(const char* ns, const char* local) const {
    auto it = props.find(std::string("{") + ns + "}" + local);
    return it == props.end() ? nullptr : &it->second;
}

Multistatus ParseMultistatus(const std::string& xml, const std::string& server, const std::string& what) {
    std::string why;
    Doc doc = Parse(xml, why);
    const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (root && !Is(root, kDavNs, "multistatus")) why = "it is no DAV:multistatus";
    if (!why.empty())
        RaiseError(errnum::kMapiCallFailed, "the server " + server + " answered " + what + " with what cannot be read: " + why,
                   kSource);
    Multistatus out;
    for (const xmlNode* r = root->children; r; r = r->next) {
        if (Is(r, kDavNs, "sync-token")) out.syncToken = Trimmed(TextOf(r));
        if (!Is(r, kDavNs, "response")) continue;
        std::vector<std::string> hrefs;
        DavResponse response;
        for (const xmlNode* c = r->children; c; c = c->next) {
            if (Is(c, kDavNs, "href")) hrefs.push_back(Trimmed(TextOf(c)));
            if (Is(c, kDavNs, "status")) response.status = StatusOf(Trimmed(TextOf(c)));
            if (!Is(c, kDavNs, "propstat")) continue;
            int status = 0;
            for (const xmlNode* s = c->children; s; s = s->next)
                if (Is(s, kDavNs, "status")) status = StatusOf(Trimmed(TextOf(s)));
            if (status < 200 || status > 299) continue;
            for (const xmlNode* p = c->children; p; p = p->next)
                if (Is(p, kDavNs, "prop"))
                    for (const xmlNode* v = p->children; v; v = v->next)
                        if (v->type == XML_ELEMENT_NODE) {
                            DavProp prop = PropOf(v);
                            if (!Is(v, kCalDavNs, "calendar-data") && !Is(v, kCardDavNs, "address-data"))
                                prop.text = Trimmed(std::move(prop.text));
                            response.props[NameOf(v)] = std::move(prop);
                        }
        }
        // One status may stand for several hrefs.
        for (auto& h : hrefs) {
            out.responses.push_back(response);
            out.responses.back().href = std::move(h);
        }
    }
    return out;
}

std::vector<std::string> ErrorConditions(const std::string& xml) {
    std::string why;
    Doc doc = Parse(xml, why);
    std::vector<std::string> out;
    if (!doc) return out;
    for (const xmlNode* c = xmlDocGetRootElement(doc.get())->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) out.push_back(NameOf(c));
    return out;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace nubra::connected
