#include "standin_host/connected/Imap.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/AutomationDates.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/Driver.h"
#include "standin_host/connected/MailboxName.h"
#include "standin_host/connected/Secrets.h"
#include "standin_host/connected/Synchroniser.h"

namespace nubra::connected {
namespace {

// The header fields the items are made of (see formats::ParseMessage).
const std::vector<std::string> kFields = {"MESSAGE-ID", "DATE",        "SUBJECT",         "FROM",        "TO",
                                          "CC",         "MIME-VERSION", "X-MESSAGE-CLASS", "CONTENT-TYPE"};
// What a whole-message fetch reads ahead at most beyond the message asked for.
constexpr int64_t kAheadBytes = int64_t{8} << 20;

[[noreturn]] void Raise(int32_t number, const std::string& text) { RaiseError(number, text, kSource); }

uint32_t UidOf(const SourceItem& item) {
    const unsigned long uid = item.key.empty() ? 0 : std::stoul(item.key);
    RequireKnownUid(static_cast<uint32_t>(uid));  // "*" to libetpan: never sent
    return static_cast<uint32_t>(uid);
}
std::vector<uint32_t> UidsOf(const std::vector<SourceItem>& items) {
    std::vector<uint32_t> uids;
    for (const auto& i : items) uids.push_back(UidOf(i));
    std::sort(uids.begin(), uids.end());
    return uids;
}
SourceItem ItemOf(const ImapSession::Message& m, std::string note = {}) {
    return {std::to_string(m.uid), "", static_cast<int64_t>(m.size), m.internalDateMs, m.flags, std::move(note)};
}

// An IMAP account: folders are its mailboxes, items its messages known by UID. Moves go in
// sets (UID MOVE, else UID COPY + UID STORE \Deleted + UID EXPUNGE of exactly those), and the
// server's word is checked against the source.
class ImapDriver : public Driver {
public:
    explicit ImapDriver(const store::ConnectedEntry& entry) : entry_(entry), url_(ParseImapUrl(entry.source)) {
        auto opt = [&](const char* key) {
            auto it = entry.options.find(key);
            return it == entry.options.end() ? std::string() : it->second;
        };
        options_.caFile = opt("ca-file");
        options_.allowPlain = opt("allow-plain") == "yes";
        passwordFile_ = opt("password-file");
        timeoutOption_ = opt("timeout");
    }

    std::string KindText() const override { return "imap"; }
    std::string Source() const override { return url_.Canonical(); }
    std::string Name() const override { return "the account " + url_.Canonical(); }
    bool KeysSurviveMoves() const override { return false; }
    bool MovesSets() const override { return true; }
    bool VerifyMoves() const override { return true; }
    size_t ReadAhead() const override { return 200; }
    std::string Describe(const std::string& box, const SourceItem& item) const override {
        return url_.Canonical() + box + ";UID=" + item.key;
    }
    void RequireMoves() override {
        auto& s = Session();
        if (!s.HasMove() && !s.HasUidPlus())
            Raise(errnum::kMapiNoSupport,
                  "the server " + s.Server() +
                      " offers neither MOVE nor UIDPLUS, so a message cannot be moved without also expunging "
                      "messages marked deleted by the user; nothing was changed");
    }
    void Reset() override { session_.reset(); }

