// CardDAV/CalDAV accounts as a user meets them, on a Radicale started for the tests on
// 127.0.0.1: filled with genpim's address book, calendar and tasks (exact, near and look-alike
// items, with a manifest saying which is which), attached in-process (connected::AddDavStore,
// as the command line and the explorer call it), cleaned and restored with the program, and
// checked through two other clients: vdirsyncer syncing the account to a local vdir, and
// tests/connected/dav_tool.py.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "standin_host/connected/Connected.h"
#include "standin_host/connected/Dav.h"
#include "standin_host/store/Profile.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra::connected_tests {
namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string part; std::getline(in, part, '\t');) f.push_back(part);
    return f;
}

// One row of genpim's manifest.
struct Planted {
    std::string collection, file, kind, group, uid;
};

// What the server holds: collection -> name -> "UID TAB sha256"; and the collections' display
// names and links.
struct ServerView {
    std::map<std::string, std::map<std::string, std::string>> items;
    std::map<std::string, std::string> collections;  // "name/" -> "displayname TAB duplicates-of"
    bool operator==(const ServerView&) const = default;
};

class DavAccount : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tmp = new testing::TempDir;
        server = new Radicale(tmp->path() / "radicale");
        corpus = tmp->path() / "pim";
        const auto made = RunProgram({"python3", NUBRA_GENPIM, "--contacts", "40", "--events", "40", "--todos", "20",
                                      "--seed", "5", "--manifest", (tmp->path() / "manifest.tsv").string(),
                                      corpus.string()});
        if (made.exit != 0) ADD_FAILURE() << "genpim: " << made.err;
        std::ifstream in(tmp->path() / "manifest.tsv");
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            const auto f = Fields(line);
            if (f.size() == 5) manifest.push_back({f[0], f[1], f[2], f[3], f[4]});
        }
    }
    static void TearDownTestSuite() {
        delete server;
        delete tmp;
        manifest.clear();
    }
    void SetUp() override {
        if (!server->Started()) GTEST_SKIP() << server->Why();
    }

    // A new account holding genpim's collections.
    static void Fill(const std::string& account) {
        server->AddUser(account);
        const auto r = server->Tool(account, {"upload", corpus.string()});
        ASSERT_EQ(r.exit, 0) << r.err;
    }
    static std::map<std::string, std::string> Password(const std::string& account) {
        return {{"NUBRA_DAV_PASSWORD", Radicale::Password(account)}};
    }
    // `account` as a store of `user`'s profile, attached in this process as the command line's
    // `store add` will; throws what AddDavStore throws.
    static void Attach(const User& user, connected::DavAccount account, const std::string& password = {}) {
        testing::ScopedEnv cache("XDG_CACHE_HOME", (user.dir / "cache").string());
        testing::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "");
        testing::ScopedEnv timeout("NUBRA_DAV_TIMEOUT", std::nullopt);
        testing::ScopedEnv pw("NUBRA_DAV_PASSWORD", password.empty() ? std::nullopt : std::optional(password));
        connected::RegisterConnectedStores();
        auto profile = store::Profile::Open(user.dir / "profile");
        connected::AddDavStore(*profile, account);
    }
    static ServerView View(const std::string& account) {
        ServerView v;
        const auto r = server->Tool(account, {"dump"});
        EXPECT_EQ(r.exit, 0) << r.err;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            const auto f = Fields(line);
            if (f.size() == 4) v.items[f[0]][f[1]] = f[2] + "\t" + f[3];
            else if (!f.empty() && f[0].ends_with("/")) v.collections[f[0]] = (f.size() > 1 ? f[1] : "") + "\t" + (f.size() > 2 ? f[2] : "");
        }
        return v;
    }
    static size_t Duplicates(const std::string& collection) {
        std::map<std::string, size_t> groups;
        for (const auto& p : manifest)
            if (p.collection == collection) ++groups[p.group];
        size_t n = 0;
        for (const auto& [g, count] : groups) n += count - 1;
        return n;
    }

    static inline testing::TempDir* tmp = nullptr;
    static inline Radicale* server = nullptr;
    static inline fs::path corpus;
    static inline std::vector<Planted> manifest;
    testing::TempDir work;
};

