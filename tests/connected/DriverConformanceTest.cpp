// What every source driver must do under the one synchroniser, the same cases for each: an
// in-memory source (keys change on a move, moves go in sets), a Maildir tree (keys survive
// moves, one rename at a time), a vdir, an IMAP account on Dovecot, and a CardDAV account on
// Radicale (keys survive moves, a sync token tells what changed). Another client changes the
// source meanwhile, and the process is "killed" (the synchroniser abandoned with its journal)
// between the journal and the source and between the source and the cache: a new synchroniser
// over the same cache must end with every message in exactly one place, as the source has it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "host/AutomationDates.h"
#include "standin_host/connected/Common.h"
#include "standin_host/connected/Dav.h"
#include "standin_host/connected/Imap.h"
#include "standin_host/connected/Maildir.h"
#include "standin_host/connected/Synchroniser.h"
#include "standin_host/connected/Vdir.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/store/StoreDb.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra::connected_tests {
namespace {

using connected::Driver;
using connected::Glance;
using connected::SourceFolder;
using connected::SourceItem;
using Ids = std::multiset<std::string>;

std::string Message(const std::string& id) { return "Message-ID: <" + id + ">\nSubject: " + id + "\n\nbody " + id + "\n"; }
// The id of a message Message made.
std::string IdInMessage(const std::string& message) {
    const size_t from = message.find('<') + 1;
    return message.substr(from, message.find('>') - from);
}

// ------------------------------------------------------------------ an in-memory source

// Folders "INBOX" and others at the top; a message gets a new key in the folder it moves to,
// every folder has a validity that a rebuild changes, and moves go in sets.
struct FakeSource {
    struct Folder {
        std::map<std::string, SourceItem> items;
        std::map<std::string, std::string> bodies;
        int validity = 1, next = 1;
    };
    std::map<std::string, Folder> folders;
    std::string Add(const std::string& folder, const std::string& body, int64_t arrival) {
        auto& f = folders[folder];
        const std::string key = std::to_string(f.next++);
        f.items[key] = {key, "", static_cast<int64_t>(body.size()), arrival, "", ""};
        f.bodies[key] = body;
        return key;
    }
};

class FakeDriver : public Driver {
public:
    explicit FakeDriver(FakeSource& s) : s_(s) {}
    std::string KindText() const override { return "fake"; }
    std::string Source() const override { return "fake:" + std::to_string(reinterpret_cast<uintptr_t>(&s_)); }
    std::string Name() const override { return "the fake source"; }
    bool KeysSurviveMoves() const override { return false; }
    bool MovesSets() const override { return true; }
    bool VerifyMoves() const override { return true; }
    std::string Describe(const std::string& folder, const SourceItem& item) const override {
        return folder + ";" + item.key;
    }
    std::vector<SourceFolder> ListFolders(std::vector<std::string>&) override {
        std::vector<SourceFolder> out;
        for (const auto& [name, f] : s_.folders) out.push_back({name, {name}, true, name == "Trash"});
        return out;
    }
    Glance GlanceAt(const std::string& folder) override {
        const auto& f = At(folder);
        return {std::to_string(f.validity), std::to_string(f.next) + ":" + std::to_string(f.items.size())};
    }
    std::vector<SourceItem> ListItems(const std::string& folder, Glance& glance, std::vector<std::string>&) override {
        glance = GlanceAt(folder);
        std::vector<SourceItem> out;
        for (const auto& [key, item] : At(folder).items) out.push_back(item);
        return out;
    }
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& folder, std::vector<SourceItem>& items,
                                                          std::vector<std::string>&) override {
        std::vector<std::optional<store::ItemData>> out;
        for (const auto& i : items)
            out.push_back(connected::ItemFromHeader(At(folder).bodies.at(i.key), folder, dates::FromUnixMillis(i.arrivalMs)));
        return out;
    }
    std::vector<std::optional<std::string>> ReadWhole(const std::string& folder, const std::vector<SourceItem>& items) override {
        std::vector<std::optional<std::string>> out;
        for (const auto& i : items) out.push_back(At(folder).bodies.at(i.key));
        return out;
    }
    std::string CreateFolder(const std::optional<std::string>&, const std::string& name) override {
        s_.folders[name];
        return name;
    }
    void RemoveFolder(const std::string& folder) override { s_.folders.erase(folder); }
    std::string Mark(const std::string& folder) override { return std::to_string(At(folder).next); }
    std::vector<std::optional<SourceItem>> MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                     const std::string& to) override {
        std::vector<std::optional<SourceItem>> out;
        for (const auto& i : items) {
            auto& src = At(from);
            if (!src.items.count(i.key)) {
                out.emplace_back();
                continue;
            }
            const std::string key = s_.Add(to, src.bodies.at(i.key), i.arrivalMs);
            src.items.erase(i.key);
            src.bodies.erase(i.key);
            out.push_back(At(to).items.at(key));
        }
        return out;
    }
    std::vector<std::optional<SourceItem>> Locate(const std::string& folder, const std::vector<SourceItem>& items) override {
        std::vector<std::optional<SourceItem>> out;
        for (const auto& i : items) {
            auto it = At(folder).items.find(i.key);
            if (it == At(folder).items.end()) out.emplace_back();
            else out.push_back(it->second);
        }
        return out;
    }
    std::vector<SourceItem> ArrivedSince(const std::string& folder, const std::string& mark) override {
        std::vector<SourceItem> out;
        for (const auto& [key, item] : At(folder).items)
            if (std::stoi(key) >= std::stoi(mark.empty() ? "0" : mark)) out.push_back(item);
        return out;
    }
    void RemoveItems(const std::string& folder, const std::vector<SourceItem>& items) override {
        for (const auto& i : items) At(folder).items.erase(i.key), At(folder).bodies.erase(i.key);
    }

