// Connected stores as a user meets them: a Maildir tree cleaned in place (both layouts) and an
// IMAP account on a Dovecot started for the tests on 127.0.0.1, checked on the server's side
// through a second, independent client (or the files in the Maildir).
#include <gtest/gtest.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "standin_host/connected/Connected.h"
#include "standin_host/connected/MailboxName.h"
#include "standin_host/store/Profile.h"
#include "standin_host/store/StoreDb.h"
#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra::connected_tests {
namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::set<std::string> MessageIds(const std::vector<std::string>& lines) {
    std::set<std::string> ids;
    for (const auto& l : lines) ids.insert(l.substr(0, l.find('\t')));
    return ids;
}

size_t Total(const std::map<std::string, std::vector<std::string>>& boxes) {
    size_t n = 0;
    for (const auto& [box, ids] : boxes) n += ids.size();
    return n;
}

// ---------------------------------------------------------------------------------- Maildir

struct Layout {
    const char* name;
    const char* kind;         // as `stores` shows it
    const char* folder;       // the folder path to clean
    const char* inbox;        // its directory in the tree
    const char* duplicates;   // where the duplicates go, in the tree's own layout
};

class MaildirInPlace : public ::testing::TestWithParam<Layout> {};

// mbsync's name for a message of its folder: the server's UID before the info part.
std::string WithoutUid(std::string name) {
    const auto u = name.find(",U=");
    if (u == std::string::npos) return name;
    return name.erase(u, name.find(':', u) - u);
}