// The UIDs of the items of a local vdir's collection folder.
std::multiset<std::string> LocalUids(const fs::path& dir) {
    std::multiset<std::string> uids;
    std::error_code none;
    for (const auto& e : fs::directory_iterator(dir, none)) {
        if (!e.is_regular_file() || e.path().extension() == "" || e.path().filename().string()[0] == '.') continue;
        std::ifstream in(e.path());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("UID:", 0) == 0) {
                uids.insert(line.substr(4, line.find_last_not_of("\r") - 3));
                break;
            }
    }
    return uids;
}

// vdirsyncer, as a user runs it beside us: the account's address books and calendars synced
// with a local vdir (local/cards, local/cals), its configuration and status in `dir`. The local
// folders of `collections` are made first, as the user confirms them at `discover`.
Result Vdirsyncer(const fs::path& dir, const Radicale& radicale, const std::string& account,
                  const std::vector<std::string>& collections) {
    for (const auto& c : collections) fs::create_directories(dir / "local" / (c.rfind("contacts", 0) == 0 ? "cards" : "cals") / c);
    std::ofstream config(dir / "config");
    config << "[general]\nstatus_path = \"" << (dir / "status").string() << "/\"\n";
    for (const char* kind : {"cards", "cals"}) {
        config << "\n[pair " << kind << "]\na = \"" << kind << "_local\"\nb = \"" << kind
               << "_remote\"\ncollections = [\"from b\"]\nconflict_resolution = \"b wins\"\n"
               << "\n[storage " << kind << "_local]\ntype = \"filesystem\"\npath = \""
               << (dir / "local" / kind).string() << "/\"\nfileext = \"" << (kind == std::string("cards") ? ".vcf" : ".ics")
               << "\"\n\n[storage " << kind << "_remote]\ntype = \"" << (kind == std::string("cards") ? "carddav" : "caldav")
               << "\"\nurl = \"https://127.0.0.1:" << radicale.Port() << "/\"\nusername = \"" << account
               << "\"\npassword = \"" << Radicale::Password(account) << "\"\nverify = \"" << radicale.CaFile().string()
               << "\"\n";
    }
    config.close();
    auto r = RunProgram({"vdirsyncer", "-c", (dir / "config").string(), "discover"});
    if (r.exit == 0) r = RunProgram({"vdirsyncer", "-c", (dir / "config").string(), "sync"});
    return r;
}