private:
    FakeSource::Folder& At(const std::string& folder) {
        auto it = s_.folders.find(folder);
        if (it == s_.folders.end()) RaiseError(errnum::kMapiNotFound, "no folder " + folder, "test");
        return it->second;
    }
    FakeSource& s_;
};

// ------------------------------------------------------------------ the sources under test

// A source of one kind, and another client's hand on it. Folders: "INBOX" and "Other".
class Rig {
public:
    virtual ~Rig() = default;
    virtual std::string Kind() const = 0;
    virtual std::unique_ptr<Driver> MakeDriver() = 0;
    // The folder's path in the cache.
    virtual std::vector<std::string> CachePath(const std::string& folder) const = 0;
    virtual void Put(const std::string& folder, const std::string& id) = 0;
    virtual void Flag(const std::string& folder, const std::string& id) = 0;
    virtual void Remove(const std::string& folder, const std::string& id) = 0;
    virtual void DeleteFolder(const std::string& folder) = 0;
    // Every key of the folder comes to mean another item (IMAP's UIDVALIDITY); where a source
    // has no such thing, its items are renamed all at once.
    virtual void Rebuild(const std::string& folder) = 0;
    virtual Ids IdsIn(const std::string& folder) = 0;
    // What a cache item of the source is known by in these tests.
    virtual std::string IdOf(const store::ItemData& d) const {
        const std::string id = d.InternetMessageID.value_or("<>");
        return id.substr(1, id.size() - 2);
    }
    // Whether a flag (or another client's touch) leaves the item what it was.
    virtual bool FlagKeepsTheItem() const { return true; }
    // The directories whose times tell that `folder` changed; none for a server.
    virtual std::vector<fs::path> TimedDirs(const std::string&) const { return {}; }
    void SetTimes(const std::string& folder, timespec t) {
        const timespec times[2] = {t, t};
        for (const auto& dir : TimedDirs(folder)) ::utimensat(AT_FDCWD, dir.c_str(), times, 0);
    }
    // Makes the last change of `folder` look long past, as it is when a user cleans later (a
    // folder changed a moment ago is listed whatever its time says); a second for each change,
    // so that every change still shows.
    void Settle(const std::string& folder) { SetTimes(folder, {1600000000 + ++settled_, 0}); }

private:
    int64_t settled_ = 0;
};

