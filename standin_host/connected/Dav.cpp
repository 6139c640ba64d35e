#include "standin_host/connected/Dav.h"

#include <strings.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "standin_host/connected/Common.h"
#include "standin_host/connected/DavXml.h"
#include "standin_host/connected/PimItem.h"
#include "standin_host/connected/Secrets.h"
#include "standin_host/connected/Synchroniser.h"

namespace nubra::connected {
namespace {

constexpr size_t kMultigetItems = 100;                    // hrefs in one multiget
constexpr size_t kMultigetBytes = size_t{16} << 20;       // listed sizes in one multiget
constexpr size_t kLocateItems = 500;                      // hrefs in one multiget for ETags alone
constexpr size_t kParseChunk = 1000;                      // items fetched before they are parsed
constexpr int kMaxRedirects = 5;
constexpr int kMaxSyncRounds = 1000;                      // truncated sync reports followed
constexpr const char* kEnDash = "\xE2\x80\x93";
constexpr const char* kXmlHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

bool Ok(long status) { return status >= 200 && status < 300; }

std::string LastSegment(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '/') p.pop_back();
    return p.substr(p.rfind('/') + 1);
}

std::string ParentOf(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '/') p.pop_back();
    return p.substr(0, p.rfind('/') + 1);
}

class DavDriver : public Driver {
public:
    DavDriver(DavUrl url, DavOptions options, std::function<std::string()> password)
        : url_(std::move(url)), options_(std::move(options)), password_(std::move(password)) {}

    std::string KindText() const override { return "dav"; }
    std::string Source() const override { return url_.Canonical(); }
    std::string Name() const override { return "the account " + url_.Canonical(); }
    bool KeysSurviveMoves() const override { return true; }
    bool MovesSets() const override { return false; }
    bool StampMeansContent() const override { return true; }
    bool VerifyMoves() const override { return false; }  // each move is checked with HEAD
    std::string Describe(const std::string& folder, const SourceItem& item) const override {
        return "the item \"" + folder + item.key + "\" of " + Name();
    }
    void Reset() override {
        http_.reset();
        homes_.clear();
        fresh_.clear();
    }

    std::vector<SourceFolder> ListFolders(std::vector<std::string>& warnings) override;
    Glance GlanceAt(const std::string& folder) override;
    std::vector<SourceItem> ListItems(const std::string& folder, Glance& glance, std::vector<std::string>& warnings) override;
    std::optional<SourceChanges> ListChangesSince(const std::string& folder, const Glance& since, Glance& glance,
                                                  std::vector<std::string>& warnings) override;
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& folder, std::vector<SourceItem>& items,
                                                          std::vector<std::string>& warnings) override;
    std::vector<std::optional<std::string>> ReadWhole(const std::string& folder,
                                                      const std::vector<SourceItem>& items) override;
    std::string CreateFolder(const std::optional<std::string>& parent, const std::string& name) override;
    void RemoveFolder(const std::string& folder) override;
    std::string Mark(const std::string&) override { return {}; }
    std::vector<std::optional<SourceItem>> MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                     const std::string& to) override;
    std::vector<std::optional<SourceItem>> Locate(const std::string& folder, const std::vector<SourceItem>& items) override;
    std::vector<SourceItem> ArrivedSince(const std::string&, const std::string&) override { return {}; }
    void RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) override;

private:
    // A collection as the server describes it.
    struct Collection {
        std::string path, home, displayName;
        bool addressBook = false;
        std::vector<std::string> comps;  // a calendar's components ("VEVENT", "VTODO")
        std::string token, ctag, etag;
        std::string duplicatesOf;  // our dead property: the path of the collection whose duplicates it holds
        int32_t ItemType() const {
            if (addressBook) return 2;                                                         // olContactItem
            return std::count(comps.begin(), comps.end(), "VEVENT") ? 1 : 3;                   // calendar : tasks
        }
        Glance Glimpse() const { return {"", !token.empty() ? "t:" + token : !ctag.empty() ? "c:" + ctag : ""}; }
    };
    struct SyncResult {
        std::vector<SourceItem> changed;
        std::vector<std::string> gone;
        std::string token;
    };

    DavHttp& Http() {
        if (!http_) http_ = std::make_unique<DavHttp>(url_, options_, password_());
        return *http_;
    }
    HttpAnswer Send(const std::string& method, const std::string& path, std::vector<std::string> headers,
                    const std::string& body = {}, size_t maxBody = kMaxDavErrorBytes) {
        if (!body.empty()) headers.push_back("Content-Type: application/xml; charset=utf-8");
        return Http().Request(method, EncodePath(path), headers, body, maxBody);
    }
    [[noreturn]] void Unexpected(const HttpAnswer& a, const std::string& what) {
        const int32_t number = a.status == 403   ? errnum::kMapiNoAccess
                               : a.status == 404 ? errnum::kMapiNotFound
                               : a.status == 507 ? errnum::kMapiDiskError
                                                 : errnum::kMapiCallFailed;
        std::string said = a.body.substr(0, 2000);
        Raise(number, "the server " + Http().Server() + " answered " + what + " with " + std::to_string(a.status) +
                          (said.empty() ? std::string() : ": " + Http().Redact(said)));
    }
    Multistatus Multi(const HttpAnswer& a, const std::string& what) {
        if (a.status != 207) Unexpected(a, what);
        return ParseMultistatus(a.body, Http().Server(), what);
    }
    std::string PathOf(const std::string& href) const;
    std::string Location(const HttpAnswer& a, const std::string& from);
    [[noreturn]] void Changed(const std::string& folder, const SourceItem& item) {
        Raise(errnum::kMapiCollision,
              Describe(folder, item) + " was changed by another client since it was read; left where it is");
    }

    const std::vector<std::string>& Homes();
    std::map<std::string, Collection> ListHome(const std::string& home, bool withTokens);
    std::optional<Collection> CollectionAt(const std::string& path, const Multistatus& m, const std::string& home);
    const Collection& Info(const std::string& folder);
    std::optional<SyncResult> Sync(const std::string& folder, const std::string& token, std::vector<std::string>& warnings);
    std::map<std::string, DavResponse> Multiget(const Collection& c, const std::vector<std::string>& keys, bool data);
    std::optional<std::string> EtagOf(const std::string& path);
    std::optional<SourceItem> CopyThenDelete(const std::string& from, const SourceItem& item, const std::string& to);

    DavUrl url_;
    DavOptions options_;
    std::function<std::string()> password_;
    std::unique_ptr<DavHttp> http_;
    std::vector<std::string> homes_;              // found once per connection
    std::map<std::string, Collection> collections_;  // by path, from the last listing
    std::map<std::string, Glance> fresh_;           // glances taken with that listing, used once
    std::set<std::pair<std::string, std::string>> noMove_;  // collections the server will not MOVE between
};