// genpim's address book, calendar and tasks cleaned in one run: exactly the duplicates (exact
// and near) left each collection for its duplicates collection, one item of each group stayed
// and no look-alike moved, as vdirsyncer then syncs it; a second clean finds nothing; a
// restore puts every item back under its name with its bytes and deletes the emptied
// duplicates collections.
TEST_F(DavAccount, CleanMovesExactlyTheDuplicatesAndARestoreBringsEveryItemBack) {
    if (::access("/usr/bin/vdirsyncer", X_OK) != 0) GTEST_SKIP() << "vdirsyncer is not installed";
    Fill("alice");
    const ServerView before = View("alice");
    ASSERT_EQ(before.items.size(), 3u);
    User user{work.path() / "user"};
    const auto added = user.Run({"store", "add-dav", server->Url("alice"), "--ca-file", server->CaFile().string()},
                                Password("alice"));
    ASSERT_EQ(added.exit, 0) << added.out << added.err;
    const auto stores = user.Run({"stores"});
    EXPECT_TRUE(Has(stores.out, "\tdav\t" + server->Url("alice"))) << stores.out;
    EXPECT_FALSE(Has(testing::ReadFile(user.dir / "profile" / "profile.json"), Radicale::Password("alice")));

    const auto clean = user.Run({"clean", "--recursive", "alice@127.0.0.1"}, Password("alice"));
    ASSERT_EQ(clean.exit, 0) << clean.out << clean.err;
    for (const char* c : {"Contacts", "Calendar", "Tasks"}) {
        const std::string name = c == std::string("Contacts") ? "contacts" : c == std::string("Calendar") ? "calendar" : "tasks";
        EXPECT_TRUE(Has(clean.out, std::string("alice@127.0.0.1\\") + c + ": Nubra moved " +
                                       std::to_string(Duplicates(name)) + " duplicate"))
            << clean.out;
    }

    // vdirsyncer sees each collection and its duplicates collection (a sibling, linked to it).
    const fs::path sync = work.path() / "vdirsyncer";
    const auto synced = Vdirsyncer(sync, *server, "alice",
                                   {"contacts", "calendar", "tasks", "contacts-nubra-duplicates",
                                    "calendar-nubra-duplicates", "tasks-nubra-duplicates"});
    ASSERT_EQ(synced.exit, 0) << synced.out << synced.err;
    for (const std::string name : {"contacts", "calendar", "tasks"}) {
        SCOPED_TRACE(name);
        const fs::path local = sync / "local" / (name == "contacts" ? "cards" : "cals");
        const auto kept = LocalUids(local / name), moved = LocalUids(local / (name + "-nubra-duplicates"));
        EXPECT_EQ(moved.size(), Duplicates(name));
        std::map<std::string, int> keptOfGroup;
        std::multiset<std::string> all;
        for (const auto& p : manifest) {
            if (p.collection != name) continue;
            all.insert(p.uid);
            keptOfGroup[p.group] += static_cast<int>(kept.count(p.uid));
            if (p.kind == "twin" || p.kind == "original") {
                // A look-alike stays; an original stays unless its duplicate was kept instead.
                if (p.kind == "twin") {
                    EXPECT_EQ(kept.count(p.uid), 1u) << "the look-alike " << p.file << " moved";
                }
            }
        }
        for (const auto& [group, count] : keptOfGroup) EXPECT_EQ(count, 1) << "group " << group;
        std::multiset<std::string> both = kept;
        both.insert(moved.begin(), moved.end());
        EXPECT_EQ(both, all) << "an item was lost or doubled";
    }
    EXPECT_EQ(View("alice").collections.at("contacts-nubra-duplicates/"),
              "Contacts \xE2\x80\x93 Nubra_Duplicate_Items\t/alice/contacts/");

    // Nothing new: the second clean finds nothing and changes nothing.
    const ServerView cleaned = View("alice");
    const auto again = user.Run({"clean", "--recursive", "alice@127.0.0.1"}, Password("alice"));
    EXPECT_EQ(again.exit, 0) << again.err;
    EXPECT_FALSE(Has(again.out, "Nubra moved")) << again.out;
    EXPECT_EQ(View("alice"), cleaned);

    // A restore puts back every item as it was, under its name, and deletes the emptied
    // duplicates collections on the server.
    const auto restored = user.Run({"restore", "--last"}, Password("alice"));
    ASSERT_EQ(restored.exit, 0) << restored.out << restored.err;
    EXPECT_TRUE(Has(restored.out, "Removed the empty folder")) << restored.out;
    EXPECT_EQ(View("alice"), before) << restored.out;
    EXPECT_FALSE(Has(user.Run({"tree"}, Password("alice")).out, "Nubra_Duplicate_Items"));
}

struct Refusal {
    const char* name;
    connected::DavAccount account;
    std::optional<std::string> passwordEnv;
    int32_t number;
    const char* said;
};