class FakeRig : public Rig {
public:
    FakeRig() { source_.folders["INBOX"], source_.folders["Other"]; }
    std::string Kind() const override { return "fake"; }
    std::unique_ptr<Driver> MakeDriver() override { return std::make_unique<FakeDriver>(source_); }
    std::vector<std::string> CachePath(const std::string& folder) const override { return {folder}; }
    void Put(const std::string& folder, const std::string& id) override { source_.Add(folder, Message(id), ++clock_); }
    void Flag(const std::string& folder, const std::string& id) override {
        for (auto& [key, item] : source_.folders[folder].items)
            if (Has(folder, key, id)) item.flags = "\\Flagged";
    }
    void Remove(const std::string& folder, const std::string& id) override {
        auto& f = source_.folders[folder];
        for (auto it = f.items.begin(); it != f.items.end(); ++it)
            if (Has(folder, it->first, id)) {
                f.bodies.erase(it->first);
                f.items.erase(it);
                return;
            }
    }
    void DeleteFolder(const std::string& folder) override { source_.folders.erase(folder); }
    void Rebuild(const std::string& folder) override {
        auto old = std::move(source_.folders[folder]);
        auto& f = source_.folders[folder] = {};
        f.validity = old.validity + 1;
        for (const auto& [key, item] : old.items) source_.Add(folder, old.bodies[key], item.arrivalMs);
    }
    Ids IdsIn(const std::string& folder) override {
        Ids ids;
        for (const auto& [key, body] : source_.folders[folder].bodies) ids.insert(IdInMessage(body));
        return ids;
    }

private:
    bool Has(const std::string& folder, const std::string& key, const std::string& id) {
        return source_.folders[folder].bodies[key].find("<" + id + ">") != std::string::npos;
    }
    FakeSource source_;
    int64_t clock_ = 1700000000000;
};

class MaildirRig : public Rig {
public:
    MaildirRig() {
        for (const auto& dir : {top_, top_ / ".Other"})
            for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir / sub);
        Settle("INBOX"), Settle("Other");
    }
    std::string Kind() const override { return "maildir"; }
    std::unique_ptr<Driver> MakeDriver() override {
        return connected::MakeMaildirDriver(top_, connected::MaildirLayoutKind::MaildirPlusPlus);
    }
    std::vector<std::string> CachePath(const std::string& folder) const override {
        return {folder == "INBOX" ? "Inbox" : folder};
    }
    void Put(const std::string& folder, const std::string& id) override {
        std::ofstream(Dir(folder) / "cur" / (std::to_string(1700000000 + ++n_) + ".M1P1.host:2,S")) << Message(id);
        Settle(folder);
    }
    void Flag(const std::string& folder, const std::string& id) override {
        const auto file = Find(folder, id);
        fs::rename(file, file.string() + "F");
        Settle(folder);
    }
    void Remove(const std::string& folder, const std::string& id) override {
        fs::remove(Find(folder, id));
        Settle(folder);
    }
    void DeleteFolder(const std::string& folder) override { fs::remove_all(Dir(folder)); }
    void Rebuild(const std::string& folder) override {
        for (const auto& e : std::vector<fs::directory_entry>(fs::directory_iterator(Dir(folder) / "cur"), {}))
            fs::rename(e.path(), Dir(folder) / "cur" / ("1800000000.R" + std::to_string(++n_) + ".host:2,S"));
        Settle(folder);
    }
    std::vector<fs::path> TimedDirs(const std::string& folder) const override {
        return {Dir(folder) / "new", Dir(folder) / "cur"};
    }
    Ids IdsIn(const std::string& folder) override {
        Ids ids;
        std::error_code gone;
        for (const char* sub : {"cur", "new"})
            for (const auto& e : fs::directory_iterator(Dir(folder) / sub, gone)) {
                ids.insert(IdInMessage(testing::ReadFile(e.path())));
            }
        return ids;
    }

private:
    fs::path Dir(const std::string& folder) const { return folder == "INBOX" ? top_ : top_ / ("." + folder); }
    fs::path Find(const std::string& folder, const std::string& id) {
        for (const auto& e : fs::directory_iterator(Dir(folder) / "cur"))
            if (testing::ReadFile(e.path()).find("<" + id + ">") != std::string::npos) return e.path();
        return {};
    }
    testing::TempDir tmp_;
    fs::path top_ = tmp_.path() / "md";
    int n_ = 0;
};