    std::vector<SourceFolder> ListFolders(std::vector<std::string>& warnings) override;
    Glance GlanceAt(const std::string& box) override {
        try {
            const auto st = Session().StatusOf(box);
            return {std::to_string(st.uidValidity), std::to_string(st.uidNext) + ":" + std::to_string(st.messages)};
        } catch (const AutomationError& e) {
            Raise(errnum::kMapiNotFound, e.Description());  // deleted by another client since the listing
        }
    }
    std::vector<SourceItem> ListItems(const std::string& box, Glance& glance, std::vector<std::string>&) override {
        auto& s = Session();
        const auto st = s.Select(box);
        glance = {std::to_string(st.uidValidity), std::to_string(st.uidNext) + ":" + std::to_string(st.messages)};
        std::vector<SourceItem> items;
        for (uint32_t uid : s.UidSearchAll()) items.push_back({std::to_string(uid), "", 0, 0, "", ""});
        return items;
    }
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& box, std::vector<SourceItem>& items,
                                                          std::vector<std::string>& warnings) override;
    std::vector<std::optional<std::string>> ReadWhole(const std::string& box, const std::vector<SourceItem>& items) override;
    std::string CreateFolder(const std::optional<std::string>& parent, const std::string& name) override;
    void RemoveFolder(const std::string& box) override {
        auto& s = Session();
        if (!Exists(box)) return;
        s.Unsubscribe(box);
        s.Delete(box);
    }
    std::string Mark(const std::string& box) override { return std::to_string(Session().StatusOf(box).uidNext); }
    std::vector<std::optional<SourceItem>> MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                     const std::string& to) override;
    std::vector<std::optional<SourceItem>> Locate(const std::string& box, const std::vector<SourceItem>& items) override {
        auto& s = Session();
        s.Select(box);
        const auto present = s.UidSearchIn(UidsOf(items));
        std::vector<std::optional<SourceItem>> out;
        for (const auto& i : items)
            if (std::binary_search(present.begin(), present.end(), UidOf(i))) out.push_back(i);
            else out.emplace_back();
        return out;
    }
    std::vector<SourceItem> ArrivedSince(const std::string& box, const std::string& mark) override {
        auto& s = Session();
        s.Select(box);
        std::vector<SourceItem> arrived;
        const auto uids = s.UidSearchFrom(static_cast<uint32_t>(std::max<unsigned long>(std::stoul(mark.empty() ? "1" : mark), 1)));
        s.Fetch(uids, {"MESSAGE-ID"}, [&](ImapSession::Message&& m) { arrived.push_back(ItemOf(m)); });
        return arrived;
    }
    void RemoveItems(const std::string& box, const std::vector<SourceItem>& items) override {
        auto& s = Session();
        if (!s.HasUidPlus())
            Raise(errnum::kMapiNoSupport, "the server " + s.Server() +
                                              " cannot expunge one message alone (no UIDPLUS); nothing was deleted");
        s.Select(box);
        s.UidMarkDeleted(UidsOf(items));
        s.UidExpunge(UidsOf(items));
    }

private:
    ImapSession& Session() {
        if (!session_) {
            options_.timeoutSeconds = ImapTimeoutSeconds(timeoutOption_);
            const std::string password = LookupImapPassword(url_.user, url_.host, passwordFile_, entry_.ofKind == 1);
            session_ = std::make_unique<ImapSession>(url_, options_, password);
        }
        return *session_;
    }
    bool Exists(const std::string& box) {
        for (const auto& m : Session().List())
            if (m.name == box) return true;
        return false;
    }

    store::ConnectedEntry entry_;
    ImapUrl url_;
    ImapConnectOptions options_;
    std::string passwordFile_, timeoutOption_;
    std::unique_ptr<ImapSession> session_;
    char delimiter_ = 0;  // the server's, once a listing told it
};

std::vector<SourceFolder> ImapDriver::ListFolders(std::vector<std::string>& warnings) {
    auto& s = Session();
    auto boxes = s.List();
    for (const auto& b : boxes)
        if (b.delimiter) delimiter_ = b.delimiter;
    std::vector<SourceFolder> out;
    for (const auto& b : boxes) {
        auto place = PlaceMailbox(b.name, delimiter_);
        if (b.cut) place.refused = "its name holds a NUL character, or it could be taken for one that does";
        if (!place.refused.empty()) {
            warnings.push_back("the mailbox \"" + Excerpt(b.name) + "\" on " + s.Server() + " is passed over: " +
                               place.refused);
            continue;
        }
        if (place.undecodable)
            warnings.push_back("the name of the mailbox \"" + Excerpt(b.name) + "\" on " + s.Server() +
                               " is no valid modified UTF-7; it is shown as the server spells it");
        out.push_back({b.name, std::move(place.folders), b.selectable, b.trash, 0});
    }
    // Deleted Items is the \Trash folder (special use), else "Trash".
    if (std::none_of(out.begin(), out.end(), [](const SourceFolder& f) { return f.trash; }))
        for (auto& f : out)
            if (f.key == "Trash") f.trash = true;
    // Parents before children.
    std::stable_sort(out.begin(), out.end(), [](const SourceFolder& a, const SourceFolder& b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.key < b.key;
    });
    return out;
}

std::vector<std::optional<store::ItemData>> ImapDriver::ReadItems(const std::string& box, std::vector<SourceItem>& items,
                                                                  std::vector<std::string>& warnings) {
    auto& s = Session();
    s.Select(box);
    // By UID: one item for each message of the folder, whatever the server repeats.
    std::map<uint32_t, ImapSession::Message> fetched;
    s.Fetch(UidsOf(items), kFields, [&](ImapSession::Message&& m) { fetched.insert_or_assign(m.uid, std::move(m)); });
    std::vector<std::optional<store::ItemData>> out;
    for (auto& item : items) {
        const auto m = fetched.find(UidOf(item));
        if (m == fetched.end()) {
            out.emplace_back();  // gone since the listing: the next one drops it
            continue;
        }
        item = ItemOf(m->second);
        try {
            out.push_back(ItemFromHeader(m->second.header, Describe(box, item), dates::FromUnixMillis(item.arrivalMs)));
        } catch (const AutomationError& e) {
            warnings.push_back(e.Description() + "; skipped");
            out.emplace_back();
        }
    }
    return out;
}