// ------------------------------------------------------------------ addresses

// The path an href of the server names (decoded), or "" for one on another server or that
// cannot be a path there.
std::string DavDriver::PathOf(const std::string& href) const {
    std::string h = href;
    if (h.rfind("http://", 0) == 0 || h.rfind("https://", 0) == 0) {
        const size_t slash = h.find('/', h.find("//") + 2);
        const std::string origin = h.substr(0, slash);
        std::string ours = url_.Origin();
        const std::string defaultPort = url_.tls ? ":443" : ":80";
        auto same = [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; };
        if (!same(origin, ours) && !(ours.ends_with(defaultPort) && same(origin, ours.substr(0, ours.size() - defaultPort.size()))))
            return {};
        h = slash == std::string::npos ? "/" : h.substr(slash);
    }
    bool ok = true;
    std::string path = DecodePercent(h, &ok);
    if (!ok || path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return {};
    for (size_t at = 0; (at = path.find("/", at)) != std::string::npos; ++at) {
        const std::string rest = path.substr(at + 1, 3);
        if (rest == "../" || rest == ".." || rest.rfind("./", 0) == 0) return {};
    }
    return path;
}

// Where a redirect of `from` points, on this server only.
std::string DavDriver::Location(const HttpAnswer& a, const std::string& from) {
    const std::string location = a.Header("location");
    const bool relative = !location.empty() && location[0] != '/' && location.find("://") == std::string::npos;
    const std::string path = PathOf(relative ? ParentOf(from) + location : location);
    if (location.empty() || path.empty())
        Raise(errnum::kMapiNoAccess, "the server " + Http().Server() + " redirects " + from + " to \"" +
                                         Http().Redact(location) + "\", another server: give that address instead");
    return path;
}

// ------------------------------------------------------------------ discovery

const std::vector<std::string>& DavDriver::Homes() {
    if (!homes_.empty()) return homes_;
    const std::string ask = std::string(kXmlHead) + "<D:propfind xmlns:D=\"DAV:\" xmlns:C=\"" + kCalDavNs +
                            "\" xmlns:CR=\"" + kCardDavNs +
                            "\"><D:prop><D:current-user-principal/><C:calendar-home-set/><CR:addressbook-home-set/>"
                            "</D:prop></D:propfind>";
    std::vector<std::string> starts;
    if (url_.path != "/") starts.push_back(url_.path);
    starts.insert(starts.end(), {"/.well-known/carddav", "/.well-known/caldav", "/"});
    std::set<std::string> principals, homes;
    auto take = [&](const Multistatus& m) {
        for (const auto& r : m.responses) {
            if (const auto* p = r.Prop(kDavNs, "current-user-principal"))
                for (const auto& h : p->hrefs)
                    if (auto path = PathOf(h); !path.empty()) principals.insert(path);
            for (const auto* p : {r.Prop(kCalDavNs, "calendar-home-set"), r.Prop(kCardDavNs, "addressbook-home-set")})
                if (p)
                    for (const auto& h : p->hrefs)
                        if (auto path = PathOf(h); !path.empty()) homes.insert(path.back() == '/' ? path : path + "/");
        }
    };
    std::string refused;  // what the last place that did not answer said
    for (const auto& start : starts) {
        std::string path = start;
        for (int hop = 0; hop <= kMaxRedirects; ++hop) {
            const HttpAnswer a = Send("PROPFIND", path, {"Depth: 0"}, ask, kMaxDavXmlBytes);
            if (a.status >= 300 && a.status < 400 && hop < kMaxRedirects) {
                path = Location(a, path);
                continue;
            }
            if (a.status == 207) take(Multi(a, "PROPFIND " + path));
            else refused = " (PROPFIND " + path + ": " + std::to_string(a.status) + " " + Http().Redact(a.body) + ")";
            break;
        }
        if (!principals.empty() || !homes.empty()) break;
    }
    for (const auto& principal : principals) {
        const HttpAnswer a = Send("PROPFIND", principal, {"Depth: 0"}, ask, kMaxDavXmlBytes);
        if (a.status == 207) take(Multi(a, "PROPFIND " + principal));
    }
    if (homes.empty() && url_.path != "/") homes.insert(url_.path);  // the address names the home itself
    if (homes.empty())
        Raise(errnum::kMapiNotFound,
              "the server " + Http().Server() +
                  " shows no address book or calendar home (no current-user-principal with an addressbook-home-set "
                  "or calendar-home-set at /.well-known/carddav, /.well-known/caldav or /); give the home's path in "
                  "the address" +
                  refused);
    homes_.assign(homes.begin(), homes.end());
    return homes_;
}

std::optional<DavDriver::Collection> DavDriver::CollectionAt(const std::string& path, const Multistatus& m,
                                                             const std::string& home) {
    for (const auto& r : m.responses) {
        std::string p = PathOf(r.href);
        if (!p.empty() && p.back() != '/') p += '/';
        if (p != path) continue;
        const auto* type = r.Prop(kDavNs, "resourcetype");
        if (!type) return std::nullopt;
        Collection c;
        c.path = path;
        c.home = home;
        c.addressBook = type->Has(std::string("{") + kCardDavNs + "}addressbook");
        if (!c.addressBook && !type->Has(std::string("{") + kCalDavNs + "}calendar")) return std::nullopt;
        if (const auto* v = r.Prop(kDavNs, "displayname")) c.displayName = v->text.substr(0, 1024);
        if (const auto* v = r.Prop(kCalDavNs, "supported-calendar-component-set")) c.comps = v->comps;
        // Without the property a calendar takes every component.
        if (!c.addressBook && c.comps.empty()) c.comps = {"VEVENT", "VTODO"};
        for (auto& comp : c.comps)
            for (auto& ch : comp) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (const auto* v = r.Prop(kDavNs, "sync-token")) c.token = v->text.substr(0, 4096);
        if (const auto* v = r.Prop(kCalServerNs, "getctag")) c.ctag = v->text.substr(0, 4096);
        if (const auto* v = r.Prop(kDavNs, "getetag")) c.etag = v->text.substr(0, 4096);
        if (const auto* v = r.Prop(kNubraNs, "duplicates-of")) {
            std::string of = PathOf(v->text);
            if (!of.empty() && of.back() != '/') of += '/';
            c.duplicatesOf = of;
        }
        return c;
    }
    return std::nullopt;
}

std::string CollectionProps(bool withTokens) {
    return std::string(kXmlHead) + "<D:propfind xmlns:D=\"DAV:\" xmlns:C=\"" + kCalDavNs + "\" xmlns:CS=\"" +
           kCalServerNs + "\" xmlns:N=\"" + kNubraNs +
           "\"><D:prop><D:resourcetype/><D:displayname/><C:supported-calendar-component-set/><N:duplicates-of/>" +
           (withTokens ? "<D:sync-token/><CS:getctag/><D:getetag/>" : "") + "</D:prop></D:propfind>";
}

// The address books and calendars of `home`, by path.
std::map<std::string, DavDriver::Collection> DavDriver::ListHome(const std::string& home, bool withTokens) {
    const HttpAnswer a = Send("PROPFIND", home, {"Depth: 1"}, CollectionProps(withTokens), kMaxDavXmlBytes);
    if (a.status == 404) {
        homes_.clear();  // found again next time
        Raise(errnum::kMapiCallFailed, "the home " + home + " of " + Name() + " is gone from the server");
    }
    const Multistatus m = Multi(a, "PROPFIND " + home);
    std::map<std::string, Collection> out;
    for (const auto& r : m.responses) {
        std::string path = PathOf(r.href);
        if (path.empty()) continue;
        if (path.back() != '/') path += '/';
        if (path == home || path.rfind(home, 0) != 0 || path.find('/', home.size()) != path.size() - 1) continue;
        if (auto c = CollectionAt(path, m, home)) out[path] = std::move(*c);
    }
    return out;
}

std::vector<SourceFolder> DavDriver::ListFolders(std::vector<std::string>& warnings) {
    (void)warnings;
    std::map<std::string, Collection> all;
    for (const auto& home : Homes()) all.merge(ListHome(home, true));
    // Calendars of neither events nor to-dos (journals, free-busy) are no folder of ours.
    std::erase_if(all, [](const auto& e) {
        const auto& c = e.second;
        return !c.addressBook && !std::count(c.comps.begin(), c.comps.end(), "VEVENT") &&
               !std::count(c.comps.begin(), c.comps.end(), "VTODO");
    });
    collections_ = all;
    fresh_.clear();
    // A duplicates collection is shown under the collection it names (the first of several).
    std::map<std::string, std::string> duplicatesOf;  // original -> its duplicates collection
    for (const auto& [path, c] : all)
        if (!c.duplicatesOf.empty() && c.duplicatesOf != path && all.count(c.duplicatesOf) &&
            all.at(c.duplicatesOf).duplicatesOf.empty() && !duplicatesOf.count(c.duplicatesOf))
            duplicatesOf[c.duplicatesOf] = path;
    std::set<std::string> under;
    for (const auto& [original, dup] : duplicatesOf) under.insert(dup);
    std::vector<SourceFolder> out;
    std::map<std::string, int> names;
    for (const auto& [path, c] : all) {
        if (under.count(path)) continue;
        std::string display = ShownFolderName(c.displayName.empty() ? LastSegment(path) : c.displayName);
        // Two collections of one name: the second is told apart by its path's last segment.
        if (names[display]++) display += " (" + ShownFolderName(LastSegment(path)) + ")";
        out.push_back({path, {display}, true, false, c.ItemType()});
        fresh_[path] = c.Glimpse();
        if (auto d = duplicatesOf.find(path); d != duplicatesOf.end()) {
            out.push_back({d->second, {display, kDuplicatesName}, true, false, c.ItemType()});
            fresh_[d->second] = all.at(d->second).Glimpse();
        }
    }
    if (out.empty()) Raise(errnum::kMapiNotFound, Name() + " holds no address book or calendar");
    return out;
}

const DavDriver::Collection& DavDriver::Info(const std::string& folder) {
    if (auto it = collections_.find(folder); it != collections_.end()) return it->second;
    const HttpAnswer a = Send("PROPFIND", folder, {"Depth: 0"}, CollectionProps(true), kMaxDavXmlBytes);
    if (a.status == 404) Raise(errnum::kMapiNotFound, "the collection " + folder + " is no longer in " + Name());
    auto c = CollectionAt(folder, Multi(a, "PROPFIND " + folder), ParentOf(folder));
    if (!c) Raise(errnum::kMapiNotFound, folder + " is no address book or calendar of " + Name());
    return collections_[folder] = std::move(*c);
}

// ------------------------------------------------------------------ reading

// A synchronisation glances at every folder right after listing the folders, which took every
// collection's token at once: that glance serves until the next listing (also for the
// synchroniser's look at a folder's validity before each move, which is always the same here).
Glance DavDriver::GlanceAt(const std::string& folder) {
    if (auto it = fresh_.find(folder); it != fresh_.end()) return it->second;
    collections_.erase(folder);  // looked at anew
    return fresh_[folder] = Info(folder).Glimpse();
}

// A sync report of `folder` from `token` ("" for everything), followed while the server
// truncates it. nullopt when the server no longer knows the token.
std::optional<DavDriver::SyncResult> DavDriver::Sync(const std::string& folder, const std::string& token,
                                                     std::vector<std::string>& warnings) {
    SyncResult out;
    out.token = token;
    std::map<std::string, SourceItem> changed;
    std::set<std::string> gone;
    for (int round = 0;; ++round) {
        if (round == kMaxSyncRounds)
            Raise(errnum::kMapiCallFailed, "the server " + Http().Server() + " kept truncating the sync report of " + folder);
        const std::string ask = std::string(kXmlHead) + "<D:sync-collection xmlns:D=\"DAV:\"><D:sync-token>" +
                                XmlEscape(out.token) +
                                "</D:sync-token><D:sync-level>1</D:sync-level><D:prop><D:getetag/>"
                                "<D:getcontentlength/></D:prop></D:sync-collection>";
        const HttpAnswer a = Send("REPORT", folder, {}, ask, kMaxDavXmlBytes);
        if (a.status == 404) Raise(errnum::kMapiNotFound, "the collection " + folder + " is no longer in " + Name());
        if (!out.token.empty() && (a.status == 403 || a.status == 409 || a.status == 410 || a.status == 412))
            return std::nullopt;  // a token the server forgot (DAV:valid-sync-token)
        const Multistatus m = Multi(a, "REPORT sync-collection " + folder);
        bool truncated = false;
        for (const auto& r : m.responses) {
            const std::string path = PathOf(r.href);
            if (path == folder || path + "/" == folder) {
                truncated = truncated || r.status == 507;
                continue;
            }
            if (path.empty() || path.back() == '/' || ParentOf(path) != folder) {
                if (!path.empty() && path.back() != '/')
                    warnings.push_back("the server " + Http().Server() + " listed \"" + Http().Redact(r.href) +
                                       "\" in " + folder + ", which is not in it; passed over");
                continue;
            }
            const std::string key = LastSegment(path);
            if (r.status == 404) {
                changed.erase(key);
                gone.insert(key);
                continue;
            }
            const auto* etag = r.Prop(kDavNs, "getetag");
            if (!etag) continue;
            const auto* length = r.Prop(kDavNs, "getcontentlength");
            gone.erase(key);
            changed[key] = {key, etag->text.substr(0, 4096), length ? std::atoll(length->text.c_str()) : 0, 0, "", ""};
        }
        if (m.syncToken.empty())
            Raise(errnum::kMapiCallFailed, "the server " + Http().Server() + " gave no sync-token for " + folder);
        out.token = m.syncToken.substr(0, 4096);
        if (!truncated) break;
    }
    for (auto& [key, item] : changed) out.changed.push_back(std::move(item));
    out.gone.assign(gone.begin(), gone.end());
    return out;
}

std::vector<SourceItem> DavDriver::ListItems(const std::string& folder, Glance& glance, std::vector<std::string>& warnings) {
    const Collection& c = Info(folder);
    if (!c.token.empty()) {
        auto all = Sync(folder, "", warnings);
        if (all) {
            glance = {"", "t:" + all->token};
            return std::move(all->changed);
        }
    }
    const std::string ask = std::string(kXmlHead) +
                            "<D:propfind xmlns:D=\"DAV:\"><D:prop><D:resourcetype/><D:getetag/><D:getcontentlength/>"
                            "</D:prop></D:propfind>";
    const HttpAnswer a = Send("PROPFIND", folder, {"Depth: 1"}, ask, kMaxDavXmlBytes);
    if (a.status == 404) Raise(errnum::kMapiNotFound, "the collection " + folder + " is no longer in " + Name());
    std::vector<SourceItem> items;
    for (const auto& r : Multi(a, "PROPFIND " + folder).responses) {
        const std::string path = PathOf(r.href);
        if (path.empty() || path.back() == '/' || ParentOf(path) != folder) continue;
        const auto* type = r.Prop(kDavNs, "resourcetype");
        if (type && !type->children.empty()) continue;  // a collection inside
        const auto* etag = r.Prop(kDavNs, "getetag");
        const auto* length = r.Prop(kDavNs, "getcontentlength");
        items.push_back({LastSegment(path), etag ? etag->text.substr(0, 4096) : "",
                         length ? std::atoll(length->text.c_str()) : 0, 0, "", ""});
    }
    return items;
}

std::optional<SourceChanges> DavDriver::ListChangesSince(const std::string& folder, const Glance& since, Glance& glance,
                                                         std::vector<std::string>& warnings) {
    if (since.state.rfind("t:", 0) != 0) return std::nullopt;
    auto changes = Sync(folder, since.state.substr(2), warnings);
    if (!changes) return std::nullopt;
    glance = {"", "t:" + changes->token};
    return SourceChanges{std::move(changes->changed), std::move(changes->gone)};
}

// The multiget of `keys` in collection `c`: their ETags and sizes, with `data` their text and
// last modification too; by key, for those the server has.
std::map<std::string, DavResponse> DavDriver::Multiget(const Collection& c, const std::vector<std::string>& keys,
                                                       bool data) {
    const char* report = c.addressBook ? "CR:addressbook-multiget" : "C:calendar-multiget";
    std::string ask = std::string(kXmlHead) + "<" + report + " xmlns:D=\"DAV:\" xmlns:C=\"" + kCalDavNs +
                      "\" xmlns:CR=\"" + kCardDavNs + "\"><D:prop><D:getetag/><D:getcontentlength/>" +
                      (data ? std::string("<D:getlastmodified/>") + (c.addressBook ? "<CR:address-data/>" : "<C:calendar-data/>")
                            : std::string()) +
                      "</D:prop>";
    for (const auto& key : keys) ask += "<D:href>" + XmlEscape(EncodePath(c.path + key)) + "</D:href>";
    ask += std::string("</") + report + ">";
    const HttpAnswer a = Send("REPORT", c.path, {"Depth: 1"}, ask, kMaxDavXmlBytes);
    if (a.status == 404) Raise(errnum::kMapiNotFound, "the collection " + c.path + " is no longer in " + Name());
    std::map<std::string, DavResponse> out;
    for (auto& r : Multi(a, std::string("REPORT ") + (report + 2) + " " + c.path).responses) {
        const std::string path = PathOf(r.href);
        if (path.empty() || ParentOf(path) != c.path || (r.status != 0 && !Ok(r.status)) || r.props.empty()) continue;
        out[LastSegment(path)] = std::move(r);
    }
    return out;
}

std::vector<std::optional<store::ItemData>> DavDriver::ReadItems(const std::string& folder,
                                                                 std::vector<SourceItem>& items,
                                                                 std::vector<std::string>& warnings) {
    const Collection c = Info(folder);
    std::vector<std::optional<store::ItemData>> out;
    out.reserve(items.size());
    for (size_t chunk = 0; chunk < items.size(); chunk += kParseChunk) {
        const size_t end = std::min(items.size(), chunk + kParseChunk);
        // Fetched in multigets of a bounded count and size; parsed on two threads.
        std::vector<std::optional<std::pair<std::string, std::optional<Date>>>> texts(end - chunk);
        std::vector<std::string> problems(end - chunk);
        for (size_t i = chunk; i < end;) {
            std::vector<std::string> keys;
            size_t bytes = 0;
            const size_t first = i;
            for (; i < end && keys.size() < kMultigetItems; ++i) {
                const auto size = static_cast<size_t>(std::max<int64_t>(items[i].size, 0));
                if (size > kMaxDavItemBytes) {
                    problems[i - chunk] = Describe(folder, items[i]) + " is larger than " +
                                          std::to_string(kMaxDavItemBytes >> 20) + " MiB; skipped";
                    continue;
                }
                if (!keys.empty() && bytes + size > kMultigetBytes) break;
                keys.push_back(items[i].key);
                bytes += size + 512;
            }
            auto got = Multiget(c, keys, true);
            for (size_t j = first; j < i; ++j) {
                if (!problems[j - chunk].empty()) continue;
                auto r = got.find(items[j].key);
                const auto* text = r == got.end() ? nullptr
                                                  : r->second.Prop(c.addressBook ? kCardDavNs : kCalDavNs,
                                                                   c.addressBook ? "address-data" : "calendar-data");
                if (!text) {
                    problems[j - chunk] = Describe(folder, items[j]) + " could not be read (gone meanwhile); skipped";
                    continue;
                }
                std::optional<Date> modified;
                if (const auto* m = r->second.Prop(kDavNs, "getlastmodified")) modified = PimDateOf(m->text);
                if (items[j].size <= 0) items[j].size = static_cast<int64_t>(text->text.size());
                texts[j - chunk].emplace(text->text, modified);
            }
        }
        auto made = MakeItems(
            end - chunk,
            [&](size_t i) -> std::optional<store::ItemData> {
                if (!texts[i]) return std::nullopt;
                return PimItemOf(texts[i]->first, c.addressBook, folder + items[chunk + i].key, texts[i]->second);
            },
            [&](size_t i) { return Describe(folder, items[chunk + i]); }, warnings);
        for (auto& p : problems)
            if (!p.empty()) warnings.push_back(std::move(p));
        for (auto& m : made) out.push_back(std::move(m));
    }
    return out;
}

std::vector<std::optional<std::string>> DavDriver::ReadWhole(const std::string& folder,
                                                             const std::vector<SourceItem>& items) {
    std::vector<std::optional<std::string>> out;
    for (const auto& item : items) {
        if (item.size > static_cast<int64_t>(kMaxDavItemBytes)) {
            out.emplace_back();
            continue;
        }
        HttpAnswer a = Send("GET", folder + item.key, {}, {}, kMaxDavItemBytes);
        if (a.status == 404 || a.status == 410) out.emplace_back();
        else if (Ok(a.status)) out.emplace_back(std::move(a.body));
        else Unexpected(a, "GET " + folder + item.key);
    }
    return out;
}

// ------------------------------------------------------------------ folders

std::string DavDriver::CreateFolder(const std::optional<std::string>& parent, const std::string& name) {
    // A clean makes no address book or calendar of its own, and an account has no Deleted
    // Items: only a collection's duplicates collection is made.
    if (!parent || name != kDuplicatesName)
        Raise(errnum::kMapiNoSupport, "a folder \"" + name + "\" is not made in " + Name() +
                                          ": only a collection's own Nubra_Duplicate_Items is");
    const Collection original = Info(*parent);
    if (!original.duplicatesOf.empty())
        Raise(errnum::kMapiNoSupport, "the duplicates collection " + *parent + " of " + Name() + " gets none of its own");
    const std::string home = ParentOf(*parent);
    // Made by another run or program meanwhile: the server tells.
    auto siblings = ListHome(home, false);
    for (const auto& [path, c] : siblings)
        if (c.duplicatesOf == *parent) {
            collections_[path] = c;
            return path;
        }
    const std::string display =
        (original.displayName.empty() ? LastSegment(*parent) : original.displayName) + " " + kEnDash + " " + kDuplicatesName;
    const std::string link = "<N:duplicates-of>" + XmlEscape(*parent) + "</N:duplicates-of>";
    std::string comps;
    if (!original.addressBook) {
        comps = "<C:supported-calendar-component-set>";
        for (const auto& comp : original.comps) comps += "<C:comp name=\"" + XmlEscape(comp) + "\"/>";
        comps += "</C:supported-calendar-component-set>";
    }
    auto body = [&](bool withLink) {
        const std::string props = "<D:displayname>" + XmlEscape(display) + "</D:displayname>" + comps +
                                  (withLink ? link : std::string());
        const std::string ns = std::string(" xmlns:D=\"DAV:\" xmlns:C=\"") + kCalDavNs + "\" xmlns:CR=\"" + kCardDavNs +
                               "\" xmlns:N=\"" + kNubraNs + "\"";
        return original.addressBook
                   ? std::string(kXmlHead) + "<D:mkcol" + ns +
                         "><D:set><D:prop><D:resourcetype><D:collection/><CR:addressbook/></D:resourcetype>" + props +
                         "</D:prop></D:set></D:mkcol>"
                   : std::string(kXmlHead) + "<C:mkcalendar" + ns + "><D:set><D:prop>" + props +
                         "</D:prop></D:set></C:mkcalendar>";
    };
    const char* method = original.addressBook ? "MKCOL" : "MKCALENDAR";
    const std::string base = LastSegment(*parent) + "-nubra-duplicates";
    for (int n = 1; n <= 20; ++n) {
        const std::string path = home + base + (n == 1 ? "" : "-" + std::to_string(n)) + "/";
        if (auto taken = siblings.find(path); taken != siblings.end()) {
            // One this program began and did not link (cut short between making and linking):
            // empty, and named as it names them.
            Glance ignored;
            std::vector<std::string> unused;
            if (taken->second.duplicatesOf.empty() && taken->second.displayName == display &&
                ListItems(path, ignored, unused).empty()) {
                const std::string patch = std::string(kXmlHead) + "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:N=\"" +
                                          kNubraNs + "\"><D:set><D:prop>" + link + "</D:prop></D:set></D:propertyupdate>";
                const HttpAnswer p = Send("PROPPATCH", path, {}, patch);
                if (Ok(p.status)) {
                    collections_[path] = taken->second;
                    collections_[path].duplicatesOf = *parent;
                    return path;
                }
            }
            continue;
        }
        HttpAnswer a = Send(method, path, {}, body(true));
        if (a.status == 405 || a.status == 409) continue;  // there already (made meanwhile), or not here
        bool linked = Ok(a.status);
        if (!linked && (a.status == 400 || a.status == 403 || a.status == 415 || a.status == 422 || a.status == 424)) {
            // A server that takes no unknown property with the collection: made first, linked after.
            a = Send(method, path, {}, body(false));
            if (!Ok(a.status)) Unexpected(a, std::string(method) + " " + path);
            const std::string patch = std::string(kXmlHead) + "<D:propertyupdate xmlns:D=\"DAV:\" xmlns:N=\"" + kNubraNs +
                                      "\"><D:set><D:prop>" + link + "</D:prop></D:set></D:propertyupdate>";
            const HttpAnswer p = Send("PROPPATCH", path, {}, patch);
            bool kept = p.status == 207 || Ok(p.status);
            if (p.status == 207) {
                const Multistatus m = Multi(p, "PROPPATCH " + path);
                kept = !m.responses.empty() && m.responses.front().Prop(kNubraNs, "duplicates-of");
            }
            if (!kept) {
                Send("DELETE", path, {});
                Raise(errnum::kMapiNoSupport, "the server " + Http().Server() +
                                                  " cannot keep which collection a duplicates collection belongs to "
                                                  "(a property of ours on it), so duplicates are not moved in " + Name());
            }
            linked = true;
        }
        if (!linked) Unexpected(a, std::string(method) + " " + path);
        Collection made = original;
        made.path = path;
        made.displayName = display;
        made.duplicatesOf = *parent;
        made.token.clear(), made.ctag.clear(), made.etag.clear();
        collections_[path] = made;
        return path;
    }
    Raise(errnum::kMapiCollision, "no free name for the duplicates collection of " + *parent + " in " + Name());
}

void DavDriver::RemoveFolder(const std::string& folder) {
    collections_.erase(folder);
    const HttpAnswer a = Send("PROPFIND", folder, {"Depth: 1"}, CollectionProps(true), kMaxDavXmlBytes);
    if (a.status == 404) return;  // gone already
    const Multistatus m = Multi(a, "PROPFIND " + folder);
    const auto c = CollectionAt(folder, m, ParentOf(folder));
    if (!c || c->duplicatesOf.empty())
        Raise(errnum::kMapiNoSupport, "the collection " + folder + " of " + Name() + " is not removed by a clean");
    size_t members = 0;
    for (const auto& r : m.responses) {
        std::string path = PathOf(r.href);
        if (!path.empty() && path != folder && path + "/" != folder) ++members;
    }
    if (members)
        Raise(errnum::kMapiCollision, "the collection " + folder + " of " + Name() + " still holds " +
                                          std::to_string(members) + " item(s); it stays");
    // Its ETag, where the server gives collections one, keeps an item that arrived meanwhile
    // from going with it.
    std::vector<std::string> headers;
    if (!c->etag.empty()) headers.push_back("If-Match: " + c->etag);
    const HttpAnswer d = Send("DELETE", folder, headers);
    if (d.status == 412)
        Raise(errnum::kMapiCollision, "the collection " + folder + " of " + Name() + " changed meanwhile; it stays");
    if (!Ok(d.status) && d.status != 404) Unexpected(d, "DELETE " + folder);
}

// ------------------------------------------------------------------ changes

std::optional<std::string> DavDriver::EtagOf(const std::string& path) {
    const HttpAnswer a = Send("HEAD", path, {});
    if (a.status == 404 || a.status == 410) return std::nullopt;
    if (!Ok(a.status)) Unexpected(a, "HEAD " + path);
    return a.Header("etag");
}

// GET, PUT (If-None-Match) and DELETE (If-Match), for a server that moves nothing between the
// two collections. A copy made while the original changed is taken back.
std::optional<SourceItem> DavDriver::CopyThenDelete(const std::string& from, const SourceItem& item, const std::string& to) {
    const HttpAnswer got = Send("GET", from + item.key, {}, {}, kMaxDavItemBytes);
    if (got.status == 404 || got.status == 410) return std::nullopt;
    if (!Ok(got.status)) Unexpected(got, "GET " + from + item.key);
    if (const std::string now = got.Header("etag"); !now.empty() && now != item.stamp) Changed(from, item);
    std::vector<std::string> headers{"If-None-Match: *"};
    const std::string type = got.Header("content-type");
    headers.push_back("Content-Type: " + (type.empty() ? std::string(Info(from).addressBook ? "text/vcard" : "text/calendar") : type));
    const HttpAnswer put = Http().Request("PUT", EncodePath(to + item.key), headers, got.body, kMaxDavErrorBytes);
    if (put.status == 412)
        Raise(errnum::kMapiCollision, "an item \"" + item.key + "\" is in " + to + " of " + Name() + " already; " +
                                          Describe(from, item) + " is left where it is");
    if (!Ok(put.status)) Unexpected(put, "PUT " + to + item.key);
    FaultPoint("dav:copied");
    std::string copyTag = put.Header("etag");
    const HttpAnswer del = Send("DELETE", from + item.key, {"If-Match: " + item.stamp});
    if (del.status == 412) {
        if (copyTag.empty()) copyTag = EtagOf(to + item.key).value_or("");
        if (!copyTag.empty()) Send("DELETE", to + item.key, {"If-Match: " + copyTag});
        Changed(from, item);
    }
    if (!Ok(del.status) && del.status != 404) Unexpected(del, "DELETE " + from + item.key);
    return SourceItem{item.key, copyTag, item.size, item.arrivalMs, "", item.note};
}

std::vector<std::optional<SourceItem>> DavDriver::MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                            const std::string& to) {
    std::vector<std::optional<SourceItem>> out;
    for (const auto& item : items) {
        // Not every server honours If-Match on MOVE: the ETag is looked at right before too.
        const HttpAnswer head = Send("HEAD", from + item.key, {"If-Match: " + item.stamp});
        if (head.status == 404 || head.status == 410) {
            out.emplace_back();  // gone: the synchroniser says so
            continue;
        }
        // (A server that shows no ETag here has If-Match to go by.)
        const std::string now = head.Header("etag");
        if (head.status == 412 || (Ok(head.status) && !now.empty() && now != item.stamp)) Changed(from, item);
        if (!Ok(head.status)) Unexpected(head, "HEAD " + from + item.key);
        std::optional<SourceItem> moved;
        if (!noMove_.count({from, to})) {
            const HttpAnswer a = Send("MOVE", from + item.key,
                                      {"Destination: " + url_.Origin() + EncodePath(to + item.key), "Overwrite: F",
                                       "If-Match: " + item.stamp});
            if (a.status == 404 || a.status == 410) {
                out.emplace_back();
                continue;
            }
            if (a.status == 412) {
                if (EtagOf(to + item.key))
                    Raise(errnum::kMapiCollision, "an item \"" + item.key + "\" is in " + to + " of " + Name() +
                                                      " already; " + Describe(from, item) + " is left where it is");
                Changed(from, item);
            }
            const auto conditions = ErrorConditions(a.body);
            const bool uidTaken = std::any_of(conditions.begin(), conditions.end(), [](const std::string& c) {
                return c.ends_with("}no-uid-conflict");
            });
            if (uidTaken)
                Raise(errnum::kMapiCollision, to + " of " + Name() + " holds an item of the same UID as " +
                                                  Describe(from, item) + " already; it is left where it is");
            if (Ok(a.status)) {
                moved = SourceItem{item.key, a.Header("etag"), item.size, item.arrivalMs, "", item.note};
            } else if (a.status == 403 || a.status == 405 || a.status == 501 || a.status == 502) {
                noMove_.insert({from, to});  // the server moves nothing between these two
            } else {
                Unexpected(a, "MOVE " + from + item.key);
            }
        }
        if (!moved) {
            moved = CopyThenDelete(from, item, to);
            if (!moved) {
                out.emplace_back();
                continue;
            }
        }
        // The server may answer a move without the ETag it gives the item where it is now.
        if (moved->stamp.empty()) {
            const auto tag = EtagOf(to + item.key);
            if (!tag) {
                out.emplace_back();  // the synchroniser looks for it
                continue;
            }
            moved->stamp = *tag;
        }
        out.push_back(std::move(moved));
    }
    return out;
}