// Collections "INBOX" and "Other" of contacts, a vCard each.
class VdirRig : public Rig {
public:
    VdirRig() {
        for (const char* c : {"INBOX", "Other"}) fs::create_directories(top_ / c), Settle(c);
    }
    std::string Kind() const override { return "vdir"; }
    std::unique_ptr<Driver> MakeDriver() override { return connected::MakeVdirDriver(top_); }
    std::vector<std::string> CachePath(const std::string& folder) const override { return {folder}; }
    void Put(const std::string& folder, const std::string& id) override {
        std::ofstream(top_ / folder / (id + "-" + std::to_string(++n_) + ".vcf"))
            << "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" << id << "\r\nFN:" << id << "\r\nN:" << id
            << ";;;;\r\nREV:20240101T000000Z\r\nEND:VCARD\r\n";
        Settle(folder);
    }
    void Flag(const std::string& folder, const std::string& id) override {
        const auto file = Find(folder, id);
        const std::string text = testing::ReadFile(file);
        fs::remove(file);
        std::ofstream(file) << text;  // written anew, as a client writes an edit
        Settle(folder);
    }
    void Remove(const std::string& folder, const std::string& id) override {
        fs::remove(Find(folder, id));
        Settle(folder);
    }
    void DeleteFolder(const std::string& folder) override { fs::remove_all(top_ / folder); }
    void Rebuild(const std::string& folder) override {
        for (const auto& e : std::vector<fs::directory_entry>(fs::directory_iterator(top_ / folder), {}))
            if (e.is_regular_file()) fs::rename(e.path(), top_ / folder / ("r" + std::to_string(++n_) + ".vcf"));
        Settle(folder);
    }
    std::vector<fs::path> TimedDirs(const std::string& folder) const override { return {top_ / folder}; }
    Ids IdsIn(const std::string& folder) override {
        Ids ids;
        std::error_code gone;
        for (const auto& e : fs::directory_iterator(top_ / folder, gone))
            if (e.is_regular_file()) {
                const std::string text = testing::ReadFile(e.path());
                const size_t at = text.find("UID:") + 4;
                ids.insert(text.substr(at, text.find('\r', at) - at));
            }
        return ids;
    }
    std::string IdOf(const store::ItemData& d) const override { return d.Subject.value_or(""); }
    bool FlagKeepsTheItem() const override { return false; }

private:
    fs::path Find(const std::string& folder, const std::string& id) {
        for (const auto& e : fs::directory_iterator(top_ / folder))
            if (e.path().filename().string().rfind(id + "-", 0) == 0) return e.path();
        return {};
    }
    testing::TempDir tmp_;
    fs::path top_ = tmp_.path() / "vdir";
    int n_ = 0;
};

// An account on a Dovecot of the suite's own, a user per rig; "INBOX" and "Other" mailboxes.
class ImapRig : public Rig {
public:
    ImapRig() : user_("c" + std::to_string(++users_)), password_("NUBRA_IMAP_PASSWORD", Dovecot::Password(user_)) {
        if (!server_) {
            static testing::TempDir dir;
            server_ = std::make_unique<Dovecot>(dir.path() / "dovecot");
        }
        if (!server_->Started()) return;
        server_->AddUser(user_);
        Tool({"create", "Other"});
    }
    bool Usable() const { return server_->Started(); }
    std::string Kind() const override { return "imap"; }
    std::unique_ptr<Driver> MakeDriver() override {
        return connected::MakeImapDriver({"imap", server_->Url(user_), {{"ca-file", server_->CaFile().string()}}});
    }
    std::vector<std::string> CachePath(const std::string& folder) const override { return {folder}; }
    void Put(const std::string& folder, const std::string& id) override {
        const auto file = tmp_.path() / (id + ".eml");
        std::ofstream(file) << Message(id);
        Tool({"append", folder, file.string()});
    }
    void Flag(const std::string& folder, const std::string& id) override { Tool({"flag", folder, id}); }
    void Remove(const std::string& folder, const std::string& id) override { Tool({"remove", folder, id}); }
    void DeleteFolder(const std::string& folder) override { Tool({"delete-mailbox", folder}); }
    void Rebuild(const std::string& folder) override { Tool({"rebuild", folder}); }
    Ids IdsIn(const std::string& folder) override {
        Ids ids;
        auto boxes = server_->Contents(user_);
        for (const auto& line : boxes[folder]) ids.insert(IdInMessage(line));
        return ids;
    }

private:
    void Tool(const std::vector<std::string>& args) {
        const auto r = server_->Tool(user_, args);
        EXPECT_EQ(r.exit, 0) << r.err;
    }
    static inline std::unique_ptr<Dovecot> server_;
    static inline int users_ = 0;
    std::string user_;
    testing::ScopedEnv password_;
    testing::TempDir tmp_;
};