TEST_P(MaildirInPlace, CleansWhereTheMailLivesAndKeepsNamesAndFlags) {
    const Layout& l = GetParam();
    const bool plusPlus = std::string(l.name) != "nested";
    testing::TempDir tmp;
    const fs::path tree = tmp.path() / "tree";
    const fs::path inbox = tree / l.inbox;
    fs::create_directories(inbox.parent_path());
    const int duplicates = GenerateCorpus(inbox, 200, 7);
    ASSERT_GT(duplicates, 0);
    // Named as mbsync names them, with each message's UID on the server.
    int uid = 0;
    for (const auto& e : std::vector<fs::directory_entry>(fs::directory_iterator(inbox / "cur"), {})) {
        std::string name = e.path().filename().string();
        fs::rename(e.path(), inbox / "cur" / name.insert(name.find(':'), ",U=" + std::to_string(++uid)));
    }
    // A folder holding copies under the same names, as Dovecot's COPY and `cp -a` make them.
    const fs::path archive = plusPlus ? tree / ".Archive" : inbox.parent_path() / "Archive";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(archive / sub);
    const auto inboxFiles = MessageFiles(inbox / "cur" / "..");
    int linked = 0;
    for (const auto& name : inboxFiles)
        if (linked < 5 && fs::exists(inbox / "cur" / name)) fs::create_hard_link(inbox / "cur" / name, archive / "cur" / name), ++linked;
    if (plusPlus) std::ofstream(tree / "subscriptions") << "V\t2\n\nArchive\n";
    // What another program may leave in a tree: a link back to the top (a loop when
    // followed), a file that is no mail, a message file that is a link.
    fs::create_directory_symlink(plusPlus ? "." : "..", inbox.parent_path() / ".Loop");
    fs::create_directory_symlink("..", inbox / "loop");
    { std::ofstream(inbox / "cur" / "1600000000.junk.host:2,S") << std::string("\x01\x02\x03 binary\n", 11); }
    fs::create_symlink("/etc/passwd", inbox / "cur" / "1600000001.link.host:2,");
    const auto before = MessageFiles(inbox);

    User user{tmp.path() / "user"};
    const auto added = user.Run({"store", "add-maildir", tree.string(), "--name", "Box"});
    ASSERT_EQ(added.exit, 0) << added.err;
    EXPECT_TRUE(Has(added.err, "not followed")) << added.err;
    EXPECT_TRUE(Has(added.err, "1600000000.junk.host")) << added.err;  // named, and skipped
    EXPECT_FALSE(Has(added.err, "has the unique name")) << added.err;
    const auto stores = user.Run({"stores"});
    EXPECT_TRUE(Has(stores.out, std::string("Box\t")) && Has(stores.out, l.kind)) << stores.out;
    const auto listed = user.Run({"list", plusPlus ? "Box\\Archive" : "Box\\Work\\Archive"});
    EXPECT_TRUE(Has(listed.out, "5 items")) << listed.out << listed.err;
    // A warning about a file is given once, not on every command.
    const auto unrelated = user.Run({"mkdir", "Personal Folders\\Later", "--type", "mail"});
    EXPECT_EQ(unrelated.exit, 0) << unrelated.err;
    EXPECT_FALSE(Has(unrelated.err, "1600000000.junk.host")) << unrelated.err;

    const auto clean = user.Run({"clean", l.folder});
    ASSERT_EQ(clean.exit, 0) << clean.err;
    EXPECT_TRUE(Has(clean.out, "moved " + std::to_string(duplicates) + " duplicate")) << clean.out;

    // Exactly the duplicates moved, each under its own name with its flags, without the UID of
    // the folder it left; nothing lost.
    const auto kept = MessageFiles(inbox), moved = MessageFiles(tree / l.duplicates);
    EXPECT_EQ(moved.size(), static_cast<size_t>(duplicates));
    std::vector<std::string> after = kept, plainBefore;
    for (const auto& m : moved) {
        EXPECT_EQ(m, WithoutUid(m));
        after.push_back(m);
    }
    for (auto& name : after) name = WithoutUid(name);
    for (const auto& name : before) plainBefore.push_back(WithoutUid(name));
    std::sort(after.begin(), after.end());
    std::sort(plainBefore.begin(), plainBefore.end());
    EXPECT_EQ(after, plainBefore);
    EXPECT_TRUE(std::find(kept.begin(), kept.end(), "1600000000.junk.host:2,S") != kept.end());
    // Nothing was deleted, so the tree got no Trash; a Maildir++ tree's new folder is subscribed.
    EXPECT_FALSE(fs::exists(tree / (plusPlus ? ".Trash" : "Trash")));
    if (plusPlus) {
        EXPECT_TRUE(Has(testing::ReadFile(tree / "subscriptions"), "INBOX\tNubra_Duplicate_Items\n"));
    }

    const auto again = user.Run({"clean", l.folder});
    EXPECT_EQ(again.exit, 0) << again.err;
    EXPECT_TRUE(Has(again.out, "no duplicates")) << again.out;
    EXPECT_EQ(MessageFiles(tree / l.duplicates).size(), static_cast<size_t>(duplicates));

    // A restore puts back every file under the name it had, mbsync's UID and all, and removes
    // the emptied duplicates folder where it lives.
    const auto restored = user.Run({"restore", "--last"});
    EXPECT_EQ(restored.exit, 0) << restored.err;
    EXPECT_TRUE(Has(restored.out, "Removed the empty folder")) << restored.out;
    EXPECT_EQ(MessageFiles(inbox), before);
    EXPECT_FALSE(fs::exists(tree / l.duplicates));
    EXPECT_FALSE(Has(user.Run({"tree"}).out, "Nubra_Duplicate_Items"));
    if (plusPlus) {
        EXPECT_EQ(testing::ReadFile(tree / "subscriptions"), "V\t2\n\nArchive\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MaildirInPlace,
    ::testing::Values(Layout{"maildirpp", "maildir (Maildir++)", "Box\\Inbox", "", ".INBOX.Nubra_Duplicate_Items"},
                      Layout{"nested", "maildir (nested)", "Box\\Work\\INBOX", "Work/INBOX",
                             "Work/INBOX/Nubra_Duplicate_Items"}),
    [](const auto& info) { return std::string(info.param.name); });

// Links planted in a tree by someone else, each to a maildir of theirs holding two identical
// messages: none is followed, nothing of theirs is read, moved or written to, and nothing of
// the tree is moved out of it.
TEST(MaildirHostileTree, PlantedLinksAreNeverFollowed) {
    struct Case {
        const char* name;
        bool plusPlus;
        const char* link;      // in the tree, pointing at the other user's maildir
        const char* folder;    // what is cleaned
        const char* warning;   // what the clean says, "" for nothing
    };
    const std::vector<Case> cases = {
        // The duplicates folder cannot be made: each duplicate goes to the tree's Trash instead.
        {"duplicates folder (Maildir++)", true, ".INBOX.Nubra_Duplicate_Items", "Box\\Inbox", "Deleted Items instead"},
        {"duplicates folder (nested)", false, "Work/INBOX/Nubra_Duplicate_Items", "Box\\Work\\INBOX",
         "Deleted Items instead"},
        {"cur of the top maildir", true, "cur", "Box\\Inbox", ""},
        {"Trash", true, ".Trash", "Box\\Inbox", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir tmp;
        const fs::path tree = tmp.path() / "tree", other = tmp.path() / "other";
        const fs::path inbox = c.plusPlus ? tree : tree / "Work" / "INBOX";
        fs::create_directories(inbox.parent_path());
        ASSERT_GT(GenerateCorpus(inbox, 20, 3), 0);
        for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(other / sub);
        for (const char* name : {"1700000000.A.other:2,S", "1700000001.B.other:2,S"})
            std::ofstream(other / "cur" / name) << "Message-ID: <theirs@x>\nSubject: theirs\n\nsecret\n";
        const fs::path link = tree / c.link;
        if (std::string(c.link) == "cur") fs::remove_all(link);
        const auto theirs = MessageFiles(other);
        const auto mine = MessageFiles(inbox);
        fs::create_directory_symlink(std::string(c.link) == "cur" ? other / "cur" : other, link);

        User user{tmp.path() / "user"};
        const auto added = user.Run({"store", "add-maildir", tree.string(), "--name", "Box"});
        ASSERT_EQ(added.exit, 0) << added.err;
        EXPECT_TRUE(Has(added.err, "is a link; not followed")) << added.err;
        EXPECT_FALSE(Has(user.Run({"list", c.folder, "--json"}).out, "theirs@x"));
        const auto clean = user.Run({"clean", c.folder});
        EXPECT_EQ(clean.exit, 0) << clean.err;
        EXPECT_TRUE(Has(clean.err, c.warning)) << clean.err;
        EXPECT_EQ(MessageFiles(other), theirs);
        EXPECT_FALSE(fs::exists(other / "maildirfolder"));
        std::vector<std::string> everywhere;
        for (const auto& e : fs::recursive_directory_iterator(tree))
            if (e.is_regular_file() && e.path().parent_path().filename() != "tmp")
                everywhere.push_back(e.path().filename().string());
        for (const auto& name : mine)
            EXPECT_NE(std::find(everywhere.begin(), everywhere.end(), name), everywhere.end()) << name << " left the tree";
        if (Has(clean.out, "no duplicates")) continue;
        const auto restored = user.Run({"restore", "--last"});
        EXPECT_EQ(restored.exit, 0) << restored.err;
        if (std::string(c.link) != "cur") {
            EXPECT_EQ(MessageFiles(inbox), mine);
        }
        EXPECT_EQ(MessageFiles(other), theirs);
    }
}

// A clean that does not end well says so: a process killed in the middle of a run leaves a run
// the history shows as interrupted, which a restore takes back; folders that fail are named
// one line each with the reason, and the command fails.
TEST(MaildirRunsCutShort, AKilledRunIsInterruptedAndFailedFoldersAreNamed) {
    testing::TempDir tmp;
    const fs::path tree = tmp.path() / "tree";
    ASSERT_GT(GenerateCorpus(tree, 40, 5), 0);
    const auto before = MessageFiles(tree);
    User user{tmp.path() / "user"};
    ASSERT_EQ(user.Run({"store", "add-maildir", tree.string(), "--name", "Box"}).exit, 0);

    const auto killed = user.Run({"clean", "Box\\Inbox"}, {{"NUBRA_CONNECTED_FAULT", "maildir:renamed"}});
    EXPECT_EQ(killed.exit, 86) << killed.err;
    EXPECT_TRUE(Has(user.Run({"history"}).out, "interrupted")) << user.Run({"history"}).out;
    const auto restored = user.Run({"restore", "--last"});
    EXPECT_EQ(restored.exit, 0) << restored.err;
    EXPECT_EQ(MessageFiles(tree), before);

    fs::rename(tree, tmp.path() / "elsewhere");
    const auto all = user.Run({"clean", "--all"});
    EXPECT_EQ(all.exit, 1) << all.out;
    EXPECT_TRUE(Has(all.err, "nubrasweep: Box\\Inbox: cannot read")) << all.err;
    EXPECT_FALSE(Has(all.err, "Procedure:")) << all.err;
    EXPECT_TRUE(Has(all.out, "1 failed")) << all.out;
}

// ---------------------------------------------------------------------------------- vdir

// The contents of every file below `top`, by path relative to it.
std::map<std::string, std::string> FilesBelow(const fs::path& top) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(top))
        if (e.is_regular_file()) files[fs::relative(e.path(), top).string()] = testing::ReadFile(e.path());
    return files;
}

// Address books and calendars cleaned where they live: exactly the exact and near copies leave
// each collection (one item of each group stays, every look-alike stays), as khard and
// vdirsyncer see it, and a restore brings the tree back byte for byte.
TEST(VdirInPlace, LeavesOneOfEachGroupAsClientsSeeItAndRestoresByteForByte) {
    testing::TempDir tmp;
    const fs::path tree = tmp.path() / "pim", manifest = tmp.path() / "manifest.tsv";
    const auto made = RunProgram({"python3", NUBRA_GENPIM, "--contacts", "60", "--events", "60", "--todos", "40",
                                  "--manifest", manifest.string(), tree.string()});
    ASSERT_EQ(made.exit, 0) << made.err;
    const auto before = FilesBelow(tree);
    User user{tmp.path() / "user"};
    ASSERT_EQ(user.Run({"store", "add-vdir", tree.string(), "--name", "PIM"}).exit, 0);
    const auto clean = user.Run({"clean", "--all"});
    ASSERT_EQ(clean.exit, 0) << clean.err;

    // Per group of the manifest: one item stays; a look-alike ("twin") always stays.
    std::map<std::string, int> staying;
    std::map<std::string, std::set<std::string>> kept;  // collection -> files
    std::istringstream rows(testing::ReadFile(manifest));
    std::string line;
    std::getline(rows, line);
    while (std::getline(rows, line)) {
        std::istringstream fields(line);
        std::string collection, file, kind, group;
        std::getline(fields, collection, '\t'), std::getline(fields, file, '\t'), std::getline(fields, kind, '\t');
        std::getline(fields, group, '\t');
        const bool stays = fs::exists(tree / collection / file);
        EXPECT_NE(stays, fs::exists(tree / collection / "Nubra_Duplicate_Items" / file)) << file;
        if (kind == "twin") EXPECT_TRUE(stays) << "a look-alike was taken for a duplicate: " << file;
        else staying[group] += stays;
        if (stays) kept[collection].insert(file);
    }
    for (const auto& [group, n] : staying) EXPECT_EQ(n, 1) << group;

    // What the clients read: only the collections' own files.
    std::ofstream(tmp.path() / "khard.conf") << "[addressbooks]\n[[contacts]]\npath = " << (tree / "contacts").string()
                                             << "\n[general]\ndefault_action = list\neditor = /bin/true\n"
                                                "merge_editor = /bin/true\n";
    if (::access("/usr/bin/khard", X_OK) == 0) {
        const auto listed = RunProgram({"khard", "-c", (tmp.path() / "khard.conf").string(), "list", "--parsable"});
        EXPECT_EQ(static_cast<size_t>(std::count(listed.out.begin(), listed.out.end(), '\n')), kept["contacts"].size())
            << listed.out << listed.err;
    }
    if (::access("/usr/bin/vdirsyncer", X_OK) == 0) {
        const fs::path copy = tmp.path() / "copy", config = tmp.path() / "vdirsyncer.conf";
        fs::create_directories(copy);
        std::ofstream(config) << "[general]\nstatus_path = \"" << (tmp.path() / "status").string()
                              << "/\"\n[pair p]\na = \"local\"\nb = \"copy\"\ncollections = [\"from a\"]\n"
                                 "[storage local]\ntype = \"filesystem\"\npath = \""
                              << tree.string() << "/\"\nfileext = \".vcf\"\n[storage copy]\ntype = \"filesystem\"\npath = \""
                              << copy.string() << "/\"\nfileext = \".vcf\"\n";
        RunProgram({"sh", "-c", "yes | vdirsyncer -c '" + config.string() + "' discover"});
        EXPECT_EQ(RunProgram({"vdirsyncer", "-c", config.string(), "sync"}).exit, 0);
        std::set<std::string> synced;
        for (const auto& e : fs::directory_iterator(copy / "contacts")) synced.insert(e.path().filename().string());
        EXPECT_EQ(synced, kept["contacts"]);
    }

    const auto restored = user.Run({"restore", "--last"});
    EXPECT_EQ(restored.exit, 0) << restored.err;
    EXPECT_EQ(FilesBelow(tree), before) << "a restore puts back every file as it was";
    for (const char* collection : {"contacts", "calendar", "tasks"})
        EXPECT_FALSE(fs::exists(tree / collection / "Nubra_Duplicate_Items")) << collection;
}

// Another program at work between the synchronisation and the move: a flag change renames a
// file (found again by its unique part), a deleted file is reported and forgotten; the cache,
// copied alone, is a plain store anyone can read.
TEST(MaildirChangedMeanwhile, RenamedFilesAreFoundAgainVanishedOnesReported) {
    testing::TempDir tmp;
    testing::ScopedEnv cache("XDG_CACHE_HOME", (tmp.path() / "cache").string());
    const fs::path md = tmp.path() / "md";
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(md / sub);
    // The first as mbsync names it: the server's UID of the message in its folder (",U=").
    for (int i = 0; i < 3; ++i)
        std::ofstream(md / "cur" / ("170000000" + std::to_string(i) + ".M1P1.host" + (i == 0 ? ",U=7" : "") + ":2,"))
            << "Message-ID: <m" << i << "@x>\nSubject: s\n\nbody\n";
    connected::RegisterConnectedStores();
    auto profile = store::Profile::Open(tmp.path() / "profile");
    connected::AddMaildirStore(*profile, md, "Box");
    auto inbox = profile->FindFolder("Box\\Inbox");
    auto dups = inbox->Folders()->Add("Nubra_Duplicate_Items");
    ASSERT_TRUE(fs::is_directory(md / ".INBOX.Nubra_Duplicate_Items" / "cur"));
    auto items = inbox->Items();
    ASSERT_EQ(items->Count(), 3);
    auto first = items->Item(1), second = items->Item(2);

    fs::rename(md / "cur" / "1700000000.M1P1.host,U=7:2,", md / "cur" / "1700000000.M1P1.host,U=7:2,FS");
    fs::remove(md / "cur" / "1700000001.M1P1.host:2,");
    first->Move(*dups);
    // Found again by its unique part; moved with its flags, without the UID of its old folder.
    EXPECT_TRUE(fs::exists(md / ".INBOX.Nubra_Duplicate_Items" / "cur" / "1700000000.M1P1.host:2,FS"));
    int32_t error = 0;
    std::string why;
    try {
        second->Move(*dups);
    } catch (const AutomationError& e) {
        error = e.Number();
        why = e.Description();
    }
    EXPECT_EQ(error, errnum::kMapiNotFound);
    EXPECT_TRUE(Has(why, "vanished")) << why;
    EXPECT_EQ(inbox->Items()->Count(), 1);  // the cache claims no message that is gone
    EXPECT_EQ(dups->Items()->Count(), 1);

    // A whole message is read from its file when asked for (export, the inspector), and kept
    // whole: export writes it back as it is, attachments and all.
    const auto whole = profile->ReadItem(*dups->Items()->Item(1));
    EXPECT_EQ(whole.Body.value_or(""), "body\n");
    ASSERT_TRUE(whole.Source);
    EXPECT_EQ(whole.Source->Unpack(), "Message-ID: <m0@x>\nSubject: s\n\nbody\n");

    // A dry run's private snapshot holds the cache as an ordinary store; the profile itself
    // also opens with its upstreams detached.
    profile->SnapshotTo(tmp.path() / "snapshot");
    {
        auto snapshot = store::Profile::Open(tmp.path() / "snapshot");
        auto copied = snapshot->FindFolder("Box\\Inbox");
        copied->Items()->Item(1)->Move(*snapshot->FindFolder("Box\\Inbox\\Nubra_Duplicate_Items"));
        EXPECT_TRUE(fs::exists(md / "cur" / "1700000002.M1P1.host:2,")) << "the snapshot reached the Maildir";
    }
    profile.reset();
    inbox.reset();
    dups.reset();
    first.reset();
    second.reset();
    items.reset();
    auto detached = store::Profile::Open(tmp.path() / "profile", store::Profile::Access::ReadWrite,
                                         store::Profile::Upstreams::Detach);
    EXPECT_EQ(detached->FindFolder("Box\\Inbox\\Nubra_Duplicate_Items")->Items()->Count(), 1);
}

// ---------------------------------------------------------------------------------- IMAP

class ImapAccount : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tmp = new testing::TempDir;
        server = new Dovecot(tmp->path() / "dovecot");
        corpus = tmp->path() / "corpus";
        duplicates = GenerateCorpus(corpus, 200, 11);
    }
    static void TearDownTestSuite() {
        delete server;
        delete tmp;
    }
    void SetUp() override {
        if (!server->Started()) GTEST_SKIP() << server->Why();
    }
    // A new account holding the corpus in INBOX.
    static void Fill(const Dovecot& dovecot, const std::string& account) {
        const auto r = dovecot.Tool(account, {"append", "INBOX", corpus.string()});
        ASSERT_EQ(r.exit, 0) << r.err;
    }
    // `account` of `dovecot` as a store of `user`'s profile.
    static void Attach(const User& user, const Dovecot& dovecot, const std::string& account) {
        const auto r = user.Run({"store", "add-imap", dovecot.Url(account), "--ca-file", dovecot.CaFile().string()},
                                Password(account));
        ASSERT_EQ(r.exit, 0) << r.err;
    }
    static std::map<std::string, std::string> Password(const std::string& account) {
        return {{"NUBRA_IMAP_PASSWORD", Dovecot::Password(account)}};
    }

    static inline testing::TempDir* tmp = nullptr;
    static inline Dovecot* server = nullptr;
    static inline fs::path corpus;
    static inline int duplicates = 0;
    testing::TempDir work;
};