std::vector<std::optional<SourceItem>> DavDriver::Locate(const std::string& folder, const std::vector<SourceItem>& items) {
    std::vector<std::optional<SourceItem>> out(items.size());
    std::optional<Collection> c;
    try {
        c = Info(folder);
    } catch (const AutomationError& e) {
        if (e.Number() != errnum::kMapiNotFound) throw;
        return out;  // the collection is gone, and all in it
    }
    for (size_t first = 0; first < items.size(); first += kLocateItems) {
        const size_t end = std::min(items.size(), first + kLocateItems);
        std::vector<std::string> keys;
        for (size_t i = first; i < end; ++i) keys.push_back(items[i].key);
        const auto got = Multiget(*c, keys, false);
        for (size_t i = first; i < end; ++i) {
            auto r = got.find(items[i].key);
            if (r == got.end()) continue;
            const auto* etag = r->second.Prop(kDavNs, "getetag");
            const auto* length = r->second.Prop(kDavNs, "getcontentlength");
            out[i] = SourceItem{items[i].key, etag ? etag->text : "", length ? std::atoll(length->text.c_str()) : items[i].size,
                                items[i].arrivalMs, "", items[i].note};
        }
    }
    return out;
}

void DavDriver::RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) {
    for (const auto& item : items) {
        std::vector<std::string> headers;
        if (!item.stamp.empty()) headers.push_back("If-Match: " + item.stamp);
        const HttpAnswer a = Send("DELETE", folder + item.key, headers);
        if (a.status == 412)
            Raise(errnum::kMapiCollision,
                  Describe(folder, item) + " was changed by another client since it was read; it is not removed");
        if (!Ok(a.status) && a.status != 404 && a.status != 410) Unexpected(a, "DELETE " + folder + item.key);
    }
}

}  // namespace

std::unique_ptr<Driver> MakeDavDriver(const DavUrl& url, const DavOptions& options, std::function<std::string()> password) {
    return std::make_unique<DavDriver>(url, options, std::move(password));
}

std::shared_ptr<store::Upstream> MakeDavUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache) {
    auto opt = [&](const char* key) {
        auto it = entry.options.find(key);
        return it == entry.options.end() ? std::string() : it->second;
    };
    const DavUrl url = ParseDavUrl(entry.source);
    DavOptions options;
    options.caFile = opt("ca-file");
    options.allowPlain = opt("allow-plain") == "yes";
    options.timeoutSeconds = DavTimeoutSeconds(opt("timeout"));
    const std::string passwordFile = opt("password-file");
    const bool only = entry.ofKind == 1;
    auto password = [url, passwordFile, only] {
        return LookupPassword(kDavPasswords, url.user, url.host, passwordFile, only);
    };
    return std::make_shared<Synchroniser>(MakeDavDriver(url, options, password), "dav", cache);
}

}  // namespace nubra::connected