// Address books "INBOX" and "Other" of an account on a Radicale of the suite's own, a user per
// rig, a vCard each, changed by the second client.
class DavRig : public Rig {
public:
    DavRig() : user_("c" + std::to_string(++users_)) {
        if (!server_) {
            static testing::TempDir dir;
            server_ = std::make_unique<Radicale>(dir.path() / "radicale");
        }
        if (!server_->Started()) return;
        server_->AddUser(user_);
        for (const char* c : {"INBOX", "Other"}) Require(server_->Tool(user_, {"mkcol", c, "addressbook", c}));
    }
    bool Usable() const { return server_->Started(); }
    std::string Why() const { return server_->Why(); }
    std::string Kind() const override { return "dav"; }
    std::unique_ptr<Driver> MakeDriver() override {
        connected::DavOptions options;
        options.caFile = server_->CaFile().string();
        return connected::MakeDavDriver(connected::ParseDavUrl(server_->Url(user_)), options,
                                        [user = user_] { return Radicale::Password(user); });
    }
    std::vector<std::string> CachePath(const std::string& folder) const override { return {folder}; }
    void Put(const std::string& folder, const std::string& id) override {
        const fs::path file = tmp_.path() / "card.vcf";
        std::ofstream(file) << "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" << id << "\r\nFN:" << id << "\r\nN:" << id
                            << ";;;;\r\nREV:20240101T000000Z\r\nEND:VCARD\r\n";
        Require(server_->Tool(user_, {"put", folder, id + "-" + std::to_string(++n_) + ".vcf", file.string()}));
    }
    void Flag(const std::string& folder, const std::string& id) override {
        Require(server_->Tool(user_, {"change", folder, NameOf(folder, id)}));
    }
    void Remove(const std::string& folder, const std::string& id) override {
        Require(server_->Tool(user_, {"delete", folder + "/" + NameOf(folder, id)}));
    }
    void DeleteFolder(const std::string& folder) override { Require(server_->Tool(user_, {"delete", folder + "/"})); }
    void Rebuild(const std::string& folder) override { Require(server_->Tool(user_, {"rename-all", folder})); }
    Ids IdsIn(const std::string& folder) override {
        Ids ids;
        for (const auto& [name, uid] : Listing(folder)) ids.insert(uid);
        return ids;
    }
    std::string IdOf(const store::ItemData& d) const override { return d.Subject.value_or(""); }
    bool FlagKeepsTheItem() const override { return false; }

private:
    static void Require(const Result& r) {
        if (r.exit != 0) ADD_FAILURE() << "dav_tool: " << r.err << r.out;
    }
    std::vector<std::pair<std::string, std::string>> Listing(const std::string& folder) {  // name, UID
        const Result r = server_->Tool(user_, {"dump"});
        Require(r);
        std::vector<std::pair<std::string, std::string>> out;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            for (size_t at = 0, tab; at <= line.size(); at = tab + 1) {
                tab = line.find('\t', at);
                if (tab == std::string::npos) tab = line.size();
                f.push_back(line.substr(at, tab - at));
            }
            if (f.size() == 4 && f[0] == folder) out.emplace_back(f[1], f[2]);
        }
        return out;
    }
    std::string NameOf(const std::string& folder, const std::string& id) {
        for (const auto& [name, uid] : Listing(folder))
            if (uid == id) return name;
        return "missing";
    }
    static inline std::unique_ptr<Radicale> server_;
    static inline int users_ = 0;
    std::string user_;
    testing::TempDir tmp_;
    int n_ = 0;
};

// ------------------------------------------------------------------ the cases