// The Message-ID of each message of a local maildir folder, sorted.
std::vector<std::string> LocalMessageIds(const fs::path& maildir) {
    std::vector<std::string> ids;
    for (const char* sub : {"cur", "new"})
        for (const auto& e : fs::directory_iterator(maildir / sub)) {
            std::ifstream in(e.path());
            std::string id;
            for (std::string line; std::getline(in, line) && !line.empty() && line != "\r";)
                if (strncasecmp(line.c_str(), "Message-ID:", 11) == 0) id = line.substr(11);
            ids.push_back(id.substr(id.find_first_not_of(' '), id.find_last_not_of(" \r") - id.find_first_not_of(' ') + 1));
        }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// mbsync beside us: a clean and a restore on its local Maildir and on the server leave both
// sides, after the next sync, with the same messages once each.
TEST_F(ImapAccount, MbsyncSyncingAfterACleanAndARestoreLosesAndDoublesNothing) {
    if (::access("/usr/bin/mbsync", X_OK) != 0) GTEST_SKIP() << "mbsync is not installed (package isync)";
    server->AddUser("mbs");
    Fill(*server, "mbs");
    const fs::path local = work.path() / "mail", config = work.path() / "mbsyncrc", pass = work.path() / "pass";
    fs::create_directories(local);
    std::ofstream(pass) << Dovecot::Password("mbs");
    const std::string url = server->Url("mbs");
    const std::string port = url.substr(url.rfind(':') + 1, url.size() - url.rfind(':') - 2);
    std::ofstream(config) << "IMAPAccount acct\nHost 127.0.0.1\nPort " << port << "\nUser mbs\nPassCmd \"cat " << pass.string()
                          << "\"\nSSLType IMAPS\nCertificateFile " << server->CaFile().string()
                          << "\n\nIMAPStore far\nAccount acct\n\nMaildirStore near\nPath " << local.string()
                          << "/\nInbox " << (local / "INBOX").string()
                          << "\nSubFolders Verbatim\n\nChannel all\nFar :far:\nNear :near:\nPatterns *\nCreate Both\n"
                             "Expunge Both\nSyncState *\n";
    auto sync = [&] {
        const auto r = RunProgram({"mbsync", "-q", "-c", config.string(), "all"});
        ASSERT_EQ(r.exit, 0) << r.out << r.err;
    };
    sync();
    const auto ids = LocalMessageIds(local / "INBOX");
    ASSERT_EQ(ids.size(), 200u);

    User user{work.path() / "user"};
    ASSERT_EQ(user.Run({"store", "add-maildir", local.string(), "--name", "mbs"}).exit, 0);
    const auto added = user.Run({"store", "add-imap", url, "--ca-file", server->CaFile().string(), "--name", "Server"},
                                Password("mbs"));
    ASSERT_EQ(added.exit, 0) << added.err;
    for (const char* folder : {"mbs\\INBOX", "Server\\INBOX"}) {
        SCOPED_TRACE(folder);
        const auto clean = user.Run({"clean", folder}, Password("mbs"));
        ASSERT_EQ(clean.exit, 0) << clean.err;
        ASSERT_TRUE(Has(clean.out, "moved " + std::to_string(duplicates))) << clean.out;
        const auto restored = user.Run({"restore", "--last"}, Password("mbs"));
        ASSERT_EQ(restored.exit, 0) << restored.err;
    }
    sync();
    EXPECT_EQ(LocalMessageIds(local / "INBOX"), ids);
    EXPECT_EQ(MessageIds(server->Contents("mbs")["INBOX"]).size(), MessageIds(ids).size());
    EXPECT_EQ(server->Contents("mbs")["INBOX"].size(), 200u);
}

TEST_F(ImapAccount, CleanMovesExactlyTheDuplicatesOnTheServer) {
    server->AddUser("u1");
    Fill(*server, "u1");
    User user{work.path()};
    const auto added = user.Run({"store", "add-imap", server->Url("u1"), "--ca-file", server->CaFile().string()},
                                Password("u1"));
    ASSERT_EQ(added.exit, 0) << added.err;
    EXPECT_TRUE(Has(user.Run({"stores"}).out, "\timap\t" + server->Url("u1")));
    const auto tree = user.Run({"tree"}, Password("u1"));
    EXPECT_TRUE(Has(tree.out, "u1@127.0.0.1\\INBOX")) << tree.out << tree.err;

    const auto clean = user.Run({"clean", "u1@127.0.0.1\\INBOX"}, Password("u1"));
    ASSERT_EQ(clean.exit, 0) << clean.err;
    EXPECT_TRUE(Has(clean.out, "moved " + std::to_string(duplicates) + " duplicate")) << clean.out;
    auto boxes = server->Contents("u1");
    const auto& inbox = boxes["INBOX"];
    EXPECT_EQ(MessageIds(inbox).size(), inbox.size()) << "a duplicate stayed";
    EXPECT_EQ(boxes["INBOX/Nubra_Duplicate_Items"].size(), static_cast<size_t>(duplicates));
    EXPECT_EQ(Total(boxes), 200u) << "a message was lost or doubled";

    // Undone and done again: the restore's moves reach the server, and the clean after it
    // finds the same duplicates.
    const auto restored = user.Run({"restore", "--last"}, Password("u1"));
    ASSERT_EQ(restored.exit, 0) << restored.err;
    EXPECT_EQ(server->Contents("u1")["INBOX"].size(), 200u) << restored.out;
    // The emptied duplicates folder is gone from the server, and from its subscriptions.
    EXPECT_TRUE(Has(restored.out, "Removed the empty folder")) << restored.out;
    const auto listed = server->Tool("u1", {"mailboxes"}).out;
    EXPECT_FALSE(Has(listed, "Nubra_Duplicate_Items")) << listed;
    const auto redone = user.Run({"clean", "u1@127.0.0.1\\INBOX"}, Password("u1"));
    ASSERT_EQ(redone.exit, 0) << redone.err;
    EXPECT_EQ(server->Contents("u1"), boxes) << redone.out;

    // Nothing new: the second clean finds nothing and changes nothing.
    const auto again = user.Run({"clean", "u1@127.0.0.1\\INBOX"}, Password("u1"));
    EXPECT_EQ(again.exit, 0) << again.err;
    EXPECT_TRUE(Has(again.out, "no duplicates")) << again.out;
    EXPECT_EQ(server->Contents("u1"), boxes);

    // Another client deletes the duplicates folder: the next clean starts from the server.
    ASSERT_EQ(server->Tool("u1", {"delete-mailbox", "INBOX/Nubra_Duplicate_Items"}).exit, 0);
    EXPECT_EQ(user.Run({"clean", "u1@127.0.0.1\\INBOX"}, Password("u1")).exit, 0);
    EXPECT_FALSE(Has(user.Run({"tree"}, Password("u1")).out, "Nubra_Duplicate_Items"));
}

// Mailbox names as people write them, on an account reached through STARTTLS: a name beyond
// ASCII (modified UTF-7 on the wire) and one holding a "\" (shown as "⧵", which a path
// carries) are found by the path a person types and cleaned where they are; what is made for
// them on the server is named as the server spells names.
TEST_F(ImapAccount, MailboxNamesAreShownAndFoundAsPeopleWriteThem) {
    server->AddUser("u6");
    for (const char* box : {"Données été", "Back\\slash"}) {
        ASSERT_EQ(server->Tool("u6", {"create", box}).exit, 0);
        const auto r = server->Tool("u6", {"append", box, corpus.string()});
        ASSERT_EQ(r.exit, 0) << r.err;
    }
    User user{work.path()};
    // Through STARTTLS, which must succeed (imap:// without --allow-plain).
    const auto added = user.Run({"store", "add-imap", "imap://u6@127.0.0.1:" + std::to_string(server->ImapPort()) + "/",
                                 "--ca-file", server->CaFile().string()},
                                Password("u6"));
    ASSERT_EQ(added.exit, 0) << added.err;
    const auto tree = user.Run({"tree"}, Password("u6"));
    EXPECT_TRUE(Has(tree.out, "\tu6@127.0.0.1\\Données été\n")) << tree.out;
    EXPECT_TRUE(Has(tree.out, "\tu6@127.0.0.1\\Back⧵slash\n")) << tree.out;
    for (const char* path : {"u6@127.0.0.1\\Données été", "u6@127.0.0.1\\Back⧵slash"}) {
        SCOPED_TRACE(path);
        const auto clean = user.Run({"clean", path}, Password("u6"));
        EXPECT_EQ(clean.exit, 0) << clean.err;
        EXPECT_TRUE(Has(clean.out, "moved " + std::to_string(duplicates) + " duplicate")) << clean.out;
    }
    auto boxes = server->Contents("u6");
    EXPECT_EQ(boxes["Donn&AOk-es &AOk-t&AOk-/Nubra_Duplicate_Items"].size(), static_cast<size_t>(duplicates));
    EXPECT_EQ(boxes["Back\\slash/Nubra_Duplicate_Items"].size(), static_cast<size_t>(duplicates));
    EXPECT_EQ(Total(boxes), 400u);
}

// Modified UTF-7 both ways, the RFC's own example and characters beyond the BMP included; what
// is no modified UTF-7 is not decoded (shown as the server spells it).
TEST(MailboxNameCodec, DecodesAndEncodesModifiedUtf7) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"Donn&AOk-es &AOk-t&AOk-", "Données été"},
        {"100% &- done", "100% & done"},
        {"~peter/mail/&U,BTFw-/&ZeVnLIqe-", "~peter/mail/台北/日本語"},
        {"&2D3eAA-", "\xF0\x9F\x98\x80"},  // U+1F600, a surrogate pair
        {"Bad&Jjo", std::nullopt},        // not closed
        {"&AOk", std::nullopt},
        {"&AOl-", std::nullopt},          // bits left over
        {"&2D0-", std::nullopt},          // a lone surrogate
        {"&AAA-", std::nullopt},          // NUL
        {"Caf\xC3\xA9", std::nullopt},    // eight-bit bytes
    };
    for (const auto& [raw, shown] : cases) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(connected::DecodeModifiedUtf7(raw), shown);
        if (shown) {
            EXPECT_EQ(connected::EncodeModifiedUtf7(*shown), raw);
        }
    }
}