// What cannot be trusted is refused before anything is written, saying why and naming the
// server, never showing the password.
TEST_F(DavAccount, RefusesWhatItCannotTrustWithAClearError) {
    server->AddUser("bob");
    const std::string url = server->Url("bob"), ca = server->CaFile().string();
    const fs::path open = work.path() / "open-password";
    std::ofstream(open) << Radicale::Password("bob") << "\n";
    ::chmod(open.c_str(), 0644);
    const std::string password = Radicale::Password("bob");
    const std::vector<Refusal> cases = {
        {"no CA", {url, "", "", false, 0}, password, errnum::kMapiNoAccess, "not trusted"},
        {"wrong password", {url, ca, "", false, 0}, "not-it", errnum::kMapiNoAccess, "refused the password"},
        {"readable password file", {url, ca, open.string(), false, 0}, std::nullopt, errnum::kMapiNoAccess, "not private"},
        {"no password", {url, ca, "", false, 0}, std::nullopt, errnum::kMapiNoAccess, "no password"},
        {"plain http", {"http://bob@127.0.0.1:" + std::to_string(server->Port()) + "/", ca, "", false, 0}, password,
         errnum::kMapiInvalidParameter, "without TLS"},
        {"password in the address", {"https://bob:" + password + "@127.0.0.1/", ca, "", false, 0}, password,
         errnum::kMapiInvalidParameter, "never taken from the address"},
        {"unreachable", {"https://bob@127.0.0.1:1/", ca, "", false, 0}, password, errnum::kMapiCallFailed, "cannot reach"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        User user{work.path() / c.name};
        int32_t number = 0;
        std::string why;
        try {
            Attach(user, c.account, c.passwordEnv.value_or(""));
        } catch (const AutomationError& e) {
            number = e.Number();
            why = e.Description();
        }
        EXPECT_EQ(number, c.number) << why;
        EXPECT_TRUE(Has(why, c.said)) << why;
        EXPECT_FALSE(Has(why, password)) << why;
        // Named: the server, or the file or address at fault.
        EXPECT_TRUE(Has(why, "127.0.0.1") || Has(why, open.string())) << why;
        EXPECT_FALSE(Has(user.Run({"stores"}).out, "\tdav\t")) << "the profile changed";
    }
}

// Once a connection was verified, later ones are verified against the certificate it led to:
// a server that then shows another certificate, one not trusted, is refused all the same.
TEST_F(DavAccount, ACertificateChangedToAnUntrustedOneIsRefusedAfterATrustedOne) {
    testing::TempDir dir;
    Radicale own(dir.path() / "radicale");
    ASSERT_TRUE(own.Started()) << own.Why();
    own.AddUser("erin");
    ASSERT_EQ(own.Tool("erin", {"mkcol", "book", "addressbook", "Book"}).exit, 0);
    own.NewCertificate();  // for the next start; the one shown now is in OldCaFile()
    connected::DavOptions options;
    options.caFile = own.OldCaFile().string();
    auto driver = connected::MakeDavDriver(connected::ParseDavUrl(own.Url("erin")), options,
                                           [] { return Radicale::Password("erin"); });
    std::vector<std::string> warnings;
    ASSERT_EQ(driver->ListFolders(warnings).size(), 1u);
    ASSERT_EQ(driver->ListFolders(warnings).size(), 1u);  // a connection verified against the one kept
    own.Stop();
    ASSERT_TRUE(own.Start()) << own.Why();
    std::string why;
    EXPECT_EQ(testing::ErrorOf([&] {
                  try {
                      driver->GlanceAt("/erin/book/x/");
                  } catch (const AutomationError& e) {
                      why = e.Description();
                      throw;
                  }
              }),
              errnum::kMapiNoAccess);
    EXPECT_TRUE(Has(why, "not trusted")) << why;
}

// A server that stalls, trickles, sends without end, or sends XML meant to blow up a parser is
// cut off within the limits, with an error naming it; a password it echoes is not shown.
TEST_F(DavAccount, AHostileServerIsCutOffAndNamed) {
    struct Case {
        const char* mode;
        const char* said;
    };
    const std::vector<Case> cases = {
        {"silent", "sent nothing for 2 s"},
        {"trickle", "slower than 1 KiB a second"},
        {"endless", "sent more than 65536 KiB"},
        {"headers", "header lines of more than 64 KiB"},
        {"doctype", "declares a document type"},
        {"deep", "cannot be read"},
        {"echo", "you said eve:***"},
        {"redirect", "another server"},
    };
    testing::ScopedEnv timeout("NUBRA_DAV_TIMEOUT", "2");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const fs::path portFile = work.path() / (std::string(c.mode) + ".port");
        const pid_t pid = StartProgram({"/usr/bin/python3", NUBRA_HOSTILE_DAV, portFile.string(), c.mode});
        for (int i = 0; i < 500 && !fs::exists(portFile); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string port = testing::ReadFile(portFile);
        ASSERT_FALSE(port.empty()) << "the hostile server did not start";
        User user{work.path() / c.mode};
        int32_t number = 0;
        std::string why;
        const auto start = std::chrono::steady_clock::now();
        try {
            testing::ScopedEnv cache("XDG_CACHE_HOME", (user.dir / "cache").string());
            auto profile = store::Profile::Open(user.dir / "profile");
            connected::AddDavStore(*profile, {"http://eve@127.0.0.1:" + port + "/", "", "", true, 0}, {}, "s3cret-pw");
        } catch (const AutomationError& e) {
            number = e.Number();
            why = e.Description();
        }
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ::kill(pid, SIGKILL);
        WaitFor(pid);
        EXPECT_NE(number, 0);
        EXPECT_TRUE(Has(why, c.said)) << why;
        EXPECT_TRUE(Has(why, "eve@127.0.0.1:" + port)) << why;
        EXPECT_FALSE(Has(why, "s3cret-pw")) << why;
        EXPECT_LT(seconds, 30) << "not cut off within its limits";
    }
}

// The UIDs of a collection of the server as `View` shows it.
std::multiset<std::string> UidsIn(const ServerView& v, const std::string& collection) {
    std::multiset<std::string> uids;
    if (auto c = v.items.find(collection); c != v.items.end())
        for (const auto& [name, row] : c->second) uids.insert(row.substr(0, row.find('\t')));
    return uids;
}

// Another client edits and deletes items of the address book while a clean runs: whatever
// happens to the run, nothing is lost or doubled, and the next clean finishes the job.
TEST_F(DavAccount, AnotherClientEditingAndDeletingDuringACleanLosesAndDoublesNothing) {
    Fill("dave");
    User user{work.path() / "user"};
    ASSERT_NO_THROW(Attach(user, {server->Url("dave"), server->CaFile().string(), "", false, 0},
                           Radicale::Password("dave")));
    const pid_t clean = user.Start({"clean", "dave@127.0.0.1\\Contacts"}, Password("dave"));
    const auto churn = server->Tool("dave", {"churn", "contacts", "4"});
    ASSERT_EQ(churn.exit, 0) << churn.err;
    WaitFor(clean);  // it may report the items changed under it
    std::set<std::string> deleted;
    std::istringstream said(churn.out);
    for (std::string line; std::getline(said, line);)
        if (line.rfind("deleted\t", 0) == 0) deleted.insert(line.substr(8));
    EXPECT_EQ(deleted.size(), 4u) << churn.out;
    const auto second = user.Run({"clean", "dave@127.0.0.1\\Contacts"}, Password("dave"));
    EXPECT_EQ(second.exit, 0) << second.out << second.err;
    const ServerView after = View("dave");
    std::multiset<std::string> held = UidsIn(after, "contacts"), expected;
    const auto moved = UidsIn(after, "contacts-nubra-duplicates");
    held.insert(moved.begin(), moved.end());
    for (const auto& p : manifest)
        if (p.collection == "contacts" && !deleted.count(p.uid)) expected.insert(p.uid);
    EXPECT_EQ(held, expected) << "only what the other client deleted may be gone";
}

// The server goes away while a clean moves duplicates, and comes back: the clean says what
// failed, nothing is lost or doubled, and the next clean finishes the job.
TEST_F(DavAccount, ServerGoingAwayMidCleanLosesNothing) {
    Fill("carol");
    User user{work.path() / "user"};
    ASSERT_NO_THROW(Attach(user, {server->Url("carol"), server->CaFile().string(), "", false, 0},
                           Radicale::Password("carol")));
    const fs::path moved = server->Storage("carol") / "contacts-nubra-duplicates";
    Result first;
    std::thread clean([&] { first = user.Run({"clean", "carol@127.0.0.1\\Contacts"}, Password("carol")); });
    // The first duplicate has reached its collection: the clean is under way.
    auto arrived = [&] {
        std::error_code none;
        for (const auto& e : fs::directory_iterator(moved, none))
            if (e.path().extension() == ".vcf") return true;
        return false;
    };
    for (int i = 0; i < 20000 && !arrived(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(500));
    server->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(server->Start()) << server->Why();
    clean.join();
    if (first.exit != 0) {
        EXPECT_TRUE(Has(first.out + first.err, "carol@127.0.0.1")) << first.out << first.err;
    }
    const auto again = user.Run({"clean", "carol@127.0.0.1\\Contacts"}, Password("carol"));
    EXPECT_EQ(again.exit, 0) << again.out << again.err;
    const ServerView after = View("carol");
    const auto kept = UidsIn(after, "contacts");
    std::multiset<std::string> held = kept, all;
    const auto away = UidsIn(after, "contacts-nubra-duplicates");
    held.insert(away.begin(), away.end());
    std::map<std::string, int> keptOfGroup;
    for (const auto& p : manifest)
        if (p.collection == "contacts") {
            all.insert(p.uid);
            keptOfGroup[p.group] += static_cast<int>(kept.count(p.uid));
        }
    EXPECT_EQ(held, all) << "an item was lost or doubled";
    for (const auto& [group, count] : keptOfGroup) EXPECT_EQ(count, 1) << "group " << group;
}

}  // namespace
}  // namespace nubra::connected_tests