// A "kill": the synchroniser is abandoned where the driver stops it, its journal left as it is.
struct Killed {};
class Stopping : public Driver {
public:
    Stopping(std::unique_ptr<Driver> d, bool afterSource) : d_(std::move(d)), after_(afterSource) {}
    std::string KindText() const override { return d_->KindText(); }
    std::string Source() const override { return d_->Source(); }
    std::string Name() const override { return d_->Name(); }
    bool KeysSurviveMoves() const override { return d_->KeysSurviveMoves(); }
    bool MovesSets() const override { return d_->MovesSets(); }
    bool VerifyMoves() const override { return d_->VerifyMoves(); }
    std::string Describe(const std::string& f, const SourceItem& i) const override { return d_->Describe(f, i); }
    std::vector<SourceFolder> ListFolders(std::vector<std::string>& w) override { return d_->ListFolders(w); }
    Glance GlanceAt(const std::string& f) override { return d_->GlanceAt(f); }
    std::vector<SourceItem> ListItems(const std::string& f, Glance& g, std::vector<std::string>& w) override {
        return d_->ListItems(f, g, w);
    }
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& f, std::vector<SourceItem>& i,
                                                          std::vector<std::string>& w) override {
        return d_->ReadItems(f, i, w);
    }
    std::vector<std::optional<std::string>> ReadWhole(const std::string& f, const std::vector<SourceItem>& i) override {
        return d_->ReadWhole(f, i);
    }
    std::string CreateFolder(const std::optional<std::string>& p, const std::string& n) override {
        return d_->CreateFolder(p, n);
    }
    void RemoveFolder(const std::string& f) override { d_->RemoveFolder(f); }
    std::string Mark(const std::string& f) override { return d_->Mark(f); }
    std::vector<std::optional<SourceItem>> MoveItems(const std::string& from, const std::vector<SourceItem>& items,
                                                     const std::string& to) override {
        if (!after_) throw Killed{};
        d_->MoveItems(from, items, to);
        throw Killed{};
    }
    std::vector<std::optional<SourceItem>> Locate(const std::string& f, const std::vector<SourceItem>& i) override {
        return d_->Locate(f, i);
    }
    std::vector<SourceItem> ArrivedSince(const std::string& f, const std::string& m) override {
        return d_->ArrivedSince(f, m);
    }
    void RemoveItems(const std::string& f, const std::vector<SourceItem>& i) override { d_->RemoveItems(f, i); }

private:
    std::unique_ptr<Driver> d_;
    bool after_;
};

// Reading fails from the `failFrom`th call on, as when a connection is lost midway.
class FailingReads : public Stopping {
public:
    FailingReads(std::unique_ptr<Driver> d, int failFrom) : Stopping(std::move(d), false), failFrom_(failFrom) {}
    std::vector<std::optional<store::ItemData>> ReadItems(const std::string& f, std::vector<SourceItem>& i,
                                                          std::vector<std::string>& w) override {
        if (++calls_ >= failFrom_) RaiseError(errnum::kMapiCallFailed, "the connection was lost", "test");
        return Stopping::ReadItems(f, i, w);
    }

private:
    std::atomic<int> calls_{0};
    const int failFrom_;
};

class Conformance : public ::testing::TestWithParam<std::function<std::unique_ptr<Rig>()>> {
protected:
    void SetUp() override {
        rig = GetParam()();
        if (auto* imap = dynamic_cast<ImapRig*>(rig.get()); imap && !imap->Usable())
            GTEST_SKIP() << "Dovecot is not installed (scripts/install-deps installs dovecot-imapd)";
        if (auto* dav = dynamic_cast<DavRig*>(rig.get()); dav && !dav->Usable()) GTEST_SKIP() << dav->Why();
        for (const char* id : {"a", "b", "c"}) rig->Put("INBOX", id);
        rig->Put("Other", "d");
        cache = store::StoreDb::Create(tmp.path() / "cache.nbst", "Box", false, false);
        Attach(rig->MakeDriver());
        Sync();
    }
    void Attach(std::unique_ptr<Driver> driver) {
        cache->SetUpstream(nullptr);
        up = std::make_shared<connected::Synchroniser>(std::move(driver), rig->Kind(), *cache);
        cache->SetUpstream(up);
    }
    void Sync() { up->Synchronise(*cache); }
    int64_t Folder(const std::string& folder) {
        int64_t id = cache->RootFolder();
        for (const auto& name : rig->CachePath(folder)) {
            auto sub = cache->SubfolderByName(id, name);
            if (!sub) return 0;
            id = *sub;
        }
        return id;
    }
    std::map<std::string, int64_t> Items(const std::string& folder) {  // Message-ID -> item
        std::map<std::string, int64_t> items;
        if (const int64_t id = Folder(folder))
            cache->ForEachItem(id, [&](int64_t item, const store::ItemData& d) { items[rig->IdOf(d)] = item; });
        return items;
    }
    // The cache shows each folder as the source has it.
    void ExpectAsTheSource() {
        for (const char* folder : {"INBOX", "Other"}) {
            Ids ids;
            for (const auto& [id, item] : Items(folder)) ids.insert(id);
            EXPECT_EQ(ids, rig->IdsIn(folder)) << folder;
        }
        EXPECT_EQ(Intents(), 0) << "an intent was left unsettled";
    }
    int64_t Intents() {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(cache->Handle(), "SELECT count(*) FROM conn_intents", -1, &st, nullptr);
        const int64_t n = st && sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return n;
    }
    void MoveInARun(const std::vector<std::string>& ids) {
        up->BeginRun(*cache);
        for (const auto& id : ids) cache->MoveItem(Items("INBOX").at(id), Folder("Other"));
        up->EndRun(*cache);
    }