struct Refusal {
    const char* name;
    std::vector<std::string> extraArgs;
    std::map<std::string, std::string> env;
    const char* said;
};

TEST_F(ImapAccount, RefusesWhatItCannotTrustWithAClearError) {
    server->AddUser("u2");
    std::ofstream(work.path() / "open-password") << Dovecot::Password("u2") << "\n";
    ::chmod((work.path() / "open-password").c_str(), 0644);
    const std::vector<Refusal> cases = {
        {"no CA", {}, Password("u2"), "certificate"},
        {"wrong password", {"--ca-file", server->CaFile().string()}, {{"NUBRA_IMAP_PASSWORD", "not-it"}}, "refused the login"},
        {"readable password file",
         {"--ca-file", server->CaFile().string(), "--password-file", (work.path() / "open-password").string()},
         {{"NUBRA_IMAP_PASSWORD", ""}},
         "not private"},
        {"no password", {"--ca-file", server->CaFile().string()}, {{"NUBRA_IMAP_PASSWORD", ""}}, "no password"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        User user{work.path() / c.name};
        std::vector<std::string> args{"store", "add-imap", server->Url("u2")};
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        const auto r = user.Run(args, c.env);
        EXPECT_EQ(r.exit, 1);
        EXPECT_TRUE(Has(r.err, c.said)) << r.err;
        EXPECT_FALSE(Has(r.out + r.err, Dovecot::Password("u2")));
        EXPECT_FALSE(Has(user.Run({"stores"}).out, "imap")) << "the profile changed";
    }
    User user{work.path() / "unreachable"};
    const auto r = user.Run({"store", "add-imap", "imaps://u2@127.0.0.1:1/"}, Password("u2"));
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(Has(r.err, "cannot reach")) << r.err;
}

TEST_F(ImapAccount, AnotherClientExpungingAndMovingDuringACleanLosesAndDoublesNothing) {
    server->AddUser("u3");
    Fill(*server, "u3");
    User user{work.path()};
    ASSERT_NO_FATAL_FAILURE(Attach(user, *server, "u3"));
    const pid_t clean = user.Start({"clean", "u3@127.0.0.1\\INBOX"}, Password("u3"));
    const auto churn = server->Tool("u3", {"churn", "INBOX", "10"});
    ASSERT_EQ(churn.exit, 0) << churn.err;
    WaitFor(clean);  // it may report the messages that went under it
    const auto second = user.Run({"clean", "u3@127.0.0.1\\INBOX"}, Password("u3"));
    EXPECT_EQ(second.exit, 0) << second.err;
    auto boxes = server->Contents("u3");
    const auto& inbox = boxes["INBOX"];
    EXPECT_EQ(MessageIds(inbox).size(), inbox.size());
    EXPECT_EQ(boxes["Elsewhere"].size(), 10u);
    EXPECT_EQ(Total(boxes), 190u) << "only the 10 expunged by the other client may be gone";
}

// The server drops the connection while a clean moves duplicates: the clean reconnects or says
// what failed, nothing is lost or doubled, and the next clean finishes the job (a duplicate
// whose move was cut off may have gone to Deleted Items instead, as the engine does).
TEST_F(ImapAccount, ServerDroppingTheConnectionMidScanLosesNothing) {
    server->AddUser("u5");
    Fill(*server, "u5");
    User user{work.path()};
    ASSERT_NO_FATAL_FAILURE(Attach(user, *server, "u5"));
    {
        // The run's moves go to the server together at its end: when they cannot, the clean
        // fails saying so and nothing moved on the server.
        auto env = Password("u5");
        env["NUBRA_CONNECTED_FAULT"] = "fail:imap:sending";
        const auto failed = user.Run({"clean", "u5@127.0.0.1\\INBOX"}, env);
        EXPECT_NE(failed.exit, 0);
        EXPECT_TRUE(Has(failed.out + failed.err, "the connection failed")) << failed.out << failed.err;
        const auto boxes = server->Contents("u5");
        EXPECT_EQ(boxes.at("INBOX").size(), 200u);
    }
    const fs::path moved = server->Maildir("u5") / ".INBOX.Nubra_Duplicate_Items";
    Result first;
    std::thread clean([&] { first = user.Run({"clean", "u5@127.0.0.1\\INBOX"}, Password("u5")); });
    // The first duplicate has reached its folder: the scan is under way.
    for (int i = 0; i < 20000 && MessageFiles(moved).empty(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(250));
    EXPECT_GT(server->DropConnections(), 0);
    clean.join();
    if (first.exit != 0) {
        EXPECT_TRUE(Has(first.err, "connection")) << first.err;
    }
    EXPECT_EQ(Total(server->Contents("u5")), 200u);
    const auto again = user.Run({"clean", "u5@127.0.0.1\\INBOX"}, Password("u5"));
    EXPECT_EQ(again.exit, 0) << again.err;
    auto boxes = server->Contents("u5");
    EXPECT_EQ(MessageIds(boxes["INBOX"]).size(), boxes["INBOX"].size()) << "a duplicate stayed";
    EXPECT_EQ(boxes["INBOX/Nubra_Duplicate_Items"].size() + boxes["Trash"].size(), static_cast<size_t>(duplicates));
    EXPECT_EQ(Total(boxes), 200u);
}

// Servers without MOVE: the copy, \Deleted and UID EXPUNGE way; without UIDPLUS too: refused
// before anything changes (a plain EXPUNGE would take what the user had marked deleted).
TEST_F(ImapAccount, CopiesWithoutMoveAndRefusesWithoutEither) {
    struct Case {
        const char* name;
        Dovecot::Options options;
        bool cleans;
    };
    for (const auto& c : {Case{"uidplus only", {false, true, {}}, true}, Case{"neither", {false, false, {}}, false}}) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        Dovecot limited(dir.path() / "dovecot", c.options);
        ASSERT_TRUE(limited.Started()) << limited.Why();
        limited.AddUser("u4");
        Fill(limited, "u4");
        User user{dir.path() / "user"};
        ASSERT_NO_FATAL_FAILURE(Attach(user, limited, "u4"));
        const auto before = limited.Contents("u4");
        const auto clean = user.Run({"clean", "u4@127.0.0.1\\INBOX"}, Password("u4"));
        const auto after = limited.Contents("u4");
        if (c.cleans) {
            EXPECT_EQ(clean.exit, 0) << clean.err;
            EXPECT_EQ(after.at("INBOX/Nubra_Duplicate_Items").size(), static_cast<size_t>(duplicates));
            EXPECT_EQ(Total(after), 200u);
        } else {
            EXPECT_NE(clean.exit, 0);
            EXPECT_TRUE(Has(clean.err, "neither MOVE nor UIDPLUS")) << clean.err;
            EXPECT_EQ(after, before);
        }
    }
}

}  // namespace
}  // namespace nubra::connected_tests