std::vector<std::optional<std::string>> ImapDriver::ReadWhole(const std::string& box,
                                                              const std::vector<SourceItem>& items) {
    auto& s = Session();
    if (!items.empty() && items.front().size > static_cast<int64_t>(kMaxMessageBytes))
        Raise(errnum::kMapiNoSupport, "the message (UID " + items.front().key + " of " + box + ") on " + s.Server() +
                                          " is " + std::to_string(items.front().size) + " bytes, more than the " +
                                          std::to_string(kMaxMessageBytes >> 20) +
                                          " MiB a message may have here; it is not fetched");
    s.Select(box);
    std::unordered_map<uint32_t, std::string> bodies;
    int64_t kept = 0;
    // What the server sends beyond a few megabytes past the message asked for is not kept.
    const uint32_t first = items.empty() ? 0 : UidOf(items.front());
    s.Fetch(UidsOf(items), {}, [&](ImapSession::Message&& m) {
        if (m.uid != first && kept > kAheadBytes) return;
        kept += static_cast<int64_t>(m.header.size());
        bodies[m.uid] = std::move(m.header);
    });
    std::vector<std::optional<std::string>> out;
    for (const auto& i : items)
        if (auto b = bodies.find(UidOf(i)); b != bodies.end()) out.emplace_back(std::move(b->second));
        else out.emplace_back();
    return out;
}

std::string ImapDriver::CreateFolder(const std::optional<std::string>& parent, const std::string& name) {
    auto& s = Session();
    if (!delimiter_) {
        std::vector<std::string> ignored;
        ListFolders(ignored);
    }
    // As the server spells it (modified UTF-7).
    const auto made = MailboxOfNewFolder(parent.value_or(""), name, delimiter_);
    if (!made) Raise(errnum::kMapiInvalidParameter, "the folder name \"" + name + "\" cannot be a folder on " + s.Server());
    // Not one the next synchronisation would pass over.
    if (const auto place = PlaceMailbox(*made, delimiter_); !place.refused.empty())
        Raise(errnum::kMapiInvalidParameter, "the folder \"" + name + "\" cannot be made on " + s.Server() + ": " +
                                                 place.refused);
    try {
        s.Create(*made);
    } catch (const AutomationError&) {
        // Made meanwhile by another client (or by a run that ended before its cache knew):
        // fine as long as it is there now.
        if (!Exists(*made)) throw;
    }
    s.Subscribe(*made);
    return *made;
}

std::vector<std::optional<SourceItem>> ImapDriver::MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                             const std::string& to) {
    auto& s = Session();
    s.Select(from);
    FaultPoint("imap:sending");
    const auto uids = UidsOf(items);
    ImapSession::UidPairs told;
    if (s.HasMove()) {
        told = s.UidMove(uids, to);
    } else {
        // With UIDPLUS: only what the server says it copied goes from the source.
        told = s.UidCopy(uids, to);
        FaultPoint("imap:copied");
        std::vector<uint32_t> copied;
        for (const auto& [old, now] : told) copied.push_back(old);
        std::sort(copied.begin(), copied.end());
        s.UidMarkDeleted(copied);
        s.UidExpunge(copied);
    }
    const std::unordered_map<uint32_t, uint32_t> copyOf(told.begin(), told.end());
    std::vector<std::optional<SourceItem>> out;
    for (const auto& i : items) {
        auto c = copyOf.find(UidOf(i));
        if (c == copyOf.end()) {
            out.emplace_back();
            continue;
        }
        SourceItem moved = i;
        moved.key = std::to_string(c->second);
        out.push_back(std::move(moved));
    }
    return out;
}

}  // namespace

std::unique_ptr<Driver> MakeImapDriver(const store::ConnectedEntry& entry) { return std::make_unique<ImapDriver>(entry); }

std::shared_ptr<store::Upstream> MakeImapUpstream(const store::ConnectedEntry& entry, store::StoreDb& cache) {
    return std::make_shared<Synchroniser>(MakeImapDriver(entry), "imap", cache);
}

}  // namespace nubra::connected