    testing::TempDir tmp;
    // The run locks (and whatever else goes to the user's cache) stay in the test's own folder.
    testing::ScopedEnv cacheHome{"XDG_CACHE_HOME", (tmp.path() / "xdg-cache").string()};
    std::unique_ptr<Rig> rig;
    std::shared_ptr<store::StoreDb> cache;
    std::shared_ptr<connected::Synchroniser> up;
};

TEST_P(Conformance, FirstSynchronisationShowsWhatTheSourceHolds) { ExpectAsTheSource(); }

TEST_P(Conformance, AnotherClientsRenamesFlagsAndRemovalsAreFollowed) {
    const int64_t flagged = Items("INBOX").at("a");
    rig->Flag("INBOX", "a");
    rig->Remove("INBOX", "b");
    rig->Put("INBOX", "e");
    Sync();
    ExpectAsTheSource();
    if (rig->FlagKeepsTheItem()) {
        EXPECT_EQ(Items("INBOX").at("a"), flagged) << "a flagged item stays the same item";
    }
}

TEST_P(Conformance, ASetMovesAndTheCacheFollowsTheSource) {
    MoveInARun({"a", "b"});
    ExpectAsTheSource();
    EXPECT_EQ(rig->IdsIn("Other"), (Ids{"a", "b", "d"}));
    // An item gone from the source before its move is said and taken out, not claimed moved.
    rig->Remove("INBOX", "c");
    EXPECT_ANY_THROW(cache->MoveItem(Items("INBOX").at("c"), Folder("Other")));
    ExpectAsTheSource();
    // A source that takes a run's moves together learns of one gone meanwhile at the run's end:
    // a warning names it, and the cache does not keep it as moved.
    if (!rig->MakeDriver()->MovesSets()) return;
    rig->Put("INBOX", "e");
    Sync();
    up->BeginRun(*cache);
    cache->MoveItem(Items("INBOX").at("e"), Folder("Other"));
    rig->Remove("INBOX", "e");
    up->EndRun(*cache);
    ExpectAsTheSource();
    EXPECT_EQ(rig->IdsIn("Other"), (Ids{"a", "b", "d"}));
    const auto warnings = up->TakeWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("1 item of " + std::string(rig->Kind() == "maildir" ? "the top folder" : "INBOX") +
                                        " in "))
        << warnings[0];
}

// Where another client's touch makes another item of it (an edited contact), the item read
// before is never moved: it stays where it is, and the cache follows the source.
TEST_P(Conformance, AnItemChangedElsewhereSinceItWasReadStaysWhereItIs) {
    if (rig->FlagKeepsTheItem()) GTEST_SKIP() << "another client's touch leaves the item what it was";
    const int64_t item = Items("INBOX").at("a");
    rig->Flag("INBOX", "a");
    EXPECT_EQ(testing::ErrorOf([&] { cache->MoveItem(item, Folder("Other")); }), errnum::kMapiCollision);
    EXPECT_EQ(rig->IdsIn("INBOX"), (Ids{"a", "b", "c"}));
    Sync();
    ExpectAsTheSource();
}

TEST_P(Conformance, AKillBetweenJournalSourceAndCacheEndsWithEveryItemOnce) {
    for (const bool afterSource : {false, true}) {
        SCOPED_TRACE(afterSource ? "killed after the source moved" : "killed before the source moved");
        Attach(std::make_unique<Stopping>(rig->MakeDriver(), afterSource));
        Sync();
        const std::string id = afterSource ? "b" : "a";
        EXPECT_THROW(
            {
                up->BeginRun(*cache);
                cache->MoveItem(Items("INBOX").at(id), Folder("Other"));
                up->EndRun(*cache);
            },
            Killed);
        Attach(rig->MakeDriver());  // the next process
        Sync();
        ExpectAsTheSource();
        EXPECT_EQ(rig->IdsIn("INBOX").count(id), afterSource ? 0u : 1u);
    }
}

TEST_P(Conformance, AFolderRebuiltOrDeletedElsewhereIsReadAgain) {
    rig->Rebuild("Other");
    Sync();
    ExpectAsTheSource();
    rig->DeleteFolder("Other");
    Sync();
    EXPECT_EQ(Folder("Other"), 0) << "a folder deleted at the source";
    ExpectAsTheSource();
}

// A change within the same tick of the file system's clock as the listing before it leaves the
// folder's time as it was: a folder changed that recently is listed again, not trusted.
TEST_P(Conformance, AChangeWithinTheClockTickOfTheLastListingIsNotMissed) {
    if (rig->TimedDirs("INBOX").empty()) GTEST_SKIP() << "the source's state is no directory's time";
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    rig->SetTimes("INBOX", now);
    Sync();
    rig->Put("INBOX", "e");
    rig->SetTimes("INBOX", now);
    Sync();
    ExpectAsTheSource();
}

// New items are read a part at a time, the next part while one is added; a reading that fails
// midway leaves the parts before it in the cache, and the next synchronisation adds the rest,
// none of them twice.
TEST_P(Conformance, AReadingThatFailsMidwayKeepsThePartsBeforeIt) {
    if (rig->Kind() != "fake") GTEST_SKIP() << "thousands of messages: the in-memory source stands for the others";
    for (int i = 0; i < 4500; ++i) rig->Put("Other", "m" + std::to_string(i));
    Attach(std::make_unique<FailingReads>(rig->MakeDriver(), 2));
    EXPECT_THROW(Sync(), AutomationError);
    auto count = [&] {
        size_t n = 0;
        cache->ForEachItem(Folder("Other"), [&](int64_t, const store::ItemData&) { ++n; });
        return n;
    };
    EXPECT_EQ(count(), 2001u);  // "d" and the first part
    Attach(rig->MakeDriver());
    Sync();
    ExpectAsTheSource();
    EXPECT_EQ(count(), 4501u);
}

// A run's moves settle in its group, which holds the cache's write lock until it commits.
// Another process that takes the change lock and then writes the cache (a synchronisation)
// must get its turn at the next move, not wait out SQLite's timeout and fail.
TEST_P(Conformance, AnotherProcessChangingBetweenTheMovesOfARunGetsItsTurn) {
    const auto driver = rig->MakeDriver();
    if (driver->MovesSets()) GTEST_SKIP() << "the moves of a run go to the source together at its end";
    const auto lockFile = connected::SourceLockFile(rig->Kind(), driver->Source());
    cache->BeginGroupedChanges();
    up->BeginRun(*cache);
    cache->MoveItem(Items("INBOX").at("a"), Folder("Other"));
    std::atomic<bool> holding{false};
    std::string otherFailed;
    std::thread other([&] {
        connected::ChangeLock lock(lockFile);
        const auto held = lock.Hold();
        holding = true;
        try {
            store::StoreDb::Open(tmp.path() / "cache.nbst")->InTransaction([] {});
        } catch (const AutomationError& e) {
            otherFailed = e.Description();
        }
    });
    while (!holding) std::this_thread::yield();
    cache->MoveItem(Items("INBOX").at("b"), Folder("Other"));
    other.join();
    up->EndRun(*cache);
    cache->EndGroupedChanges();
    EXPECT_EQ(otherFailed, "");
    ExpectAsTheSource();
    EXPECT_EQ(rig->IdsIn("Other"), (Ids{"a", "b", "d"}));
}

std::string DriverName(size_t index) {
    static const char* names[] = {"Fake", "Maildir", "Vdir", "Imap", "Dav"};
    return names[index];
}

INSTANTIATE_TEST_SUITE_P(Drivers, Conformance,
                         ::testing::Values([] { return std::unique_ptr<Rig>(std::make_unique<FakeRig>()); },
                                           [] { return std::unique_ptr<Rig>(std::make_unique<MaildirRig>()); },
                                           [] { return std::unique_ptr<Rig>(std::make_unique<VdirRig>()); },
                                           [] { return std::unique_ptr<Rig>(std::make_unique<ImapRig>()); },
                                           [] { return std::unique_ptr<Rig>(std::make_unique<DavRig>()); }),
                         [](const auto& info) { return DriverName(info.index); });

}  // namespace
}  // namespace nubra::connected_tests
